#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The states a cluster of the map can be in and the fixed colour of each.
namespace lorvex::map {

// The cell states; each value is also the palette index of its colour.
enum TCellState : std::uint8_t {
    csFree = 1,
    csUsed = 2,
    csBeyondEnd = 4, // only in the map picture, never in the cells
    csSystem = 5,
    csDirectory = 6,
    csFragmented = 7,
    csMFTZone = 8,
    csPagefile = 9,
    csMarked = 10,
};

// 0xAARRGGBB, the layout of a QImage colour table.
using TPalette = std::array<std::uint32_t, 256>;

// Entry n is the colour of state n; every entry without a state is black
// except 3, which is red.
const TPalette& CellPalette();

// The same states in colours that stay apart for the common kinds of colour
// blindness (red-green and blue-yellow): blues, oranges and greys of
// different lightness. A choice of the user's; CellPalette is the default.
const TPalette& SafeCellPalette();

// The states a cluster on the volume can have, in the order in which a tie
// between equal counts is broken in a zoomed-out view: the rarer and more
// telling state first, so that a pixel half system file and half free space
// shows the system file. csMarked never needs the tie (any marked cluster
// wins), but keeps its place at the front.
inline constexpr std::array<std::uint8_t, 8> kVolumeStates = {
    csMarked, csPagefile, csFragmented, csSystem, csDirectory, csMFTZone, csUsed, csFree};
inline constexpr std::size_t kVolumeStateCount = kVolumeStates.size();

// The position of `state` in kVolumeStates, or kVolumeStateCount for a
// value that no cluster on the volume has.
constexpr std::size_t VolumeStateSlot(std::uint8_t state) {
    for (std::size_t i = 0; i < kVolumeStateCount; ++i) {
        if (kVolumeStates[i] == state) {
            return i;
        }
    }
    return kVolumeStateCount;
}

// One line of a map's legend: a state and what it is called there.
struct TLegendEntry {
    TCellState state;
    std::string_view label;
};

// The legend of the map after a scan, in the order it is read: the common
// kinds first, then the rarer ones, then the picture's own margin. A used
// cluster that no scanned entry paints keeps the colour of a file, so the
// two share a line.
inline constexpr std::array<TLegendEntry, 9> kLegend = {{
    {csFree, "free"},
    {csUsed, "used, file"},
    {csFragmented, "fragmented file"},
    {csDirectory, "directory"},
    {csSystem, "system file"},
    {csMFTZone, "MFT zone"},
    {csPagefile, "paging file"},
    {csMarked, "marked file"},
    {csBeyondEnd, "beyond the end"},
}};

} // namespace lorvex::map

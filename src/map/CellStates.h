#pragma once

#include "map/Palette.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// The order of the cell states and the map's legend; the states' palette
// indices and colours are in map/Palette.h.
namespace lorvex::map {

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
    CellState state;
    std::string_view label;
};

// The legend of the map after a scan, in the order it is read: the common
// kinds first, then the rarer ones, then the picture's own margin. The words
// are the window's, the saved picture's and the manual's; short, so that the
// nine and the overlays shown beside them fit the window's width. A used
// cluster that no scanned entry paints keeps the colour of a file, so the
// two share a line.
inline constexpr std::array<TLegendEntry, 9> kLegend = {{
    {csFree, "free"},
    {csUsed, "used, file"},
    {csFragmented, "fragmented"},
    {csDirectory, "directory"},
    {csSystem, "system"},
    {csMFTZone, "MFT zone"},
    {csPagefile, "paging"},
    {csMarked, "marked"},
    {csBeyondEnd, "past the end"},
}};

} // namespace lorvex::map

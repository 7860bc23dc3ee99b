#pragma once

#include <array>
#include <cstdint>
#include <string_view>

// Every index of the map's palette, and the colours of the cell states: the
// model, the window's screen and the map picture all draw through one table
// of 256 colours, and this is where its entries are given their meaning.
namespace lorvex::map {

// The cell states; each value is also the palette index of its colour.
enum CellState : std::uint8_t {
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

// Palette indices that the screen uses besides the cell states.
inline constexpr std::uint8_t kGridIndex = 11;       // lines between magnified cells
inline constexpr std::uint8_t kBackgroundIndex = 12; // the window around the map
inline constexpr std::uint8_t kHighlightIndex = 13;  // the clusters of a file shown on the map
// The overlay's colours, from least to most telling: where overlay spans
// overlap, the higher index shows. A deleted file's remains tell the least:
// a problem of the volume on the same clusters shows over them, and a
// cluster that still holds one deleted file's data shows so even where an
// older deleted file's data on it was written over.
inline constexpr std::uint8_t kOverlayDeletedOverwritten = 14; // a deleted file's, written over
inline constexpr std::uint8_t kOverlayDeletedFree = 15;        // a deleted file's data, still there
inline constexpr std::uint8_t kOverlayBeyondEnd = 16;          // a run past the volume's end
inline constexpr std::uint8_t kOverlayUnownedUsed = 17;        // lost clusters
inline constexpr std::uint8_t kOverlayOwnedFree = 18;   // a file's clusters free in the bitmap
inline constexpr std::uint8_t kOverlayCrossLinked = 19; // clusters claimed twice
inline constexpr std::uint8_t kOverlayBadArea = 20;     // a bad area of a damaged disk
inline constexpr std::uint8_t kOverlayFirst = kOverlayDeletedOverwritten;
inline constexpr std::uint8_t kOverlayLast = kOverlayBadArea;

// 0xAARRGGBB, the layout of a QImage colour table.
using Palette = std::array<std::uint32_t, 256>;

// Entry n is the colour of state n; every entry without a state is black
// except 3, which is red. The screen's own indices are filled by whoever
// draws the screen.
const Palette& CellPalette();

// The same states in colours that stay apart for the common kinds of colour
// blindness (red-green and blue-yellow): blues, oranges and greys of
// different lightness. A choice of the user's; CellPalette is the default.
const Palette& SafeCellPalette();

// The colour of kHighlightIndex and of each overlay index (kOverlayFirst to
// kOverlayLast), the same in both palettes, and its name in a legend.
std::uint32_t OverlayColour(std::uint8_t index);
std::string_view OverlayName(std::uint8_t index);

// Puts the highlight's and the overlays' colours into `colours`, and the
// states' colours from `palette`, darkened when `dim` (an overlay is shown)
// so that the overlay stands out on any of them.
void SetOverlayColours(Palette& colours, const Palette& palette, bool dim);

} // namespace lorvex::map

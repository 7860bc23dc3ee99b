#include "map/Palette.h"

namespace lorvex::map {

namespace {

constexpr std::uint32_t Rgb(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return 0xFF000000U | (r << 16) | (g << 8) | b;
}

Palette BuildPalette() {
    Palette palette{};
    palette.fill(Rgb(0, 0, 0));
    palette[3] = Rgb(255, 0, 0);
    palette[csFree] = Rgb(0, 0, 0);
    palette[csUsed] = Rgb(0, 0, 255);
    palette[csBeyondEnd] = Rgb(236, 233, 216);
    palette[csSystem] = Rgb(255, 255, 0);
    palette[csDirectory] = Rgb(0, 255, 255);
    palette[csFragmented] = Rgb(255, 0, 0);
    palette[csMFTZone] = Rgb(255, 128, 0);
    palette[csPagefile] = Rgb(0, 255, 0);
    palette[csMarked] = Rgb(255, 255, 255);
    return palette;
}

Palette BuildSafePalette() {
    Palette palette = BuildPalette();
    palette[csFree] = Rgb(0, 0, 0);
    palette[csUsed] = Rgb(0, 114, 178);       // blue
    palette[csSystem] = Rgb(240, 228, 66);    // yellow
    palette[csDirectory] = Rgb(86, 180, 233); // sky blue
    palette[csFragmented] = Rgb(213, 94, 0);  // vermilion
    palette[csMFTZone] = Rgb(120, 120, 120);  // grey
    palette[csPagefile] = Rgb(0, 158, 115);   // bluish green
    palette[csMarked] = Rgb(255, 255, 255);
    return palette;
}

} // namespace

const Palette& SafeCellPalette() {
    static const Palette palette = BuildSafePalette();
    return palette;
}

const Palette& CellPalette() {
    static const Palette palette = BuildPalette();
    return palette;
}

std::uint32_t OverlayColour(std::uint8_t index) {
    // Apart from the nine kinds of both palettes, which an overlay dims
    // besides, and from each other by hue or by lightness.
    switch (index) {
    case kHighlightIndex:
        return Rgb(255, 0, 255); // magenta
    case kOverlayDeletedOverwritten:
        return Rgb(170, 20, 60); // crimson
    case kOverlayDeletedFree:
        return Rgb(180, 230, 0); // chartreuse
    case kOverlayBeyondEnd:
        return Rgb(170, 150, 255); // lavender
    case kOverlayUnownedUsed:
        return Rgb(150, 90, 40); // brown
    case kOverlayOwnedFree:
        return Rgb(170, 255, 200); // mint
    case kOverlayCrossLinked:
        return Rgb(128, 0, 192); // purple
    case kOverlayBadArea:
        return Rgb(255, 160, 200); // pink
    default:
        return Rgb(0, 0, 0);
    }
}

std::string_view OverlayName(std::uint8_t index) {
    switch (index) {
    case kHighlightIndex:
        return "shown file";
    case kOverlayDeletedOverwritten:
        return "overwritten";
    case kOverlayDeletedFree:
        return "deleted data";
    case kOverlayBeyondEnd:
        return "run past the end";
    case kOverlayUnownedUsed:
        return "used, no owner";
    case kOverlayOwnedFree:
        return "owned, free";
    case kOverlayCrossLinked:
        return "cross-linked";
    case kOverlayBadArea:
        return "bad area";
    default:
        return {};
    }
}

void SetOverlayColours(Palette& colours, const Palette& palette, bool dim) {
    for (std::uint8_t state = 0; state < kGridIndex; ++state) {
        const std::uint32_t c = palette[state];
        // A fifth of the colour over a dark grey: the kinds stay apart, the
        // overlay's full colours show over all of them.
        const auto part = [c](int shift) { return 0x18U + ((c >> shift) & 0xFFU) / 5U; };
        colours[state] = dim ? Rgb(part(16), part(8), part(0)) : c;
    }
    colours[kHighlightIndex] = OverlayColour(kHighlightIndex);
    for (std::uint8_t index = kOverlayFirst; index <= kOverlayLast; ++index) {
        colours[index] = OverlayColour(index);
    }
}

} // namespace lorvex::map

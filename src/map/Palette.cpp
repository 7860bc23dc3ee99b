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

} // namespace lorvex::map

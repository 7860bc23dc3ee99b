#include "ui/ZoomPicture.h"

#include <cstddef>

namespace lorvex::ui {

namespace {

constexpr std::uint32_t kXorWhite = 0x00FFFFFF;
constexpr int kSpan = kZoomCells * kZoomScale; // 72

std::size_t At(int x, int y) {
    return static_cast<std::size_t>(y) * kZoomSize + static_cast<std::size_t>(x);
}

// Lines stop one pixel short of their end point, as a pen does, so the
// strokes of the grid cross each other twice at their joints and the
// exclusive-or gives those pixels back.
void XorHorizontal(std::vector<std::uint32_t>& p, int x0, int x1, int y) {
    for (int x = x0; x < x1; ++x) {
        p[At(x, y)] ^= kXorWhite;
    }
}

void XorVertical(std::vector<std::uint32_t>& p, int x, int y0, int y1) {
    for (int y = y0; y < y1; ++y) {
        p[At(x, y)] ^= kXorWhite;
    }
}

} // namespace

std::vector<std::uint32_t> BuildZoomPixels(const std::array<std::uint32_t, 81>& block,
                                           std::uint32_t background) {
    std::vector<std::uint32_t> p(static_cast<std::size_t>(kZoomSize) * kZoomSize, background);
    for (int y = 0; y < kSpan; ++y) {
        for (int x = 0; x < kSpan; ++x) {
            p[At(x, y)] =
                block[static_cast<std::size_t>((y / kZoomScale) * kZoomCells + x / kZoomScale)];
        }
    }
    for (int i = 0; i < kZoomCells; ++i) {
        XorVertical(p, i * kZoomScale, 0, kSpan);
    }
    for (int i = 0; i < kZoomCells; ++i) {
        XorHorizontal(p, 0, kSpan, i * kZoomScale);
    }
    XorHorizontal(p, 34, 39, 36);
    XorVertical(p, 36, 34, 39);
    return p;
}

} // namespace lorvex::ui

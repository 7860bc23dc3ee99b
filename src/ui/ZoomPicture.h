#pragma once

#include <array>
#include <cstdint>
#include <vector>

// The zoom tool window's picture: the 9 x 9 pixels around the mouse, each
// blown up to an 8 x 8 block, with a grid and a small cross on the centre
// block drawn in exclusive-or so that they show on every colour.
namespace lorvex::ui {

inline constexpr int kZoomCells = 9;
inline constexpr int kZoomScale = 8;
inline constexpr int kZoomSize = 73; // the picture; the blocks cover 72 x 72 of it

// `block` is row-major, 0xAARRGGBB. The result is kZoomSize x kZoomSize,
// row-major; the row and column the blocks leave over keep `background`.
std::vector<std::uint32_t> BuildZoomPixels(const std::array<std::uint32_t, 81>& block,
                                           std::uint32_t background);

} // namespace lorvex::ui

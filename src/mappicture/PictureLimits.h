#pragma once

#include <cstdint>

namespace lorvex::mappicture {

// The smallest and largest pictures drawn: below the smallest the legend
// leaves no room for the map; the largest holds 64 M pixels, 256 MiB.
inline constexpr std::int32_t kMinWidth = 320;
inline constexpr std::int32_t kMinHeight = 240;
inline constexpr std::int32_t kMaxSide = 8192;
inline constexpr std::int32_t kDefaultWidth = 1024;
inline constexpr std::int32_t kDefaultHeight = 768;

} // namespace lorvex::mappicture

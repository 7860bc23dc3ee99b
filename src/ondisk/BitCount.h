#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

// Counting the set bits of allocation bitmaps, which on a volume of
// terabytes are hundreds of megabytes long.
namespace lorvex::ondisk {

#if defined(__x86_64__)
// The build targets every x86-64, whose baseline lacks POPCNT; where the
// processor has it, a word is counted in one instruction instead of a call.
extern const bool kHavePopcnt;
#endif

inline unsigned PopCount64(std::uint64_t x) {
#if defined(__x86_64__)
    if (kHavePopcnt) {
        std::uint64_t n = 0;
        __asm__("popcnt %1, %0" : "=r"(n) : "rm"(x) : "cc");
        return static_cast<unsigned>(n);
    }
#endif
    return static_cast<unsigned>(std::popcount(x));
}

// The set bits of `count` bytes, eight at a time.
std::uint64_t CountSetBits(const std::byte* bytes, std::size_t count);

} // namespace lorvex::ondisk

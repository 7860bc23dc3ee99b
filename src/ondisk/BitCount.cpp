#include "ondisk/BitCount.h"

#include <cstring>

namespace lorvex::ondisk {

#if defined(__x86_64__)
const bool kHavePopcnt = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("popcnt") != 0;
}();
#endif

std::uint64_t CountSetBits(const std::byte* bytes, std::size_t count) {
    std::uint64_t n = 0;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + i, sizeof(word));
        n += PopCount64(word);
    }
    for (; i < count; ++i) {
        n += PopCount64(std::to_integer<std::uint64_t>(bytes[i]));
    }
    return n;
}

} // namespace lorvex::ondisk

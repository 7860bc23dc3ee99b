#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace lorvex::test {

inline std::vector<std::byte> Bytes(std::initializer_list<int> values) {
    std::vector<std::byte> out;
    for (int v : values) {
        out.push_back(static_cast<std::byte>(v));
    }
    return out;
}

inline void Put(std::vector<std::byte>& buf, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        buf[at + static_cast<std::size_t>(i)] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
    }
}

} // namespace lorvex::test

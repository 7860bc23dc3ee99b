#include "ntfs/Lznt1.h"

#include <libfwnt.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace lorvex::ntfs {

namespace {

// The library can write a byte past the size it is given before it finds a
// chunk too long for it, so it writes into room of its own with this much
// to spare, and only what fits is copied out.
constexpr std::size_t kSlack = 4096;

std::string ErrorText(libfwnt_error_t* error) {
    std::array<char, 512> text{};
    if (error == nullptr || libfwnt_error_sprint(error, text.data(), text.size()) <= 0) {
        return "the chunks are damaged";
    }
    std::string words(text.data());
    // The library names its own function first.
    if (const auto colon = words.find(": "); colon != std::string::npos) {
        words.erase(0, colon + 2);
    }
    while (!words.empty() && (words.back() == '\n' || words.back() == '.')) {
        words.pop_back();
    }
    return words;
}

} // namespace

std::optional<std::size_t> DecompressLznt1(std::span<const std::byte> in, std::span<std::byte> out,
                                           std::string& error) {
    std::fill(out.begin(), out.end(), std::byte{0});
    if (in.empty()) {
        return 0;
    }
    thread_local std::vector<std::byte> room;
    room.assign(out.size() + kSlack, std::byte{0});
    std::size_t produced = out.size();
    libfwnt_error_t* failure = nullptr;
    const int status =
        libfwnt_lznt1_decompress(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(),
                                 reinterpret_cast<std::uint8_t*>(room.data()), &produced, &failure);
    if (status != 1) {
        error = ErrorText(failure);
        libfwnt_error_free(&failure);
        return std::nullopt;
    }
    if (produced > out.size()) {
        error = "it decompresses to more than a compression unit";
        return std::nullopt;
    }
    std::copy_n(room.begin(), produced, out.begin());
    return produced;
}

} // namespace lorvex::ntfs

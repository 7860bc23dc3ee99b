#include "ntfs/Lznt1.h"

#include "ondisk/ByteReader.h"

#include <libfwnt.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace lorvex::ntfs {

namespace {

// An LZNT1 chunk: a 16-bit header (the data's size less one in the low 12
// bits, whether it is compressed in the top bit), then its data, which
// stands for at most 4 KiB. A header of 0 ends the chunks.
constexpr std::uint16_t kChunkSizeMask = 0x0FFF;
constexpr std::uint16_t kChunkCompressed = 0x8000;
constexpr std::size_t kChunkHeader = 2;
constexpr std::size_t kChunkBytes = 4096;

// The library reads past the chunk it is given when the chunk's tokens
// claim more than its size, and writes a byte past the room it is given
// before it finds a chunk too long: it gets each chunk alone, in room of its
// own with this much of zeros to spare on both sides, and only what fits
// the unit is copied out.
constexpr std::size_t kSlack = 16384;

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

// One compressed chunk (its header and data) decompressed into `out`, which
// holds kChunkBytes; how many bytes it gave, or nothing.
std::optional<std::size_t> DecompressChunk(std::span<const std::byte> chunk,
                                           std::span<std::byte> out, std::string& error) {
    thread_local std::vector<std::byte> input;
    thread_local std::vector<std::byte> room;
    input.assign(chunk.size() + kSlack, std::byte{0});
    std::copy(chunk.begin(), chunk.end(), input.begin());
    room.assign(kChunkBytes + kSlack, std::byte{0});
    std::size_t produced = kChunkBytes;
    libfwnt_error_t* failure = nullptr;
    const int status =
        libfwnt_lznt1_decompress(reinterpret_cast<const std::uint8_t*>(input.data()), chunk.size(),
                                 reinterpret_cast<std::uint8_t*>(room.data()), &produced, &failure);
    if (status != 1) {
        error = ErrorText(failure);
        libfwnt_error_free(&failure);
        return std::nullopt;
    }
    if (produced > kChunkBytes || produced > out.size()) {
        error = "a chunk decompresses to more than 4 KiB";
        return std::nullopt;
    }
    std::copy_n(room.begin(), produced, out.begin());
    return produced;
}

} // namespace

std::optional<std::size_t> DecompressLznt1(std::span<const std::byte> in, std::span<std::byte> out,
                                           std::string& error) {
    std::fill(out.begin(), out.end(), std::byte{0});
    const ondisk::ByteReader reader(in);
    std::size_t at = 0;
    std::size_t done = 0;
    while (const auto header = reader.u16(at)) {
        if (*header == 0) {
            break;
        }
        const std::size_t size = (*header & kChunkSizeMask) + 1u;
        if (size > in.size() - at - kChunkHeader) {
            error = "a chunk runs past the compressed clusters";
            return std::nullopt;
        }
        const std::size_t room = out.size() - done;
        if (room == 0) {
            error = "it decompresses to more than a compression unit";
            return std::nullopt;
        }
        const auto chunk = in.subspan(at, kChunkHeader + size);
        std::size_t produced = 0;
        if ((*header & kChunkCompressed) == 0) {
            // Stored as it is.
            produced = std::min(size, room);
            std::copy_n(chunk.begin() + kChunkHeader, produced,
                        out.begin() + static_cast<std::ptrdiff_t>(done));
        } else if (const auto got = DecompressChunk(
                       chunk, out.subspan(done, std::min(room, kChunkBytes)), error)) {
            produced = *got;
        } else {
            return std::nullopt;
        }
        done += produced;
        at += chunk.size();
    }
    return done;
}

} // namespace lorvex::ntfs

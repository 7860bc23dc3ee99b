#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace lorvex::ondisk::ewf {

// An EnCase segment file (.E01, .E02, ...; .s01 for the SMART variant): a
// 13-byte file header, then a chain of sections, each a 76-byte descriptor
// naming the next one. libewf reads them; what is decoded here is only what
// it takes to know how many bytes each chunk of the disk is stored in before
// the library is asked for one.
namespace file {
inline constexpr std::size_t kSize = 13;
inline constexpr std::size_t kSignature = 0; // 8 bytes, "EVF\t\r\n\xff\0"
inline constexpr std::size_t kSignatureSize = 8;
} // namespace file

namespace section {
inline constexpr std::size_t kType = 0; // 16 bytes, NUL-padded ASCII
inline constexpr std::size_t kTypeSize = 16;
inline constexpr std::size_t kNext = 16;     // u64, offset of the next descriptor
inline constexpr std::size_t kSize = 24;     // u64, this section's size, descriptor included
inline constexpr std::size_t kChecksum = 72; // u32, Adler-32 of the bytes before it
inline constexpr std::size_t kDescriptorSize = 76;
} // namespace section

// A "table" section (and "table2", its copy) goes on after its descriptor
// with a header, one 32-bit entry a chunk and, but in the SMART variant, the
// entries' Adler-32.
namespace table {
inline constexpr std::size_t kEntries = 0;   // u32
inline constexpr std::size_t kBase = 8;      // u64, what the entries' offsets count from
inline constexpr std::size_t kChecksum = 20; // u32, of the 20 bytes before it
inline constexpr std::size_t kHeaderSize = 24;
inline constexpr std::size_t kEntrySize = 4;
// An entry's top bit says the chunk is compressed; the rest is its offset
// from the base.
inline constexpr std::uint32_t kCompressed = 0x80000000U;
inline constexpr std::uint32_t kOffsetMask = 0x7FFFFFFFU;
} // namespace table

// Whether the bytes begin with a segment file's signature.
bool IsSegmentFile(std::span<const std::byte> header);

struct SectionDescriptor {
    std::array<char, section::kTypeSize> type{};
    std::uint64_t next = 0;
    std::uint64_t size = 0;

    // The type without its padding, e.g. "table".
    [[nodiscard]] std::string_view name() const;
};

// The descriptor at the start of `bytes`; nullopt when they are too few.
std::optional<SectionDescriptor> ReadSectionDescriptor(std::span<const std::byte> bytes);

struct TableHeader {
    std::uint32_t entries = 0;
    std::uint64_t base = 0;
};

// The table header at the start of `bytes`; nullopt when they are too few.
std::optional<TableHeader> ReadTableHeader(std::span<const std::byte> bytes);

// Works out the number of bytes each chunk of one table is stored in, the way
// libewf does, from its entries given one at a time: a chunk runs to where
// the next entry's chunk starts; the table's last chunk runs to the table
// section (the chunks lie before it) or to its end (the older layouts keep
// them inside it). Segment files over 2 GiB, which some EnCase versions write,
// have offsets past the 31 bits: once the offsets wrap, the top bit is read
// as part of the offset and no chunk after it counts as compressed.
class ChunkSizes {
  public:
    explicit ChunkSizes(std::uint64_t base) : base_(base) {}

    // Takes the next entry; returns the size of the chunk before it, none for
    // the first entry. A size that makes no sense (nothing, or backwards) is
    // given as it wraps, so it is never small enough to pass for a chunk.
    std::optional<std::uint64_t> Add(std::uint32_t entry);

    // The size of the chunk of the last entry added, the table section
    // being [sectionStart, sectionEnd) in its file; 0 when it lies past
    // the section. 0 before any entry is added.
    [[nodiscard]] std::uint64_t Last(std::uint64_t sectionStart, std::uint64_t sectionEnd) const;

  private:
    std::uint64_t base_ = 0;
    bool any_ = false;
    bool wrapped_ = false;
    std::uint32_t previous_ = 0; // the last entry added, as stored
};

// The most bytes a writer of the format stores a chunk of `chunkSize` bytes
// in: its data and checksum when stored plain, or a zlib stream that did not
// grow it by more than deflate's worst case (a writer stores the chunk plain
// rather than keep a larger one). Generous on purpose: anything above it is
// damage.
constexpr std::uint64_t LargestStoredChunk(std::uint64_t chunkSize) {
    return chunkSize + chunkSize / 8 + 64;
}

} // namespace lorvex::ondisk::ewf

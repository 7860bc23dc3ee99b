// EnCase chunk tables as hand-made bytes: the stored size of each chunk,
// worked out the way libewf works it out, in the layouts writers make and in
// the damaged ones that would have it copy gigabytes.
#include "ondisk/EwfSections.h"

#include "ondisk/Bytes.h"

#include <cstring>
#include <gtest/gtest.h>

namespace lorvex::ondisk::ewf {
namespace {

using test::Put;

// Every chunk's size from the entries; the last one's with the table
// section at [start, end).
std::vector<std::uint64_t> Sizes(std::uint64_t base, const std::vector<std::uint32_t>& entries,
                                 std::uint64_t start, std::uint64_t end) {
    ChunkSizes sizes(base);
    std::vector<std::uint64_t> out;
    for (const std::uint32_t e : entries) {
        if (const auto size = sizes.Add(e)) {
            out.push_back(*size);
        }
    }
    out.push_back(sizes.Last(start, end));
    return out;
}

TEST(EwfChunkSizes, AChunkRunsToTheNextOneAndTheLastToItsTableSection) {
    // EnCase 6 and on: chunks in a "sectors" section before the table; the
    // compressed bit is no part of the offset.
    const std::uint32_t c = table::kCompressed;
    EXPECT_EQ(Sizes(1777, {c | 76, c | 5000, 9000, c | 41772}, 1777 + 41772 + 900, 1000000),
              (std::vector<std::uint64_t>{4924, 4000, 32772, 900}));
    // The older layouts keep the chunks inside the table section, after the
    // entries: the last one runs to the section's end.
    EXPECT_EQ(Sizes(0, {c | 1000, 2000}, 318, 318 + 2500), (std::vector<std::uint64_t>{1000, 818}));
    // A last chunk past its section is none at all.
    EXPECT_EQ(Sizes(0, {5000}, 100, 4000), (std::vector<std::uint64_t>{0}));
    EXPECT_EQ(ChunkSizes(0).Last(0, 100), 0U);
}

TEST(EwfChunkSizes, DamagedEntriesGiveSizesNoChunkHas) {
    const std::uint32_t c = table::kCompressed;
    // Nearly 2 GiB between two entries: that many bytes, as the library
    // would copy them.
    EXPECT_EQ(Sizes(1777, {c | 76, c | 0x79999999U}, 1777 + 0x7999A000ULL, UINT64_MAX).front(),
              0x79999999ULL - 76);
    // An entry behind the one before it: the size wraps to nearly 4 GiB.
    const auto backwards = Sizes(0, {9000, 5000}, 20000, 30000);
    EXPECT_EQ(backwards.front(), 0x100000000ULL - 4000);
    // A repeated entry: no bytes.
    EXPECT_EQ(Sizes(0, {9000, 9000, 9500}, 20000, 30000).front(), 0U);
    // A last chunk far before its table section.
    EXPECT_EQ(Sizes(0, {100}, std::uint64_t{1} << 40, UINT64_MAX).back(),
              (std::uint64_t{1} << 40) - 100);
    EXPECT_GT(backwards.front(), LargestStoredChunk(32768));
    EXPECT_LE(32768U + 4U, LargestStoredChunk(32768));
}

// Segments over 2 GiB, as EnCase 6.7 writes them: offsets go on past 31 bits,
// their top bit then a part of the offset, not a compressed flag.
TEST(EwfChunkSizes, OffsetsGoOnPastTwoGiB) {
    const std::uint32_t c = table::kCompressed;
    const std::uint32_t nearEnd = 0x7FFFF000U;
    const auto sizes = Sizes(0,
                             {
                                 c | (nearEnd - 6000),
                                 c | nearEnd, // 6000 bytes
                                 0x80000800U, // 0x1800 bytes, past 2 GiB
                                 0x80001000U, // read whole from here on: 0x800
                                 0x80002000U, // 0x1000
                             },
                             0x80003000ULL, 0x80004000ULL);
    EXPECT_EQ(sizes, (std::vector<std::uint64_t>{6000, 0x1800, 0x800, 0x1000, 0x1000}));
}

TEST(EwfSections, DescriptorsAndTableHeadersAreReadWithinTheirBytes) {
    std::vector<std::byte> d(section::kDescriptorSize, std::byte{0});
    std::memcpy(d.data() + section::kType, "table2", 6);
    Put(d, section::kNext, 0x123456789ULL, 8);
    Put(d, section::kSize, 1128, 8);
    const auto read = ReadSectionDescriptor(d);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->name(), "table2");
    EXPECT_EQ(read->next, 0x123456789ULL);
    EXPECT_EQ(read->size, 1128U);
    EXPECT_FALSE(ReadSectionDescriptor(std::span(d).first(section::kDescriptorSize - 1)));
    // A type that fills its 16 bytes has no terminator to stop at.
    std::memset(d.data(), 'x', section::kTypeSize);
    EXPECT_EQ(ReadSectionDescriptor(d)->name().size(), section::kTypeSize);

    std::vector<std::byte> t(table::kHeaderSize, std::byte{0});
    Put(t, table::kEntries, 16375, 4);
    Put(t, table::kBase, 1777, 8);
    const auto header = ReadTableHeader(t);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->entries, 16375U);
    EXPECT_EQ(header->base, 1777U);
    EXPECT_FALSE(ReadTableHeader(std::span(t).first(table::kHeaderSize - 1)));

    const auto signature = test::Bytes({'E', 'V', 'F', 9, 13, 10, 0xFF, 0, 1, 1, 0, 0, 0});
    EXPECT_TRUE(IsSegmentFile(signature));
    EXPECT_FALSE(IsSegmentFile(std::span(signature).first(12)));
    auto other = signature;
    other[0] = std::byte{'L'}; // a logical evidence file: no disk in it
    EXPECT_FALSE(IsSegmentFile(other));
}

} // namespace
} // namespace lorvex::ondisk::ewf

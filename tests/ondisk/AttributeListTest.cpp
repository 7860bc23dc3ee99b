#include "ondisk/AttributeList.h"

#include "ondisk/Bytes.h"

#include <gtest/gtest.h>

namespace lorvex::ondisk {
namespace {

using test::Put;
namespace le = listentry;

// An entry of `length` bytes, its name (when given) at 0x1A.
void PutEntry(std::vector<std::byte>& v, std::size_t at, std::size_t length, std::uint32_t type,
              std::int64_t vcn, std::uint64_t reference, std::uint16_t id,
              std::u16string_view name = {}) {
    Put(v, at + le::kType, type, 4);
    Put(v, at + le::kLength, length, 2);
    Put(v, at + le::kNameLength, name.size(), 1);
    Put(v, at + le::kNameOffset, 0x1A, 1);
    Put(v, at + le::kLowestVcn, static_cast<std::uint64_t>(vcn), 8);
    Put(v, at + le::kRecord, reference, 8);
    Put(v, at + le::kId, id, 2);
    for (std::size_t i = 0; i < name.size(); ++i) {
        Put(v, at + 0x1A + 2 * i, name[i], 2);
    }
}

TEST(AttributeList, DecodesEveryFieldOfItsEntries) {
    std::vector<std::byte> v(0x20 + 0x28, std::byte{0});
    PutEntry(v, 0, 0x20, 0x10, 0, 40 | (std::uint64_t{3} << 48), 0);
    PutEntry(v, 0x20, 0x28, 0x80, 0x1234, 0x0000123456789ABCULL | (std::uint64_t{7} << 48), 5,
             u"ads");
    const auto entries = DecodeAttributeList(v);
    ASSERT_EQ(entries.size(), 2U);
    EXPECT_EQ(entries[0].type, 0x10U);
    EXPECT_EQ(entries[0].record, 40);
    EXPECT_EQ(entries[0].sequence, 3);
    EXPECT_EQ(entries[0].nameLength, 0);
    EXPECT_TRUE(entries[0].name.empty());
    EXPECT_EQ(entries[1].type, 0x80U);
    EXPECT_EQ(entries[1].lowestVcn, 0x1234);
    // The sequence number is not part of the record number.
    EXPECT_EQ(entries[1].record, 0x123456789ABC);
    EXPECT_EQ(entries[1].sequence, 7);
    EXPECT_EQ(entries[1].id, 5);
    EXPECT_EQ(entries[1].nameLength, 3);
    ASSERT_EQ(entries[1].name.size(), 6U);
    EXPECT_EQ(entries[1].name[0], std::byte{'a'});
    EXPECT_EQ(entries[1].name[4], std::byte{'s'});
}

TEST(AttributeList, StopsAtAnEntryThatCannotBeRightKeepingThoseBefore) {
    std::vector<std::byte> three(0x60, std::byte{0});
    for (std::size_t i = 0; i < 3; ++i) {
        PutEntry(three, 0x20 * i, 0x20, 0x10 * static_cast<std::uint32_t>(i + 1), 0, 40 + i, 0);
    }
    EXPECT_EQ(DecodeAttributeList(three).size(), 3U);
    // Cut short: only the entries the value holds whole.
    EXPECT_EQ(DecodeAttributeList(std::span(three).first(0x5F)).size(), 2U);
    // A length of 0 would never move on; one below the fixed fields would
    // read them from the next entry; one past the value reads outside it.
    for (const std::uint64_t bad : {0ULL, 0x19ULL, 0x48ULL}) {
        auto v = three;
        Put(v, 0x20 + le::kLength, bad, 2);
        EXPECT_EQ(DecodeAttributeList(v).size(), 1U) << bad;
    }
    // A tail too short for an entry's fields ends the list quietly.
    auto tail = three;
    tail.resize(tail.size() + 0x18);
    EXPECT_EQ(DecodeAttributeList(tail).size(), 3U);
}

TEST(AttributeList, ANameIsReadOnlyInsideItsEntry) {
    std::vector<std::byte> v(0x20, std::byte{0});
    PutEntry(v, 0, 0x20, 0x80, 0, 40, 1, u"ab");
    // Two units fit in the entry's 0x20 bytes; five do not.
    EXPECT_EQ(DecodeAttributeList(v)[0].name.size(), 4U);
    Put(v, le::kNameLength, 5, 1);
    const auto e = DecodeAttributeList(v)[0];
    EXPECT_EQ(e.nameLength, 5);
    EXPECT_TRUE(e.name.empty());
}

} // namespace
} // namespace lorvex::ondisk

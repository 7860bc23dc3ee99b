#include "ondisk/Attribute.h"

#include "ondisk/Bytes.h"

#include <gtest/gtest.h>

namespace lorvex::ondisk {
namespace {

using test::Put;

std::vector<std::byte>
RecordWith(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> attributes,
           bool endMarker) {
    std::vector<std::byte> rec(1024, std::byte{0});
    std::size_t at = 0x38;
    for (auto [type, length] : attributes) {
        Put(rec, at + attr::kType, type, 4);
        Put(rec, at + attr::kLength, length, 4);
        at += length;
    }
    if (endMarker && at + 4 <= rec.size()) {
        Put(rec, at, attr::kEndMarker, 4);
    }
    return rec;
}

std::vector<std::uint32_t> Types(const std::vector<std::byte>& rec, bool* damaged = nullptr) {
    AttributeWalker walk(rec, 0x38);
    std::vector<std::uint32_t> types;
    while (auto a = walk.Next()) {
        types.push_back(a->type);
    }
    if (damaged != nullptr) {
        *damaged = walk.damaged();
    }
    return types;
}

TEST(AttributeWalker, VisitsEveryAttributeUpToTheEndMarker) {
    bool damaged = true;
    EXPECT_EQ(Types(RecordWith({{0x10, 0x60}, {0x30, 0x68}, {0x80, 0x48}}, true), &damaged),
              (std::vector<std::uint32_t>{0x10, 0x30, 0x80}));
    EXPECT_FALSE(damaged);
}

TEST(AttributeWalker, StaysInsideDamagedRecords) {
    bool damaged = false;
    // A length of zero would visit the same attribute forever.
    EXPECT_EQ(Types(RecordWith({{0x10, 0x60}, {0x30, 0}}, false), &damaged),
              (std::vector<std::uint32_t>{0x10}));
    EXPECT_TRUE(damaged);
    // A length that runs past the record.
    EXPECT_EQ(Types(RecordWith({{0x10, 0x60}, {0x80, 0x1000}}, true), &damaged),
              (std::vector<std::uint32_t>{0x10}));
    EXPECT_TRUE(damaged);
    // No end marker: attributes fill the record to its last byte.
    EXPECT_EQ(Types(RecordWith({{0x10, 0x1C8}, {0x80, 0x200}}, false), &damaged).size(), 2U);
    EXPECT_TRUE(damaged);
    // A first-attribute offset beyond the record.
    std::vector<std::byte> rec(1024, std::byte{0});
    AttributeWalker walk(rec, 5000);
    EXPECT_FALSE(walk.Next());
    EXPECT_TRUE(walk.damaged());
}

TEST(AttributeValues, ResidentValueAndRunListAreBoundedByTheAttribute) {
    std::vector<std::byte> a(0x28, std::byte{0});
    Put(a, attr::kLength, 0x28, 4);
    Put(a, attr::kValueLength, 0x10, 4);
    Put(a, attr::kValueOffset, 0x18, 2);
    EXPECT_EQ(ResidentValue(a).size(), 0x10U);
    Put(a, attr::kValueLength, 0x11, 4);
    EXPECT_TRUE(ResidentValue(a).empty());

    std::vector<std::byte> nr(0x48, std::byte{0});
    Put(nr, attr::kRunListOffset, 0x40, 2);
    EXPECT_EQ(RunListBytes(nr).size(), 8U);
    Put(nr, attr::kRunListOffset, 0x49, 2);
    EXPECT_TRUE(RunListBytes(nr).empty());
}

} // namespace
} // namespace lorvex::ondisk

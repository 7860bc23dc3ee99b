#include "ondisk/Attribute.h"

#include "ondisk/Bytes.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

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

    // A non-resident attribute has no value in the record, whatever the
    // bytes where a resident header keeps its value's place say.
    Put(a, attr::kValueLength, 0x10, 4);
    Put(a, attr::kNonResident, 1, 1);
    EXPECT_TRUE(ResidentValue(a).empty());
}

// A record of attributes laid out one after another from 0x38, each given
// as its type, id, name, and (non-resident when set) lowest VCN.
struct Laid {
    std::uint32_t type;
    std::uint16_t id;
    std::u16string_view name;
    std::optional<std::int64_t> lowestVcn;
};

std::vector<std::byte> RecordOf(std::initializer_list<Laid> attributes) {
    std::vector<std::byte> rec(1024, std::byte{0});
    Put(rec, 0x14, 0x38, 2); // the first-attribute offset
    std::size_t at = 0x38;
    for (const Laid& a : attributes) {
        const std::size_t length = 0x48;
        Put(rec, at + attr::kType, a.type, 4);
        Put(rec, at + attr::kLength, length, 4);
        Put(rec, at + attr::kNonResident, a.lowestVcn ? 1 : 0, 1);
        Put(rec, at + attr::kNameLength, a.name.size(), 1);
        Put(rec, at + attr::kNameOffset, 0x40, 2);
        Put(rec, at + attr::kId, a.id, 2);
        Put(rec, at + attr::kLowestVcn, static_cast<std::uint64_t>(a.lowestVcn.value_or(0)), 8);
        for (std::size_t i = 0; i < a.name.size(); ++i) {
            Put(rec, at + 0x40 + 2 * i, a.name[i], 2);
        }
        at += length;
    }
    Put(rec, at, attr::kEndMarker, 4);
    return rec;
}

std::optional<std::uint16_t> IdFound(const std::vector<std::byte>& rec, const AttributeKey& key) {
    const auto a = FindAttribute(rec, key);
    return a ? std::optional<std::uint16_t>(AttributeId(a->bytes)) : std::nullopt;
}

TEST(FindAttribute, EveryKeyThatIsSetMustMatch) {
    const auto rec = RecordOf({{0x80, 1, u"one", {}},
                               {0x80, 2, u"", 4},
                               {0x80, 3, u"", 0},
                               {0x80, 4, u"", {}},
                               {0x30, 5, u"", {}}});
    const auto key = [](std::optional<std::u16string_view> name, std::optional<std::int64_t> vcn,
                        std::optional<std::uint16_t> id) {
        return AttributeKey{.type = 0x80, .name = name, .lowestVcn = vcn, .id = id};
    };
    // The first of the type, whatever its name.
    EXPECT_EQ(IdFound(rec, key({}, {}, {})), 1);
    // Unnamed means a name of length 0.
    EXPECT_EQ(IdFound(rec, key(u"", {}, {})), 2);
    EXPECT_EQ(IdFound(rec, key(u"one", {}, {})), 1);
    EXPECT_EQ(IdFound(rec, key(u"on", {}, {})), std::nullopt);
    // A resident attribute is the piece at VCN 0.
    EXPECT_EQ(IdFound(rec, key(u"", 0, {})), 3);
    EXPECT_EQ(IdFound(rec, key(u"one", 0, {})), 1);
    EXPECT_EQ(IdFound(rec, key(u"", 4, {})), 2);
    EXPECT_EQ(IdFound(rec, key({}, {}, 4)), 4);
    EXPECT_EQ(IdFound(rec, key(u"one", {}, 4)), std::nullopt);
    EXPECT_EQ(IdFound(rec, {.type = 0x30, .name = {}, .lowestVcn = {}, .id = 5}), 5);
}

TEST(FindAttribute, ANameThatDoesNotFitIsNoName) {
    auto rec = RecordOf({{0x80, 1, u"ab", {}}, {0x80, 2, u"", {}}});
    // The first name now claims 200 units: not unnamed, and not "ab".
    Put(rec, 0x38 + attr::kNameLength, 200, 1);
    const AttributeKey unnamed{.type = 0x80, .name = u"", .lowestVcn = {}, .id = {}};
    EXPECT_EQ(IdFound(rec, unnamed), 2);
    EXPECT_EQ(IdFound(rec, {.type = 0x80, .name = u"ab", .lowestVcn = {}, .id = {}}), std::nullopt);
}

TEST(WalkRecordAttributes, StartsWhereTheHeaderSaysAndNowhereInAShortRecord) {
    auto rec = RecordOf({{0x10, 1, u"", {}}, {0x30, 2, u"", {}}});
    auto walk = WalkRecordAttributes(rec);
    ASSERT_TRUE(walk.Next());
    Put(rec, 0x14, 0x38 + 0x48, 2);
    auto second = WalkRecordAttributes(rec);
    const auto a = second.Next();
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, 0x30U);
    const std::vector<std::byte> stub(0x10, std::byte{0});
    auto none = WalkRecordAttributes(stub);
    EXPECT_FALSE(none.Next());
    EXPECT_TRUE(none.damaged());
}

} // namespace
} // namespace lorvex::ondisk

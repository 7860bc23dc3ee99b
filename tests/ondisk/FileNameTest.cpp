#include "ondisk/FileName.h"
#include "ondisk/StandardInformation.h"

#include "ondisk/Bytes.h"

#include <gtest/gtest.h>

namespace lorvex::ondisk {
namespace {

using test::Put;

std::vector<std::byte> FileNameValue(std::u16string_view name, std::uint8_t nameSpace) {
    namespace fn = filename;
    std::vector<std::byte> v(fn::kName + 2 * name.size(), std::byte{0});
    Put(v, fn::kParent, 0x2A | (std::uint64_t{5} << 48), 8);
    Put(v, fn::kCreationTime, 1, 8);
    Put(v, fn::kModificationTime, 2, 8);
    Put(v, fn::kChangeTime, 3, 8);
    Put(v, fn::kAccessTime, 4, 8);
    Put(v, fn::kAllocatedSize, 8192, 8);
    Put(v, fn::kDataSize, 5000, 8);
    Put(v, fn::kFileAttributes, 0x20, 4);
    Put(v, fn::kNameLength, name.size(), 1);
    Put(v, fn::kNamespace, nameSpace, 1);
    for (std::size_t i = 0; i < name.size(); ++i) {
        Put(v, fn::kName + 2 * i, name[i], 2);
    }
    return v;
}

TEST(FileName, DecodesEveryField) {
    const auto v = FileNameValue(u"a.txt", 1);
    const FileName f = DecodeFileName(v);
    EXPECT_EQ(f.parent, 0x2A); // without the sequence number
    EXPECT_EQ(f.creationTime, 1);
    EXPECT_EQ(f.modificationTime, 2);
    EXPECT_EQ(f.changeTime, 3);
    EXPECT_EQ(f.accessTime, 4);
    EXPECT_EQ(f.allocatedSize, 8192);
    EXPECT_EQ(f.dataSize, 5000);
    EXPECT_EQ(f.fileAttributes, 0x20U);
    EXPECT_FALSE(f.IsDosName());
    ASSERT_EQ(f.name.size(), 10U);
    EXPECT_EQ(f.name[8], std::byte{'t'});
    EXPECT_TRUE(DecodeFileName(FileNameValue(u"A~1", filename::kNamespaceDos)).IsDosName());
}

TEST(FileName, ReadsNothingPastItsValue) {
    auto v = FileNameValue(u"a.txt", 1);
    // A name that claims more than the value holds is what the value holds.
    Put(v, filename::kNameLength, 200, 1);
    EXPECT_EQ(DecodeFileName(v).name.size(), 10U);
    // A value too short for the fields: those past its end read as 0, and
    // the parent as absent.
    const FileName cut = DecodeFileName(std::span(v).first(0x2C));
    EXPECT_EQ(cut.accessTime, 4);
    EXPECT_EQ(cut.allocatedSize, 0);
    EXPECT_TRUE(cut.name.empty());
    EXPECT_FALSE(DecodeFileName(std::span(v).first(4)).parent);
}

TEST(StandardInformation, DecodesItsTimesAndAttributesAsFarAsTheValueGoes) {
    namespace si = stdinfo;
    std::vector<std::byte> v(0x48, std::byte{0});
    Put(v, si::kCreationTime, 11, 8);
    Put(v, si::kModificationTime, 12, 8);
    Put(v, si::kChangeTime, 13, 8);
    Put(v, si::kAccessTime, 14, 8);
    Put(v, si::kFileAttributes, 0x26, 4);
    const StandardInformation s = DecodeStandardInformation(v);
    EXPECT_EQ(s.creationTime, 11);
    EXPECT_EQ(s.modificationTime, 12);
    EXPECT_EQ(s.changeTime, 13);
    EXPECT_EQ(s.accessTime, 14);
    EXPECT_EQ(s.fileAttributes, 0x26U);
    const StandardInformation cut = DecodeStandardInformation(std::span(v).first(0x1C));
    EXPECT_EQ(cut.changeTime, 13);
    EXPECT_EQ(cut.accessTime, 0);
    EXPECT_EQ(cut.fileAttributes, 0U);
}

} // namespace
} // namespace lorvex::ondisk

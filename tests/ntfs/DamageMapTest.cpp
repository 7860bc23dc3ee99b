// Reading damage maps: what a rescue tool writes, and what a damaged or
// hand-edited map holds instead.
#include "ntfs/DamageMap.h"

#include <gtest/gtest.h>

namespace lorvex::ntfs {
namespace {

std::string Areas(const TDamageMap& map) {
    std::string text;
    for (const auto& a : map.Areas) {
        text += std::to_string(a.First) + "+" + std::to_string(a.Length) + a.Status + " ";
    }
    return text;
}

TEST(RescueMap, EveryStatusButGoodIsAnArea) {
    const auto map = ParseRescueMap("# Mapfile. Created by GNU ddrescue version 1.27\n"
                                    "# current_pos  current_status  current_pass\n"
                                    "0x00020000     ?               1\r\n"
                                    "#      pos        size  status\n"
                                    "0x00000000  0x00010000  +\n"
                                    "0x00010000  0x00000200  -\n"
                                    "0x00010200  512  /\n"
                                    "0x00010400  0x00000200  *\n"
                                    "0x00010600  0x0000FA00  ?\n"
                                    "0x00020000  0x00000000  -\n"
                                    "0x00020000  0x00001000  +");
    EXPECT_EQ(map.Error, "");
    EXPECT_EQ(Areas(map), "65536+512- 66048+512/ 66560+512* 67072+64000? ");
}

TEST(RescueMap, DamagedMapsSayWhereAndGiveNoArea) {
    const std::string head = "0x0 +\n";
    const auto error = [](std::string_view text) {
        const auto map = ParseRescueMap(text);
        EXPECT_TRUE(map.Areas.empty());
        return map.Error;
    };
    EXPECT_EQ(error(""), "the mapfile is empty");
    EXPECT_EQ(error("# only\n\n# comments\n"), "the mapfile is empty");
    EXPECT_NE(error("pos status\n").find("line 1"), std::string::npos);
    EXPECT_NE(error(head + "0x0 0x10 +\n0x10 0x10\n").find("line 3"), std::string::npos);
    EXPECT_NE(error(head + "0x0 0x10 %\n").find("line 2"), std::string::npos);
    EXPECT_NE(error(head + "0x0 0x10 + extra\n").find("line 2"), std::string::npos);
    EXPECT_NE(error(head + "0x10 0x10 -\n0x0 0x10 -\n").find("line 3"), std::string::npos);
    EXPECT_NE(error(head + "0x0 0x20 -\n0x10 0x10 +\n").find("line 3"), std::string::npos);
    EXPECT_NE(error(head + "0xFFFFFFFFFFFFFFF0 0x20 -\n").find("2^64"), std::string::npos);
    EXPECT_NE(error(head + "0x1FFFFFFFFFFFFFFFF 0x20 -\n").find("line 2"), std::string::npos);
    const auto none = ParseRescueMap(head);
    EXPECT_EQ(none.Error, "");
    EXPECT_TRUE(none.Areas.empty());
    EXPECT_EQ(none.Notes.size(), 1U);
}

TEST(BadSectorList, AnyOrderEachSectorOnceMerged) {
    const auto map = ParseBadSectorList("# from a scan\n9\n3\n\n4\n4\n100\n", 512);
    EXPECT_EQ(map.Error, "");
    EXPECT_EQ(Areas(map), "1536+1024B 4608+512B 51200+512B ");
    EXPECT_NE(ParseBadSectorList("1\n-2\n", 512).Error.find("line 2"), std::string::npos);
    EXPECT_NE(ParseBadSectorList("1 2\n", 512).Error.find("line 1"), std::string::npos);
    EXPECT_NE(ParseBadSectorList("36028797018963968\n", 512).Error.find("2^64"), std::string::npos);
    EXPECT_FALSE(ParseBadSectorList("", 512).Error.empty());
    EXPECT_FALSE(ParseBadSectorList("1\n", 0).Error.empty());
}

TEST(BadSectorList, AreasPastTheSourceAreSetAside) {
    auto map = ParseBadSectorList("1\n10\n20\n", 4096);
    ClipToSource(map, 10 * 4096 + 100);
    EXPECT_EQ(Areas(map), "4096+4096B 40960+100B ");
    ASSERT_EQ(map.Notes.size(), 1U);
    EXPECT_NE(map.Notes[0].find("8092 bytes"), std::string::npos) << map.Notes[0];
}

} // namespace
} // namespace lorvex::ntfs

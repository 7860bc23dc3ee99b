// Reading damage maps: what a rescue tool writes, and what a damaged or
// hand-edited map holds instead.
#include "ntfs/DamageMap.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

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

namespace lorvex::ntfs {
namespace {

// The text fed in pieces of every few sizes, lines cut anywhere: the same
// map as the text whole.
TEST(DamageMapReader, PiecesReadAsTheWhole) {
    const std::string mapfile = "# Mapfile\r\n0x0 ? 1\n0x0 0x200 +\n0x200 0x200 -\r\n0x400 "
                                "0x200 /\n0x600 0x1000 +\n0x1600 0x10 *";
    const std::string list = "# bad\n7\n\n5\r\n6\n100\n  8 \n0x65\n1";
    for (const std::uint32_t sectorSize : {0U, 512U}) {
        const std::string& text = sectorSize == 0 ? mapfile : list;
        TDamageMapReader whole(sectorSize);
        whole.Feed(text);
        const TDamageMap expected = whole.Finish();
        ASSERT_EQ(expected.Error, "");
        for (const std::size_t piece : {1U, 2U, 3U, 7U, 64U}) {
            TDamageMapReader reader(sectorSize);
            for (std::size_t at = 0; at < text.size(); at += piece) {
                ASSERT_TRUE(reader.Feed(std::string_view(text).substr(at, piece)));
            }
            const TDamageMap map = reader.Finish();
            EXPECT_EQ(Areas(map), Areas(expected)) << piece;
            EXPECT_EQ(map.Lines, expected.Lines);
            EXPECT_EQ(map.Listed, expected.Listed);
        }
    }
    const auto map = ParseBadSectorList(list, 512);
    EXPECT_EQ(Areas(map), "512+512B 2560+2048B 51200+1024B ");
    EXPECT_EQ(map.Lines, 9U);
    EXPECT_EQ(map.Listed, 7U);
    EXPECT_TRUE(map.SectorList);
    const auto blocks = ParseRescueMap(mapfile);
    EXPECT_EQ(blocks.Lines, 7U);
    EXPECT_EQ(blocks.Listed, 5U);
    EXPECT_FALSE(blocks.SectorList);
}

// Near half a million sectors of a few stretches, in no order: the areas they merge
// to, however they come, and the memory kept stays near that.
TEST(DamageMapReader, SectorsMergeAsTheyComeInAnyOrder) {
    std::vector<std::uint64_t> sectors;
    for (std::uint64_t s = 0; s < 400'000; ++s) {
        if (s % 100'000 != 0) { // four stretches, a sector apart
            sectors.push_back(s);
        }
    }
    const auto text = [](const std::vector<std::uint64_t>& order) {
        std::string t;
        for (const std::uint64_t s : order) {
            t += std::to_string(s) + "\n";
        }
        return t;
    };
    std::vector<std::uint64_t> backwards(sectors.rbegin(), sectors.rend());
    std::vector<std::uint64_t> shuffled = sectors;
    std::mt19937_64 random(7);
    std::ranges::shuffle(shuffled, random);
    for (const auto* order : {&sectors, &backwards, &shuffled}) {
        TDamageMapReader reader(512);
        const std::string t = text(*order);
        for (std::size_t at = 0; at < t.size(); at += 65536) {
            reader.Feed(std::string_view(t).substr(at, 65536));
        }
        const TDamageMap map = reader.Finish();
        EXPECT_EQ(Areas(map), "512+51199488B 51200512+51199488B 102400512+51199488B "
                              "153600512+51199488B ");
        EXPECT_EQ(map.Listed, sectors.size());
        // Shuffled sectors are merged now and then, never all kept.
        EXPECT_LT(map.Areas.capacity(), order == &shuffled ? sectors.size() * 3 / 4 : 16U);
    }
}

TEST(DamageMapReader, ALineLongerThanAnyMapsIsRefusedWithoutKeepingIt) {
    TDamageMapReader reader(512);
    EXPECT_TRUE(reader.Feed("1\n2\n"));
    const std::string endless(4096, '7');
    bool going = true;
    for (int i = 0; i < 1000 && going; ++i) {
        going = reader.Feed(endless);
    }
    EXPECT_FALSE(going);
    const TDamageMap map = reader.Finish();
    EXPECT_NE(map.Error.find("line 3: longer than any line"), std::string::npos) << map.Error;
    EXPECT_TRUE(map.Areas.empty());
}

// Only a regular file is a damage map: a FIFO would wait for a writer, a
// device could be endless. Each is refused at once, saying what it is.
TEST(DamageFile, OnlyARegularFileIsRead) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("lorvex-damage-file-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto fifo = dir / "map.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto list = dir / "list.txt";
    std::ofstream(list) << "# bad sectors\n3\n4\n";
    const auto start = std::chrono::steady_clock::now();
    const struct {
        std::filesystem::path path;
        const char* says;
    } refused[] = {{fifo, "a FIFO, not a regular file"},
                   {"/dev/zero", "a character device, not a regular file"},
                   {dir, "a folder, not a regular file"},
                   {dir / "none", "No such file"}};
    for (const auto& r : refused) {
        for (const std::uint32_t sectorSize : {0U, 512U}) {
            EXPECT_NE(ReadDamageFile(r.path, sectorSize).Error.find(r.says), std::string::npos)
                << r.path;
        }
        std::string why;
        EXPECT_FALSE(DamageFileLooksLikeSectorList(r.path, why));
        EXPECT_NE(why.find(r.says), std::string::npos) << why;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    std::string why;
    EXPECT_EQ(DamageFileLooksLikeSectorList(list, why), std::optional<bool>(true));
    const auto map = ReadDamageFile(list, 512);
    EXPECT_EQ(map.Error, "");
    EXPECT_EQ(Areas(map), "1536+1024B ");
    EXPECT_EQ(map.Lines, 3U);
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace lorvex::ntfs

// The cluster checks on hand-made maps and bitmaps: the cases a real volume
// rarely shows at once (word boundaries, three-way overlaps, runs before 0).
#include "ntfs/Health.h"
#include "ntfs/FileTable.h"

#include <gtest/gtest.h>

#include <string>

namespace lorvex::ntfs {
namespace {

// A table of records 20, 21, 22 (indexes 0, 1, 2).
TFileIDs Table() {
    TFileIDs table;
    const TFileInfo info;
    for (std::int64_t id = 20; id < 23; ++id) {
        table.Add(u"\\f" + std::u16string(1, static_cast<char16_t>(u'0' + id - 20)), kTypeFile,
                  info, false, id, id);
    }
    return table;
}

struct Bitmap {
    explicit Bitmap(std::int64_t clusters)
        : Words(static_cast<std::size_t>((clusters + 63) / 64), 0), Clusters(clusters) {}
    void Set(std::int64_t first, std::int64_t count) {
        for (std::int64_t c = first; c < first + count; ++c) {
            Words[static_cast<std::size_t>(c / 64)] |= std::uint64_t{1} << (c % 64);
        }
    }
    void Clear(std::int64_t c) {
        Words[static_cast<std::size_t>(c / 64)] &= ~(std::uint64_t{1} << (c % 64));
    }
    [[nodiscard]] TBitmapWords View() const { return {Words, Clusters}; }
    std::vector<std::uint64_t> Words;
    std::int64_t Clusters;
};

// "kind first count [record...]" per problem, in the order found.
std::vector<std::string> Lines(const THealthReport& report) {
    std::vector<std::string> lines;
    for (const auto& p : report.Problems) {
        std::string line = std::string(HealthKindName(p.Kind)) + " " + std::to_string(p.FirstLCN) +
                           " " + std::to_string(p.Count);
        for (const auto& c : report.ClaimantsOf(p)) {
            line += " " + std::to_string(c.RecordNo);
        }
        lines.push_back(line);
    }
    std::ranges::sort(lines);
    return lines;
}

TEST(HealthClusters, AgreeingMapAndBitmapGiveNothing) {
    const TFileIDs table = Table();
    Bitmap bits(1000);
    bits.Set(0, 10);
    bits.Set(60, 80); // across two word boundaries
    bits.Set(999, 1);
    const TClusterArray map{
        {0, 10, 0, 0x80}, {60, 30, 1, 0x80}, {90, 50, 2, 0xA0}, {999, 1, 0, 0x80}};
    THealthReport report;
    CheckClusters(map, table, 1000, bits.View(), report);
    EXPECT_TRUE(report.BitmapChecked);
    EXPECT_TRUE(report.Problems.empty()) << testing::PrintToString(Lines(report));
}

TEST(HealthClusters, FreeOwnedAndLostClustersAreRangesAcrossWords) {
    const TFileIDs table = Table();
    Bitmap bits(1000);
    bits.Set(60, 80);
    bits.Clear(63);
    bits.Clear(64);
    bits.Clear(139);    // the last of entry 2's run
    bits.Set(300, 200); // lost: no extent there
    bits.Set(10, 1);
    const TClusterArray map{{60, 30, 1, 0x80}, {90, 50, 2, 0xA0}};
    THealthReport report;
    CheckClusters(map, table, 1000, bits.View(), report);
    EXPECT_EQ(Lines(report),
              (std::vector<std::string>{"owned-free 139 1 22", "owned-free 63 2 21",
                                        "unowned-used 10 1", "unowned-used 300 200"}));
}

TEST(HealthClusters, OverlapsNameEveryClaimantOnceForEachClaim) {
    const TFileIDs table = Table();
    Bitmap bits(1000);
    bits.Set(100, 100);
    // 0 covers 100-149, 1 covers 120-169, 2 covers 140-199, and 0 claims
    // 190-194 a second time in another attribute.
    const TClusterArray map{
        {100, 50, 0, 0x80}, {120, 50, 1, 0x80}, {140, 60, 2, 0x80}, {190, 5, 2, 0xA0}};
    THealthReport report;
    CheckClusters(map, table, 1000, bits.View(), report);
    EXPECT_EQ(Lines(report),
              (std::vector<std::string>{"cross-linked 120 20 20 21", "cross-linked 140 10 20 21 22",
                                        "cross-linked 150 20 21 22", "cross-linked 190 5 22 22"}));
}

TEST(HealthClusters, RunsLeavingTheVolumeAreBeyondTheEnd) {
    const TFileIDs table = Table();
    Bitmap bits(100);
    bits.Set(0, 5);
    bits.Set(95, 5);
    const TClusterArray map{{-3, 8, 0, 0x80}, {95, 10, 1, 0x80}, {500, 7, 2, 0x80}};
    THealthReport report;
    CheckClusters(map, table, 100, bits.View(), report);
    EXPECT_EQ(Lines(report), (std::vector<std::string>{"beyond-end -3 3 20", "beyond-end 100 5 21",
                                                       "beyond-end 500 7 22"}));
}

TEST(HealthClusters, NothingIsComparedPastTheBitmap) {
    const TFileIDs table = Table();
    Bitmap bits(64); // of a volume of 1000
    const TClusterArray map{{10, 5, 0, 0x80}, {500, 5, 1, 0x80}};
    THealthReport report;
    CheckClusters(map, table, 1000, bits.View(), report);
    EXPECT_EQ(Lines(report), (std::vector<std::string>{"owned-free 10 5 20"}));

    THealthReport none;
    CheckClusters(map, table, 1000, {}, none);
    EXPECT_FALSE(none.BitmapChecked);
    EXPECT_TRUE(none.Problems.empty());
}

} // namespace
} // namespace lorvex::ntfs

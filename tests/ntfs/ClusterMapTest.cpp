// The cluster map, the fragment analysis and the lookups over hand-made
// tables and maps, and the enumeration over a hand-made volume.
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ondisk/Attribute.h"
#include "ondisk/ByteReader.h"
#include "support/FakeVolumeApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace lorvex::ntfs {

// Field-wise, so that failures print the extents.
bool operator==(const TClusterEntry& a, const TClusterEntry& b) {
    return std::tie(a.LCN, a.Length, a.FileIndex, a.AttrType) ==
           std::tie(b.LCN, b.Length, b.FileIndex, b.AttrType);
}
void PrintTo(const TClusterEntry& e, std::ostream* os) {
    *os << "{LCN " << e.LCN << ", Length " << e.Length << ", FileIndex " << e.FileIndex
        << ", AttrType 0x" << std::hex << e.AttrType << std::dec << "}";
}

namespace {

using test::FakeVolumeApi;
using test::FakeVolumeData;

constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kIndexAllocation = 0xA0;
constexpr std::uint32_t kBitmap = 0xB0;

struct Entry {
    std::int64_t fileId;
    std::int64_t baseId;
    std::uint32_t fragments = 0;
};

// A table whose entries are named after their records: Name "\fN" (N the
// base record), in the root.
TFileIDs Table(std::initializer_list<Entry> entries) {
    TFileIDs table;
    for (const Entry& e : entries) {
        TFileID id;
        id.FileID = e.fileId;
        id.BaseID = e.baseId;
        const std::string number = std::to_string(e.baseId);
        id.Name = table.KeepName(u"\\f" + std::u16string(number.begin(), number.end()));
        id.PathParent = kPathFromRoot;
        id.Fragments = e.fragments;
        table.NewEntry() = id;
    }
    return table;
}

// The same with every entry below a directory "\dir", the table's last entry.
TFileIDs TableInDir(std::initializer_list<Entry> entries) {
    TFileIDs table = Table(entries);
    TFileID dir;
    dir.FileID = dir.BaseID = 1000;
    dir.Name = u"\\dir";
    dir.PathParent = kPathFromRoot;
    for (TFileID& e : table) {
        e.PathParent = table.size();
    }
    table.NewEntry() = dir;
    return table;
}

// A number from 0 to n - 1.
std::uint32_t Draw(std::mt19937& random, std::uint32_t n) {
    return static_cast<std::uint32_t>(random() % n);
}

TClusterEntry Extent(std::int64_t lcn, std::int64_t length, std::uint32_t fileIndex,
                     std::uint32_t attrType = kData) {
    return {lcn, length, fileIndex, attrType};
}

// A volume object on a fake drive with nothing in it: the lookups use only
// its MFT zone bounds.
struct ZoneVolume {
    FakeVolumeApi api;
    std::unique_ptr<NtfsVolume> volume;
    ZoneVolume(std::int64_t start, std::int64_t end) {
        FakeVolumeData data;
        data.mftZoneStart = start;
        data.mftZoneEnd = end;
        api.AddNtfsDrive('C', data);
        volume = std::make_unique<NtfsVolume>(api, "C");
    }
    std::string Describe(const TClusterArray& map, const TFileIDs& table, std::int64_t lcn,
                         bool fullPath = true) const {
        std::string text = "stale";
        volume->DescribeCluster(map, table, text, fullPath, lcn);
        return text;
    }
};

// ---------------------------------------------------------------------------

TEST(LCNEntries, ClearLeavesOnlyTheSentinelAndAddNumbersTheExtents) {
    TLCNEntries entries;
    EXPECT_TRUE(entries.empty());
    entries.Clear();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].LCN, -1);
    EXPECT_EQ(entries[0].EntryNo, -1);
    EXPECT_EQ(entries[0].Length, 0);

    entries.Add(7, kData, 100, 5);
    EXPECT_EQ(entries.size(), 2);
    // Past the first thousand the array grows again.
    for (int i = 2; i <= 1001; ++i) {
        entries.Add(static_cast<std::uint32_t>(i), kBitmap, i * 10, 1);
    }
    EXPECT_EQ(entries.size(), 1002);
    std::int32_t expected = -1;
    for (const TLCNEntry& e : entries) {
        EXPECT_EQ(e.EntryNo, expected);
        expected = expected < 0 ? 1 : expected + 1;
    }
    EXPECT_EQ(expected, 1002);
    const TLCNEntry& first = entries[1];
    EXPECT_EQ(first.FileIndex, 7U);
    EXPECT_EQ(first.AttrType, kData);
    EXPECT_EQ(first.LCN, 100);
    EXPECT_EQ(first.Length, 5);
    EXPECT_EQ(entries[1001].FileIndex, 1001U);
    EXPECT_EQ(entries[1001].LCN, 10010);

    // A second enumeration starts from the sentinel alone again.
    entries.Clear();
    EXPECT_EQ(entries.size(), 1);
    EXPECT_EQ(entries.items().size(), 1U);
    EXPECT_EQ(entries[0].EntryNo, -1);
}

// ---------------------------------------------------------------------------

TEST(SortClusters, EmptyAndSingleMapsStayAsTheyAre) {
    TClusterArray map;
    SortClustersByFileIndex(map);
    SortClustersByLCN(map);
    EXPECT_TRUE(map.empty());
    map = {Extent(9, 1, 3)};
    SortClustersByLCN(map);
    EXPECT_EQ(map, TClusterArray{Extent(9, 1, 3)});
}

TEST(SortClusters, KeysCompareAsUnsignedIndexesAndSignedClusters) {
    TClusterArray map = {Extent(5, 1, 0x80000000U), Extent(-3, 1, 2), Extent(0x100000000LL, 1, 0),
                         Extent(1, 1, 2)};
    SortClustersByFileIndex(map);
    ASSERT_EQ(map.size(), 4U);
    EXPECT_EQ(map[0].FileIndex, 0U);
    EXPECT_EQ(map[1].FileIndex, 2U);
    EXPECT_EQ(map[2].FileIndex, 2U);
    EXPECT_EQ(map[3].FileIndex, 0x80000000U); // above 2^31, still last

    SortClustersByLCN(map);
    EXPECT_EQ(map[0].LCN, -3);
    EXPECT_EQ(map[1].LCN, 1);
    EXPECT_EQ(map[2].LCN, 5);
    EXPECT_EQ(map[3].LCN, 0x100000000LL);
}

TEST(SortClusters, BothOrdersKeepEveryExtentAndGroupOrOrderThem) {
    std::mt19937 random(4);
    TClusterArray map;
    for (std::uint32_t i = 0; i < 5000; ++i) {
        map.push_back(Extent(Draw(random, 1000000), 1 + Draw(random, 7), Draw(random, 300),
                             (1 + Draw(random, 16)) * 16));
    }
    auto byValue = [](const TClusterEntry& a, const TClusterEntry& b) {
        return std::tie(a.LCN, a.Length, a.FileIndex, a.AttrType) <
               std::tie(b.LCN, b.Length, b.FileIndex, b.AttrType);
    };
    TClusterArray expected = map;
    std::sort(expected.begin(), expected.end(), byValue);

    SortClustersByFileIndex(map);
    EXPECT_TRUE(
        std::is_sorted(map.begin(), map.end(), [](const TClusterEntry& a, const TClusterEntry& b) {
            return a.FileIndex < b.FileIndex;
        }));
    TClusterArray sorted = map;
    std::sort(sorted.begin(), sorted.end(), byValue);
    EXPECT_EQ(sorted, expected);

    SortClustersByLCN(map);
    EXPECT_TRUE(
        std::is_sorted(map.begin(), map.end(), [](const TClusterEntry& a, const TClusterEntry& b) {
            return a.LCN < b.LCN;
        }));
    sorted = map;
    std::sort(sorted.begin(), sorted.end(), byValue);
    EXPECT_EQ(sorted, expected);
}

// ---------------------------------------------------------------------------

// The flags GetFragments gives a table whose entries all start with
// `provisional`.
std::vector<bool> Fragmented(TFileIDs table, const TClusterArray& map, bool provisional = false) {
    for (TFileID& e : table) {
        e.Fragmented = provisional;
    }
    GetFragments(table, map);
    std::vector<bool> flags;
    for (const TFileID& e : table) {
        flags.push_back(e.Fragmented);
    }
    return flags;
}

TEST(GetFragments, OnlyPhysicalContiguityOfAllExtentsCounts) {
    const TFileIDs one = Table({{20, 20}});
    // One extent.
    EXPECT_EQ(Fragmented(one, {Extent(100, 8, 0)}, true), std::vector{false});
    // The second run starts exactly where the first ends.
    EXPECT_EQ(Fragmented(one, {Extent(100, 8, 0), Extent(108, 4, 0)}, true), std::vector{false});
    // One free cluster between them.
    EXPECT_EQ(Fragmented(one, {Extent(100, 8, 0), Extent(109, 4, 0)}), std::vector{true});
    // Stored in reverse, adjacent on the volume: the second ends where the
    // first begins.
    EXPECT_EQ(Fragmented(one, {Extent(100, 8, 0), Extent(96, 4, 0)}, true), std::vector{false});
    // Many adjacent runs, in any order, are one range.
    EXPECT_EQ(
        Fragmented(one, {Extent(30, 10, 0), Extent(10, 10, 0), Extent(20, 10, 0), Extent(40, 1, 0)},
                   true),
        std::vector{false});
    // Two attributes far apart, e.g. an index and its bitmap.
    EXPECT_EQ(Fragmented(one, {Extent(100, 8, 0, kIndexAllocation), Extent(500, 1, 0, kBitmap)}),
              std::vector{true});
    // Two attributes that happen to touch.
    EXPECT_EQ(
        Fragmented(one, {Extent(100, 8, 0, kIndexAllocation), Extent(108, 1, 0, kBitmap)}, true),
        std::vector{false});
    // An overlap (a volume changed while scanned) breaks the chain.
    EXPECT_EQ(Fragmented(one, {Extent(100, 8, 0), Extent(104, 8, 0)}), std::vector{true});
    // A duplicate extent too.
    EXPECT_EQ(Fragmented(one, {Extent(100, 8, 0), Extent(100, 8, 0)}), std::vector{true});
}

TEST(GetFragments, RecordsOfOneBaseAreJudgedTogether) {
    // Base 20 with extension 31; 25 on its own between them on the volume.
    const TFileIDs table = Table({{20, 20}, {25, 25}, {31, 20}});
    // Each record alone is contiguous; together they have a gap.
    EXPECT_EQ(Fragmented(table, {Extent(100, 4, 0), Extent(104, 4, 1), Extent(200, 4, 2)}),
              (std::vector{true, false, true}));
    // The extension continues the base exactly.
    EXPECT_EQ(Fragmented(table, {Extent(100, 4, 0), Extent(300, 4, 1), Extent(104, 4, 2)}, true),
              (std::vector{false, false, false}));
    // Interleaved on the volume: neither base is contiguous.
    EXPECT_EQ(Fragmented(table, {Extent(100, 4, 0), Extent(104, 4, 1), Extent(108, 4, 2),
                                 Extent(112, 4, 1)}),
              (std::vector{true, true, true}));
}

TEST(GetFragments, EntriesWithoutExtentsKeepTheirProvisionalFlag) {
    // Base 20 holds only resident attributes; its extension 21 holds two
    // runs apart; 22 is resident; 23 has only sparse runs (provisional true).
    TFileIDs table = Table({{20, 20}, {21, 20}, {22, 22}, {23, 23}});
    table[0].Fragmented = false;
    table[1].Fragmented = false;
    table[2].Fragmented = false;
    table[3].Fragmented = true;
    GetFragments(table, {Extent(100, 1, 1), Extent(300, 1, 1)});
    EXPECT_FALSE(table[0].Fragmented);
    EXPECT_TRUE(table[1].Fragmented);
    EXPECT_FALSE(table[2].Fragmented);
    EXPECT_TRUE(table[3].Fragmented);

    // An empty map changes nothing.
    GetFragments(table, {});
    EXPECT_TRUE(table[1].Fragmented);
    EXPECT_TRUE(table[3].Fragmented);
}

TEST(GetFragments, AnExtentOfAnotherTableIsIgnoredNotFollowed) {
    TFileIDs table = Table({{20, 20}});
    EXPECT_EQ(Fragmented(table, {Extent(100, 1, 0), Extent(101, 1, 0), Extent(500, 1, 9)}, true),
              std::vector{false});
}

// ---------------------------------------------------------------------------

TEST(GetBaseIDOrder, OrdersEveryIndexByBaseRecord) {
    TCardinalArray order = {7, 7, 7};
    GetBaseIDOrder(TFileIDs{}, order);
    EXPECT_TRUE(order.empty());

    // Extension records may have lower numbers than their base, and a
    // damaged table may hold a negative base.
    const TFileIDs table = Table({{3, 40}, {5, 5}, {40, 40}, {41, -1}, {60, 5}, {61, 40}});
    GetBaseIDOrder(table, order);
    ASSERT_EQ(order.size(), 6U);
    std::vector<std::int64_t> bases;
    for (const std::uint32_t i : order) {
        bases.push_back(table[i].BaseID);
    }
    EXPECT_EQ(bases, (std::vector<std::int64_t>{-1, 5, 5, 40, 40, 40}));
    TCardinalArray indexes = order;
    std::sort(indexes.begin(), indexes.end());
    EXPECT_EQ(indexes, (TCardinalArray{0, 1, 2, 3, 4, 5}));
}

TEST(FragmentationRows, SumsTheRunsOfEachBaseAndListsTheFragmentedFirst) {
    // 10: three records with 1, 1, 0 runs; 11: one run; 12: 5; 13: 3;
    // 14 and 15: 4 each; 16: two adjacent runs; 17: none.
    const TFileIDs table = Table({{10, 10, 1},
                                  {11, 11, 1},
                                  {12, 12, 5},
                                  {13, 13, 3},
                                  {14, 14, 4},
                                  {15, 15, 4},
                                  {16, 16, 2},
                                  {17, 17, 0},
                                  {18, 10, 1},
                                  {19, 10, 0}});
    TCardinalArray order;
    GetBaseIDOrder(table, order);
    const auto rows = FragmentationRows(table, order);
    std::vector<std::pair<std::int64_t, std::uint32_t>> got;
    for (const auto& row : rows) {
        got.emplace_back(row.BaseID, row.Fragments);
        EXPECT_EQ(row.Path, table.Path(table.IndexOfID(row.BaseID)));
    }
    EXPECT_EQ(got, (std::vector<std::pair<std::int64_t, std::uint32_t>>{
                       {12, 5}, {14, 4}, {15, 4}, {13, 3}, {10, 2}, {16, 2}}));

    EXPECT_TRUE(FragmentationRows(TFileIDs{}, {}).empty());
    // Listing twice gives the same list, not a doubled one.
    EXPECT_EQ(FragmentationRows(table, order).size(), rows.size());
}

// ---------------------------------------------------------------------------

TEST(ClusterLookup, AnExtentHoldsItsFirstAndLastClusterOnly) {
    const TFileIDs table = Table({{20, 20}, {21, 21}, {22, 22}});
    const TClusterArray map = {Extent(10, 5, 2), Extent(15, 1, 0), Extent(30, 10, 1)};
    EXPECT_EQ(FindClusterOwner(map, 10), 2);
    EXPECT_EQ(FindClusterOwner(map, 14), 2);
    EXPECT_EQ(FindClusterOwner(map, 15), 0);
    EXPECT_EQ(FindClusterOwner(map, 16), -1);
    EXPECT_EQ(FindClusterOwner(map, 9), -1);
    EXPECT_EQ(FindClusterOwner(map, 29), -1);
    EXPECT_EQ(FindClusterOwner(map, 30), 1);
    EXPECT_EQ(FindClusterOwner(map, 39), 1);
    EXPECT_EQ(FindClusterOwner(map, 40), -1);
    EXPECT_EQ(FindClusterOwner(map, -1), -1);
}

TEST(ClusterLookup, SmallMapsFindEveryExtent) {
    EXPECT_EQ(FindClusterOwner({}, 0), -1);
    const TClusterArray one = {Extent(50, 2, 4)};
    EXPECT_EQ(FindClusterOwner(one, 51), 4);
    EXPECT_EQ(FindClusterOwner(one, 49), -1);
    EXPECT_EQ(FindClusterOwner(one, 52), -1);
    // The first test looks only at the last extent.
    const TClusterArray two = {Extent(50, 2, 4), Extent(60, 2, 5)};
    EXPECT_EQ(FindClusterOwner(two, 50), 4);
    EXPECT_EQ(FindClusterOwner(two, 61), 5);
    EXPECT_EQ(FindClusterOwner(two, 55), -1);
}

TEST(ClusterLookup, AgreesWithAPlainScanOnMapsOfEverySize) {
    std::mt19937 random(11);
    for (std::uint32_t size = 1; size <= 70; ++size) {
        TClusterArray map;
        std::int64_t next = 0;
        for (std::uint32_t k = 0; k < size; ++k) {
            next += Draw(random, 3); // gaps of 0 to 2 clusters
            const std::int64_t length = 1 + Draw(random, 3);
            map.push_back(Extent(next, length, k));
            next += length;
        }
        for (std::int64_t lcn = -1; lcn <= next + 1; ++lcn) {
            std::int64_t expected = -1;
            for (const auto& e : map) {
                if (e.LCN <= lcn && lcn < e.LCN + e.Length) {
                    expected = e.FileIndex;
                }
            }
            ASSERT_EQ(FindClusterOwner(map, lcn), expected)
                << "map of " << size << ", cluster " << lcn;
        }
    }
}

TEST(ClusterLookup, ClustersFrom2To32UpwardsAreLookedUpWhole) {
    const std::int64_t high = 0x100000000LL;
    const TClusterArray map = {Extent(5, 1, 0), Extent(high + 5, 10, 1)};
    EXPECT_EQ(FindClusterOwner(map, 5), 0);
    EXPECT_EQ(FindClusterOwner(map, high + 5), 1);
    EXPECT_EQ(FindClusterOwner(map, high + 14), 1);
    EXPECT_EQ(FindClusterOwner(map, high + 15), -1);

    const ZoneVolume v(high + 100, high + 200);
    const TFileIDs table = TableInDir({{20, 20}, {21, 21}});
    EXPECT_EQ(v.Describe(map, table, high + 7), "\\dir\\f21::$DATA");
    EXPECT_EQ(v.Describe(map, table, high + 150), "MFT Zone");
    // Cut to its low 32 bits, high + 5 would name the small file.
    EXPECT_EQ(v.Describe(map, table, high + 5), "\\dir\\f21::$DATA");
    EXPECT_EQ(v.Describe(map, table, 150), "FREE");
}

TEST(DescribeCluster, NamesTheOwnerAndTheAttributeType) {
    TFileIDs table = TableInDir({{20, 20}, {21, 21}});
    table[1].Name = u"\\Ünïcødé.txt";
    TFileID names;
    names.FileID = names.BaseID = 1001;
    names.Name = u"\\Names";
    names.PathParent = kPathFromRoot;
    table[1].PathParent = table.size();
    table.NewEntry() = names;
    const TClusterArray map = {Extent(10, 5, 0, kIndexAllocation), Extent(20, 5, 1)};
    const ZoneVolume v(0, 5);
    EXPECT_EQ(v.Describe(map, table, 12), "\\dir\\f20::$INDEX_ALLOCATION");
    EXPECT_EQ(v.Describe(map, table, 12, false), "\\f20::$INDEX_ALLOCATION");
    EXPECT_EQ(v.Describe(map, table, 24), "\\Names\\Ünïcødé.txt::$DATA");
    EXPECT_EQ(v.Describe(map, table, 24, false), "\\Ünïcødé.txt::$DATA");
    // The name as every text shows it, with or without its path.
    table[1].Name = u"\\a\\b\x1B[2J";
    EXPECT_EQ(v.Describe(map, table, 24), "\\Names\\a\\u{5c}b\\u{1b}[2J::$DATA");
    EXPECT_EQ(v.Describe(map, table, 24, false), "\\a\\u{5c}b\\u{1b}[2J::$DATA");
}

TEST(DescribeCluster, UnownedClustersReadByTheZoneBoundsBothInclusive) {
    const TFileIDs table = TableInDir({{20, 20}});
    const TClusterArray map = {Extent(105, 2, 0)};
    const ZoneVolume v(100, 110);
    EXPECT_EQ(v.Describe(map, table, 99), "FREE");
    EXPECT_EQ(v.Describe(map, table, 100), "MFT Zone");
    EXPECT_EQ(v.Describe(map, table, 104), "MFT Zone");
    // An owned cluster inside the zone reads as its owner.
    EXPECT_EQ(v.Describe(map, table, 105), "\\dir\\f20::$DATA");
    EXPECT_EQ(v.Describe(map, table, 107), "MFT Zone");
    EXPECT_EQ(v.Describe(map, table, 110), "MFT Zone");
    EXPECT_EQ(v.Describe(map, table, 111), "FREE");
    // An empty map, as before a scan has built one.
    EXPECT_EQ(v.Describe({}, table, 105), "MFT Zone");
    EXPECT_EQ(v.Describe({}, table, 5000), "FREE");
}

TEST(DescribeCluster, AnOwnerOutsideTheTableIsNotRead) {
    const TFileIDs table = Table({{20, 20}});
    const ZoneVolume v(100, 110);
    EXPECT_EQ(v.Describe({Extent(5, 1, 3)}, table, 5), "FREE");
    EXPECT_EQ(v.Describe({Extent(105, 1, 3)}, TFileIDs{}, 105), "MFT Zone");
}

// ---------------------------------------------------------------------------

TEST(GetFileExtents, GivesExactlyTheEntrysExtentsWhereverTheyStand) {
    // Entry 3 has five extents; entries 0, 1, 4 and 0x80000001 some more.
    TClusterArray map = {Extent(1, 1, 0),           Extent(90, 3, 3),          Extent(2, 1, 1),
                         Extent(50, 1, 3, kBitmap), Extent(3, 1, 4),           Extent(70, 2, 3),
                         Extent(10, 4, 3),          Extent(4, 1, 0x80000001U), Extent(30, 9, 3)};
    SortClustersByFileIndex(map);
    TClusterArray extents = {Extent(999, 1, 77)};
    GetFileExtents(3, map, extents);
    ASSERT_EQ(extents.size(), 5U);
    std::sort(extents.begin(), extents.end(),
              [](const TClusterEntry& a, const TClusterEntry& b) { return a.LCN < b.LCN; });
    EXPECT_EQ(extents, (TClusterArray{Extent(10, 4, 3), Extent(30, 9, 3), Extent(50, 1, 3, kBitmap),
                                      Extent(70, 2, 3), Extent(90, 3, 3)}));

    // The first and the last owner of the map, one above 2^31.
    GetFileExtents(0, map, extents);
    EXPECT_EQ(extents, TClusterArray{Extent(1, 1, 0)});
    GetFileExtents(0x80000001U, map, extents);
    EXPECT_EQ(extents, TClusterArray{Extent(4, 1, 0x80000001U)});

    // An entry without extents, and an empty map.
    GetFileExtents(2, map, extents);
    EXPECT_TRUE(extents.empty());
    GetFileExtents(5, map, extents);
    EXPECT_TRUE(extents.empty());
    extents = {Extent(999, 1, 77)};
    GetFileExtents(0, {}, extents);
    EXPECT_TRUE(extents.empty());
}

TEST(GetFileExtents, EveryEntryOfALargeMapGetsItsOwnExtents) {
    std::mt19937 random(7);
    TClusterArray map;
    std::vector<std::size_t> counts(500);
    for (std::uint32_t k = 0; k < 3000; ++k) {
        const std::uint32_t owner = Draw(random, 500);
        ++counts[owner];
        map.push_back(Extent(k * 4, 2, owner));
    }
    SortClustersByFileIndex(map);
    TClusterArray extents;
    for (std::uint32_t owner = 0; owner < 500; ++owner) {
        GetFileExtents(owner, map, extents);
        ASSERT_EQ(extents.size(), counts[owner]) << owner;
        for (const auto& e : extents) {
            ASSERT_EQ(e.FileIndex, owner);
        }
    }
}

TEST(GetRecordsOfBase, FindsTheBaseAndItsExtensionRecords) {
    // 30 has extension records 12 and 41; 20 has none.
    const TFileIDs table = Table({{5, 5}, {12, 30}, {20, 20}, {30, 30}, {41, 30}, {50, 50}});
    TItemIDArray records = {99};
    GetRecordsOfBase(table, records, 20);
    EXPECT_EQ(records, TItemIDArray{2});

    GetRecordsOfBase(table, records, 30);
    std::sort(records.begin(), records.end());
    EXPECT_EQ(records, (TItemIDArray{1, 3, 4}));

    GetRecordsOfBase(table, records, 12); // an extension record is no base
    EXPECT_TRUE(records.empty());
    GetRecordsOfBase(table, records, 50);
    EXPECT_EQ(records, TItemIDArray{5});
    GetRecordsOfBase(TFileIDs{}, records, 5);
    EXPECT_TRUE(records.empty());
}

// ---------------------------------------------------------------------------
// EnumerateClusters over a hand-made volume.

// A file record built attribute by attribute.
class Record {
  public:
    Record() : bytes_(test::MakeFileRecord(1024)) {}

    Record& Resident(std::uint32_t type) {
        const std::size_t length = 0x20;
        Header(type, length, false);
        Put(ondisk::attr::kValueLength, 8, 4);
        Put(ondisk::attr::kValueOffset, ondisk::attr::kResidentHeader, 2);
        pos_ += length;
        return *this;
    }

    // `runs` is the run list without its closing zero byte.
    Record& NonResident(std::uint32_t type, std::initializer_list<int> runs) {
        const std::size_t length = (ondisk::attr::kNonResidentHeader + runs.size() + 1 + 7) / 8 * 8;
        Header(type, length, true);
        Put(ondisk::attr::kRunListOffset, ondisk::attr::kNonResidentHeader, 2);
        std::size_t at = pos_ + ondisk::attr::kNonResidentHeader;
        for (const int b : runs) {
            bytes_[at++] = static_cast<std::byte>(b);
        }
        pos_ += length;
        return *this;
    }

    std::vector<std::byte> Bytes() {
        ondisk::StoreLE(bytes_, pos_, ondisk::attr::kEndMarker, 4);
        return bytes_;
    }

  private:
    void Header(std::uint32_t type, std::size_t length, bool nonResident) {
        Put(ondisk::attr::kType, type, 4);
        Put(ondisk::attr::kLength, length, 4);
        Put(ondisk::attr::kNonResident, nonResident ? 1 : 0, 1);
        Put(ondisk::attr::kNameOffset, 0x18, 2);
        Put(ondisk::attr::kId, nextId_++, 2);
    }
    void Put(std::size_t offset, std::uint64_t value, std::size_t width) {
        ondisk::StoreLE(bytes_, pos_ + offset, value, width);
    }

    std::vector<std::byte> bytes_;
    std::size_t pos_ = 0x38;
    std::uint16_t nextId_ = 0;
};

struct FakeDisk {
    FakeVolumeApi api;
    test::FakeVolume* disk = nullptr;
    FakeDisk() {
        FakeVolumeData data;
        data.totalClusters = 1000;
        data.bytesPerCluster = 4096;
        data.bytesPerFileRecordSegment = 1024;
        data.mftValidDataLength = 64 * 1024;
        disk = &api.AddNtfsDrive('C', data);
    }
};

TEST(EnumerateClusters, TakesEveryAllocatedRunAndSetsTheProvisionalFlag) {
    FakeDisk fake;
    auto& records = fake.disk->records;
    // 16: resident only.
    records[16] = Record().Resident(0x10).Resident(0x30).Bytes();
    // 17: two sparse runs, no cluster.
    records[17] = Record().Resident(0x10).NonResident(kData, {0x01, 5, 0x01, 3}).Bytes();
    // 18: two runs, then an attribute with an empty run list.
    records[18] =
        Record().NonResident(kData, {0x11, 4, 100, 0x11, 2, 10}).NonResident(kBitmap, {}).Bytes();
    // 19: two runs, then one: the last attribute with runs decides.
    records[19] = Record()
                      .NonResident(kIndexAllocation, {0x11, 4, 0x78, 0x11, 2, 10})
                      .Resident(0x90)
                      .NonResident(kBitmap, {0x11, 1, 0x7F})
                      .Bytes();
    // 20: compressed: allocated, sparse, allocated.
    records[20] =
        Record().NonResident(kData, {0x21, 4, 0xC8, 0x00, 0x01, 12, 0x11, 16, 0x32}).Bytes();
    // 21 is not in use: the query answers with 20.
    TFileIDs table = Table({{16, 16}, {17, 17}, {18, 18}, {19, 19}, {20, 20}, {21, 21}});
    for (TFileID& e : table) {
        e.Fragmented = e.FileID != 17;
    }

    NtfsVolume volume(fake.api, "C");
    TClusterArray map = {Extent(1, 1, 99)};
    std::vector<double> progress;
    volume.EnumerateClusters(table, map, [&](double percent) { progress.push_back(percent); });

    EXPECT_EQ(map, (TClusterArray{Extent(100, 4, 2), Extent(110, 2, 2),
                                  Extent(0x78, 4, 3, kIndexAllocation),
                                  Extent(0x82, 2, 3, kIndexAllocation), Extent(0x7F, 1, 3, kBitmap),
                                  Extent(200, 4, 4), Extent(250, 16, 4)}));
    std::vector<bool> flags;
    for (const TFileID& e : table) {
        flags.push_back(e.Fragmented);
    }
    EXPECT_EQ(flags, (std::vector{false, true, true, false, true, false}));
    EXPECT_EQ(progress, (std::vector<double>{0, 20, 40, 60, 80, 100}));
    EXPECT_EQ(fake.api.OpenHandleCount(), 0U);

    // The fragment stage then overwrites only entries with extents.
    GetFragments(table, map);
    flags.clear();
    for (const TFileID& e : table) {
        flags.push_back(e.Fragmented);
    }
    EXPECT_EQ(flags, (std::vector{false, true, true, true, true, false}));
}

TEST(EnumerateClusters, ATableOfOneEntryEndsAtAHundredPercent) {
    FakeDisk fake;
    fake.disk->records[16] = Record().NonResident(kData, {0x11, 3, 40}).Bytes();
    TFileIDs table = Table({{16, 16}});
    NtfsVolume volume(fake.api, "C");
    TClusterArray map;
    std::vector<double> progress;
    volume.EnumerateClusters(table, map, [&](double percent) { progress.push_back(percent); });
    EXPECT_EQ(progress, std::vector<double>{100.0});

    // No callback at all is fine too.
    volume.EnumerateClusters(table, map, {});
    EXPECT_EQ(map, TClusterArray{Extent(40, 3, 0)});
}

TEST(EnumerateClusters, AnUnopenableVolumeEmptiesTheMapAndTouchesNothingElse) {
    FakeDisk fake;
    fake.disk->records[16] = Record().NonResident(kData, {0x11, 3, 40}).Bytes();
    NtfsVolume volume(fake.api, "C");
    fake.api.volumes.clear(); // the device has gone since the volume was measured
    TFileIDs table = Table({{16, 16}});
    table[0].Fragmented = true;
    TClusterArray map = {Extent(1, 1, 0), Extent(2, 1, 5000)};
    int calls = 0;
    volume.EnumerateClusters(table, map, [&](double) { ++calls; });
    EXPECT_TRUE(map.empty());
    EXPECT_TRUE(table[0].Fragmented);
    EXPECT_EQ(calls, 0);
}

} // namespace
} // namespace lorvex::ntfs

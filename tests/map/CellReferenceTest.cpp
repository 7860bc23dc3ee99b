// The one-byte-per-cluster reference map that the model and the window's
// views are checked against: its cells, painting, rows and overview must
// themselves be right for the comparisons to mean anything.
#include "support/CellReference.h"

#include "ntfs/FileTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace lorvex::reference;
using lorvex::ntfs::TClusterArray;
using lorvex::ntfs::TFileIDs;
using lorvex::ntfs::TFileInfo;

std::uint32_t Rgb(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return 0xFF000000U | (r << 16) | (g << 8) | b;
}

TEST(CellArrayTest, StartsFreeWithEightSpareCellsAndKeepsWritesOnTheVolume) {
    TCellArray cells(20);
    EXPECT_EQ(cells.Size(), 28U);
    EXPECT_TRUE(std::all_of(cells.Data(), cells.Data() + cells.Size(),
                            [](std::uint8_t c) { return c == csFree; }));

    cells.Fill(-5, 7, csUsed); // only 0 and 1 are on the volume
    cells.Fill(18, 100, csSystem);
    cells.Fill(INT64_MAX - 1, 10, csMarked); // the end would overflow
    cells.Fill(5, 0, csMarked);
    cells.Fill(6, -3, csMarked);
    for (std::int64_t i = 0; i < 28; ++i) {
        const std::uint8_t want = i < 2 ? csUsed : (i == 18 || i == 19) ? csSystem : csFree;
        EXPECT_EQ(cells.Data()[i], want) << i;
    }
    EXPECT_THROW(TCellArray(-1), std::bad_alloc);
}

TEST(ExpandVolumeBitmapTest, LeastSignificantBitFirstIntoTheSpareCells) {
    const std::uint8_t bits[] = {0b10100101, 0xFF, 0x00};
    std::uint8_t cells[24] = {};
    ExpandVolumeBitmap(bits, cells, 3);
    const std::uint8_t first[] = {csUsed, csFree, csUsed, csFree, csFree, csUsed, csFree, csUsed};
    EXPECT_EQ(0, std::memcmp(cells, first, 8));
    EXPECT_TRUE(std::all_of(cells + 8, cells + 16, [](std::uint8_t c) { return c == csUsed; }));
    EXPECT_TRUE(std::all_of(cells + 16, cells + 24, [](std::uint8_t c) { return c == csFree; }));
}

// A table and a map in FileIndex order, one extent list per entry.
struct Scene {
    TFileIDs table;
    TClusterArray clusters;

    void Add(std::u16string name, std::uint8_t type, bool fragmented,
             std::vector<std::pair<std::int64_t, std::int64_t>> extents) {
        if (table.size() == 0) {
            // Entry 0: the directory every other entry is in, without extents.
            table.Add(u"\\Dir", lorvex::ntfs::kTypeDirectory, TFileInfo{}, false, 99, 99);
            table[0].PathParent = lorvex::ntfs::kPathFromRoot;
        }
        const auto index = static_cast<std::uint32_t>(table.size());
        table.Add(name, type, TFileInfo{}, fragmented, index + 100, index + 100);
        table[index].PathParent = 0;
        for (const auto& [lcn, length] : extents) {
            clusters.push_back({lcn, length, index, 0x80});
        }
    }
    std::vector<std::uint8_t> Paint(std::int64_t total, std::u16string mark = {},
                                    std::int64_t zoneStart = 0, std::int64_t zoneEnd = 0) {
        TCellArray cells(total);
        TPaintInput in;
        in.mftZoneStart = zoneStart;
        in.mftZoneEnd = zoneEnd;
        in.fileIds = &table;
        in.clusters = &clusters;
        in.markText = std::move(mark);
        PaintCells(cells, in);
        return {cells.Data(), cells.Data() + total};
    }
};

TEST(PaintCellsTest, EachKindHasItsColourAndMarkedBeatsPagefileBeatsFragmented) {
    Scene s;
    s.Add(u"\\plain.txt", lorvex::ntfs::kTypeFile, false, {{0, 2}});
    s.Add(u"\\resident.txt", lorvex::ntfs::kTypeFile, false, {}); // no extents of its own
    s.Add(u"\\split.bin", lorvex::ntfs::kTypeFile, true, {{2, 1}, {10, 1}});
    s.Add(u"\\my-PageFile.SYS.old", lorvex::ntfs::kTypeFile, true, {{3, 1}});
    s.Add(u"\\folder", lorvex::ntfs::kTypeDirectory, false, {{4, 1}});
    s.Add(u"\\$MFT", lorvex::ntfs::kTypeSystem, false, {{5, 1}});
    s.Add(u"\\$Extend", lorvex::ntfs::kTypeSystemDirectory, false, {{6, 1}});
    s.Add(u"\\pagefile.sys", lorvex::ntfs::kTypeFile, false, {{7, 1}});
    s.Add(u"\\unknown", 0, false, {{8, 1}});

    const auto cells = s.Paint(12);
    const std::uint8_t want[] = {csUsed,      csUsed,   csFragmented, csPagefile,
                                 csDirectory, csSystem, csFree,       csPagefile,
                                 csFree,      csFree,   csFragmented, csFree};
    EXPECT_EQ(cells, std::vector<std::uint8_t>(std::begin(want), std::end(want)));

    // The mark is tested on the path, without regard to case, on files only.
    const auto marked = s.Paint(12, u"PAGEFILE.sys");
    EXPECT_EQ(marked[3], csMarked);
    EXPECT_EQ(marked[7], csMarked);
    EXPECT_EQ(marked[0], csUsed);
    const auto folder = s.Paint(12, u"\\dir\\FOLDER");
    EXPECT_EQ(folder[4], csDirectory);
    // The parents' names are part of the path.
    EXPECT_EQ(s.Paint(12, u"dir\\PLAIN")[0], csMarked);
}

TEST(PaintCellsTest, ZoneUnderFilesLaterEntriesWinAndNothingLeavesTheVolume) {
    Scene s;
    s.Add(u"\\a", lorvex::ntfs::kTypeFile, false, {{3, 4}});
    s.Add(u"\\b", lorvex::ntfs::kTypeDirectory, false, {{5, 3}});
    s.Add(u"\\wild", lorvex::ntfs::kTypeFile, true, {{-4, 6}, {18, 1'000'000}, {INT64_MAX, 9}});

    const auto cells = s.Paint(20, {}, 1, 9);
    // 0: the wild extent's start inside the volume; 1..2 and 8 the zone
    // (not its end cluster 9); 3..4 a; 5..7 b over a; 18..19 wild.
    const std::uint8_t want[] = {csFragmented, csFragmented, csMFTZone, csUsed, csUsed, csDirectory,
                                 csDirectory,  csDirectory,  csMFTZone, csFree, csFree, csFree,
                                 csFree,       csFree,       csFree,    csFree, csFree, csFree,
                                 csFragmented, csFragmented};
    EXPECT_EQ(cells, std::vector<std::uint8_t>(std::begin(want), std::end(want)));

    // A zone given backwards fills nothing; an empty table paints the zone.
    EXPECT_EQ(s.Paint(20, {}, 9, 1)[8], csFree);
    Scene empty;
    EXPECT_EQ(empty.Paint(4, {}, 0, 3), (std::vector<std::uint8_t>{8, 8, 8, 1}));
}

TEST(PaintCellsTest, RepaintingWithAnotherMarkGivesTheOldMatchesTheirColourBack) {
    Scene s;
    s.Add(u"\\Users\\alice\\a.doc", lorvex::ntfs::kTypeFile, false, {{0, 1}});
    s.Add(u"\\Users\\bob\\b.doc", lorvex::ntfs::kTypeFile, true, {{1, 1}});
    TCellArray cells(2);
    TPaintInput in;
    in.fileIds = &s.table;
    in.clusters = &s.clusters;
    int yields = 0;
    in.yield = [&yields] { ++yields; };

    in.markText = u"ALICE";
    PaintCells(cells, in);
    EXPECT_EQ(cells.At(0), csMarked);
    EXPECT_EQ(cells.At(1), csFragmented);
    in.markText = u"bob";
    PaintCells(cells, in);
    EXPECT_EQ(cells.At(0), csUsed);
    EXPECT_EQ(cells.At(1), csMarked);
    in.markText.clear();
    PaintCells(cells, in);
    PaintCells(cells, in);
    EXPECT_EQ(cells.At(0), csUsed);
    EXPECT_EQ(cells.At(1), csFragmented);
    EXPECT_EQ(yields, 0); // a table of two entries is painted in one go
}

TEST(MapGeometryTest, ThousandClustersInTheDesignedWindow) {
    const TMapGeometry g = ComputeMapGeometry(638, 513, 1000);
    EXPECT_EQ(g.cellsPerRow, 639);
    EXPECT_EQ(g.rowCount, 2);
    EXPECT_EQ(g.scrollMax, 0);
    EXPECT_EQ(g.pageStep, 513);

    TCellArray cells(1000);
    cells.Fill(0, 1000, csUsed);
    std::vector<std::uint8_t> row(639, 0);
    FillMapRow(cells, 639, 639, row.data());
    EXPECT_EQ(std::count(row.begin(), row.end(), csUsed), 361);
    EXPECT_EQ(std::count(row.begin() + 361, row.end(), csBeyondEnd), 278);
    FillMapRow(cells, 0, 639, row.data());
    EXPECT_EQ(std::count(row.begin(), row.end(), csUsed), 639);

    const TMapGeometry tall = ComputeMapGeometry(9, 5, 1000); // 100 rows, 6 in view
    EXPECT_EQ(tall.rowCount, 100);
    EXPECT_EQ(tall.scrollMax, 94);
    const TMapGeometry none = ComputeMapGeometry(-1, 513, 1000);
    EXPECT_EQ(none.cellsPerRow, 0);
    EXPECT_EQ(none.rowCount, 0);
}

TEST(OverviewTest, AveragesRunsOfCellsAndDropsTheRest) {
    // 2 x 2 pixels of 3 cells each, 2 cells left over.
    TCellArray cells(14);
    cells.Fill(0, 3, csUsed);    // blue
    cells.Fill(3, 1, csMarked);  // white + 2 free
    cells.Fill(6, 3, csMFTZone); // orange
    cells.Fill(9, 3, csFree);    // black
    cells.Fill(12, 2, csMarked); // not shown
    const auto px = RenderOverviewPixels(cells, 2, 2, 0xFF123456U);
    ASSERT_EQ(px.size(), 4U);
    EXPECT_EQ(px[0], Rgb(0, 0, 255));
    EXPECT_EQ(px[1], Rgb(85, 85, 85));
    EXPECT_EQ(px[2], Rgb(255, 128, 0));
    EXPECT_EQ(px[3], Rgb(0, 0, 0));
    EXPECT_TRUE(RenderOverviewPixels(cells, 32, 0, 0).empty());
}

TEST(OverviewTest, FewerClustersThanPixelsShowOneCellEachAndLeaveTheRestBlank) {
    TCellArray cells(5);
    cells.Fill(1, 2, csDirectory);
    const std::uint32_t blank = 0xFFABCDEFU;
    const auto px = RenderOverviewPixels(cells, 32, 2, blank);
    ASSERT_EQ(px.size(), 64U);
    EXPECT_EQ(px[0], Rgb(0, 0, 0));
    EXPECT_EQ(px[1], Rgb(0, 255, 255));
    EXPECT_EQ(px[2], Rgb(0, 255, 255));
    EXPECT_EQ(px[4], Rgb(0, 0, 0));
    EXPECT_TRUE(std::all_of(px.begin() + 5, px.end(), [&](std::uint32_t c) { return c == blank; }));
}

TEST(CellToLCNTest, RowsFromTheScrollPositionAndTheLastClusterBeyondTheEnd) {
    EXPECT_EQ(CellToLCN(5, 2, 0, 639, 100'000), 5 + 2 * 639);
    EXPECT_EQ(CellToLCN(5, 2, 10, 639, 100'000), 5 + 12 * 639);
    EXPECT_EQ(CellToLCN(638, 513, 200, 639, 100'000), 99'999);
    // Beyond 2^31 clusters a 32-bit product would wrap.
    const std::int64_t big = 6'000'000'000;
    EXPECT_EQ(CellToLCN(3, 0, 5'000'000, 639, big), 3 + 5'000'000LL * 639);
}

} // namespace

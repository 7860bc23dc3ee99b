// The compact map model against the one-byte-per-cluster cells it stands
// for (TCellArray filled from the bitmap and painted by PaintCells): cell for
// cell on random hand-made tables, the summary pixels against a brute-force
// count, and the inputs a damaged volume gives.
#include "map/MapOracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <random>

namespace {

using namespace lorvex::test;

TEST(MapModelTest, RandomVolumesMatchThePaintedCellsAndTheSummaryRule) {
    std::mt19937_64 rng(20261208);
    const std::u16string marks[] = {u"", u"MARK", u"a", u"ä", u"\\dir\\pagefile"};
    for (int round = 0; round < 400; ++round) {
        const Scene s = RandomScene(rng, round % 4 == 0 ? 40 : 20000);
        const std::u16string& mark = marks[static_cast<std::size_t>(round) % 5];
        const std::vector<std::uint8_t> cells = s.Cells(mark);
        TMapModel model = s.Model(mark);
        ASSERT_EQ(AllStates(model), cells) << "round " << round;
        for (int probe = 0; probe < 50; ++probe) {
            const auto lcn = std::uniform_int_distribution<std::int64_t>(0, s.total - 1)(rng);
            ASSERT_EQ(model.StateAt(lcn), cells[static_cast<std::size_t>(lcn)]);
        }
        for (int probe = 0; probe < 6; ++probe) {
            const std::int64_t k = std::uniform_int_distribution<std::int64_t>(2, 70)(rng);
            const std::int64_t first =
                std::uniform_int_distribution<std::int64_t>(-3 * k, s.total + k)(rng);
            const std::size_t pixels = 1 + static_cast<std::size_t>(s.total / k) + 3;
            std::vector<std::uint8_t> row(pixels, 0);
            model.SummaryRow(first, k, pixels, row.data());
            ASSERT_EQ(row, ReferenceRow(cells, first, k, pixels))
                << "round " << round << " first " << first << " k " << k;
        }
        // A new mark gives what painting afresh with it gives.
        const std::u16string& next = marks[static_cast<std::size_t>(round + 1) % 5];
        model.Paint(s.Input(next));
        const std::vector<std::uint8_t> remarked = s.Cells(next);
        ASSERT_EQ(AllStates(model), remarked) << "round " << round;
        const std::int64_t k = 1 + s.total / 7;
        std::vector<std::uint8_t> row(8, 0);
        model.SummaryRow(0, std::max<std::int64_t>(k, 2), 8, row.data());
        ASSERT_EQ(row, ReferenceRow(remarked, 0, std::max<std::int64_t>(k, 2), 8));
    }
}

TEST(MapModelTest, SummaryTakesTheMajorityBreaksTiesInTheFixedOrderAndShowsAnyMark) {
    Scene s;
    s.total = 16;
    s.bitmap = {0x0F, 0x00}; // clusters 0-3 used
    s.Add(u"\\sys", ntfs::kTypeSystem, false, {{4, 2}});
    s.Add(u"\\dir", ntfs::kTypeDirectory, false, {{6, 1}});
    s.Add(u"\\marked.txt", ntfs::kTypeFile, false, {{12, 1}});
    const TMapModel model = s.Model(u"MARKED");
    std::array<std::uint8_t, 4> row{};
    model.SummaryRow(0, 4, 4, row.data());
    // 4 used; 2 system against 1 directory and 1 free; 4 free; the marked
    // cluster among 3 free ones.
    EXPECT_EQ(
        row, (std::array<std::uint8_t, 4>{map::csUsed, map::csSystem, map::csFree, map::csMarked}));
    // Ties: system comes before used, and before directory.
    model.SummaryRow(2, 4, 2, row.data());
    EXPECT_EQ(row[0], map::csSystem);
    EXPECT_EQ(row[1], map::csFree); // 1 directory, 3 free
    model.SummaryRow(5, 2, 2, row.data());
    EXPECT_EQ(row[0], map::csSystem);
    EXPECT_EQ(row[1], map::csFree);
    // The last pixel counts only what is on the volume; beyond it, beige.
    model.SummaryRow(8, 6, 3, row.data());
    EXPECT_EQ(row[0], map::csMarked);
    EXPECT_EQ(row[1], map::csFree);
    EXPECT_EQ(row[2], map::csBeyondEnd);
}

TEST(MapModelTest, AMarkedClusterShowsAtEveryZoom) {
    Scene s;
    s.total = 10'000'000;
    s.bitmap.assign(static_cast<std::size_t>(s.total / 8), 0xFF);
    s.zoneStart = 1'000;
    s.zoneEnd = 3'000'000;
    s.Add(u"\\big.bin", ntfs::kTypeFile, true, {{0, 9'000'000}});
    s.Add(u"\\needle", ntfs::kTypeFile, false, {{7'654'321, 1}});
    const TMapModel model = s.Model(u"needle");
    ASSERT_EQ(model.StateAt(7'654'321), map::csMarked);
    for (std::int64_t k = 2; k <= s.total * 2; k = k * 3 + 1) {
        for (const std::int64_t first : {std::int64_t{0}, std::int64_t{-5}, k / 3 + 1}) {
            const auto pixels = static_cast<std::size_t>((s.total - first) / k + 2);
            std::vector<std::uint8_t> row(pixels, 0);
            model.SummaryRow(first, k, pixels, row.data());
            const auto hit = static_cast<std::size_t>((7'654'321 - first) / k);
            EXPECT_EQ(row[hit], map::csMarked) << "k " << k << " first " << first;
            EXPECT_EQ(std::count(row.begin(), row.end(), map::csMarked), 1) << "k " << k;
        }
    }
}

// The bitmap is ranked per group of 512 clusters, with a group all clear or
// all set answered from the counts alone, and a row walks whole runs of
// pixels at once: pixels edged on and beside every word, group, block and
// segment boundary, over groups clear, set, set but for one cluster, and
// mixed, at zooms on either side of every change of method.
TEST(MapModelTest, RowsMatchTheRuleAcrossWordGroupAndBlockEdges) {
    std::mt19937_64 rng(512);
    Scene s;
    s.total = 3 * 65536 + 4096 + 700;
    s.bitmap.assign(static_cast<std::size_t>((s.total + 7) / 8), 0);
    for (std::size_t b = 0; b < s.bitmap.size(); ++b) {
        switch (b / 64 % 6) { // a group is 64 bytes
        case 0:
            break;
        case 1:
        case 2:
            s.bitmap[b] = 0xFF;
            break;
        case 3:
            s.bitmap[b] = b % 64 == 17 ? 0xEF : 0xFF;
            break;
        default:
            s.bitmap[b] = static_cast<std::uint8_t>(rng());
            break;
        }
    }
    s.zoneStart = 65536 - 100;
    s.zoneEnd = 65536 + 5000;
    s.Add(u"\\a", ntfs::kTypeFile, false, {{511, 2}, {4095, 4098}, {100'000, 1}});
    s.Add(u"\\b", ntfs::kTypeDirectory, false, {{131'072 - 64, 64}, {131'072 + 513, 3000}});
    s.Add(u"\\c", ntfs::kTypeFile, true, {{s.total - 600, 600}});
    const std::vector<std::uint8_t> cells = s.Cells({});
    const TMapModel model = s.Model({});
    ASSERT_EQ(AllStates(model), cells);
    for (const std::int64_t k : {2, 3, 31, 32, 33, 63, 64, 65, 100, 511, 512, 513, 1000, 4095, 4096,
                                 8192, 8193, 65536, 70001}) {
        for (const std::int64_t first :
             {std::int64_t{0}, std::int64_t{-1}, std::int64_t{-513}, std::int64_t{63},
              std::int64_t{64}, std::int64_t{511}, std::int64_t{513}, std::int64_t{4097},
              std::int64_t{65535}, std::int64_t{65536 + 64}}) {
            const auto pixels = static_cast<std::size_t>((s.total - first) / k + 2);
            std::vector<std::uint8_t> row(pixels, 0);
            model.SummaryRow(first, k, pixels, row.data());
            ASSERT_EQ(row, ReferenceRow(cells, first, k, pixels))
                << "first " << first << " k " << k;
        }
    }
}

// A volume large enough for the bitmap to be copied and counted on two
// threads, its bitmap cut short in the second half: every pixel of a row
// across the whole volume, and rows across the point where the halves meet,
// against the bits counted one by one.
TEST(MapModelTest, ALargeBitmapCountsTheSameInBothHalves) {
    constexpr std::int64_t kTotal = 300'000'017;
    std::vector<std::uint8_t> bitmap(static_cast<std::size_t>(kTotal / 8 * 3 / 4), 0);
    std::mt19937_64 rng(2);
    for (std::size_t b = 0; b < bitmap.size(); b += 1 + rng() % 4096) {
        const std::size_t end = std::min(bitmap.size(), b + rng() % 2048);
        const int kind = static_cast<int>(rng() % 3);
        for (std::size_t x = b; x < end; ++x) {
            bitmap[x] = kind == 0 ? 0xFF : static_cast<std::uint8_t>(kind == 1 ? 0 : rng());
        }
    }
    const auto used = [&bitmap](std::int64_t from, std::int64_t to) {
        from = std::max<std::int64_t>(from, 0);
        to = std::min<std::int64_t>(to, static_cast<std::int64_t>(bitmap.size()) * 8);
        std::int64_t n = 0;
        for (std::int64_t c = from; c < to; ++c) {
            n += (bitmap[static_cast<std::size_t>(c / 8)] >> (c % 8)) & 1;
        }
        return n;
    };
    TMapInput input;
    input.totalClusters = kTotal;
    input.bitmap = bitmap;
    const TMapModel model(input);
    const auto check = [&](std::int64_t first, std::int64_t k, std::size_t pixels) {
        std::vector<std::uint8_t> row(pixels, 0);
        model.SummaryRow(first, k, pixels, row.data());
        for (std::size_t i = 0; i < pixels; ++i) {
            const std::int64_t from = first + static_cast<std::int64_t>(i) * k;
            const std::int64_t to = std::min(from + k, kTotal);
            const std::uint8_t want =
                from >= kTotal ? map::csBeyondEnd
                               : (used(from, to) * 2 >= to - from ? map::csUsed : map::csFree);
            ASSERT_EQ(row[i], want) << "first " << first << " k " << k << " pixel " << i;
        }
    };
    check(0, (kTotal + 1599) / 1600, 1600);
    // The halves meet at a 65536-cluster boundary near the middle.
    const std::int64_t segments = (kTotal + 65535) / 65536;
    const std::int64_t middle = segments / 2 * 65536;
    for (const std::int64_t k : {5, 64, 700, 9000}) {
        check(middle - 1600 / 2 * k - 3, k, 1600);
    }
    // Where the bitmap ends, and at the volume's end.
    const auto bitmapEnd = static_cast<std::int64_t>(bitmap.size()) * 8;
    check(bitmapEnd - 800 * 37, 37, 1600);
    check(kTotal - 800 * 3, 3, 1600);
    EXPECT_EQ(model.StateAt(kTotal - 1), map::csFree);
}

TEST(MapModelTest, DamagedInputGivesAResultNeverAFault) {
    // A volume of one cluster, its bitmap missing, extents all around it.
    Scene one;
    one.total = 1;
    one.zoneStart = std::numeric_limits<std::int64_t>::min();
    one.zoneEnd = std::numeric_limits<std::int64_t>::max();
    one.Add(u"\\f", ntfs::kTypeFile, false,
            {{-1, 1}, {1, 5}, {std::numeric_limits<std::int64_t>::max(), 9}, {0, -3}});
    const TMapModel m1 = one.Model({});
    EXPECT_EQ(AllStates(m1), one.Cells({}));
    EXPECT_EQ(m1.StateAt(-1), map::csBeyondEnd);
    EXPECT_EQ(m1.StateAt(1), map::csBeyondEnd);
    std::array<std::uint8_t, 5> row{};
    row.fill(0);
    m1.States(-2, row.size(), row.data());
    EXPECT_EQ(row, (std::array<std::uint8_t, 5>{map::csBeyondEnd, map::csBeyondEnd, map::csFree,
                                                map::csBeyondEnd, map::csBeyondEnd}));
    row.fill(0);
    m1.SummaryRow(0, std::numeric_limits<std::int64_t>::max(), row.size(), row.data());
    EXPECT_EQ(row, (std::array<std::uint8_t, 5>{map::csFree, map::csBeyondEnd, map::csBeyondEnd,
                                                map::csBeyondEnd, map::csBeyondEnd}));
    row.fill(0);
    m1.SummaryRow(std::numeric_limits<std::int64_t>::min(), 3, row.size(), row.data());
    EXPECT_EQ(std::count(row.begin(), row.end(), map::csBeyondEnd), 5);
    row.fill(0);
    m1.States(std::numeric_limits<std::int64_t>::max() - 1, row.size(), row.data());
    EXPECT_EQ(std::count(row.begin(), row.end(), map::csBeyondEnd), 5);

    // No clusters at all, and a count below zero.
    TMapInput empty;
    const TMapModel m0(empty);
    m0.SummaryRow(0, 2, row.size(), row.data());
    EXPECT_EQ(std::count(row.begin(), row.end(), map::csBeyondEnd), 5);
    empty.totalClusters = -1;
    EXPECT_THROW(TMapModel{empty}, std::bad_alloc);

    // The largest volume NTFS formats: 2^32 - 1 clusters, no bitmap, an
    // extent running past the end and one longer than a range holds.
    Scene huge;
    huge.total = 4'294'967'295;
    huge.zoneStart = 786'432;
    huge.zoneEnd = 1'000'000;
    huge.Add(u"\\$MFT", ntfs::kTypeSystem, false, {{786'432, 64}});
    huge.Add(u"\\tail", ntfs::kTypeFile, false, {{huge.total - 3, 100}});
    huge.Add(u"\\all", ntfs::kTypeDirectory, false,
             {{2, std::numeric_limits<std::int64_t>::max()}});
    huge.Add(u"\\last", ntfs::kTypeFile, false, {{huge.total - 1, 1}});
    const TMapModel big = huge.Model(u"last");
    EXPECT_EQ(big.StateAt(0), map::csFree);
    EXPECT_EQ(big.StateAt(2), map::csDirectory);
    EXPECT_EQ(big.StateAt(huge.total - 2), map::csDirectory);
    EXPECT_EQ(big.StateAt(huge.total - 1), map::csMarked);
    EXPECT_EQ(big.StateAt(huge.total), map::csBeyondEnd);
    std::vector<std::uint8_t> wide(1600, 0);
    big.SummaryRow(0, (huge.total + 1599) / 1600, wide.size(), wide.data());
    EXPECT_EQ(wide.front(), map::csDirectory);
    EXPECT_EQ(wide.back(), map::csMarked);
    big.SummaryRow(huge.total - 800, 1, wide.size(), wide.data());
    EXPECT_EQ(wide[799], map::csMarked);
    EXPECT_EQ(wide[800], map::csBeyondEnd);
    EXPECT_LT(big.MemoryBytes(), static_cast<std::size_t>(huge.total / 4));
}

} // namespace

namespace {

// A plain file over clusters the bitmap marks used needs no range: the
// bitmap says the same. Over clear bits (a damaged volume) it does, and so
// does the file once it is marked.
TEST(MapModelTest, PlainFilesOverUsedBitsCostNoRangeUntilMarked) {
    Scene s;
    s.total = 4096;
    s.bitmap.assign(512, 0xFF);
    s.bitmap[400] = 0x00; // clusters 3200-3207 free
    for (std::int64_t f = 0; f < 100; ++f) {
        s.Add(u"\\f" + std::u16string(1, static_cast<char16_t>(u'a' + f % 26)), ntfs::kTypeFile,
              false, {{f * 30, 20}});
    }
    s.Add(u"\\stray.bin", ntfs::kTypeFile, false, {{3198, 12}});
    TMapModel model = s.Model(u"");
    EXPECT_EQ(model.RangeCount(), 1U); // the stray file over free bits
    EXPECT_EQ(AllStates(model), s.Cells(u""));
    model.Paint(s.Input(u"\\fc"));
    EXPECT_EQ(AllStates(model), s.Cells(u"\\fc"));
    EXPECT_GT(model.RangeCount(), 1U);
    EXPECT_LT(model.MemoryBytes(), 4096U / 2 + 1024U);
}

} // namespace

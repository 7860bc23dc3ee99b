// The map's view at every zoom against the one-byte-per-cluster reference:
// a pixel a cluster is the reference's rows pixel for pixel, summary pixels
// follow the documented rule, magnified cells carry their grid, a marked
// file shows at every zoom, and no size of window or volume breaks it.
#include "map/MapView.h"

#include "map/MapOracle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>

namespace {

using namespace lorvex::test;
using lorvex::map::kBackgroundIndex;
using lorvex::map::kGridIndex;
using lorvex::map::SpanLength;
using lorvex::map::TClusterSpan;
using lorvex::map::TMapScale;
using lorvex::map::TMapView;

std::vector<std::uint8_t> Screen(const TMapView& view, const TMapModel& model) {
    std::vector<std::uint8_t> out(
        static_cast<std::size_t>(view.Width()) * static_cast<std::size_t>(view.Height()), 0xEE);
    view.Render(model, out.data(), static_cast<std::size_t>(view.Width()));
    return out;
}

TMapView MakeView(std::int32_t width, std::int32_t height, std::int64_t total) {
    TMapView view;
    view.SetArea(width, height);
    view.SetTotalClusters(total);
    return view;
}

// Every scale a user can step through, from the largest cells to the fit.
std::vector<TMapScale> AllSteps(TMapView view) {
    view.SetScale({lorvex::map::kLargestCell, 1});
    std::vector<TMapScale> steps{view.Scale()};
    for (;;) {
        const TMapScale next = view.ZoomedOut();
        if (next == view.Scale()) {
            break;
        }
        view.SetScale(next);
        steps.push_back(next);
    }
    return steps;
}

TEST(MapViewTest, OnePixelAClusterIsTheReferencePictureRowForRow) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 150; ++round) {
        const Scene s = RandomScene(rng, 30'000);
        const std::u16string mark = round % 3 == 0 ? u"MARK" : u"";
        const std::vector<std::uint8_t> cells = s.Cells(mark);
        const TMapModel model = s.Model(mark);
        const std::int32_t width = round == 0 ? 639 : static_cast<std::int32_t>(rng() % 700) + 1;
        const std::int32_t height = round == 0 ? 514 : static_cast<std::int32_t>(rng() % 600) + 1;
        TMapView view = MakeView(width, height, s.total);
        view.SetTopRow(static_cast<std::int64_t>(rng() % 50));
        const std::vector<std::uint8_t> screen = Screen(view, model);

        reference::TCellArray reference(s.total);
        std::copy(cells.begin(), cells.end(), reference.Data());
        const reference::TMapGeometry g =
            reference::ComputeMapGeometry(width - 1, height - 1, s.total);
        ASSERT_EQ(view.RowCount(), g.rowCount);
        ASSERT_EQ(view.MaxTopRow(), g.scrollMax);
        std::vector<std::uint8_t> row(static_cast<std::size_t>(width));
        for (std::int32_t y = 0; y < height; ++y) {
            const std::int64_t r = view.TopRow() + y;
            if (r < g.rowCount) {
                reference::FillMapRow(reference, r * width, width, row.data());
            } else {
                std::fill(row.begin(), row.end(), kBackgroundIndex);
            }
            ASSERT_TRUE(std::equal(row.begin(), row.end(),
                                   screen.begin() + static_cast<std::ptrdiff_t>(y) * width))
                << "round " << round << " row " << y;
        }
    }
}

TEST(MapViewTest, SummaryPixelsFollowTheRuleAndMagnifiedCellsCarryTheGrid) {
    std::mt19937_64 rng(11);
    for (int round = 0; round < 60; ++round) {
        const Scene s = RandomScene(rng, 60'000);
        const std::vector<std::uint8_t> cells = s.Cells(u"a");
        const TMapModel model = s.Model(u"a");
        const std::int32_t width = static_cast<std::int32_t>(rng() % 300) + 20;
        const std::int32_t height = static_cast<std::int32_t>(rng() % 200) + 20;
        TMapView view = MakeView(width, height, s.total);
        for (const TMapScale scale : AllSteps(view)) {
            view.SetScale(scale);
            view.SetTopRow(view.MaxTopRow() / 2);
            const std::vector<std::uint8_t> screen = Screen(view, model);
            const std::int32_t p = scale.cellPixels;
            const std::int32_t perRow = view.CellsPerRow();
            for (std::int32_t y = 0; y < height; ++y) {
                const std::uint8_t* line = screen.data() + static_cast<std::ptrdiff_t>(y) * width;
                const std::int64_t r = view.TopRow() + y / p;
                const std::vector<std::uint8_t> want =
                    ReferenceRow(cells, r * view.ClustersPerRow(), scale.clustersPerPixel,
                                 static_cast<std::size_t>(perRow));
                for (std::int32_t x = 0; x < width; ++x) {
                    std::uint8_t expected = kBackgroundIndex;
                    if (r < view.RowCount() && x < perRow * p) {
                        const bool grid =
                            p >= lorvex::map::kGridFromCell && (x % p == p - 1 || y % p == p - 1);
                        expected = grid ? kGridIndex : want[static_cast<std::size_t>(x / p)];
                    }
                    ASSERT_EQ(line[x], expected)
                        << "round " << round << " scale " << p << "/" << scale.clustersPerPixel
                        << " at " << x << "," << y;
                }
                // The pointer names the clusters the pixel shows.
                const std::int32_t x = width / 2;
                const TClusterSpan span = view.SpanAt(x, y);
                const std::int64_t first = (r * perRow + x / p) * scale.clustersPerPixel;
                if (r < view.RowCount() && x < perRow * p && first < s.total) {
                    EXPECT_EQ(span.begin, first);
                    EXPECT_EQ(SpanLength(span), std::min(scale.clustersPerPixel, s.total - first));
                } else {
                    EXPECT_EQ(SpanLength(span), 0);
                }
            }
        }
    }
}

TEST(MapViewTest, AMarkedFileOfOneClusterShowsAtEveryZoom) {
    Scene s;
    s.total = 5'000'000;
    s.bitmap.assign(static_cast<std::size_t>(s.total / 8), 0xFF);
    s.Add(u"\\big.bin", ntfs::kTypeFile, false, {{0, 4'999'000}});
    s.Add(u"\\needle.txt", ntfs::kTypeFile, false, {{3'333'333, 1}});
    const TMapModel model = s.Model(u"needle");
    for (const auto& [width, height] : {std::pair{639, 514}, {1550, 950}, {7, 5}, {1, 1}}) {
        TMapView view = MakeView(width, height, s.total);
        for (const TMapScale scale : AllSteps(view)) {
            view.SetScale(scale);
            view.ShowCluster(3'333'333);
            const std::vector<std::uint8_t> screen = Screen(view, model);
            EXPECT_NE(std::find(screen.begin(), screen.end(), map::csMarked), screen.end())
                << width << "x" << height << " at " << scale.cellPixels << "/"
                << scale.clustersPerPixel;
        }
    }
}

// A file shown on the map lights exactly the pixels that show one of its
// clusters, at every zoom, and nothing past the volume's end, even where a
// damaged run list makes an extent end at the end of the number range.
TEST(MapViewTest, LitClustersShowAtEveryZoomOnTheirPixelsOnly) {
    constexpr std::int64_t kLast = std::numeric_limits<std::int64_t>::max();
    Scene s;
    s.total = 100'000;
    s.bitmap.assign(static_cast<std::size_t>(s.total / 8), 0x0F);
    const TMapModel model = s.Model(u"");
    TMapView view = MakeView(300, 200, s.total);
    view.SetHighlight({{99'990, 100'040},
                       {5'000, 5'003},
                       {5'002, 5'012},
                       {-4, -2},
                       {70'000, 70'000},
                       {kLast - 1, kLast},
                       {99'995, kLast}});
    // The two near 5,000 merged, the empty dropped, the two at the end merged.
    ASSERT_EQ(view.Highlight().size(), 3U);
    EXPECT_EQ(view.Highlight().back().end, kLast);
    const auto lit = [](std::int64_t lcn) {
        return (lcn >= 5'000 && lcn < 5'012) || lcn >= 99'990;
    };
    for (const TMapScale scale : AllSteps(view)) {
        view.SetScale(scale);
        for (const std::int64_t at : {std::int64_t{5'000}, std::int64_t{99'995}}) {
            view.ShowCluster(at);
            const std::vector<std::uint8_t> screen = Screen(view, model);
            for (std::int32_t y = 0; y < view.Height(); y += scale.cellPixels) {
                for (std::int32_t x = 0; x < view.Width(); x += scale.cellPixels) {
                    const TClusterSpan span = view.SpanAt(x, y);
                    bool want = false;
                    for (std::int64_t c = span.begin; c < span.end; ++c) {
                        want = want || lit(c);
                    }
                    ASSERT_EQ(screen[static_cast<std::size_t>(y * view.Width() + x)] ==
                                  lorvex::map::kHighlightIndex,
                              want)
                        << scale.cellPixels << "/" << scale.clustersPerPixel << " at " << x << ","
                        << y;
                }
            }
        }
    }
}

TEST(MapViewTest, OverlayShowsAtEveryZoomTheHighestIndexUnderTheHighlight) {
    using namespace lorvex::map;
    Scene s;
    s.total = 100'000;
    s.bitmap.assign(static_cast<std::size_t>(s.total / 8), 0x0F);
    const TMapModel model = s.Model(u"");
    TMapView view = MakeView(300, 200, s.total);
    // A cross-link inside owned-free clusters, lost clusters beside them, a
    // span past the end that shows nowhere, and a lit cluster over them.
    view.SetOverlay({{5'000, 100, kOverlayOwnedFree},
                     {5'040, 10, kOverlayCrossLinked},
                     {5'100, 1, kOverlayUnownedUsed},
                     {100'000, 7, kOverlayBeyondEnd},
                     {7, 0, kOverlayBadArea}});
    ASSERT_EQ(view.Overlay().size(), 5U);
    EXPECT_EQ(view.Overlay()[1].first, 5'040);
    EXPECT_EQ(view.Overlay()[2].first, 5'050);
    EXPECT_EQ(view.Overlay()[2].index, kOverlayOwnedFree);
    view.SetHighlight({{5'045, 5'046}});
    const auto expected = [](const TClusterSpan& span) -> int {
        int best = -1;
        for (std::int64_t c = span.begin; c < span.end; ++c) {
            if (c == 5'045) {
                return kHighlightIndex;
            }
            const int index = c >= 5'040 && c < 5'050   ? kOverlayCrossLinked
                              : c >= 5'000 && c < 5'100 ? kOverlayOwnedFree
                              : c == 5'100              ? kOverlayUnownedUsed
                                                        : -1;
            best = std::max(best, index);
        }
        return best;
    };
    for (const TMapScale scale : AllSteps(view)) {
        view.SetScale(scale);
        view.ShowCluster(5'040);
        const std::vector<std::uint8_t> screen = Screen(view, model);
        for (std::int32_t y = 0; y < view.Height(); y += scale.cellPixels) {
            for (std::int32_t x = 0; x < view.Width(); x += scale.cellPixels) {
                const TClusterSpan span = view.SpanAt(x, y);
                const std::uint8_t shown = screen[static_cast<std::size_t>(y * view.Width() + x)];
                const int want = expected(span);
                if (want >= 0) {
                    ASSERT_EQ(shown, want) << scale.clustersPerPixel << " at " << x << "," << y;
                } else {
                    ASSERT_TRUE(shown < kOverlayFirst && shown != kHighlightIndex)
                        << scale.clustersPerPixel << " at " << x << "," << y;
                }
            }
        }
    }
}

TEST(MapViewTest, ZoomStepsStopAtBothEndsAndKeepThePointersClusters) {
    // 2^32 - 1 clusters in the default window: fit at 13,077 clusters a pixel.
    const std::int64_t total = (std::int64_t{1} << 32) - 1;
    TMapView view = MakeView(639, 514, total);
    const TMapScale fit = view.FitScale();
    EXPECT_EQ(fit.clustersPerPixel, (total + 639 * 514 - 1) / (639 * 514));
    view.SetScale(fit);
    EXPECT_EQ(view.ZoomedOut(), fit); // zooming out past the fit does nothing
    EXPECT_LE(view.RowCount(), 514);
    EXPECT_EQ(view.MaxTopRow(), 0);
    EXPECT_EQ(view.ZoomedIn().clustersPerPixel, 8192);
    view.SetScale({1, fit.clustersPerPixel * 4}); // past the fit: held at it
    EXPECT_EQ(view.Scale(), fit);

    view.SetScale({});
    EXPECT_EQ(view.RowCount(), (total + 638) / 639);
    view.SetTopRow(std::int64_t{1} << 40); // past the end: the last screen
    EXPECT_EQ(view.TopRow(), view.RowCount() - 514);
    const TClusterSpan last = view.SpanAt(638, 513);
    EXPECT_EQ(SpanLength(last), 0); // beyond the last cluster
    EXPECT_EQ(view.SpanAt(0, 513).begin, (view.RowCount() - 1) * 639);

    // Zooming around a row keeps that row's clusters under it.
    view.SetTopRow(1'000'000);
    const std::int64_t under = view.SpanAt(0, 200).begin;
    view.ZoomAround({8, 1}, 200);
    EXPECT_EQ(view.Scale(), (TMapScale{8, 1}));
    const TClusterSpan after = view.SpanAt(0, 200);
    EXPECT_LE(after.begin, under);
    EXPECT_GT(after.begin + view.ClustersPerRow(), under);
    EXPECT_EQ(view.ZoomedIn(), (TMapScale{16, 1}));
    view.SetScale({16, 1});
    EXPECT_EQ(view.ZoomedIn(), (TMapScale{16, 1})); // the largest cell
    view.SetScale({99, 1});
    EXPECT_EQ(view.Scale(), (TMapScale{16, 1}));

    // A volume that fits magnified: the fit is the largest cell that holds
    // it, and out stops at a pixel a cluster.
    TMapView small = MakeView(639, 514, 65'535);
    EXPECT_EQ(small.FitScale(), (TMapScale{2, 1}));
    small.SetScale({});
    EXPECT_EQ(small.ZoomedOut(), TMapScale{});
    TMapView maximised = MakeView(1551, 950, 65'535);
    EXPECT_EQ(maximised.FitScale(), (TMapScale{4, 1}));
}

TEST(MapViewTest, TinyWindowsOneClusterAndNoVolumeDrawWithoutFault) {
    Scene one;
    one.total = 1;
    one.bitmap = {0x01};
    const TMapModel model = one.Model(u"");
    for (const auto& [width, height] : {std::pair{1, 1}, {2, 1}, {1, 3}, {5, 5}, {639, 514}}) {
        TMapView view = MakeView(width, height, 1);
        for (const TMapScale scale : AllSteps(view)) {
            view.SetScale(scale);
            const std::vector<std::uint8_t> screen = Screen(view, model);
            EXPECT_EQ(std::count(screen.begin(), screen.end(), 0xEE), 0);
            EXPECT_LE(scale.cellPixels, std::min(width, height));
            EXPECT_EQ(screen[0], map::csUsed) << width << "x" << height;
            EXPECT_EQ(SpanLength(view.SpanAt(0, 0)), 1);
        }
    }
    // No room at all: nothing in view.
    TMapView none = MakeView(0, 10, 1000);
    EXPECT_EQ(none.CellsPerRow(), 0);
    EXPECT_EQ(none.RowCount(), 0);
    EXPECT_EQ(SpanLength(none.SpanAt(0, 0)), 0);
    // A cell no bigger than the area; the cells shrink with it.
    TMapView narrow = MakeView(30, 10, 1000);
    narrow.SetScale({8, 1});
    EXPECT_EQ(narrow.Scale(), (TMapScale{8, 1}));
    narrow.SetArea(3, 10);
    EXPECT_EQ(narrow.Scale(), (TMapScale{3, 1}));
    EXPECT_EQ(narrow.CellsPerRow(), 1);
    TMapView empty = MakeView(100, 100, 0);
    EXPECT_EQ(empty.FitScale(), TMapScale{});
    EXPECT_EQ(SpanLength(empty.Visible()), 0);
}

TEST(MapViewTest, TheOverviewAveragesAsTheReferenceDoesAndNamesItsPixelsClusters) {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 80; ++round) {
        const Scene s = RandomScene(rng, 40'000);
        const std::vector<std::uint8_t> cells = s.Cells(u"x");
        const TMapModel model = s.Model(u"x");
        reference::TCellArray reference(s.total);
        std::copy(cells.begin(), cells.end(), reference.Data());
        const std::int32_t height = static_cast<std::int32_t>(rng() % 600) + 1;
        EXPECT_EQ(lorvex::map::OverviewPixels(model, 32, height, 0xFF123456U),
                  reference::RenderOverviewPixels(reference, 32, height, 0xFF123456U))
            << "round " << round;
    }
    // 65,535 clusters in 32 x 513: 3 a pixel; the rows of what is in view.
    const TClusterSpan span = lorvex::map::OverviewSpan(65'535, 32, 513, 13, 4);
    EXPECT_EQ(span.begin, (4 * 32 + 13) * 3);
    EXPECT_EQ(SpanLength(span), 3);
    EXPECT_EQ(SpanLength(lorvex::map::OverviewSpan(65'535, 32, 513, 32, 4)), 0);
    EXPECT_EQ(SpanLength(lorvex::map::OverviewSpan(10, 32, 513, 11, 0)), 0); // past 10 clusters
    const auto [top, bottom] = lorvex::map::OverviewRows(65'535, 32, 513, {639 * 10, 639 * 30});
    EXPECT_EQ(top, 639 * 10 / 3 / 32);
    EXPECT_EQ(bottom, (639 * 30 - 1) / 3 / 32);
}

TEST(MapViewTest, GoToTakesClustersAndByteOffsetsWithUnits) {
    using lorvex::map::ParseClusterOrOffset;
    EXPECT_EQ(ParseClusterOrOffset("123456", 4096), 123456);
    EXPECT_EQ(ParseClusterOrOffset("  1,234,567 ", 4096), 1234567);
    EXPECT_EQ(ParseClusterOrOffset("0x1F", 4096), 31);
    EXPECT_EQ(ParseClusterOrOffset("0x1fb", 4096), 0x1fb); // b is a digit here
    EXPECT_EQ(ParseClusterOrOffset("0x10 b", 4096), 0);
    EXPECT_EQ(ParseClusterOrOffset("42 clusters", 4096), 42);
    EXPECT_EQ(ParseClusterOrOffset("8192 B", 4096), 2);
    EXPECT_EQ(ParseClusterOrOffset("8191 bytes", 4096), 1);
    EXPECT_EQ(ParseClusterOrOffset("512 KiB", 4096), 128);
    EXPECT_EQ(ParseClusterOrOffset("2 TiB", 4096), std::int64_t{1} << 29);
    EXPECT_EQ(ParseClusterOrOffset("3g", 512), std::int64_t{3} << 21);
    EXPECT_EQ(ParseClusterOrOffset("9223372036854775807", 4096), INT64_MAX);
    for (const char* bad : {"", "x", "12 parsecs", "-5", "0x", "9223372036854775808", "9000000 TiB",
                            "1.5 GiB", ",5"}) {
        EXPECT_EQ(ParseClusterOrOffset(bad, 4096), std::nullopt) << bad;
    }
    EXPECT_EQ(ParseClusterOrOffset("4096 B", 0), std::nullopt);
}

} // namespace

// The map picture without a window: where its parts lie at every size, the
// sizes lorvex-scan accepts, and --map-png on a real volume pixel for pixel
// against the model's rendering, with its legend, its refusals and its
// errors.
#include "mappicture/MapPicture.h"
#include "mappicture/MapPictureFile.h"

#include "map/CellStates.h"
#include "map/MapModel.h"
#include "map/MapView.h"
#include "map/Palette.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"
#include "volume/VolumeMap.h"

#include <QGuiApplication>
#include <QImage>

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <sys/wait.h>

namespace lorvex::test {
namespace {

using mappicture::LayoutMapPicture;
using mappicture::ParsePictureSize;

// The fonts of a picture need an application; one for the whole run.
void EnsureApplication() {
    if (QGuiApplication::instance() == nullptr) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "lorvex_map_picture_tests";
        static std::array<char*, 2> argv = {name, nullptr};
        static QGuiApplication* const application = new QGuiApplication(argc, argv.data());
        (void)application;
    }
}

struct Outcome {
    int status = -1;
    std::string err;
};

// lorvex-scan `args` (already quoted) with no display to reach: DISPLAY
// names one that does not exist and the platform asked for is X, both of
// which --map-png must ignore.
Outcome Scan(const std::string& args, const std::string& program = LORVEX_SCAN) {
    const auto errFile = TempPath("lorvex-map-png.err");
    const std::string command = "DISPLAY=:97 QT_QPA_PLATFORM=xcb '" + program + "' " + args +
                                " </dev/null >/dev/null 2>" + Quote(errFile);
    const int raw = std::system(command.c_str());
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    o.err = ReadFile(errFile);
    std::filesystem::remove(errFile);
    return o;
}

std::string Image(const char* name) {
    return Quote(VolumeDir() / name);
}

TEST(MapPicture, SizesAreWidthByHeightWithinTheLimits) {
    for (const char* good : {"320x240", "1024x768", "8192X8192", "00400x300"}) {
        EXPECT_TRUE(ParsePictureSize(good).has_value()) << good;
    }
    const auto size = ParsePictureSize("1920x1080");
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, 1920);
    EXPECT_EQ(size->height, 1080);
    for (const char* bad : {"", "x", "1024", "1024x", "x768", "319x240", "320x239", "8193x400",
                            "400x8193", "-400x300", "+400x300", "400x300x2", " 400x300", "400 x300",
                            "400x300 ", "4e2x300", "99999999999x300", "400*300"}) {
        EXPECT_FALSE(ParsePictureSize(bad).has_value()) << bad;
    }
}

TEST(MapPicture, TheLegendAndTitleLeaveTheMapRoomAtEverySize) {
    EnsureApplication();
    for (int width = mappicture::kMinWidth; width <= 2000; width += 37) {
        for (const int height : {mappicture::kMinHeight, 300, 768, 4000}) {
            const QSize size(width, height);
            SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
            const auto layout = LayoutMapPicture(size);
            ASSERT_FALSE(layout.map.isEmpty());
            const QRect whole(QPoint(0, 0), size);
            EXPECT_TRUE(whole.contains(layout.title));
            EXPECT_TRUE(whole.contains(layout.legend));
            EXPECT_TRUE(whole.contains(layout.map));
            EXPECT_FALSE(layout.map.intersects(layout.legend));
            EXPECT_FALSE(layout.map.intersects(layout.title));
            // Every entry's column fits across the picture.
            EXPECT_LE(layout.legend.left() + layout.legendColumns * layout.legendColumnWidth,
                      width + 18);
        }
    }
    EXPECT_TRUE(LayoutMapPicture(QSize(mappicture::kMinWidth - 1, 500)).map.isEmpty());
    EXPECT_TRUE(LayoutMapPicture(QSize(500, mappicture::kMaxSide + 1)).map.isEmpty());
}

// The model of a scanned volume built as the window builds it, here rather
// than through BuildScannedModel, so that lorvex-scan's wiring is checked.
std::unique_ptr<map::TMapModel> ScannedModel(const std::filesystem::path& image) {
    platform::RawVolumeSystem system({image.string()});
    const std::string root = system.drives().at(0).Root();
    ntfs::NtfsVolume volume(system, root);
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    std::unique_ptr<map::TMapModel> model;
    ntfs::ScanObserver observer;
    observer.paint = [&] {
        std::uint32_t bytesPerCluster = 0;
        const std::int64_t total = volume::QueryClusterCount(system, root, bytesPerCluster);
        std::vector<std::uint8_t> bits(static_cast<std::size_t>(total + 7) / 8);
        EXPECT_TRUE(volume::ReadVolumeBitmap(system, root, bits));
        map::TMapInput input;
        input.totalClusters = volume::QueryClustersOnSource(system, root, total, bytesPerCluster);
        input.bitmap = bits;
        input.mftZoneStart = volume.geometry().mftZoneStart;
        input.mftZoneEnd = volume.geometry().mftZoneEnd;
        input.fileIds = &fileIds;
        input.clusters = &clusters;
        model = std::make_unique<map::TMapModel>(input);
    };
    ntfs::RunScanStages(volume, fileIds, clusters, observer);
    return model;
}

QRgb PictureColour(std::uint8_t index) {
    if (index == map::kGridIndex) {
        return mappicture::kPictureGrid;
    }
    if (index == map::kBackgroundIndex) {
        return mappicture::kPictureBackground;
    }
    return map::CellPalette()[index];
}

TEST(MapPng, ThePictureOfTheDemoVolumeIsTheModelsRenderingWithItsLegend) {
    EnsureApplication();
    const auto image = VolumeDir() / "demo.img";
    const auto png = TempPath("lorvex-demo-map.png");
    const auto o = Scan(Quote(image) + " --map-png " + Quote(png) + " --map-size 900x700");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, ""); // nothing from the platform on standard error
    const QImage picture =
        QImage(QString::fromStdString(png.string())).convertToFormat(QImage::Format_RGB32);
    std::filesystem::remove(png);
    ASSERT_FALSE(picture.isNull());
    ASSERT_EQ(picture.size(), QSize(900, 700));

    const auto layout = LayoutMapPicture(picture.size());
    const auto model = ScannedModel(image);
    ASSERT_TRUE(model);
    map::TMapView view;
    view.SetArea(layout.map.width(), layout.map.height());
    view.SetTotalClusters(model->TotalClusters());
    view.SetScale(view.FitScale());
    const auto width = static_cast<std::size_t>(layout.map.width());
    std::vector<std::uint8_t> cells(width * static_cast<std::size_t>(layout.map.height()));
    view.Render(*model, cells.data(), width);
    std::set<QRgb> colours;
    std::size_t wrong = 0;
    for (int y = 0; y < layout.map.height(); ++y) {
        for (int x = 0; x < layout.map.width(); ++x) {
            const QRgb expected = PictureColour(
                cells[static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)]);
            const QRgb got = picture.pixel(layout.map.left() + x, layout.map.top() + y);
            wrong += got != expected ? 1 : 0;
            colours.insert(got);
        }
    }
    EXPECT_EQ(wrong, 0U) << "map pixels that differ from the model's rendering";
    // The demo volume holds files, fragmented files, directories, system
    // files, a paging file, the MFT zone and free space.
    EXPECT_GE(colours.size(), 7U);

    // Each legend entry: a swatch of its state's colour, and a label.
    for (std::size_t i = 0; i < map::kLegend.size(); ++i) {
        SCOPED_TRACE(std::string(map::kLegend[i].label));
        const int column = static_cast<int>(i) % layout.legendColumns;
        const int row = static_cast<int>(i) / layout.legendColumns;
        const int left = layout.legend.left() + column * layout.legendColumnWidth;
        const int top = layout.legend.top() + row * 18;
        EXPECT_EQ(picture.pixel(left + 6, top + 9), map::CellPalette()[map::kLegend[i].state]);
        int ink = 0;
        for (int y = top; y < top + 18; ++y) {
            for (int x = left + 18; x < left + layout.legendColumnWidth - 18; ++x) {
                ink += picture.pixel(x, y) != mappicture::kPictureBackground ? 1 : 0;
            }
        }
        EXPECT_GT(ink, 20) << "no label";
    }
    int titleInk = 0;
    for (int y = layout.title.top(); y <= layout.title.bottom(); ++y) {
        for (int x = layout.title.left(); x <= layout.title.right(); ++x) {
            titleInk += picture.pixel(x, y) != mappicture::kPictureBackground ? 1 : 0;
        }
    }
    EXPECT_GT(titleInk, 200) << "no title";
}

// The window's picture: its palette, the file it lights and its overlay,
// each named in the legend after the kinds, the kinds darkened under the
// overlay as on the screen.
TEST(MapPicture, AWindowsPictureShowsItsPaletteWhatItLightsAndItsOverlay) {
    EnsureApplication();
    const auto model = ScannedModel(VolumeDir() / "demo.img");
    ASSERT_TRUE(model);
    const std::int64_t total = model->TotalClusters();
    mappicture::TMapPictureOptions options;
    options.size = QSize(900, 700);
    options.palette = &map::SafeCellPalette();
    options.highlight = {{0, total / 4}};
    options.overlay = {{total / 2, total / 4, map::kOverlayCrossLinked}};
    const QImage picture = mappicture::RenderMapPicture(*model, options);
    ASSERT_FALSE(picture.isNull());
    const auto layout = LayoutMapPicture(options.size, options);
    ASSERT_FALSE(layout.map.isEmpty());

    // The first pixel is the highlight's, the middle the overlay's, the last
    // a kind darkened: no colour of either palette's kinds is left on the map.
    EXPECT_EQ(picture.pixel(layout.map.topLeft()), map::OverlayColour(map::kHighlightIndex));
    std::set<QRgb> kinds;
    for (const auto& entry : map::kLegend) {
        kinds.insert(map::SafeCellPalette()[entry.state]);
        kinds.insert(map::CellPalette()[entry.state]);
    }
    std::size_t overlay = 0;
    std::size_t bright = 0;
    for (int y = layout.map.top(); y <= layout.map.bottom(); ++y) {
        for (int x = layout.map.left(); x <= layout.map.right(); ++x) {
            const QRgb pixel = picture.pixel(x, y);
            overlay += pixel == map::OverlayColour(map::kOverlayCrossLinked) ? 1U : 0U;
            bright += kinds.contains(pixel) && qGray(pixel) > 0x40 &&
                              pixel != mappicture::kPictureBackground
                          ? 1U
                          : 0U;
        }
    }
    EXPECT_GT(overlay, static_cast<std::size_t>(layout.map.width()));
    EXPECT_EQ(bright, 0U) << "kinds not darkened under the overlay";

    // The legend: the kinds in the palette given, then the two lit lines.
    const auto swatch = [&](std::size_t i) {
        const int column = static_cast<int>(i) % layout.legendColumns;
        const int row = static_cast<int>(i) / layout.legendColumns;
        return picture.pixel(layout.legend.left() + column * layout.legendColumnWidth + 6,
                             layout.legend.top() + row * 18 + 9);
    };
    for (std::size_t i = 0; i < map::kLegend.size(); ++i) {
        EXPECT_EQ(swatch(i), map::SafeCellPalette()[map::kLegend[i].state]) << i;
    }
    EXPECT_EQ(swatch(map::kLegend.size()), map::OverlayColour(map::kHighlightIndex));
    EXPECT_EQ(swatch(map::kLegend.size() + 1), map::OverlayColour(map::kOverlayCrossLinked));
}

TEST(MapPng, TheTitleNamesTheVolumeItsClustersAndSize) {
    EXPECT_EQ(mappicture::PictureTitle("C: demo.img", 65535, 4096).find("C: demo.img: "), 0U);
    const std::string title = mappicture::PictureTitle("C:", 65535, 4096);
    EXPECT_NE(title.find("4096 bytes"), std::string::npos) << title;
    EXPECT_NE(title.find("256.0 MiB"), std::string::npos) << title;
    EXPECT_EQ(mappicture::PictureTitle("X", 3, 512), "X: 3 clusters of 512 bytes, 1.5 KiB");
    EXPECT_EQ(mappicture::PictureTitle("X", 1, 512), "X: 1 cluster of 512 bytes, 512 bytes");
}

TEST(MapPng, ASourceIsNeverTheTargetAndFailuresLeaveNoFile) {
    const auto copy = TempPath("lorvex-map-source.img");
    std::filesystem::copy_file(VolumeDir() / "ntfs-small.img", copy);
    const std::string before = ReadFile(copy);
    const auto refused = Scan(Quote(copy) + " --map-png " + Quote(copy));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("never writes there"), std::string::npos) << refused.err;
    EXPECT_TRUE(ReadFile(copy) == before) << "the source changed";
    std::filesystem::remove(copy);

    // The default size, when none is given.
    const auto png = TempPath("lorvex-small-map.png");
    ASSERT_EQ(Scan(Image("ntfs-small.img") + " --map-png " + Quote(png)).status, 0);
    EXPECT_EQ(QImage(QString::fromStdString(png.string())).size(), QSize(1024, 768));
    std::filesystem::remove(png);

    // A volume that cannot be scanned leaves no empty picture behind, and a
    // picture that cannot be written is an error.
    const auto fat = Scan(Image("fat.img") + " --map-png " + Quote(png));
    EXPECT_EQ(fat.status, 1);
    EXPECT_FALSE(std::filesystem::exists(png));
    const auto full = Scan(Image("ntfs-small.img") + " --map-png /dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("Disk full"), std::string::npos) << full.err;
}

// Qt is the picture's alone: lorvex-scan starts without it and loads the
// encoder's module only for a picture. Without the module, a picture is
// refused before the scan, saying why, and everything else works.
TEST(MapPng, TheEncoderIsAModuleLoadedOnlyForAPicture) {
    const std::string linked =
        RunCommand("LD_TRACE_LOADED_OBJECTS=1 '" + std::string(LORVEX_SCAN) + "'");
    EXPECT_NE(linked.find("libc.so"), std::string::npos) << linked;
    EXPECT_EQ(linked.find("libQt"), std::string::npos) << linked;

    const auto alone = TempPath("lorvex-scan-alone");
    std::filesystem::create_directories(alone);
    const auto program = alone / "lorvex-scan";
    std::filesystem::copy_file(LORVEX_SCAN, program,
                               std::filesystem::copy_options::overwrite_existing);
    const auto png = TempPath("lorvex-alone.png");
    const auto refused = Scan(Image("ntfs-small.img") + " --map-png " + Quote(png), program);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("the PNG encoder could not be loaded"), std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("lorvex-map-png.so"), std::string::npos) << refused.err;
    EXPECT_FALSE(std::filesystem::exists(png));
    EXPECT_EQ(Scan(Image("ntfs-small.img"), program).status, 0);
    std::filesystem::remove_all(alone);
}

TEST(MapPng, BadSizesAndCombinationsAreUsageErrors) {
    const auto png = TempPath("lorvex-bad-size.png");
    for (const char* size : {"abc", "10x10", "1024", "0x0", "-1x500", "9000x9000", "1e3x500"}) {
        SCOPED_TRACE(size);
        const auto o = Scan(Image("ntfs-small.img") + " --map-png " + Quote(png) + " --map-size '" +
                            size + "'");
        EXPECT_EQ(o.status, 2);
        EXPECT_NE(o.err.find("--map-size '" + std::string(size) + "': give WIDTHxHEIGHT"),
                  std::string::npos)
            << o.err;
        EXPECT_NE(o.err.find("from 320x240 to 8192x8192"), std::string::npos) << o.err;
        EXPECT_FALSE(std::filesystem::exists(png));
    }
    EXPECT_EQ(Scan(Image("ntfs-small.img") + " --map-png " + Quote(png) + " --map-size").status, 2);
    EXPECT_EQ(Scan(Image("ntfs-small.img") + " --map-size 400x400").status, 2);
    EXPECT_EQ(Scan(Image("ntfs-small.img") + " --map-png").status, 2);
    EXPECT_EQ(Scan(Image("ntfs-small.img") + " --map-png -").status, 2);
    EXPECT_EQ(Scan(Image("ntfs-small.img") + " --info --map-png " + Quote(png)).status, 2);
    const auto same =
        Scan(Image("ntfs-small.img") + " --map-png " + Quote(png) + " --export " + Quote(png));
    EXPECT_EQ(same.status, 2);
    EXPECT_NE(same.err.find("the same file"), std::string::npos) << same.err;
    EXPECT_FALSE(std::filesystem::exists(png));
}

} // namespace
} // namespace lorvex::test

// The compact map model against the window's cells on a real volume after
// a real scan: cell for cell, marked and not, and its summary rows.
#include "map/MapOracle.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"
#include "volume/VolumeMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace {

using namespace lorvex::test;

// The window's own cells after a real scan against the model of the same
// scan, before and after marking.
TEST(MapModelVolumeTest, DemoVolumeMatchesTheCellsCellForCell) {
    const auto image = lorvex::test::VolumeDir() / "demo.img";
    ASSERT_TRUE(std::filesystem::exists(image));
    lorvex::platform::RawVolumeSystem sys({image.string()});
    std::uint32_t bytesPerCluster = 0;
    const std::int64_t total = lorvex::volume::QueryClusterCount(sys, "C:\\", bytesPerCluster);
    ASSERT_GT(total, 0);
    reference::TCellArray cells(total);
    ASSERT_TRUE(reference::ReadBitmapCells(sys, "C:\\", cells));
    // The bitmap as the query gave it, from the expanded cells.
    std::vector<std::uint8_t> bitmap(static_cast<std::size_t>((total + 7) / 8), 0);
    for (std::int64_t c = 0; c < total; ++c) {
        if (cells.At(c) == map::csUsed) {
            bitmap[static_cast<std::size_t>(c / 8)] |= static_cast<std::uint8_t>(1U << (c % 8));
        }
    }

    ntfs::NtfsVolume volume(sys, "C");
    TFileIDs fileIds;
    TClusterArray clusters;
    TClusterArray painted;
    ntfs::ScanObserver observer;
    observer.paint = [&] { painted = clusters; };
    ntfs::RunScanStages(volume, fileIds, clusters, observer);
    ASSERT_GT(painted.size(), 10U);

    for (const std::u16string mark : {u"", u".TXT", u"\\"}) {
        reference::TCellArray oracle(total);
        std::memcpy(oracle.Data(), cells.Data(), cells.Size());
        reference::TPaintInput in;
        in.mftZoneStart = volume.geometry().mftZoneStart;
        in.mftZoneEnd = volume.geometry().mftZoneEnd;
        in.fileIds = &fileIds;
        in.clusters = &painted;
        in.markText = mark;
        reference::PaintCells(oracle, in);
        const std::vector<std::uint8_t> want(oracle.Data(), oracle.Data() + total);

        TMapInput input;
        input.totalClusters = total;
        input.bitmap = bitmap;
        input.mftZoneStart = volume.geometry().mftZoneStart;
        input.mftZoneEnd = volume.geometry().mftZoneEnd;
        input.fileIds = &fileIds;
        input.clusters = &painted;
        input.markText = mark;
        input.contains = QtContains;
        TMapModel model(input);
        EXPECT_EQ(AllStates(model), want);
        EXPECT_NE(std::count(want.begin(), want.end(), map::csSystem), 0);

        // Painted again without the mark and with it: the same states.
        input.markText.clear();
        model.Paint(input);
        input.markText = mark;
        model.Paint(input);
        EXPECT_EQ(AllStates(model), want);
        for (const std::int64_t k : {2, 3, 64, 1000}) {
            const auto pixels = static_cast<std::size_t>(total / k + 1);
            std::vector<std::uint8_t> row(pixels, 0);
            model.SummaryRow(0, k, pixels, row.data());
            EXPECT_EQ(row, ReferenceRow(want, 0, k, pixels)) << "k " << k;
        }
    }
}

} // namespace

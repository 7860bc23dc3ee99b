// A drive's allocation bitmap read once and shared: the same bits as a read
// of its own gives, and the map picture painted over it the same picture as
// over the bitmap it reads itself.
#include "cli/VolumeBitmap.h"
#include "cli/FileExports.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"
#include "volume/VolumeMap.h"
#ifdef LORVEX_MAP_PICTURE
#include "mappicture/MapPictureFile.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace lorvex::test {
namespace {

TEST(VolumeBitmap, ReadOnceAndTheSameBitsAsAReadOfItsOwn) {
    for (const char* name : {"ntfs-4k.img", "ntfs-512.img", "damaged-truncated.img"}) {
        SCOPED_TRACE(name);
        platform::RawVolumeSystem system({(VolumeDir() / name).string()});
        ntfs::NtfsVolume volume(system, "C");
        const std::int64_t clusters = volume.geometry().totalClusters;
        cli::VolumeBitmap bitmap(system, "C:\\", clusters);
        EXPECT_FALSE(bitmap.Read());
        const auto words = bitmap.Words();
        EXPECT_TRUE(bitmap.Read());
        // A second action gets the bits the first read.
        EXPECT_EQ(bitmap.Words().data(), words.data());
        std::vector<std::uint8_t> own(static_cast<std::size_t>((clusters + 7) / 8));
        if (!volume::ReadVolumeBitmap(system, "C:\\", own)) {
            EXPECT_TRUE(words.empty());
            EXPECT_TRUE(bitmap.Bytes().empty());
            continue;
        }
        const auto bytes = bitmap.Bytes();
        ASSERT_EQ(bytes.size(), own.size());
        // Equal but for the bits past the last cluster, which are cleared.
        if (clusters % 8 != 0) {
            own.back() &= static_cast<std::uint8_t>((1U << (clusters % 8)) - 1);
        }
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), own.begin()));
    }
}

#ifdef LORVEX_MAP_PICTURE
// The model painted over the shared bitmap draws the picture the model that
// reads its own draws, on a volume whole and on one cut short.
TEST(VolumeBitmap, TheMapPictureOverTheSharedBitmapIsTheSame) {
    int compared = 0;
    for (const char* name : {"ntfs-4k.img", "damaged-truncated.img"}) {
        SCOPED_TRACE(name);
        platform::RawVolumeSystem system({(VolumeDir() / name).string()});
        ntfs::NtfsVolume volume(system, "C");
        ntfs::TFileIDs fileIds;
        ntfs::TClusterArray clusters;
        const platform::RawVolumeSystem::Drive& drive = system.drives().front();
        cli::VolumeBitmap bitmap(system, drive.Root(), volume.geometry().totalClusters);
        const cli::ScannedDrive scan{system, drive, volume, fileIds, clusters, bitmap};
        std::shared_ptr<map::TMapModel> shared;
        std::shared_ptr<map::TMapModel> own;
        ntfs::ScanObserver observer;
        observer.paint = [&] {
            shared = cli::BuildMapModel(scan, true);
            own = cli::BuildMapModel(scan, false);
        };
        ntfs::RunScanStages(volume, fileIds, clusters, observer);
        ASSERT_EQ(shared == nullptr, own == nullptr);
        if (!shared) {
            continue;
        }
        // Every cluster's state, as the picture would draw it.
        const auto states = [](const map::TMapModel& model) {
            std::vector<std::uint8_t> out(static_cast<std::size_t>(model.TotalClusters()));
            model.States(0, out.size(), out.data());
            return out;
        };
        EXPECT_GT(own->TotalClusters(), 0);
        EXPECT_EQ(shared->TotalClusters(), own->TotalClusters());
        EXPECT_TRUE(states(*shared) == states(*own));
        ++compared;
    }
    EXPECT_GE(compared, 1);
}
#endif

} // namespace
} // namespace lorvex::test

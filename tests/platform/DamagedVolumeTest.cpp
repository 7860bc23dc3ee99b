// Damaged sources give drives that fail quietly: no NTFS data, no records,
// never a crash or a read outside the source.
#include "platform/DriveQueries.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

namespace lorvex::test {
namespace {

namespace error = platform::error;

std::string Image(const std::string& kind) {
    return (VolumeDir() / ("damaged-" + kind + ".img")).string();
}

TEST(Damaged, ImpossibleGeometryGivesAnInertDrive) {
    for (const char* kind : {"truncated", "bps-zero", "bps-odd", "spc-zero", "mft-beyond",
                             "rec-zero", "rec-huge", "mft-fixup"}) {
        SCOPED_TRACE(kind);
        ASSERT_TRUE(std::filesystem::exists(Image(kind)));
        RawVolumeSystem sys({Image(kind)});
        ASSERT_EQ(sys.drives().size(), 1U);
        EXPECT_EQ(sys.GetDriveType("C:\\"), platform::drivetype::kFixed);
        const Handle h = OpenDrive(sys, 'C');
        ASSERT_NE(h, platform::kInvalidHandle);
        EXPECT_FALSE(QueryVolumeData(sys, h));
        EXPECT_FALSE(QueryRecord(sys, h, 0, 1024));
        // Every one of them still says NTFS in its boot sector: it is a
        // damaged NTFS volume, never one with no file system recognised.
        const auto info = sys.GetVolumeInformation("C:\\");
        ASSERT_TRUE(info);
        EXPECT_EQ(info->fileSystemName, "NTFS");
        sys.CloseHandle(h);
    }
}

TEST(Damaged, AnUnreadableMftBitmapFallsBackToTheRecordHeaders) {
    RawVolumeSystem good({(VolumeDir() / "ntfs-small.img").string()});
    RawVolumeSystem bad({Image("mft-bitmap")});
    const Handle g = OpenDrive(good, 'C');
    const Handle b = OpenDrive(bad, 'C');
    ASSERT_NE(b, platform::kInvalidHandle);
    const auto data = QueryVolumeData(bad, b);
    ASSERT_TRUE(data);
    const std::size_t size = data->bytesPerRecord;
    for (std::int64_t n = 0; n < data->mftValid / static_cast<std::int64_t>(size); ++n) {
        EXPECT_EQ(QueryRecord(bad, b, n, size), QueryRecord(good, g, n, size)) << n;
    }
    good.CloseHandle(g);
    bad.CloseHandle(b);
}

TEST(Damaged, PartitionsPastTheEndOfTheDiskAreCutAtTheEnd) {
    const auto path = (VolumeDir() / "damaged-mbr-past-end.img").string();
    ASSERT_TRUE(std::filesystem::exists(path));
    const auto size = static_cast<std::uint64_t>(std::filesystem::file_size(path));
    RawVolumeSystem sys({path});
    ASSERT_FALSE(sys.drives().empty());
    for (const auto& d : sys.drives()) {
        EXPECT_LE(d.region.offset + d.region.length, size);
        const Handle h = OpenDrive(sys, d.letter);
        ASSERT_NE(h, platform::kInvalidHandle);
        std::vector<std::byte> buf(1 << 20);
        std::uint32_t read = 0;
        ASSERT_TRUE(sys.SetFilePointerEx(h, static_cast<std::int64_t>(d.region.length)));
        EXPECT_TRUE(sys.ReadFile(h, buf, &read));
        EXPECT_EQ(read, 0U);
        sys.CloseHandle(h);
    }
}

TEST(Damaged, BytesThatAreNoFileSystemAtAll) {
    const auto path = TempPath("lorvex-random.img");
    {
        std::ofstream out(path, std::ios::binary);
        std::uint32_t x = 12345;
        for (int i = 0; i < (1 << 20); ++i) {
            x = x * 1103515245 + 12345;
            out.put(static_cast<char>(x >> 24));
        }
    }
    RawVolumeSystem sys({path.string()});
    ASSERT_EQ(sys.drives().size(), 1U);
    EXPECT_FALSE(sys.GetVolumeInformation("C:\\"));
    EXPECT_EQ(sys.GetLastError(), error::kUnrecognizedVolume);
    const Handle h = OpenDrive(sys, 'C');
    ASSERT_NE(h, platform::kInvalidHandle);
    EXPECT_FALSE(QueryVolumeData(sys, h));
    sys.CloseHandle(h);
    std::filesystem::remove(path);
}

} // namespace
} // namespace lorvex::test

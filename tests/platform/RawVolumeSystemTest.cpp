#include "platform/DriveQueries.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace lorvex::test {
namespace {

using platform::VolumeInformation;
namespace error = platform::error;

std::string Image(const char* name) {
    return (VolumeDir() / name).string();
}

TEST(Drives, EachSourceAndPartitionIsAFixedDriveFromC) {
    RawVolumeSystem sys({Image("ntfs-4k.img"), Image("gpt-disk.img"), Image("mbr-disk.img")});
    ASSERT_EQ(sys.drives().size(), 5U) << "one image, two GPT partitions, two MBR partitions";
    EXPECT_EQ(sys.GetLogicalDrives(), 0b1111100U);
    for (char letter = 'C'; letter <= 'G'; ++letter) {
        EXPECT_EQ(sys.GetDriveType(std::string(1, letter) + ":\\"), platform::drivetype::kFixed);
    }
    EXPECT_EQ(sys.GetDriveType("H:\\"), platform::drivetype::kNoRootDir);
    EXPECT_EQ(sys.GetDriveType("c:\\"), platform::drivetype::kFixed);

    EXPECT_EQ(sys.GetVolumeInformation("C:\\")->label, "Lorvex4K");
    EXPECT_EQ(sys.GetVolumeInformation("D:\\")->label, "GptOne");
    EXPECT_EQ(sys.GetVolumeInformation("E:\\")->label, "GptTwo");
    EXPECT_EQ(sys.GetVolumeInformation("F:\\")->fileSystemName, "NTFS");
    const auto fat = sys.GetVolumeInformation("G:\\");
    ASSERT_TRUE(fat);
    EXPECT_TRUE(fat->fileSystemName.starts_with("FAT")) << fat->fileSystemName;

    // No drive is a substitute for a folder.
    for (char letter = 'C'; letter <= 'G'; ++letter) {
        const auto target = sys.QueryDosDevice(std::string(1, letter) + ":");
        ASSERT_TRUE(target);
        EXPECT_FALSE(target->starts_with("\\??\\"));
    }
    EXPECT_FALSE(sys.QueryDosDevice("Q:"));
}

TEST(Drives, VolumeNamesAreStableAndDistinct) {
    RawVolumeSystem first({Image("gpt-disk.img"), Image("ntfs-4k.img"), Image("ntfs-4k.img")});
    RawVolumeSystem again({Image("ntfs-4k.img"), Image("gpt-disk.img")});
    const auto name = [](RawVolumeSystem& s, const char* root) {
        return s.GetVolumeNameForVolumeMountPoint(root).value_or("");
    };
    const std::string c = name(first, "C:\\");
    EXPECT_TRUE(c.starts_with("\\\\?\\Volume{")) << c;
    EXPECT_TRUE(c.ends_with("}\\")) << c;
    EXPECT_EQ(c.size(),
              std::string("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\").size());
    EXPECT_EQ(name(first, "C:\\"), name(again, "D:\\"));
    EXPECT_EQ(name(first, "E:\\"), name(again, "C:\\"));
    EXPECT_NE(name(first, "C:\\"), name(first, "D:\\"));
    // The same image named twice is two drives with two names.
    EXPECT_NE(name(first, "E:\\"), name(first, "F:\\"));
    EXPECT_FALSE(first.GetVolumeNameForVolumeMountPoint("Z:\\"));
    EXPECT_FALSE(first.GetVolumeNameForVolumeMountPoint("C:"));
}

TEST(Drives, SourcesThatCannotBeOpenedAreReportedNotOffered) {
    RawVolumeSystem sys({"/nonexistent/image.img", Image("ntfs-4k.img")});
    ASSERT_EQ(sys.drives().size(), 1U);
    EXPECT_EQ(sys.drives()[0].letter, 'C');
    ASSERT_EQ(sys.problems().size(), 1U);
    EXPECT_NE(sys.problems()[0].find("/nonexistent/image.img"), std::string::npos);
}

TEST(Drives, OtherFileSystemsNameThemselvesButGiveNoNtfsData) {
    RawVolumeSystem sys({Image("fat.img"), Image("damaged-truncated.img")});
    const auto fat = sys.GetVolumeInformation("C:\\");
    ASSERT_TRUE(fat);
    EXPECT_TRUE(fat->fileSystemName == "FAT16" || fat->fileSystemName == "FAT32")
        << fat->fileSystemName;
    EXPECT_EQ(fat->maxComponentLength, 255U);
    const Handle h = OpenDrive(sys, 'C');
    ASSERT_NE(h, platform::kInvalidHandle);
    EXPECT_FALSE(QueryVolumeData(sys, h));
    EXPECT_EQ(sys.GetLastError(), error::kInvalidFunction);
    EXPECT_FALSE(QueryRecord(sys, h, 0, 1024));
    // Raw reads work on any drive.
    std::array<std::byte, 512> boot{};
    std::uint32_t read = 0;
    ASSERT_TRUE(sys.SetFilePointerEx(h, 0));
    ASSERT_TRUE(sys.ReadFile(h, boot, &read));
    EXPECT_EQ(read, 512U);
    EXPECT_EQ(std::to_integer<int>(boot[510]), 0x55);
    sys.CloseHandle(h);
}

TEST(Drives, AClosedDriveLetsGoOfItsHandlesAndLetter) {
    RawVolumeSystem sys({Image("fat.img"), Image("ntfs-4k.img")});
    const Handle gone = OpenDrive(sys, 'C');
    const Handle kept = OpenDrive(sys, 'D');
    ASSERT_NE(gone, platform::kInvalidHandle);
    ASSERT_NE(kept, platform::kInvalidHandle);
    ASSERT_TRUE(sys.CloseDrive(0));
    EXPECT_FALSE(sys.CloseDrive(1));
    // The later drive keeps its letter, its handle and its reads.
    ASSERT_EQ(sys.drives().size(), 1U);
    EXPECT_EQ(sys.drives()[0].letter, 'D');
    EXPECT_FALSE(sys.GetVolumeInformation("C:\\"));
    ASSERT_TRUE(sys.GetVolumeInformation("D:\\"));
    EXPECT_TRUE(QueryVolumeData(sys, kept));
    std::array<std::byte, 512> boot{};
    std::uint32_t read = 0;
    EXPECT_FALSE(sys.ReadFile(gone, boot, &read));
    ASSERT_TRUE(sys.SetFilePointerEx(kept, 0));
    ASSERT_TRUE(sys.ReadFile(kept, boot, &read));
    EXPECT_EQ(std::memcmp(boot.data() + 3, "NTFS    ", 8), 0);
    // The free letter is the next source's; the closed one is still evidence.
    std::string problem;
    ASSERT_TRUE(sys.AddSource(Image("ntfs-4k.img"), problem));
    EXPECT_EQ(sys.drives()[1].letter, 'C');
    EXPECT_TRUE(sys.OpenWriteTarget(Image("fat.img")).refused);
    sys.CloseHandle(kept);
}

TEST(Queries, ReadsAreBoundedByTheVolume) {
    RawVolumeSystem sys({Image("mbr-disk.img")});
    const Handle h = OpenDrive(sys, 'C');
    ASSERT_NE(h, platform::kInvalidHandle);
    const auto data = QueryVolumeData(sys, h);
    ASSERT_TRUE(data);
    std::array<std::byte, 512> sector{};
    std::uint32_t read = 0;
    // Offset 0 of the drive is the partition's boot sector, not the MBR.
    ASSERT_TRUE(sys.SetFilePointerEx(h, 0));
    ASSERT_TRUE(sys.ReadFile(h, sector, &read));
    EXPECT_EQ(std::memcmp(sector.data() + 3, "NTFS    ", 8), 0);
    // Successive reads continue where the last one ended.
    ASSERT_TRUE(sys.ReadFile(h, sector, &read));
    EXPECT_EQ(read, 512U);
    // At the end a read delivers nothing and is no error.
    const std::int64_t end = data->sectors * data->bytesPerSector + 512 * 64;
    ASSERT_TRUE(sys.SetFilePointerEx(h, end + (std::int64_t{1} << 40)));
    EXPECT_TRUE(sys.ReadFile(h, sector, &read));
    EXPECT_EQ(read, 0U);
    EXPECT_FALSE(sys.SetFilePointerEx(h, -1));
    EXPECT_EQ(sys.GetLastError(), error::kInvalidParameter);
    sys.CloseHandle(h);
    EXPECT_FALSE(sys.ReadFile(h, sector, &read));
    EXPECT_EQ(sys.GetLastError(), error::kInvalidHandle);
    EXPECT_FALSE(sys.CloseHandle(h));
}

TEST(Queries, OutputAreasAreNeverOverrun) {
    RawVolumeSystem sys({Image("ntfs-rec4k.img")});
    const Handle h = OpenDrive(sys, 'C');
    ASSERT_NE(h, platform::kInvalidHandle);
    const auto data = QueryVolumeData(sys, h);
    ASSERT_TRUE(data);
    ASSERT_EQ(data->bytesPerRecord, 4096U);

    std::array<std::byte, 8> in{};
    ondisk::StoreLE(in, 0, 5, 8);
    // Room for a 1024-byte record only: refused, and nothing written.
    std::vector<std::byte> small(12 + 1024, std::byte{0xEE});
    std::uint32_t returned = 7;
    EXPECT_FALSE(sys.DeviceIoControl(h, platform::kFsctlGetNtfsFileRecord, in, small, &returned));
    EXPECT_EQ(sys.GetLastError(), error::kInsufficientBuffer);
    EXPECT_EQ(returned, 0U);
    for (auto b : small) {
        ASSERT_EQ(b, std::byte{0xEE});
    }
    std::vector<std::byte> record;
    EXPECT_EQ(QueryRecord(sys, h, 5, 4096, &record), 5);
    EXPECT_EQ(std::memcmp(record.data(), "FILE", 4), 0);
    // Negative numbers are refused.
    EXPECT_FALSE(QueryRecord(sys, h, -1, 4096));
    EXPECT_EQ(sys.GetLastError(), error::kInvalidParameter);

    // A bitmap answer cut to the room given says so.
    std::vector<std::byte> bitmap(16 + 3);
    ondisk::StoreLE(in, 0, 0, 8);
    EXPECT_FALSE(sys.DeviceIoControl(h, platform::kFsctlGetVolumeBitmap, in, bitmap, &returned));
    EXPECT_EQ(sys.GetLastError(), error::kMoreData);
    EXPECT_EQ(returned, 19U);
    EXPECT_EQ(*ondisk::ByteReader(bitmap).i64(8), data->totalClusters);
    // A starting cluster is rounded down to a whole bitmap byte.
    ondisk::StoreLE(in, 0, 13, 8);
    EXPECT_FALSE(sys.DeviceIoControl(h, platform::kFsctlGetVolumeBitmap, in, bitmap, &returned));
    EXPECT_EQ(*ondisk::ByteReader(bitmap).i64(0), 8);
    ondisk::StoreLE(in, 0, static_cast<std::uint64_t>(data->totalClusters), 8);
    EXPECT_FALSE(sys.DeviceIoControl(h, platform::kFsctlGetVolumeBitmap, in, bitmap, &returned));
    EXPECT_EQ(sys.GetLastError(), error::kInvalidParameter);
    EXPECT_FALSE(sys.DeviceIoControl(h, 0x12345, in, bitmap, &returned));
    EXPECT_EQ(sys.GetLastError(), error::kInvalidFunction);
    sys.CloseHandle(h);
}

TEST(Queries, UnknownDevicePathsDoNotOpen) {
    RawVolumeSystem sys({Image("ntfs-4k.img")});
    EXPECT_EQ(sys.CreateFile("\\\\.\\Volume{00000000-0000-0000-0000-000000000000}"),
              platform::kInvalidHandle);
    EXPECT_EQ(sys.GetLastError(), error::kFileNotFound);
    EXPECT_EQ(sys.CreateFile("C:"), platform::kInvalidHandle);
    // Device paths are not case-sensitive.
    std::string path = *sys.GetVolumeNameForVolumeMountPoint("C:\\");
    path[2] = '.';
    path.pop_back();
    for (auto& c : path) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const Handle h = sys.CreateFile(path);
    EXPECT_NE(h, platform::kInvalidHandle);
    sys.CloseHandle(h);
}

} // namespace
} // namespace lorvex::test

namespace lorvex::test {
namespace {

// With no source named, the machine's own NTFS block devices are the drives.
TEST(Drives, TheMachinesNtfsBlockDevicesAreOfferedWhenNoSourceIsNamed) {
    const std::string attached = RunCommand("losetup -f --show -r " +
                                            Quote(VolumeDir() / "ntfs-small.img") + " 2>/dev/null");
    if (attached.empty()) {
        GTEST_SKIP() << "no loop device to attach a volume to here";
    }
    const std::string device = attached.substr(0, attached.find('\n'));
    auto system = RawVolumeSystem::ForMachine();
    RunCommand("losetup -d " + device);
    const auto& drives = system->drives();
    const auto it = std::find_if(drives.begin(), drives.end(),
                                 [&](const auto& d) { return d.region.path == device; });
    ASSERT_NE(it, drives.end()) << device << " not offered";
    EXPECT_TRUE(it->region.blockDevice);
    EXPECT_EQ(it->region.fileSystem, "NTFS");
    for (const auto& d : drives) {
        EXPECT_EQ(d.region.fileSystem, "NTFS") << d.region.path;
    }
}

} // namespace
} // namespace lorvex::test

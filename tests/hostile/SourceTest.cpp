// Sources that are not what a source should be, or stop being it: a FIFO or
// a directory named as a source, an image cut short during a scan, a device
// that never answers, a disk with more partitions than there are letters.
#include "ntfs/Attributes.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/Formatters.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "platform/SourceProbe.h"
#include "support/Export.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class Sources : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("lorvex-sources-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

TEST_F(Sources, WhatIsNeitherAFileNorABlockDeviceIsRefusedAtOnce) {
    const fs::path fifo = dir_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Opened the plain way, a FIFO without a writer waits forever.
    for (const fs::path& source : {fifo, dir_, fs::path("/dev/null")}) {
        SCOPED_TRACE(source);
        const auto start = Clock::now();
        const platform::RawVolumeSystem system({source.string()});
        EXPECT_TRUE(system.drives().empty());
        ASSERT_EQ(system.problems().size(), 1U);
        EXPECT_NE(system.problems().front().find("not an image file or a block device"),
                  std::string::npos)
            << system.problems().front();
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    }
    const std::string out =
        RunCommand("timeout 20 " + Quote(LORVEX_SCAN) + " " + Quote(fifo) + " 2>&1; echo $?");
    EXPECT_TRUE(out.ends_with("\n1\n")) << out;
    EXPECT_NE(out.find("not an image file or a block device"), std::string::npos) << out;
}

TEST_F(Sources, AnImageCutShortDuringAScanIsAnErrorNotASignal) {
    const fs::path image = dir_ / "cut.img";
    fs::copy_file(VolumeDir() / "ntfs-4k.img", image);
    // In a child: under a map, the first read past the new end was SIGBUS.
    EXPECT_EXIT(
        {
            platform::RawVolumeSystem system({image.string()});
            ntfs::NtfsVolume volume(system, "C");
            ntfs::TFileIDs fileIds;
            ntfs::TClusterArray clusters;
            ntfs::RunScanStages(volume, fileIds, clusters, {});
            ntfs::RecordReader records = volume.OpenRecordReader();
            if (fileIds.size() < 1000 || !records.IsOpen()) {
                std::_Exit(3);
            }
            // With the volume open (as the window's reports keep it), the
            // file loses all but its first megabyte, $MFT included.
            if (truncate(image.c_str(), 1 << 20) != 0) {
                std::_Exit(4);
            }
            ntfs::TAttributes attributes;
            ntfs::TDataRuns runs;
            std::size_t lines = 0;
            for (int i = 0; i < fileIds.size(); ++i) {
                ntfs::AppendAttributeSection(records, attributes, runs,
                                             fileIds[static_cast<std::size_t>(i)].FileID,
                                             [&lines](std::string_view) { ++lines; });
            }
            std::vector<std::byte> cluster(volume.geometry().bytesPerCluster);
            volume.ReadCluster(cluster, volume.geometry().totalClusters - 1);
            ExportTo(volume, fileIds, system, (dir_ / "export.txt").string());
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    const std::string out = RunCommand(Quote(LORVEX_SCAN) + " " + Quote(image) + " --export " +
                                       Quote(dir_ / "export2.txt") + " >/dev/null 2>&1; echo $?");
    EXPECT_TRUE(out == "0\n" || out == "1\n") << out;
}

TEST_F(Sources, ADeviceThatDoesNotAnswerIsLeftOutOfTheMachineList) {
    const fs::path image = VolumeDir() / "ntfs-small.img";
    // The stand-in for a device stuck in open or in its first read. It holds
    // copies only: the stuck thread outlives this test.
    const platform::DeviceProbe probe = [image](const std::string& path) {
        if (path == "stuck") {
            std::this_thread::sleep_for(std::chrono::seconds(30));
        }
        return platform::ProbeDevice(path == "stuck" ? image.string() : path);
    };
    std::vector<std::string> problems;
    const auto start = Clock::now();
    const auto found =
        platform::ProbeDevices({image.string(), "stuck", (VolumeDir() / "fat.img").string()}, probe,
                               std::chrono::milliseconds(500), problems);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found.front().path, image.string());
    EXPECT_EQ(found.front().fileSystem, "NTFS");
    ASSERT_EQ(problems.size(), 1U);
    EXPECT_TRUE(problems.front().starts_with("stuck: did not answer")) << problems.front();

    // The machine's own list comes back within its limit, whatever it holds.
    std::vector<std::string> machineProblems;
    const auto machineStart = Clock::now();
    platform::ProbeMachine(machineProblems);
    EXPECT_LT(Clock::now() - machineStart, std::chrono::seconds(4));
}

TEST_F(Sources, PartitionsPastZAreStillDrives) {
    if (RunCommand("command -v sfdisk 2>/dev/null").empty()) {
        GTEST_SKIP() << "sfdisk is not installed";
    }
    // 30 partitions of one MiB, but the 28th holds a small NTFS volume.
    const fs::path disk = dir_ / "many.img";
    std::string table = "label: gpt\n";
    std::uint64_t start = 2048;
    for (int n = 1; n <= 30; ++n) {
        const std::uint64_t sectors = n == 28 ? 32768 : 2048;
        table += "start=" + std::to_string(start) + ", size=" + std::to_string(sectors) + "\n";
        start += sectors;
    }
    ASSERT_EQ(RunCommand("truncate -s 64M " + Quote(disk) + " && printf '" + table +
                         "' | sfdisk -q " + Quote(disk) +
                         " >/dev/null 2>&1 && dd if=" + Quote(VolumeDir() / "ntfs-small.img") +
                         " of=" + Quote(disk) + " bs=512 seek=" + std::to_string(2048 + 27 * 2048) +
                         " conv=notrunc status=none; echo $?"),
              "0\n");

    platform::RawVolumeSystem system({disk.string()});
    EXPECT_TRUE(system.problems().empty());
    ASSERT_EQ(system.drives().size(), 30U);
    EXPECT_EQ(system.GetLogicalDrives(), 0x03FFFFFCU); // C: to Z:
    EXPECT_EQ(system.FindVolumes().size(), 30U);
    const auto& past = system.drives()[27];
    EXPECT_EQ(past.letter, 0);
    EXPECT_EQ(past.region.partition, 28);
    EXPECT_TRUE(past.Root().starts_with("\\\\?\\Volume{")) << past.Root();
    const ntfs::NtfsVolume volume(system, past.Root());
    EXPECT_EQ(volume.information().fileSystemName, "NTFS");
    EXPECT_EQ(volume.information().label, "Small");
    EXPECT_GT(volume.geometry().totalClusters, 0);

    const std::string scan = Quote(LORVEX_SCAN) + " " + Quote(disk);
    EXPECT_TRUE(RunCommand(scan + " --drive 28 2>&1; echo $?").ends_with("\n0\n"));
    EXPECT_NE(RunCommand(scan + " --drive 28").find("label              Small"), std::string::npos);
    // A letter still names the drives up to Z:, in any of its spellings.
    for (const char* letter : {"c", "c:", "C:", "C"}) {
        const std::string out = RunCommand(scan + " --drive " + letter + " 2>&1; echo $?");
        EXPECT_NE(out.find("(drive C:): no file system recognised"), std::string::npos) << out;
    }
    EXPECT_TRUE(RunCommand(scan + " --drive 31 2>&1; echo $?").ends_with("\n1\n"));
    const std::string info = RunCommand(scan + " --info 2>&1; echo $?");
    EXPECT_TRUE(info.ends_with("\n0\n")) << info;
    EXPECT_NE(info.find("\\\\?\\Volume{"), std::string::npos);
}

} // namespace
} // namespace lorvex::test

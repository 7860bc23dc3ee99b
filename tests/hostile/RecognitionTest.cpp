// Sources that pretend: a container's signature on bytes that are a raw
// volume or disk, and a partition table of thousands of entries. Whatever
// the bytes claim, the volume they hold is read, how it was read is said, and
// the cost stays with what is read.
#include "ntfs/NtfsVolume.h"
#include "platform/RawVolumeSystem.h"
#include "platform/SourceProbe.h"
#include "support/Decoys.h"
#include "support/Measured.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;

class Recognition : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("lorvex-recognition-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // lorvex-scan's standard output and error, then its exit status.
    static std::string Scan(const fs::path& source, const std::string& args) {
        return RunCommand(Quote(LORVEX_SCAN) + " " + Quote(source) + " " + args +
                          " 2>&1; echo \"exit $?\"");
    }

    fs::path dir_;
};

TEST_F(Recognition, ASignatureInBootCodeDoesNotHideTheDiskBehindIt) {
    struct Case {
        const char* format;
        std::string_view bootCode;
    };
    using namespace std::string_view_literals;
    const Case cases[] = {
        {"an EnCase", "EVF\x09\x0d\x0a\xff\x00"sv}, {"a VMDK", "KDMV\x01\x00\x00\x00"sv},
        {"a VMDK", "COWD\x01\x00\x00\x00"sv},       {"a VMDK", "# Disk DescriptorFile\n"sv},
        {"a qcow2", "QFI\xfb\x00\x00\x00\x03"sv},   {"a VHD or VHDX", "vhdxfile"sv},
    };
    const fs::path pristine = dir_ / "pristine.img";
    ASSERT_TRUE(MakeMbrDisk(pristine, "")) << "sfdisk and mkntfs are needed";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bootCode);
        // Named as the container would be, so that its library looks for
        // the set it belongs to.
        const fs::path disk = dir_ / "evidence.E01";
        fs::copy_file(pristine, disk, fs::copy_options::overwrite_existing);
        ASSERT_TRUE(Overwrite(disk, 0, c.bootCode));
        ASSERT_TRUE(platform::ContainerImage::IsContainer(disk.string()));

        const platform::RawVolumeSystem system({disk.string()});
        ASSERT_TRUE(system.problems().empty()) << system.problems().front();
        ASSERT_EQ(system.drives().size(), 1U);
        const auto& region = system.drives()[0].region;
        EXPECT_EQ(region.partition, 1);
        EXPECT_EQ(region.offset, 1U << 20);
        EXPECT_EQ(region.fileSystem, "NTFS");
        EXPECT_EQ(region.label, "InMbr");
        EXPECT_TRUE(region.container.empty());
        EXPECT_EQ(region.reading.taken, "raw disk image");
        EXPECT_TRUE(region.reading.passedOver.starts_with(std::string("it carries ") + c.format +
                                                          " signature but does not open as one ("))
            << region.reading.passedOver;

        const std::string info = Scan(disk, "--info");
        EXPECT_TRUE(info.ends_with("exit 0\n")) << info;
        EXPECT_NE(info.find("\n  read as            raw disk image: it carries"), std::string::npos)
            << info;
        EXPECT_NE(info.find("label              InMbr"), std::string::npos) << info;
        // Said on the error stream too, whatever the action.
        EXPECT_NE(Scan(disk, "--files").find("evidence.E01: read as raw disk image: it carries"),
                  std::string::npos);
        // Asked to read the container, the library's refusal stands.
        const std::string asContainer = Scan(disk, "--as container --info");
        EXPECT_TRUE(asContainer.ends_with("exit 1\n")) << asContainer;
    }
}

TEST_F(Recognition, AVhdFooterOnARawVolumeNamesBothReadingsAndAsRawReadsTheVolume) {
    const fs::path plain = dir_ / "plain.img";
    ASSERT_TRUE(MakeNtfsFile(plain, 16 << 20, 30000, "Decoyed")) << "mkntfs is needed";
    const fs::path decoy = dir_ / "decoy.img";
    fs::copy_file(plain, decoy);
    ASSERT_TRUE(PutVhdFooter(decoy));

    // By default the container opens, and the raw volume is named beside it.
    {
        const platform::RawVolumeSystem system({decoy.string()});
        ASSERT_EQ(system.drives().size(), 1U);
        const auto& region = system.drives()[0].region;
        EXPECT_EQ(region.container, "VHD");
        EXPECT_EQ(region.reading.Text(),
                  "VHD container (1 file), though the file also reads as a raw NTFS volume image");
        const std::string info = Scan(decoy, "--info");
        EXPECT_NE(info.find("\n  read as            VHD container (1 file), though the file also "
                            "reads as a raw NTFS volume image\n"),
                  std::string::npos)
            << info;
        EXPECT_NE(info.find("decoy.img: read as VHD container (1 file), though the file also reads "
                            "as a raw NTFS volume image (--as raw reads it so)\n"),
                  std::string::npos)
            << info;
    }

    // Read raw, it is the volume it was before the footer, entry for entry.
    {
        platform::RawVolumeSystem system({decoy.string()}, platform::ReadAs::Raw);
        ASSERT_EQ(system.drives().size(), 1U);
        const auto& region = system.drives()[0].region;
        EXPECT_TRUE(region.container.empty());
        EXPECT_EQ(region.reading.Text(),
                  "raw volume image, as asked: it also carries a VHD or VHDX signature");
        const ntfs::NtfsVolume volume(system, "C");
        EXPECT_EQ(volume.information().fileSystemName, "NTFS");
        EXPECT_EQ(volume.information().label, "Decoyed");
    }
    const std::string files = Scan(decoy, "--as raw --files");
    EXPECT_TRUE(files.ends_with("exit 0\n")) << files;
    EXPECT_EQ(files, Scan(plain, "--files"));
    const std::string summary = Scan(decoy, "--as raw");
    EXPECT_NE(summary.find("\nread as            raw volume image, as asked: it also carries a VHD "
                           "or VHDX signature\n"),
              std::string::npos)
        << summary;
    EXPECT_NE(Scan(plain, "").find("\nread as            raw volume image\n"), std::string::npos);
    // A file that is no container is refused when a container is asked for.
    const std::string refused = Scan(plain, "--as container");
    EXPECT_NE(refused.find("plain.img: not a container"), std::string::npos) << refused;
    EXPECT_TRUE(refused.ends_with("exit 1\n")) << refused;
    EXPECT_TRUE(Scan(plain, "--as disk").ends_with("exit 2\n"));
    // With no source, the machine's devices are read as they are.
    EXPECT_TRUE(
        RunCommand(Quote(LORVEX_SCAN) + " --as raw 2>&1; echo \"exit $?\"").ends_with("exit 2\n"));
}

TEST_F(Recognition, AFixedVhdIsOneReadingNotTwo) {
    if (RunCommand("command -v qemu-img").empty()) {
        GTEST_SKIP() << "qemu-img is not installed";
    }
    // A fixed VHD is the raw disk with a footer after it: its bytes read as
    // the volume both ways, and that is no second reading to warn of.
    const fs::path plain = dir_ / "plain.img";
    ASSERT_TRUE(MakeNtfsFile(plain, 8 << 20, (8 << 20) / 512 - 1, "Fixed"));
    const fs::path vhd = dir_ / "fixed.vhd";
    ASSERT_EQ(RunCommand("qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on " +
                         Quote(plain) + " " + Quote(vhd) + " >/dev/null 2>&1; echo $?"),
              "0\n");
    const platform::RawVolumeSystem system({vhd.string()});
    ASSERT_EQ(system.drives().size(), 1U);
    EXPECT_EQ(system.drives()[0].region.reading.Text(), "VHD container (1 file)");
    EXPECT_EQ(system.drives()[0].region.label, "Fixed");
    const std::string summary = Scan(vhd, "");
    EXPECT_NE(summary.find("\nread as            VHD container (1 file)\n"), std::string::npos)
        << summary;
    EXPECT_EQ(summary.find("--as raw"), std::string::npos) << summary;
}

TEST_F(Recognition, ThousandsOfPartitionsCostWhatIsReadOfThem) {
    if (RunCommand("command -v sfdisk").empty()) {
        GTEST_SKIP() << "sfdisk is not installed";
    }
    // 2,048 valid entries of 2 MiB each, on a sparse file; four hold NTFS,
    // the last of them past the partitions whose file systems are probed.
    constexpr int kPartitions = 2048;
    constexpr std::uint64_t kSectors = 4096;
    const fs::path disk = dir_ / "many.img";
    std::string table = "label: gpt\ntable-length: " + std::to_string(kPartitions) + "\n";
    for (int n = 0; n < kPartitions; ++n) {
        table += "start=" + std::to_string(2048 + static_cast<std::uint64_t>(n) * kSectors) +
                 ", size=" + std::to_string(kSectors) + "\n";
    }
    const fs::path tableFile = dir_ / "table.txt";
    std::ofstream(tableFile) << table;
    ASSERT_EQ(RunCommand("truncate -s " +
                         std::to_string((2048 + (kPartitions + 2) * kSectors) * 512) + " " +
                         Quote(disk) + " && sfdisk -q --no-reread --no-tell-kernel " + Quote(disk) +
                         " < " + Quote(tableFile) + " >/dev/null 2>&1; echo $?"),
              "0\n");
    const fs::path volume = dir_ / "small.img";
    ASSERT_TRUE(MakeNtfsFile(volume, kSectors * 512, kSectors - 1, "Many"));
    const int withNtfs[] = {1, 2, 100, 1500};
    for (const int n : withNtfs) {
        ASSERT_EQ(RunCommand("dd if=" + Quote(volume) + " of=" + Quote(disk) + " bs=512 seek=" +
                             std::to_string(2048 + static_cast<std::uint64_t>(n - 1) * kSectors) +
                             " conv=notrunc status=none; echo $?"),
                  "0\n");
    }

    {
        platform::RawVolumeSystem system({disk.string()});
        ASSERT_EQ(system.drives().size(), static_cast<std::size_t>(kPartitions));
        for (const int n : withNtfs) {
            SCOPED_TRACE(n);
            const auto& region = system.drives()[static_cast<std::size_t>(n - 1)].region;
            const bool probed = static_cast<std::size_t>(n) <= platform::kMostProbedPartitions;
            EXPECT_EQ(region.probed, probed);
            EXPECT_EQ(region.fileSystem, probed ? "NTFS" : "");
            // Past the limit the drive is still NTFS once it is opened.
            const ntfs::NtfsVolume opened(system,
                                          system.drives()[static_cast<std::size_t>(n - 1)].Root());
            EXPECT_EQ(opened.information().fileSystemName, "NTFS");
            EXPECT_EQ(opened.information().label, "Many");
        }
    }

    // Listed, scanned and through a container, each within 2 GiB of memory
    // held. An address-space cap would measure the wrong thing: the
    // sanitizers reserve terabytes of it, and thread stacks and allocator
    // arenas grow with the machine's cores.
    const fs::path qcow = dir_ / "many.qcow2";
    const bool haveQemu =
        RunCommand("command -v qemu-img >/dev/null && qemu-img convert -f raw -O qcow2 " +
                   Quote(disk) + " " + Quote(qcow) + " >/dev/null 2>&1; echo $?") == "0\n";
    for (const auto& [source, args] : std::vector<std::pair<fs::path, std::vector<std::string>>>{
             {disk, {"--info"}}, {disk, {}}, {qcow, {"--info"}}}) {
        if (source == qcow && !haveQemu) {
            continue;
        }
        SCOPED_TRACE(source.string() + (args.empty() ? "" : " " + args.front()));
        std::vector<std::string> argv{LORVEX_SCAN, source.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        const Measured m = RunMeasured(argv, 60);
        EXPECT_FALSE(m.timedOut);
        EXPECT_TRUE(m.status == 0 || m.status == 1) << m.status << "\n" << m.err.substr(0, 2000);
        EXPECT_LT(m.peakBytes, static_cast<std::uint64_t>(2 * kSanitizerRoom * (1ULL << 30)));
        const std::string& out = m.out;
        std::size_t found = 0;
        for (std::size_t at = 0;
             (at = out.find("label              Many", at)) != std::string::npos; ++at) {
            ++found;
        }
        EXPECT_EQ(found, std::size(withNtfs));
    }
}

} // namespace
} // namespace lorvex::test

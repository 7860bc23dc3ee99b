// Disks held in containers (EnCase sets, VHD, VHDX, VMDK, qcow2) read as the
// raw images they were made from, down to every byte, every scan stage and
// the export; broken containers are refused with their file and the reason.
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/ContainerImage.h"
#include "platform/RawVolumeSystem.h"
#include "platform/SourceBytes.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/wait.h>
#include <thread>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;

fs::path ContainerDir() {
    return VolumeDir() / "containers";
}

struct Case {
    std::string container; // under ContainerDir()
    std::string raw;       // under VolumeDir()
    std::string format;
};

// gtest names a case by its file; without this it also dumps its bytes.
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.container;
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (const char* base : {"ntfs-4k", "ntfs-small", "gpt-disk"}) {
        const std::string raw = std::string(base) + ".img";
        cases.push_back({std::string(base) + ".E01", raw, "EnCase"});
        cases.push_back({std::string(base) + ".vhd", raw, "VHD"});
        cases.push_back({std::string(base) + ".vhdx", raw, "VHDX"});
        cases.push_back({std::string(base) + ".vmdk", raw, "VMDK"});
        cases.push_back({std::string(base) + ".qcow2", raw, "qcow2"});
    }
    cases.push_back({"ntfs-small-split.E01", "ntfs-small.img", "EnCase"});
    cases.push_back({"ntfs-small-flat.vmdk", "ntfs-small.img", "VMDK"});
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name = info.param.container;
    for (char& c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            c = '_';
        }
    }
    return name;
}

std::vector<std::byte> ReadAll(const platform::SourceBytes& bytes) {
    std::vector<std::byte> all(bytes.size());
    // Reads of odd sizes at odd places, crossing the cache's blocks.
    constexpr std::size_t kStep = 3 * 1024 * 1024 + 4096 + 512;
    for (std::uint64_t at = 0; at < all.size(); at += kStep) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kStep, all.size() - at));
        EXPECT_EQ(bytes.Read(at, std::span(all).subspan(static_cast<std::size_t>(at), n)), n)
            << "at " << at;
    }
    return all;
}

struct Scan {
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    std::string fileSystem;
    std::string label;
    std::int64_t totalClusters = 0;
};

void RunScan(platform::RawVolumeSystem& system, const platform::RawVolumeSystem::Drive& drive,
             Scan& scan) {
    ntfs::NtfsVolume volume(system, drive.Root());
    scan.fileSystem = volume.information().fileSystemName;
    scan.label = volume.information().label;
    scan.totalClusters = volume.geometry().totalClusters;
    ntfs::RunScanStages(volume, scan.fileIds, scan.clusters, {});
}

void ExpectSameScan(const Scan& raw, const Scan& got) {
    EXPECT_EQ(got.fileSystem, raw.fileSystem);
    EXPECT_EQ(got.label, raw.label);
    EXPECT_EQ(got.totalClusters, raw.totalClusters);
    ASSERT_EQ(got.fileIds.size(), raw.fileIds.size());
    ASSERT_GT(raw.fileIds.size(), 10);
    for (int i = 0; i < raw.fileIds.size(); ++i) {
        const auto& a = raw.fileIds[static_cast<std::size_t>(i)];
        const auto& b = got.fileIds[static_cast<std::size_t>(i)];
        SCOPED_TRACE(i);
        EXPECT_EQ(b.FileID, a.FileID);
        EXPECT_EQ(b.BaseID, a.BaseID);
        EXPECT_EQ(b.ParentID, a.ParentID);
        EXPECT_TRUE(b.Name == a.Name);
        EXPECT_TRUE(got.fileIds.Path(i) == raw.fileIds.Path(i));
        EXPECT_EQ(b.FileType, a.FileType);
        EXPECT_EQ(b.Flags, a.Flags);
        EXPECT_EQ(b.Size, a.Size);
        EXPECT_EQ(b.AllocatedSize, a.AllocatedSize);
        EXPECT_EQ(b.DiskSize, a.DiskSize);
        EXPECT_EQ(b.CreationTime, a.CreationTime);
        EXPECT_EQ(b.ModificationTime, a.ModificationTime);
        EXPECT_EQ(b.AccessTime, a.AccessTime);
        EXPECT_EQ(b.Fragmented, a.Fragmented);
        EXPECT_EQ(b.Fragments, a.Fragments);
        if (::testing::Test::HasFailure()) {
            return;
        }
    }
    ASSERT_EQ(got.clusters.size(), raw.clusters.size());
    for (std::size_t i = 0; i < raw.clusters.size(); ++i) {
        const auto& a = raw.clusters[i];
        const auto& b = got.clusters[i];
        ASSERT_TRUE(a.LCN == b.LCN && a.Length == b.Length && a.FileIndex == b.FileIndex &&
                    a.AttrType == b.AttrType)
            << "extent " << i;
    }
}

struct Outcome {
    int status = -1;
    std::string err;
};

Outcome RunScanCommand(const std::string& args) {
    const auto errFile = TempPath("lorvex-container-test.err");
    const std::string command =
        std::string("'") + LORVEX_SCAN + "' " + args + " </dev/null >/dev/null 2>" + Quote(errFile);
    const int raw = std::system(command.c_str());
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    o.err = ReadFile(errFile);
    fs::remove(errFile);
    return o;
}

class Container : public ::testing::TestWithParam<Case> {};

TEST_P(Container, DecodesToTheBytesOfTheRawImage) {
    const Case& c = GetParam();
    std::string why;
    const auto image = platform::ContainerImage::Open((ContainerDir() / c.container).string(), why);
    ASSERT_TRUE(image) << why;
    EXPECT_EQ(image->format(), c.format);
    EXPECT_EQ(image->size(), fs::file_size(VolumeDir() / c.raw));

    std::uint32_t error = 0;
    const auto raw =
        platform::SourceBytes::Open((VolumeDir() / c.raw).string(), 0, UINT64_MAX, error);
    const auto got =
        platform::SourceBytes::Open((ContainerDir() / c.container).string(), 0, UINT64_MAX, error);
    ASSERT_TRUE(raw && got);
    ASSERT_EQ(got->size(), raw->size());
    EXPECT_TRUE(ReadAll(*got) == ReadAll(*raw)) << "decoded bytes differ";
    // Reads stop at the end of the disk.
    std::vector<std::byte> tail(8192);
    EXPECT_EQ(got->Read(got->size() - 512, tail), 512U);
    EXPECT_EQ(got->Read(got->size(), tail), 0U);
}

TEST_P(Container, EveryScanStageAndTheExportAreThoseOfTheRawImage) {
    const Case& c = GetParam();
    const std::string container = (ContainerDir() / c.container).string();
    platform::RawVolumeSystem raw({(VolumeDir() / c.raw).string()});
    platform::RawVolumeSystem got({container});
    ASSERT_TRUE(got.problems().empty()) << got.problems().front();
    ASSERT_EQ(got.drives().size(), raw.drives().size());
    for (std::size_t d = 0; d < raw.drives().size(); ++d) {
        SCOPED_TRACE("drive " + std::to_string(d + 1));
        const auto& rawDrive = raw.drives()[d];
        const auto& drive = got.drives()[d];
        EXPECT_EQ(drive.region.container, c.format);
        EXPECT_EQ(drive.region.offset, rawDrive.region.offset);
        EXPECT_EQ(drive.region.length, rawDrive.region.length);
        EXPECT_EQ(drive.region.partition, rawDrive.region.partition);
        EXPECT_EQ(drive.region.partitionUuid, rawDrive.region.partitionUuid);
        EXPECT_EQ(drive.region.fileSystem, rawDrive.region.fileSystem);
        Scan a;
        Scan b;
        RunScan(raw, rawDrive, a);
        RunScan(got, drive, b);
        ExpectSameScan(a, b);

        const auto rawExport = TempPath("lorvex-container-raw.txt");
        const auto gotExport = TempPath("lorvex-container-got.txt");
        const std::string driveArg = " --drive " + std::to_string(d + 1) + " --export ";
        ASSERT_EQ(RunScanCommand(Quote(VolumeDir() / c.raw) + driveArg + Quote(rawExport)).status,
                  0);
        const auto o = RunScanCommand(Quote(container) + driveArg + Quote(gotExport));
        ASSERT_EQ(o.status, 0) << o.err;
        const std::string expected = ReadFile(rawExport);
        EXPECT_GT(expected.size(), 1000U);
        EXPECT_TRUE(ReadFile(gotExport) == expected) << "exports differ";
        fs::remove(rawExport);
        fs::remove(gotExport);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, Container, ::testing::ValuesIn(Cases()), CaseName);

TEST(ContainerDisk, TheGptDiskIsTwoDrivesInEveryFormat) {
    for (const char* name :
         {"gpt-disk.E01", "gpt-disk.vhd", "gpt-disk.vhdx", "gpt-disk.vmdk", "gpt-disk.qcow2"}) {
        SCOPED_TRACE(name);
        platform::RawVolumeSystem system({(ContainerDir() / name).string()});
        ASSERT_EQ(system.drives().size(), 2U);
        const auto& one = system.drives()[0].region;
        const auto& two = system.drives()[1].region;
        EXPECT_EQ(one.partition, 1);
        EXPECT_EQ(two.partition, 2);
        EXPECT_EQ(one.fileSystem, "NTFS");
        EXPECT_EQ(two.fileSystem, "NTFS");
        EXPECT_EQ(one.label, "GptOne");
        EXPECT_EQ(two.label, "GptTwo");
        EXPECT_EQ(one.partitionUuid.size(), 36U);
    }
}

// A drive reads through the container its probe opened instead of opening
// it again, but only while the file is the one probed: a set replaced since
// is read as it is now.
TEST(ContainerDisk, ADriveReadsTheContainerReplacedSinceItsProbeAsItIsNow) {
    const auto path = TempPath("lorvex-replaced.E01");
    fs::copy_file(ContainerDir() / "ntfs-4k.E01", path, fs::copy_options::overwrite_existing);
    platform::RawVolumeSystem system({path.string()});
    ASSERT_EQ(system.drives().size(), 1U);
    EXPECT_TRUE(system.drives()[0].region.image);
    Scan before;
    RunScan(system, system.drives()[0], before);
    EXPECT_EQ(before.fileSystem, "NTFS");

    // Another volume of the same size, acquired into the same name.
    fs::remove(path);
    const std::string target = TempPath("lorvex-replaced").string();
    const std::string command = "ewfacquire -u -q -c deflate:fast -t '" + target + "' '" +
                                (VolumeDir() / "ntfs-64k.img").string() + "' >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(5));

    platform::RawVolumeSystem raw({(VolumeDir() / "ntfs-64k.img").string()});
    Scan expected;
    RunScan(raw, raw.drives()[0], expected);
    Scan after;
    RunScan(system, system.drives()[0], after);
    ExpectSameScan(expected, after);
    fs::remove(path);
}

TEST(ContainerDisk, ARawImageAndADeviceAreNoContainers) {
    std::string why = "untouched";
    EXPECT_FALSE(platform::ContainerImage::Open((VolumeDir() / "ntfs-small.img").string(), why));
    EXPECT_EQ(why, "");
    EXPECT_FALSE(platform::ContainerImage::IsContainer("/dev/null"));
    // The name says EnCase; the content does not.
    const auto renamed = TempPath("lorvex-not-encase.E01");
    fs::copy_file(VolumeDir() / "ntfs-small.img", renamed, fs::copy_options::overwrite_existing);
    EXPECT_FALSE(platform::ContainerImage::IsContainer(renamed.string()));
    platform::RawVolumeSystem system({renamed.string()});
    ASSERT_EQ(system.drives().size(), 1U);
    EXPECT_EQ(system.drives()[0].region.container, "");
    EXPECT_EQ(system.drives()[0].region.fileSystem, "NTFS");
    fs::remove(renamed);
}

TEST(ContainerDisk, TwoThreadsReadTheBytesTheRawImageHolds) {
    std::uint32_t error = 0;
    const auto raw =
        platform::SourceBytes::Open((VolumeDir() / "ntfs-4k.img").string(), 0, UINT64_MAX, error);
    const auto got = platform::SourceBytes::Open((ContainerDir() / "ntfs-4k.E01").string(), 0,
                                                 UINT64_MAX, error);
    ASSERT_TRUE(raw && got);
    std::atomic<int> mismatches{0};
    const auto reader = [&](unsigned seed) {
        std::mt19937_64 random(seed);
        std::vector<std::byte> a(8 << 20);
        std::vector<std::byte> b(8 << 20);
        for (int i = 0; i < 60; ++i) {
            const std::size_t n = 1 + random() % (i % 3 == 0 ? a.size() : 65536);
            const std::uint64_t at = random() % (raw->size() - n);
            const auto wantA = raw->Read(at, std::span(a).first(n));
            const auto wantB = got->Read(at, std::span(b).first(n));
            if (wantA != n || wantB != n || std::memcmp(a.data(), b.data(), n) != 0) {
                ++mismatches;
            }
        }
    };
    std::thread first(reader, 1U);
    std::thread second(reader, 2U);
    first.join();
    second.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// The file enumeration walks the $MFT from its end down; the blocks decoded
// ahead for it are the ones below.
TEST(ContainerDisk, AWalkDownwardsReadsTheBytesTheRawImageHolds) {
    std::uint32_t error = 0;
    const auto raw =
        platform::SourceBytes::Open((VolumeDir() / "ntfs-4k.img").string(), 0, UINT64_MAX, error);
    for (const char* name : {"ntfs-4k.E01", "ntfs-4k.qcow2"}) {
        SCOPED_TRACE(name);
        const auto got =
            platform::SourceBytes::Open((ContainerDir() / name).string(), 0, UINT64_MAX, error);
        ASSERT_TRUE(raw && got);
        std::vector<std::byte> a(1024);
        std::vector<std::byte> b(1024);
        int mismatches = 0;
        for (std::uint64_t at = raw->size() - a.size(); at > 0; at -= 3 * a.size()) {
            if (raw->Read(at, a) != a.size() || got->Read(at, b) != b.size() || a != b) {
                ++mismatches;
            }
            if (at < 3 * a.size()) {
                break;
            }
        }
        EXPECT_EQ(mismatches, 0);
    }
}

TEST(ContainerDisk, ADamagedChunkReadsAsAFailureNeverAsZeros) {
    const auto path = ContainerDir() / "bad" / "damaged-chunk.E01";
    std::uint32_t error = 0;
    const auto raw = platform::SourceBytes::Open((VolumeDir() / "ntfs-small.img").string(), 0,
                                                 UINT64_MAX, error);
    const auto got = platform::SourceBytes::Open(path.string(), 0, UINT64_MAX, error);
    ASSERT_TRUE(raw && got);
    // Chunk by chunk (32 KiB): the damaged one fails, every other reads as
    // the raw image does.
    constexpr std::size_t kChunk = 32768;
    std::vector<std::byte> a(kChunk);
    std::vector<std::byte> b(kChunk);
    int failed = 0;
    std::uint64_t failedAt = 0;
    for (std::uint64_t at = 0; at < raw->size(); at += kChunk) {
        ASSERT_EQ(raw->Read(at, a), kChunk);
        const std::size_t n = got->Read(at, b);
        if (n != kChunk) {
            EXPECT_EQ(n, 0U) << "a damaged chunk has no good sectors";
            ++failed;
            failedAt = at;
            continue;
        }
        EXPECT_TRUE(a == b) << "at " << at;
    }
    EXPECT_EQ(failed, 1);
    // A read across the damage keeps what comes before it and stops there.
    std::vector<std::byte> wide(3 * kChunk);
    ASSERT_GE(failedAt, kChunk);
    EXPECT_EQ(got->Read(failedAt - kChunk, wide), kChunk);
    // So does a read as long as the record walk's, which is decoded
    // straight into the reader's buffer when all of it decodes.
    std::vector<std::byte> along(std::size_t{1} << 20);
    const std::uint64_t from = failedAt - std::min<std::uint64_t>(failedAt, 300 * 1024);
    const std::size_t kept = got->Read(from, along);
    ASSERT_EQ(kept, failedAt - from);
    std::vector<std::byte> before(kept);
    ASSERT_EQ(raw->Read(from, before), kept);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), along.begin()));
    // The scan itself still reads the volume: the damage is in file data.
    const auto o = RunScanCommand(Quote(path));
    EXPECT_EQ(o.status, 0) << o.err;
}

TEST(ContainerDisk, ABlockPastTheEndOfItsFileReadsAsAFailureNeverAsZeros) {
    std::uint32_t error = 0;
    const auto raw = platform::SourceBytes::Open((VolumeDir() / "ntfs-small.img").string(), 0,
                                                 UINT64_MAX, error);
    const auto got = platform::SourceBytes::Open(
        (ContainerDir() / "bad" / "second-block-past-end.vhdx").string(), 0, UINT64_MAX, error);
    ASSERT_TRUE(raw && got);
    constexpr std::size_t kPiece = 65536;
    std::vector<std::byte> a(kPiece);
    std::vector<std::byte> b(kPiece);
    std::uint64_t firstFailure = UINT64_MAX;
    for (std::uint64_t at = 0; at < raw->size(); at += kPiece) {
        ASSERT_EQ(raw->Read(at, a), kPiece);
        const std::size_t n = got->Read(at, b);
        if (firstFailure == UINT64_MAX && n == kPiece) {
            EXPECT_TRUE(a == b) << "at " << at;
        } else if (firstFailure == UINT64_MAX) {
            firstFailure = at;
        }
        if (firstFailure != UINT64_MAX) {
            EXPECT_EQ(n, 0U) << "at " << at;
        }
    }
    // The first block reads; the second, all of the disk's second half, fails.
    EXPECT_EQ(firstFailure, raw->size() / 2);
    // A read across the boundary keeps the good half.
    std::vector<std::byte> wide(2 * kPiece);
    EXPECT_EQ(got->Read(raw->size() / 2 - kPiece, wide), kPiece);
}

// Each broken container is refused by name with the reason, and the scan
// ends with status 1, never a crash.
TEST(ContainerDisk, BrokenContainersAreRefusedWithTheFileAndTheReason) {
    const fs::path bad = ContainerDir() / "bad";
    const struct {
        const char* file;
        std::vector<std::string> says;
    } cases[] = {
        {"truncated.E01", {"EnCase image", "incomplete", "truncated.E01", "cut short"}},
        {"missing-second.E01",
         {"EnCase image", "missing-second.E02, is missing (missing-second.E03 is there)"}},
        {"bat-past-end.vhdx",
         {"VHDX image", "cannot read the start of the disk", "the file holds 25165824 bytes"}},
        {"missing-extent.vmdk", {"VMDK image", "'gone-flat.vmdk'", "is missing"}},
        {"with-backing.qcow2", {"qcow2 image", "backing file '../ntfs-small.qcow2'"}},
        {"encrypted-luks.qcow2", {"qcow2 image", "encrypted (LUKS)"}},
        {"encrypted-aes.qcow2", {"qcow2 image", "encrypted (AES)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path path = bad / c.file;
        const auto o = RunScanCommand(Quote(path));
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.err.find(path.string() + ": "), std::string::npos) << o.err;
        for (const auto& s : c.says) {
            EXPECT_NE(o.err.find(s), std::string::npos) << o.err;
        }
        EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "one line: " << o.err;
        // The library path reports the same, without the command.
        platform::RawVolumeSystem system({path.string()});
        EXPECT_TRUE(system.drives().empty());
        ASSERT_EQ(system.problems().size(), 1U);
        EXPECT_NE(system.problems()[0].find(c.says[0]), std::string::npos);
    }
}

// True when `text` holds a byte a terminal acts on besides its line ends: a
// C0 control, DEL or the UTF-8 of a C1 control.
bool HoldsControls(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if ((b < 0x20 && b != '\n') || b == 0x7F ||
            (b == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
            return true;
        }
    }
    return false;
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A VHD's checksum: the complement of the sum of its bytes, the field itself
// counted as zero.
void SetVhdChecksum(std::string& bytes, std::size_t from, std::size_t length, std::size_t field) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) {
        sum += field <= i && i < field + 4 ? 0U : static_cast<unsigned char>(bytes[from + i]);
    }
    sum = ~sum;
    for (int k = 0; k < 4; ++k) {
        bytes[from + field + static_cast<std::size_t>(k)] = static_cast<char>(sum >> (24 - 8 * k));
    }
}

// What a container names (a backing file, a parent, an extent) is written by
// whoever made it: a refusal that quotes it has its control characters
// escaped, on the terminal and in the problems the window shows alike.
TEST(ContainerDisk, ARefusalQuotesTheContainersNamesEscaped) {
    if (std::system("command -v qemu-img >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "qemu-img missing";
    }
    const fs::path dir = TempPath("lorvex-container-names");
    fs::create_directories(dir);
    // A clipboard write (OSC 52), a title change and a clear screen.
    const std::string hostile = "x\x1B]52;c;Zm9v\x07\x1B]0;title\x07\x1B[2J";
    const std::string shown = "x\\u{1b}]52;c;Zm9v\\u{7}\\u{1b}]0;title\\u{7}\\u{1b}[2J";
    const auto make = [&](const std::string& command) {
        ASSERT_EQ(std::system(("cd " + Quote(dir) + " && " + command).c_str()), 0) << command;
    };
    make("qemu-img create -q -f qcow2 -u -F raw -b \"$(printf 'x\\033]52;c;Zm9v\\007\\033]0;"
         "title\\007\\033[2J')\" backing.qcow2 16M");

    // A differencing VHD: a dynamic one, its type changed and its parent
    // named (UTF-16BE in the dynamic header), both checksums made again.
    make("qemu-img create -q -f vpc -o subformat=dynamic child.vhd 16M");
    std::string vhd = ReadFile(dir / "child.vhd");
    ASSERT_GT(vhd.size(), 2048U);
    const std::size_t footer = vhd.size() - 512;
    vhd[footer + 63] = 4; // differencing
    SetVhdChecksum(vhd, footer, 512, 64);
    std::size_t header = 0;
    for (int k = 0; k < 8; ++k) {
        header = header << 8 |
                 static_cast<unsigned char>(vhd[footer + 16 + static_cast<std::size_t>(k)]);
    }
    ASSERT_EQ(vhd.compare(header, 8, "cxsparse"), 0);
    for (std::size_t i = 0; i < hostile.size(); ++i) {
        vhd[header + 64 + 2 * i] = 0;
        vhd[header + 64 + 2 * i + 1] = hostile[i];
    }
    SetVhdChecksum(vhd, header, 1024, 36);
    vhd.replace(0, 512, vhd, footer, 512);
    WriteBytes(dir / "child.vhd", vhd);

    // A delta VMDK naming its parent, and a VMDK naming a missing extent.
    make("qemu-img create -q -f vmdk -o subformat=monolithicFlat flat.vmdk 16M");
    const std::string descriptor = ReadFile(dir / "flat.vmdk");
    std::string delta = descriptor;
    delta.replace(delta.find("parentCID=ffffffff"), 18,
                  "parentCID=12345678\nparentFileNameHint=\"" + hostile + "\"");
    WriteBytes(dir / "delta.vmdk", delta);
    std::string missing = descriptor;
    missing.replace(missing.find("flat-flat.vmdk"), 14, hostile + "-flat.vmdk");
    WriteBytes(dir / "missing.vmdk", missing);

    for (const char* name : {"backing.qcow2", "child.vhd", "delta.vmdk", "missing.vmdk"}) {
        SCOPED_TRACE(name);
        const fs::path path = dir / name;
        const auto o = RunScanCommand(Quote(path) + " --info");
        EXPECT_EQ(o.status, 1);
        EXPECT_FALSE(HoldsControls(o.err)) << o.err;
        EXPECT_NE(o.err.find(shown), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "one line: " << o.err;
        platform::RawVolumeSystem system({path.string()});
        ASSERT_EQ(system.problems().size(), 1U);
        EXPECT_FALSE(HoldsControls(system.problems()[0])) << system.problems()[0];
        EXPECT_NE(system.problems()[0].find(shown), std::string::npos);
        std::string problem;
        EXPECT_FALSE(system.AddSource(path.string(), problem));
        EXPECT_EQ(system.problems()[0], path.string() + ": " + problem);
    }

    // A VMDK whose extent lies outside its folder, under a name of the same
    // kind: refused, and the file named for --allow-outside-extents, both
    // escaped.
    fs::create_directories(dir / "disk");
    fs::rename(dir / "flat-flat.vmdk", dir / (hostile + "-flat.vmdk"));
    std::string outside = descriptor;
    outside.replace(outside.find("flat-flat.vmdk"), 14, "../" + hostile + "-flat.vmdk");
    WriteBytes(dir / "disk" / "outside.vmdk", outside);
    const auto o = RunScanCommand(Quote(dir / "disk" / "outside.vmdk") + " --info");
    EXPECT_EQ(o.status, 1);
    EXPECT_FALSE(HoldsControls(o.err)) << o.err;
    EXPECT_NE(o.err.find("--allow-outside-extents reads " + dir.string() + "/" + shown),
              std::string::npos)
        << o.err;

    // A disk whose boot code is such a descriptor is read raw, and the
    // reason it is not read as a VMDK, said on every drive, is escaped.
    const std::string disk = ReadFile(VolumeDir() / "mbr-disk.img");
    const std::string boot =
        "# Disk DescriptorFile\nversion=1\nCID=12345678\nparentCID=ffffffff\n"
        "createType=\"monolithicFlat\"\n\n# Extent description\nRW 2048 FLAT \"" +
        hostile +
        "-gone.vmdk\" 0\n\n# The Disk Data Base\n#DDB\n\n"
        "ddb.virtualHWVersion = \"4\"\n";
    ASSERT_GT(disk.size(), 446U);
    ASSERT_LT(boot.size(), 446U);
    WriteBytes(dir / "decoy.img", boot + std::string(446 - boot.size(), '\0') + disk.substr(446));
    const std::string said = RunCommand(std::string("'") + LORVEX_SCAN + "' " +
                                        Quote(dir / "decoy.img") + " --info 2>&1");
    EXPECT_NE(said.find("read as            raw disk image: it carries a VMDK signature"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find(shown + "-gone.vmdk"), std::string::npos) << said;
    EXPECT_FALSE(HoldsControls(said)) << said;
    fs::remove_all(dir);
}

TEST(ContainerDisk, NoSegmentOrExtentCanBeWrittenTo) {
    const fs::path dir = TempPath("lorvex-container-write");
    fs::create_directories(dir);
    for (const auto& entry : fs::directory_iterator(ContainerDir())) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("ntfs-small-split.") || name.starts_with("ntfs-small-flat")) {
            fs::copy_file(entry.path(), dir / name, fs::copy_options::overwrite_existing);
        }
    }
    platform::RawVolumeSystem system(
        {(dir / "ntfs-small-split.E01").string(), (dir / "ntfs-small-flat.vmdk").string()});
    ASSERT_EQ(system.drives().size(), 2U);
    EXPECT_EQ(system.drives()[0].region.containerFiles.size(), 17U);
    for (const char* name : {"ntfs-small-split.E01", "ntfs-small-split.E09", "ntfs-small-split.E17",
                             "ntfs-small-flat.vmdk", "ntfs-small-flat-flat.vmdk"}) {
        SCOPED_TRACE(name);
        const auto before = fs::file_size(dir / name);
        const auto target = system.OpenWriteTarget((dir / name).string());
        EXPECT_TRUE(target.refused);
        EXPECT_LT(target.fd, 0);
        EXPECT_EQ(fs::file_size(dir / name), before);
    }
    fs::remove_all(dir);
}

} // namespace
} // namespace lorvex::test

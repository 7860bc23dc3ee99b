// Whatever a scan, the reports and an export do, the source keeps every byte
// and its times: it is opened for reading only and mapped without write
// access, so a write could not reach it even by mistake.
#include "ntfs/Attributes.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/Formatters.h"
#include "ntfs/NTFSVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;

struct Snapshot {
    std::uint64_t checksum = 0;
    std::uint64_t size = 0;
    timespec mtime{};
    timespec ctime{};

    bool operator==(const Snapshot& o) const {
        return checksum == o.checksum && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

// FNV-1a over every byte, and the times that any write would move.
Snapshot Take(const fs::path& path) {
    Snapshot s;
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    s.size = static_cast<std::uint64_t>(st.st_size);
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    std::ifstream in(path, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    std::uint64_t h = 0xCBF29CE484222325ULL;
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            h = (h ^ static_cast<unsigned char>(chunk[static_cast<std::size_t>(i)])) *
                0x100000001B3ULL;
        }
    }
    s.checksum = h;
    return s;
}

std::string Canonical(const fs::path& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? resolved : path.string();
}

// The descriptors of this process that are open on `path`.
std::vector<int> DescriptorsOn(const fs::path& path) {
    std::vector<int> fds;
    const std::string target = Canonical(path);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto link = fs::read_symlink(entry.path(), ec);
        if (!ec && link == target) {
            fds.push_back(std::stoi(entry.path().filename().string()));
        }
    }
    return fds;
}

// The open flags the kernel keeps for a descriptor (octal, as fdinfo shows).
int OpenFlags(int fd) {
    std::ifstream in("/proc/self/fdinfo/" + std::to_string(fd));
    std::string key;
    std::string value;
    while (in >> key >> value) {
        if (key == "flags:") {
            return static_cast<int>(std::stol(value, nullptr, 8));
        }
    }
    return -1;
}

struct Mapping {
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    std::string perms;
};

// The mappings of `path` in this process.
std::vector<Mapping> MappingsOf(const fs::path& path) {
    std::vector<Mapping> out;
    const std::string target = Canonical(path);
    std::ifstream in("/proc/self/maps");
    std::string line;
    while (std::getline(in, line)) {
        if (!line.ends_with(" " + target)) {
            continue;
        }
        Mapping m;
        const auto dash = line.find('-');
        const auto space = line.find(' ');
        m.start = std::stoull(line.substr(0, dash), nullptr, 16);
        m.end = std::stoull(line.substr(dash + 1, space - dash - 1), nullptr, 16);
        m.perms = line.substr(space + 1, 4);
        out.push_back(m);
    }
    return out;
}

class ReadOnly : public ::testing::Test {
  protected:
    void SetUp() override {
        const fs::path original = VolumeDir() / "ntfs-4k.img";
        ASSERT_TRUE(fs::exists(original));
        dir_ = fs::temp_directory_path() / ("lorvex-readonly-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        source_ = dir_ / "source.img";
        fs::copy_file(original, source_, fs::copy_options::overwrite_existing);
        // A time far from now, so that a write during the test could not
        // leave the same time behind by chance.
        const timespec times[2] = {{978307200, 123456789}, {978307200, 123456789}};
        ASSERT_EQ(utimensat(AT_FDCWD, source_.c_str(), times, 0), 0);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
    fs::path source_;
};

TEST_F(ReadOnly, ScanReportsAndExportLeaveTheSourceAsItWas) {
    const Snapshot before = Take(source_);
    {
        platform::RawVolumeSystem system({source_.string()});
        ntfs::TNTFSVolume volume(system, "C");
        ASSERT_EQ(volume.FFileSystem, "NTFS");
        ntfs::TFileIDs fileIds;
        ntfs::TClusterArray clusters;
        ntfs::RunScanStages(volume, fileIds, clusters, {});
        ASSERT_GT(fileIds.FCount, 1000);

        // The hex dump's reads, of clusters owned and free, and the attribute
        // sections of the reports, of system files and of the last records.
        std::vector<std::byte> cluster(volume.FBytesPerCluster);
        for (const std::int64_t lcn :
             {std::int64_t{0}, volume.FMftStartLcn, volume.FMft2StartLcn, clusters.front().LCN,
              clusters.back().LCN, volume.FTotalClusters - 1}) {
            volume.ReadCluster(cluster, lcn);
        }
        ASSERT_TRUE(volume.OpenVolume());
        ntfs::TAttributes attributes;
        ntfs::TDataRuns runs;
        std::size_t lines = 0;
        for (int i = 0; i < fileIds.FCount; i += i < 24 ? 1 : 97) {
            ntfs::AppendAttributeSection(volume, attributes, runs,
                                         fileIds.FItems[static_cast<std::size_t>(i)].FileID,
                                         [&lines](std::string_view) { ++lines; });
        }
        EXPECT_GT(lines, 100U);

        // While the volume is open, every descriptor on the source is
        // read-only, and a write through one is refused.
        const auto fds = DescriptorsOn(source_);
        ASSERT_FALSE(fds.empty());
        for (const int fd : fds) {
            SCOPED_TRACE(fd);
            EXPECT_EQ(OpenFlags(fd) & O_ACCMODE, O_RDONLY);
            errno = 0;
            EXPECT_EQ(pwrite(fd, "x", 1, 0), -1);
            EXPECT_EQ(errno, EBADF);
        }
        volume.CloseVolume();

        const auto exported =
            ntfs::ExportFileTable(volume, fileIds, (dir_ / "export.txt").string());
        EXPECT_TRUE(exported.ok) << exported.message;
        EXPECT_GT(fs::file_size(dir_ / "export.txt"), 100000U);
    }
    EXPECT_TRUE(Take(source_) == before);
}

TEST_F(ReadOnly, TheImageIsReadThroughReadOnlyDescriptorsAndNeverMapped) {
    const Snapshot before = Take(source_);
    {
        platform::RawVolumeSystem system({source_.string()});
        ntfs::TNTFSVolume volume(system, "C");
        ASSERT_NE(volume.FTotalClusters, 0);
        ntfs::TFileIDs fileIds;
        ntfs::TClusterArray clusters;
        ntfs::RunScanStages(volume, fileIds, clusters, {});
        // A map would turn a page that vanishes into SIGBUS; reads are pread
        // on descriptors that cannot carry a write.
        EXPECT_TRUE(MappingsOf(source_).empty());
        const auto fds = DescriptorsOn(source_);
        ASSERT_FALSE(fds.empty());
        for (const int fd : fds) {
            EXPECT_EQ(OpenFlags(fd) & O_ACCMODE, O_RDONLY);
            EXPECT_EQ(OpenFlags(fd) & O_NONBLOCK, 0);
        }
    }
    EXPECT_TRUE(Take(source_) == before);
}

TEST_F(ReadOnly, LorvexScanRefusesToExportOverItsSource) {
    const Snapshot before = Take(source_);
    const std::string scan = LORVEX_SCAN;
    for (const fs::path& target : {source_, dir_ / "." / "source.img"}) {
        SCOPED_TRACE(target);
        const std::string command =
            Quote(scan) + " " + Quote(source_) + " --export " + Quote(target) + " 2>&1; echo $?";
        const std::string out = RunCommand(command);
        EXPECT_TRUE(out.ends_with("\n1\n")) << out;
        EXPECT_NE(out.find("source"), std::string::npos) << out;
    }
    const fs::path link = dir_ / "link.txt";
    fs::create_symlink(source_, link);
    EXPECT_TRUE(RunCommand(Quote(scan) + " " + Quote(source_) + " --export " + Quote(link) +
                           " >/dev/null 2>&1; echo $?")
                    .ends_with("1\n"));
    EXPECT_TRUE(Take(source_) == before);
}

} // namespace
} // namespace lorvex::test

// Whatever a scan, the reports and an export do, the source keeps every byte
// and its times: it is opened for reading only and mapped without write
// access, so a write could not reach it even by mistake.
#include "ntfs/Attributes.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/Formatters.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "platform/WriteTarget.h"
#include "support/Export.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
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

// The SHA-256 of every byte, as sha256sum prints it.
std::string Sha256(const fs::path& path) {
    const std::string line = RunCommand("sha256sum " + Quote(path) + " 2>/dev/null");
    return line.substr(0, line.find(' '));
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
        ntfs::NtfsVolume volume(system, "C");
        ASSERT_EQ(volume.information().fileSystemName, "NTFS");
        ntfs::TFileIDs fileIds;
        ntfs::TClusterArray clusters;
        ntfs::RunScanStages(volume, fileIds, clusters, {});
        ASSERT_GT(fileIds.size(), 1000);

        // The hex dump's reads, of clusters owned and free, and the attribute
        // sections of the reports, of system files and of the last records.
        std::vector<std::byte> cluster(volume.geometry().bytesPerCluster);
        for (const std::int64_t lcn :
             {std::int64_t{0}, volume.geometry().mftStartLcn, volume.geometry().mftMirrorStartLcn,
              clusters.front().LCN, clusters.back().LCN, volume.geometry().totalClusters - 1}) {
            volume.ReadCluster(cluster, lcn);
        }
        std::optional<ntfs::RecordReader> records;
        records.emplace(system, volume.devicePath(), volume.geometry());
        ASSERT_TRUE(records->IsOpen());
        ntfs::TAttributes attributes;
        ntfs::TDataRuns runs;
        std::size_t lines = 0;
        for (int i = 0; i < fileIds.size(); i += i < 24 ? 1 : 97) {
            ntfs::AppendAttributeSection(*records, attributes, runs,
                                         fileIds[static_cast<std::size_t>(i)].FileID,
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
        records.reset();

        const auto exported = ExportTo(volume, fileIds, system, (dir_ / "export.txt").string());
        EXPECT_TRUE(exported.ok) << exported.message;
        EXPECT_GT(fs::file_size(dir_ / "export.txt"), 100000U);
    }
    EXPECT_TRUE(Take(source_) == before);
}

TEST_F(ReadOnly, TheImageIsReadThroughReadOnlyDescriptorsAndNeverMapped) {
    const Snapshot before = Take(source_);
    {
        platform::RawVolumeSystem system({source_.string()});
        ntfs::NtfsVolume volume(system, "C");
        ASSERT_NE(volume.geometry().totalClusters, 0);
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

// What the shell opened as standard output or error is checked as -o FILE
// is: the source itself, by any name, whether appended to or opened to read
// and write, is never written, and the refusal says why.
TEST_F(ReadOnly, StandardOutputAndErrorOnTheSourceAreRefused) {
    const std::string before = Sha256(source_);
    ASSERT_EQ(before.size(), 64U);
    const fs::path link = dir_ / "second-name.img";
    fs::create_hard_link(source_, link);
    const std::string scan = Quote(LORVEX_SCAN) + " " + Quote(source_);
    struct Case {
        std::string run; // the arguments and the redirections
        std::string said;
    };
    const std::string onStdout = "standard output is a source";
    for (const Case& c : std::vector<Case>{
             {" --export - 2>&1 >>" + Quote(source_), onStdout},
             {" --files 2>&1 1<>" + Quote(source_), onStdout},
             {" 2>&1 >>" + Quote(link), onStdout},
             {" --info --format json 2>&1 >>" + Quote(dir_ / "." / "source.img"), onStdout},
             {" --check 2>&1 1<>" + Quote(link), onStdout},
             {" --help 2>&1 >>" + Quote(source_), onStdout},
             {" --version 2>&1 >>" + Quote(source_), onStdout},
             // Named as a file, standard output is still the stream.
             {" --files -o /dev/stdout 2>&1 >>" + Quote(source_), "File access denied"},
             {" --export /dev/fd/1 2>&1 1<>" + Quote(source_), "File access denied"},
             // Standard error is the one written on failure: nothing is done.
             {" --files 2>>" + Quote(source_), "standard error is a source"},
             {" --bogus 2>>" + Quote(source_), "standard error is a source"},
         }) {
        SCOPED_TRACE(c.run);
        const std::string out = RunCommand(scan + c.run + "; echo $?");
        EXPECT_TRUE(out.ends_with("\n1\n")) << out;
        EXPECT_NE(out.find(c.said), std::string::npos) << out;
        EXPECT_EQ(Sha256(source_), before);
    }

    // Anything else is written as before: a file appended to stays
    // appended to, a pipe and the null device take the listing.
    const fs::path log = dir_ / "log.txt";
    std::ofstream(log) << "kept\n";
    EXPECT_EQ(RunCommand(scan + " --info >>" + Quote(log) + "; echo $?"), "0\n");
    EXPECT_EQ(RunCommand(scan + " --info -o /dev/stdout >>" + Quote(log) + "; echo $?"), "0\n");
    const std::string written = ReadFile(log);
    EXPECT_TRUE(written.starts_with("kept\nC:  ")) << written;
    EXPECT_NE(written.find("C:  ", 8), std::string::npos) << written;
    EXPECT_NE(RunCommand(scan + " --info 2>&1 | cat").find("Lorvex4K"), std::string::npos);
    EXPECT_EQ(RunCommand(scan + " --files >/dev/null 2>/dev/null; echo $?"), "0\n");
    EXPECT_EQ(Sha256(source_), before);
#ifdef LORVEX_UI
    // The window prints little, but nothing of it onto a source either.
    const std::string window = Quote(LORVEX_UI) + " " + Quote(source_);
    RunCommand(window + " --help >>" + Quote(source_));
    RunCommand(window + " --bogus 2>>" + Quote(link));
    EXPECT_EQ(Sha256(source_), before);
    EXPECT_NE(RunCommand(window + " --help").find("Usage: lorvex"), std::string::npos);
#endif
}

// The platform's side of the above: a descriptor named by /dev/fd/N is the
// descriptor as it stands, looked at by the same rules, never reopened.
TEST(WriteTarget, AnOpenDescriptorIsCheckedAsItStandsAndNeverEmptied) {
    const fs::path dir = TempPath("lorvex-descriptors");
    fs::create_directories(dir);
    const fs::path source = dir / "source.img";
    const fs::path log = dir / "log.txt";
    std::ofstream(source) << "source bytes";
    std::ofstream(log) << "kept\n";
    const std::vector<std::string> sources{source.string()};
    const auto name = [](int fd) { return "/dev/fd/" + std::to_string(fd); };

    const int onSource = open(source.c_str(), O_RDWR | O_CLOEXEC);
    const int appended = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    const int readOnly = open(log.c_str(), O_RDONLY | O_CLOEXEC);
    int pipeFds[2] = {-1, -1};
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    ASSERT_GE(onSource, 0);
    ASSERT_GE(appended, 0);
    ASSERT_GE(readOnly, 0);

    for (const std::string& path : {name(onSource), "/proc/self/fd/" + std::to_string(onSource)}) {
        const auto refused = platform::OpenWriteTarget(path, sources);
        EXPECT_TRUE(refused.refused) << path;
        EXPECT_EQ(refused.fd, -1);
    }
    const auto toLog = platform::OpenWriteTarget(name(appended), sources);
    ASSERT_GE(toLog.fd, 0);
    EXPECT_EQ(write(toLog.fd, "added\n", 6), 6);
    close(toLog.fd);
    EXPECT_EQ(ReadFile(log), "kept\nadded\n");
    const auto toPipe = platform::OpenWriteTarget(name(pipeFds[1]), sources);
    EXPECT_GE(toPipe.fd, 0);
    close(toPipe.fd);
    // Not writable, or not open: an error, not a refusal.
    for (const int fd : {readOnly, 987}) {
        const auto failed = platform::OpenWriteTarget(name(fd), sources);
        EXPECT_EQ(failed.fd, -1);
        EXPECT_FALSE(failed.refused);
        EXPECT_EQ(failed.error, EBADF);
    }
    // A folder is said to be one, on a source's file system or not.
    const auto folder = platform::OpenWriteTarget(dir.string(), sources);
    EXPECT_EQ(folder.error, EISDIR);
    EXPECT_EQ(ReadFile(source), "source bytes");
    for (const int fd : {onSource, appended, readOnly, pipeFds[0], pipeFds[1]}) {
        close(fd);
    }
    fs::remove_all(dir);
}

bool HaveTool(const std::string& name) {
    return !RunCommand("command -v " + name + " 2>/dev/null").empty();
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// A loop device over an image (or a device), read-only unless asked,
// detached whatever the test does; no device for an empty path.
struct LoopDevice {
    std::string path;
    explicit LoopDevice(const fs::path& image, bool writable = false)
        : path(image.empty()
                   ? std::string()
                   : Trimmed(RunCommand(std::string("losetup ") + (writable ? "" : "-r ") +
                                        "-f --show " + Quote(image) + " 2>/dev/null"))) {}
    ~LoopDevice() {
        if (!path.empty()) {
            RunCommand("losetup -d " + Quote(path) + " 2>/dev/null");
        }
    }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
};

// A read-write mount of an image by the user-space NTFS driver, unmounted
// whatever the test does.
struct UserSpaceMount {
    fs::path at;
    bool mounted = false;
    UserSpaceMount(const fs::path& image, fs::path folder) : at(std::move(folder)) {
        fs::create_directories(at);
        mounted = RunCommand("ntfs-3g " + Quote(image) + " " + Quote(at) +
                             " >/dev/null 2>&1; echo $?") == "0\n";
    }
    ~UserSpaceMount() {
        if (mounted) {
            RunCommand("umount " + Quote(at) + " 2>/dev/null || fusermount -u " + Quote(at) +
                       " 2>/dev/null");
        }
    }
    UserSpaceMount(const UserSpaceMount&) = delete;
    UserSpaceMount& operator=(const UserSpaceMount&) = delete;
};

TEST_F(ReadOnly, AnExportIntoTheImageBehindALoopDeviceIsRefused) {
    if (!HaveTool("losetup")) {
        GTEST_SKIP() << "losetup is not installed";
    }
    const LoopDevice loop(source_);
    if (loop.path.empty()) {
        GTEST_SKIP() << "no loop device could be attached here";
    }
    const Snapshot before = Take(source_);
    const std::string scan = Quote(LORVEX_SCAN) + " " + Quote(loop.path) + " --export ";
    // The image file is no source by its name, only as the loop device's
    // backing file; and the loop device itself is a device.
    for (const std::string& target : {source_.string(), loop.path}) {
        SCOPED_TRACE(target);
        const std::string out = RunCommand(scan + Quote(target) + " 2>&1; echo $?");
        EXPECT_TRUE(out.ends_with("\n1\n")) << out;
        EXPECT_NE(out.find("File access denied"), std::string::npos) << out;
    }
    EXPECT_TRUE(Take(source_) == before);
    // Anywhere else, the export goes ahead.
    const fs::path elsewhere = dir_ / "export.txt";
    EXPECT_EQ(RunCommand(scan + Quote(elsewhere) + " >/dev/null 2>&1; echo $?"), "0\n");
    EXPECT_GT(fs::file_size(elsewhere), 100000U);
}

// A loop device over a loop device of the image: the chain is followed to
// its end, from a source down to the image and from a target's file system
// down to the source.
TEST_F(ReadOnly, ALoopDeviceOverALoopDeviceOfTheSourceIsFollowedToTheImage) {
    if (!HaveTool("losetup")) {
        GTEST_SKIP() << "losetup is not installed";
    }
    {
        const LoopDevice inner(source_);
        const LoopDevice outer(inner.path.empty() ? fs::path() : fs::path(inner.path));
        if (inner.path.empty() || outer.path.empty()) {
            GTEST_SKIP() << "no loop device over a loop device could be attached here";
        }
        const std::string before = Sha256(source_);
        const std::string scan = Quote(LORVEX_SCAN) + " " + Quote(outer.path);
        for (const std::string& run :
             {" --export " + Quote(source_) + " 2>&1", " --files -o " + Quote(source_) + " 2>&1",
              " --info 2>&1 >>" + Quote(source_)}) {
            SCOPED_TRACE(run);
            const std::string out = RunCommand(scan + run + "; echo $?");
            EXPECT_TRUE(out.ends_with("\n1\n")) << out;
            EXPECT_NE(out.find("source"), std::string::npos) << out;
        }
        EXPECT_EQ(Sha256(source_), before);
    }
    if (!HaveTool("ntfs-3g")) {
        GTEST_SKIP() << "ntfs-3g is not installed";
    }
    // A file system mounted from the outer device writes into the image.
    const fs::path copy = dir_ / "writable.img";
    fs::copy_file(source_, copy);
    const LoopDevice inner(copy, true);
    const LoopDevice outer(inner.path.empty() ? fs::path() : fs::path(inner.path), true);
    if (inner.path.empty() || outer.path.empty()) {
        GTEST_SKIP() << "no writable loop device over a loop device could be attached here";
    }
    const UserSpaceMount mount(outer.path, dir_ / "mnt");
    if (!mount.mounted) {
        GTEST_SKIP() << "ntfs-3g cannot mount here (no FUSE?)";
    }
    const fs::path existing = mount.at / "kept.txt";
    std::ofstream(existing) << "kept";
    RunCommand("sync");
    const std::string before = Sha256(copy);
    const std::string scan = Quote(LORVEX_SCAN) + " " + Quote(copy);
    for (const std::string& run :
         {" --export " + Quote(mount.at / "export.txt") + " 2>&1",
          " --export " + Quote(existing) + " 2>&1", " --info 2>&1 >>" + Quote(existing)}) {
        SCOPED_TRACE(run);
        const std::string out = RunCommand(scan + run + "; echo $?");
        EXPECT_TRUE(out.ends_with("\n1\n")) << out;
        EXPECT_NE(out.find("source"), std::string::npos) << out;
    }
    RunCommand("sync");
    EXPECT_EQ(Sha256(copy), before);
    EXPECT_FALSE(fs::exists(mount.at / "export.txt"));
    EXPECT_EQ(ReadFile(existing), "kept");
}

TEST_F(ReadOnly, AnExportIntoAMountOfTheSourceIsRefused) {
    if (!HaveTool("ntfs-3g")) {
        GTEST_SKIP() << "ntfs-3g is not installed";
    }
    const UserSpaceMount mount(source_, dir_ / "mnt");
    if (!mount.mounted) {
        GTEST_SKIP() << "ntfs-3g cannot mount here (no FUSE?)";
    }
    // A file that existed before, written through the mount (which writes
    // into the image, before the image is looked at).
    const fs::path existing = mount.at / "kept.txt";
    std::ofstream(existing) << "kept";
    RunCommand("sync");
    const Snapshot before = Take(source_);
    const std::string scan = Quote(LORVEX_SCAN) + " " + Quote(source_) + " --export ";
    for (const fs::path& target : {mount.at / "export.txt", existing}) {
        SCOPED_TRACE(target);
        const std::string out = RunCommand(scan + Quote(target) + " 2>&1; echo $?");
        EXPECT_TRUE(out.ends_with("\n1\n")) << out;
        EXPECT_NE(out.find("File access denied"), std::string::npos) << out;
    }
    RunCommand("sync");
    EXPECT_TRUE(Take(source_) == before);
    // (Reading through the mount moves an access time in the image: last.)
    EXPECT_FALSE(fs::exists(mount.at / "export.txt"));
    EXPECT_EQ(ReadFile(existing), "kept");
}

TEST_F(ReadOnly, AScreenshotIsNeverWrittenOverASource) {
#ifndef LORVEX_SCREENSHOT
    GTEST_SKIP() << "the window is not built";
#else
    // The pictures' folder holds the source under the first picture's name.
    const fs::path shots = dir_ / "shots";
    fs::create_directories(shots);
    const fs::path source = shots / "main.png";
    fs::rename(source_, source);
    const Snapshot before = Take(source);
    const std::string out = RunCommand(
        "QT_QPA_PLATFORM=offscreen timeout 120 " + Quote(LORVEX_SCREENSHOT) + " " + Quote(shots) +
        " --hover-file /Documents/Projects/Lorvex/Design/Notes/architecture.md " + Quote(source) +
        " 2>&1; echo $?");
    EXPECT_FALSE(out.ends_with("\n0\n")) << out;
    EXPECT_NE(out.find("main.png: File access denied"), std::string::npos) << out;
    // The other pictures, which are no source, were written.
    EXPECT_TRUE(fs::exists(shots / "zoom.png")) << out;
    EXPECT_TRUE(Take(source) == before);
#endif
}

// A disk in a container is read through its library: every segment, extent
// and descriptor keeps its bytes and times, and is open for reading only.
TEST_F(ReadOnly, ContainersKeepEverySegmentAndExtentAsTheyWere) {
    const fs::path containers = VolumeDir() / "containers";
    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(containers)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("ntfs-small-split.") || name.starts_with("ntfs-small-flat") ||
            name == "ntfs-4k.E01" || name == "ntfs-4k.vhdx" || name == "ntfs-4k.vmdk" ||
            name == "ntfs-4k.qcow2" || name == "gpt-disk.vhd") {
            copies.push_back(dir_ / name);
            fs::copy_file(entry.path(), copies.back(), fs::copy_options::overwrite_existing);
        }
    }
    ASSERT_EQ(copies.size(), 17U + 2U + 5U);
    const timespec times[2] = {{978307200, 123456789}, {978307200, 123456789}};
    std::vector<Snapshot> before;
    std::size_t descriptors = 0;
    for (const auto& c : copies) {
        ASSERT_EQ(utimensat(AT_FDCWD, c.c_str(), times, 0), 0);
        before.push_back(Take(c));
    }
    {
        platform::RawVolumeSystem system(
            {(dir_ / "ntfs-small-split.E01").string(), (dir_ / "ntfs-small-flat.vmdk").string(),
             (dir_ / "ntfs-4k.E01").string(), (dir_ / "ntfs-4k.vhdx").string(),
             (dir_ / "ntfs-4k.vmdk").string(), (dir_ / "ntfs-4k.qcow2").string(),
             (dir_ / "gpt-disk.vhd").string()});
        ASSERT_TRUE(system.problems().empty()) << system.problems().front();
        ASSERT_EQ(system.drives().size(), 8U);
        for (const auto& drive : system.drives()) {
            SCOPED_TRACE(drive.region.path);
            ntfs::NtfsVolume volume(system, drive.Root());
            ASSERT_EQ(volume.information().fileSystemName, "NTFS");
            ntfs::TFileIDs fileIds;
            ntfs::TClusterArray clusters;
            ntfs::RunScanStages(volume, fileIds, clusters, {});
            ASSERT_GT(fileIds.size(), 10);
            std::vector<std::byte> cluster(volume.geometry().bytesPerCluster);
            std::optional<ntfs::RecordReader> records;
            records.emplace(system, volume.devicePath(), volume.geometry());
            ASSERT_TRUE(records->IsOpen());
            volume.ReadCluster(cluster, volume.geometry().totalClusters - 1);
            // The library's descriptors, while the volume is open.
            for (const auto& file : drive.region.containerFiles) {
                for (const int fd : DescriptorsOn(file)) {
                    SCOPED_TRACE(file);
                    ++descriptors;
                    EXPECT_EQ(OpenFlags(fd) & O_ACCMODE, O_RDONLY);
                    errno = 0;
                    EXPECT_EQ(pwrite(fd, "x", 1, 0), -1);
                    EXPECT_EQ(errno, EBADF);
                }
                EXPECT_TRUE(MappingsOf(file).empty());
            }
            records.reset();
            const auto exported = ExportTo(volume, fileIds, system, (dir_ / "export.txt").string());
            EXPECT_TRUE(exported.ok) << exported.message;
        }
        EXPECT_GT(descriptors, 8U);
        // Nor can an export be written over any part of a container.
        for (const auto& c : copies) {
            EXPECT_TRUE(system.OpenWriteTarget(c.string()).refused) << c;
        }
    }
    for (std::size_t i = 0; i < copies.size(); ++i) {
        EXPECT_TRUE(Take(copies[i]) == before[i]) << copies[i];
    }
}

} // namespace
} // namespace lorvex::test

// The files a container reads are chosen by whoever made the evidence: a VMDK
// descriptor's extents, an embedded descriptor's data file, an EnCase set's
// segments, a differencing disk's parent. Each is looked at before it is
// opened (a FIFO never holds a scan), read only from where the format puts
// it unless the user allows more, and never written to, whether or not the
// container opened. Every case is made here, in a folder of its own.
#include "platform/ContainerImage.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class ContainerSources : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = TempPath("lorvex-container-sources");
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A file of `sectors` sectors, each filled with `fill`.
    static void Fill(const fs::path& path, std::size_t sectors, char fill) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << std::string(sectors * 512, fill);
    }

    // A descriptor naming one flat extent of 2,048 sectors by `name`.
    static void Descriptor(const fs::path& path, const std::string& extentLines) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "# Disk DescriptorFile\nversion=1\nCID=12345678\n"
                               "parentCID=ffffffff\ncreateType=\"monolithicFlat\"\n\n"
                               "# Extent description\n"
                            << extentLines
                            << "\n# The Disk Data Base\n#DDB\n\nddb.virtualHWVersion = \"4\"\n";
    }
    static void FlatDescriptor(const fs::path& path, const std::string& name) {
        Descriptor(path, "RW 2048 FLAT \"" + name + "\" 0\n");
    }

    // `from` with the first `was` replaced by `now` (of the same length).
    static void Patched(const fs::path& from, const fs::path& to, const std::string& was,
                        const std::string& now) {
        std::string bytes = ReadFile(from);
        const auto at = bytes.find(was);
        ASSERT_NE(at, std::string::npos) << was;
        bytes.replace(at, was.size(), now);
        std::ofstream(to, std::ios::binary) << bytes;
    }

    static Outcome Scan(const std::string& args) {
        const auto outFile = TempPath("lorvex-container-sources.out");
        const auto errFile = TempPath("lorvex-container-sources.err");
        const std::string command = "timeout 20 " + Quote(LORVEX_SCAN) + " " + args +
                                    " </dev/null >" + Quote(outFile) + " 2>" + Quote(errFile);
        const int raw = std::system(command.c_str());
        Outcome o;
        o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        o.out = ReadFile(outFile);
        o.err = ReadFile(errFile);
        fs::remove(outFile);
        fs::remove(errFile);
        return o;
    }

    // An EnCase set of four 1 MiB segments, `base`.E01 to .E04, of bytes
    // that do not compress.
    static void MakeEnCaseSet(const fs::path& base) {
        const fs::path raw = base.string() + ".raw";
        ASSERT_EQ(std::system(("head -c 3500000 /dev/urandom >" + Quote(raw) +
                               " && ewfacquire -u -q -c none -S 1048576 -t " + Quote(base) + " " +
                               Quote(raw) + " >/dev/null 2>&1")
                                  .c_str()),
                  0);
        ASSERT_TRUE(fs::exists(base.string() + ".E04"));
        fs::remove(raw);
    }

    static std::string Sha256(const fs::path& path) {
        return RunCommand("sha256sum " + Quote(path)).substr(0, 64);
    }

    // The write onto `target` that `args` ask for is refused, and the file
    // keeps every byte. With no source that opens, the run may end before
    // it looks at its targets at all.
    static void ExpectRefusedWrite(const std::string& args, const fs::path& target,
                                   bool anySourceOpens = true) {
        SCOPED_TRACE(args);
        const std::string before = Sha256(target);
        ASSERT_EQ(before.size(), 64U);
        const auto o = Scan(args);
        EXPECT_EQ(o.status, 1) << o.err;
        if (anySourceOpens) {
            EXPECT_NE(o.err.find(target.string() + ": "), std::string::npos) << o.err;
            EXPECT_NE(o.err.find("a source"), std::string::npos) << o.err;
        }
        EXPECT_EQ(Sha256(target), before);
    }

    fs::path dir_;
};

bool Has(const std::vector<std::string>& files, const fs::path& file) {
    return std::find(files.begin(), files.end(), file.string()) != files.end();
}

TEST_F(ContainerSources, AVmdkReadsOnlyTheFilesInItsDescriptorsFolderUnlessAllowed) {
    // A folder name longer than the file's: the library's join of such an
    // absolute name copies the folder's length from the file name's start.
    const fs::path data = dir_ / "elsewhere-in-a-folder-with-a-long-name" / "d.img";
    Fill(data, 2048, 'D');
    Fill(dir_ / "disk" / "sub" / "data.img", 2048, 'S');
    fs::create_symlink(data, dir_ / "disk" / "link.img");
    Fill(dir_ / "disk" / "inside.img", 2048, 'I');
    const fs::path inside = dir_ / "disk" / "inside.vmdk";
    FlatDescriptor(inside, "inside.img");
    const struct {
        const char* name;
        std::string extent;
        fs::path reads;
    } cases[] = {
        {"absolute", data.string(), data},
        {"subfolder", "sub/data.img", dir_ / "disk" / "sub" / "data.img"},
        {"parent", "../elsewhere-in-a-folder-with-a-long-name/d.img", data},
        {"link out of the folder", "link.img", data},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path descriptor = dir_ / "disk" / (std::string(c.name) + ".vmdk");
        FlatDescriptor(descriptor, c.extent);

        // Refused before the library sees the name: its join of an
        // absolute one reads past its buffer (a report under ASan).
        const auto refused = Scan(Quote(descriptor) + " --info");
        EXPECT_EQ(refused.status, 1);
        EXPECT_EQ(refused.err.find("AddressSanitizer"), std::string::npos) << refused.err;
        for (const std::string& says :
             {descriptor.string() + ": VMDK image: the extent '" + c.extent + "'",
              "' that its descriptor names (" + c.reads.string() +
                  ") lies outside the descriptor's folder",
              "--allow-outside-extents reads " + c.reads.string()}) {
            EXPECT_NE(refused.err.find(says), std::string::npos) << refused.err;
        }
        EXPECT_EQ(platform::ContainerImage::OutsideFiles(descriptor.string()),
                  std::vector<std::string>{c.reads.string()});

        // Allowed, it reads that file, names it, and protects it.
        const auto allowed = Scan(Quote(descriptor) + " --info --allow-outside-extents");
        EXPECT_EQ(allowed.status, 0) << allowed.err;
        EXPECT_NE(allowed.out.find("reads            " + c.reads.string()), std::string::npos)
            << allowed.out;
        std::string why;
        const auto image = platform::ContainerImage::Open(descriptor.string(), why,
                                                          platform::ContainerOptions{true});
        ASSERT_TRUE(image) << why;
        std::vector<std::byte> bytes(4096);
        ASSERT_EQ(image->Read(512 * 1024, bytes), bytes.size());
        EXPECT_EQ(static_cast<char>(bytes.front()), ReadFile(c.reads).front());
        ExpectRefusedWrite(
            Quote(descriptor) + " --allow-outside-extents --info -o " + Quote(c.reads), c.reads);
        // Refused, it is protected all the same.
        ExpectRefusedWrite(Quote(inside) + " " + Quote(descriptor) + " --info -o " + Quote(c.reads),
                           c.reads);
    }
    ExpectRefusedWrite(Quote(dir_ / "disk" / "absolute.vmdk") +
                           " --allow-outside-extents --export " + Quote(data),
                       data);
    // A link in the folder to a file in the folder is read as that file.
    FlatDescriptor(dir_ / "disk" / "near.vmdk", "near.img");
    fs::create_symlink("inside.img", dir_ / "disk" / "near.img");
    EXPECT_EQ(Scan(Quote(dir_ / "disk" / "near.vmdk") + " --info").status, 0);
}

// What is never read, allowed or not: the kernel's own files, and anything
// that is neither a file nor a block device.
TEST_F(ContainerSources, AVmdkNeverReadsTheKernelsFilesOrAnythingButFilesAndBlockDevices) {
    const fs::path fifo = dir_ / "pipe.img";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string extent;
        std::string says;
    } cases[] = {
        {"/proc/self/environ", ") is a file of the kernel's own, not stored data"},
        {"/dev/null", "(/dev/null) is a character device, not a file"},
        {fifo.string(), "(" + fifo.string() + ") is a FIFO (named pipe), not a file"},
        {"..", ") is a folder, not a file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extent);
        const fs::path descriptor = dir_ / "disk" / "hostile.vmdk";
        FlatDescriptor(descriptor, c.extent);
        for (const bool allow : {false, true}) {
            const platform::RawVolumeSystem system({descriptor.string()}, platform::ReadAs::Auto,
                                                   platform::ContainerOptions{allow});
            EXPECT_TRUE(system.drives().empty());
            ASSERT_EQ(system.problems().size(), 1U);
            EXPECT_NE(system.problems()[0].find("the extent '" + c.extent + "'"), std::string::npos)
                << system.problems()[0];
            EXPECT_NE(system.problems()[0].find(c.says), std::string::npos) << system.problems()[0];
        }
        EXPECT_TRUE(platform::ContainerImage::OutsideFiles(descriptor.string()).empty());
    }
}

TEST_F(ContainerSources, AnEmbeddedDescriptorThatNamesAnotherFileIsRefusedUnlessAllowed) {
    ASSERT_EQ(std::system(("qemu-img create -q -f vmdk " + Quote(dir_ / "a.vmdk") + " 1M && " +
                           "qemu-img create -q -f vmdk " + Quote(dir_ / "b.vmdk") + " 1M")
                              .c_str()),
              0);
    // The image itself: read without asking.
    EXPECT_EQ(Scan(Quote(dir_ / "a.vmdk") + " --info").status, 0);
    const fs::path pointing = dir_ / "c.vmdk";
    Patched(dir_ / "a.vmdk", pointing, "\"a.vmdk\"", "\"b.vmdk\"");
    const auto refused = Scan(Quote(pointing) + " --info");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find(pointing.string() +
                               ": VMDK image: the data file 'b.vmdk' that its embedded "
                               "descriptor names (" +
                               (dir_ / "b.vmdk").string() +
                               ") is another file than the image itself"),
              std::string::npos)
        << refused.err;
    const auto allowed = Scan(Quote(pointing) + " --info --allow-outside-extents");
    EXPECT_EQ(allowed.status, 0) << allowed.err;
    EXPECT_NE(allowed.out.find("VMDK container (2 files)"), std::string::npos) << allowed.out;
    EXPECT_NE(allowed.out.find("reads            " + (dir_ / "b.vmdk").string()), std::string::npos)
        << allowed.out;
    ExpectRefusedWrite(Quote(pointing) + " --allow-outside-extents --info -o " +
                           Quote(dir_ / "b.vmdk"),
                       dir_ / "b.vmdk");
}

// A FIFO opened for reading waits for a writer; at any level of a container
// it is refused by its path before anything opens it.
TEST_F(ContainerSources, AFifoInsideAContainerIsRefusedAtOnce) {
    ASSERT_EQ(mkfifo((dir_ / "pipe.img").c_str(), 0600), 0);
    FlatDescriptor(dir_ / "extent.vmdk", "pipe.img");

    ASSERT_EQ(std::system(("qemu-img create -q -f vmdk " + Quote(dir_ / "a.vmdk") + " 1M").c_str()),
              0);
    ASSERT_EQ(mkfifo((dir_ / "p.vmdk").c_str(), 0600), 0);
    Patched(dir_ / "a.vmdk", dir_ / "embedded.vmdk", "\"a.vmdk\"", "\"p.vmdk\"");

    MakeEnCaseSet(dir_ / "set");
    fs::remove(dir_ / "set.E03");
    ASSERT_EQ(mkfifo((dir_ / "set.E03").c_str(), 0600), 0);

    const struct {
        fs::path source;
        std::string says;
    } cases[] = {
        {dir_ / "extent.vmdk", "VMDK image: the extent 'pipe.img' that its descriptor names (" +
                                   (dir_ / "pipe.img").string() +
                                   ") is a FIFO (named pipe), not a file"},
        {dir_ / "embedded.vmdk",
         "VMDK image: the data file 'p.vmdk' that its embedded descriptor names (" +
             (dir_ / "p.vmdk").string() + ") is a FIFO (named pipe), not a file"},
        {dir_ / "set.E01", "EnCase image: the segment " + (dir_ / "set.E03").string() +
                               " is a FIFO (named pipe), not a file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        for (const bool allow : {false, true}) {
            const auto start = Clock::now();
            const platform::RawVolumeSystem system({c.source.string()}, platform::ReadAs::Auto,
                                                   platform::ContainerOptions{allow});
            EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
            EXPECT_TRUE(system.drives().empty());
            ASSERT_EQ(system.problems().size(), 1U);
            EXPECT_NE(system.problems()[0].find(c.says), std::string::npos) << system.problems()[0];
        }
        const auto o = Scan(Quote(c.source) + " --info");
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    }
}

// A differencing VHD made from a dynamic one: its footer says so, its
// header names the parent. Both carry a checksum of their own.
void MakeDifferencing(const fs::path& dynamic, const fs::path& child, const std::string& parent) {
    std::string d = ReadFile(dynamic);
    const auto be32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            d[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
        }
    };
    const auto checksum = [&](std::size_t from, std::size_t size, std::size_t field) {
        be32(field, 0);
        std::uint32_t sum = 0;
        for (std::size_t i = from; i < from + size; ++i) {
            sum += static_cast<unsigned char>(d[i]);
        }
        be32(field, ~sum);
    };
    constexpr std::size_t kFooter = 512;
    constexpr std::size_t kDiskType = 60;
    constexpr std::size_t kFooterChecksum = 64;
    constexpr std::size_t kHeader = 512; // where qemu-img puts the dynamic header
    constexpr std::size_t kHeaderSize = 1024;
    constexpr std::size_t kHeaderChecksum = 36;
    constexpr std::size_t kParentName = 64; // UTF-16BE
    const std::size_t footer = d.size() - kFooter;
    ASSERT_EQ(d.compare(footer, 8, "conectix"), 0);
    ASSERT_EQ(d.compare(kHeader, 8, "cxsparse"), 0);
    be32(footer + kDiskType, 4);
    checksum(footer, kFooter, footer + kFooterChecksum);
    d.replace(0, kFooter, d, footer, kFooter);
    for (std::size_t i = 0; i < parent.size(); ++i) {
        d[kHeader + kParentName + 2 * i] = '\0';
        d[kHeader + kParentName + 2 * i + 1] = parent[i];
    }
    checksum(kHeader, kHeaderSize, kHeader + kHeaderChecksum);
    std::ofstream(child, std::ios::binary) << d;
}

TEST_F(ContainerSources, EveryFileASourceNamesIsProtectedWhetherOrNotItOpens) {
    Fill(dir_ / "good.img", 2048, 'G');
    FlatDescriptor(dir_ / "good.vmdk", "good.img");
    const std::string good = Quote(dir_ / "good.vmdk");

    // An EnCase set without its second segment: the third and fourth are
    // still the evidence.
    MakeEnCaseSet(dir_ / "set");
    fs::remove(dir_ / "set.E02");
    const auto segments = platform::ContainerImage::NamedFiles((dir_ / "set.E01").string());
    EXPECT_TRUE(Has(segments, dir_ / "set.E03") && Has(segments, dir_ / "set.E04"));
    ExpectRefusedWrite(Quote(dir_ / "set.E01") + " --info -o " + Quote(dir_ / "set.E04"),
                       dir_ / "set.E04", false);
    ExpectRefusedWrite(good + " " + Quote(dir_ / "set.E01") + " --info -o " +
                           Quote(dir_ / "set.E04"),
                       dir_ / "set.E04");

    // A differencing VHD, refused: itself and its parent.
    ASSERT_EQ(std::system(("qemu-img create -q -f vpc -o subformat=dynamic " +
                           Quote(dir_ / "parent.vhd") + " 4M")
                              .c_str()),
              0);
    MakeDifferencing(dir_ / "parent.vhd", dir_ / "child.vhd", "parent.vhd");
    EXPECT_TRUE(Has(platform::ContainerImage::NamedFiles((dir_ / "child.vhd").string()),
                    dir_ / "parent.vhd"));
    ExpectRefusedWrite(Quote(dir_ / "child.vhd") + " --info -o " + Quote(dir_ / "child.vhd"),
                       dir_ / "child.vhd", false);
    ExpectRefusedWrite(good + " " + Quote(dir_ / "child.vhd") + " --info -o " +
                           Quote(dir_ / "child.vhd"),
                       dir_ / "child.vhd");
    ExpectRefusedWrite(good + " " + Quote(dir_ / "child.vhd") + " --info -o " +
                           Quote(dir_ / "parent.vhd"),
                       dir_ / "parent.vhd");

    // The same through the volume layer, as the window writes.
    platform::RawVolumeSystem system({(dir_ / "set.E01").string(), (dir_ / "child.vhd").string(),
                                      (dir_ / "good.vmdk").string()});
    EXPECT_EQ(system.drives().size(), 1U);
    for (const char* name : {"set.E01", "set.E04", "child.vhd", "parent.vhd", "good.img"}) {
        SCOPED_TRACE(name);
        const auto target = system.OpenWriteTarget((dir_ / name).string());
        EXPECT_TRUE(target.refused);
        EXPECT_LT(target.fd, 0);
    }
}

TEST_F(ContainerSources, RefusalsSayTheFileTheFormatAndWhatIsWrong) {
    Fill(dir_ / "flat.img", 2048, 'F');
    Descriptor(dir_ / "zero.vmdk", "RW 1024 FLAT \"flat.img\" 0\nRW 1024 ZERO\n");
    // Without its data base section the library runs out of lines.
    std::ofstream(dir_ / "cut.vmdk") << "# Disk DescriptorFile\nversion=1\nCID=12345678\n"
                                        "parentCID=ffffffff\ncreateType=\"monolithicFlat\"\n";
    // A qcow2 whose header claims more bytes than any disk has.
    ASSERT_EQ(
        std::system(("qemu-img create -q -f qcow2 " + Quote(dir_ / "q.qcow2") + " 4M").c_str()), 0);
    std::string qcow = ReadFile(dir_ / "q.qcow2");
    constexpr std::size_t kQcowSize = 24; // big-endian
    qcow.replace(kQcowSize, 8, std::string("\x90\0\0\0\0\0\0\0", 8));
    std::ofstream(dir_ / "huge.qcow2", std::ios::binary) << qcow;

    const struct {
        const char* file;
        std::string says;
    } cases[] = {
        {"zero.vmdk", "VMDK image: an extent that its descriptor names is a zero extent"},
        {"cut.vmdk", "VMDK image: its descriptor text is damaged or cut short: invalid line index"},
        {"huge.qcow2", "qcow2 image: it says the disk it holds is 10376293541461622784 bytes, "
                       "larger than any disk can be"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const auto o = Scan(Quote(dir_ / c.file));
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.err.find((dir_ / c.file).string() + ": " + c.says), std::string::npos) << o.err;
    }
}

} // namespace
} // namespace lorvex::test

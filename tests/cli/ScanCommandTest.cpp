// lorvex-scan as a script or a person at a shell sees it: its output, its
// messages and its exit status.
#include "ntfs/ClusterMap.h"
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/NTFSVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "support/Export.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

namespace lorvex::test {
namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs lorvex-scan with `args` (already quoted), stdin closed.
Outcome Scan(const std::string& args) {
    const auto errFile = TempPath("lorvex-scan-test.err");
    Outcome o;
    const std::string command =
        std::string("'") + LORVEX_SCAN + "' " + args + " </dev/null 2>" + Quote(errFile);
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[65536];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        o.out.append(buffer, n);
    }
    const int raw = pclose(pipe);
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    o.err = ReadFile(errFile);
    std::filesystem::remove(errFile);
    return o;
}

std::string Image(const char* name) {
    return Quote(VolumeDir() / name);
}

TEST(ScanCommand, ExportIsWhatTheLibraryWrites) {
    const auto image = VolumeDir() / "demo.img";
    const auto fromCommand = TempPath("lorvex-cli-export.txt");
    const auto fromLibrary = TempPath("lorvex-lib-export.txt");
    const auto o = Scan(Quote(image) + " --export " + Quote(fromCommand));
    ASSERT_EQ(o.status, 0) << o.err;
    // Not a terminal: no progress bar, nothing at all on stderr.
    EXPECT_EQ(o.err, "");

    platform::RawVolumeSystem sys({image.string()});
    ntfs::TNTFSVolume volume(sys, "C");
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    ntfs::RunScanStages(volume, fileIds, clusters, {});
    ASSERT_TRUE(ExportTo(volume, fileIds, sys, fromLibrary.string()).ok);
    const std::string expected = ReadFile(fromLibrary);
    EXPECT_GT(expected.size(), 100000U);
    EXPECT_TRUE(ReadFile(fromCommand) == expected) << "exports differ";
    EXPECT_TRUE(Scan(Quote(image) + " --export -").out == expected);
    std::filesystem::remove(fromCommand);
    std::filesystem::remove(fromLibrary);
}

TEST(ScanCommand, OwnersAndFragmentedFilesAreTheLookupsOfTheScan) {
    const auto o = Scan(Image("demo.img") + " --owner 0 100000000");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "0\t\\$Boot::$DATA\n100000000\tFREE\n");

    const auto f = Scan(Image("demo.img") + " --fragmented");
    ASSERT_EQ(f.status, 0) << f.err;
    std::istringstream rows(f.out);
    std::string line;
    unsigned long previous = ~0UL;
    int count = 0;
    while (std::getline(rows, line)) {
        const auto tab = line.rfind('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        const unsigned long fragments = std::stoul(line.substr(tab + 1));
        EXPECT_LE(fragments, previous) << "not most fragmented first: " << line;
        EXPECT_GT(fragments, 1UL);
        previous = fragments;
        ++count;
    }
    EXPECT_GT(count, 5);
}

TEST(ScanCommand, SummaryNamesTheVolumeAndTimesEveryStage) {
    const auto o = Scan(Image("ntfs-4k.img"));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find(" clusters ("), std::string::npos);
    EXPECT_NE(o.out.find("on drive C:\\ \n"), std::string::npos);
    EXPECT_NE(o.out.find("Lorvex4K"), std::string::npos);
    for (const char* stage :
         {"enumerating files", "parsing directories", "calculating real file size",
          "enumerating clusters", "getting fragments", "painting clusters", "sorting clusters"}) {
        EXPECT_NE(o.out.find(stage), std::string::npos) << stage;
    }
}

TEST(ScanCommand, DrivesOfAWholeDiskAreChosenByLetter) {
    const auto ambiguous = Scan(Image("gpt-disk.img"));
    EXPECT_EQ(ambiguous.status, 2);
    EXPECT_NE(ambiguous.err.find("--drive"), std::string::npos);
    EXPECT_NE(ambiguous.err.find("GptTwo"), std::string::npos);
    const auto second = Scan(Image("gpt-disk.img") + " --drive d");
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.out.find("GptTwo"), std::string::npos);
    const auto none = Scan(Image("gpt-disk.img") + " --drive Q");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no drive Q:"), std::string::npos);
}

TEST(ScanCommand, ErrorsGoToStderrWithAStatus) {
    const auto missing = Scan("/nonexistent/volume.img");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("/nonexistent/volume.img"), std::string::npos);
    EXPECT_EQ(missing.out, "");

    const auto fat = Scan(Image("fat.img"));
    EXPECT_EQ(fat.status, 1);
    EXPECT_NE(fat.err.find("not NTFS"), std::string::npos) << fat.err;

    const auto damaged = Scan(Image("damaged-bps-zero.img"));
    EXPECT_EQ(damaged.status, 1);
    EXPECT_FALSE(damaged.err.empty());

    EXPECT_EQ(Scan("--bogus").status, 2);
    EXPECT_EQ(Scan(Image("demo.img") + " --owner").status, 2);
    EXPECT_EQ(Scan(Image("demo.img") + " --export").status, 2);

    const auto full = Scan(Image("ntfs-small.img") + " --export /dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("Disk full"), std::string::npos) << full.err;

    const auto help = Scan("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--export FILE"), std::string::npos);
    EXPECT_EQ(Scan("--version").status, 0);
}

TEST(ScanCommand, AProgressBarShowsOnlyOnATerminal) {
    if (RunCommand("command -v script").empty()) {
        GTEST_SKIP() << "no script(1) to give the command a terminal";
    }
    // script(1) gives the command a terminal for its stderr; stdout goes to
    // /dev/null, so what it records is the progress line alone.
    const auto log = TempPath("lorvex-tty.log");
    RunCommand("script -q -e -c \"'" + std::string(LORVEX_SCAN) + "' " + Image("demo.img") +
               " >/dev/null\" " + Quote(log) + " >/dev/null 2>&1");
    const std::string tty = ReadFile(log);
    std::filesystem::remove(log);
    EXPECT_NE(tty.find("enumerating files"), std::string::npos);
    EXPECT_NE(tty.find("100%"), std::string::npos);
    // The same run without a terminal is silent on stderr (checked above in
    // the export test).
}

} // namespace
} // namespace lorvex::test

// lorvex-scan as a script or a person at a shell sees it: its output, its
// messages and its exit status.
#include "ntfs/ClusterMap.h"
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "support/Export.h"
#include "support/Sanitizers.h"
#include "support/ScanRun.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lorvex::test {
namespace {

// Runs lorvex-scan with `args` (already quoted), stdin closed.
Outcome Scan(const std::string& args) {
    return RunProgram(LORVEX_SCAN, args);
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
    ntfs::NtfsVolume volume(sys, "C");
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
    const auto o = Scan(Image("demo.img") + " --owner 0 65534");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "0\t\\$Boot::$DATA\tsystem\n"
                     "65534\t\\Users\\bob\\Music\\Field Recordings\\02 Track 2.mp3::$DATA\tfile\n");

    const auto f = Scan(Image("demo.img") + " --fragmented");
    ASSERT_EQ(f.status, 0) << f.err;
    std::istringstream rows(f.out);
    std::string line;
    unsigned long previous = ~0UL;
    int count = 0;
    std::map<std::string, int> types;
    while (std::getline(rows, line)) {
        // "record<TAB>path<TAB>fragments<TAB>type"
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) {
            fields.push_back(field);
        }
        ASSERT_EQ(fields.size(), 4U) << line;
        const unsigned long fragments = std::stoul(fields[2]);
        EXPECT_LE(fragments, previous) << "not most fragmented first: " << line;
        EXPECT_GT(fragments, 1UL);
        previous = fragments;
        ++types[fields[3]];
        ++count;
    }
    EXPECT_GT(count, 5);
    // The summary counts what the listing lists, by the same types.
    const auto summary = Scan(Image("demo.img"));
    ASSERT_EQ(summary.status, 0) << summary.err;
    const std::string expected = "fragmented         " + std::to_string(count) + " (files " +
                                 std::to_string(types["file"]) + ", directories " +
                                 std::to_string(types["directory"]) + ", system " +
                                 std::to_string(types["system"]) + ")\n";
    EXPECT_NE(summary.out.find(expected), std::string::npos) << summary.out;
    EXPECT_GT(types["directory"], 0);
}

// A cluster past the volume is an error that names the volume's last
// cluster; the clusters on it are answered all the same.
TEST(ScanCommand, AClusterBeyondTheVolumeIsAnError) {
    // demo.img: 65,535 clusters, the last 65,534.
    const auto o = Scan(Image("demo.img") + " --owner 65535 3 99999999");
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "3\tMFT Zone\tmft-zone\n");
    EXPECT_NE(o.err.find("cluster 65535 is beyond drive C: (its last cluster is 65534)"),
              std::string::npos)
        << o.err;
    EXPECT_NE(o.err.find("cluster 99999999 is beyond"), std::string::npos) << o.err;

    const auto json = Scan(Image("demo.img") + " --owner 65535 --format json");
    EXPECT_EQ(json.status, 1);
    EXPECT_NE(json.out.find("\"owners\":[]"), std::string::npos) << json.out;
}

TEST(ScanCommand, SummaryNamesTheVolumeAndTimesEveryStage) {
    const auto o = Scan(Image("ntfs-4k.img"));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find(" clusters ("), std::string::npos);
    EXPECT_NE(o.out.find("on drive C:\\\n"), std::string::npos);
    EXPECT_NE(o.out.find("Lorvex4K"), std::string::npos);
    EXPECT_NE(o.out.find("\nfree space         "), std::string::npos);
    EXPECT_NE(o.out.find("\nused space         "), std::string::npos);
    for (const char* stage :
         {"enumerating files", "parsing directories", "calculating real file size",
          "enumerating clusters", "getting fragments", "painting clusters", "sorting clusters"}) {
        EXPECT_NE(o.out.find(stage), std::string::npos) << stage;
    }
}

TEST(ScanCommand, EveryDriveOfAWholeDiskIsScannedUnlessOneIsChosen) {
    const auto both = Scan(Image("gpt-disk.img"));
    EXPECT_EQ(both.status, 0) << both.err;
    const auto first = both.out.find("== C:  ");
    const auto second = both.out.find("== D:  ");
    ASSERT_NE(first, std::string::npos) << both.out;
    ASSERT_NE(second, std::string::npos) << both.out;
    EXPECT_NE(both.out.find("GptOne", first), std::string::npos);
    EXPECT_NE(both.out.find("GptTwo", second), std::string::npos);
    EXPECT_EQ(both.out.find("GptTwo"), both.out.find("GptTwo", second));

    for (const char* letter : {"d", "d:", "D:", "D", "2"}) {
        SCOPED_TRACE(letter);
        const auto one = Scan(Image("gpt-disk.img") + " --drive " + letter);
        EXPECT_EQ(one.status, 0) << one.err;
        EXPECT_NE(one.out.find("GptTwo"), std::string::npos);
        EXPECT_EQ(one.out.find("GptOne"), std::string::npos);
        EXPECT_EQ(one.out.find("=="), std::string::npos) << "one drive needs no label";
    }
    const auto none = Scan(Image("gpt-disk.img") + " --drive Q");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no drive Q:"), std::string::npos);

    // An export is of one volume: with several, the choice is asked for.
    const auto ambiguous = Scan(Image("gpt-disk.img") + " --export -");
    EXPECT_EQ(ambiguous.status, 2);
    EXPECT_NE(ambiguous.err.find("--drive"), std::string::npos);
    EXPECT_NE(ambiguous.err.find("GptTwo"), std::string::npos);

    // A partition that is not NTFS is left out, said on stderr.
    const auto mixed = Scan(Image("mbr-disk.img") + " --format jsonl");
    EXPECT_EQ(mixed.status, 0) << mixed.err;
    EXPECT_NE(mixed.out.find("{\"drive\":\"C:\""), std::string::npos) << mixed.out;
}

TEST(ScanCommand, FormatsAreCheckedBeforeTheScan) {
    EXPECT_EQ(Scan(Image("demo.img") + " --format xml").status, 2);
    EXPECT_EQ(Scan(Image("demo.img") + " --format").status, 2);
    // CSV and JSON Lines hold one table.
    EXPECT_EQ(Scan(Image("demo.img") + " --format csv --files --fragmented").status, 2);
    EXPECT_EQ(Scan(Image("demo.img") + " --format jsonl --owner 1 --cluster-map").status, 2);
    EXPECT_EQ(Scan(Image("demo.img") + " --format bodyfile --owner 1").status, 2);
    EXPECT_EQ(Scan(Image("demo.img") + " --format json --files --export -").status, 2);
    // The export has one format: a format for it alone is refused, not
    // ignored, and the listing that has the formats is named.
    const auto exportFile = TempPath("lorvex-export-format.txt");
    for (const std::string format : {"json", "jsonl", "csv", "bodyfile"}) {
        SCOPED_TRACE(format);
        const auto o =
            Scan(Image("demo.img") + " --export " + Quote(exportFile) + " --format " + format);
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(o.out, "");
        EXPECT_NE(o.err.find("--files --format " + format), std::string::npos) << o.err;
        EXPECT_FALSE(std::filesystem::exists(exportFile));
    }
    // One JSON document can hold several.
    const auto several = Scan(Image("demo.img") + " --format json --owner 0 --fragmented");
    EXPECT_EQ(several.status, 0) << several.err;
    EXPECT_NE(several.out.find("\"owners\":["), std::string::npos);
    EXPECT_NE(several.out.find("\"fragmented\":["), std::string::npos);
    // In text, a listing keeps its own text beside the file table.
    const auto mixed = Scan(Image("demo.img") + " --owner 0 --files");
    EXPECT_EQ(mixed.status, 0) << mixed.err;
    EXPECT_TRUE(mixed.out.starts_with("0\t\\$Boot::$DATA\tsystem\n0\t0\t0\t5\tsystem\t"))
        << mixed.out.substr(0, 200);
    // The listing into a file, never onto a source.
    const auto target = TempPath("lorvex-files.csv");
    const auto toFile = Scan(Image("demo.img") + " --files --format csv -o " + Quote(target));
    EXPECT_EQ(toFile.status, 0) << toFile.err;
    EXPECT_EQ(toFile.out, "");
    EXPECT_TRUE(ReadFile(target).starts_with("drive,index,record,"));
    std::filesystem::remove(target);
    const auto onSource = Scan(Image("demo.img") + " --files -o " + Image("demo.img"));
    EXPECT_EQ(onSource.status, 1);
    EXPECT_NE(onSource.err.find("never writes there"), std::string::npos) << onSource.err;
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

    const auto noFolder = Scan(Image("ntfs-small.img") + " --export /nonexistent/x.txt");
    EXPECT_EQ(noFolder.status, 1);
    EXPECT_NE(noFolder.err.find("/nonexistent/x.txt: folder not found"), std::string::npos)
        << noFolder.err;

    // A folder is said to be one, wherever it is.
    for (const std::string& folder :
         std::vector<std::string>{".", "/tmp", "/tmp/", VolumeDir().string()}) {
        for (const char* option : {" -o ", " --export "}) {
            SCOPED_TRACE(option + folder);
            const auto o = Scan(Image("ntfs-small.img") + option + Quote(folder));
            EXPECT_EQ(o.status, 1);
            EXPECT_NE(o.err.find(folder + ": a folder"), std::string::npos) << o.err;
        }
    }

    const auto full = Scan(Image("ntfs-small.img") + " --export /dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("Disk full"), std::string::npos) << full.err;

    const auto help = Scan("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--export FILE"), std::string::npos);
    EXPECT_EQ(Scan("--version").status, 0);
}

TEST(ScanCommand, EveryActionFailsWhenStandardOutputCannotBeWritten) {
    for (const char* action : {"", " --fragmented", " --owner 0 1 2", " --info", " --export -",
                               " --files --format json", " --cluster-map", " --format bodyfile"}) {
        SCOPED_TRACE(action);
        const auto o = Scan(Image("demo.img") + action + " >/dev/full");
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_NE(o.err.find("No space left on device"), std::string::npos) << o.err;
    }
    EXPECT_EQ(Scan("--version >/dev/full").status, 1);
}

// lorvex-scan `args` in a child whose address space is capped at `limit`
// bytes, stdout and stderr into files.
Outcome ScanWithin(const std::vector<std::string>& args, rlim_t limit) {
    const auto outFile = TempPath("lorvex-scan-limited.out");
    const auto errFile = TempPath("lorvex-scan-limited.err");
    std::vector<char*> argv{const_cast<char*>(LORVEX_SCAN)};
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        const rlimit cap{limit, limit};
        setrlimit(RLIMIT_AS, &cap);
        execv(LORVEX_SCAN, argv.data());
        _exit(127);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    o.out = ReadFile(outFile);
    o.err = ReadFile(errFile);
    std::filesystem::remove(outFile);
    std::filesystem::remove(errFile);
    return o;
}

TEST(ScanCommand, RunningOutOfMemoryIsAnErrorNotAnAbort) {
    if (kAddressSanitizer) {
        GTEST_SKIP() << "the address sanitizer reserves more address space than any cap";
    }
    const std::string image = (VolumeDir() / "demo.img").string();
    // From the least room in which lorvex-scan reads the volume's facts up
    // to enough to finish the scan: every run ends with a status, and some
    // run in between stops for memory (the demo volume's scan needs about
    // two MiB beyond what the program starts with).
    // The least room for the facts is found by halving (stepping up to it
    // took some 600 runs); below it nothing is asked of a run.
    constexpr rlim_t kStep = 128 << 10;
    rlim_t tooLittle = 4 << 20;
    rlim_t limit = 256 << 20;
    ASSERT_EQ(ScanWithin({image, "--info"}, limit).status, 0);
    while (limit - tooLittle > kStep) {
        const rlim_t middle = tooLittle + (limit - tooLittle) / kStep / 2 * kStep;
        (ScanWithin({image, "--info"}, middle).status == 0 ? limit : tooLittle) = middle;
    }
    int outOfMemory = 0;
    bool finished = false;
    for (; limit <= (512 << 20) && !finished; limit += kStep) {
        const auto o = ScanWithin({image}, limit);
        SCOPED_TRACE(std::to_string(limit >> 10) + " KiB: " + o.err);
        ASSERT_TRUE(o.status == 0 || o.status == 1) << o.status;
        finished = o.status == 0;
        if (o.err.find("not enough memory to scan " + image + " (drive C:)") != std::string::npos) {
            ++outOfMemory;
        }
    }
    EXPECT_TRUE(finished);
    EXPECT_GT(outOfMemory, 0);
}

// A chain of directories whose deepest paths are twice the longest Windows
// handles: the listing shows them capped at that length, keeping their end,
// and costs little memory (every entry once kept its whole path, which grew
// with the square of the depth).
TEST(ScanCommand, PathsOfADeepChainAreCappedKeepingTheirEnd) {
    const std::string image = (VolumeDir() / "deep-chain.img").string();
    const rlim_t limit = kAddressSanitizer ? RLIM_INFINITY : rlim_t{1} << 30;
    const auto fragmented = ScanWithin({image, "--fragmented"}, limit);
    ASSERT_EQ(fragmented.status, 0) << fragmented.err;
    std::istringstream rows(fragmented.out);
    for (std::string row; std::getline(rows, row);) {
        // "record<TAB>path<TAB>fragments", ASCII names: one byte per unit.
        EXPECT_LE(row.size(), 32767U + 32U) << row.substr(0, 80);
    }
    // Some 250 entries of at most the longest path each; whole paths made
    // the listing a third larger.
    EXPECT_LT(fragmented.out.size(), 250U * 32767U);

    const auto exported = ScanWithin({image, "--export", "-"}, limit);
    ASSERT_EQ(exported.status, 0) << exported.err;
    // At most the longest path per entry, and the attribute sections (the
    // index entries name the 255-character children); whole paths made it
    // 16 MB.
    EXPECT_LT(exported.out.size(), 300U * 32767U + (4U << 20));
    std::istringstream lines(exported.out);
    int capped = 0;
    std::string deepest;
    for (std::string line; std::getline(lines, line);) {
        const auto name = line.find(" Name:");
        if (!line.starts_with("Item:") || name == std::string::npos) {
            continue;
        }
        const auto type = line.rfind(" Type:");
        const std::string path = line.substr(name + 6, type - name - 6);
        EXPECT_LE(path.size(), 32767U); // ASCII names: one byte per unit
        capped += path.starts_with("\\$### PATH TOO LONG ###\\") ? 1 : 0;
        if (path.ends_with("\\deepest.txt")) {
            deepest = path;
        }
    }
    EXPECT_GT(capped, 100);
    EXPECT_TRUE(deepest.starts_with("\\$### PATH TOO LONG ###\\")) << deepest.substr(0, 80);
    EXPECT_TRUE(deepest.ends_with("\\248" + std::string(252, 'd') + "\\249" +
                                  std::string(252, 'd') + "\\deepest.txt"));
    EXPECT_GT(deepest.size() + 257, 32767U) << "as much of the end as fits";
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

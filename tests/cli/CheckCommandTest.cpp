// lorvex-scan --check on real volumes: nothing on every healthy one, and on
// copies with planted damage exactly the planted ranges, whose positions come
// from the independent reader's view of the original, not from our own.
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sys/wait.h>

namespace lorvex::test {
namespace {

struct Outcome {
    int status = -1;
    std::string out;
};

Outcome Check(const std::filesystem::path& source, const std::string& extra = "",
              const std::string& action = "--check") {
    Outcome o;
    const std::string command = std::string("'") + LORVEX_SCAN + "' " + Quote(source) + " " +
                                extra + " " + action + " </dev/null 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[65536];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        o.out.append(buffer, n);
    }
    const int raw = pclose(pipe);
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return o;
}

// The problem lines of a check's output (all but the summary at its end).
std::vector<std::string> ProblemLines(const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    if (!lines.empty()) {
        lines.pop_back();
    }
    return lines;
}

const std::string kCleanSummary =
    "0 problems: owned-free 0, unowned-used 0, cross-linked 0, beyond-end 0, bad-cluster 0, "
    "mirror-differs 0, bad-record 0\n";

TEST(CheckCommand, HealthyVolumesShowNoProblem) {
    std::vector<NtfsVolumeCase> cases = OracleVolumes();
    for (const char* name : {"ntfs-small", "ntfs-2m", "deep-chain"}) {
        cases.push_back({name, VolumeDir() / (std::string(name) + ".img"), 0, 0});
    }
    int windows = 0;
    for (const auto& v : cases) {
        SCOPED_TRACE(v.name);
        windows += v.name.starts_with("windows") ? 1 : 0;
        const auto o = Check(v.source, "--drive " + std::to_string(v.partitionIndex + 1));
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, kCleanSummary);
    }
    if (windows == 0) {
        GTEST_SKIP() << "the Windows sample volumes are not unpacked";
    }
}

// What the independent reader says of the original volume.
class Oracle {
  public:
    explicit Oracle(std::filesystem::path image, std::uint64_t offsetSectors = 0)
        : FImage(std::move(image)), FOffset(" -o " + std::to_string(offsetSectors) + " ") {}

    std::int64_t TotalClusters() const {
        const std::string range =
            After(Run("fsstat" + FOffset + Quote(FImage)), "Total Cluster Range: 0 - ");
        return std::stoll(range) + 1;
    }
    std::int64_t RecordOf(const std::string& path) const {
        return std::stoll(Run("ifind" + FOffset + "-n " + Quote(path) + " " + Quote(FImage)));
    }
    // The runs of the record's unnamed $DATA: (start, length).
    std::vector<std::pair<std::int64_t, std::int64_t>> Runs(std::int64_t record) const {
        const std::string text =
            Run("istat" + FOffset + "-r " + Quote(FImage) + " " + std::to_string(record));
        const auto data = text.find("Type: $DATA (128-");
        std::vector<std::pair<std::int64_t, std::int64_t>> runs;
        if (data == std::string::npos) {
            return runs;
        }
        std::istringstream in(text.substr(data));
        std::string line;
        std::getline(in, line);
        const std::regex run(R"(\s*Starting address: (\d+), length: (\d+)\s*)");
        std::smatch m;
        while (std::getline(in, line) && std::regex_match(line, m, run)) {
            runs.emplace_back(std::stoll(m[1]), std::stoll(m[2]));
        }
        return runs;
    }
    bool Allocated(std::int64_t lcn) const {
        return Run("blkstat" + FOffset + Quote(FImage) + " " + std::to_string(lcn))
                   .find("Not Allocated") == std::string::npos;
    }
    // The highest cluster the bitmap marks free.
    std::int64_t LastFree() const {
        for (std::int64_t lcn = TotalClusters() - 1; lcn > 0; --lcn) {
            if (!Allocated(lcn)) {
                return lcn;
            }
        }
        return -1;
    }

    // "Cluster Size: N" and the record size from the $MFT's own record.
    std::int64_t ClusterSize() const {
        return std::stoll(After(Run("fsstat" + FOffset + Quote(FImage)), "Cluster Size: "));
    }

  private:
    std::filesystem::path FImage;
    std::string FOffset;
};

// "\Folder\data.bin" for the reader's "/Folder/data.bin".
std::string Windows(std::string path) {
    std::ranges::replace(path, '/', '\\');
    return path;
}

std::string Line(const std::string& kind, std::int64_t first, std::int64_t count,
                 const std::vector<std::pair<std::int64_t, std::string>>& claimants = {}) {
    std::string line = kind + " " + std::to_string(first) + " " + std::to_string(count);
    for (const auto& [record, path] : claimants) {
        line += "\t" + std::to_string(record) + "\t" + path;
    }
    return line;
}

class PlantedDamage : public ::testing::Test {
  protected:
    void SetUp() override {
        FOriginal = VolumeDir() / "ntfs-small.img";
        if (!std::filesystem::exists(FOriginal)) {
            GTEST_SKIP() << "no " << FOriginal;
        }
        FDir = TempPath("planted");
        std::filesystem::create_directories(FDir);
    }
    void TearDown() override { std::filesystem::remove_all(FDir); }

    // A copy of the original (or of `original`) with `actions` planted.
    std::filesystem::path Plant(const std::string& name, const std::string& actions,
                                const std::filesystem::path& original = {}) {
        const auto copy = FDir / name;
        const std::string tool = std::string(LORVEX_TOOLS_DIR) + "/plant-damage";
        EXPECT_EQ(std::system((Quote(tool) + " " + Quote(original.empty() ? FOriginal : original) +
                               " " + Quote(copy) + " " + actions + " 2>&1")
                                  .c_str()),
                  0);
        return copy;
    }

    void ExpectExactly(const std::filesystem::path& copy, std::vector<std::string> expected) {
        const auto o = Check(copy);
        EXPECT_EQ(o.status, 3) << o.out;
        auto lines = ProblemLines(o.out);
        std::ranges::sort(lines);
        std::ranges::sort(expected);
        EXPECT_EQ(lines, expected) << o.out;
    }

    std::filesystem::path FOriginal;
    std::filesystem::path FDir;
};

TEST_F(PlantedDamage, BitsFlippedInTheBitmap) {
    const Oracle oracle(FOriginal);
    const std::string data = "/Folder/data.bin";
    const std::int64_t record = oracle.RecordOf(data);
    const auto runs = oracle.Runs(record);
    ASSERT_FALSE(runs.empty());
    const std::int64_t owned = runs.front().first + 1;
    const std::int64_t free = oracle.LastFree();
    ASSERT_TRUE(oracle.Allocated(owned));
    ASSERT_GT(free, 0);
    const auto copy = Plant("bits.img", "bitmap-clear:" + std::to_string(owned) +
                                            " bitmap-set:" + std::to_string(free));
    ExpectExactly(copy, {Line("owned-free", owned, 1, {{record, Windows(data)}}),
                         Line("unowned-used", free, 1)});
}

TEST_F(PlantedDamage, RunMovedOntoAnotherFilesClusters) {
    const Oracle oracle(FOriginal);
    const std::string mover = "/Folder/frag.bin";
    const std::string victim = "/Folder/data.bin";
    const std::int64_t moverRecord = oracle.RecordOf(mover);
    const std::int64_t victimRecord = oracle.RecordOf(victim);
    const auto moverRuns = oracle.Runs(moverRecord);
    const auto victimRuns = oracle.Runs(victimRecord);
    ASSERT_GT(moverRuns.size(), 1U);
    ASSERT_FALSE(victimRuns.empty());
    const auto [from, length] = moverRuns.front();
    ASSERT_LE(length, victimRuns.front().second);
    const std::int64_t to = victimRuns.front().first;
    const auto copy =
        Plant("cross.img", "move-run:" + std::to_string(moverRecord) + ":" + std::to_string(to));
    // The clusters the run left stay set in the bitmap with no owner.
    const auto sorted = [](std::int64_t a, const std::string& pa, std::int64_t b,
                           const std::string& pb) {
        return a < b ? std::vector<std::pair<std::int64_t, std::string>>{{a, pa}, {b, pb}}
                     : std::vector<std::pair<std::int64_t, std::string>>{{b, pb}, {a, pa}};
    };
    ExpectExactly(copy, {Line("unowned-used", from, length),
                         Line("cross-linked", to, length,
                              sorted(moverRecord, Windows(mover), victimRecord, Windows(victim)))});
}

TEST_F(PlantedDamage, RunPastTheEnd) {
    const Oracle oracle(FOriginal);
    const std::string data = "/Folder/data.bin";
    const std::int64_t record = oracle.RecordOf(data);
    const auto runs = oracle.Runs(record);
    ASSERT_EQ(runs.size(), 1U);
    const auto [from, length] = runs.front();
    const std::int64_t total = oracle.TotalClusters();
    ASSERT_GT(length, 1);
    // The run now starts on the volume's last cluster, which is free.
    ASSERT_FALSE(oracle.Allocated(total - 1));
    const auto copy =
        Plant("past.img", "move-run:" + std::to_string(record) + ":" + std::to_string(total - 1));
    ExpectExactly(copy, {Line("unowned-used", from, length),
                         Line("owned-free", total - 1, 1, {{record, Windows(data)}}),
                         Line("beyond-end", total, length - 1, {{record, Windows(data)}})});
}

TEST_F(PlantedDamage, TornRecordMirrorAndBadCluster) {
    const Oracle oracle(FOriginal);
    const std::string tiny = "/Folder/Sub/tiny.txt";
    const std::int64_t record = oracle.RecordOf(tiny);
    const auto mftRuns = oracle.Runs(0);
    ASSERT_EQ(mftRuns.size(), 1U);
    const auto facts = ReadFacts(VolumeDir() / "ntfs-small.facts");
    const std::int64_t recordSize = std::stoll(facts.at("record_size"));
    const std::int64_t clusterSize = std::stoll(facts.at("cluster_size"));
    const std::int64_t free = oracle.LastFree();
    const auto copy =
        Plant("records.img", "tear-record:" + std::to_string(record) +
                                 " mirror-differs:3 bad-cluster:" + std::to_string(free));
    ExpectExactly(copy,
                  {Line("bad-record", mftRuns.front().first + record * recordSize / clusterSize, 1,
                        {{record, "(not readable)"}}),
                   Line("mirror-differs", mftRuns.front().first + 3 * recordSize / clusterSize, 1,
                        {{3, "\\$Volume"}}),
                   Line("bad-cluster", free, 1, {{8, "\\$BadClus"}})});
}

// Where a cluster holds more than four records, $MFTMirr spans that
// cluster, but NTFS keeps only records 0-3 mirrored: Windows leaves the
// rest as formatting wrote them while the $MFT's own records change. Such a
// volume is healthy; a difference in records 0-3 is still found.
TEST_F(PlantedDamage, OnlyTheFirstFourRecordsAreKeptMirrored) {
    for (const std::string name : {"ntfs-64k", "ntfs-2m"}) {
        SCOPED_TRACE(name);
        const auto image = VolumeDir() / (name + ".img");
        const auto facts = ReadFacts(VolumeDir() / (name + ".facts"));
        const std::int64_t recordSize = std::stoll(facts.at("record_size"));
        const std::int64_t clusterSize = std::stoll(facts.at("cluster_size"));
        ASSERT_GT(clusterSize / recordSize, 4);
        // The root directory, $Extend and every file the facts name (on
        // the 2 MiB volume all inside the mirror's cluster), newer than
        // their copies.
        std::set<std::int64_t> records{4, 5, 11};
        for (const auto& [key, value] : facts) {
            if (key.ends_with("_record")) {
                records.insert(std::stoll(value));
            }
        }
        std::string newer;
        for (const std::int64_t n : records) {
            newer += " mft-newer:" + std::to_string(n);
        }
        const auto left = Plant(name + "-windows.img", newer, image);
        const auto o = Check(left);
        EXPECT_EQ(o.status, 0) << o.out;
        EXPECT_EQ(o.out, kCleanSummary);

        // The $MFT's first cluster, as the boot sector gives it.
        std::ifstream boot(image, std::ios::binary);
        boot.seekg(0x30);
        unsigned char lcn[8] = {};
        boot.read(reinterpret_cast<char*>(lcn), sizeof(lcn));
        std::int64_t mft = 0;
        for (int i = 7; i >= 0; --i) {
            mft = mft * 256 + lcn[i];
        }
        const auto damaged = Plant(name + "-mirror.img", newer + " mirror-differs:2", image);
        ExpectExactly(damaged, {Line("mirror-differs", mft + 2 * recordSize / clusterSize, 1,
                                     {{2, "\\$LogFile"}})});
        std::filesystem::remove(left);
        std::filesystem::remove(damaged);
    }
}

// A bad area of a mapfile, in bytes of the source.
struct Area {
    std::uint64_t first = 0;
    std::uint64_t length = 0;
    char status = '-';
};

// A mapfile as the rescue tool writes it: every byte of the source in a
// block, the good ones '+', in hexadecimal.
std::string Mapfile(std::vector<Area> bad, std::uint64_t sourceSize) {
    std::ranges::sort(bad, [](const Area& a, const Area& b) { return a.first < b.first; });
    std::ostringstream out;
    const auto hex = [](std::uint64_t v) {
        char text[32];
        std::snprintf(text, sizeof(text), "0x%08llX", static_cast<unsigned long long>(v));
        return std::string(text);
    };
    out << "# Mapfile. Created by GNU ddrescue version 1.27\n"
        << "# current_pos  current_status  current_pass\n"
        << hex(0) << "     +               1\n"
        << "#      pos        size  status\n";
    std::uint64_t at = 0;
    for (const Area& a : bad) {
        if (a.first > at) {
            out << hex(at) << "  " << hex(a.first - at) << "  +\n";
        }
        out << hex(a.first) << "  " << hex(a.length) << "  " << a.status << "\n";
        at = a.first + a.length;
    }
    out << hex(at) << "  " << hex(sourceSize - at) << "  +\n";
    return out.str();
}

void WriteText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Two files' clusters (one only in part of a cluster) and one $MFT record on
// bad areas of a whole source, on a volume at the start of an image and on a
// partition of a whole-disk image: exactly those files, that record and the
// $MFT's own bytes are named, at byte positions the independent reader gives.
TEST(DamageMap, MapfileNamesExactlyTheFilesAndTheRecordOnIt) {
    struct Case {
        const char* image;
        std::uint64_t offsetSectors;
    };
    for (const Case& c : {Case{"ntfs-small.img", 0}, Case{"mbr-disk.img", 2048}}) {
        const auto image = VolumeDir() / c.image;
        SCOPED_TRACE(c.image);
        const Oracle oracle(image, c.offsetSectors);
        const std::uint64_t base = c.offsetSectors * 512;
        const std::int64_t cs = oracle.ClusterSize();
        const std::int64_t rs = 1024;
        const std::int64_t data = oracle.RecordOf("/Folder/data.bin");
        const std::int64_t frag = oracle.RecordOf("/Folder/frag.bin");
        const std::int64_t readme = oracle.RecordOf("/readme.txt");
        const auto dataRuns = oracle.Runs(data);
        const auto fragRuns = oracle.Runs(frag);
        const auto mftRuns = oracle.Runs(0);
        ASSERT_FALSE(dataRuns.empty());
        ASSERT_FALSE(fragRuns.empty());
        ASSERT_FALSE(mftRuns.empty());
        ASSERT_GT(mftRuns.front().second * cs, (readme + 1) * rs);
        const auto at = [&](std::int64_t lcn) {
            return base + static_cast<std::uint64_t>(lcn * cs);
        };
        const std::vector<Area> bad{
            {at(dataRuns.front().first) + 100, 1000, '-'},
            {at(fragRuns.front().first), static_cast<std::uint64_t>(cs), '/'},
            {at(mftRuns.front().first) + static_cast<std::uint64_t>(readme * rs),
             static_cast<std::uint64_t>(rs), '*'}};
        const auto mapfile = TempPath("damage.map");
        WriteText(mapfile, Mapfile(bad, std::filesystem::file_size(image)));
        const auto o = Check(image, "--drive 1", "--damage " + Quote(mapfile));
        std::filesystem::remove(mapfile);
        EXPECT_EQ(o.status, 3) << o.out;
        const auto tab = [](std::initializer_list<std::string> fields) {
            std::string line;
            for (const auto& f : fields) {
                line += (line.empty() ? "" : "\t") + f;
            }
            return line;
        };
        const std::vector<std::string> expected{
            tab({"file", "0", "\\$MFT", "$DATA", std::to_string(readme * rs), std::to_string(rs),
                 "*"}),
            tab({"file", std::to_string(data), "\\Folder\\data.bin", "$DATA", "100", "1000", "-"}),
            tab({"file", std::to_string(frag), "\\Folder\\frag.bin", "$DATA", "0",
                 std::to_string(cs), "/"}),
            tab({"record", std::to_string(readme), "\\readme.txt", "*"}),
        };
        auto lines = ProblemLines(o.out);
        std::ranges::sort(lines);
        auto sortedExpected = expected;
        std::ranges::sort(sortedExpected);
        EXPECT_EQ(lines, sortedExpected) << o.out;
    }
}

TEST(DamageMap, BadMapsAreRefusedWithTheirLine) {
    const auto image = VolumeDir() / "ntfs-small.img";
    const auto map = TempPath("bad.map");
    const auto run = [&](const std::string& text, const std::string& extra = "") {
        WriteText(map, text);
        return Check(image, extra, "--damage " + Quote(map));
    };
    const std::string head = "# Mapfile\n0x0 + 1\n";
    auto o = run(head + "0x0 0x1000 +\n0x1000 0x1000 -\n0x1000 zz -\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("line 5"), std::string::npos) << o.out;
    o = run(head + "0x2000 0x1000 -\n0x1000 0x1000 -\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("line 4"), std::string::npos) << o.out;
    o = run("");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("empty"), std::string::npos) << o.out;
    // Past the source's end: set aside with a note, the rest still read.
    o = run(head + "0x0 0x100000000 -\n");
    EXPECT_NE(o.out.find("past the source's end"), std::string::npos) << o.out;
    EXPECT_EQ(o.status, 3);
    // A sector list in any order, each sector once.
    o = run("7\n3\n\n3\n", "--sector-size 512");
    EXPECT_EQ(o.status, 3) << o.out;
    EXPECT_NE(o.out.find("file\t7\t\\$Boot\t$DATA\t1536\t512\t"), std::string::npos) << o.out;
    o = run("12\nx13\n", "--sector-size 512");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.out.find("line 2"), std::string::npos) << o.out;
    std::filesystem::remove(map);
}

} // namespace
} // namespace lorvex::test

namespace lorvex::test {
namespace {

// The check's rows in JSON and CSV are its text lines, read back by an
// independent parser, with the same exit status.
TEST(CheckCommand, JsonAndCsvRowsAreTheTextLines) {
    const auto image = VolumeDir() / "damaged-mft-bitmap.img";
    ASSERT_TRUE(std::filesystem::exists(image));
    const Outcome text = Check(image, "2>/dev/null");
    ASSERT_EQ(text.status, 3) << text.out;
    std::string expected;
    for (const std::string& line : ProblemLines(text.out)) {
        std::istringstream fields(line);
        std::string kind, first, count;
        fields >> kind >> first >> count;
        expected += kind + " " + first + " " + count + "\n";
    }
    ASSERT_FALSE(expected.empty());
    const std::string reader = " | python3 -c \"import csv, json, sys\n"
                               "text = sys.stdin.read()\n"
                               "if sys.argv[1] == 'json':\n"
                               "    rows = json.loads(text)['drives'][0]['check']\n"
                               "else:\n"
                               "    rows = list(csv.DictReader(text.splitlines()))\n"
                               "for r in rows: print(r['kind'], r['first_lcn'], r['count'])\" ";
    // The helper's own redirections then go to the no-op after it.
    for (const std::string format : {"json", "csv"}) {
        SCOPED_TRACE(format);
        const Outcome rows = Check(
            image, "--check --format " + format + " 2>/dev/null" + reader + format + "; :", "");
        EXPECT_EQ(rows.out, expected);
        const Outcome status =
            Check(image, "--check --format " + format + " >/dev/null 2>&1; echo $?", "");
        EXPECT_EQ(status.out, "3\n");
    }
}

} // namespace
} // namespace lorvex::test

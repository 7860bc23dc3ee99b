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

Outcome Check(const std::filesystem::path& source, const std::string& extra = "") {
    Outcome o;
    const std::string command = std::string("'") + LORVEX_SCAN + "' " + Quote(source) + " " +
                                extra + " --check </dev/null 2>/dev/null";
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
    explicit Oracle(std::filesystem::path image) : FImage(std::move(image)) {}

    std::int64_t TotalClusters() const {
        const std::string range =
            After(Run("fsstat " + Quote(FImage)), "Total Cluster Range: 0 - ");
        return std::stoll(range) + 1;
    }
    std::int64_t RecordOf(const std::string& path) const {
        return std::stoll(Run("ifind -n " + Quote(path) + " " + Quote(FImage)));
    }
    // The runs of the record's unnamed $DATA: (start, length).
    std::vector<std::pair<std::int64_t, std::int64_t>> Runs(std::int64_t record) const {
        const std::string text = Run("istat -r " + Quote(FImage) + " " + std::to_string(record));
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
        return Run("blkstat " + Quote(FImage) + " " + std::to_string(lcn)).find("Not Allocated") ==
               std::string::npos;
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

  private:
    std::filesystem::path FImage;
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

    // A copy of the original with `actions` planted.
    std::filesystem::path Plant(const std::string& name, const std::string& actions) {
        const auto copy = FDir / name;
        const std::string tool = std::string(LORVEX_TOOLS_DIR) + "/plant-damage";
        EXPECT_EQ(std::system((Quote(tool) + " " + Quote(FOriginal) + " " + Quote(copy) + " " +
                               actions + " 2>&1")
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

} // namespace
} // namespace lorvex::test

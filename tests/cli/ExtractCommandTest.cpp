// lorvex-scan --extract on the volume of deleted files: every stream of every
// file, live and deleted, compressed, sparse and named, gives the bytes the
// independent reader gives; the refusals say what the record is; the ranges
// other files took are named.
#include "ntfs/NtfsVolume.h"
#include "platform/RawVolumeSystem.h"
#include "support/ScanRun.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

namespace lorvex::test {
namespace {

std::filesystem::path DeletedVolume() {
    return LORVEX_DELETED_VOLUME;
}

Outcome Scan(const std::string& args) {
    return RunProgram(LORVEX_SCAN, Quote(DeletedVolume()) + " " + args);
}

class ExtractCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(DeletedVolume())) {
            GTEST_SKIP() << "no " << DeletedVolume() << " (tools/make-deleted-volume)";
        }
        facts_ = ReadFacts(DeletedVolume().string() + ".facts");
    }
    void TearDown() override {
        std::filesystem::remove(ours_);
        std::filesystem::remove(theirs_);
    }
    std::string Record(const std::string& key) { return facts_.at(key + "_record"); }

    std::map<std::string, std::string> facts_;
    std::filesystem::path ours_ = TempPath("lorvex-extract-ours");
    std::filesystem::path theirs_ = TempPath("lorvex-extract-theirs");
};

// The $DATA attributes the independent reader lists for a record: its id
// for icat, and the name ("" for the unnamed one).
std::vector<std::pair<std::string, std::string>> DataStreams(const std::string& istat) {
    std::vector<std::pair<std::string, std::string>> streams;
    static const std::regex kData(R"(Type: \$DATA \(128-(\d+)\)\s+Name: (\S+))");
    for (auto it = std::sregex_iterator(istat.begin(), istat.end(), kData);
         it != std::sregex_iterator(); ++it) {
        const std::string name = (*it)[2];
        streams.emplace_back((*it)[1], name == "N/A" ? "" : name);
    }
    return streams;
}

// What a walk over the streams of a volume compared.
struct Compared {
    int same = 0;
    int deleted = 0;
    int named = 0;
    int refusedByBoth = 0; // by the independent reader and, with the reason, by us
};

// A stream to compare: its record, its attribute id for icat, its name.
struct Target {
    std::int64_t record = 0;
    std::string id;
    std::string name;
};

// Every $DATA stream the independent reader lists for each record.
std::vector<Target> EveryRecordsStreams(const std::filesystem::path& image, std::int64_t count) {
    std::vector<Target> targets;
    for (std::int64_t record = 0; record < count; ++record) {
        const std::string istat =
            RunCommand("istat " + Quote(image) + " " + std::to_string(record) + " 2>/dev/null");
        for (auto& [id, name] : DataStreams(istat)) {
            targets.push_back({record, id, name});
        }
    }
    return targets;
}

// The $DATA streams of the files the independent reader lists by name:
// only those of more than a cluster, and the named ones, unless `all`.
std::vector<Target> NamedFilesStreams(const std::filesystem::path& image, bool all) {
    std::vector<Target> targets;
    static const std::regex kLine(
        R"(^\S+ (?:\* )?(\d+)-128-(\d+):\t([^\t]*)\t(?:[^\t]*\t){4}(\d+)\t)");
    std::istringstream in(RunCommand("fls -r -p -l " + Quote(image) + " 2>/dev/null"));
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, kLine)) {
            continue;
        }
        const std::string path = m[3];
        const auto slash = path.rfind('/');
        const auto colon = path.find(':', slash == std::string::npos ? 0 : slash);
        const std::string name = colon == std::string::npos ? "" : path.substr(colon + 1);
        if (all || !name.empty() || std::stoll(m[4]) > 4096) {
            targets.push_back({std::stoll(m[1]), m[2], name});
        }
    }
    return targets;
}

// Extracts each target of `image` into `ours` and compares it with what
// icat writes into `theirs`.
Compared CompareStreams(const std::filesystem::path& image, const std::vector<Target>& targets,
                        const std::filesystem::path& ours, const std::filesystem::path& theirs) {
    Compared c;
    platform::RawVolumeSystem system({image.string()});
    const ntfs::NtfsVolume volume(system, "C");
    for (const auto& [record, id, name] : targets) {
        const std::string number = std::to_string(record);
        const std::string what = number + (name.empty() ? "" : ":" + name);
        const auto o = RunProgram(LORVEX_SCAN, Quote(image) + " --extract " + Quote(what) + " -o " +
                                                   Quote(ours) + " --format json");
        if (o.err.find("extension record") != std::string::npos) {
            continue;
        }
        const bool icatRead =
            RunCommand("icat " + Quote(image) + " " + number + "-128-" + id + " >" + Quote(theirs) +
                       " 2>/dev/null && echo ok") == "ok\n";
        if (!icatRead) {
            // A compression unit that other files' bytes overwrote: the
            // independent reader stops there, and the extraction names it.
            EXPECT_EQ(o.status, 1) << what;
            EXPECT_NE(o.err.find("does not decompress"), std::string::npos) << what << o.err;
            ++c.refusedByBoth;
            continue;
        }
        EXPECT_EQ(o.status, 0) << what << ": " << o.err;
        if (o.status != 0) {
            continue;
        }
        if (record == 8 && name == "$Bad") {
            // The independent reader gives no bytes for $BadClus:$Bad, one
            // sparse run over the whole volume: zeros, as it reads.
            const std::string bad = ReadFile(ours);
            EXPECT_EQ(bad.find_first_not_of('\0'), std::string::npos);
            EXPECT_EQ(bad.size(), volume.geometry().totalClusters *
                                      std::int64_t{volume.geometry().bytesPerCluster});
            continue;
        }
        EXPECT_TRUE(ReadFile(ours) == ReadFile(theirs))
            << what << ": " << std::filesystem::file_size(ours) << " bytes against "
            << std::filesystem::file_size(theirs);
        const auto json = nlohmann::json::parse(o.out);
        EXPECT_EQ(json["written"], std::filesystem::file_size(ours)) << what;
        c.same += 1;
        c.deleted += json["deleted"].get<bool>() ? 1 : 0;
        c.named += name.empty() ? 0 : 1;
    }
    return c;
}

bool HaveIndependentReader() {
    return !RunCommand("command -v icat istat").empty();
}

TEST_F(ExtractCommand, EveryStreamIsWhatTheIndependentReaderReads) {
    if (!HaveIndependentReader()) {
        GTEST_SKIP() << "no icat or istat (The Sleuth Kit)";
    }
    platform::RawVolumeSystem system({DeletedVolume().string()});
    const std::int64_t count = ntfs::NtfsVolume(system, "C").geometry().recordCount;
    ASSERT_GT(count, 80);
    const Compared c = CompareStreams(DeletedVolume(), EveryRecordsStreams(DeletedVolume(), count),
                                      ours_, theirs_);
    // The fixture's kinds are all there: compressed, holes, named, deleted.
    EXPECT_GE(c.same, 30);
    EXPECT_GE(c.deleted, 10);
    EXPECT_GE(c.named, 3);
    EXPECT_GE(c.refusedByBoth, 1);
    for (const char* key : {"packedlive", "packedlivehole", "packedgonehole"}) {
        EXPECT_NE(
            RunCommand("istat " + Quote(DeletedVolume()) + " " + Record(key)).find("Compressed"),
            std::string::npos)
            << key;
    }
}

// The general test volume: a file whose runs lie in six extension records,
// a sparse file, compressed files, named streams of every size.
TEST_F(ExtractCommand, StreamsAcrossExtensionRecordsAreTheIndependentReaders) {
    const auto image = VolumeDir() / "ntfs-4k.img";
    if (!HaveIndependentReader() || !std::filesystem::exists(image)) {
        GTEST_SKIP() << "no icat or no " << image;
    }
    const Compared c =
        CompareStreams(image, NamedFilesStreams(image, Exhaustive()), ours_, theirs_);
    EXPECT_GE(c.same, 30);
    EXPECT_GE(c.named, 3);
}

TEST_F(ExtractCommand, RefusalsSayWhatTheRecordIs) {
    const std::string out = " -o " + Quote(ours_);
    auto o = Scan("--extract 5" + out);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("record 5 is a directory, not a file"), std::string::npos) << o.err;
    o = Scan("--extract " + Record("olddir") + out);
    EXPECT_NE(o.err.find("is a directory (deleted), not a file"), std::string::npos) << o.err;
    o = Scan("--extract 99999999" + out);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("record 99999999 is past the file table"), std::string::npos) << o.err;
    o = Scan("--extract " + Record("streams") + ":nothing" + out);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("has no data stream named \"nothing\""), std::string::npos) << o.err;
    o = Scan("--extract " + Record("ads") + ":nothing" + out);
    EXPECT_NE(o.err.find("(deleted) has no data stream"), std::string::npos) << o.err;
    EXPECT_FALSE(std::filesystem::exists(ours_)) << "a refused run leaves no empty file";

    // The arguments, before anything is read.
    for (const char* args : {"--extract 70", "--extract x -o -", "--extract 70 --files -o -",
                             "--extract 70 --format json -o -", "--extract 70 --format csv -o -"}) {
        o = Scan(args);
        EXPECT_EQ(o.status, 2) << args;
        EXPECT_NE(o.err.find("--extract"), std::string::npos) << args << ": " << o.err;
    }
    // Never into the source.
    o = RunProgram(LORVEX_SCAN,
                   Quote(DeletedVolume()) + " --extract 70 -o " + Quote(DeletedVolume()));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("a source"), std::string::npos) << o.err;
}

TEST_F(ExtractCommand, RangesOtherFilesTookAreNamed) {
    const std::string big1 = Record("big1");
    const auto o = Scan("--extract " + big1 + " -o " + Quote(ours_) + " --format json");
    ASSERT_EQ(o.status, 0) << o.err;
    const auto json = nlohmann::json::parse(o.out);
    EXPECT_TRUE(json["deleted"].get<bool>());
    const auto& ranges = json["overwritten"];
    ASSERT_FALSE(ranges.empty()) << o.out;
    platform::RawVolumeSystem system({DeletedVolume().string()});
    ntfs::NtfsVolume volume(system, "C");
    auto records = volume.OpenRecordReader();
    std::uint64_t end = 0;
    for (const auto& range : ranges) {
        EXPECT_GE(range["offset"].get<std::uint64_t>(), end) << "in offset order";
        end = range["offset"].get<std::uint64_t>() + range["length"].get<std::uint64_t>();
        EXPECT_LE(end, json["size"].get<std::uint64_t>());
        // An owner is a live file's record, or a deleted one's that claims it.
        const auto owner = records.Read(range["owner"].get<std::int64_t>());
        ASSERT_TRUE(owner);
        EXPECT_EQ(owner->inUse(), range["state"] == "overwritten");
    }
    // One notice per range on standard error, and the same bytes on
    // standard output with -o -.
    std::size_t notices = 0;
    const std::string notice = "record " + big1 + ": bytes ";
    for (std::size_t at = 0; (at = o.err.find(notice, at)) != std::string::npos; ++at) {
        ++notices;
    }
    EXPECT_EQ(notices, ranges.size()) << o.err;
    const auto piped = Scan("--extract " + big1 + " -o -");
    EXPECT_EQ(piped.status, 0);
    EXPECT_TRUE(piped.out == ReadFile(ours_));
}

} // namespace
} // namespace lorvex::test

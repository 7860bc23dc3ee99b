// The deleted entries of the volume of deleted files against the independent
// reader: which deleted files there are and where, their sizes and deletion
// times, who owns their clusters now, and a planted broken record.
#include "ntfs/DeletedEntries.h"

#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "ondisk/ByteReader.h"
#include "ondisk/Utf16.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

namespace lorvex::test {
namespace {

using ntfs::DeletedEntries;
using ntfs::PieceState;

std::filesystem::path DeletedVolume() {
    return LORVEX_DELETED_VOLUME;
}

// One scan of a volume: the live tables, then the deleted entries cut by them.
struct Scanned {
    explicit Scanned(const std::filesystem::path& image, char letter = 'C')
        : system({image.string()}), volume(system, std::string(1, letter)) {
        ntfs::RunScanStages(volume, live, clusters, {});
        deleted = ntfs::CollectDeletedEntries(volume);
        ntfs::CutDeletedRuns(deleted, live, clusters, volume.geometry().totalClusters);
    }
    platform::RawVolumeSystem system;
    ntfs::NtfsVolume volume;
    ntfs::TFileIDs live;
    ntfs::TClusterArray clusters;
    DeletedEntries deleted;
};

class DeletedOracle : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (std::filesystem::exists(DeletedVolume())) {
            scan_ = std::make_unique<Scanned>(DeletedVolume());
            facts_ = ReadFacts(DeletedVolume().string() + ".facts");
        }
    }
    static void TearDownTestSuite() { scan_.reset(); }
    void SetUp() override {
        if (!scan_) {
            GTEST_SKIP() << "no " << DeletedVolume() << " (tools/make-deleted-volume)";
        }
    }

    // The independent reader's `tool` with `options`, on the volume, then
    // `operand`.
    static std::string Tool(const std::string& tool, const std::string& operand = "") {
        return RunCommand("TZ=UTC " + tool + " " + Quote(DeletedVolume()) + " " + operand +
                          " 2>/dev/null");
    }
    static const ntfs::DeletedEntry& Entry(const std::string& key) {
        const auto index = scan_->deleted.IndexOf(std::stoll(facts_.at(key + "_record")));
        if (!index) {
            throw std::runtime_error("no deleted entry " + key);
        }
        return scan_->deleted.entries()[*index];
    }
    static std::set<std::string> Paths(const ntfs::DeletedEntry& entry);

    static std::unique_ptr<Scanned> scan_;
    static std::map<std::string, std::string> facts_;
};

std::unique_ptr<Scanned> DeletedOracle::scan_;
std::map<std::string, std::string> DeletedOracle::facts_;

// The paths of an entry through each of its names.
std::set<std::string> PathsOf(const Scanned& scan, std::size_t index) {
    std::set<std::string> paths;
    for (std::size_t n = 0; n < scan.deleted.entries()[index].nameCount; ++n) {
        paths.insert(ondisk::ToUtf8(scan.deleted.Path(index, n, scan.live)));
    }
    return paths;
}

std::set<std::string> DeletedOracle::Paths(const ntfs::DeletedEntry& entry) {
    return PathsOf(*scan_, *scan_->deleted.IndexOf(entry.record));
}

// "2026-12-09 20:46:20.123456700 (UTC)", as the independent reader shows a
// time.
std::string ShownTime(std::int64_t fileTime) {
    constexpr std::int64_t kTicks = 10'000'000;
    constexpr std::int64_t kUnixEpoch = 11'644'473'600;
    const std::time_t seconds = fileTime / kTicks - kUnixEpoch;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%09lld",
                  static_cast<long long>(fileTime % kTicks * 100));
    return std::string(text) + fraction + " (UTC)";
}

// Checks that every deleted file of `listing` (the independent reader's
// recursive listing of deleted names with paths) has an entry of the same
// record with that path, a named stream's line a stream of that name, and a
// directory's an entry that is one; names whose record was reused, and the
// reader's own names for records without one, are not deleted entries.
// Gives the number of lines checked.
int CheckListedDeletedFiles(const Scanned& scan, const std::string& listing) {
    std::istringstream in(listing);
    int seen = 0;
    for (std::string line; std::getline(in, line);) {
        const auto star = line.find("* ");
        const auto tab = line.find('\t');
        if (star == std::string::npos || tab == std::string::npos ||
            line.find("OrphanFile-") != std::string::npos ||
            line.find("(realloc)") != std::string::npos) {
            continue;
        }
        SCOPED_TRACE(line);
        std::string path = line.substr(tab + 1);
        const std::int64_t record = std::stoll(line.substr(star + 2));
        std::string stream;
        if (const auto colon = path.find(':', path.rfind('/') + 1); colon != std::string::npos) {
            stream = path.substr(colon + 1);
            path.resize(colon);
        }
        if (path.starts_with("$OrphanFiles/")) {
            path = "$### ORPHAN ###/" + path.substr(13);
        }
        path = "\\" + path;
        std::ranges::replace(path, '/', '\\');
        const auto index = scan.deleted.IndexOf(record);
        EXPECT_TRUE(index);
        if (!index) {
            continue;
        }
        const auto& entry = scan.deleted.entries()[*index];
        EXPECT_TRUE(PathsOf(scan, *index).contains(path));
        EXPECT_EQ(entry.directory, line.starts_with("-/d"));
        if (!stream.empty()) {
            bool found = false;
            for (const auto& s : scan.deleted.Streams(entry)) {
                found |= ondisk::ToUtf8(scan.deleted.NameOf(s)) == stream;
            }
            EXPECT_TRUE(found) << stream;
        }
        ++seen;
    }
    return seen;
}

TEST_F(DeletedOracle, EveryDeletedFileTheIndependentReaderListsIsFoundWithItsPath) {
    EXPECT_GE(CheckListedDeletedFiles(*scan_, Tool("fls -rd -p")), 12);
}

// The same on the other generated volumes and the partitions of the disks,
// whatever deleted files their making left.
TEST(DeletedOracleVolumes, EveryDeletedFileTheIndependentReaderListsIsFoundWithItsPath) {
    for (const auto& v : OracleVolumes()) {
        SCOPED_TRACE(v.name);
        const Scanned scan(v.source, static_cast<char>('C' + v.partitionIndex));
        CheckListedDeletedFiles(scan, Oracle("fls", v, "-rd -p"));
        EXPECT_EQ(scan.deleted.counts().brokenRecords, 0);
    }
}

// Damaged volumes (a torn $MFT record, a damaged bitmap, a $MFT past the
// end, odd geometry) give what they give, quickly and without a fault.
TEST(DeletedOracleVolumes, DamagedVolumesAreWalkedQuickly) {
    int walked = 0;
    for (const auto& file : std::filesystem::directory_iterator(VolumeDir())) {
        const std::string name = file.path().filename().string();
        if (!name.starts_with("damaged-") || !name.ends_with(".img")) {
            continue;
        }
        SCOPED_TRACE(name);
        platform::RawVolumeSystem system({file.path().string()});
        ntfs::NtfsVolume volume(system, "C");
        ntfs::TFileIDs live;
        ntfs::TClusterArray clusters;
        try {
            ntfs::RunScanStages(volume, live, clusters, {});
        } catch (const std::exception&) {
            live.Clear();
            clusters.clear();
        }
        auto deleted = ntfs::CollectDeletedEntries(volume);
        ntfs::CutDeletedRuns(deleted, live, clusters, volume.geometry().totalClusters);
        for (std::size_t i = 0; i < deleted.entries().size(); ++i) {
            EXPECT_FALSE(deleted.Path(i, 0, live).empty());
        }
        ++walked;
    }
    EXPECT_GT(walked, 0);
}

// The unnamed and named $DATA sizes and the record-changed time of
// $STANDARD_INFORMATION are those the independent reader shows.
TEST_F(DeletedOracle, SizesAndDeletedTimesAgreeWithTheIndependentReader) {
    const std::regex data(
        R"(Type: \$DATA \(128-\d+\)\s+Name: (\S+)\s+(Non-Resident|Resident)(?:, \w+)*\s+)"
        R"(size: (\d+)(?:\s+init_size: (\d+))?)");
    int files = 0;
    for (const auto& entry : scan_->deleted.entries()) {
        SCOPED_TRACE(entry.record);
        const std::string istat = Tool("istat", std::to_string(entry.record));
        const auto si = istat.find("$STANDARD_INFORMATION Attribute Values:");
        ASSERT_NE(si, std::string::npos);
        EXPECT_EQ(After(istat.substr(si), "MFT Modified:\t"), ShownTime(entry.deletedTime));
        EXPECT_EQ(After(istat.substr(si), "Created:\t"), ShownTime(entry.creationTime));
        std::map<std::string, std::pair<std::int64_t, std::int64_t>> theirs;
        for (std::sregex_iterator it(istat.begin(), istat.end(), data), end; it != end; ++it) {
            const std::int64_t size = std::stoll((*it)[3]);
            theirs[(*it)[1] == "N/A" ? "" : (*it)[1].str()] = {
                size, (*it)[4].matched ? std::stoll((*it)[4]) : size};
        }
        std::map<std::string, std::pair<std::int64_t, std::int64_t>> ours;
        for (const auto& s : scan_->deleted.Streams(entry)) {
            ours[ondisk::ToUtf8(scan_->deleted.NameOf(s))] = {s.size, s.initialized};
        }
        EXPECT_EQ(ours, theirs);
        if (!entry.directory) {
            EXPECT_EQ(entry.size, theirs[""].first);
            ++files;
        }
    }
    EXPECT_GE(files, 10);
}

// A cluster of a deleted file that a live file took is that file's by the
// independent reader too; one still free is no live file's.
TEST_F(DeletedOracle, OverwrittenClustersNameTheOwnerTheIndependentReaderNames) {
    int overwritten = 0;
    int free = 0;
    for (const auto& entry : scan_->deleted.entries()) {
        for (const auto& s : scan_->deleted.Streams(entry)) {
            for (const auto& p : scan_->deleted.Pieces(s)) {
                if (p.state != PieceState::kOverwritten && p.state != PieceState::kFree) {
                    continue;
                }
                for (const std::int64_t lcn : {p.lcn, p.lcn + p.length - 1}) {
                    SCOPED_TRACE(std::to_string(entry.record) + " at " + std::to_string(lcn));
                    std::set<std::int64_t> liveOwners;
                    std::istringstream in(Tool("ifind -a -d " + std::to_string(lcn)));
                    for (std::string line; std::getline(in, line);) {
                        // Not an owner: the reader's complaint about a
                        // deleted compressed file whose units it cannot walk.
                        if (line.empty() || line[0] < '0' || line[0] > '9') {
                            continue;
                        }
                        const std::int64_t record = std::stoll(line);
                        if (scan_->live.IndexOfID(record) >= 0) {
                            liveOwners.insert(record);
                        }
                    }
                    if (p.state == PieceState::kOverwritten) {
                        EXPECT_EQ(liveOwners, std::set<std::int64_t>{p.overwrittenBy});
                        ++overwritten;
                    } else {
                        EXPECT_TRUE(liveOwners.empty());
                        ++free;
                    }
                }
            }
        }
    }
    EXPECT_GT(overwritten, 0);
    EXPECT_GT(free, 0);
}

// Every kind the volume was made with is there: a deleted directory giving
// its deleted children their paths, an orphan whose directory's record was
// reused, a file whose hard links went, a fragmented file, a named stream, a resident
// file, and clusters both lost and left; the claim index finds them.
TEST_F(DeletedOracle, EveryKindOfDeletedFileIsThere) {
    const DeletedEntries& d = scan_->deleted;
    EXPECT_TRUE(Entry("olddir").directory);
    EXPECT_EQ(Paths(Entry("grand")), std::set<std::string>{"\\olddir\\sub\\grand.bin"});
    EXPECT_EQ(Paths(Entry("orphan")), std::set<std::string>{"\\$### ORPHAN ###\\orphan.bin"});
    // Unlinking a name takes its $FILE_NAME out of the record: a file whose
    // links went one by one keeps the name it lost last.
    EXPECT_EQ(Paths(Entry("links")), std::set<std::string>{"\\keep\\second.bin"});
    const auto& frag = Entry("frag");
    EXPECT_GE(d.Pieces(d.Streams(frag)[0]).size(), 6U);
    const auto& ads = Entry("ads");
    ASSERT_EQ(ads.streamCount, 2U);
    EXPECT_EQ(ondisk::ToUtf8(d.NameOf(d.Streams(ads)[1])), "secret");
    const auto& small = Entry("small");
    ASSERT_EQ(small.streamCount, 1U);
    ASSERT_TRUE(d.Streams(small)[0].resident);
    auto reader = scan_->volume.OpenRecordReader();
    EXPECT_EQ(ntfs::ReadResidentValue(reader, d.Streams(small)[0]).size(), 200U);
    const auto& big1 = Entry("big1");
    EXPECT_GT(big1.overwrittenClusters, 0);
    EXPECT_GT(big1.recoverableClusters, 0);
    EXPECT_EQ(big1.overwrittenClusters + big1.recoverableClusters, 64);
    const auto first = d.Pieces(d.Streams(big1)[0]).front();
    const auto claiming = d.EntriesClaiming(first.lcn);
    EXPECT_TRUE(std::ranges::find(claiming, *d.IndexOf(big1.record)) != claiming.end());
    EXPECT_EQ(d.counts().brokenRecords, 0);
}

// The byte offset of record `number` in an image, found by its own number
// in its header.
std::int64_t RecordOffset(const std::string& image, std::int64_t number) {
    for (std::size_t at = 0; at + 1024 <= image.size(); at += 1024) {
        if (image.compare(at, 4, "FILE") == 0 &&
            ondisk::ByteReader(std::as_bytes(std::span(image))).u32(at + 0x2C) ==
                static_cast<std::uint32_t>(number)) {
            return static_cast<std::int64_t>(at);
        }
    }
    return -1;
}

// A deleted file's record with a broken update sequence is counted, not
// listed; the others stay as they were.
TEST_F(DeletedOracle, AFreeRecordWithABrokenUpdateSequenceIsCountedNotListed) {
    std::string image = ReadFile(DeletedVolume());
    const std::int64_t small = std::stoll(facts_.at("small_record"));
    const std::int64_t at = RecordOffset(image, small);
    ASSERT_GE(at, 0);
    image[static_cast<std::size_t>(at) + 510] ^= 0x5A;
    const auto copy = TempPath("deleted-torn.img");
    std::ofstream(copy, std::ios::binary)
        .write(image.data(), static_cast<std::streamsize>(image.size()));
    {
        const Scanned torn(copy);
        EXPECT_EQ(torn.deleted.counts().brokenRecords, 1);
        EXPECT_FALSE(torn.deleted.IndexOf(small));
        EXPECT_EQ(torn.deleted.entries().size() + 1, scan_->deleted.entries().size());
    }
    std::filesystem::remove(copy);
}

} // namespace
} // namespace lorvex::test

// The file table read from the $MFT in blocks on several threads against
// the same table read a record at a time, and the walk that does it.
#include "ntfs/RecordBlocks.h"

#include "ntfs/ClusterMap.h"
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "ondisk/Utf16.h"
#include "platform/RawVolumeSystem.h"
#include "support/QueryOnlyVolumeApi.h"
#include "support/Volumes.h"

#include "RecordBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace lorvex::test {
namespace {

using ntfs::TRecordBlock;
using ntfs::TRecordBlockWalk;

// Records of 1 KiB whose first eight bytes are their own number; every
// seventh is not readable.
class NumberedRecords final : public platform::FileRecordBlocks {
  public:
    [[nodiscard]] std::uint32_t recordSize() const override { return 1024; }
    void Read(std::int64_t first, std::span<std::byte> out,
              std::span<std::uint8_t> readable) const override {
        for (std::size_t i = 0; i < readable.size(); ++i) {
            const auto n = static_cast<std::uint64_t>(first) + i;
            for (std::size_t b = 0; b < 8; ++b) {
                out[i * 1024 + b] = static_cast<std::byte>(n >> (8 * b));
            }
            readable[i] = n % 7 == 0 ? 0 : 1;
        }
    }
};

std::uint64_t NumberOf(std::span<const std::byte> record) {
    std::uint64_t n = 0;
    for (std::size_t b = 0; b < 8; ++b) {
        n |= std::to_integer<std::uint64_t>(record[b]) << (8 * b);
    }
    return n;
}

TEST(RecordBlocks, EveryRecordIsVisitedOnceAndTheOrderedStepRunsInRecordOrder) {
    const NumberedRecords source;
    const std::size_t per = ntfs::RecordsPerBlock(1024);
    // Record counts that end inside a block, on a block's end, and a single
    // record; thread counts below, at and above the number of blocks.
    for (const std::int64_t last : {std::int64_t{0}, static_cast<std::int64_t>(3 * per - 1),
                                    static_cast<std::int64_t>(5 * per + 17)}) {
        for (const unsigned threads : {1U, 2U, 7U}) {
            SCOPED_TRACE("last " + std::to_string(last) + ", threads " + std::to_string(threads));
            std::mutex mutex;
            std::set<std::uint64_t> seen;
            std::size_t readable = 0;
            std::vector<std::size_t> ordered;
            double lastTick = 0;
            TRecordBlockWalk walk;
            walk.visit = [&](std::size_t index, const TRecordBlock& block) {
                EXPECT_EQ(block.First, static_cast<std::int64_t>(index * per));
                const std::lock_guard lock(mutex);
                for (std::size_t i = 0; i < block.Count(); ++i) {
                    EXPECT_EQ(NumberOf(block.Record(i)),
                              static_cast<std::uint64_t>(block.First) + i);
                    EXPECT_TRUE(seen.insert(NumberOf(block.Record(i))).second);
                    readable += block.Readable[i];
                }
            };
            walk.inOrder = [&](std::size_t index) { ordered.push_back(index); };
            walk.tick = [&](double done) {
                EXPECT_GE(done, lastTick);
                lastTick = done;
            };
            ntfs::WalkRecordBlocks(source, last, threads, walk);
            const auto count = static_cast<std::size_t>(last + 1);
            EXPECT_EQ(seen.size(), count);
            EXPECT_EQ(*seen.rbegin(), static_cast<std::uint64_t>(last));
            EXPECT_EQ(readable, count - (count + 6) / 7);
            std::vector<std::size_t> expected(ntfs::RecordBlockCount(last, 1024));
            for (std::size_t i = 0; i < expected.size(); ++i) {
                expected[i] = i;
            }
            EXPECT_EQ(ordered, expected);
            EXPECT_EQ(lastTick, 1.0);
        }
    }
}

// A block that takes long holds up neither the blocks after it nor the
// other workers: they visit on while it is worked on, as far past it as the
// walk lets them (a handful of blocks, or as many as asked for), and no
// further.
TEST(RecordBlocks, ASlowBlockDoesNotHoldUpTheOtherWorkersForLong) {
    const NumberedRecords source;
    const auto last = static_cast<std::int64_t>(60 * ntfs::RecordsPerBlock(1024));
    for (const std::size_t ahead : {std::size_t{0}, std::size_t{30}}) {
        for (const unsigned threads : {2U, 3U}) {
            SCOPED_TRACE("threads " + std::to_string(threads) + ", ahead " + std::to_string(ahead));
            const std::size_t window = ahead != 0 ? ahead : 2 * threads + 2;
            std::atomic<std::size_t> visited{0};
            std::atomic<std::size_t> ordered{0};
            std::atomic<std::size_t> mostWaiting{0};
            std::size_t visitedBeside = 0;
            TRecordBlockWalk walk;
            walk.ahead = ahead;
            walk.visit = [&](std::size_t index, const TRecordBlock&) {
                if (index == 0) {
                    // Block 0 ends once the blocks of the window after it
                    // were visited beside it, or after a long while, when
                    // the walk waited for it instead.
                    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                    while (visited < window - 1 && std::chrono::steady_clock::now() < until) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                    visitedBeside = visited;
                }
                const std::size_t waiting = ++visited - ordered;
                std::size_t most = mostWaiting;
                while (waiting > most && !mostWaiting.compare_exchange_weak(most, waiting)) {
                }
            };
            walk.inOrder = [&](std::size_t) { ++ordered; };
            ntfs::WalkRecordBlocks(source, last, threads, walk);
            EXPECT_GE(visitedBeside, window - 1);
            EXPECT_EQ(ordered, ntfs::RecordBlockCount(last, 1024));
            EXPECT_LE(mostWaiting, window + threads);
        }
    }
}

// A failure in any step, or a stop asked for through the tick, ends the
// walk with that exception once every thread has ended; nothing hangs.
TEST(RecordBlocks, AnExceptionFromAnyStepStopsTheWalkAndReachesTheCaller) {
    const NumberedRecords source;
    const auto last = static_cast<std::int64_t>(40 * ntfs::RecordsPerBlock(1024));
    for (const unsigned threads : {1U, 2U, 4U}) {
        for (const int failing : {0, 1, 2}) {
            SCOPED_TRACE("threads " + std::to_string(threads) + ", step " +
                         std::to_string(failing));
            std::atomic<int> visits{0};
            std::atomic<bool> ticked{false};
            TRecordBlockWalk walk;
            walk.visit = [&](std::size_t index, const TRecordBlock&) {
                ++visits;
                if (failing == 0 && index == 3) {
                    throw std::runtime_error("visit");
                }
                // Later blocks wait for the stop, however slowly the calling
                // thread gets its turn on a busy machine.
                while (failing == 2 && index >= 3 && !ticked) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            };
            walk.inOrder = [&](std::size_t index) {
                if (failing == 1 && index == 3) {
                    throw std::runtime_error("in order");
                }
            };
            walk.tick = [&](double) {
                if (failing == 2 && visits > 2) {
                    ticked = true;
                    throw std::runtime_error("tick");
                }
            };
            try {
                ntfs::WalkRecordBlocks(source, last, threads, walk);
                ADD_FAILURE() << "the walk ended normally";
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()), failing == 0   ? "visit"
                                                 : failing == 1 ? "in order"
                                                                : "tick");
            }
            EXPECT_LT(visits, 41);
        }
    }
}

struct Scanned {
    ntfs::TFileIDs table;
    ntfs::TClusterArray clusters;
    std::string exported;
};

Scanned ScanAndExport(platform::VolumeApi& api, const std::string& drive) {
    Scanned s;
    ntfs::NtfsVolume volume(api, drive);
    ntfs::RunScanStages(volume, s.table, s.clusters, {});
    std::FILE* out = std::tmpfile();
    EXPECT_NE(out, nullptr);
    EXPECT_TRUE(ntfs::ExportFileTable(volume, s.table, out).ok);
    std::rewind(out);
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) {
        s.exported.append(buffer, n);
    }
    std::fclose(out);
    return s;
}

void ExpectSameTables(const Scanned& blocks, const Scanned& query) {
    ASSERT_EQ(blocks.table.size(), query.table.size());
    ASSERT_EQ(blocks.table.capacity(), query.table.capacity());
    for (std::int32_t i = 0; i < blocks.table.size(); ++i) {
        const auto& a = blocks.table[static_cast<std::size_t>(i)];
        const auto& b = query.table[static_cast<std::size_t>(i)];
        SCOPED_TRACE("entry " + std::to_string(i) + ", record " + std::to_string(b.FileID));
        EXPECT_EQ(a.FileID, b.FileID);
        EXPECT_EQ(a.BaseID, b.BaseID);
        EXPECT_EQ(a.ParentID, b.ParentID);
        EXPECT_TRUE(a.Name == b.Name);
        EXPECT_EQ(a.PathParent, b.PathParent);
        EXPECT_EQ(a.FileType, b.FileType);
        EXPECT_EQ(a.Flags, b.Flags);
        EXPECT_EQ(a.Size, b.Size);
        EXPECT_EQ(a.AllocatedSize, b.AllocatedSize);
        EXPECT_EQ(a.DiskSize, b.DiskSize);
        EXPECT_EQ(a.CreationTime, b.CreationTime);
        EXPECT_EQ(a.ModificationTime, b.ModificationTime);
        EXPECT_EQ(a.AccessTime, b.AccessTime);
        EXPECT_EQ(a.Fragmented, b.Fragmented);
        EXPECT_EQ(a.Fragments, b.Fragments);
    }
    const auto& ra = blocks.table.recordRuns();
    const auto& rb = query.table.recordRuns();
    EXPECT_EQ(ra.Entries.size(), rb.Entries.size());
    EXPECT_EQ(ra.Attributes.size(), rb.Attributes.size());
    EXPECT_EQ(ra.Runs.size(), rb.Runs.size());
    ASSERT_EQ(blocks.clusters.size(), query.clusters.size());
    for (std::size_t k = 0; k < blocks.clusters.size(); ++k) {
        const auto& a = blocks.clusters[k];
        const auto& b = query.clusters[k];
        EXPECT_TRUE(a.LCN == b.LCN && a.Length == b.Length && a.FileIndex == b.FileIndex &&
                    a.AttrType == b.AttrType)
            << "extent " << k;
    }
    EXPECT_TRUE(blocks.exported == query.exported) << "the exports differ";
}

// Every stage's result and the export, byte for byte, are what the record
// query gives, on one thread and on several, on every test volume: fragmented
// $MFTs, attribute lists, 4 KiB records, and damaged copies with records
// that do not read.
TEST(RecordBlocks, TheTableAndTheExportAreThoseOfTheRecordQuery) {
    const std::vector<NtfsVolumeCase> cases = BlockReaderVolumes();
    ASSERT_GT(cases.size(), 8U);
    for (const auto& v : cases) {
        SCOPED_TRACE(v.name);
        platform::RawVolumeSystem system({v.source.string()});
        QueryOnlyVolumeApi queryOnly(system);
        const std::string drive(1, static_cast<char>('C' + v.partitionIndex));
        const Scanned query = ScanAndExport(queryOnly, drive);
        for (const unsigned threads : {1U, 3U}) {
            SCOPED_TRACE("threads " + std::to_string(threads));
            const ScanThreadsGuard guard(threads);
            ExpectSameTables(ScanAndExport(system, drive), query);
        }
    }
}

// The records of a fake volume in blocks, as an image's reader gives them:
// a record is readable when the record query would answer with it.
class FakeRecordBlocks final : public platform::FileRecordBlocks {
  public:
    explicit FakeRecordBlocks(const FakeVolume& volume) : volume_(volume) {}
    [[nodiscard]] std::uint32_t recordSize() const override { return 1024; }
    void Read(std::int64_t first, std::span<std::byte> out,
              std::span<std::uint8_t> readable) const override {
        for (std::size_t i = 0; i < readable.size(); ++i) {
            const auto it = volume_.records.find(first + static_cast<std::int64_t>(i));
            readable[i] = it != volume_.records.end() && it->second.size() == 1024 ? 1 : 0;
            if (readable[i] != 0) {
                std::copy(it->second.begin(), it->second.end(), out.subspan(i * 1024).begin());
            }
        }
    }

  private:
    const FakeVolume& volume_;
};

class BlockFakeVolumeApi final : public FakeVolumeApi {
  public:
    std::shared_ptr<const platform::FileRecordBlocks>
    OpenFileRecordBlocks(platform::Handle /*handle*/) override {
        return std::make_shared<FakeRecordBlocks>(volumes.begin()->second);
    }
};

constexpr std::uint64_t Ref(std::int64_t record, std::uint16_t sequence = 1) {
    return (std::uint64_t{sequence} << 48) | static_cast<std::uint64_t>(record);
}

// A file table of some tens of thousands of entries: large enough for the
// table's room to come in huge pages, prepared ahead of the ordered step,
// and for each thread's names to fill more than one block. Dense at first,
// then a run of free records and a sparse end (where the room prepared from
// the blocks before lies beyond the entries), folders of files, some files
// with runs, and names in extension records.
void FillLargeVolume(FakeVolume& disk, std::int64_t records) {
    namespace type = ondisk::type;
    using test::FileNameValue;
    using test::RecordBuilder;
    using test::StandardInformationValue;
    std::int64_t folder = 5;
    for (std::int64_t n = 0; n < records; ++n) {
        const bool free = (n >= 12000 && n < 12600) || (n >= 20000 && n % 5 != 0);
        if (free) {
            continue;
        }
        std::string text = n < 16 ? "$R" + std::to_string(n) : "entry-" + std::to_string(n) + "-";
        text.append(static_cast<std::size_t>(n % 61), 'x');
        const std::u16string name = ondisk::FromUtf8(text);
        const bool isFolder = n == 5 || (n >= 16 && n % 1000 == 16);
        RecordBuilder record(1024, 0, isFolder ? 0x0003 : 0x0001);
        record.Resident(type::kStandardInformation, 0,
                        StandardInformationValue(n, n + 1, n + 2, 0x20));
        if (n >= 16 && n % 4000 == 7 && n + 1 < 20000) {
            // The name and the data in the next record, an extension.
            disk.records[n] =
                record
                    .Resident(type::kAttributeList, 5,
                              test::AttributeListValue({{type::kStandardInformation, Ref(n), 0},
                                                        {type::kFileName, Ref(n + 1), 1},
                                                        {type::kData, Ref(n + 1), 2}}))
                    .End();
            disk.records[n + 1] =
                RecordBuilder(1024, Ref(n, 2))
                    .Resident(type::kFileName, 1, FileNameValue(Ref(folder), name))
                    .NonResident(type::kData, 2,
                                 test::Raw({0x11, 0x03, 0x20, 0x11, 0x02, 0x10, 0x00}),
                                 5 * test::kCluster, 5 * test::kCluster - 10)
                    .End();
            ++n;
            continue;
        }
        record.Resident(type::kFileName, 1, FileNameValue(Ref(n < 16 ? 5 : folder), name));
        if (n % 9 == 0) {
            record.NonResident(type::kData, 2,
                               test::Raw({0x11, 0x02, 0x30, 0x11, 0x01, 0x08, 0x00}),
                               3 * test::kCluster, 3 * test::kCluster - 1);
        } else {
            record.Resident(type::kData, 2, test::Raw({1, 2, 3}));
        }
        disk.records[n] = record.End();
        if (isFolder && n >= 16) {
            folder = n;
        }
    }
}

// Built by the threads in blocks, the large table, its names, runs, cluster
// map and export are the record query's, on one thread and on several.
TEST(RecordBlocks, ALargeTableBuiltInBlocksIsTheRecordQuerys) {
    constexpr std::int64_t kRecords = 40000;
    BlockFakeVolumeApi api;
    test::FakeVolumeData geometry = test::Geometry(kRecords * 1024);
    geometry.totalClusters = 1 << 20;
    FillLargeVolume(api.AddNtfsDrive('C', geometry), kRecords);
    QueryOnlyVolumeApi queryOnly(api);
    const Scanned query = ScanAndExport(queryOnly, "C");
    ASSERT_GT(static_cast<std::size_t>(query.table.size()) * sizeof(ntfs::TFileID),
              2 * ntfs::kLargeArrayBytes);
    for (const unsigned threads : {1U, 3U}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        const ScanThreadsGuard guard(threads);
        const Scanned blocks = ScanAndExport(api, "C");
        ExpectSameTables(blocks, query);
        for (std::int32_t i = 0; i < query.table.size(); ++i) {
            ASSERT_EQ(blocks.table.Path(i), query.table.Path(i)) << "entry " << i;
        }
    }
}

TEST(RecordBlocks, ACopiedTableKeepsItsNamesAfterTheOriginalIsGone) {
    const auto image = VolumeDir() / "demo.img";
    platform::RawVolumeSystem system({image.string()});
    ntfs::NtfsVolume volume(system, "C");
    std::unique_ptr<ntfs::TFileIDs> original = std::make_unique<ntfs::TFileIDs>();
    volume.EnumerateFiles(*original, {});
    original->BuildPaths();
    ASSERT_GT(original->size(), 100);
    std::vector<std::u16string> paths;
    for (int i = 0; i < original->size(); ++i) {
        paths.push_back(original->Path(i));
    }
    ntfs::TFileIDs copy(*original);
    ntfs::TFileIDs assigned;
    assigned = *original;
    original.reset();
    for (int i = 0; i < copy.size(); ++i) {
        ASSERT_EQ(copy.Path(i), paths[static_cast<std::size_t>(i)]);
        ASSERT_EQ(assigned.Path(i), paths[static_cast<std::size_t>(i)]);
    }
}

} // namespace
} // namespace lorvex::test

#include "ntfs/FileTable.h"

#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordBlocks.h"
#include "ntfs/RecordDescription.h"
#include "ondisk/Attribute.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>

namespace lorvex::ntfs {

namespace {

// What a description gives an entry: its name (already kept in a pool),
// type, parent, flags, sizes and times.
void SetDescription(TFileID& entry, std::u16string_view name, std::uint8_t fileType,
                    const TFileInfo& info) {
    entry.ParentID = info.ParentID;
    entry.Name = name;
    entry.FileType = fileType;
    entry.Flags = info.Flags;
    entry.Size = info.Size;
    entry.AllocatedSize = info.AllocatedSize;
    entry.CreationTime = info.CreationTime;
    entry.ModificationTime = info.ModificationTime;
    entry.AccessTime = info.AccessTime;
}

// One block's entries, made by the thread that visited it and taken into the
// table in record order. The room is reused from block to block: fresh
// vectors for every block were a page fault every few entries.
struct BlockResult {
    std::vector<TFileID> entries;
    // Positions in `entries` of the entries described later, through the
    // volume: an extension record (its base may lie in another block) or a
    // base record whose names are in extension records. Rare, and the
    // volume's reader is not shared.
    std::vector<std::int32_t> deferred;
    TRecordRuns runs;

    void Clear() {
        entries.clear();
        deferred.clear();
        runs.Clear();
    }
};

// The names of one thread's entries. A block of them is never grown past the
// room it was given, so the entries' views into it stay put, in the table
// too once the table takes the blocks.
class NameRoom {
  public:
    explicit NameRoom(std::size_t chars) : FChars(chars) {}

    std::u16string_view Keep(std::u16string_view name) {
        if (FBlock.capacity() - FBlock.size() < name.size()) {
            if (!FBlock.empty()) {
                FFull.push_back(std::move(FBlock));
            }
            FBlock = TNameBlock();
            FBlock.reserve(std::max(FChars, name.size()));
        }
        const std::size_t at = FBlock.size();
        FBlock.insert(FBlock.end(), name.begin(), name.end());
        return {FBlock.data() + at, name.size()};
    }

    void HandTo(TFileIDs& table) {
        for (TNameBlock& block : FFull) {
            table.AdoptNames(std::move(block));
        }
        FFull.clear();
        table.AdoptNames(std::move(FBlock));
        FBlock = TNameBlock();
    }

  private:
    std::size_t FChars;
    TNameBlock FBlock;
    std::vector<TNameBlock> FFull;
};

// The characters a thread's name blocks hold: room for the names of its
// share of the table (a name and its backslash come to 16 to 30 characters),
// at most a huge page's worth, the pages a large table's names are kept in.
std::size_t NameBlockChars(std::int64_t last, unsigned threads) {
    constexpr std::size_t kFew = std::size_t{1} << 12;
    constexpr std::size_t kMost = kHugePageBytes / sizeof(char16_t);
    const auto entries = static_cast<std::uint64_t>(std::max<std::int64_t>(last, 0)) + 1;
    const std::uint64_t share = entries * 24 / std::max(threads, 1U);
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(share, kFew, kMost));
}

// What one thread reuses from record to record.
struct Describer {
    explicit Describer(std::size_t nameChars) : names(nameChars) {}

    std::u16string name;
    BaseWalk walk;
    NameRoom names;

    void Block(const TRecordBlock& block, BlockResult& out) {
        out.entries.reserve(block.Count());
        for (std::size_t i = 0; i < block.Count(); ++i) {
            if (block.Readable[i] == 0) {
                continue;
            }
            const std::int64_t n = block.First + static_cast<std::int64_t>(i);
            const auto record = block.Record(i);
            const bool valid = IsValidRecord(record);
            // Read from the record valid or not, as the query's readers do.
            const std::int64_t base = BaseOf(record);
            TFileID& entry = out.entries.emplace_back();
            entry.FileID = n;
            entry.BaseID = base < 0 ? n : base;
            if (base >= 0 && base != n) {
                out.runs.AddRecord(record, valid);
                out.deferred.push_back(static_cast<std::int32_t>(out.entries.size() - 1));
                continue;
            }
            bool isDirectory = false;
            bool isSystem = false;
            TFileInfo info;
            info.ParentID = kRootDirectory;
            if (!valid) {
                PlaceholderName(n, name);
                out.runs.AddRecord(record, false);
            } else {
                // One walk of the record for its description and its runs.
                out.runs.BeginRecord();
                WalkBaseRecord(record, n, isDirectory, isSystem, name, info, walk, &out.runs);
                if (walk.NeedsExtensions()) {
                    out.deferred.push_back(static_cast<std::int32_t>(out.entries.size() - 1));
                    continue;
                }
                FinishDescription(walk, name, info);
                // Only a record without any $FILE_NAME keeps the placeholder.
                if (!walk.names.found) {
                    PlaceholderName(n, name);
                }
            }
            SetDescription(entry, names.Keep(name), FileTypeOf(n, isSystem, isDirectory), info);
        }
    }
};

// The table built from the volume layer's record blocks: the blocks are
// described side by side, each by one thread into a result of its own, and
// join the table in record order.
class BlockEnumeration {
  public:
    BlockEnumeration(TFileIDs& fileIds, std::int64_t last, unsigned threads, std::size_t blocks,
                     std::size_t recordSize)
        : fileIds_(fileIds), recordSize_(recordSize), results_(blocks),
          room_(fileIds.ReservedRoom()),
          prepare_(room_.count * sizeof(TFileID) >= kLargeArrayBytes &&
                   room_.count >= static_cast<std::size_t>(last) + 1) {
        describers_.reserve(threads);
        for (unsigned t = 0; t < threads; ++t) {
            describers_.push_back(std::make_unique<Describer>(NameBlockChars(last, threads)));
        }
    }

    void Visit(std::size_t index, const TRecordBlock& block);
    void JoinInOrder(std::size_t index);
    // The entries in the table keep their names where the threads put them.
    void HandNames() {
        for (const auto& describer : describers_) {
            describer->names.HandTo(fileIds_);
        }
    }
    // Room up to the next thousand, as the table grows when entries are
    // added one at a time; room prepared beyond it goes back.
    void FinishRoom();
    // The positions in the table of the entries described through the volume.
    [[nodiscard]] const std::vector<std::int32_t>& deferred() const { return deferred_; }

  private:
    // The ordered step copies each block's entries and run entries into the
    // table, one block at a time; on a large table the pages it writes are
    // given by the thread that visited the block, side by side with the
    // others, where the entries will most likely land: as many entries per
    // record as in the blocks already in the table.
    void PrepareRoom(const TRecordBlock& block, std::size_t entries);

    TFileIDs& fileIds_;
    std::size_t recordSize_;
    std::vector<std::unique_ptr<Describer>> describers_;
    std::vector<std::unique_ptr<BlockResult>> results_;
    // The results through the ordered step, for the blocks after them.
    std::mutex spareMutex_;
    std::vector<std::unique_ptr<BlockResult>> spare_;
    std::vector<std::int32_t> deferred_;
    std::atomic<std::int64_t> placedRecords_{0};
    std::atomic<std::int64_t> placedEntries_{0};
    // Taken before the first entry lands: the ordered step appends to the
    // arrays while the threads prepare their pages.
    TFileIDs::Room room_;
    bool prepare_;
};

void BlockEnumeration::PrepareRoom(const TRecordBlock& block, std::size_t entries) {
    const std::int64_t records = placedRecords_.load(std::memory_order_relaxed);
    const double share = records > 0
                             ? static_cast<double>(placedEntries_.load(std::memory_order_relaxed)) /
                                   static_cast<double>(records)
                             : 1.0;
    const auto first =
        std::min(static_cast<std::size_t>(static_cast<double>(block.First) * share), room_.count);
    const std::size_t count = std::min(entries, room_.count - first);
    PrepareLargeRoom(room_.entries + first, count * sizeof(TFileID));
    PrepareLargeRoom(room_.runEntries + first, count * sizeof(TRecordRuns::Entry));
}

void BlockEnumeration::Visit(std::size_t index, const TRecordBlock& block) {
    // Filled apart and moved in once done: results side by side share
    // cache lines, which two cores appending to them would pass back and
    // forth.
    std::unique_ptr<BlockResult> result;
    {
        const std::lock_guard lock(spareMutex_);
        if (!spare_.empty()) {
            result = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!result) {
        result = std::make_unique<BlockResult>();
    }
    describers_[block.Worker]->Block(block, *result);
    if (prepare_) {
        PrepareRoom(block, result->entries.size());
    }
    results_[index] = std::move(result);
}

void BlockEnumeration::JoinInOrder(std::size_t index) {
    std::unique_ptr<BlockResult> result = std::move(results_[index]);
    for (const std::int32_t at : result->deferred) {
        deferred_.push_back(fileIds_.size() + at);
    }
    fileIds_.Append(result->entries, result->runs);
    placedRecords_.store(static_cast<std::int64_t>((index + 1) * RecordsPerBlock(recordSize_)),
                         std::memory_order_relaxed);
    placedEntries_.store(fileIds_.size(), std::memory_order_relaxed);
    result->Clear();
    const std::lock_guard lock(spareMutex_);
    spare_.push_back(std::move(result));
}

void BlockEnumeration::FinishRoom() {
    const std::size_t size = fileIds_.RoundRoom();
    if (prepare_) {
        // Room prepared beyond the entries after all (the records after the
        // blocks seen were sparser than those before) goes back.
        ReleaseLargeRoom(room_.entries + size, (room_.count - size) * sizeof(TFileID));
        const std::size_t runs = fileIds_.recordRuns().Entries.size();
        ReleaseLargeRoom(room_.runEntries + runs,
                         (room_.count - runs) * sizeof(TRecordRuns::Entry));
    }
}

// Describes the deferred entries of the table through the volume, one at a
// time.
void DescribeDeferred(RecordReader& records, TFileIDs& fileIds,
                      const std::vector<std::int32_t>& deferred) {
    bool isDirectory = false;
    bool isSystem = false;
    std::u16string name;
    TFileInfo info;
    for (const std::int32_t index : deferred) {
        TFileID& e = fileIds[static_cast<std::size_t>(index)];
        isSystem = false;
        DescribeFile(records, isDirectory, isSystem, name, info, e.BaseID);
        if (e.FileID != e.BaseID) {
            ReadRecordSizes(records, info.Size, info.AllocatedSize, e.FileID);
        }
        const std::int64_t fileId = e.FileID;
        const std::int64_t baseId = e.BaseID;
        e = TFileID{};
        e.FileID = fileId;
        e.BaseID = baseId;
        SetDescription(e, fileIds.KeepName(name), FileTypeOf(baseId, isSystem, isDirectory), info);
    }
}

// The table from a table built from nothing, through the volume layer's
// record blocks on every core; `progress` every few milliseconds.
void EnumerateInBlocks(RecordReader& records, const platform::FileRecordBlocks& source,
                       std::int64_t last, TFileIDs& fileIds, const ProgressReport& progress) {
    const unsigned threads = ScanThreads();
    const std::size_t blocks = RecordBlockCount(last, source.recordSize());
    // The entries go straight to their places in the table (TFileIDs::Append);
    // nothing stands in them before.
    BlockEnumeration enumeration(fileIds, last, threads, blocks, source.recordSize());
    TRecordBlockWalk walk;
    walk.visit = [&](std::size_t index, const TRecordBlock& block) {
        enumeration.Visit(index, block);
    };
    // The blocks join the table in record order, each as soon as its turn
    // comes, so that the block results never add up to a second table.
    walk.inOrder = [&](std::size_t index) { enumeration.JoinInOrder(index); };
    // A block's result is a tenth of a MiB or so; on a busy machine the
    // thread that holds the turn's block can be off its core for several
    // time slices, and 32 blocks are some ten milliseconds of work for the
    // others meanwhile.
    walk.ahead = 32;
    walk.tick = [&progress](double done) {
        if (progress) {
            progress(done * 100.0);
        }
    };
    try {
        WalkRecordBlocks(source, last, threads, walk);
    } catch (...) {
        enumeration.HandNames();
        throw;
    }
    enumeration.HandNames();
    enumeration.FinishRoom();
    DescribeDeferred(records, fileIds, enumeration.deferred());
}

// Reserving room for the whole table up front avoids copying it as it grows;
// a damaged record count must not turn that into a huge allocation.
constexpr std::int64_t kMaxReserve = std::int64_t{1} << 24;

// The description of one entry after another, its variables' room reused.
struct QueriedDescription {
    bool isDirectory = false;
    bool isSystem = false;
    std::u16string name;
    TFileInfo info;

    // The entry of record `recordNo`, whose base record is `baseId`.
    void Add(RecordReader& records, std::int64_t recordNo, std::int64_t baseId, TFileIDs& fileIds) {
        isSystem = false;
        DescribeFile(records, isDirectory, isSystem, name, info, baseId);
        if (recordNo != baseId) {
            ReadRecordSizes(records, info.Size, info.AllocatedSize, recordNo);
        }
        fileIds.Add(name, FileTypeOf(baseId, isSystem, isDirectory), info, false, baseId, recordNo);
    }
};

void AddQueriedRecord(RecordReader& records, const RecordView& record, bool keepRuns,
                      TFileIDs& fileIds, QueriedDescription& description) {
    if (keepRuns) {
        fileIds.AddRecordRuns(record.bytes(), record.valid());
    }
    description.Add(records, record.number(), record.baseRecord(), fileIds);
}

// The table from the last record down, a record-query at a time. Only a
// table built here from nothing has its runs kept in step.
void EnumerateByQuery(RecordReader& records, std::int64_t last, TFileIDs& fileIds,
                      const ProgressReport& progress) {
    QueriedDescription description;
    std::int64_t cur = last + 1;
    const bool keepRuns = fileIds.empty();
    fileIds.ClearRecordRuns();
    do {
        --cur;
        const auto record = records.ReadInUseAtOrBelow(cur);
        // The walk ends at record 0, the $MFT's own, which has an entry even
        // when it cannot be read (as a record that the blocks cannot read
        // has): a table is never empty.
        if (record && record->number() == cur) {
            AddQueriedRecord(records, *record, keepRuns, fileIds, description);
        } else if (!record && cur == 0) {
            if (keepRuns) {
                fileIds.AddRecordRuns({}, false);
            }
            description.Add(records, 0, 0, fileIds);
        } else {
            // Record cur is free and the answer is the nearest lower one in
            // use: go straight there; a failed query goes on below record 1.
            // An answer that is not lower would never end the walk; it only
            // skips this number.
            const std::int64_t r = record ? record->number() : 0;
            if (r >= 0 && r < cur) {
                cur = r + 1;
            }
        }
        // With nothing but record 0 to visit, one visit is the whole stage.
        if (progress) {
            progress(last == 0
                         ? 100.0
                         : static_cast<double>(last - cur) / static_cast<double>(last) * 100.0);
        }
    } while (cur != 0);
}

} // namespace

void NtfsVolume::EnumerateFiles(TFileIDs& fileIds, const ProgressReport& progress,
                                const Notice& notice) {
    // A failed query answers -1; there is then nothing but record 0 to try.
    const std::int64_t last = std::max<std::int64_t>(GetLastRecordNumber(notice), 0);
    RecordReader records = OpenRecordReader();
    if (!records.IsOpen()) {
        fileIds.Reverse();
        return;
    }
    if (fileIds.empty()) {
        const auto entries = static_cast<std::size_t>(std::min(last + 1, kMaxReserve));
        const std::size_t room =
            (entries + kEntryGrowthStep - 1) / kEntryGrowthStep * kEntryGrowthStep;
        fileIds.Reserve(room);
        // A table built from nothing reads the $MFT in large blocks, on
        // every core, where the volume layer offers that.
        if (const auto blocks = records.OpenRecordBlocks()) {
            fileIds.ClearRecordRuns();
            // Room for an entry per record, and for as many attributes
            // with runs and as many runs as a volume of files mostly
            // non-resident has: only the pages written are ever taken,
            // and the arrays are not copied as they grow.
            fileIds.ReserveRecordRuns(room);
            EnumerateInBlocks(records, *blocks, last, fileIds, progress);
            return;
        }
    }
    EnumerateByQuery(records, last, fileIds, progress);
    fileIds.Reverse();
}

namespace {

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
    return a > std::numeric_limits<std::int64_t>::max() - b
               ? std::numeric_limits<std::int64_t>::max()
               : a + b;
}

// Damaged run lengths can claim more than 64 bits of bytes.
std::int64_t DiskBytes(std::int64_t clusters, std::int64_t bytesPerCluster) {
    return bytesPerCluster != 0 &&
                   clusters > std::numeric_limits<std::int64_t>::max() / bytesPerCluster
               ? std::numeric_limits<std::int64_t>::max()
               : clusters * bytesPerCluster;
}

// The clusters and the count of the allocated runs of one record.
struct DiskUse {
    std::int64_t clusters = 0;
    std::uint32_t count = 0;

    void Add(std::span<const TDataRun> runs) {
        for (const TDataRun& run : runs) {
            if (!run.Sparse) {
                clusters = SaturatingAdd(clusters, run.Length);
                ++count;
            }
        }
    }
};

} // namespace

void NtfsVolume::CalculateDiskSizes(TFileIDs& fileIds) {
    const std::int64_t bytesPerCluster = geometry_.bytesPerCluster;
    RecordReader records = OpenRecordReader();
    if (!records.IsOpen()) {
        return;
    }
    const TRecordRuns& kept = fileIds.recordRuns();
    if (kept.Covers(fileIds.size())) {
        for (std::size_t i = 0; i < kept.Entries.size(); ++i) {
            TFileID& e = fileIds[i];
            const TRecordRuns::Entry& entry = kept.Entries[i];
            DiskUse use;
            for (std::uint32_t a = 0; a < entry.AttributeCount; ++a) {
                const TRecordRuns::Attribute& attribute = kept.Attributes[entry.FirstAttribute + a];
                use.Add(std::span(kept.Runs).subspan(attribute.FirstRun, attribute.RunCount));
            }
            e.DiskSize = DiskBytes(use.clusters, bytesPerCluster);
            e.Fragments = use.count;
        }
        return;
    }
    // One fetch per entry: the walk that lists the attributes is the walk
    // that finds their runs, so the record is not fetched again per attribute.
    TDataRuns runs;
    for (TFileID& e : fileIds) {
        DiskUse use;
        if (const auto record = records.ReadInUse(e.FileID); record && record->valid()) {
            auto walk = ondisk::WalkRecordAttributes(record->bytes());
            while (const auto a = walk.Next()) {
                if (ondisk::IsResident(a->bytes)) {
                    continue;
                }
                runs.Clear();
                AppendAttributeRuns(a->bytes, runs);
                use.Add(runs.items());
            }
        }
        e.DiskSize = DiskBytes(use.clusters, bytesPerCluster);
        e.Fragments = use.count;
    }
}

} // namespace lorvex::ntfs

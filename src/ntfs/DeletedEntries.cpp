#include "ntfs/DeletedEntries.h"

#include "ntfs/DeletedRecords.h"
#include "ntfs/FileRecords.h"
#include "ntfs/RecordBlocks.h"
#include "ondisk/Attribute.h"
#include "ondisk/FileName.h"
#include "ondisk/FileRecord.h"
#include "ondisk/NonResident.h"
#include "ondisk/Printable.h"
#include "ondisk/StandardInformation.h"
#include "ondisk/Utf16.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>

namespace lorvex::ntfs {

namespace {

// Nothing a deleted record claims is taken past this many names or streams:
// a record of a few KiB holds far fewer.
constexpr std::size_t kMaxNamesPerEntry = 1024;
constexpr std::size_t kMaxStreamsPerEntry = 1024;

bool IsDosOnly(std::uint8_t nameSpace) {
    return nameSpace == ondisk::filename::kNamespaceDos;
}

// A stream while its record and extensions are read.
struct StreamParts {
    std::u16string name;
    DeletedStream stream;
    std::vector<ondisk::Extent> extents;
};

// A name while its record is read.
struct NamePart {
    ondisk::FileName decoded;
    std::uint16_t parentSequence = 0;
    std::u16string text;
};

} // namespace

bool SequenceFollows(std::uint16_t referenced, std::uint16_t now) {
    if (referenced == 0 || now == referenced) {
        return true;
    }
    // Freeing a record advances its sequence number once, skipping 0.
    const std::uint16_t next =
        referenced == 0xFFFF ? 1 : static_cast<std::uint16_t>(referenced + 1);
    return now == next;
}

// Fills a DeletedEntries from the records of one volume.
class DeletedCollector {
  public:
    DeletedCollector(NtfsVolume& volume, DeletedEntries& out)
        : volume_(volume), out_(out), records_(volume.OpenRecordReader()),
          broken_(volume, records_) {}

    void Run(const ProgressReport& progress) {
        const std::int64_t count = volume_.geometry().recordCount;
        out_.recordCount_ = count;
        if (broken_.HasBitmap()) {
            RunOverFreeRecords(count, progress);
        } else if (const auto blocks = count > 0 ? records_.OpenRecordBlocks() : nullptr;
                   blocks && blocks->recordSize() == volume_.geometry().bytesPerRecord) {
            RunOverBlocks(*blocks, count, progress);
        } else {
            for (std::int64_t n = 0; n < count; ++n) {
                Visit(n);
                Report(progress, n, count);
            }
        }
        out_.counts_.strayExtensions = freeExtensions_ - out_.counts_.joinedExtensions;
        CollectLiveParents();
    }

  private:
    static void Report(const ProgressReport& progress, std::int64_t n, std::int64_t count) {
        if (progress && (n % 4096 == 0 || n + 1 == count)) {
            progress(100.0 * static_cast<double>(n + 1) / static_cast<double>(count));
        }
    }

    // The records the $MFT's bitmap marks in use are the scan's, read by it
    // already: they count as read and are not read again, which would cost
    // as much as the scan's own reading of the $MFT. Only the free ones are
    // read.
    void RunOverFreeRecords(std::int64_t count, const ProgressReport& progress) {
        for (std::int64_t n = 0; n < count; ++n) {
            if (broken_.MarkedInUse(n)) {
                ++out_.counts_.recordsRead;
            } else {
                Visit(n);
            }
            Report(progress, n, count);
        }
    }

    // Without that bitmap, the $MFT in large reads on every core, as the scan reads it: a record
    // the blocks give as readable is in use and read, and nothing more is
    // asked of it; the others (free, torn or unreadable) are visited one by
    // one, in record order, as the walk without blocks visits every record.
    void RunOverBlocks(const platform::FileRecordBlocks& blocks, std::int64_t count,
                       const ProgressReport& progress) {
        const std::size_t blockCount = RecordBlockCount(count - 1, blocks.recordSize());
        std::vector<std::vector<std::int64_t>> others(blockCount);
        std::vector<std::int64_t> inUse(blockCount, 0);
        TRecordBlockWalk walk;
        walk.visit = [&](std::size_t index, const TRecordBlock& block) {
            for (std::size_t i = 0; i < block.Count(); ++i) {
                if (block.Readable[i] != 0) {
                    ++inUse[index];
                } else {
                    others[index].push_back(block.First + static_cast<std::int64_t>(i));
                }
            }
        };
        walk.inOrder = [&](std::size_t index) {
            out_.counts_.recordsRead += inUse[index];
            for (const std::int64_t n : others[index]) {
                Visit(n);
            }
            others[index] = {};
        };
        if (progress) {
            walk.tick = [&progress](double done) { progress(100.0 * done); };
        }
        WalkRecordBlocks(blocks, count - 1, ScanThreads(), walk);
    }

    void Visit(std::int64_t n) {
        const auto record = records_.Read(n);
        if (!record) {
            if (broken_.IsBrokenFreeRecord(n)) {
                ++out_.counts_.brokenRecords;
            }
            return;
        }
        ++out_.counts_.recordsRead;
        if (record->inUse()) {
            return;
        }
        ++out_.counts_.freeRecords;
        if (!record->valid()) {
            return;
        }
        if (record->baseReference() != 0) {
            ++freeExtensions_;
            return;
        }
        AddEntry(*record);
    }

    void AddEntry(const RecordView& base);
    std::vector<RecordView> JoinedExtensions(const RecordView& base);
    void ReadAttributes(const RecordView& record, DeletedEntry& entry, bool isBase);
    void TakeName(std::span<const std::byte> attribute);
    void TakeData(const RecordView& record, std::size_t offset,
                  std::span<const std::byte> attribute);
    void StoreNames(DeletedEntry& entry);
    void StoreStreams(DeletedEntry& entry);
    std::uint32_t Pool(std::u16string_view text);
    void CollectLiveParents();

    NtfsVolume& volume_;
    DeletedEntries& out_;
    RecordReader records_;
    BrokenRecordCheck broken_;
    std::int64_t freeExtensions_ = 0;
    std::vector<NamePart> names_;
    std::vector<StreamParts> streams_;
    // Whether the record read holds more than $STANDARD_INFORMATION.
    bool held_ = false;
};

void DeletedCollector::AddEntry(const RecordView& base) {
    DeletedEntry entry;
    entry.record = base.number();
    entry.sequence = base.sequenceNumber();
    entry.directory = (ondisk::RecordFlags(base.bytes()) & ondisk::record::kFlagDirectory) != 0;
    names_.clear();
    streams_.clear();
    held_ = false;
    ReadAttributes(base, entry, true);
    for (const RecordView& extension : JoinedExtensions(base)) {
        ReadAttributes(extension, entry, false);
    }
    if (!held_) {
        ++out_.counts_.emptyRecords;
        return;
    }
    StoreNames(entry);
    StoreStreams(entry);
    out_.entries_.push_back(entry);
}

std::vector<RecordView> DeletedCollector::JoinedExtensions(const RecordView& base) {
    auto joined = ExtensionRecordsOf(records_, base);
    out_.counts_.joinedExtensions += static_cast<std::int64_t>(joined.size());
    return joined;
}

void DeletedCollector::ReadAttributes(const RecordView& record, DeletedEntry& entry, bool isBase) {
    auto walk = ondisk::WalkRecordAttributes(record.bytes());
    bool haveTimes = false;
    while (const auto attribute = walk.Next()) {
        held_ |= attribute->type != ondisk::type::kStandardInformation;
        switch (attribute->type) {
        case ondisk::type::kStandardInformation:
            if (isBase && !haveTimes) {
                const auto si =
                    ondisk::DecodeStandardInformation(ondisk::ResidentValue(attribute->bytes));
                entry.creationTime = si.creationTime;
                entry.modificationTime = si.modificationTime;
                entry.accessTime = si.accessTime;
                entry.deletedTime = si.changeTime;
                haveTimes = true;
            }
            break;
        case ondisk::type::kFileName:
            TakeName(attribute->bytes);
            break;
        case ondisk::type::kData:
            TakeData(record, attribute->offset, attribute->bytes);
            break;
        default:
            break;
        }
    }
}

void DeletedCollector::TakeName(std::span<const std::byte> attribute) {
    const auto value = ondisk::ResidentValue(attribute);
    if (value.size() < ondisk::filename::kName || names_.size() >= kMaxNamesPerEntry) {
        return;
    }
    NamePart part;
    part.decoded = ondisk::DecodeFileName(value);
    part.parentSequence = ondisk::ByteReader(value).u16(ondisk::filename::kParent + 6).value_or(0);
    part.text = ondisk::ReadUtf16(part.decoded.name);
    if (part.decoded.parent) {
        names_.push_back(std::move(part));
    }
}

void DeletedCollector::TakeData(const RecordView& record, std::size_t offset,
                                std::span<const std::byte> attribute) {
    const std::u16string name = ondisk::ReadUtf16(ondisk::AttributeNameBytes(attribute));
    auto it = std::find_if(streams_.begin(), streams_.end(),
                           [&name](const StreamParts& s) { return s.name == name; });
    if (it == streams_.end()) {
        if (streams_.size() >= kMaxStreamsPerEntry) {
            return;
        }
        streams_.push_back({name, {}, {}});
        it = std::prev(streams_.end());
    }
    DeletedStream& stream = it->stream;
    if (ondisk::IsResident(attribute)) {
        stream.resident = true;
        stream.size = ondisk::ResidentValueLength(attribute);
        stream.allocated = stream.size;
        stream.initialized = stream.size;
        stream.valueRecord = record.number();
        stream.valueOffset = static_cast<std::uint32_t>(offset);
        return;
    }
    const auto header = ondisk::DecodeNonResident(attribute);
    if (!header) {
        return;
    }
    if (header->lowestVcn == 0) {
        stream.size = header->dataSize;
        stream.allocated = header->allocatedSize;
        stream.initialized = header->initializedSize;
    }
    ondisk::AppendExtents(*header, volume_.geometry().bytesPerCluster, it->extents);
}

std::uint32_t DeletedCollector::Pool(std::u16string_view text) {
    const auto first = static_cast<std::uint32_t>(out_.namePool_.size());
    out_.namePool_.append(text);
    return first;
}

void DeletedCollector::StoreNames(DeletedEntry& entry) {
    // The long names first, in the order the record holds them; the DOS
    // names only when there is no other.
    const bool anyLong = std::any_of(names_.begin(), names_.end(),
                                     [](const auto& n) { return !IsDosOnly(n.decoded.nameSpace); });
    entry.firstName = static_cast<std::uint32_t>(out_.names_.size());
    for (const NamePart& part : names_) {
        if (anyLong && IsDosOnly(part.decoded.nameSpace)) {
            continue;
        }
        DeletedName name;
        name.parent = *part.decoded.parent;
        name.parentSequence = part.parentSequence;
        name.nameSpace = part.decoded.nameSpace;
        name.length = static_cast<std::uint32_t>(part.text.size());
        name.first = Pool(part.text);
        out_.names_.push_back(name);
    }
    entry.nameCount = static_cast<std::uint32_t>(out_.names_.size()) - entry.firstName;
}

void DeletedCollector::StoreStreams(DeletedEntry& entry) {
    // Not the ranges version: the subrange it returns does not build with
    // clang 14 over this standard library.
    std::stable_partition(streams_.begin(), streams_.end(),
                          [](const auto& s) { return s.name.empty(); });
    entry.firstStream = static_cast<std::uint32_t>(out_.streams_.size());
    for (StreamParts& parts : streams_) {
        DeletedStream stream = parts.stream;
        stream.nameLength = static_cast<std::uint32_t>(parts.name.size());
        stream.nameFirst = Pool(parts.name);
        std::sort(parts.extents.begin(), parts.extents.end(),
                  [](const auto& a, const auto& b) { return a.vcn < b.vcn; });
        stream.firstPiece = static_cast<std::uint32_t>(out_.pieces_.size());
        for (const ondisk::Extent& e : parts.extents) {
            out_.pieces_.push_back({e.vcn, e.sparse ? -1 : e.lcn, e.length, kNoOwner,
                                    e.sparse ? PieceState::kSparse : PieceState::kFree});
        }
        stream.pieceCount = static_cast<std::uint32_t>(out_.pieces_.size()) - stream.firstPiece;
        if (parts.name.empty()) {
            entry.size = stream.size;
            entry.allocated = stream.allocated;
            entry.initialized = stream.initialized;
        }
        out_.streams_.push_back(stream);
    }
    entry.streamCount = static_cast<std::uint32_t>(out_.streams_.size()) - entry.firstStream;
}

void DeletedCollector::CollectLiveParents() {
    std::set<std::int64_t> parents;
    for (const DeletedName& name : out_.names_) {
        parents.insert(name.parent);
    }
    for (const std::int64_t parent : parents) {
        if (parent < 0 || parent >= out_.recordCount_) {
            continue;
        }
        const auto record = records_.Read(parent);
        if (record && record->inUse()) {
            out_.liveParents_.emplace_back(parent, record->sequenceNumber());
        }
    }
}

DeletedEntries CollectDeletedEntries(NtfsVolume& volume, const ProgressReport& progress) {
    DeletedEntries deleted;
    DeletedCollector(volume, deleted).Run(progress);
    return deleted;
}

std::vector<std::byte> ReadResidentValue(RecordReader& records, const DeletedStream& stream) {
    if (!stream.resident) {
        return {};
    }
    const auto record = records.Read(stream.valueRecord);
    if (!record || !record->valid()) {
        return {};
    }
    auto walk = ondisk::WalkRecordAttributes(record->bytes());
    while (const auto attribute = walk.Next()) {
        if (attribute->offset == stream.valueOffset && attribute->type == ondisk::type::kData) {
            const auto value = ondisk::ResidentValue(attribute->bytes);
            return {value.begin(), value.end()};
        }
    }
    return {};
}

} // namespace lorvex::ntfs

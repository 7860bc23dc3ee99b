#include "cli/DeletedListing.h"

#include "ntfs/RecordTimes.h"
#include "ondisk/Attribute.h"
#include "ondisk/Printable.h"
#include "ondisk/StandardInformation.h"
#include "ondisk/Utf16.h"
#include "records/FileTableListing.h"

#include <charconv>

namespace lorvex::cli {

namespace {

using ntfs::DeletedEntries;
using ntfs::DeletedPiece;
using ntfs::PieceState;

// File attribute bits of $STANDARD_INFORMATION.
constexpr std::uint32_t kReadOnlyFlag = 0x1;
constexpr std::uint32_t kSystemFlag = 0x4;

void AddTime(Record& row, std::string_view key, std::int64_t time, std::string& room) {
    if (time <= 0) {
        row.AddNull(key);
        return;
    }
    ntfs::NtfsTimeToIso8601(time, room);
    row.AddPlain(key, room);
}

bool HasOwner(const DeletedPiece& piece) {
    return piece.state == PieceState::kOverwritten || piece.state == PieceState::kClaimed;
}

void AppendNumber(std::string& out, std::int64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
}

// "LCN+LENGTH:STATE", "@RECORD" after it for a piece another record took;
// a sparse piece has "sparse" for its LCN. Separated by spaces.
void AppendRunList(std::string& out, std::span<const DeletedPiece> pieces) {
    for (const DeletedPiece& piece : pieces) {
        if (!out.empty()) {
            out.push_back(' ');
        }
        if (piece.state == PieceState::kSparse) {
            out.append("sparse");
        } else {
            AppendNumber(out, piece.lcn);
        }
        out.push_back('+');
        AppendNumber(out, piece.length);
        out.push_back(':');
        out.append(ntfs::PieceStateName(piece.state));
        if (HasOwner(piece)) {
            out.push_back('@');
            AppendNumber(out, piece.overwrittenBy);
        }
    }
}

void AddRuns(Record& row, std::string_view key, std::span<const DeletedPiece> pieces) {
    auto& list = row.AddList(key);
    for (const DeletedPiece& piece : pieces) {
        Record& item = list.Add();
        item.Add("vcn", piece.vcn);
        if (piece.state == PieceState::kSparse) {
            item.AddNull("lcn");
        } else {
            item.Add("lcn", piece.lcn);
        }
        item.Add("length", piece.length);
        item.AddPlain("state", ntfs::PieceStateName(piece.state));
        if (HasOwner(piece)) {
            item.Add("overwritten_by", piece.overwrittenBy);
        }
    }
}

// The named streams as a list: name, size, resident, and their runs.
void AddStreams(Record& row, const DeletedEntries& deleted, const ntfs::DeletedEntry& entry) {
    auto& list = row.AddList("streams");
    for (const auto& stream : deleted.Streams(entry)) {
        if (stream.nameLength == 0) {
            continue;
        }
        Record& item = list.Add();
        ondisk::ToUtf8(deleted.NameOf(stream), item.AddText("name"));
        item.Add("size", stream.size);
        item.AddBool("resident", stream.resident);
        AddRuns(item, "runs", deleted.Pieces(stream));
    }
}

std::size_t NamedStreams(const DeletedEntries& deleted, const ntfs::DeletedEntry& entry) {
    std::size_t count = 0;
    for (const auto& stream : deleted.Streams(entry)) {
        count += stream.nameLength != 0 ? 1 : 0;
    }
    return count;
}

} // namespace

void FillDeletedRow(Record& row, const DeletedEntries& deleted, std::size_t index,
                    const ntfs::TFileIDs& live) {
    const ntfs::DeletedEntry& entry = deleted.entries()[index];
    const auto streams = deleted.Streams(entry);
    const bool unnamedFirst = !streams.empty() && streams.front().nameLength == 0;
    const auto pieces =
        unnamedFirst ? deleted.Pieces(streams.front()) : std::span<const DeletedPiece>{};
    std::string room;
    row.Clear();
    row.Add("record", entry.record);
    row.AddPlain("type", entry.directory ? "directory" : "file");
    row.Add("size", entry.size);
    row.Add("allocated_size", entry.allocated);
    AddTime(row, "created", entry.creationTime, room);
    AddTime(row, "modified", entry.modificationTime, room);
    AddTime(row, "accessed", entry.accessTime, room);
    AddTime(row, "deleted_time", entry.deletedTime, room);
    row.Add("recoverable_clusters", entry.recoverableClusters);
    row.Add("overwritten_clusters", entry.overwrittenClusters);
    row.Add("name_count", entry.nameCount);
    row.Add("stream_count", NamedStreams(deleted, entry));
    AppendRunList(row.AddText("run_list"), pieces);
    AddRuns(row, "runs", pieces);
    const std::u16string path = deleted.Path(index, 0, live);
    auto& others = row.AddTexts("other_paths");
    for (std::size_t n = 1; n < entry.nameCount; ++n) {
        ondisk::ToUtf8(deleted.Path(index, n, live), others.AddText());
    }
    AddStreams(row, deleted, entry);
    auto& streamPaths = row.AddTexts("stream_paths");
    for (const auto& stream : streams) {
        if (stream.nameLength != 0) {
            std::string& text = streamPaths.AddText();
            ondisk::ToUtf8(path, text);
            text.push_back(':');
            ondisk::AppendPrintableName(deleted.NameOf(stream), text);
        }
    }
    row.TextOnly();
    ondisk::ToUtf8(path, row.AddText("path"));
}

void FillDeletedCounts(Record& row, const DeletedEntries& deleted) {
    const ntfs::DeletedWalkCounts& counts = deleted.counts();
    row.Clear();
    row.Add("entries", deleted.entries().size());
    row.Add("records_read", counts.recordsRead);
    row.Add("free_records", counts.freeRecords);
    row.Add("empty_records", counts.emptyRecords);
    row.Add("broken_records", counts.brokenRecords);
    row.Add("joined_extensions", counts.joinedExtensions);
    row.Add("stray_extensions", counts.strayExtensions);
}

namespace {

// What the body file takes from a deleted entry's record as it reads now:
// the times of both attributes and their ids, and whether it is read-only.
struct RecordFacts {
    ntfs::TRecordTimes times;
    bool readOnly = false;
};

RecordFacts ReadFacts(ntfs::RecordReader& records, const ntfs::DeletedEntry& entry) {
    RecordFacts facts;
    const auto record = records.Read(entry.record);
    if (record && record->valid()) {
        facts.times = ntfs::ReadRecordTimes(record->bytes());
        const auto si = ondisk::FindAttribute(
            record->bytes(),
            {.type = ondisk::type::kStandardInformation, .name = {}, .lowestVcn = {}, .id = {}});
        if (si) {
            const auto value = ondisk::DecodeStandardInformation(ondisk::ResidentValue(si->bytes));
            facts.readOnly = (value.fileAttributes & (kReadOnlyFlag | kSystemFlag)) != 0;
        }
    }
    if (!facts.times.HasStandard) {
        facts.times.Standard = {entry.creationTime, entry.modificationTime, entry.deletedTime,
                                entry.accessTime};
    }
    return facts;
}

// The id of the named $DATA `name` in record `number`, 0 when the record no
// longer holds it there (it stood in an extension record).
std::uint16_t StreamId(ntfs::RecordReader& records, std::int64_t number, std::u16string_view name) {
    const auto record = records.Read(number);
    if (!record || !record->valid()) {
        return 0;
    }
    const auto found = ondisk::FindAttribute(
        record->bytes(), {.type = ondisk::type::kData, .name = name, .lowestVcn = {}, .id = {}});
    return found ? ondisk::AttributeId(found->bytes) : 0;
}

} // namespace

void WriteDeletedTimeline(const ScannedDrive& scan, const DeletedEntries& deleted,
                          Listing& listing) {
    ntfs::RecordReader records = scan.volume.OpenRecordReader();
    std::vector<Record> rows;
    std::vector<records::BodyfileStream> streams;
    std::string path;
    std::string room;
    listing.writer.BeginTable("deleted");
    for (std::size_t i = 0; i < deleted.entries().size() && !listing.out.Failed(); ++i) {
        const ntfs::DeletedEntry& entry = deleted.entries()[i];
        const RecordFacts facts = ReadFacts(records, entry);
        streams.clear();
        for (const auto& stream : deleted.Streams(entry)) {
            if (stream.nameLength != 0) {
                const std::u16string_view name = deleted.NameOf(stream);
                streams.push_back(
                    {std::u16string(name), StreamId(records, entry.record, name), stream.size});
            }
        }
        records::BodyfileLine line;
        line.record = entry.record;
        line.attributeType = facts.times.ContentType;
        line.attributeId = facts.times.ContentId;
        line.mode = records::BodyfileMode(entry.directory, facts.readOnly, true);
        line.size = entry.size;
        line.times = facts.times.Standard;
        line.deleted = true;
        // An entry without a name still has its lines, under its number.
        for (std::size_t n = 0; n < std::max<std::size_t>(entry.nameCount, 1); ++n) {
            ondisk::ToUtf8(deleted.Path(i, n, scan.fileIds), path);
            line.path = path;
            const std::size_t count =
                records::AppendBodyfileLines(rows, 0, line, facts.times, streams, room);
            for (std::size_t r = 0; r < count; ++r) {
                listing.writer.Row(rows[r]);
            }
        }
    }
    listing.writer.EndTable();
}

void WriteDeleted(const ScannedDrive& scan, Listing& listing) {
    ntfs::DeletedEntries deleted = ntfs::CollectDeletedEntries(scan.volume);
    ntfs::CutDeletedRuns(deleted, scan.fileIds, scan.clusters,
                         scan.volume.geometry().totalClusters);
    if (listing.format == Format::Bodyfile) {
        WriteDeletedTimeline(scan, deleted, listing);
        return;
    }
    RecordWriter& writer = listing.writer;
    writer.BeginTable("deleted");
    for (std::size_t i = 0; i < deleted.entries().size() && !listing.out.Failed(); ++i) {
        FillDeletedRow(listing.row, deleted, i, scan.fileIds);
        writer.Row(listing.row);
    }
    FillDeletedCounts(listing.row, deleted);
    const bool said = writer.Footer("deleted", listing.row);
    writer.EndTable();
    // The one document has a place for the counts beside the rows; JSON
    // Lines and CSV are rows of one kind only.
    if (!said && listing.format == Format::Json) {
        writer.Section("deleted_summary", listing.row);
    }
}

} // namespace lorvex::cli

#include "records/FileTableListing.h"

#include "ntfs/FileRecords.h"
#include "ntfs/Formatters.h"
#include "ntfs/RecordTimes.h"
#include "ondisk/Attribute.h"
#include "ondisk/FileName.h"
#include "ondisk/NonResident.h"
#include "ondisk/Printable.h"
#include "ondisk/Utf16.h"

#include <algorithm>

namespace lorvex::records {

namespace {

// Most entries share a handful of flag sets: each text is built once.
std::string_view FlagsText(std::uint32_t flags) {
    thread_local std::uint32_t lastFlags = 0;
    thread_local std::string lastText;
    if (flags != lastFlags || lastText.empty()) {
        lastFlags = flags;
        lastText = ntfs::FileFlagsToStr(flags);
    }
    return lastText;
}

// An entry's three times are often one: it is formatted once.
template <FieldSink Sink> void AddTime(Sink& sink, std::string_view key, std::int64_t time) {
    thread_local std::int64_t lastTime = 0;
    thread_local std::string lastText;
    if (time <= 0) {
        sink.AddNull(key);
        return;
    }
    if (time != lastTime) {
        lastTime = time;
        ntfs::NtfsTimeToIso8601(time, lastText);
    }
    sink.AddPlain(key, lastText);
}

// File attribute bits of $STANDARD_INFORMATION and $FILE_NAME.
constexpr std::uint32_t kReadOnlyFlag = 0x1;
constexpr std::uint32_t kSystemFlag = 0x4;
constexpr std::uint32_t kDirectoryFlag = 0x10000000;

} // namespace

template <FieldSink Sink, ntfs::AttributeReader Reader>
void EntryRecords::Write(Sink& sink, Reader& reader, const ntfs::TFileIDs& fileIds, int index,
                         bool withAttributes, SourceTexts texts) {
    const ntfs::TFileID& entry = fileIds[static_cast<std::size_t>(index)];
    sink.Add("index", index);
    sink.Add("record", entry.FileID);
    sink.Add("base", entry.BaseID);
    sink.Add("parent", entry.ParentID);
    sink.AddPlain("type", EntryTypeName(entry.FileType));
    sink.AddPlain("flags", FlagsText(entry.Flags));
    sink.Add("size", entry.Size);
    sink.Add("allocated_size", entry.AllocatedSize);
    sink.Add("disk_size", entry.DiskSize);
    sink.Add("fragments", entry.Fragments);
    AddTime(sink, "created", entry.CreationTime);
    AddTime(sink, "modified", entry.ModificationTime);
    AddTime(sink, "accessed", entry.AccessTime);
    std::u16string_view name(entry.Name.data(), entry.Name.size());
    if (name.starts_with(u'\\')) {
        name.remove_prefix(1);
    }
    if (texts == SourceTexts::Exact) {
        sink.AddUtf16("name", name);
    } else {
        shown_.clear();
        ondisk::AppendPrintableName(name, shown_);
        sink.Add("name", std::string_view(shown_));
    }
    GetEntryPath(fileIds, index, texts, path_);
    sink.AddUtf16("path", path_);
    if (!withAttributes) {
        return;
    }
    // A nested list, which only the JSON formats show: its texts are exact.
    sink.BeginList("attributes");
    reader.GetAttributes(attributes_, entry.FileID);
    for (int i = 0; i < attributes_.size(); ++i) {
        const ntfs::TAttribute& attribute = attributes_[static_cast<std::size_t>(i)];
        sink.BeginItem();
        sink.AddPlain("type", AttributeTypeText(attribute.AttrType, typeName_));
        sink.Add("id", attribute.AttributeID);
        if (!attribute.Name.empty()) {
            sink.Add("name", std::string_view(attribute.Name));
        }
        sink.AddBool("resident", attribute.Resident);
        if (!attribute.Resident) {
            reader.GetDataRuns(i, runs_, entry.FileID);
            sink.BeginList("runs");
            for (const ntfs::TDataRun& run : runs_) {
                sink.BeginItem();
                if (run.Sparse) {
                    sink.AddNull("lcn");
                } else {
                    sink.Add("lcn", run.LCN);
                }
                sink.Add("length", run.Length);
                sink.EndItem();
            }
            sink.EndList();
        }
        if (attribute.AttrType == ondisk::type::kFileName ||
            attribute.AttrType == ondisk::type::kAttributeList) {
            sink.BeginTexts("entries");
            for (const std::u16string& text : attribute.Entries) {
                sink.AddTextUtf16(text);
            }
            sink.EndTexts();
        }
        sink.EndItem();
    }
    sink.EndList();
}

template void EntryRecords::Write(RecordFields&, ntfs::RecordReader&, const ntfs::TFileIDs&, int,
                                  bool, SourceTexts);
template void EntryRecords::Write(RecordFields&, ntfs::BlockAttributeReader&, const ntfs::TFileIDs&,
                                  int, bool, SourceTexts);
template void EntryRecords::Write(JsonMembers&, ntfs::BlockAttributeReader&, const ntfs::TFileIDs&,
                                  int, bool, SourceTexts);

void FillBodyfileRow(Record& row, const BodyfileLine& line) {
    row.Clear();
    row.Add("path", line.path);
    row.AddBool("file_name", line.fileName);
    row.Add("record", line.record);
    row.Add("attribute_type", line.attributeType);
    row.Add("attribute_id", line.attributeId);
    row.AddPlain("mode", line.mode);
    row.Add("size", line.size);
    row.Add("accessed", ntfs::NtfsTimeToUnixSeconds(line.times.Accessed));
    row.Add("modified", ntfs::NtfsTimeToUnixSeconds(line.times.Modified));
    row.Add("changed", ntfs::NtfsTimeToUnixSeconds(line.times.Changed));
    row.Add("created", ntfs::NtfsTimeToUnixSeconds(line.times.Created));
    row.AddBool("deleted", line.deleted);
}

std::string_view BodyfileMode(bool directory, bool readOnly, bool deleted) {
    if (deleted) {
        return directory ? (readOnly ? "-/dr-xr-xr-x" : "-/drwxrwxrwx")
                         : (readOnly ? "-/rr-xr-xr-x" : "-/rrwxrwxrwx");
    }
    return directory ? (readOnly ? "d/dr-xr-xr-x" : "d/drwxrwxrwx")
                     : (readOnly ? "r/rr-xr-xr-x" : "r/rrwxrwxrwx");
}

std::size_t BodyfileRows::Fill(std::vector<Record>& rows, ntfs::RecordReader& records,
                               const ntfs::TFileIDs& fileIds, int index) {
    const ntfs::TFileID& entry = fileIds[static_cast<std::size_t>(index)];
    if (entry.FileID != entry.BaseID) {
        return 0; // an extension record is part of its base record's file
    }
    const auto record = records.ReadInUse(entry.FileID);
    const ntfs::ExtensionReader extensions = [&records, &record](std::int64_t) {
        return record ? ntfs::CopyFileExtensions(records, *record) : ntfs::FileExtensions{};
    };
    return Fill(rows, record && record->valid() ? record->bytes() : std::span<const std::byte>{},
                fileIds, index, extensions);
}

void BodyfileRows::ReadNamesAndStreams(std::span<const std::byte> record,
                                       const ntfs::TFileIDs& fileIds) {
    otherNames_.clear();
    primaryNamed_ = false;
    streams_.clear();
    ReadNamesAndStreamsOf(record, fileIds);
    for (const auto& extension : file_.records) {
        ReadNamesAndStreamsOf(extension, fileIds);
    }
}

void BodyfileRows::ReadNamesAndStreamsOf(std::span<const std::byte> record,
                                         const ntfs::TFileIDs& fileIds) {
    std::u16string parentPath;
    auto walk = ondisk::WalkRecordAttributes(record);
    while (const auto attribute = walk.Next()) {
        if (attribute->type == ondisk::type::kFileName) {
            const auto name = ondisk::DecodeFileName(ondisk::ResidentValue(attribute->bytes));
            if (!name.parent || name.IsDosName()) {
                continue;
            }
            // Each other name as the table would show it there: the path of
            // its directory and the name.
            const std::int32_t parent = fileIds.IndexOfID(*name.parent);
            parentPath.clear();
            if (*name.parent != ntfs::kRootDirectory) {
                if (parent >= 0) {
                    fileIds.GetPath(parent, parentPath);
                }
                if (parentPath.empty()) {
                    parentPath = ntfs::kOrphanMarker;
                }
            }
            parentPath.push_back(u'\\');
            ondisk::AppendPrintableName(ondisk::ReadUtf16(name.name), parentPath);
            // Each name has its own times: a hard link made later says so.
            const ntfs::TNtfsTimes times{name.creationTime, name.modificationTime, name.changeTime,
                                         name.accessTime};
            const std::uint16_t id = ondisk::AttributeId(attribute->bytes);
            if (parentPath == path_) {
                if (!primaryNamed_) {
                    primaryNamed_ = true;
                    primaryTimes_ = times;
                    primaryId_ = id;
                }
            } else if (std::none_of(otherNames_.begin(), otherNames_.end(),
                                    [&parentPath](const BodyfileName& other) {
                                        return other.path == parentPath;
                                    })) {
                otherNames_.push_back({parentPath, times, id});
            }
        } else if (attribute->type == ondisk::type::kData &&
                   ondisk::AttributeNameLength(attribute->bytes) != 0) {
            BodyfileStream stream{ondisk::ReadUtf16(ondisk::AttributeNameBytes(attribute->bytes)),
                                  ondisk::AttributeId(attribute->bytes), 0};
            if (ondisk::IsResident(attribute->bytes)) {
                stream.size = ondisk::ResidentValueLength(attribute->bytes);
            } else if (const auto header = ondisk::DecodeNonResident(attribute->bytes);
                       header && header->lowestVcn == 0) {
                stream.size = header->dataSize;
            } else {
                continue; // a later piece of a stream met before
            }
            if (std::none_of(streams_.begin(), streams_.end(), [&stream](const BodyfileStream& s) {
                    return s.name == stream.name;
                })) {
                streams_.push_back(std::move(stream));
            }
        }
    }
}

void BodyfileRows::TakeContentOfExtensions(ntfs::TRecordTimes& times, std::int64_t base) const {
    if (file_.list.empty()) {
        return;
    }
    // A directory's index, or even a file's data, may stand in an
    // extension record alone.
    for (const auto& extension : file_.records) {
        if (times.ContentType == ondisk::type::kData) {
            break;
        }
        const ntfs::TRecordTimes more = ntfs::ReadRecordTimes(extension);
        if (more.ContentType != 0 &&
            (times.ContentType == 0 || more.ContentType == ondisk::type::kData)) {
            times.ContentType = more.ContentType;
            times.ContentId = more.ContentId;
        }
    }
    if (times.ContentType != 0) {
        const std::u16string_view name =
            times.ContentType == ondisk::type::kIndexRoot ? u"$I30" : u"";
        times.ContentId = ntfs::FileWideAttributeId(file_, base, times.ContentType, name)
                              .value_or(times.ContentId);
    }
}

std::size_t AppendBodyfileLines(std::vector<Record>& rows, std::size_t count,
                                const BodyfileLine& line, const ntfs::TRecordTimes& times,
                                std::span<const BodyfileStream> streams, std::string& room) {
    const auto next = [&rows, &count]() -> Record& {
        if (count == rows.size()) {
            rows.emplace_back();
        }
        return rows[count++];
    };
    FillBodyfileRow(next(), line);
    if (times.HasFileName) {
        BodyfileLine names = line;
        names.fileName = true;
        names.attributeType = ondisk::type::kFileName;
        names.attributeId = times.FileNameId;
        names.times = times.FileName;
        FillBodyfileRow(next(), names);
    }
    for (const BodyfileStream& stream : streams) {
        room.assign(line.path);
        room.push_back(':');
        ondisk::AppendPrintableName(stream.name, room);
        BodyfileLine data = line;
        data.path = room;
        data.attributeType = ondisk::type::kData;
        data.attributeId = stream.id;
        data.size = stream.size;
        FillBodyfileRow(next(), data);
    }
    return count;
}

std::size_t BodyfileRows::Fill(std::vector<Record>& rows, std::span<const std::byte> record,
                               const ntfs::TFileIDs& fileIds, int index,
                               const ntfs::ExtensionReader& extensions) {
    const ntfs::TFileID& entry = fileIds[static_cast<std::size_t>(index)];
    if (entry.FileID != entry.BaseID) {
        return 0;
    }
    // A file with many names (hard links) or streams keeps the rest in
    // extension records, which its attribute list names: a directory's
    // index may stand there too.
    file_ = {};
    if (const ondisk::AttributeKey anyList{
            .type = ondisk::type::kAttributeList, .name = {}, .lowestVcn = {}, .id = {}};
        !record.empty() && ondisk::FindAttribute(record, anyList)) {
        file_ = extensions(entry.FileID);
    }
    ntfs::TRecordTimes times;
    if (!record.empty()) {
        times = ntfs::ReadRecordTimes(record);
    }
    TakeContentOfExtensions(times, entry.FileID);
    if (!times.HasStandard) {
        // What the table read when the record was enumerated; it keeps no
        // change time.
        times.Standard = {entry.CreationTime, entry.ModificationTime, 0, entry.AccessTime};
    }
    const bool directory = entry.FileType == ntfs::kTypeDirectory ||
                           entry.FileType == ntfs::kTypeSystemDirectory ||
                           (entry.Flags & kDirectoryFlag) != 0;
    const bool readOnly = (entry.Flags & (kReadOnlyFlag | kSystemFlag)) != 0;
    fileIds.GetPath(index, path_);
    ReadNamesAndStreams(record, fileIds);
    for (BodyfileStream& stream : streams_) {
        stream.id = ntfs::FileWideAttributeId(file_, entry.FileID, ondisk::type::kData, stream.name)
                        .value_or(stream.id);
    }
    ondisk::ToUtf8(path_, text_);
    BodyfileLine line{text_,
                      false,
                      entry.FileID,
                      times.ContentType,
                      times.ContentId,
                      BodyfileMode(directory, readOnly, false),
                      entry.Size,
                      times.Standard,
                      false};
    if (primaryNamed_ && times.HasFileName) {
        times.FileName = primaryTimes_;
        times.FileNameId = primaryId_;
    }
    std::size_t count = AppendBodyfileLines(rows, 0, line, times, streams_, streamText_);
    for (const BodyfileName& other : otherNames_) {
        ondisk::ToUtf8(other.path, text_);
        line.path = text_;
        times.HasFileName = true;
        times.FileName = other.times;
        times.FileNameId = other.id;
        count = AppendBodyfileLines(rows, count, line, times, streams_, streamText_);
    }
    return count;
}

namespace {

// Ends the walk of the blocks at the first write that fails.
struct OutputFailed {};

// Blocks of records left unread: the rows of the flat formats take nothing
// from the records, only the walk's threads.
class UnreadBlocks final : public platform::FileRecordBlocks {
  public:
    explicit UnreadBlocks(std::uint32_t recordSize) : recordSize_(recordSize) {}
    [[nodiscard]] std::uint32_t recordSize() const override { return recordSize_; }
    void Read(std::int64_t /*first*/, std::span<std::byte> /*out*/,
              std::span<std::uint8_t> readable) const override {
        std::fill(readable.begin(), readable.end(), std::uint8_t{0});
    }

  private:
    std::uint32_t recordSize_;
};

// The rows of entries [from, to) as `writer` formats them, from the
// records of a block; each thread its own rows and their room, kept from
// block to block.
void FormatBlock(ntfs::BlockAttributeReader& reader, const ntfs::TFileIDs& fileIds, int from,
                 int to, const RecordWriter& writer, Format format, std::string& text) {
    thread_local EntryRecords entries;
    thread_local std::vector<Record> rows(1);
    thread_local BodyfileRows bodyRows;
    thread_local JsonMembers members;
    const bool withAttributes = format == Format::Json || format == Format::JsonLines;
    const SourceTexts texts = SourceTextsOf(format);
    // The JSON rows are written straight into the blocks' texts.
    const RecordWriter::JsonRowFrame* jsonRow = writer.JsonRow();
    for (int i = from; i < to; ++i) {
        if (format == Format::Bodyfile) {
            const auto record = reader.Record(fileIds[static_cast<std::size_t>(i)].FileID);
            const std::size_t count = bodyRows.Fill(rows, record, fileIds, i, reader.Extensions());
            for (std::size_t r = 0; r < count; ++r) {
                writer.FormatRow(text, rows[r]);
            }
        } else if (jsonRow != nullptr) {
            members.Begin(jsonRow->open, jsonRow->comma);
            entries.Write(members, reader, fileIds, i, withAttributes, texts);
            members.End(jsonRow->close, text);
        } else {
            entries.Fill(rows[0], reader, fileIds, i, withAttributes, texts);
            writer.FormatRow(text, rows[0]);
        }
    }
}

void WriteFromBlocks(Output& out, RecordWriter& writer, Format format, ntfs::RecordReader& records,
                     const platform::FileRecordBlocks& blocks, const ntfs::TFileIDs& fileIds) {
    // The fields of every row, for a header: those of the first entry's.
    Record first;
    if (format != Format::Bodyfile) {
        EntryRecords firstEntry;
        firstEntry.Fill(first, records, fileIds, 0, false, SourceTextsOf(format));
    }
    ntfs::TEntryBlockWalk walk;
    walk.format = [&](ntfs::BlockAttributeReader& reader, int from, int to, std::string& text) {
        FormatBlock(reader, fileIds, from, to, writer, format, text);
    };
    walk.write = [&](std::string_view text) {
        writer.FormattedRows(text, first);
        if (out.Failed()) {
            throw OutputFailed{};
        }
    };
    try {
        // The attributes and their runs are nested lists, which only the
        // JSON formats show: the others never read the records again, but
        // for the times of a body file.
        if (format == Format::Bodyfile || format == Format::Json || format == Format::JsonLines) {
            ntfs::WalkEntryBlocks(records, blocks, fileIds, walk);
        } else {
            ntfs::WalkEntryBlocks(records, UnreadBlocks(blocks.recordSize()), fileIds, walk);
        }
    } catch (const OutputFailed&) {
        // Said by whoever flushes the output last.
    }
}

// A record query at a time.
void WriteFromQueries(Output& out, RecordWriter& writer, Format format, ntfs::RecordReader& records,
                      const ntfs::TFileIDs& fileIds) {
    const bool withAttributes = format == Format::Json || format == Format::JsonLines;
    std::vector<Record> rows(1);
    EntryRecords entries;
    BodyfileRows bodyRows;
    for (int i = 0; i < fileIds.size() && !out.Failed(); ++i) {
        if (format == Format::Bodyfile) {
            const std::size_t count = bodyRows.Fill(rows, records, fileIds, i);
            for (std::size_t r = 0; r < count; ++r) {
                writer.Row(rows[r]);
            }
        } else {
            entries.Fill(rows[0], records, fileIds, i, withAttributes, SourceTextsOf(format));
            writer.Row(rows[0]);
        }
    }
}

} // namespace

void WriteFileTable(Output& out, RecordWriter& writer, Format format, ntfs::NtfsVolume& volume,
                    const ntfs::TFileIDs& fileIds) {
    writer.BeginTable("files");
    ntfs::RecordReader records = volume.OpenRecordReader();
    const auto blocks =
        !fileIds.empty() && ntfs::InRecordOrder(fileIds) ? records.OpenRecordBlocks() : nullptr;
    if (blocks) {
        WriteFromBlocks(out, writer, format, records, *blocks, fileIds);
    } else {
        WriteFromQueries(out, writer, format, records, fileIds);
    }
    writer.EndTable();
}

void WriteDriveFileTable(Output& out, Format format, const Record& label, ntfs::NtfsVolume& volume,
                         const ntfs::TFileIDs& fileIds) {
    const auto writer = MakeWriter(format, out);
    writer->BeginDrive(label);
    WriteFileTable(out, *writer, format, volume, fileIds);
    writer->EndDrive();
    writer->Finish();
}

} // namespace lorvex::records

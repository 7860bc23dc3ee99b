#include "cli/Listings.h"

#include "ntfs/EntryBlocks.h"
#include "ntfs/Formatters.h"
#include "ntfs/RecordTimes.h"
#include "ondisk/Printable.h"
#include "ondisk/Utf16.h"
#include "volume/VolumeMap.h"

#include <algorithm>
#include <charconv>

namespace lorvex::cli {

namespace {

// The name of an attribute type without building it: the known ones are
// constants.
std::string_view TypeName(std::uint32_t code, std::string& room) {
    const std::uint8_t index = ntfs::AttributeTypeIndex(code);
    if (index != ntfs::kUnknownTypeIndex) {
        return ntfs::AttributeTypes[index].Name;
    }
    room = ntfs::AttributeTypeName(code);
    return room;
}

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

// The extent of entry `fileIndex` that holds `lcn`, among the extents that
// start at or before it; null when none does.
const ntfs::TClusterEntry* HoldingExtent(const ntfs::TClusterArray& clusters, std::int64_t lcn,
                                         std::uint32_t fileIndex) {
    auto it = std::upper_bound(
        clusters.begin(), clusters.end(), lcn,
        [](std::int64_t value, const ntfs::TClusterEntry& e) { return value < e.LCN; });
    while (it != clusters.begin()) {
        --it;
        if (it->FileIndex == fileIndex && lcn < ntfs::ExtentEnd(it->LCN, it->Length)) {
            return &*it;
        }
    }
    return nullptr;
}

// File attribute bits of $STANDARD_INFORMATION and $FILE_NAME.
constexpr std::uint32_t kReadOnlyFlag = 0x1;
constexpr std::uint32_t kSystemFlag = 0x4;
constexpr std::uint32_t kDirectoryFlag = 0x10000000;

void AppendDecimal(std::string& out, std::int64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
}

// A path for a body file, from the path as shown (TFileIDs::GetPath): its
// fields are separated by '|' and its paths by '/'. In a path as shown a
// backslash is a separator unless "u{" follows it (an escape), and the
// names hold no control character; a '/' and a '|' in a name (which only
// POSIX-namespace names can hold) are escaped as the rest is.
void AppendBodyName(std::string& out, std::string_view drive, std::string_view path) {
    out.append(drive);
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '\\' && path.substr(i + 1, 2) != "u{") {
            out.push_back('/');
        } else if (c == '/') {
            out.append("\\u{2f}");
        } else if (c == '|') {
            out.append("\\u{7c}");
        } else {
            out.push_back(c);
        }
    }
}

void AppendBodyLine(std::string& out, std::string_view name, std::string_view suffix,
                    std::int64_t record, std::uint32_t attrType, std::uint16_t attrId,
                    std::string_view mode, std::int64_t size, const ntfs::TNtfsTimes& times) {
    out.append("0|").append(name).append(suffix).push_back('|');
    AppendDecimal(out, record);
    if (attrType != 0) {
        out.push_back('-');
        AppendDecimal(out, attrType);
        out.push_back('-');
        AppendDecimal(out, attrId);
    }
    out.push_back('|');
    out.append(mode).append("|0|0|");
    AppendDecimal(out, size);
    for (const std::int64_t time : {times.Accessed, times.Modified, times.Changed, times.Created}) {
        out.push_back('|');
        AppendDecimal(out, ntfs::NtfsTimeToUnixSeconds(time));
    }
    out.push_back('\n');
}

} // namespace

SourceTexts SourceTextsOf(Format format) {
    return format == Format::Json || format == Format::JsonLines ? SourceTexts::Exact
                                                                 : SourceTexts::Shown;
}

namespace {

// A text of the source other than a name (a label, a source's path), as
// `texts` says.
std::string SourceText(std::string_view text, SourceTexts texts) {
    return texts == SourceTexts::Exact ? std::string(text) : ondisk::Printable(text);
}

} // namespace

void GetEntryPath(const ntfs::TFileIDs& fileIds, int index, SourceTexts texts,
                  std::u16string& path) {
    if (texts == SourceTexts::Exact) {
        fileIds.GetExactPath(index, path);
    } else {
        fileIds.GetPath(index, path);
    }
}

std::string_view EntryTypeName(std::uint8_t fileType) {
    switch (fileType) {
    case ntfs::kTypeFile:
        return "file";
    case ntfs::kTypeDirectory:
        return "directory";
    case ntfs::kTypeSystem:
        return "system";
    case ntfs::kTypeSystemDirectory:
        return "system-directory";
    default:
        return "unknown";
    }
}

void FillDriveLabel(Record& record, const platform::RawVolumeSystem::Drive& drive,
                    SourceTexts texts) {
    record.Clear();
    record.Add("drive", drive.Name());
    record.Add("source", SourceText(drive.region.path, texts));
    record.Add("partition", drive.region.partition);
    record.Add("read_as", drive.region.reading.Text());
}

void FillVolume(Record& record, const ntfs::TNTFSVolume& volume, SourceTexts texts) {
    record.Clear();
    record.Add("file_system", volume.FFileSystem);
    record.Add("label", SourceText(volume.FVolumeName, texts));
    record.Add("serial", volume.FSerial);
    if (volume.FTotalClusters == 0) {
        // Not NTFS, or unreadable: the same fields, without values, so that
        // a table of several drives keeps its columns.
        for (const std::string_view key :
             {"device_path", "sectors", "bytes_per_sector", "clusters", "bytes_per_cluster",
              "free_clusters", "bytes_per_record", "mft_lcn", "mft_mirror_lcn", "mft_valid_bytes",
              "mft_zone_first", "mft_zone_last", "flags"}) {
            record.AddNull(key);
        }
        return;
    }
    record.Add("device_path", volume.FVolumePath);
    record.Add("sectors", volume.FNumberSectors);
    record.Add("bytes_per_sector", volume.FBytesPerSector);
    record.Add("clusters", volume.FTotalClusters);
    record.Add("bytes_per_cluster", volume.FBytesPerCluster);
    record.Add("free_clusters", volume.FFreeClusters);
    record.Add("bytes_per_record", volume.FBytesPerFileRecordSegment);
    record.Add("mft_lcn", volume.FMftStartLcn);
    record.Add("mft_mirror_lcn", volume.FMft2StartLcn);
    record.Add("mft_valid_bytes", volume.FMftValidDataLength);
    record.Add("mft_zone_first", volume.FMftZoneStart);
    record.Add("mft_zone_last", volume.FMftZoneEnd);
    record.Add("flags", volume.FFileSystemFlags);
}

std::uint8_t RowType(const ntfs::TFileIDs& fileIds, const ntfs::TFragmentationRow& row) {
    const std::int32_t index = fileIds.IndexOfID(row.BaseID);
    return index < 0 ? 0 : fileIds.FItems[static_cast<std::size_t>(index)].FileType;
}

FragmentCounts CountFragmented(const ntfs::TFileIDs& fileIds,
                               const std::vector<ntfs::TFragmentationRow>& rows) {
    FragmentCounts counts;
    for (const auto& row : rows) {
        ++counts.total;
        switch (RowType(fileIds, row)) {
        case ntfs::kTypeFile:
            ++counts.files;
            break;
        case ntfs::kTypeDirectory:
            ++counts.directories;
            break;
        case ntfs::kTypeSystem:
            ++counts.system;
            break;
        default:
            ++counts.other;
            break;
        }
    }
    return counts;
}

FragmentCounts CountFragmented(const ntfs::TFileIDs& fileIds) {
    const auto count = static_cast<std::size_t>(std::clamp<std::int64_t>(
        fileIds.FCount, 0, static_cast<std::int64_t>(fileIds.FItems.size())));
    // The rows group the entries by base record and keep the groups of more
    // than one fragment; only how many there are of each type is asked for
    // here, which sums per base record give without sorting the table. A
    // scan numbers its base records densely enough for a table indexed by
    // record number; anything else takes the rows' own way.
    std::int64_t top = -1;
    bool dense = true;
    for (std::size_t i = 0; i < count && dense; ++i) {
        const std::int64_t base = fileIds.FItems[i].BaseID;
        dense = base >= 0 && static_cast<std::uint64_t>(base) < 4 * count + 1024;
        top = std::max(top, base);
    }
    if (!dense) {
        ntfs::TCardinalArray order;
        ntfs::TNTFSVolume::GetBaseIDOrder(fileIds, order);
        return CountFragmented(fileIds, ntfs::FragmentationRows(fileIds, order));
    }
    const auto size = static_cast<std::size_t>(top + 1);
    // The same 32-bit sums as the rows make.
    std::vector<std::uint32_t> totals(size, 0);
    std::vector<bool> present(size, false);
    for (std::size_t i = 0; i < count; ++i) {
        const auto base = static_cast<std::size_t>(fileIds.FItems[i].BaseID);
        totals[base] += fileIds.FItems[i].Fragments;
        present[base] = true;
    }
    std::vector<ntfs::TFragmentationRow> rows;
    for (std::size_t base = 0; base < size; ++base) {
        if (present[base] && totals[base] > 1) {
            rows.push_back({static_cast<std::int64_t>(base), {}, totals[base]});
        }
    }
    return CountFragmented(fileIds, rows);
}

void FillSummary(Record& record, const ntfs::TNTFSVolume& volume, const ntfs::TFileIDs& fileIds,
                 const ntfs::TClusterArray& clusters, const FragmentCounts& fragmented,
                 const std::vector<StageSeconds>& stages, SourceTexts texts) {
    record.Clear();
    const std::int64_t bytesPerCluster = volume.FBytesPerCluster;
    const std::int64_t used = volume.FTotalClusters - volume.FFreeClusters;
    record.Add("label", SourceText(volume.FVolumeName, texts));
    record.Add("clusters", volume.FTotalClusters);
    record.Add("bytes_per_cluster", bytesPerCluster);
    record.Add("bytes", volume.FTotalClusters * bytesPerCluster);
    record.Add("free_clusters", volume.FFreeClusters);
    record.Add("free_bytes", volume.FFreeClusters * bytesPerCluster);
    record.Add("used_clusters", used);
    record.Add("used_bytes", used * bytesPerCluster);
    record.Add("entries", fileIds.FCount);
    record.Add("extents", clusters.size());
    record.Add("fragmented", fragmented.total);
    record.Add("fragmented_files", fragmented.files);
    record.Add("fragmented_directories", fragmented.directories);
    record.Add("fragmented_system", fragmented.system);
    record.Add("fragmented_other", fragmented.other);
    double total = 0;
    auto& list = record.AddList("stages");
    for (const auto& stage : stages) {
        Record& item = list.Add();
        item.Add("stage", stage.title);
        item.AddReal("seconds", stage.seconds);
        total += stage.seconds;
    }
    record.AddReal("seconds", total);
}

void FillFragmentRow(Record& record, const ntfs::TFileIDs& fileIds,
                     const ntfs::TFragmentationRow& row, SourceTexts texts) {
    record.Clear();
    record.Add("record", row.BaseID);
    record.Add("fragments", row.Fragments);
    record.Add("type", EntryTypeName(RowType(fileIds, row)));
    if (texts == SourceTexts::Exact) {
        std::u16string path;
        GetEntryPath(fileIds, row.Entry, texts, path);
        ondisk::ToUtf8(path, record.AddText("path"));
    } else {
        ondisk::ToUtf8(row.Path, record.AddText("path"));
    }
}

void FillOwner(Record& record, std::int64_t lcn, const ntfs::TNTFSVolume& volume,
               const ntfs::TFileIDs& fileIds, const ntfs::TClusterArray& clusters,
               const map::TVolumeLayout& layout, SourceTexts texts) {
    record.Clear();
    record.Add("lcn", lcn);
    // The layer beneath the file system keeps these for itself.
    if (const ntfs::TReservedRun* reserved = volume.ReservedAt(lcn)) {
        record.Add("kind", map::RunKindName(map::TRunKind::System));
        record.AddNull("type");
        record.AddNull("record");
        record.AddNull("attribute");
        record.Add("description", reserved->Name);
        record.AddNull("path");
        return;
    }
    const std::int64_t owner = ntfs::TNTFSVolume::FindClusterOwner(clusters, lcn);
    std::string description;
    volume.DescribeCluster(clusters, fileIds, description, true, lcn);
    if (owner < 0 || owner >= fileIds.FCount) {
        record.Add("kind", map::RunKindName(map::UnheldKind(layout, lcn)));
        record.AddNull("type");
        record.AddNull("record");
        record.AddNull("attribute");
        record.Add("description", description);
        record.AddNull("path");
        return;
    }
    const auto index = static_cast<std::size_t>(owner);
    const ntfs::TFileID& entry = fileIds.FItems[index];
    record.Add("kind", map::RunKindName(map::EntryRunKind(fileIds, index)));
    record.Add("type", EntryTypeName(entry.FileType));
    record.Add("record", entry.FileID);
    const auto* extent = HoldingExtent(clusters, lcn, static_cast<std::uint32_t>(owner));
    record.AddTextOrNull("attribute",
                         extent != nullptr ? ntfs::AttributeTypeName(extent->AttrType) : "");
    record.Add("description", description);
    std::u16string path;
    GetEntryPath(fileIds, static_cast<int>(owner), texts, path);
    ondisk::ToUtf8(path, record.AddText("path"));
}

template <FieldSink Sink, ntfs::AttributeReader Reader>
void EntryRecords::Write(Sink& sink, Reader& reader, const ntfs::TFileIDs& fileIds, int index,
                         bool withAttributes, SourceTexts texts) {
    const ntfs::TFileID& entry = fileIds.FItems[static_cast<std::size_t>(index)];
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
    for (int i = 0; i < attributes_.FCount; ++i) {
        const ntfs::TAttribute& attribute = attributes_.FItems[static_cast<std::size_t>(i)];
        sink.BeginItem();
        sink.AddPlain("type", TypeName(attribute.AttrType, typeName_));
        sink.Add("id", attribute.AttributeID);
        if (!attribute.Name.empty()) {
            sink.Add("name", std::string_view(attribute.Name));
        }
        sink.AddBool("resident", attribute.Resident);
        if (!attribute.Resident) {
            reader.GetDataRuns(i, runs_, entry.FileID);
            sink.BeginList("runs");
            for (int j = 0; j < runs_.FCount; ++j) {
                const ntfs::TDataRun& run = runs_.FItems[static_cast<std::size_t>(j)];
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

template void EntryRecords::Write(RecordFields&, ntfs::TNTFSVolume&, const ntfs::TFileIDs&, int,
                                  bool, SourceTexts);
template void EntryRecords::Write(RecordFields&, ntfs::BlockAttributeReader&, const ntfs::TFileIDs&,
                                  int, bool, SourceTexts);
template void EntryRecords::Write(JsonMembers&, ntfs::BlockAttributeReader&, const ntfs::TFileIDs&,
                                  int, bool, SourceTexts);

void FillClusterRun(Record& record, const map::TClusterRun& run, const ntfs::TFileIDs& fileIds,
                    std::u16string& path, SourceTexts texts) {
    record.Clear();
    record.Add("first_lcn", run.First);
    record.Add("count", run.Count);
    record.Add("kind", map::RunKindName(run.Kind));
    if (run.FileIndex < 0) {
        record.AddNull("record");
        record.AddNull("attribute");
        // A reserved run has no path, but a name.
        record.AddTextOrNull("path", run.Reserved);
        return;
    }
    record.Add("record", fileIds.FItems[static_cast<std::size_t>(run.FileIndex)].FileID);
    std::string room;
    record.Add("attribute", TypeName(run.AttrType, room));
    GetEntryPath(fileIds, static_cast<int>(run.FileIndex), texts, path);
    ondisk::ToUtf8(path, record.AddText("path"));
}

void BodyfileLines::Append(std::string& out, ntfs::TNTFSVolume& volume,
                           const ntfs::TFileIDs& fileIds, int index, std::string_view drive) {
    const ntfs::TFileID& entry = fileIds.FItems[static_cast<std::size_t>(index)];
    if (entry.FileID != entry.BaseID) {
        return; // an extension record is part of its base record's file
    }
    std::span<const std::byte> record;
    if (volume.ReadFileRecord(entry.FileID) == entry.FileID &&
        volume.FRecord.FileReferenceNumber == entry.FileID &&
        ntfs::IsValidRecord(volume.FRecord.FileRecordBuffer)) {
        record = volume.FRecord.FileRecordBuffer;
    }
    Append(out, record, fileIds, index, drive);
}

void BodyfileLines::Append(std::string& out, std::span<const std::byte> record,
                           const ntfs::TFileIDs& fileIds, int index, std::string_view drive) {
    const ntfs::TFileID& entry = fileIds.FItems[static_cast<std::size_t>(index)];
    if (entry.FileID != entry.BaseID) {
        return;
    }
    ntfs::TRecordTimes times;
    if (!record.empty()) {
        times = ntfs::ReadRecordTimes(record);
    }
    if (!times.HasStandard) {
        // What the table read when the record was enumerated; it keeps no
        // change time.
        times.Standard = {entry.CreationTime, entry.ModificationTime, 0, entry.AccessTime};
    }
    const bool directory = entry.FileType == ntfs::kTypeDirectory ||
                           entry.FileType == ntfs::kTypeSystemDirectory ||
                           (entry.Flags & kDirectoryFlag) != 0;
    // Read-only and system files show without write permission, as other
    // timeline tools show them.
    const bool readOnly = (entry.Flags & (kReadOnlyFlag | kSystemFlag)) != 0;
    std::string_view mode = directory ? (readOnly ? "d/dr-xr-xr-x" : "d/drwxrwxrwx")
                                      : (readOnly ? "r/rr-xr-xr-x" : "r/rrwxrwxrwx");
    fileIds.GetPath(index, path_);
    ondisk::ToUtf8(path_, text_);
    name_.clear();
    AppendBodyName(name_, drive, text_);
    AppendBodyLine(out, name_, "", entry.FileID, times.ContentType, times.ContentId, mode,
                   entry.Size, times.Standard);
    if (times.HasFileName) {
        AppendBodyLine(out, name_, " ($FILE_NAME)", entry.FileID, ondisk::type::kFileName,
                       times.FileNameId, mode, entry.Size, times.FileName);
    }
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

} // namespace

void WriteFileTable(Output& out, RecordWriter* writer, Format format, ntfs::TNTFSVolume& volume,
                    const ntfs::TFileIDs& fileIds, std::string_view drive) {
    const bool bodyfile = format == Format::Bodyfile;
    // The attributes and their runs are nested lists, which only the JSON
    // formats show: the others never read the records again, but for the
    // times of a body file.
    const bool withAttributes = format == Format::Json || format == Format::JsonLines;
    const SourceTexts texts = SourceTextsOf(format);
    if (!bodyfile) {
        writer->BeginTable("files");
    }
    // The JSON rows are written straight into the blocks' texts.
    const RecordWriter::JsonRowFrame* jsonRow = bodyfile ? nullptr : writer->JsonRow();
    volume.OpenVolume();
    const auto blocks =
        fileIds.FCount > 0 && ntfs::InRecordOrder(fileIds) ? volume.OpenRecordBlocks() : nullptr;
    if (blocks) {
        // The fields of every row, for a header: those of the first entry's.
        Record first;
        EntryRecords firstEntry;
        if (!bodyfile) {
            firstEntry.Fill(first, volume, fileIds, 0, false, texts);
        }
        ntfs::TEntryBlockWalk walk;
        walk.format = [&](ntfs::BlockAttributeReader& reader, int from, int to, std::string& text) {
            // Each thread its own rows and their room, kept from block to
            // block.
            thread_local EntryRecords entries;
            thread_local Record row;
            thread_local BodyfileLines lines;
            thread_local JsonMembers members;
            for (int i = from; i < to; ++i) {
                if (bodyfile) {
                    lines.Append(text,
                                 reader.Record(fileIds.FItems[static_cast<std::size_t>(i)].FileID),
                                 fileIds, i, drive);
                } else if (jsonRow != nullptr) {
                    members.Begin(jsonRow->open, jsonRow->comma);
                    entries.Write(members, reader, fileIds, i, withAttributes, texts);
                    members.End(jsonRow->close, text);
                } else {
                    entries.Fill(row, reader, fileIds, i, withAttributes, texts);
                    writer->FormatRow(text, row);
                }
            }
        };
        walk.write = [&](std::string_view text) {
            if (bodyfile) {
                out.Write(text);
            } else {
                writer->FormattedRows(text, first);
            }
            if (out.Failed()) {
                throw OutputFailed{};
            }
        };
        try {
            if (bodyfile || withAttributes) {
                ntfs::WalkEntryBlocks(volume, *blocks, fileIds, walk);
            } else {
                ntfs::WalkEntryBlocks(volume, UnreadBlocks(blocks->recordSize()), fileIds, walk);
            }
        } catch (const OutputFailed&) {
            // Said by whoever flushes the output last.
        }
    } else if (bodyfile) {
        BodyfileLines lines;
        for (int i = 0; i < fileIds.FCount && !out.Failed(); ++i) {
            lines.Append(out.Buffer(), volume, fileIds, i, drive);
            out.Step();
        }
    } else {
        EntryRecords entries;
        Record row;
        for (int i = 0; i < fileIds.FCount && !out.Failed(); ++i) {
            entries.Fill(row, volume, fileIds, i, withAttributes, texts);
            writer->Row(row);
        }
    }
    volume.CloseVolume();
    if (!bodyfile) {
        writer->EndTable();
    }
}

std::vector<std::uint8_t> ReadBitmap(platform::VolumeApi& api, const std::string& driveRoot,
                                     std::int64_t totalClusters) {
    std::vector<std::uint8_t> bits(
        static_cast<std::size_t>((std::max<std::int64_t>(totalClusters, 0) + 7) / 8));
    if (!volume::ReadVolumeBitmap(api, driveRoot, bits)) {
        bits.clear();
    }
    return bits;
}

} // namespace lorvex::cli

#pragma once

#include "ntfs/Attributes.h"
#include "ntfs/EntryBlocks.h"
#include "ntfs/Formatters.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordTimes.h"
#include "records/Fields.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The file table (--files): a row per entry, or in the body file the lines
// of its timeline.
namespace lorvex::records {

// The rows of the file table, one per entry; with `withAttributes`, each
// entry's record is read for its attributes and their runs, as the export
// reads them: from the volume (its handle open) or from a block of records
// in hand.
class EntryRecords {
  public:
    // The fields of entry `index`, in their order, into `sink`: RecordFields
    // or JsonMembers. Every format's row comes from this one list of fields.
    template <FieldSink Sink, ntfs::AttributeReader Reader>
    void Write(Sink& sink, Reader& reader, const ntfs::TFileIDs& fileIds, int index,
               bool withAttributes, SourceTexts texts);
    // The same fields as `record`'s, which is cleared first.
    template <ntfs::AttributeReader Reader>
    void Fill(Record& record, Reader& reader, const ntfs::TFileIDs& fileIds, int index,
              bool withAttributes, SourceTexts texts) {
        record.Clear();
        RecordFields fields(record);
        Write(fields, reader, fileIds, index, withAttributes, texts);
    }

  private:
    ntfs::TAttributes attributes_;
    ntfs::TDataRuns runs_;
    std::u16string path_;
    std::string typeName_;
    std::string shown_;
};

// One line of the body file (BodyfileWriter.h), as a row of these fields
// in this order: path (as shown; a named stream's "path:stream"),
// file_name (whether the line is of the $FILE_NAME times), record,
// attribute_type and attribute_id (of the times' attribute or the stream;
// 0 for none), mode, size, the accessed, modified, changed and created
// times in seconds of the Unix epoch, and deleted (whether the entry is a
// deleted one).
struct BodyfileLine {
    std::string_view path;
    bool fileName = false;
    std::int64_t record = 0;
    std::uint32_t attributeType = 0;
    std::uint16_t attributeId = 0;
    std::string_view mode;
    std::int64_t size = 0;
    ntfs::TNtfsTimes times;
    bool deleted = false;
};
void FillBodyfileRow(Record& row, const BodyfileLine& line);

// The mode a timeline shows: the kind of the name ("-" when the name is
// deleted with its record, as other timeline tools show such names), then
// the kind of the entry and its permissions; a read-only or a system entry
// shows without write permission.
std::string_view BodyfileMode(bool directory, bool readOnly, bool deleted);

// A named $DATA stream of an entry, for its body-file line.
struct BodyfileStream {
    std::u16string name;
    std::uint16_t id = 0;
    std::int64_t size = 0;
};

// The body-file lines of one name of an entry, appended to `rows` from
// `count` on (grown as needed, its room kept): `line` with the
// $STANDARD_INFORMATION times, the line of the $FILE_NAME times of `times`
// when it has them, and a line per stream of `streams` ("path:stream", the
// stream's id and size). Returns the new count.
std::size_t AppendBodyfileLines(std::vector<Record>& rows, std::size_t count,
                                const BodyfileLine& line, const ntfs::TRecordTimes& times,
                                std::span<const BodyfileStream> streams, std::string& room);

// The rows of the body file of an entry: per base record one with its
// $STANDARD_INFORMATION times and one with its $FILE_NAME times, then a
// row per named $DATA stream; the same again under each other name (hard
// link). The names and streams are those of the base record and of the
// extension records its attribute list names. None for an extension record.
class BodyfileRows {
  public:
    // The rows of entry `index` into `rows` (grown as needed, its room
    // kept), its record read from the volume, whose handle must be open.
    // Returns how many.
    std::size_t Fill(std::vector<Record>& rows, ntfs::RecordReader& records,
                     const ntfs::TFileIDs& fileIds, int index);
    // The same from the entry's record in hand: valid and in use, or empty
    // when it does not read. `extensions` is asked for the extension
    // records of a record with an attribute list.
    std::size_t Fill(std::vector<Record>& rows, std::span<const std::byte> record,
                     const ntfs::TFileIDs& fileIds, int index,
                     const ntfs::ExtensionReader& extensions);

  private:
    void ReadNamesAndStreams(std::span<const std::byte> record, const ntfs::TFileIDs& fileIds);
    void ReadNamesAndStreamsOf(std::span<const std::byte> record, const ntfs::TFileIDs& fileIds);
    // The content attribute ($DATA, a directory's $INDEX_ROOT) of a file
    // whose base record holds none, and its id across the file's records.
    void TakeContentOfExtensions(ntfs::TRecordTimes& times, std::int64_t base) const;

    std::u16string path_;
    std::string text_;
    std::string streamText_;
    // The name the table shows, as the record holds it, and the others.
    struct BodyfileName {
        std::u16string path;
        ntfs::TNtfsTimes times;
        std::uint16_t id = 0;
    };
    bool primaryNamed_ = false;
    ntfs::TNtfsTimes primaryTimes_;
    std::uint16_t primaryId_ = 0;
    std::vector<BodyfileName> otherNames_;
    std::vector<BodyfileStream> streams_;
    ntfs::FileExtensions file_; // the entry's beyond its base record
};

// The --files listing through `writer` in `format`: the rows of the file
// table, or with Bodyfile the rows of its body file. From the volume layer's
// blocks of records on every core when it has them and the table is in
// record order, else a record query at a time; the same bytes either way.
// Stops at the first write that fails (out.Failed()).
void WriteFileTable(Output& out, RecordWriter& writer, Format format, ntfs::NtfsVolume& volume,
                    const ntfs::TFileIDs& fileIds);

// The same for one drive, whole, into `out`: what a run of lorvex-scan over
// that drive alone writes with --files --format, `label` the drive's
// (FillDriveLabel). The window's export writes through this.
void WriteDriveFileTable(Output& out, Format format, const Record& label, ntfs::NtfsVolume& volume,
                         const ntfs::TFileIDs& fileIds);

} // namespace lorvex::records

#pragma once

#include "cli/Record.h"
#include "map/ClusterRuns.h"
#include "ntfs/Attributes.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/Formatters.h"
#include "ntfs/NTFSVolume.h"
#include "platform/RawVolumeSystem.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The records of lorvex-scan's listings, built from a finished scan. Their
// field names are the ones the manual page documents; every row of a table
// has the same fields in the same order, and a text field that may hold
// tabs (a path) comes last.
namespace lorvex::cli {

// How a listing writes the texts that come from the source (names, paths,
// labels, and the paths of its sources): the JSON formats give them exactly,
// escaped as JSON escapes (JsonText.h); text, CSV and the body file show
// them with what is not printable escaped (ondisk/Printable.h).
enum class SourceTexts : std::uint8_t { Exact, Shown };
SourceTexts SourceTextsOf(Format format);
// Entry `index`'s path, exact or as shown (TFileIDs::GetPath), as `texts`
// says.
void GetEntryPath(const ntfs::TFileIDs& fileIds, int index, SourceTexts texts,
                  std::u16string& path);

// "file", "directory", "system", "system-directory" (record 11, $Extend)
// or "unknown".
std::string_view EntryTypeName(std::uint8_t fileType);

// "drive", "source", "partition" (0 for a source that is one volume).
void FillDriveLabel(Record& record, const platform::RawVolumeSystem::Drive& drive,
                    SourceTexts texts);

// The volume's facts, as --info prints them.
void FillVolume(Record& record, const ntfs::TNTFSVolume& volume, SourceTexts texts);

// The fragmented entries of the --fragmented listing, by type.
struct FragmentCounts {
    std::int64_t total = 0;
    std::int64_t files = 0;
    std::int64_t directories = 0;
    std::int64_t system = 0;
    std::int64_t other = 0;
};
std::uint8_t RowType(const ntfs::TFileIDs& fileIds, const ntfs::TFragmentationRow& row);
FragmentCounts CountFragmented(const ntfs::TFileIDs& fileIds,
                               const std::vector<ntfs::TFragmentationRow>& rows);
// The same counts as of FragmentationRows' rows, without building the rows.
FragmentCounts CountFragmented(const ntfs::TFileIDs& fileIds);

struct StageSeconds {
    std::string_view title;
    double seconds = 0;
};
void FillSummary(Record& record, const ntfs::TNTFSVolume& volume, const ntfs::TFileIDs& fileIds,
                 const ntfs::TClusterArray& clusters, const FragmentCounts& fragmented,
                 const std::vector<StageSeconds>& stages, SourceTexts texts);

void FillFragmentRow(Record& record, const ntfs::TFileIDs& fileIds,
                     const ntfs::TFragmentationRow& row, SourceTexts texts);

// The owner of cluster `lcn` (on the volume); `clusters` in LCN order.
// `description` is what the text listing prints: DescribeCluster's text,
// shown in every format.
void FillOwner(Record& record, std::int64_t lcn, const ntfs::TNTFSVolume& volume,
               const ntfs::TFileIDs& fileIds, const ntfs::TClusterArray& clusters,
               const map::TVolumeLayout& layout, SourceTexts texts);

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

void FillClusterRun(Record& record, const map::TClusterRun& run, const ntfs::TFileIDs& fileIds,
                    std::u16string& path, SourceTexts texts);

// The body file of the file table: per base record one line with its
// $STANDARD_INFORMATION times and one with its $FILE_NAME times, the name
// followed by " ($FILE_NAME)". `drive` ("C:") leads every path as shown,
// whose separators become slashes; a slash and a '|' inside a name are
// escaped as what is not printable is (\u{2f}, \u{7c}).
class BodyfileLines {
  public:
    // Appends the lines of entry `index` (none for an extension record),
    // its record read from the volume, whose handle must be open.
    void Append(std::string& out, ntfs::TNTFSVolume& volume, const ntfs::TFileIDs& fileIds,
                int index, std::string_view drive);
    // The same from the entry's record in hand: valid and in use, or empty
    // when it does not read.
    void Append(std::string& out, std::span<const std::byte> record, const ntfs::TFileIDs& fileIds,
                int index, std::string_view drive);

  private:
    std::u16string path_;
    std::string text_;
    std::string name_;
};

// The --files listing: the rows of the file table through `writer`, or the
// lines of its body file (`format` Bodyfile, `writer` null) into `out`. From
// the volume layer's blocks of records on every core when it has them and
// the table is in record order, else a record query at a time; the same
// bytes either way. Stops at the first write that fails (out.Failed()).
void WriteFileTable(Output& out, RecordWriter* writer, Format format, ntfs::TNTFSVolume& volume,
                    const ntfs::TFileIDs& fileIds, std::string_view drive);

// The volume's allocation bitmap, one bit per cluster; empty when it cannot
// be read (every cluster then counts as free).
std::vector<std::uint8_t> ReadBitmap(platform::VolumeApi& api, const std::string& driveRoot,
                                     std::int64_t totalClusters);

} // namespace lorvex::cli

#pragma once

#include "cli/Record.h"
#include "map/ClusterRuns.h"
#include "ntfs/Attributes.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NTFSVolume.h"
#include "platform/RawVolumeSystem.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The records of lorvex-scan's listings, built from a finished scan. Their
// field names are the ones the manual page documents; every row of a table
// has the same fields in the same order, and a text field that may hold
// tabs (a path) comes last.
namespace lorvex::cli {

// "file", "directory", "system", "system-directory" (record 11, $Extend)
// or "unknown".
std::string_view EntryTypeName(std::uint8_t fileType);

// "drive", "source", "partition" (0 for a source that is one volume).
void FillDriveLabel(Record& record, const platform::RawVolumeSystem::Drive& drive);

// The volume's facts, as --info prints them.
void FillVolume(Record& record, const ntfs::TNTFSVolume& volume);

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

struct StageSeconds {
    std::string_view title;
    double seconds = 0;
};
void FillSummary(Record& record, const ntfs::TNTFSVolume& volume, const ntfs::TFileIDs& fileIds,
                 const ntfs::TClusterArray& clusters, const FragmentCounts& fragmented,
                 const std::vector<StageSeconds>& stages);

void FillFragmentRow(Record& record, const ntfs::TFileIDs& fileIds,
                     const ntfs::TFragmentationRow& row);

// The owner of cluster `lcn` (on the volume); `clusters` in LCN order.
// `description` is what the text listing prints: DescribeCluster's text.
void FillOwner(Record& record, std::int64_t lcn, const ntfs::TNTFSVolume& volume,
               const ntfs::TFileIDs& fileIds, const ntfs::TClusterArray& clusters,
               const map::TVolumeLayout& layout);

// The rows of the file table, one per entry; with `withAttributes`, each
// entry's record is read for its attributes and their runs (the volume's
// handle must be open), as the export reads them.
class EntryRecords {
  public:
    void Fill(Record& record, ntfs::TNTFSVolume& volume, const ntfs::TFileIDs& fileIds, int index,
              bool withAttributes);

  private:
    ntfs::TAttributes attributes_;
    ntfs::TDataRuns runs_;
    std::u16string path_;
    std::string typeName_;
    std::string text_;
};

void FillClusterRun(Record& record, const map::TClusterRun& run, const ntfs::TFileIDs& fileIds,
                    std::u16string& path);

// The body file of the file table: per base record one line with its
// $STANDARD_INFORMATION times and one with its $FILE_NAME times, the name
// followed by " ($FILE_NAME)". The volume's handle must be open. `drive`
// ("C:") leads every name, whose backslashes become slashes.
class BodyfileLines {
  public:
    // Appends the lines of entry `index` (none for an extension record).
    void Append(std::string& out, ntfs::TNTFSVolume& volume, const ntfs::TFileIDs& fileIds,
                int index, std::string_view drive);

  private:
    std::u16string path_;
    std::string text_;
    std::string name_;
};

// The volume's allocation bitmap, one bit per cluster; empty when it cannot
// be read (every cluster then counts as free).
std::vector<std::uint8_t> ReadBitmap(platform::VolumeApi& api, const std::string& driveRoot,
                                     std::int64_t totalClusters);

} // namespace lorvex::cli

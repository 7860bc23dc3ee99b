#pragma once

#include "cli/Listings.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// The summary of a scan: the volume's size and use, its file table and the
// fragmented entries by type, and the stages with their times.
namespace lorvex::cli {

// The fragmented entries of the --fragmented listing, by type.
struct FragmentCounts {
    std::int64_t total = 0;
    std::int64_t files = 0;
    std::int64_t directories = 0;
    std::int64_t system = 0;
    std::int64_t other = 0;
};
// The type of the entry of a row of FragmentationRows.
std::uint8_t RowType(const ntfs::TFileIDs& fileIds, const ntfs::TFragmentationRow& row);
FragmentCounts CountFragmented(const ntfs::TFileIDs& fileIds,
                               const std::vector<ntfs::TFragmentationRow>& rows);
// The same counts as of FragmentationRows' rows, without building the rows.
FragmentCounts CountFragmented(const ntfs::TFileIDs& fileIds);

struct StageSeconds {
    std::string_view title;
    double seconds = 0;
};
void FillSummary(Record& record, const ntfs::NtfsVolume& volume, const ntfs::TFileIDs& fileIds,
                 const ntfs::TClusterArray& clusters, const FragmentCounts& fragmented,
                 const std::vector<StageSeconds>& stages, SourceTexts texts);

// The summary section of a drive's listings.
void WriteSummary(const ScannedDrive& scan, const std::vector<StageSeconds>& stages,
                  Listing& listing);

} // namespace lorvex::cli

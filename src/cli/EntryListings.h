#pragma once

#include "cli/Listings.h"
#include "map/ClusterRuns.h"

#include <cstdint>
#include <span>
#include <string>

// The listings of clusters and entries: the owners of clusters (--owner),
// the fragmented entries (--fragmented) and every run of the volume
// (--cluster-map).
namespace lorvex::cli {

// The owner of cluster `lcn` (on the volume); `clusters` in LCN order.
// `description` is what the text listing prints: DescribeCluster's text,
// shown in every format.
void FillOwner(Record& record, std::int64_t lcn, const ntfs::NtfsVolume& volume,
               const ntfs::TFileIDs& fileIds, const ntfs::TClusterArray& clusters,
               const map::TVolumeLayout& layout, SourceTexts texts);

void FillFragmentRow(Record& record, const ntfs::TFileIDs& fileIds,
                     const ntfs::TFragmentationRow& row, SourceTexts texts);

void FillClusterRun(Record& record, const map::TClusterRun& run, const ntfs::TFileIDs& fileIds,
                    std::u16string& path, SourceTexts texts);

// The volume's layout as the map paints it (BuildScannedModel), over the
// drive's bitmap.
map::TVolumeLayout LayoutOf(const ScannedDrive& scan);

// Each cluster of `lcns` that lies on the volume, a row each; one beyond
// the volume is said on standard error where it is asked, after the answers
// before it. Returns the exit status: 1 when any lies beyond.
int WriteOwners(const ScannedDrive& scan, std::span<const std::int64_t> lcns, Listing& listing);
// Most fragmented first. Stops at the first write that fails.
void WriteFragmented(const ScannedDrive& scan, Listing& listing);
// Every run of clusters in cluster order, free ones too.
void WriteClusterMap(const ScannedDrive& scan, Listing& listing);

} // namespace lorvex::cli

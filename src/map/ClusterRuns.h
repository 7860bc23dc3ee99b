#pragma once

#include "ntfs/ClusterMap.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace lorvex::ntfs {
class TFileIDs;
} // namespace lorvex::ntfs

// The whole cluster map as data: every cluster of the volume in runs, in
// LCN order, each with the state the map shows it in and, for the runs an
// entry holds, that entry and the attribute.
namespace lorvex::map {

// The map's states, told apart where the map shows one colour for two:
// `Used` is a cluster the bitmap marks used that no scanned entry paints
// (the map draws it as a file), `File` a plain file's.
enum class TRunKind : std::uint8_t {
    Free,
    Used,
    File,
    Fragmented,
    Directory,
    System,
    Paging,
    MftZone,
};

// "free", "used", "file", "fragmented", "directory", "system", "paging",
// "mft-zone".
std::string_view RunKindName(TRunKind kind);

// What the map paints the extents of entry `index` with (EntryPaintState,
// nothing marked); `Used` for an entry the map does not paint (record 11,
// $Extend, and any type the table does not name), whose clusters show the
// bitmap.
TRunKind EntryRunKind(const ntfs::TFileIDs& table, std::size_t index);

struct TVolumeLayout {
    std::int64_t totalClusters = 0;
    // One bit per cluster, least significant first; clusters it does not
    // reach count as free, as on the map.
    std::span<const std::uint8_t> bitmap;
    std::int64_t mftZoneStart = 0; // [start, end)
    std::int64_t mftZoneEnd = 0;
    // System clusters over everything else, in LCN order (see TMapInput).
    std::span<const ntfs::TReservedRun> reserved = {};
};

// The state of a cluster that no extent holds: inside the MFT zone
// MftZone whatever the bitmap says (the map paints the zone under the
// entries), else Used or Free from the bitmap.
TRunKind UnheldKind(const TVolumeLayout& layout, std::int64_t lcn);

struct TClusterRun {
    std::int64_t First = 0;
    std::int64_t Count = 0;
    TRunKind Kind = TRunKind::Free;
    // The holding entry's file-table index, or -1 for a run no extent holds.
    std::int64_t FileIndex = -1;
    std::uint32_t AttrType = 0;
    // A reserved run's name; empty for all others.
    std::string_view Reserved = {};
};

// Calls `run` for every run of the volume in LCN order: each extent of
// `clusters` (which must be in LCN order, as a finished scan leaves it),
// clipped to the volume, and between them the clusters no extent holds,
// split where their UnheldKind changes. Extents that overlap (clusters
// claimed twice) are each given as they are, so such runs overlap too;
// everything else covers [0, totalClusters) exactly once. Extents whose
// owner is not in `fileIds` or that lie wholly off the volume are left out.
// The layout's reserved runs are given as System runs in their place, the
// runs under them cut around them.
void ForEachClusterRun(const TVolumeLayout& layout, const ntfs::TFileIDs& fileIds,
                       const ntfs::TClusterArray& clusters,
                       const std::function<void(const TClusterRun& run)>& run);

} // namespace lorvex::map

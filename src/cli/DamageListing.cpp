#include "cli/DamageListing.h"

#include "ntfs/Attributes.h"
#include "ondisk/Printable.h"
#include "ondisk/Utf16.h"
#include "platform/SourceBytes.h"

#include <cstdio>
#include <unistd.h>

namespace lorvex::cli {

namespace {

std::string PathOf(const ntfs::TFileIDs& fileIds, std::int32_t index, SourceTexts texts) {
    std::u16string path;
    if (index >= 0) {
        GetEntryPath(fileIds, index, texts, path);
    }
    return ondisk::ToUtf8(path);
}

// The map as read, set aside past the end of the drive's source.
ntfs::TDamageMap ClippedToSource(const ntfs::TDamageMap& map, const std::string& source) {
    ntfs::TDamageMap damage = map;
    int err = 0;
    std::string why;
    const int fd = platform::OpenSourceReadOnly(source, err, why);
    bool sized = false;
    const std::uint64_t size = fd >= 0 ? platform::SourceSize(fd, sized) : 0;
    if (fd >= 0) {
        close(fd);
    }
    if (sized) {
        ntfs::ClipToSource(damage, size);
    }
    return damage;
}

// What the map held and what lay on it.
void FillCounts(Record& row, const ntfs::TDamageMap& map, const ntfs::TDamageReport& report) {
    std::uint64_t clusters = 0;
    for (const auto& area : report.Clusters) {
        clusters += area.Length;
    }
    row.Clear();
    row.Add("lines", map.Lines);
    row.Add("listed", map.Listed);
    row.AddPlain("unit", map.SectorList ? "sectors" : "blocks");
    row.Add("areas", map.Areas.size());
    row.Add("clusters", clusters);
    row.Add("hits", report.Hits.size());
    row.Add("records", report.Records.size());
}

} // namespace

void FillDamageHit(Record& row, const ntfs::TDamageHit& hit, const ntfs::TFileIDs& fileIds,
                   SourceTexts texts) {
    std::string attribute = ntfs::AttributeTypeName(hit.AttrType);
    if (!hit.AttrName.empty()) {
        attribute += ":";
        if (texts == SourceTexts::Exact) {
            ondisk::AppendUtf8(hit.AttrName, attribute);
        } else {
            ondisk::AppendPrintableName(hit.AttrName, attribute);
        }
    }
    row.Clear();
    row.Add("kind", std::string_view("file"));
    row.Add("record", hit.RecordNo);
    row.Add("path", PathOf(fileIds, hit.FileIndex, texts));
    row.Add("attribute", attribute);
    row.Add("first_byte", hit.FirstByte);
    row.Add("byte_count", hit.ByteCount);
    row.AddPlain("status", hit.Status);
}

void FillDamagedRecord(Record& row, const ntfs::TDamagedRecord& record,
                       const ntfs::TFileIDs& fileIds, SourceTexts texts) {
    row.Clear();
    row.Add("kind", std::string_view("record"));
    row.Add("record", record.RecordNo);
    if (record.FileIndex >= 0) {
        row.Add("path", PathOf(fileIds, record.FileIndex, texts));
    } else {
        row.AddNull("path");
    }
    row.AddNull("attribute");
    row.AddNull("first_byte");
    row.AddNull("byte_count");
    row.AddPlain("status", record.Status);
}

int WriteDamage(const ScannedDrive& scan, const ntfs::TDamageMap& map, Listing& listing) {
    const ntfs::TDamageMap damage = ClippedToSource(map, scan.drive.region.path);
    const auto report = ntfs::ResolveDamage(scan.volume, scan.fileIds, scan.clusters, damage,
                                            scan.drive.region.offset);
    RecordWriter& writer = listing.writer;
    writer.BeginTable("damage");
    for (const auto& hit : report.Hits) {
        FillDamageHit(listing.row, hit, scan.fileIds, listing.Texts());
        writer.Row(listing.row);
    }
    for (const auto& record : report.Records) {
        FillDamagedRecord(listing.row, record, scan.fileIds, listing.Texts());
        writer.Row(listing.row);
    }
    FillCounts(listing.row, damage, report);
    writer.Footer("damage", listing.row);
    writer.EndTable();
    listing.out.Flush();
    for (const auto& note : damage.Notes) {
        std::fprintf(stderr, "lorvex-scan: the damage map: %s\n", ondisk::Printable(note).c_str());
    }
    return report.Hits.empty() && report.Records.empty() ? 0 : 3;
}

} // namespace lorvex::cli

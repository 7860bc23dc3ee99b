#include "ntfs/DamageMap.h"

#include "ntfs/Attributes.h"
#include "ntfs/FileTable.h"
#include "ntfs/NTFSVolume.h"
#include "ondisk/Attribute.h"
#include "ondisk/ByteReader.h"
#include "ondisk/RunList.h"
#include "ondisk/Utf16.h"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <tuple>

namespace lorvex::ntfs {

namespace {

using ondisk::ByteReader;

// The lines of a text, with their numbers from 1; a last line without its
// newline counts, a carriage return before a newline does not.
template <class F> void ForEachLine(std::string_view text, F onLine) {
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        ++number;
        if (!onLine(number, line)) {
            return;
        }
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
}

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
            ++at;
        }
        const std::size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t') {
            ++at;
        }
        if (at > start) {
            fields.push_back(line.substr(start, at - start));
        }
    }
    return fields;
}

bool IsBlankOrComment(std::string_view line) {
    const auto fields = Fields(line);
    return fields.empty() || fields.front().front() == '#';
}

// Decimal, or hexadecimal after 0x; nullopt for anything else or past 64 bits.
std::optional<std::uint64_t> ParseNumber(std::string_view text) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / base) {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    return value;
}

bool IsStatus(std::string_view field) {
    return field.size() == 1 && std::string_view("+-/*?").find(field[0]) != std::string_view::npos;
}

std::string LineError(std::size_t line, std::string_view what) {
    return "line " + std::to_string(line) + ": " + std::string(what);
}

} // namespace

TDamageMap ParseRescueMap(std::string_view text) {
    TDamageMap map;
    bool sawStatusLine = false;
    std::uint64_t end = 0; // of the last block
    std::size_t blocks = 0;
    ForEachLine(text, [&](std::size_t number, std::string_view line) {
        if (IsBlankOrComment(line)) {
            return true;
        }
        const auto fields = Fields(line);
        if (!sawStatusLine) {
            // The current position, its status and (from later versions on)
            // the pass: only checked for being what it says.
            if (fields.size() < 2 || fields.size() > 3 || !ParseNumber(fields[0]) ||
                fields[1].size() != 1) {
                map.Error = LineError(number, "not the mapfile's current position and status");
                return false;
            }
            sawStatusLine = true;
            return true;
        }
        if (fields.size() != 3) {
            map.Error = LineError(number, "not a block: position, size and status");
            return false;
        }
        const auto pos = ParseNumber(fields[0]);
        const auto size = ParseNumber(fields[1]);
        if (!pos || !size || !IsStatus(fields[2])) {
            map.Error = LineError(number, "not a block: position, size and status");
            return false;
        }
        if (*size > std::numeric_limits<std::uint64_t>::max() - *pos) {
            map.Error = LineError(number, "the block ends past 2^64 bytes");
            return false;
        }
        if (*pos < end) {
            map.Error =
                LineError(number, "the block starts before the one above it ends: the mapfile's "
                                  "blocks must be in order and must not overlap");
            return false;
        }
        end = *pos + *size;
        ++blocks;
        if (*size != 0 && fields[2][0] != '+') {
            map.Areas.push_back({*pos, *size, fields[2][0]});
        }
        return true;
    });
    if (map.Error.empty() && !sawStatusLine) {
        map.Error = "the mapfile is empty";
    }
    if (!map.Error.empty()) {
        map.Areas.clear();
    } else if (blocks == 0) {
        map.Notes.push_back("the mapfile lists no blocks");
    }
    return map;
}

TDamageMap ParseBadSectorList(std::string_view text, std::uint32_t sectorSize) {
    TDamageMap map;
    if (sectorSize == 0) {
        map.Error = "the sector size is 0";
        return map;
    }
    std::vector<std::uint64_t> sectors;
    ForEachLine(text, [&](std::size_t number, std::string_view line) {
        if (IsBlankOrComment(line)) {
            return true;
        }
        const auto fields = Fields(line);
        const auto sector = fields.size() == 1 ? ParseNumber(fields[0]) : std::nullopt;
        if (!sector) {
            map.Error = LineError(number, "not a sector number");
            return false;
        }
        if (*sector > std::numeric_limits<std::uint64_t>::max() / sectorSize - 1) {
            map.Error = LineError(number, "the sector lies past 2^64 bytes");
            return false;
        }
        sectors.push_back(*sector);
        return true;
    });
    if (map.Error.empty() && sectors.empty()) {
        map.Error = "the list names no sector";
    }
    if (!map.Error.empty()) {
        return map;
    }
    std::ranges::sort(sectors);
    for (const std::uint64_t s : sectors) {
        const std::uint64_t first = s * sectorSize;
        if (!map.Areas.empty() && map.Areas.back().First + map.Areas.back().Length >= first) {
            TBadArea& last = map.Areas.back();
            last.Length = std::max(last.Length, first + sectorSize - last.First);
            continue;
        }
        map.Areas.push_back({first, sectorSize, 'B'});
    }
    return map;
}

bool LooksLikeSectorList(std::string_view text) {
    bool one = false;
    ForEachLine(text, [&one](std::size_t, std::string_view line) {
        if (IsBlankOrComment(line)) {
            return true;
        }
        one = Fields(line).size() == 1;
        return false;
    });
    return one;
}

void ClipToSource(TDamageMap& map, std::uint64_t sourceSize) {
    std::uint64_t dropped = 0;
    std::erase_if(map.Areas, [&](TBadArea& a) {
        if (a.First >= sourceSize) {
            dropped += a.Length;
            return true;
        }
        if (a.Length > sourceSize - a.First) {
            dropped += a.Length - (sourceSize - a.First);
            a.Length = sourceSize - a.First;
        }
        return false;
    });
    if (dropped != 0) {
        map.Notes.push_back(std::to_string(dropped) +
                            " bytes of bad areas lie past the source's end (" +
                            std::to_string(sourceSize) + " bytes) and were set aside");
    }
}

TDamageReport ResolveDamage(TNTFSVolume& volume, const TFileIDs& fileIds,
                            const TClusterArray& byLcn, const TDamageMap& map,
                            std::uint64_t volumeOffset) {
    TDamageReport report;
    const std::int64_t bpc = volume.FBytesPerCluster;
    const std::int64_t total = volume.FTotalClusters;
    if (bpc <= 0 || total <= 0 || total > std::numeric_limits<std::int64_t>::max() / bpc) {
        return report;
    }
    const auto volumeBytes = static_cast<std::uint64_t>(total * bpc);

    // The bad areas in bytes of the volume.
    struct TArea {
        std::int64_t First = 0;
        std::int64_t End = 0;
        char Status = '-';
    };
    std::vector<TArea> areas;
    for (const TBadArea& a : map.Areas) {
        const std::uint64_t end = a.First + a.Length;
        if (end <= volumeOffset || a.First >= volumeOffset + volumeBytes) {
            continue;
        }
        const std::uint64_t first = std::max(a.First, volumeOffset) - volumeOffset;
        const std::uint64_t last = std::min(end - volumeOffset, volumeBytes);
        areas.push_back(
            {static_cast<std::int64_t>(first), static_cast<std::int64_t>(last), a.Status});
        const std::int64_t c0 = static_cast<std::int64_t>(first) / bpc;
        const std::int64_t c1 = (static_cast<std::int64_t>(last) + bpc - 1) / bpc;
        auto& clusters = report.Clusters;
        if (!clusters.empty() &&
            static_cast<std::int64_t>(clusters.back().First + clusters.back().Length) >= c0) {
            clusters.back().Length = static_cast<std::uint64_t>(
                std::max<std::int64_t>(c1 - static_cast<std::int64_t>(clusters.back().First),
                                       static_cast<std::int64_t>(clusters.back().Length)));
        } else {
            clusters.push_back(
                {static_cast<std::uint64_t>(c0), static_cast<std::uint64_t>(c1 - c0), a.Status});
        }
    }
    if (areas.empty()) {
        return report;
    }

    // The records whose extents touch an area, found from the map; their
    // runs are then read again with their VCNs, which the map does not keep.
    std::vector<std::uint32_t> hitIndexes;
    for (const TClusterEntry& e : byLcn) {
        const TClusterSpan span = ClipToVolume(e.LCN, e.Length, total);
        if (span.begin >= span.end) {
            continue;
        }
        const std::int64_t b0 = span.begin * bpc;
        const std::int64_t b1 = span.end * bpc;
        auto it = std::partition_point(areas.begin(), areas.end(),
                                       [b0](const TArea& a) { return a.End <= b0; });
        if (it != areas.end() && it->First < b1) {
            hitIndexes.push_back(e.FileIndex);
        }
    }
    std::ranges::sort(hitIndexes);
    hitIndexes.erase(std::unique(hitIndexes.begin(), hitIndexes.end()), hitIndexes.end());
    if (hitIndexes.empty() || !volume.OpenVolume()) {
        return report;
    }

    // The data size of each (base record, type, name), from the piece at VCN 0.
    using TStreamKey = std::tuple<std::int64_t, std::uint32_t, std::u16string>;
    std::map<TStreamKey, std::int64_t> dataSizes;
    const auto readSizes = [&](std::int64_t recordNo, std::int64_t baseId) {
        if (volume.ReadFileRecord(recordNo) != recordNo ||
            !IsValidRecord(volume.FRecord.FileRecordBuffer)) {
            return;
        }
        auto walk = WalkAttributes(volume.FRecord.FileRecordBuffer);
        while (const auto a = walk.Next()) {
            const ByteReader r(a->bytes);
            if (r.u8(ondisk::attr::kNonResident).value_or(0) != 0 &&
                r.i64(ondisk::attr::kLowestVcn).value_or(-1) == 0) {
                dataSizes[{baseId, a->type,
                           ondisk::ReadUtf16(ondisk::AttributeNameBytes(a->bytes))}] =
                    r.i64(ondisk::attr::kDataSize).value_or(0);
            }
        }
    };
    for (const std::uint32_t index : hitIndexes) {
        const TFileID& entry = fileIds.FItems[index];
        readSizes(entry.FileID, entry.BaseID);
        if (entry.BaseID != entry.FileID) {
            readSizes(entry.BaseID, entry.BaseID);
        }
    }

    for (const std::uint32_t index : hitIndexes) {
        const TFileID& entry = fileIds.FItems[index];
        if (volume.ReadFileRecord(entry.FileID) != entry.FileID ||
            !IsValidRecord(volume.FRecord.FileRecordBuffer)) {
            continue;
        }
        auto walk = WalkAttributes(volume.FRecord.FileRecordBuffer);
        while (const auto a = walk.Next()) {
            const ByteReader r(a->bytes);
            if (r.u8(ondisk::attr::kNonResident).value_or(0) == 0) {
                continue;
            }
            std::u16string name = ondisk::ReadUtf16(ondisk::AttributeNameBytes(a->bytes));
            const auto size = dataSizes.find({entry.BaseID, a->type, name});
            std::int64_t vcn = r.i64(ondisk::attr::kLowestVcn).value_or(-1);
            if (vcn < 0 || size == dataSizes.end()) {
                continue;
            }
            for (const auto& run : ondisk::DecodeRunList(ondisk::RunListBytes(a->bytes)).runs) {
                std::int64_t next = 0;
                if (run.length <= 0 || __builtin_add_overflow(vcn, run.length, &next) ||
                    next > std::numeric_limits<std::int64_t>::max() / bpc) {
                    break;
                }
                const TClusterSpan span = ClipToVolume(run.lcn, run.length, total);
                if (!run.sparse && span.begin < span.end) {
                    const std::int64_t b0 = span.begin * bpc;
                    const std::int64_t b1 = span.end * bpc;
                    // The stream's byte at volume byte b0.
                    const std::int64_t streamAt = (vcn + (span.begin - run.lcn)) * bpc;
                    for (auto it = std::partition_point(
                             areas.begin(), areas.end(),
                             [b0](const TArea& area) { return area.End <= b0; });
                         it != areas.end() && it->First < b1; ++it) {
                        const std::int64_t x = std::max(it->First, b0);
                        const std::int64_t y = std::min(it->End, b1);
                        const std::int64_t first = streamAt + (x - b0);
                        // Past the data size the clusters hold nothing of it.
                        const std::int64_t last = std::min(streamAt + (y - b0), size->second);
                        if (first >= last) {
                            continue;
                        }
                        TDamageHit hit;
                        hit.RecordNo = entry.FileID;
                        hit.FileIndex = static_cast<std::int32_t>(index);
                        hit.AttrType = a->type;
                        hit.AttrName = name;
                        hit.FirstByte = first;
                        hit.ByteCount = last - first;
                        hit.VolumeByte = x;
                        hit.FirstLCN = x / bpc;
                        hit.Clusters = (y + bpc - 1) / bpc - x / bpc;
                        hit.Status = it->Status;
                        report.Hits.push_back(std::move(hit));
                    }
                }
                vcn = next;
            }
        }
    }
    volume.CloseVolume();
    std::ranges::sort(report.Hits, [](const TDamageHit& a, const TDamageHit& b) {
        return std::tie(a.RecordNo, a.AttrType, a.AttrName, a.FirstByte) <
               std::tie(b.RecordNo, b.AttrType, b.AttrName, b.FirstByte);
    });

    // The $MFT's own bytes: every record on a bad area, and whose it is.
    const std::int64_t recordSize = volume.FBytesPerFileRecordSegment;
    for (const TDamageHit& hit : report.Hits) {
        const bool ofMft = hit.FileIndex >= 0 &&
                           fileIds.FItems[static_cast<std::size_t>(hit.FileIndex)].BaseID == 0;
        if (!ofMft || hit.AttrType != ondisk::type::kData || !hit.AttrName.empty() ||
            recordSize <= 0) {
            continue;
        }
        for (std::int64_t n = hit.FirstByte / recordSize;
             n <= (hit.FirstByte + hit.ByteCount - 1) / recordSize; ++n) {
            if (!report.Records.empty() && report.Records.back().RecordNo == n) {
                continue;
            }
            const std::int64_t into = std::max<std::int64_t>(n * recordSize - hit.FirstByte, 0);
            report.Records.push_back(
                {n, fileIds.IndexOfID(n), (hit.VolumeByte + into) / bpc, hit.Status});
        }
    }
    std::ranges::stable_sort(report.Records, [](const TDamagedRecord& a, const TDamagedRecord& b) {
        return a.RecordNo < b.RecordNo;
    });
    const auto dup = std::unique(
        report.Records.begin(), report.Records.end(),
        [](const TDamagedRecord& a, const TDamagedRecord& b) { return a.RecordNo == b.RecordNo; });
    report.Records.erase(dup, report.Records.end());
    return report;
}

} // namespace lorvex::ntfs

#include "ntfs/DamageMap.h"

#include "ntfs/Attributes.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ondisk/Attribute.h"
#include "ondisk/NonResident.h"
#include "ondisk/Utf16.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace lorvex::ntfs {

namespace {

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

// The first fields of a line, split at blanks, and how many there are in
// all: a damage map's lines have at most three.
struct LineFields {
    static constexpr std::size_t kKept = 4;
    std::array<std::string_view, kKept> field;
    std::size_t count = 0;

    [[nodiscard]] bool blankOrComment() const { return count == 0 || field[0].front() == '#'; }
};

LineFields Fields(std::string_view line) {
    LineFields fields;
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
            if (fields.count < LineFields::kKept) {
                fields.field[fields.count] = line.substr(start, at - start);
            }
            ++fields.count;
        }
    }
    return fields;
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

// No line of a map is near this long (a comment holding a command line
// included); a file that has one is no map, and it is not kept in memory.
constexpr std::size_t kLongestLine = std::size_t{64} << 10;

// Damage files are read this much at a time.
constexpr std::size_t kReadSize = std::size_t{1} << 20;

// Opens the damage file, a regular file and nothing else; -1 with the
// reason in `why`.
int OpenDamageFile(const std::string& path, std::string& why) {
    // Looked at before it is opened: opening a FIFO waits for a writer, and
    // opening a device may do something to it.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    const auto notAFile = [&why](mode_t mode) {
        why = std::string(S_ISFIFO(mode)   ? "a FIFO"
                          : S_ISCHR(mode)  ? "a character device"
                          : S_ISBLK(mode)  ? "a block device"
                          : S_ISDIR(mode)  ? "a folder"
                          : S_ISSOCK(mode) ? "a socket"
                                           : "something other") +
              ", not a regular file: a damage map is read from a file";
        return -1;
    };
    if (!S_ISREG(st.st_mode)) {
        return notAFile(st.st_mode);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    // It may have been swapped for something else in between.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return notAFile(st.st_mode);
    }
    return fd;
}

} // namespace

TDamageMapReader::TDamageMapReader(std::uint32_t sectorSize) : sectorSize_(sectorSize) {
    map_.SectorList = sectorSize != 0;
}

bool TDamageMapReader::Fail(std::string_view what) {
    map_.Error = "line " + std::to_string(map_.Lines) + ": " + std::string(what);
    failed_ = true;
    return false;
}

bool TDamageMapReader::Feed(std::string_view bytes) {
    while (!failed_ && !bytes.empty()) {
        const std::size_t newline = bytes.find('\n');
        if (newline == std::string_view::npos) {
            if (partial_.size() + bytes.size() > kLongestLine) {
                ++map_.Lines;
                return Fail("longer than any line of a damage map");
            }
            partial_.append(bytes);
            return true;
        }
        std::string_view line = bytes.substr(0, newline);
        bytes.remove_prefix(newline + 1);
        if (!partial_.empty()) {
            if (partial_.size() + line.size() > kLongestLine) {
                ++map_.Lines;
                return Fail("longer than any line of a damage map");
            }
            partial_.append(line);
            line = partial_;
        }
        Line(line);
        partial_.clear();
    }
    return !failed_;
}

bool TDamageMapReader::Line(std::string_view line) {
    ++map_.Lines;
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return sectorSize_ == 0 ? MapfileLine(line) : SectorLine(line);
}

bool TDamageMapReader::MapfileLine(std::string_view line) {
    const LineFields f = Fields(line);
    if (f.blankOrComment()) {
        return true;
    }
    if (!sawStatusLine_) {
        // The current position, its status and (from later versions on)
        // the pass: only checked for being what it says.
        if (f.count < 2 || f.count > 3 || !ParseNumber(f.field[0]) || f.field[1].size() != 1) {
            return Fail("not the mapfile's current position and status");
        }
        sawStatusLine_ = true;
        return true;
    }
    const auto pos = f.count == 3 ? ParseNumber(f.field[0]) : std::nullopt;
    const auto size = f.count == 3 ? ParseNumber(f.field[1]) : std::nullopt;
    if (!pos || !size || !IsStatus(f.field[2])) {
        return Fail("not a block: position, size and status");
    }
    if (*size > std::numeric_limits<std::uint64_t>::max() - *pos) {
        return Fail("the block ends past 2^64 bytes");
    }
    if (*pos < end_) {
        return Fail("the block starts before the one above it ends: the mapfile's blocks must be "
                    "in order and must not overlap");
    }
    end_ = *pos + *size;
    ++map_.Listed;
    if (*size != 0 && f.field[2][0] != '+') {
        map_.Areas.push_back({*pos, *size, f.field[2][0]});
    }
    return true;
}

bool TDamageMapReader::SectorLine(std::string_view line) {
    // Most lines are a decimal number alone: read at once. Up to 19 digits
    // cannot pass 2^64.
    std::optional<std::uint64_t> sector;
    if (!line.empty() && line.size() <= 19 &&
        std::ranges::all_of(line, [](char c) { return c >= '0' && c <= '9'; })) {
        std::uint64_t value = 0;
        for (const char c : line) {
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        sector = value;
    } else {
        const LineFields f = Fields(line);
        if (f.blankOrComment()) {
            return true;
        }
        sector = f.count == 1 ? ParseNumber(f.field[0]) : std::nullopt;
    }
    if (!sector) {
        return Fail("not a sector number");
    }
    if (*sector > std::numeric_limits<std::uint64_t>::max() / sectorSize_ - 1) {
        return Fail("the sector lies past 2^64 bytes");
    }
    ++map_.Listed;
    const std::uint64_t first = *sector * sectorSize_;
    const std::uint64_t end = first + sectorSize_;
    auto& areas = map_.Areas;
    // Lists come sorted, mostly, or backwards: a sector next to (or in) the
    // last area grows it.
    if (!areas.empty()) {
        TBadArea& last = areas.back();
        const std::uint64_t lastEnd = last.First + last.Length;
        if (first <= lastEnd && end >= last.First) {
            const std::uint64_t from = std::min(first, last.First);
            last.Length = std::max(lastEnd, end) - from;
            last.First = from;
            return true;
        }
    }
    areas.push_back({first, sectorSize_, 'B'});
    // Sectors in no order are merged now and then, so the areas kept stay
    // within twice what they merge to.
    if (areas.size() >= 2 * merged_ + 4096) {
        MergeSectors();
    }
    return true;
}

void TDamageMapReader::MergeSectors() {
    auto& areas = map_.Areas;
    if (!std::ranges::is_sorted(areas, {}, &TBadArea::First)) {
        std::ranges::sort(areas, {}, &TBadArea::First);
    }
    std::size_t kept = 0;
    for (std::size_t i = 0; i < areas.size(); ++i) {
        if (kept != 0) {
            TBadArea& last = areas[kept - 1];
            const std::uint64_t lastEnd = last.First + last.Length;
            if (areas[i].First <= lastEnd) {
                last.Length = std::max(lastEnd, areas[i].First + areas[i].Length) - last.First;
                continue;
            }
        }
        areas[kept++] = areas[i];
    }
    areas.resize(kept);
    merged_ = kept;
}

TDamageMap TDamageMapReader::Finish() {
    if (!failed_ && !partial_.empty()) {
        Line(partial_);
        partial_.clear();
    }
    if (!failed_) {
        if (sectorSize_ != 0) {
            MergeSectors();
            if (map_.Listed == 0) {
                map_.Error = "the list names no sector";
            }
        } else if (!sawStatusLine_) {
            map_.Error = "the mapfile is empty";
        } else if (map_.Listed == 0) {
            map_.Notes.push_back("the mapfile lists no blocks");
        }
    }
    if (!map_.Error.empty()) {
        map_.Areas.clear();
        map_.Areas.shrink_to_fit();
    }
    return std::move(map_);
}

TDamageMap ParseRescueMap(std::string_view text) {
    TDamageMapReader reader(0);
    reader.Feed(text);
    return reader.Finish();
}

TDamageMap ParseBadSectorList(std::string_view text, std::uint32_t sectorSize) {
    if (sectorSize == 0) {
        TDamageMap map;
        map.Error = "the sector size is 0";
        return map;
    }
    TDamageMapReader reader(sectorSize);
    reader.Feed(text);
    return reader.Finish();
}

bool LooksLikeSectorList(std::string_view text) {
    bool one = false;
    ForEachLine(text, [&one](std::size_t, std::string_view line) {
        const LineFields f = Fields(line);
        if (f.blankOrComment()) {
            return true;
        }
        one = f.count == 1;
        return false;
    });
    return one;
}

TDamageMap ReadDamageFile(const std::string& path, std::uint32_t sectorSize) {
    TDamageMap map;
    const int fd = OpenDamageFile(path, map.Error);
    if (fd < 0) {
        return map;
    }
    TDamageMapReader reader(sectorSize);
    std::vector<char> buffer(kReadSize);
    ssize_t n = 0;
    while ((n = ::read(fd, buffer.data(), buffer.size())) != 0) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            map.Error = std::string("cannot be read: ") + std::strerror(errno);
            ::close(fd);
            return map;
        }
        if (!reader.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)))) {
            break;
        }
    }
    ::close(fd);
    return reader.Finish();
}

std::optional<bool> DamageFileLooksLikeSectorList(const std::string& path, std::string& why) {
    const int fd = OpenDamageFile(path, why);
    if (fd < 0) {
        return std::nullopt;
    }
    // The first line that is not a comment is near the start of any map.
    std::string head(kLongestLine, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = ::read(fd, head.data() + got, head.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    head.resize(got);
    return LooksLikeSectorList(head);
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

namespace {

// A bad area in bytes of the volume.
struct VolumeArea {
    std::int64_t first = 0;
    std::int64_t end = 0;
    char status = '-';
};

// The bad areas of `map` that touch the volume, in its bytes, and the
// clusters they touch into `clusters`.
std::vector<VolumeArea> AreasOnVolume(const TDamageMap& map, std::uint64_t volumeOffset,
                                      std::uint64_t volumeBytes, std::int64_t bpc,
                                      std::vector<TBadArea>& clusters) {
    std::vector<VolumeArea> areas;
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
    return areas;
}

// The first area that ends after volume byte `b0`.
std::vector<VolumeArea>::const_iterator FirstAreaAfter(const std::vector<VolumeArea>& areas,
                                                       std::int64_t b0) {
    return std::partition_point(areas.begin(), areas.end(),
                                [b0](const VolumeArea& a) { return a.end <= b0; });
}

// The file-table indexes whose extents touch an area, found from the map.
std::vector<std::uint32_t> IndexesOnAreas(const TClusterArray& byLcn,
                                          const std::vector<VolumeArea>& areas, std::int64_t total,
                                          std::int64_t bpc) {
    std::vector<std::uint32_t> hit;
    for (const TClusterEntry& e : byLcn) {
        const TClusterSpan span = ClipToVolume(e.LCN, e.Length, total);
        if (span.begin >= span.end) {
            continue;
        }
        const auto it = FirstAreaAfter(areas, span.begin * bpc);
        if (it != areas.end() && it->first < span.end * bpc) {
            hit.push_back(e.FileIndex);
        }
    }
    std::ranges::sort(hit);
    hit.erase(std::unique(hit.begin(), hit.end()), hit.end());
    return hit;
}

// The data size of each (base record, type, name), from the piece at VCN 0.
using StreamKey = std::tuple<std::int64_t, std::uint32_t, std::u16string>;
using DataSizes = std::map<StreamKey, std::int64_t>;

void ReadDataSizes(RecordReader& records, std::int64_t recordNo, std::int64_t baseId,
                   DataSizes& sizes) {
    const auto record = records.ReadInUse(recordNo);
    if (!record || !record->valid()) {
        return;
    }
    auto walk = ondisk::WalkRecordAttributes(record->bytes());
    while (const auto a = walk.Next()) {
        const auto header = ondisk::DecodeNonResident(a->bytes);
        if (header && header->lowestVcn == 0) {
            sizes[{baseId, a->type, ondisk::ReadUtf16(ondisk::AttributeNameBytes(a->bytes))}] =
                header->dataSize;
        }
    }
}

// The hits of one extent of an attribute's stream, past none of its data size.
void AddExtentHits(const ondisk::Extent& e, std::int64_t dataSize,
                   const std::vector<VolumeArea>& areas, std::int64_t total, std::int64_t bpc,
                   const TDamageHit& attribute, std::vector<TDamageHit>& hits) {
    const TClusterSpan span = ClipToVolume(e.lcn, e.length, total);
    if (e.sparse || span.begin >= span.end) {
        return;
    }
    const std::int64_t b0 = span.begin * bpc;
    const std::int64_t b1 = span.end * bpc;
    // The stream's byte at volume byte b0.
    const std::int64_t streamAt = (e.vcn + (span.begin - e.lcn)) * bpc;
    for (auto it = FirstAreaAfter(areas, b0); it != areas.end() && it->first < b1; ++it) {
        const std::int64_t x = std::max(it->first, b0);
        const std::int64_t y = std::min(it->end, b1);
        const std::int64_t first = streamAt + (x - b0);
        // Past the data size the clusters hold nothing of it.
        const std::int64_t last = std::min(streamAt + (y - b0), dataSize);
        if (first >= last) {
            continue;
        }
        TDamageHit hit = attribute;
        hit.FirstByte = first;
        hit.ByteCount = last - first;
        hit.VolumeByte = x;
        hit.FirstLCN = x / bpc;
        hit.Clusters = (y + bpc - 1) / bpc - x / bpc;
        hit.Status = it->status;
        hits.push_back(std::move(hit));
    }
}

// The hits of the non-resident attributes of entry `index`'s record.
void AddRecordHits(RecordReader& records, const VolumeGeometry& geometry, const TFileIDs& fileIds,
                   std::uint32_t index, const DataSizes& sizes,
                   const std::vector<VolumeArea>& areas, std::vector<TDamageHit>& hits) {
    const TFileID& entry = fileIds[index];
    const std::int64_t bpc = geometry.bytesPerCluster;
    const auto record = records.ReadInUse(entry.FileID);
    if (!record || !record->valid()) {
        return;
    }
    std::vector<ondisk::Extent> extents;
    auto walk = ondisk::WalkRecordAttributes(record->bytes());
    while (const auto a = walk.Next()) {
        const auto header = ondisk::DecodeNonResident(a->bytes);
        if (!header) {
            continue;
        }
        TDamageHit attribute;
        attribute.RecordNo = entry.FileID;
        attribute.FileIndex = static_cast<std::int32_t>(index);
        attribute.AttrType = a->type;
        attribute.AttrName = ondisk::ReadUtf16(ondisk::AttributeNameBytes(a->bytes));
        const auto size = sizes.find({entry.BaseID, a->type, attribute.AttrName});
        if (size == sizes.end()) {
            continue;
        }
        extents.clear();
        ondisk::AppendExtents(*header, bpc, extents);
        for (const ondisk::Extent& e : extents) {
            AddExtentHits(e, size->second, areas, geometry.totalClusters, bpc, attribute, hits);
        }
    }
}

// Every record of the $MFT whose bytes a hit on the $MFT's $DATA names.
std::vector<TDamagedRecord> MftRecordsHit(const TDamageReport& report, const TFileIDs& fileIds,
                                          std::int64_t recordSize, std::int64_t bpc) {
    std::vector<TDamagedRecord> records;
    for (const TDamageHit& hit : report.Hits) {
        const bool ofMft =
            hit.FileIndex >= 0 && fileIds[static_cast<std::size_t>(hit.FileIndex)].BaseID == 0;
        if (!ofMft || hit.AttrType != ondisk::type::kData || !hit.AttrName.empty() ||
            recordSize <= 0) {
            continue;
        }
        for (std::int64_t n = hit.FirstByte / recordSize;
             n <= (hit.FirstByte + hit.ByteCount - 1) / recordSize; ++n) {
            if (!records.empty() && records.back().RecordNo == n) {
                continue;
            }
            const std::int64_t into = std::max<std::int64_t>(n * recordSize - hit.FirstByte, 0);
            records.push_back({n, fileIds.IndexOfID(n), (hit.VolumeByte + into) / bpc, hit.Status});
        }
    }
    std::ranges::stable_sort(records, [](const TDamagedRecord& a, const TDamagedRecord& b) {
        return a.RecordNo < b.RecordNo;
    });
    const auto dup = std::unique(
        records.begin(), records.end(),
        [](const TDamagedRecord& a, const TDamagedRecord& b) { return a.RecordNo == b.RecordNo; });
    records.erase(dup, records.end());
    return records;
}

} // namespace

TDamageReport ResolveDamage(NtfsVolume& volume, const TFileIDs& fileIds, const TClusterArray& byLcn,
                            const TDamageMap& map, std::uint64_t volumeOffset) {
    TDamageReport report;
    const VolumeGeometry& geometry = volume.geometry();
    const std::int64_t bpc = geometry.bytesPerCluster;
    const std::int64_t total = geometry.totalClusters;
    if (bpc <= 0 || total <= 0 || total > std::numeric_limits<std::int64_t>::max() / bpc) {
        return report;
    }
    const auto volumeBytes = static_cast<std::uint64_t>(total * bpc);
    const std::vector<VolumeArea> areas =
        AreasOnVolume(map, volumeOffset, volumeBytes, bpc, report.Clusters);
    if (areas.empty()) {
        return report;
    }
    // The records whose extents touch an area, found from the map; their
    // runs are then read again with their VCNs, which the map does not keep.
    const std::vector<std::uint32_t> hitIndexes = IndexesOnAreas(byLcn, areas, total, bpc);
    if (hitIndexes.empty()) {
        return report;
    }
    RecordReader records = volume.OpenRecordReader();
    if (!records.IsOpen()) {
        return report;
    }
    DataSizes sizes;
    for (const std::uint32_t index : hitIndexes) {
        const TFileID& entry = fileIds[index];
        ReadDataSizes(records, entry.FileID, entry.BaseID, sizes);
        if (entry.BaseID != entry.FileID) {
            ReadDataSizes(records, entry.BaseID, entry.BaseID, sizes);
        }
    }
    for (const std::uint32_t index : hitIndexes) {
        AddRecordHits(records, geometry, fileIds, index, sizes, areas, report.Hits);
    }
    std::ranges::sort(report.Hits, [](const TDamageHit& a, const TDamageHit& b) {
        return std::tie(a.RecordNo, a.AttrType, a.AttrName, a.FirstByte) <
               std::tie(b.RecordNo, b.AttrType, b.AttrName, b.FirstByte);
    });
    // The $MFT's own bytes: every record on a bad area, and whose it is.
    report.Records = MftRecordsHit(report, fileIds, geometry.bytesPerRecord, bpc);
    return report;
}

} // namespace lorvex::ntfs

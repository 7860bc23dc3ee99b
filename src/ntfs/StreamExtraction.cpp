#include "ntfs/StreamExtraction.h"

#include "ntfs/Attributes.h"
#include "ntfs/FileRecords.h"
#include "ondisk/Attribute.h"
#include "ondisk/ByteReader.h"
#include "ondisk/FileRecord.h"

#include <algorithm>

namespace lorvex::ntfs {

namespace {

// The largest compression unit taken: 16 clusters of 4 KiB is what the file
// system makes; a header that asks for far more is damage, and would size
// the unit's buffers.
constexpr std::int64_t kMaxCompressionUnitBytes = std::int64_t{1} << 20;
constexpr std::uint8_t kMaxCompressionShift = 16;
constexpr std::uint16_t kLznt1 = 1;

std::string RecordWords(std::int64_t record) {
    return "record " + std::to_string(record);
}

ExtractionResult Failure(ExtractionStatus status, std::string reason) {
    ExtractionResult result;
    result.status = status;
    result.reason = std::move(reason);
    return result;
}

// Takes the header of a non-resident piece at VCN 0: the sizes and the
// compression. False when they cannot be trusted.
bool TakeFirstPiece(std::span<const std::byte> attribute, const ondisk::NonResidentHeader& header,
                    std::int64_t bytesPerCluster, StreamLayout& layout, std::string& reason) {
    layout.dataSize = header.dataSize;
    layout.allocatedSize = header.allocatedSize;
    layout.initializedSize = header.initializedSize;
    if (header.dataSize < 0 || header.allocatedSize < 0) {
        reason = "its header gives a negative size";
        return false;
    }
    const ondisk::ByteReader r(attribute);
    const std::uint16_t format =
        r.u16(ondisk::attr::kFlags).value_or(0) & ondisk::attr::kFlagCompressionMask;
    const std::uint8_t shift = r.u8(ondisk::attr::kCompressionUnit).value_or(0);
    if (format == 0 || shift == 0) {
        return true;
    }
    if (format != kLznt1) {
        reason = "it is compressed in a format numbered " + std::to_string(format) + ", not LZNT1";
        return false;
    }
    if (shift > kMaxCompressionShift ||
        (std::int64_t{1} << shift) > kMaxCompressionUnitBytes / bytesPerCluster) {
        reason = "its compression unit of 2^" + std::to_string(shift) +
                 " clusters is larger than any the file system makes";
        return false;
    }
    layout.compressionUnit = std::uint32_t{1} << shift;
    return true;
}

// Gathers the pieces of the stream from one record. False (with the reason)
// when a piece cannot be trusted.
bool TakePieces(const RecordView& record, const ondisk::AttributeKey& key,
                std::int64_t bytesPerCluster, StreamLayout& layout, bool& found,
                std::string& reason) {
    auto walk = ondisk::WalkRecordAttributes(record.bytes());
    while (const auto a = walk.Next()) {
        if (!ondisk::AttributeMatches(a->type, a->bytes, key)) {
            continue;
        }
        found = true;
        if (ondisk::IsResident(a->bytes)) {
            const auto value = ondisk::ResidentValue(a->bytes);
            layout.resident = true;
            layout.value.assign(value.begin(), value.end());
            layout.dataSize = static_cast<std::int64_t>(value.size());
            layout.allocatedSize = layout.dataSize;
            layout.initializedSize = layout.dataSize;
            continue;
        }
        const auto header = ondisk::DecodeNonResident(a->bytes);
        if (!header) {
            continue;
        }
        if (header->lowestVcn == 0 &&
            !TakeFirstPiece(a->bytes, *header, bytesPerCluster, layout, reason)) {
            return false;
        }
        ondisk::AppendExtents(*header, bytesPerCluster, layout.extents);
    }
    return true;
}

std::string StreamWords(std::u16string_view stream) {
    if (stream.empty()) {
        return "no unnamed data stream";
    }
    std::string name;
    for (const char16_t c : stream) {
        name += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return "no data stream named \"" + name + "\"";
}

// What a record that is no file's base record is, in words; nothing for a
// base record.
std::optional<ExtractionResult> RefuseRecord(const RecordView& base) {
    const std::int64_t number = base.number();
    if (base.baseRecord() != number) {
        return Failure(ExtractionStatus::kNotAFile,
                       RecordWords(number) + " is an extension record of " +
                           RecordWords(base.baseRecord()) + ", not a file");
    }
    if ((ondisk::RecordFlags(base.bytes()) & ondisk::record::kFlagDirectory) != 0) {
        return Failure(ExtractionStatus::kDirectory, RecordWords(number) + " is a directory" +
                                                         (base.inUse() ? "" : " (deleted)") +
                                                         ", not a file");
    }
    return std::nullopt;
}

} // namespace

std::optional<StreamLayout> FindStreamLayout(RecordReader& records, const VolumeGeometry& geometry,
                                             std::int64_t record, std::u16string_view stream,
                                             ExtractionResult& result) {
    const auto base = records.Read(record);
    if (!base || !base->valid()) {
        result = Failure(ExtractionStatus::kNoRecord,
                         RecordWords(record) + " is past the file table, cannot be read or " +
                             "holds no file record");
        return std::nullopt;
    }
    if (auto refusal = RefuseRecord(*base)) {
        result = std::move(*refusal);
        return std::nullopt;
    }
    result.deleted = !base->inUse();
    StreamLayout layout;
    bool found = false;
    bool named = false;
    std::string reason;
    const ondisk::AttributeKey key{
        .type = ondisk::type::kData, .name = stream, .lowestVcn = {}, .id = {}};
    const ondisk::AttributeKey anyName{
        .type = ondisk::type::kFileName, .name = {}, .lowestVcn = {}, .id = {}};
    std::vector<RecordView> parts{*base};
    for (RecordView& extension : ExtensionRecordsOf(records, *base)) {
        parts.push_back(std::move(extension));
    }
    for (const RecordView& part : parts) {
        named |= ondisk::FindAttribute(part.bytes(), anyName).has_value();
        if (!TakePieces(part, key, geometry.bytesPerCluster, layout, found, reason)) {
            result = Failure(ExtractionStatus::kDamaged,
                             "the stream of " + RecordWords(record) + " is damaged: " + reason);
            return std::nullopt;
        }
    }
    if (!found && result.deleted && !named) {
        result = Failure(ExtractionStatus::kNotAFile,
                         RecordWords(record) + " is neither in use nor a deleted file");
        return std::nullopt;
    }
    if (!found) {
        const bool deleted = result.deleted;
        result = Failure(ExtractionStatus::kNoStream, RecordWords(record) +
                                                          (deleted ? " (deleted)" : "") + " has " +
                                                          StreamWords(stream));
        result.deleted = deleted;
        return std::nullopt;
    }
    std::stable_sort(layout.extents.begin(), layout.extents.end(),
                     [](const auto& a, const auto& b) { return a.vcn < b.vcn; });
    return layout;
}

std::vector<OverwrittenRange> OverwrittenRanges(const DeletedEntries& deleted, std::size_t index,
                                                std::u16string_view stream,
                                                std::int64_t bytesPerCluster, std::uint64_t size) {
    std::vector<OverwrittenRange> ranges;
    if (index >= deleted.entries().size() || bytesPerCluster <= 0) {
        return ranges;
    }
    const auto streams = deleted.Streams(deleted.entries()[index]);
    const auto it = std::find_if(streams.begin(), streams.end(), [&](const DeletedStream& s) {
        return deleted.NameOf(s) == stream;
    });
    if (it == streams.end()) {
        return ranges;
    }
    const auto cluster = static_cast<std::uint64_t>(bytesPerCluster);
    for (const DeletedPiece& piece : deleted.Pieces(*it)) {
        if ((piece.state != PieceState::kOverwritten && piece.state != PieceState::kClaimed) ||
            !ondisk::RunBytesFit(piece.vcn, piece.length, bytesPerCluster)) {
            continue;
        }
        const std::uint64_t first = static_cast<std::uint64_t>(piece.vcn) * cluster;
        const std::uint64_t end =
            std::min(size, first + static_cast<std::uint64_t>(piece.length) * cluster);
        if (first < end) {
            ranges.push_back({first, end - first, piece.overwrittenBy, piece.state});
        }
    }
    return ranges;
}

ExtractionResult ExtractStream(NtfsVolume& volume, platform::VolumeApi& api, std::int64_t record,
                               std::u16string_view stream, const ByteSink& sink,
                               const ExtractionOptions& options) {
    const VolumeGeometry& geometry = volume.geometry();
    ExtractionResult found;
    std::optional<StreamLayout> layout;
    {
        RecordReader records = volume.OpenRecordReader();
        layout = FindStreamLayout(records, geometry, record, stream, found);
    }
    if (!layout) {
        return found;
    }
    const platform::Handle handle = volume.devicePath().empty()
                                        ? platform::kInvalidHandle
                                        : api.CreateFile(volume.devicePath());
    const ondisk::ClusterReader read = [&api, handle](std::uint64_t at,
                                                      std::span<std::byte> out) -> std::size_t {
        std::size_t done = 0;
        // A failed seek must not turn into a read of wherever the position was.
        if (handle == platform::kInvalidHandle ||
            !api.SetFilePointerEx(handle, static_cast<std::int64_t>(at))) {
            return 0;
        }
        while (done < out.size()) {
            std::uint32_t got = 0;
            if (!api.ReadFile(handle, out.subspan(done), &got) || got == 0) {
                break;
            }
            done += std::min<std::size_t>(got, out.size() - done);
        }
        return done;
    };
    ExtractionResult result = WriteStream(
        *layout, {geometry.bytesPerCluster, geometry.totalClusters}, read, sink, options);
    if (handle != platform::kInvalidHandle) {
        api.CloseHandle(handle);
    }
    result.deleted = found.deleted;
    if (result.deleted && options.deleted != nullptr) {
        if (const auto index = options.deleted->IndexOf(record)) {
            result.overwritten = OverwrittenRanges(*options.deleted, *index, stream,
                                                   geometry.bytesPerCluster, result.size);
        }
    }
    return result;
}

} // namespace lorvex::ntfs

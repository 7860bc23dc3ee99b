#include "platform/NtfsImage.h"

#include "ondisk/BitCount.h"

#include "ondisk/Attribute.h"
#include "ondisk/AttributeList.h"
#include "ondisk/FileRecord.h"
#include "ondisk/NonResident.h"
#include "ondisk/StreamReader.h"
#include "ondisk/Utf16.h"
#include "volume/VolumeApi.h"
#include "volume/VolumeData.h"

#include <algorithm>
#include <bit>

namespace lorvex::platform {

namespace {

constexpr std::int64_t kMftRecord = 0;
constexpr std::int64_t kVolumeRecord = 3;
constexpr std::int64_t kBitmapRecord = 6;

// An attribute list is at most a few hundred KiB even for files with
// thousands of extension records; a larger claim is damage, not data.
constexpr std::size_t kMaxAttributeListBytes = 4U * 1024U * 1024U;
constexpr std::size_t kChunk = 1U << 20;

// The first unnamed piece of `type` in a record whose lowest VCN is
// `lowestVcn` (resident attributes have lowest VCN 0).
std::optional<ondisk::AttributeSpan> FindPiece(std::span<const std::byte> record,
                                               std::uint32_t type, std::int64_t lowestVcn) {
    return ondisk::FindAttribute(
        record, {.type = type, .name = u"", .lowestVcn = lowestVcn, .id = std::nullopt});
}

std::int64_t NextVcn(const std::vector<NtfsImage::Extent>& extents) {
    return extents.empty() ? 0 : extents.back().vcn + extents.back().length;
}

// Where the pieces of an unnamed attribute of `type` lie, in VCN order, by
// the entries of an attribute-list value.
struct Piece {
    std::int64_t vcn;
    std::int64_t record;
};

std::vector<Piece> PiecesOf(std::span<const std::byte> list, std::uint32_t type) {
    std::vector<Piece> pieces;
    for (const auto& entry : ondisk::DecodeAttributeList(list)) {
        if (entry.type == type && entry.nameLength == 0) {
            pieces.push_back({entry.lowestVcn, entry.record});
        }
    }
    std::stable_sort(pieces.begin(), pieces.end(),
                     [](const Piece& a, const Piece& b) { return a.vcn < b.vcn; });
    return pieces;
}

} // namespace

std::unique_ptr<NtfsImage> NtfsImage::Open(std::shared_ptr<const SourceBytes> source,
                                           std::uint32_t& error) {
    std::byte sector[ondisk::boot::kSize] = {};
    if (source->Read(0, sector) != sizeof(sector)) {
        error = error::kUnrecognizedVolume;
        return nullptr;
    }
    auto geometry = ondisk::ParseNtfsBootSector(sector, source->size());
    if (!geometry) {
        // A boot sector that names itself NTFS but whose numbers cannot
        // describe this volume is a damaged NTFS volume, not an unknown one.
        error = ondisk::SaysNtfs(sector) ? error::kFileCorrupt : error::kUnrecognizedVolume;
        return nullptr;
    }
    std::unique_ptr<NtfsImage> image(new NtfsImage(std::move(source)));
    image->geometry_ = *geometry;
    if (!image->LoadMft(error)) {
        return nullptr;
    }
    if (!image->LoadMftBitmap()) {
        image->RebuildMftBitmapFromHeaders();
    }
    image->LoadLabel();
    image->CountFreeClusters();
    image->ComputeMftZone();
    error = error::kSuccess;
    return image;
}

bool NtfsImage::ReadStream(const std::vector<Extent>& extents, std::uint64_t pos,
                           std::span<std::byte> out) const {
    const ondisk::StreamVolume volume{geometry_.bytesPerCluster, geometry_.totalClusters};
    const auto read = [this](std::uint64_t at, std::span<std::byte> piece) {
        return source_->Read(at, piece);
    };
    return ondisk::ReadStream(extents, volume, pos, out, read) == out.size();
}

void NtfsImage::HintStream(const std::vector<Extent>& extents, std::uint64_t pos,
                           std::uint64_t length) const {
    const std::uint64_t cluster = geometry_.bytesPerCluster;
    const std::uint64_t end = pos + length;
    for (const Extent& e : extents) {
        const std::uint64_t from = static_cast<std::uint64_t>(e.vcn) * cluster;
        const std::uint64_t to = from + static_cast<std::uint64_t>(e.length) * cluster;
        if (e.sparse || to <= pos || from >= end || e.lcn < 0) {
            continue;
        }
        const std::uint64_t a = std::max(from, pos);
        const std::uint64_t b = std::min(to, end);
        source_->WillNeed(static_cast<std::uint64_t>(e.lcn) * cluster + (a - from), b - a);
    }
}

bool NtfsImage::ReadRecord(std::int64_t number, std::span<std::byte> out) const {
    const std::uint64_t size = geometry_.bytesPerRecord;
    if (number < 0 || out.size() != size) {
        return false;
    }
    if (!ReadStream(mft_, static_cast<std::uint64_t>(number) * size, out)) {
        return false;
    }
    return ondisk::HasFileSignature(out) && ondisk::ApplyFixups(out) == ondisk::FixupResult::Ok;
}

void NtfsImage::ReadRecords(std::int64_t first, std::span<std::byte> out,
                            std::span<std::uint8_t> readable) const {
    std::fill(readable.begin(), readable.end(), std::uint8_t{0});
    const std::size_t size = geometry_.bytesPerRecord;
    if (first < 0 || first >= recordCount_ || size == 0 || out.size() / size != readable.size()) {
        return;
    }
    const auto inRange = static_cast<std::size_t>(
        std::min<std::int64_t>(recordCount_ - first, static_cast<std::int64_t>(readable.size())));
    // One read for the whole run; where that fails (a bad sector, an extent
    // cut short) each record is read on its own, so that one unreadable
    // record costs only itself, as it does for FetchRecord.
    const bool whole =
        ReadStream(mft_, static_cast<std::uint64_t>(first) * size, out.first(inRange * size));
    // The walks of the whole table go block after block, a block a thread:
    // the storage reads the next two blocks while this one is parsed.
    const std::uint64_t next = static_cast<std::uint64_t>(first) + inRange;
    if (next < static_cast<std::uint64_t>(recordCount_)) {
        const std::uint64_t records =
            std::min<std::uint64_t>(static_cast<std::uint64_t>(recordCount_) - next, 2 * inRange);
        HintStream(mft_, next * size, records * size);
    }
    for (std::size_t i = 0; i < inRange; ++i) {
        const std::int64_t number = first + static_cast<std::int64_t>(i);
        if (!InUse(number)) {
            continue;
        }
        const auto record = out.subspan(i * size, size);
        if (!whole && !ReadStream(mft_, static_cast<std::uint64_t>(number) * size, record)) {
            continue;
        }
        readable[i] = ondisk::HasFileSignature(record) &&
                      ondisk::ApplyFixups(record) == ondisk::FixupResult::Ok;
    }
}

bool NtfsImage::ReadNonResident(const std::vector<Extent>& extents, std::int64_t dataSize,
                                std::size_t limit, std::vector<std::byte>& out) const {
    const std::size_t n = dataSize <= 0 ? 0
                          : static_cast<std::uint64_t>(dataSize) < limit
                              ? static_cast<std::size_t>(dataSize)
                              : limit;
    out.assign(n, std::byte{0});
    bool whole = true;
    for (std::size_t at = 0; at < n; at += kChunk) {
        auto piece = std::span(out).subspan(at, std::min(kChunk, n - at));
        if (!ReadStream(extents, at, piece)) {
            std::fill(piece.begin(), piece.end(), std::byte{0});
            whole = false;
        }
    }
    return whole;
}

bool NtfsImage::TakeFirstPiece(std::span<const std::byte> attribute, StreamInfo& info,
                               std::vector<Extent>& extents) const {
    if (ondisk::IsResident(attribute)) {
        const auto value = ondisk::ResidentValue(attribute);
        info.resident = true;
        info.residentValue.assign(value.begin(), value.end());
        info.dataSize = info.initializedSize = static_cast<std::int64_t>(value.size());
        return true;
    }
    const auto header = ondisk::DecodeNonResident(attribute);
    if (!header) {
        return false;
    }
    info.dataSize = header->dataSize;
    info.initializedSize = header->initializedSize;
    return ondisk::AppendExtents(*header, geometry_.bytesPerCluster, extents) ==
           ondisk::ExtentsEnd::Complete;
}

std::optional<std::vector<std::byte>>
NtfsImage::ReadAttributeList(std::span<const std::byte> attribute) const {
    if (ondisk::IsResident(attribute)) {
        const auto value = ondisk::ResidentValue(attribute);
        return std::vector<std::byte>(value.begin(), value.end());
    }
    const auto header = ondisk::DecodeNonResident(attribute);
    if (!header || header->dataSize < 0 ||
        static_cast<std::uint64_t>(header->dataSize) > kMaxAttributeListBytes) {
        return std::nullopt;
    }
    std::vector<Extent> extents;
    ondisk::AppendExtents(*header, geometry_.bytesPerCluster, extents);
    std::vector<std::byte> value;
    ReadNonResident(extents, header->dataSize, kMaxAttributeListBytes, value);
    return value;
}

std::optional<NtfsImage::StreamInfo> NtfsImage::CollectStream(std::span<const std::byte> baseRecord,
                                                              std::int64_t baseNumber,
                                                              std::uint32_t type,
                                                              std::vector<Extent>* growing) const {
    StreamInfo info;
    std::vector<Extent>& extents = growing != nullptr ? *growing : info.extents;
    // Only the record's first attribute list is followed; a second one, which
    // could name the same shared list again, adds nothing but reading.
    const auto list = FindPiece(baseRecord, ondisk::type::kAttributeList, 0);
    if (!list) {
        const auto a = FindPiece(baseRecord, type, 0);
        if (!a) {
            return std::nullopt;
        }
        TakeFirstPiece(a->bytes, info, extents);
    } else {
        const auto value = ReadAttributeList(list->bytes);
        if (!value || !FollowPieces(*value, baseRecord, baseNumber, type, info, extents)) {
            return std::nullopt;
        }
    }
    if (growing != nullptr) {
        info.extents = *growing;
    }
    return info;
}

bool NtfsImage::FollowPieces(std::span<const std::byte> list, std::span<const std::byte> baseRecord,
                             std::int64_t baseNumber, std::uint32_t type, StreamInfo& info,
                             std::vector<Extent>& extents) const {
    std::vector<std::byte> ext(geometry_.bytesPerRecord);
    bool first = true;
    for (const auto& piece : PiecesOf(list, type)) {
        // Pieces must continue each other; anything else (a piece that names
        // a VCN already covered, an $MFT that lists itself again) is damage.
        if (first ? piece.vcn != 0 : piece.vcn != NextVcn(extents)) {
            break;
        }
        std::span<const std::byte> holder = baseRecord;
        if (piece.record != baseNumber) {
            if (!ReadRecord(piece.record, ext)) {
                break;
            }
            holder = ext;
        }
        const auto a = FindPiece(holder, type, piece.vcn);
        if (!a) {
            break;
        }
        if (first) {
            if (!TakeFirstPiece(a->bytes, info, extents) || info.resident) {
                break;
            }
            first = false;
        } else {
            const auto header = ondisk::DecodeNonResident(a->bytes);
            if (!header || ondisk::AppendExtents(*header, geometry_.bytesPerCluster, extents) !=
                               ondisk::ExtentsEnd::Complete) {
                break;
            }
        }
    }
    return !first;
}

bool NtfsImage::LoadMft(std::uint32_t& error) {
    error = error::kFileCorrupt;
    const std::uint64_t size = geometry_.bytesPerRecord;
    std::vector<std::byte> record0(size);
    // Record 0 is where the boot sector says; it describes where everything
    // else of the $MFT, itself included, lies.
    const std::uint64_t at =
        static_cast<std::uint64_t>(geometry_.mftLcn) * geometry_.bytesPerCluster;
    if (source_->Read(at, record0) != size || !ondisk::HasFileSignature(record0) ||
        ondisk::ApplyFixups(record0) != ondisk::FixupResult::Ok) {
        return false;
    }
    // The first run must hold record 0 itself before anything else can be read.
    mft_.clear();
    auto info = CollectStream(record0, kMftRecord, ondisk::type::kData, &mft_);
    if (!info || info->resident || mft_.empty() || mft_.front().sparse ||
        mft_.front().lcn != geometry_.mftLcn) {
        return false;
    }
    std::int64_t mapped = 0;
    for (const auto& e : mft_) {
        if (e.length > geometry_.totalClusters - mapped) {
            return false;
        }
        mapped += e.length;
    }
    const std::int64_t mappedBytes = mapped * geometry_.bytesPerCluster;
    const std::int64_t valid = std::clamp<std::int64_t>(info->initializedSize, 0, mappedBytes);
    mftValidDataLength_ = info->initializedSize < 0 ? 0 : info->initializedSize;
    recordCount_ =
        std::min(valid, std::min(info->dataSize, mappedBytes)) / static_cast<std::int64_t>(size);
    if (recordCount_ <= kBitmapRecord) {
        return false;
    }
    error = error::kSuccess;
    return true;
}

bool NtfsImage::LoadMftBitmap() {
    std::vector<std::byte> record0(geometry_.bytesPerRecord);
    mftBitmap_.assign(static_cast<std::size_t>((recordCount_ + 63) / 64), 0);
    if (!ReadRecord(kMftRecord, record0)) {
        return false;
    }
    const auto info = CollectStream(record0, kMftRecord, ondisk::type::kBitmap, nullptr);
    if (!info) {
        return false;
    }
    const std::size_t needed = static_cast<std::size_t>((recordCount_ + 7) / 8);
    std::vector<std::byte> bytes;
    bool whole = true;
    if (info->resident) {
        bytes = info->residentValue;
        bytes.resize(std::min(bytes.size(), needed));
    } else {
        whole = ReadNonResident(info->extents, info->initializedSize, needed, bytes);
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        mftBitmap_[i / 8] |= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(bytes[i]))
                             << (8 * (i % 8));
    }
    // Bits past the last record are not records.
    const std::int64_t tail = recordCount_ % 64;
    if (tail != 0 && !mftBitmap_.empty()) {
        mftBitmap_.back() &= (std::uint64_t{1} << tail) - 1;
    }
    return whole;
}

void NtfsImage::RebuildMftBitmapFromHeaders() {
    // With its $BITMAP unreadable the $MFT still says, record by record,
    // which records are in use; reading them all once is the price of
    // showing a damaged volume at all.
    std::vector<std::byte> record(geometry_.bytesPerRecord);
    std::fill(mftBitmap_.begin(), mftBitmap_.end(), 0);
    for (std::int64_t n = 0; n < recordCount_; ++n) {
        if (ReadRecord(n, record) &&
            (ondisk::RecordFlags(record) & ondisk::record::kFlagInUse) != 0) {
            const auto u = static_cast<std::uint64_t>(n);
            mftBitmap_[u / 64] |= std::uint64_t{1} << (u % 64);
        }
    }
}

void NtfsImage::LoadLabel() {
    std::vector<std::byte> record(geometry_.bytesPerRecord);
    if (!InUse(kVolumeRecord) || !ReadRecord(kVolumeRecord, record)) {
        return;
    }
    const auto name = FindPiece(record, ondisk::type::kVolumeName, 0);
    if (!name) {
        return;
    }
    label_ = ondisk::ToUtf8(ondisk::ReadUtf16(ondisk::ResidentValue(name->bytes)));
}

void NtfsImage::CountFreeClusters() {
    std::vector<std::byte> record(geometry_.bytesPerRecord);
    const std::int64_t total = geometry_.totalClusters;
    freeClusters_ = 0;
    if (!ReadRecord(kBitmapRecord, record)) {
        return;
    }
    const auto info = CollectStream(record, kBitmapRecord, ondisk::type::kData, nullptr);
    if (!info) {
        return;
    }
    clusterBitmap_ = info->extents;
    clusterBitmapSize_ = info->dataSize;
    if (info->resident) {
        // No formatter keeps a volume's bitmap inside the record; a record
        // that claims so is damaged and its bitmap is not served.
        clusterBitmap_.clear();
        clusterBitmapSize_ = 0;
        return;
    }
    const std::uint64_t needed = static_cast<std::uint64_t>((total + 7) / 8);
    std::vector<std::byte> chunk(kChunk);
    std::int64_t used = 0;
    for (std::uint64_t at = 0; at < needed; at += kChunk) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, needed - at));
        auto piece = std::span(chunk).first(n);
        if (!ReadClusterBitmap(at, piece)) {
            // Unreadable bitmap bytes count as used: never claim free space
            // we cannot see.
            const std::int64_t clusters = std::min<std::int64_t>(
                static_cast<std::int64_t>(n) * 8, total - static_cast<std::int64_t>(at) * 8);
            used += clusters;
            continue;
        }
        // Whole bytes word by word; the bits of the last byte past the
        // volume's end do not count.
        std::size_t whole = n;
        const std::int64_t lastFirst = static_cast<std::int64_t>(at + n - 1) * 8;
        if (total - lastFirst < 8) {
            whole = n - 1;
            const auto last = std::to_integer<std::uint8_t>(piece[n - 1]);
            used +=
                std::popcount(static_cast<std::uint8_t>(last & ((1U << (total - lastFirst)) - 1)));
        }
        used += static_cast<std::int64_t>(ondisk::CountSetBits(piece.data(), whole));
    }
    freeClusters_ = total - used;
}

bool NtfsImage::ReadClusterBitmap(std::uint64_t firstByte, std::span<std::byte> out) const {
    if (clusterBitmapSize_ < 0 ||
        firstByte + out.size() > static_cast<std::uint64_t>(clusterBitmapSize_)) {
        return false;
    }
    return ReadStream(clusterBitmap_, firstByte, out);
}

void NtfsImage::ComputeMftZone() {
    // The zone the allocator keeps free for the $MFT to grow into: an eighth
    // of the volume from the $MFT's start, halved until it fits. When the
    // $MFT sits where a fresh format puts it, the zone reaches back to the
    // start of the volume, so that the clusters before the $MFT are kept too.
    const std::int64_t total = geometry_.totalClusters;
    const std::int64_t cluster = geometry_.bytesPerCluster;
    std::int64_t size = total >> 3;
    std::int64_t standard = (8192 + 2 * cluster - 1) / cluster;
    if (standard * cluster < 16 * 1024) {
        standard = (16 * 1024 + cluster - 1) / cluster;
    }
    mftZoneStart_ = geometry_.mftLcn <= standard ? 0 : geometry_.mftLcn;
    mftZoneEnd_ = geometry_.mftLcn + size;
    while (mftZoneEnd_ >= total && size > 0) {
        size >>= 1;
        mftZoneEnd_ = geometry_.mftLcn + size;
    }
}

bool NtfsImage::InUse(std::int64_t number) const {
    if (number < 0 || number >= recordCount_) {
        return false;
    }
    const auto n = static_cast<std::uint64_t>(number);
    return ((mftBitmap_[n / 64] >> (n % 64)) & 1U) != 0;
}

std::int64_t NtfsImage::HighestInUseAtOrBelow(std::int64_t number) const {
    return HighestAtOrBelow(number, false);
}

std::int64_t NtfsImage::HighestAtOrBelow(std::int64_t number, bool readableOnly) const {
    if (number < 0 || recordCount_ == 0) {
        return -1;
    }
    const auto candidates = [&](std::size_t w) {
        return readableOnly && w < unreadable_.size() ? mftBitmap_[w] & ~unreadable_[w]
                                                      : mftBitmap_[w];
    };
    auto n = static_cast<std::uint64_t>(std::min(number, recordCount_ - 1));
    std::size_t word = n / 64;
    const unsigned bit = n % 64;
    std::uint64_t bits =
        candidates(word) & (bit == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (bit + 1)) - 1);
    for (;;) {
        if (bits != 0) {
            return static_cast<std::int64_t>(word * 64 + 63 -
                                             static_cast<unsigned>(std::countl_zero(bits)));
        }
        if (word == 0) {
            return -1;
        }
        bits = candidates(--word);
    }
}

std::optional<std::int64_t> NtfsImage::FetchRecord(std::int64_t number,
                                                   std::span<std::byte> out) const {
    // A record whose update sequence does not check is as good as free: the
    // caller is answered with the next lower one that reads. Each one that
    // fails is remembered, so that later lookups pass over a stretch of them
    // a word at a time: reading them all again per lookup made a damaged
    // $MFT cost its records squared.
    if (unreadable_.size() != mftBitmap_.size()) {
        unreadable_.assign(mftBitmap_.size(), 0);
    }
    std::int64_t at = number;
    while (at >= 0) {
        const std::int64_t candidate = HighestAtOrBelow(at, true);
        if (candidate < 0) {
            return std::nullopt;
        }
        if (ReadRecord(candidate, out)) {
            return candidate;
        }
        const auto c = static_cast<std::uint64_t>(candidate);
        unreadable_[c / 64] |= std::uint64_t{1} << (c % 64);
        at = candidate - 1;
    }
    return std::nullopt;
}

FileRecordState NtfsImage::ReadExactRecord(std::int64_t number, std::span<std::byte> out) const {
    if (number >= recordCount_ || !ReadRecord(number, out)) {
        return FileRecordState::kMissing;
    }
    return InUse(number) ? FileRecordState::kInUse : FileRecordState::kFree;
}

void NtfsImage::FillVolumeData(std::span<std::byte> out) const {
    const auto& g = geometry_;
    volume::NtfsVolumeData data;
    data.serialNumber = static_cast<std::int64_t>(g.serialNumber);
    data.numberSectors = static_cast<std::int64_t>(g.totalSectors);
    data.totalClusters = g.totalClusters;
    data.freeClusters = freeClusters_;
    data.bytesPerSector = g.bytesPerSector;
    data.bytesPerCluster = g.bytesPerCluster;
    data.bytesPerFileRecordSegment = g.bytesPerRecord;
    data.clustersPerFileRecordSegment = g.bytesPerRecord / g.bytesPerCluster;
    data.mftValidDataLength = mftValidDataLength_;
    data.mftStartLcn = g.mftLcn;
    data.mft2StartLcn = g.mftMirrLcn;
    data.mftZoneStart = mftZoneStart_;
    data.mftZoneEnd = mftZoneEnd_;
    volume::EncodeVolumeData(data, out);
}

} // namespace lorvex::platform

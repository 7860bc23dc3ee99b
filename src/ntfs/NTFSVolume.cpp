#include "ntfs/NTFSVolume.h"

#include "ntfs/Attributes.h"
#include "ntfs/Formatters.h"
#include "ondisk/ByteReader.h"
#include "ondisk/FileRecord.h"
#include "volume/VolumeUtils.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace lorvex::ntfs {

namespace fr = platform::filerecord;
namespace vd = platform::volumedata;
using ondisk::ByteReader;

namespace {

MessageHandler& InstalledHandler() {
    static MessageHandler handler;
    return handler;
}

char ToUpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

MessageHandler SetMessageHandler(MessageHandler handler) {
    return std::exchange(InstalledHandler(), std::move(handler));
}

void ShowMessage(std::string_view text, std::string_view caption) {
    if (const auto& handler = InstalledHandler()) {
        handler(text, caption);
    }
}

TNTFSVolume::TNTFSVolume(platform::VolumeApi& api, std::string_view drive) : api_(api) {
    // Until the geometry says otherwise, FRecord shows a record of the
    // classic size, so a reader of an inert volume sees zeros rather than
    // nothing.
    blankRecord_.assign(kDefaultRecordSize, std::byte{0});
    if (!drive.empty()) {
        if (drive.starts_with("\\\\?\\")) {
            // A volume without a drive letter: its GUID path is its root.
            drive_ = std::string(drive.ends_with('\\') ? drive.substr(0, drive.size() - 1) : drive);
        } else {
            drive_ = {ToUpperAscii(drive.front()), ':'};
        }
        devicePath_ = volume::GetVolumeDevicePath(api_, drive_ + "\\");
        ReadVolumeInformation();
        if (information_.fileSystemName == "NTFS") {
            ReadVolumeData();
        }
    }
    record_.FileRecordBuffer = blankRecord_;
}

void TNTFSVolume::ReadVolumeInformation() {
    auto info = api_.GetVolumeInformation(drive_ + "\\");
    if (!info) {
        return;
    }
    information_ = std::move(*info);
    legacyTexts_.serial = VolumeSerialText(information_.serialNumber);
    legacyTexts_.fileSystemFlags = FileSystemFlagsText(information_.fileSystemFlags);
}

void TNTFSVolume::ReadVolumeData() {
    if (devicePath_.empty()) {
        return;
    }
    const platform::Handle handle = api_.CreateFile(devicePath_);
    if (handle == platform::kInvalidHandle) {
        return;
    }
    std::array<std::byte, vd::kSize> data{};
    std::uint32_t returned = 0;
    if (api_.DeviceIoControl(handle, platform::kFsctlGetNtfsVolumeData, {}, data, &returned)) {
        // Every record buffer is sized from the record size, so a volume
        // that reports an absurd one stays inert rather than sizing them
        // from it.
        if (const auto geometry = VolumeGeometry::FromVolumeData(data)) {
            geometry_ = *geometry;
            blankRecord_.assign(geometry_.bytesPerRecord, std::byte{0});
        }
    }
    api_.CloseHandle(handle);
    // Whole clusters that lie on the volume, partly reserved or wholly.
    const std::uint32_t bytesPerCluster = geometry_.bytesPerCluster;
    const std::int64_t totalClusters = geometry_.totalClusters;
    if (bytesPerCluster != 0) {
        for (const auto& range : api_.ReservedRanges(drive_ + "\\")) {
            const auto first = static_cast<std::int64_t>(range.offset / bytesPerCluster);
            const auto end = static_cast<std::int64_t>(
                (range.offset + range.length + bytesPerCluster - 1) / bytesPerCluster);
            if (first < totalClusters && end > first) {
                reserved_.push_back({first, std::min(end, totalClusters) - first, range.name});
            }
        }
    }
}

RecordReader TNTFSVolume::OpenRecordReader() const {
    return RecordReader(api_, devicePath_, geometry_);
}

void TNTFSVolume::ReadCluster(std::span<std::byte> buffer, std::int64_t lcn) {
    const std::uint32_t bytesPerCluster = geometry_.bytesPerCluster;
    if (devicePath_.empty() || bytesPerCluster == 0 || buffer.size() < bytesPerCluster || lcn < 0 ||
        lcn > std::numeric_limits<std::int64_t>::max() / bytesPerCluster) {
        return;
    }
    const platform::Handle handle = api_.CreateFile(devicePath_);
    if (handle == platform::kInvalidHandle) {
        return;
    }
    // A failed seek must not turn into a read of whatever the position was.
    if (api_.SetFilePointerEx(handle, lcn * std::int64_t{bytesPerCluster})) {
        std::uint32_t read = 0;
        api_.ReadFile(handle, buffer.first(bytesPerCluster), &read);
    }
    api_.CloseHandle(handle);
}

bool TNTFSVolume::IsUsable() const {
    return geometry_.totalClusters != 0 && !devicePath_.empty() &&
           information_.fileSystemName == "NTFS";
}

std::int64_t TNTFSVolume::EstimateLastRecord() const {
    // Deliberately the classic record size, whatever the volume's: an
    // overestimate costs nothing, since the query answers with the nearest
    // lower record in use.
    if (geometry_.mftValidDataLength == 0) {
        return 0;
    }
    return geometry_.mftValidDataLength / 1024 - 1;
}

std::optional<RecordView> TNTFSVolume::QueryOnce(std::int64_t recordNo) {
    RecordReader reader = OpenRecordReader();
    if (!reader.IsOpen()) {
        return std::nullopt;
    }
    auto record = reader.ReadInUseAtOrBelow(recordNo);
    if (!record) {
        ShowMessage(std::to_string(api_.GetLastError()), "error");
    }
    return record;
}

std::int64_t TNTFSVolume::GetLastRecordNumber() {
    if (!IsUsable()) {
        return 0;
    }
    const auto record = QueryOnce(EstimateLastRecord());
    return record ? record->number() : -1;
}

// The bracket.

bool TNTFSVolume::OpenVolume() {
    CloseVolume();
    if (devicePath_.empty()) {
        return false;
    }
    bracket_.emplace(api_, devicePath_, geometry_);
    if (!bracket_->IsOpen()) {
        bracket_.reset();
        return false;
    }
    return true;
}

void TNTFSVolume::CloseVolume() {
    // FRecord goes on showing the last record (its view holds the bytes);
    // only the next bracket's asks must fetch anew.
    asked_ = kNoRecordAsked;
    bracket_.reset();
}

std::size_t TNTFSVolume::GetRecordOutputSize() const {
    return fr::kFileRecordBuffer + geometry_.bytesPerRecord;
}

std::int64_t TNTFSVolume::QueryFileRecord(std::span<std::byte> buffer, std::int64_t recordNo) {
    // A buffer too small for the record is refused like an unusable volume:
    // a cut-off record would still pass the validity test.
    if (!IsUsable() || buffer.size() < geometry_.bytesPerRecord) {
        return -1;
    }
    const auto record = QueryOnce(recordNo);
    if (!record) {
        return -1;
    }
    std::ranges::copy(record->bytes(), buffer.begin());
    return record->number();
}

std::int64_t TNTFSVolume::FetchFileRecord(std::span<std::byte> output, std::int64_t recordNo) {
    // An output area shorter than head and record is refused outright rather
    // than queried at its own size: a query for less than the record would
    // fail anyway, or hand back a cut-off record that still looks valid.
    if (!geometry_.HasRecords() || output.size() < GetRecordOutputSize()) {
        return -1;
    }
    std::optional<RecordView> fetched;
    const RecordView* record = nullptr;
    if (recordNo == asked_ && current_) {
        record = &*current_;
    } else if (bracket_ && (fetched = bracket_->ReadInUseAtOrBelow(recordNo))) {
        record = &*fetched;
    } else {
        return -1;
    }
    ondisk::StoreLE(output, fr::kFileReferenceNumber, static_cast<std::uint64_t>(record->number()),
                    8);
    ondisk::StoreLE(output, fr::kFileRecordLength, record->bytes().size(), 4);
    std::ranges::copy(record->bytes(), output.begin() + fr::kFileRecordBuffer);
    return record->number();
}

std::int64_t TNTFSVolume::ReadFileRecord(std::int64_t recordNo) {
    if (!geometry_.HasRecords()) {
        return 0;
    }
    if (recordNo == asked_) {
        return record_.FileReferenceNumber;
    }
    auto fetched = bracket_ ? bracket_->ReadInUseAtOrBelow(recordNo) : std::nullopt;
    if (!fetched) {
        return 0;
    }
    current_ = std::move(fetched);
    asked_ = recordNo;
    record_.FileReferenceNumber = current_->number();
    record_.FileRecordLength = static_cast<std::uint32_t>(current_->bytes().size());
    record_.FileRecordBuffer = current_->bytes();
    return record_.FileReferenceNumber;
}

std::int64_t TNTFSVolume::ReadRecordBase(std::int64_t& baseId, std::int64_t recordNo) {
    const std::int64_t result = ReadFileRecord(recordNo);
    // Read from whatever FRecord holds, valid or not; the sequence number in
    // the top 16 bits of the reference is not part of the record number. It
    // does tell a base record (whole reference 0) from an extension of
    // record 0, the $MFT's own, whose number is 0 as well.
    const ByteReader r(record_.FileRecordBuffer);
    const std::uint64_t reference = r.u64(ondisk::record::kBaseRecord).value_or(0);
    baseId = reference == 0 ? recordNo : r.recordNumber48(ondisk::record::kBaseRecord).value_or(0);
    return result;
}

std::shared_ptr<const platform::FileRecordBlocks> TNTFSVolume::OpenRecordBlocks() {
    return bracket_ ? bracket_->OpenRecordBlocks() : nullptr;
}

std::size_t TNTFSVolume::ReadAttributeData(std::span<const std::byte> runList,
                                           std::span<std::byte> buffer) {
    return bracket_ ? bracket_->ReadRunData(runList, buffer) : 0;
}

std::vector<std::byte> ReadAttributeListValue(TNTFSVolume& volume,
                                              std::span<const std::byte> attribute) {
    return ReadAttributeListValue(attribute, [&volume](auto runList, auto buffer) {
        return volume.ReadAttributeData(runList, buffer);
    });
}

} // namespace lorvex::ntfs

#include "ntfs/NtfsVolume.h"

#include "ntfs/Attributes.h"
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

char ToUpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

NtfsVolume::NtfsVolume(platform::VolumeApi& api, std::string_view drive) : api_(api) {
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
}

void NtfsVolume::ReadVolumeInformation() {
    auto info = api_.GetVolumeInformation(drive_ + "\\");
    if (!info) {
        return;
    }
    information_ = std::move(*info);
}

void NtfsVolume::ReadVolumeData() {
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

RecordReader NtfsVolume::OpenRecordReader() const {
    return RecordReader(api_, devicePath_, geometry_);
}

void NtfsVolume::ReadCluster(std::span<std::byte> buffer, std::int64_t lcn) {
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

bool NtfsVolume::IsUsable() const {
    return geometry_.totalClusters != 0 && !devicePath_.empty() &&
           information_.fileSystemName == "NTFS";
}

std::int64_t NtfsVolume::EstimateLastRecord() const {
    // Deliberately the classic record size, whatever the volume's: an
    // overestimate costs nothing, since the query answers with the nearest
    // lower record in use.
    if (geometry_.mftValidDataLength == 0) {
        return 0;
    }
    return geometry_.mftValidDataLength / 1024 - 1;
}

std::optional<RecordView> NtfsVolume::QueryOnce(std::int64_t recordNo, const Notice& notice) {
    RecordReader reader = OpenRecordReader();
    if (!reader.IsOpen()) {
        return std::nullopt;
    }
    auto record = reader.ReadInUseAtOrBelow(recordNo);
    if (!record && notice) {
        notice(std::to_string(api_.GetLastError()), "error");
    }
    return record;
}

std::int64_t NtfsVolume::GetLastRecordNumber(const Notice& notice) {
    if (!IsUsable()) {
        return 0;
    }
    const auto record = QueryOnce(EstimateLastRecord(), notice);
    return record ? record->number() : -1;
}

} // namespace lorvex::ntfs

#pragma once

#include "ondisk/ByteReader.h"
#include "platform/RawVolumeSystem.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace lorvex::test {

using platform::Handle;
using platform::RawVolumeSystem;

// Opens drive `letter` of a volume system the way the program does: by its
// volume name, turned into a device path.
inline Handle OpenDrive(platform::VolumeApi& api, char letter) {
    const std::string root = std::string(1, letter) + ":\\";
    const auto name = api.GetVolumeNameForVolumeMountPoint(root);
    if (!name) {
        return platform::kInvalidHandle;
    }
    std::string path = *name;
    path[2] = '.';
    path.pop_back();
    return api.CreateFile(path);
}

struct VolumeData {
    std::int64_t serial, sectors, totalClusters, freeClusters, reserved;
    std::uint32_t bytesPerSector, bytesPerCluster, bytesPerRecord, clustersPerRecord;
    std::int64_t mftValid, mftLcn, mft2Lcn, zoneStart, zoneEnd;
};

inline std::optional<VolumeData> QueryVolumeData(platform::VolumeApi& api, Handle h) {
    std::array<std::byte, platform::volumedata::kSize> out{};
    std::uint32_t returned = 0;
    if (!api.DeviceIoControl(h, platform::kFsctlGetNtfsVolumeData, {}, out, &returned)) {
        return std::nullopt;
    }
    const ondisk::ByteReader r(out);
    namespace vd = platform::volumedata;
    return VolumeData{*r.i64(vd::kVolumeSerialNumber),
                      *r.i64(vd::kNumberSectors),
                      *r.i64(vd::kTotalClusters),
                      *r.i64(vd::kFreeClusters),
                      *r.i64(vd::kTotalReserved),
                      *r.u32(vd::kBytesPerSector),
                      *r.u32(vd::kBytesPerCluster),
                      *r.u32(vd::kBytesPerFileRecordSegment),
                      *r.u32(vd::kClustersPerFileRecordSegment),
                      *r.i64(vd::kMftValidDataLength),
                      *r.i64(vd::kMftStartLcn),
                      *r.i64(vd::kMft2StartLcn),
                      *r.i64(vd::kMftZoneStart),
                      *r.i64(vd::kMftZoneEnd)};
}

// The number of the record the file-record query answers for `number`, or
// nullopt on failure; the record bytes land in `record` when given.
inline std::optional<std::int64_t> QueryRecord(platform::VolumeApi& api, Handle h,
                                               std::int64_t number, std::size_t recordSize,
                                               std::vector<std::byte>* record = nullptr) {
    std::array<std::byte, 8> in{};
    ondisk::StoreLE(in, 0, static_cast<std::uint64_t>(number), 8);
    std::vector<std::byte> out(12 + recordSize);
    std::uint32_t returned = 0;
    if (!api.DeviceIoControl(h, platform::kFsctlGetNtfsFileRecord, in, out, &returned)) {
        return std::nullopt;
    }
    if (record != nullptr) {
        record->assign(out.begin() + 12, out.end());
    }
    return *ondisk::ByteReader(out).i64(0);
}

} // namespace lorvex::test

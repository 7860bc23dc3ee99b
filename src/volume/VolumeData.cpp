#include "volume/VolumeData.h"

#include "ondisk/ByteReader.h"
#include "volume/VolumeApi.h"

#include <algorithm>

namespace lorvex::volume {

namespace vd = platform::volumedata;

void EncodeVolumeData(const NtfsVolumeData& data, std::span<std::byte> out) {
    std::fill(out.begin(), out.end(), std::byte{0});
    const auto put = [out](std::size_t offset, std::int64_t value, std::size_t width) {
        ondisk::StoreLE(out, offset, static_cast<std::uint64_t>(value), width);
    };
    put(vd::kVolumeSerialNumber, data.serialNumber, 8);
    put(vd::kNumberSectors, data.numberSectors, 8);
    put(vd::kTotalClusters, data.totalClusters, 8);
    put(vd::kFreeClusters, data.freeClusters, 8);
    put(vd::kTotalReserved, data.totalReserved, 8);
    put(vd::kBytesPerSector, data.bytesPerSector, 4);
    put(vd::kBytesPerCluster, data.bytesPerCluster, 4);
    put(vd::kBytesPerFileRecordSegment, data.bytesPerFileRecordSegment, 4);
    put(vd::kClustersPerFileRecordSegment, data.clustersPerFileRecordSegment, 4);
    put(vd::kMftValidDataLength, data.mftValidDataLength, 8);
    put(vd::kMftStartLcn, data.mftStartLcn, 8);
    put(vd::kMft2StartLcn, data.mft2StartLcn, 8);
    put(vd::kMftZoneStart, data.mftZoneStart, 8);
    put(vd::kMftZoneEnd, data.mftZoneEnd, 8);
}

NtfsVolumeData DecodeVolumeData(std::span<const std::byte> in) {
    const ondisk::ByteReader r(in);
    const auto i64 = [&r](std::size_t offset) { return r.i64(offset).value_or(0); };
    const auto u32 = [&r](std::size_t offset) { return r.u32(offset).value_or(0); };
    NtfsVolumeData data;
    data.serialNumber = i64(vd::kVolumeSerialNumber);
    data.numberSectors = i64(vd::kNumberSectors);
    data.totalClusters = i64(vd::kTotalClusters);
    data.freeClusters = i64(vd::kFreeClusters);
    data.totalReserved = i64(vd::kTotalReserved);
    data.bytesPerSector = u32(vd::kBytesPerSector);
    data.bytesPerCluster = u32(vd::kBytesPerCluster);
    data.bytesPerFileRecordSegment = u32(vd::kBytesPerFileRecordSegment);
    data.clustersPerFileRecordSegment = u32(vd::kClustersPerFileRecordSegment);
    data.mftValidDataLength = i64(vd::kMftValidDataLength);
    data.mftStartLcn = i64(vd::kMftStartLcn);
    data.mft2StartLcn = i64(vd::kMft2StartLcn);
    data.mftZoneStart = i64(vd::kMftZoneStart);
    data.mftZoneEnd = i64(vd::kMftZoneEnd);
    return data;
}

} // namespace lorvex::volume

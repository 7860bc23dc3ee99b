#include "ntfs/VolumeGeometry.h"

#include "ondisk/ByteReader.h"
#include "volume/VolumeApi.h"

namespace lorvex::ntfs {

std::optional<VolumeGeometry> VolumeGeometry::FromVolumeData(std::span<const std::byte> data) {
    namespace vd = platform::volumedata;
    if (data.size() < vd::kSize) {
        return std::nullopt;
    }
    const ondisk::ByteReader r(data);
    const auto i64 = [&r](std::size_t offset) { return r.i64(offset).value_or(0); };
    const auto u32 = [&r](std::size_t offset) { return r.u32(offset).value_or(0); };
    VolumeGeometry g;
    g.bytesPerRecord = u32(vd::kBytesPerFileRecordSegment);
    if (g.bytesPerRecord == 0 || g.bytesPerRecord > kMaxRecordSize) {
        return std::nullopt;
    }
    g.volumeSerialNumber = i64(vd::kVolumeSerialNumber);
    g.numberSectors = i64(vd::kNumberSectors);
    g.totalClusters = i64(vd::kTotalClusters);
    g.freeClusters = i64(vd::kFreeClusters);
    g.totalReserved = i64(vd::kTotalReserved);
    g.bytesPerSector = u32(vd::kBytesPerSector);
    g.bytesPerCluster = u32(vd::kBytesPerCluster);
    g.clustersPerRecord = u32(vd::kClustersPerFileRecordSegment);
    g.mftValidDataLength = i64(vd::kMftValidDataLength);
    g.mftStartLcn = i64(vd::kMftStartLcn);
    g.mftMirrorStartLcn = i64(vd::kMft2StartLcn);
    g.mftZoneStart = i64(vd::kMftZoneStart);
    g.mftZoneEnd = i64(vd::kMftZoneEnd);
    g.recordCount = g.mftValidDataLength > 0 ? g.mftValidDataLength / g.bytesPerRecord : 0;
    return g;
}

} // namespace lorvex::ntfs

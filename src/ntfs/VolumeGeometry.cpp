#include "ntfs/VolumeGeometry.h"

#include "volume/VolumeApi.h"
#include "volume/VolumeData.h"

namespace lorvex::ntfs {

std::optional<VolumeGeometry> VolumeGeometry::FromVolumeData(std::span<const std::byte> data) {
    if (data.size() < platform::volumedata::kSize) {
        return std::nullopt;
    }
    const volume::NtfsVolumeData d = volume::DecodeVolumeData(data);
    if (d.bytesPerFileRecordSegment == 0 || d.bytesPerFileRecordSegment > kMaxRecordSize) {
        return std::nullopt;
    }
    VolumeGeometry g;
    g.volumeSerialNumber = d.serialNumber;
    g.numberSectors = d.numberSectors;
    g.totalClusters = d.totalClusters;
    g.freeClusters = d.freeClusters;
    g.totalReserved = d.totalReserved;
    g.bytesPerSector = d.bytesPerSector;
    g.bytesPerCluster = d.bytesPerCluster;
    g.bytesPerRecord = d.bytesPerFileRecordSegment;
    g.clustersPerRecord = d.clustersPerFileRecordSegment;
    g.mftValidDataLength = d.mftValidDataLength;
    g.mftStartLcn = d.mftStartLcn;
    g.mftMirrorStartLcn = d.mft2StartLcn;
    g.mftZoneStart = d.mftZoneStart;
    g.mftZoneEnd = d.mftZoneEnd;
    g.recordCount = g.mftValidDataLength > 0 ? g.mftValidDataLength / g.bytesPerRecord : 0;
    return g;
}

} // namespace lorvex::ntfs

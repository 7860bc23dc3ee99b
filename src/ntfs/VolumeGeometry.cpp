#include "ntfs/VolumeGeometry.h"

#include "ondisk/ByteReader.h"
#include "volume/VolumeApi.h"

#include <array>
#include <utility>

namespace lorvex::ntfs {

namespace {

namespace vd = platform::volumedata;

// Where each field stands in the volume-data query's answer.
template <class T> using Field = std::pair<T VolumeGeometry::*, std::size_t>;
constexpr std::array<Field<std::int64_t>, 10> kWideFields{{
    {&VolumeGeometry::volumeSerialNumber, vd::kVolumeSerialNumber},
    {&VolumeGeometry::numberSectors, vd::kNumberSectors},
    {&VolumeGeometry::totalClusters, vd::kTotalClusters},
    {&VolumeGeometry::freeClusters, vd::kFreeClusters},
    {&VolumeGeometry::totalReserved, vd::kTotalReserved},
    {&VolumeGeometry::mftValidDataLength, vd::kMftValidDataLength},
    {&VolumeGeometry::mftStartLcn, vd::kMftStartLcn},
    {&VolumeGeometry::mftMirrorStartLcn, vd::kMft2StartLcn},
    {&VolumeGeometry::mftZoneStart, vd::kMftZoneStart},
    {&VolumeGeometry::mftZoneEnd, vd::kMftZoneEnd},
}};
constexpr std::array<Field<std::uint32_t>, 3> kNarrowFields{{
    {&VolumeGeometry::bytesPerSector, vd::kBytesPerSector},
    {&VolumeGeometry::bytesPerCluster, vd::kBytesPerCluster},
    {&VolumeGeometry::clustersPerRecord, vd::kClustersPerFileRecordSegment},
}};

} // namespace

std::optional<VolumeGeometry> VolumeGeometry::FromVolumeData(std::span<const std::byte> data) {
    if (data.size() < vd::kSize) {
        return std::nullopt;
    }
    const ondisk::ByteReader r(data);
    VolumeGeometry g;
    g.bytesPerRecord = r.u32(vd::kBytesPerFileRecordSegment).value_or(0);
    if (g.bytesPerRecord == 0 || g.bytesPerRecord > kMaxRecordSize) {
        return std::nullopt;
    }
    for (const auto& [member, offset] : kWideFields) {
        g.*member = r.i64(offset).value_or(0);
    }
    for (const auto& [member, offset] : kNarrowFields) {
        g.*member = r.u32(offset).value_or(0);
    }
    g.recordCount = g.mftValidDataLength > 0 ? g.mftValidDataLength / g.bytesPerRecord : 0;
    return g;
}

} // namespace lorvex::ntfs

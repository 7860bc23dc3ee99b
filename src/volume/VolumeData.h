#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The answer of the NTFS volume-data query (its published layout is
// platform::volumedata): written by the volume layer that answers the query,
// read by everyone who asks it.
namespace lorvex::volume {

struct NtfsVolumeData {
    std::int64_t serialNumber = 0;
    std::int64_t numberSectors = 0;
    std::int64_t totalClusters = 0;
    std::int64_t freeClusters = 0;
    std::int64_t totalReserved = 0;
    std::uint32_t bytesPerSector = 0;
    std::uint32_t bytesPerCluster = 0;
    std::uint32_t bytesPerFileRecordSegment = 0;
    std::uint32_t clustersPerFileRecordSegment = 0;
    std::int64_t mftValidDataLength = 0;
    std::int64_t mftStartLcn = 0;
    std::int64_t mft2StartLcn = 0;
    std::int64_t mftZoneStart = 0;
    std::int64_t mftZoneEnd = 0;
};

// Lays `data` out in `out`, which is zeroed first; a field that does not fit
// in `out` is cut off.
void EncodeVolumeData(const NtfsVolumeData& data, std::span<std::byte> out);

// The fields of an answer; a field that `in` is too short for reads as 0.
NtfsVolumeData DecodeVolumeData(std::span<const std::byte> in);

} // namespace lorvex::volume

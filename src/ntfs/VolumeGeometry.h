#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace lorvex::ntfs {

// Record sizes a volume may report before we size buffers from them.
inline constexpr std::uint32_t kDefaultRecordSize = 1024;
inline constexpr std::uint32_t kMaxRecordSize = 64 * 1024;

// The measures of an NTFS volume, as the volume-data query gives them when
// the volume is opened. A value: made once, never changed after; a volume
// that cannot be measured has the zero geometry (every field 0).
struct VolumeGeometry {
    std::int64_t volumeSerialNumber = 0;
    std::int64_t numberSectors = 0;
    std::int64_t totalClusters = 0;
    // Free when the volume was measured; the bitmap says what is free now.
    std::int64_t freeClusters = 0;
    std::int64_t totalReserved = 0;
    std::uint32_t bytesPerSector = 0;
    std::uint32_t bytesPerCluster = 0;
    std::uint32_t bytesPerRecord = 0;
    std::uint32_t clustersPerRecord = 0;
    std::int64_t mftValidDataLength = 0;
    std::int64_t mftStartLcn = 0;
    std::int64_t mftMirrorStartLcn = 0;
    // The MFT zone, both ends inclusive.
    std::int64_t mftZoneStart = 0;
    std::int64_t mftZoneEnd = 0;
    // The records the valid part of the $MFT holds: numbers 0 to recordCount - 1.
    std::int64_t recordCount = 0;

    // The geometry in the volume-data query's answer (its published layout);
    // nullopt when the answer is short or names a record size of 0 or above
    // kMaxRecordSize, which every record buffer would be sized from.
    static std::optional<VolumeGeometry> FromVolumeData(std::span<const std::byte> data);

    // Whether the file-record readers have a record size to work with.
    [[nodiscard]] bool HasRecords() const { return bytesPerRecord != 0; }

    friend bool operator==(const VolumeGeometry&, const VolumeGeometry&) = default;
};

} // namespace lorvex::ntfs

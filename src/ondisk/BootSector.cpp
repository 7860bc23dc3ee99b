#include "ondisk/BootSector.h"

#include "ondisk/ByteReader.h"

#include <bit>
#include <cstring>

namespace lorvex::ondisk {

std::optional<std::uint32_t> DecodeSectorsPerCluster(std::uint8_t raw) {
    if (raw == 0) {
        return std::nullopt;
    }
    if (raw <= 128) {
        if (!std::has_single_bit(raw)) {
            return std::nullopt;
        }
        return raw;
    }
    const int shift = 256 - raw;
    if (shift > 20) {
        return std::nullopt;
    }
    return 1U << shift;
}

std::optional<std::uint32_t> DecodeRecordSize(std::int8_t raw, std::uint32_t bytesPerCluster) {
    std::uint64_t size = 0;
    if (raw > 0) {
        size = static_cast<std::uint64_t>(raw) * bytesPerCluster;
    } else if (raw < 0) {
        const int shift = -raw;
        if (shift >= 32) {
            return std::nullopt;
        }
        size = 1ULL << shift;
    }
    if (size < kMinRecordSize || size > kMaxRecordSize || !std::has_single_bit(size)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(size);
}

bool SaysNtfs(std::span<const std::byte> sector) {
    return ByteReader(sector).fits(boot::kOemId, 8) &&
           std::memcmp(sector.data() + boot::kOemId, "NTFS    ", 8) == 0;
}

std::optional<NtfsGeometry> ParseNtfsBootSector(std::span<const std::byte> sector,
                                                std::uint64_t volumeBytes) {
    const ByteReader r(sector);
    if (!r.fits(0, boot::kSize) || !SaysNtfs(sector)) {
        return std::nullopt;
    }
    NtfsGeometry g;
    g.bytesPerSector = *r.u16(boot::kBytesPerSector);
    if (g.bytesPerSector < 256 || g.bytesPerSector > 4096 ||
        !std::has_single_bit(g.bytesPerSector)) {
        return std::nullopt;
    }
    const auto spc = DecodeSectorsPerCluster(*r.u8(boot::kSectorsPerCluster));
    if (!spc) {
        return std::nullopt;
    }
    const std::uint64_t cluster = static_cast<std::uint64_t>(*spc) * g.bytesPerSector;
    if (cluster > kMaxClusterSize) {
        return std::nullopt;
    }
    g.bytesPerCluster = static_cast<std::uint32_t>(cluster);
    const auto record = DecodeRecordSize(static_cast<std::int8_t>(*r.u8(boot::kClustersPerRecord)),
                                         g.bytesPerCluster);
    if (!record || *record < g.bytesPerSector) {
        return std::nullopt;
    }
    g.bytesPerRecord = *record;
    g.totalSectors = *r.u64(boot::kTotalSectors);
    // The boot sector does not count the backup boot sector at the very end,
    // so the volume may be one sector longer than this, never shorter.
    if (g.totalSectors == 0 || g.totalSectors > volumeBytes / g.bytesPerSector) {
        return std::nullopt;
    }
    g.totalClusters = static_cast<std::int64_t>(g.totalSectors / *spc);
    const std::uint64_t mft = *r.u64(boot::kMftLcn);
    const std::uint64_t mirr = *r.u64(boot::kMftMirrLcn);
    if (g.totalClusters == 0 || mft >= static_cast<std::uint64_t>(g.totalClusters) ||
        mirr >= static_cast<std::uint64_t>(g.totalClusters)) {
        return std::nullopt;
    }
    g.mftLcn = static_cast<std::int64_t>(mft);
    g.mftMirrLcn = static_cast<std::int64_t>(mirr);
    g.serialNumber = *r.u64(boot::kSerialNumber);
    return g;
}

} // namespace lorvex::ondisk

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace lorvex::ondisk {

// NTFS boot sector layout (offsets from the start of the volume).
namespace boot {
inline constexpr std::size_t kOemId = 0x03;             // 8 bytes, "NTFS    "
inline constexpr std::size_t kBytesPerSector = 0x0B;    // u16
inline constexpr std::size_t kSectorsPerCluster = 0x0D; // u8, see DecodeSectorsPerCluster
inline constexpr std::size_t kTotalSectors = 0x28;      // u64
inline constexpr std::size_t kMftLcn = 0x30;            // u64
inline constexpr std::size_t kMftMirrLcn = 0x38;        // u64
inline constexpr std::size_t kClustersPerRecord = 0x40; // i8, see DecodeRecordSize
inline constexpr std::size_t kClustersPerIndex = 0x44;  // i8
inline constexpr std::size_t kSerialNumber = 0x48;      // u64
inline constexpr std::size_t kSignature = 0x1FE;        // u16 0xAA55
inline constexpr std::size_t kSize = 512;
} // namespace boot

// Geometry of an NTFS volume as its boot sector gives it, checked for sanity so
// that no later size computed from it can overflow or size an absurd buffer.
struct NtfsGeometry {
    std::uint32_t bytesPerSector = 0;
    std::uint32_t bytesPerCluster = 0;
    std::uint32_t bytesPerRecord = 0;
    std::uint64_t totalSectors = 0;
    std::int64_t totalClusters = 0;
    std::int64_t mftLcn = 0;
    std::int64_t mftMirrLcn = 0;
    std::uint64_t serialNumber = 0;
};

// Largest cluster Windows formats, and the record sizes NTFS uses.
inline constexpr std::uint32_t kMaxClusterSize = 2U * 1024U * 1024U;
inline constexpr std::uint32_t kMinRecordSize = 512;
inline constexpr std::uint32_t kMaxRecordSize = 64U * 1024U;

// Sectors per cluster: values up to 128 are the count itself; above that the
// byte is a negative power of two (0xF4 = -12 gives 4096 sectors), which is
// how clusters beyond 64 KiB are encoded.
std::optional<std::uint32_t> DecodeSectorsPerCluster(std::uint8_t raw);

// A positive value counts clusters; a negative one is a power of two in bytes.
std::optional<std::uint32_t> DecodeRecordSize(std::int8_t raw, std::uint32_t bytesPerCluster);

// Whether the sector's OEM ID is "NTFS    ", whatever its numbers say.
bool SaysNtfs(std::span<const std::byte> sector);

// The parsed, checked geometry; nullopt when the sector is not NTFS or its
// numbers cannot describe a volume of volumeBytes bytes.
std::optional<NtfsGeometry> ParseNtfsBootSector(std::span<const std::byte> sector,
                                                std::uint64_t volumeBytes);

} // namespace lorvex::ondisk

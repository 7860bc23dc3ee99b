#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace lorvex::ondisk {

// $STANDARD_INFORMATION value (offsets from the start of the value).
namespace stdinfo {
inline constexpr std::size_t kCreationTime = 0x00; // i64, 100 ns since 1601
inline constexpr std::size_t kModificationTime = 0x08;
inline constexpr std::size_t kChangeTime = 0x10;
inline constexpr std::size_t kAccessTime = 0x18;
inline constexpr std::size_t kFileAttributes = 0x20; // u32
inline constexpr std::size_t kMinimumSize = 0x24;
} // namespace stdinfo

struct StandardInformation {
    std::int64_t creationTime = 0;
    std::int64_t modificationTime = 0;
    std::int64_t changeTime = 0; // of the record
    std::int64_t accessTime = 0;
    std::uint32_t fileAttributes = 0;
};

// The fields of a $STANDARD_INFORMATION value (ResidentValue of the
// attribute); a field the value is too short for reads as 0.
StandardInformation DecodeStandardInformation(std::span<const std::byte> value);

} // namespace lorvex::ondisk

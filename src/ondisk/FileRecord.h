#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace lorvex::ondisk {

// File record header (offsets from the start of a record).
namespace record {
inline constexpr std::size_t kSignature = 0x00;      // "FILE"
inline constexpr std::size_t kUsaOffset = 0x04;      // u16
inline constexpr std::size_t kUsaCount = 0x06;       // u16, 1 + number of strides
inline constexpr std::size_t kSequenceNumber = 0x10; // u16
inline constexpr std::size_t kFirstAttribute = 0x14; // u16
inline constexpr std::size_t kFlags = 0x16;          // u16
inline constexpr std::size_t kBytesInUse = 0x18;     // u32
inline constexpr std::size_t kBytesAllocated = 0x1C; // u32
inline constexpr std::size_t kBaseRecord = 0x20;     // 8-byte file reference
inline constexpr std::size_t kHeaderMinimum = 0x30;
inline constexpr std::uint16_t kFlagInUse = 0x0001;
inline constexpr std::uint16_t kFlagDirectory = 0x0002;
} // namespace record

// The update sequence protects every 512-byte stride of a multi-sector
// structure, whatever the device's sector size.
inline constexpr std::size_t kFixupStride = 512;

enum class FixupResult { Ok, BadHeader, Torn };

// Checks that every stride of the record ends in the update sequence number
// and puts the saved bytes back, in place. The caller passes its own copy, so
// a failure leaves nothing half-applied that anyone else could see.
FixupResult ApplyFixups(std::span<std::byte> structure);

// True when the record starts with "FILE".
bool HasFileSignature(std::span<const std::byte> record);

// The header's flags (record::kFlag...); 0 when the header is too short.
std::uint16_t RecordFlags(std::span<const std::byte> record);

// The number of the base record an extension record names; nothing for a
// base record. Only a base record has a reference of 0 as a whole: an
// extension of record 0 (the $MFT's own) has the number 0 and a sequence
// number.
std::optional<std::int64_t> BaseRecordOf(std::span<const std::byte> record);

} // namespace lorvex::ondisk

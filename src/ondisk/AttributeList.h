#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lorvex::ondisk {

// $ATTRIBUTE_LIST entry (offsets from the start of an entry).
namespace listentry {
inline constexpr std::size_t kType = 0x00;       // u32
inline constexpr std::size_t kLength = 0x04;     // u16
inline constexpr std::size_t kNameLength = 0x06; // u8, UTF-16 units
inline constexpr std::size_t kNameOffset = 0x07; // u8, from the entry's start
inline constexpr std::size_t kLowestVcn = 0x08;  // i64
inline constexpr std::size_t kRecord = 0x10;     // 8-byte file reference
inline constexpr std::size_t kId = 0x18;         // u16
inline constexpr std::size_t kMinimumSize = 0x1A;
} // namespace listentry

// One entry of an attribute list: which piece of which attribute stands in
// which record.
struct AttributeListEntry {
    std::uint32_t type = 0;
    std::int64_t lowestVcn = 0;
    std::int64_t record = 0;     // the reference's 48-bit record number
    std::uint16_t sequence = 0;  // the reference's sequence number
    std::uint16_t id = 0;        // the attribute's id in that record
    std::uint8_t nameLength = 0; // UTF-16 units; 0 for an unnamed attribute
    // The name's UTF-16LE bytes, inside the entry; empty when unnamed, and
    // when the name the entry claims does not fit in it.
    std::span<const std::byte> name;
};

// The entries of an attribute-list value, in order. The walk stops, keeping
// the entries before it, at an entry shorter than its fixed fields (a length
// of 0 included, which would never move on) and at one that runs past the
// value. The names point into `value`.
std::vector<AttributeListEntry> DecodeAttributeList(std::span<const std::byte> value);

} // namespace lorvex::ondisk

#pragma once

#include "ondisk/ByteReader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace lorvex::ondisk {

// Attribute header (offsets from the start of an attribute).
namespace attr {
inline constexpr std::size_t kType = 0x00;        // u32, kEndMarker ends the sequence
inline constexpr std::size_t kLength = 0x04;      // u32
inline constexpr std::size_t kNonResident = 0x08; // u8
inline constexpr std::size_t kNameLength = 0x09;  // u8, UTF-16 units
inline constexpr std::size_t kNameOffset = 0x0A;  // u16
inline constexpr std::size_t kFlags = 0x0C;       // u16
inline constexpr std::size_t kId = 0x0E;          // u16
// Resident form.
inline constexpr std::size_t kValueLength = 0x10; // u32
inline constexpr std::size_t kValueOffset = 0x14; // u16
inline constexpr std::size_t kResidentHeader = 0x18;
// Non-resident form.
inline constexpr std::size_t kLowestVcn = 0x10;       // i64
inline constexpr std::size_t kHighestVcn = 0x18;      // i64
inline constexpr std::size_t kRunListOffset = 0x20;   // u16
inline constexpr std::size_t kCompressionUnit = 0x22; // u8, log2 of clusters per unit
inline constexpr std::size_t kAllocatedSize = 0x28;   // i64
inline constexpr std::size_t kDataSize = 0x30;        // i64
inline constexpr std::size_t kInitializedSize = 0x38; // i64
inline constexpr std::size_t kNonResidentHeader = 0x40;

inline constexpr std::uint32_t kEndMarker = 0xFFFFFFFF;

// kFlags: the low byte names the compression format (1: LZNT1).
inline constexpr std::uint16_t kFlagCompressionMask = 0x00FF;
} // namespace attr

// Attribute type codes.
namespace type {
inline constexpr std::uint32_t kStandardInformation = 0x10;
inline constexpr std::uint32_t kAttributeList = 0x20;
inline constexpr std::uint32_t kFileName = 0x30;
inline constexpr std::uint32_t kVolumeName = 0x60;
inline constexpr std::uint32_t kVolumeInformation = 0x70;
inline constexpr std::uint32_t kData = 0x80;
inline constexpr std::uint32_t kIndexRoot = 0x90;
inline constexpr std::uint32_t kBitmap = 0xB0;
} // namespace type

// One attribute of a record as the bounded walk finds it.
struct AttributeSpan {
    std::size_t offset = 0; // from the start of the record
    std::uint32_t type = 0;
    std::span<const std::byte> bytes; // the whole attribute, inside the record
};

// Walks the attributes of a record from its first-attribute offset and never
// leaves the record: it stops at the end marker, at a length of zero or one
// that runs past the record, and at a header that does not fit.
class AttributeWalker {
  public:
    AttributeWalker(std::span<const std::byte> record, std::size_t firstAttribute)
        : record_(record), next_(firstAttribute) {}

    // The next attribute, or nullopt at the end of the sequence.
    std::optional<AttributeSpan> Next();

    // True when the walk ended on damage rather than on the end marker.
    [[nodiscard]] bool damaged() const { return damaged_; }

  private:
    std::span<const std::byte> record_;
    std::size_t next_;
    bool done_ = false;
    bool damaged_ = false;
};

// The walk over a record's attributes from the first-attribute offset its
// header gives; a header too short to give one walks nothing, as damaged.
AttributeWalker WalkRecordAttributes(std::span<const std::byte> record);

// Which attribute of a record FindAttribute looks for. Every key that is set
// must match.
struct AttributeKey {
    std::uint32_t type = 0;
    // The attribute's name; empty for an unnamed one (name length 0). Unset:
    // any name.
    std::optional<std::u16string_view> name;
    // The lowest VCN of the piece: a resident attribute is the piece at 0.
    std::optional<std::int64_t> lowestVcn;
    std::optional<std::uint16_t> id;
};

// True when `attribute`, of type `type`, is what `key` names.
bool AttributeMatches(std::uint32_t type, std::span<const std::byte> attribute,
                      const AttributeKey& key);

// The first attribute of a record that `key` names, or nothing.
std::optional<AttributeSpan> FindAttribute(std::span<const std::byte> record,
                                           const AttributeKey& key);

// The header's flag: false for a non-resident attribute.
inline bool IsResident(std::span<const std::byte> attribute) {
    return ByteReader(attribute).u8(attr::kNonResident).value_or(0) == 0;
}

// The attribute's id, unique within its record.
inline std::uint16_t AttributeId(std::span<const std::byte> attribute) {
    return ByteReader(attribute).u16(attr::kId).value_or(0);
}

// The value of a resident attribute, where its header's value offset and
// length say, bounded by the attribute; empty when they do not fit, and for a
// non-resident attribute, which has no value in the record.
inline std::span<const std::byte> ResidentValue(std::span<const std::byte> attribute) {
    if (!IsResident(attribute)) {
        return {};
    }
    const ByteReader r(attribute);
    const auto length = r.u32(attr::kValueLength);
    const auto offset = r.u16(attr::kValueOffset);
    if (!length || !offset) {
        return {};
    }
    return r.sub(*offset, *length);
}

// The value length a resident attribute's header gives, whether or not the
// value fits in the attribute; 0 when the header is too short to say.
inline std::uint32_t ResidentValueLength(std::span<const std::byte> attribute) {
    return ByteReader(attribute).u32(attr::kValueLength).value_or(0);
}

// The name of an attribute (UTF-16LE, kNameLength units from kNameOffset),
// bounded by the attribute; empty for an unnamed one and when the name does
// not fit.
inline std::span<const std::byte> AttributeNameBytes(std::span<const std::byte> attribute) {
    const ByteReader r(attribute);
    const auto length = r.u8(attr::kNameLength);
    const auto offset = r.u16(attr::kNameOffset);
    if (!length || !offset) {
        return {};
    }
    return r.sub(*offset, std::size_t{*length} * 2);
}

// As much of the name as lies inside the attribute: what a listing shows of
// a damaged name. Matching a name goes by AttributeNameBytes, which refuses
// one that does not fit.
inline std::span<const std::byte> ClippedAttributeName(std::span<const std::byte> attribute) {
    const ByteReader r(attribute);
    const std::size_t length = r.u8(attr::kNameLength).value_or(0);
    const std::size_t offset = r.u16(attr::kNameOffset).value_or(0);
    if (length == 0 || offset >= attribute.size()) {
        return {};
    }
    return attribute.subspan(offset, std::min(2 * length, attribute.size() - offset));
}

// The name's length in UTF-16 units; 0 for an unnamed attribute.
inline std::uint8_t AttributeNameLength(std::span<const std::byte> attribute) {
    return ByteReader(attribute).u8(attr::kNameLength).value_or(0);
}

// The run list of a non-resident attribute, from its run list offset to the
// attribute's end; empty when the offset does not fit.
inline std::span<const std::byte> RunListBytes(std::span<const std::byte> attribute) {
    const ByteReader r(attribute);
    const auto offset = r.u16(attr::kRunListOffset);
    if (!offset || *offset > attribute.size()) {
        return {};
    }
    return attribute.subspan(*offset);
}

} // namespace lorvex::ondisk

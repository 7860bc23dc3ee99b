#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

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
inline constexpr std::size_t kAllocatedSize = 0x28;   // i64
inline constexpr std::size_t kDataSize = 0x30;        // i64
inline constexpr std::size_t kInitializedSize = 0x38; // i64
inline constexpr std::size_t kNonResidentHeader = 0x40;

inline constexpr std::uint32_t kEndMarker = 0xFFFFFFFF;
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

// $STANDARD_INFORMATION value.
namespace stdinfo {
inline constexpr std::size_t kCreationTime = 0x00;
inline constexpr std::size_t kModificationTime = 0x08;
inline constexpr std::size_t kChangeTime = 0x10;
inline constexpr std::size_t kAccessTime = 0x18;
inline constexpr std::size_t kFileAttributes = 0x20; // u32
inline constexpr std::size_t kMinimumSize = 0x24;
} // namespace stdinfo

// $FILE_NAME value.
namespace filename {
inline constexpr std::size_t kParent = 0x00;       // 8-byte file reference
inline constexpr std::size_t kCreationTime = 0x08; // the times as of the last rename or move
inline constexpr std::size_t kModificationTime = 0x10;
inline constexpr std::size_t kChangeTime = 0x18;
inline constexpr std::size_t kAccessTime = 0x20;
inline constexpr std::size_t kAllocatedSize = 0x28;  // i64
inline constexpr std::size_t kDataSize = 0x30;       // i64
inline constexpr std::size_t kFileAttributes = 0x38; // u32
inline constexpr std::size_t kNameLength = 0x40;     // u8, UTF-16 units
inline constexpr std::size_t kNamespace = 0x41;      // u8
inline constexpr std::size_t kName = 0x42;
inline constexpr std::uint8_t kNamespaceDos = 2;
} // namespace filename

// $ATTRIBUTE_LIST entry.
namespace listentry {
inline constexpr std::size_t kType = 0x00;       // u32
inline constexpr std::size_t kLength = 0x04;     // u16
inline constexpr std::size_t kNameLength = 0x06; // u8
inline constexpr std::size_t kNameOffset = 0x07; // u8
inline constexpr std::size_t kLowestVcn = 0x08;  // i64
inline constexpr std::size_t kRecord = 0x10;     // 8-byte file reference
inline constexpr std::size_t kId = 0x18;         // u16
inline constexpr std::size_t kMinimumSize = 0x1A;
} // namespace listentry

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

// The value of a resident attribute, bounded by the attribute; empty when
// the header's value offset or length does not fit.
std::span<const std::byte> ResidentValue(std::span<const std::byte> attribute);

// The name of an attribute (UTF-16LE, kNameLength units from kNameOffset),
// bounded by the attribute; empty for an unnamed one and when the name does
// not fit.
std::span<const std::byte> AttributeNameBytes(std::span<const std::byte> attribute);

// The run list of a non-resident attribute, from its run list offset to the
// attribute's end; empty when the offset does not fit.
std::span<const std::byte> RunListBytes(std::span<const std::byte> attribute);

} // namespace lorvex::ondisk

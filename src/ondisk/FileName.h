#pragma once

#include "ondisk/ByteReader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace lorvex::ondisk {

// $FILE_NAME value (offsets from the start of the value).
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

struct FileName {
    // The 48-bit record number of the parent directory; nothing when the
    // value is too short to hold it.
    std::optional<std::int64_t> parent;
    std::int64_t creationTime = 0;
    std::int64_t modificationTime = 0;
    std::int64_t changeTime = 0;
    std::int64_t accessTime = 0;
    std::int64_t allocatedSize = 0;
    std::int64_t dataSize = 0;
    std::uint32_t fileAttributes = 0;
    std::uint8_t nameSpace = 0;
    // The name's UTF-16LE bytes: as many as its length claims, cut at the
    // value's end.
    std::span<const std::byte> name;

    [[nodiscard]] bool IsDosName() const { return nameSpace == filename::kNamespaceDos; }
};

// The fields of a $FILE_NAME value (ResidentValue of the attribute); a field
// the value is too short for reads as 0.
inline FileName DecodeFileName(std::span<const std::byte> value) {
    namespace fn = filename;
    const ByteReader v(value);
    FileName f;
    f.parent = v.recordNumber48(fn::kParent);
    f.creationTime = v.i64(fn::kCreationTime).value_or(0);
    f.modificationTime = v.i64(fn::kModificationTime).value_or(0);
    f.changeTime = v.i64(fn::kChangeTime).value_or(0);
    f.accessTime = v.i64(fn::kAccessTime).value_or(0);
    f.allocatedSize = v.i64(fn::kAllocatedSize).value_or(0);
    f.dataSize = v.i64(fn::kDataSize).value_or(0);
    f.fileAttributes = v.u32(fn::kFileAttributes).value_or(0);
    f.nameSpace = v.u8(fn::kNamespace).value_or(0);
    const std::size_t length = v.u8(fn::kNameLength).value_or(0);
    if (value.size() > fn::kName) {
        const auto rest = value.subspan(fn::kName);
        f.name = rest.first(std::min(2 * length, rest.size()));
    }
    return f;
}

} // namespace lorvex::ondisk

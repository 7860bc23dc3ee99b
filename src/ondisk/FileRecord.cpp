#include "ondisk/FileRecord.h"

#include "ondisk/ByteReader.h"

#include <cstring>

namespace lorvex::ondisk {

bool HasFileSignature(std::span<const std::byte> record) {
    return record.size() >= 4 && std::memcmp(record.data(), "FILE", 4) == 0;
}

std::uint16_t RecordFlags(std::span<const std::byte> record) {
    return ByteReader(record).u16(record::kFlags).value_or(0);
}

std::optional<std::int64_t> BaseRecordOf(std::span<const std::byte> record) {
    const ByteReader r(record);
    if (r.u64(record::kBaseRecord).value_or(0) == 0) {
        return std::nullopt;
    }
    return r.recordNumber48(record::kBaseRecord);
}

FixupResult ApplyFixups(std::span<std::byte> structure) {
    const ByteReader r(structure);
    const auto usaOffset = r.u16(record::kUsaOffset);
    const auto usaCount = r.u16(record::kUsaCount);
    if (!usaOffset || !usaCount || structure.size() % kFixupStride != 0) {
        return FixupResult::BadHeader;
    }
    const std::size_t strides = structure.size() / kFixupStride;
    // The array must lie inside the first stride: it is read before any fixup.
    if (*usaCount != strides + 1 || *usaOffset % 2 != 0 ||
        std::size_t{*usaOffset} + 2U * *usaCount > kFixupStride) {
        return FixupResult::BadHeader;
    }
    const std::uint16_t usn = *r.u16(*usaOffset);
    for (std::size_t i = 0; i < strides; ++i) {
        const std::size_t tail = (i + 1) * kFixupStride - 2;
        if (*r.u16(tail) != usn) {
            return FixupResult::Torn;
        }
    }
    for (std::size_t i = 0; i < strides; ++i) {
        const std::size_t tail = (i + 1) * kFixupStride - 2;
        const std::size_t saved = *usaOffset + 2 * (i + 1);
        structure[tail] = structure[saved];
        structure[tail + 1] = structure[saved + 1];
    }
    return FixupResult::Ok;
}

} // namespace lorvex::ondisk

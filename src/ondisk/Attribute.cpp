#include "ondisk/Attribute.h"

#include "ondisk/ByteReader.h"
#include "ondisk/FileRecord.h"

#include <algorithm>

namespace lorvex::ondisk {

std::optional<AttributeSpan> AttributeWalker::Next() {
    if (done_) {
        return std::nullopt;
    }
    const ByteReader r(record_);
    const auto type = r.u32(next_ + attr::kType);
    if (!type) {
        done_ = damaged_ = true;
        return std::nullopt;
    }
    if (*type == attr::kEndMarker) {
        done_ = true;
        return std::nullopt;
    }
    const auto length = r.u32(next_ + attr::kLength);
    // The shortest real attribute is a resident header; anything smaller
    // would let the walk stall or step into the middle of a header.
    if (!length || *length < attr::kResidentHeader || *length % 8 != 0 || !r.fits(next_, *length)) {
        done_ = damaged_ = true;
        return std::nullopt;
    }
    AttributeSpan found{next_, *type, r.sub(next_, *length)};
    next_ += *length;
    return found;
}

AttributeWalker WalkRecordAttributes(std::span<const std::byte> record) {
    const auto first = ByteReader(record).u16(record::kFirstAttribute);
    return {record, first ? std::size_t{*first} : record.size()};
}

namespace {

bool NameMatches(std::span<const std::byte> attribute, std::u16string_view name) {
    if (name.empty()) {
        return ByteReader(attribute).u8(attr::kNameLength).value_or(1) == 0;
    }
    const ByteReader stored(AttributeNameBytes(attribute));
    if (stored.size() != 2 * name.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (stored.u16(2 * i) != static_cast<std::uint16_t>(name[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

bool AttributeMatches(std::uint32_t type, std::span<const std::byte> attribute,
                      const AttributeKey& key) {
    if (type != key.type || (key.name && !NameMatches(attribute, *key.name))) {
        return false;
    }
    const ByteReader r(attribute);
    if (key.id && r.u16(attr::kId) != *key.id) {
        return false;
    }
    if (key.lowestVcn) {
        const std::int64_t vcn = IsResident(attribute) ? 0 : r.i64(attr::kLowestVcn).value_or(-1);
        if (vcn != *key.lowestVcn) {
            return false;
        }
    }
    return true;
}

std::optional<AttributeSpan> FindAttribute(std::span<const std::byte> record,
                                           const AttributeKey& key) {
    auto walk = WalkRecordAttributes(record);
    while (auto a = walk.Next()) {
        if (AttributeMatches(a->type, a->bytes, key)) {
            return a;
        }
    }
    return std::nullopt;
}

bool IsResident(std::span<const std::byte> attribute) {
    return ByteReader(attribute).u8(attr::kNonResident).value_or(0) == 0;
}

std::uint16_t AttributeId(std::span<const std::byte> attribute) {
    return ByteReader(attribute).u16(attr::kId).value_or(0);
}

std::span<const std::byte> ResidentValue(std::span<const std::byte> attribute) {
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

std::uint32_t ResidentValueLength(std::span<const std::byte> attribute) {
    return ByteReader(attribute).u32(attr::kValueLength).value_or(0);
}

std::span<const std::byte> AttributeNameBytes(std::span<const std::byte> attribute) {
    const ByteReader r(attribute);
    const auto length = r.u8(attr::kNameLength);
    const auto offset = r.u16(attr::kNameOffset);
    if (!length || !offset) {
        return {};
    }
    return r.sub(*offset, std::size_t{*length} * 2);
}

std::span<const std::byte> ClippedAttributeName(std::span<const std::byte> attribute) {
    const ByteReader r(attribute);
    const std::size_t length = r.u8(attr::kNameLength).value_or(0);
    const std::size_t offset = r.u16(attr::kNameOffset).value_or(0);
    if (length == 0 || offset >= attribute.size()) {
        return {};
    }
    return attribute.subspan(offset, std::min(2 * length, attribute.size() - offset));
}

std::uint8_t AttributeNameLength(std::span<const std::byte> attribute) {
    return ByteReader(attribute).u8(attr::kNameLength).value_or(0);
}

std::span<const std::byte> RunListBytes(std::span<const std::byte> attribute) {
    const ByteReader r(attribute);
    const auto offset = r.u16(attr::kRunListOffset);
    if (!offset || *offset > attribute.size()) {
        return {};
    }
    return attribute.subspan(*offset);
}

} // namespace lorvex::ondisk

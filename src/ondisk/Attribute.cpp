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

} // namespace lorvex::ondisk

#include "ondisk/Attribute.h"

#include "ondisk/ByteReader.h"

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

std::span<const std::byte> ResidentValue(std::span<const std::byte> attribute) {
    const ByteReader r(attribute);
    const auto length = r.u32(attr::kValueLength);
    const auto offset = r.u16(attr::kValueOffset);
    if (!length || !offset) {
        return {};
    }
    return r.sub(*offset, *length);
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

std::span<const std::byte> RunListBytes(std::span<const std::byte> attribute) {
    const ByteReader r(attribute);
    const auto offset = r.u16(attr::kRunListOffset);
    if (!offset || *offset > attribute.size()) {
        return {};
    }
    return attribute.subspan(*offset);
}

} // namespace lorvex::ondisk

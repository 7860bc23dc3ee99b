#include "ondisk/AttributeList.h"

#include "ondisk/ByteReader.h"

namespace lorvex::ondisk {

std::vector<AttributeListEntry> DecodeAttributeList(std::span<const std::byte> value) {
    namespace le = listentry;
    std::vector<AttributeListEntry> entries;
    const ByteReader r(value);
    std::size_t at = 0;
    while (r.fits(at, le::kMinimumSize)) {
        const std::size_t length = *r.u16(at + le::kLength);
        if (length < le::kMinimumSize || !r.fits(at, length)) {
            break;
        }
        const ByteReader entry(r.sub(at, length));
        AttributeListEntry e;
        e.type = *entry.u32(le::kType);
        e.lowestVcn = *entry.i64(le::kLowestVcn);
        e.record = *entry.recordNumber48(le::kRecord);
        e.sequence = static_cast<std::uint16_t>(*entry.u64(le::kRecord) >> 48);
        e.id = *entry.u16(le::kId);
        e.nameLength = *entry.u8(le::kNameLength);
        if (e.nameLength != 0) {
            e.name = entry.sub(*entry.u8(le::kNameOffset), std::size_t{e.nameLength} * 2);
        }
        entries.push_back(e);
        at += length;
    }
    return entries;
}

} // namespace lorvex::ondisk

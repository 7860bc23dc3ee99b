#include "ondisk/EwfSections.h"

#include "ondisk/ByteReader.h"

#include <algorithm>
#include <cstring>

namespace lorvex::ondisk::ewf {

namespace {

constexpr std::array<unsigned char, file::kSignatureSize> kSignature = {'E',  'V',  'F',  0x09,
                                                                        0x0D, 0x0A, 0xFF, 0x00};

} // namespace

bool IsSegmentFile(std::span<const std::byte> header) {
    if (header.size() < file::kSize) {
        return false;
    }
    for (std::size_t i = 0; i < kSignature.size(); ++i) {
        if (std::to_integer<unsigned char>(header[file::kSignature + i]) != kSignature[i]) {
            return false;
        }
    }
    return true;
}

std::string_view SectionDescriptor::name() const {
    const auto end = std::find(type.begin(), type.end(), '\0');
    return {type.data(), static_cast<std::size_t>(end - type.begin())};
}

std::optional<SectionDescriptor> ReadSectionDescriptor(std::span<const std::byte> bytes) {
    const ByteReader r(bytes);
    if (!r.fits(0, section::kDescriptorSize)) {
        return std::nullopt;
    }
    SectionDescriptor d;
    std::memcpy(d.type.data(), r.sub(section::kType, section::kTypeSize).data(),
                section::kTypeSize);
    d.next = *r.u64(section::kNext);
    d.size = *r.u64(section::kSize);
    return d;
}

std::optional<TableHeader> ReadTableHeader(std::span<const std::byte> bytes) {
    const ByteReader r(bytes);
    if (!r.fits(0, table::kHeaderSize)) {
        return std::nullopt;
    }
    return TableHeader{*r.u32(table::kEntries), *r.u64(table::kBase)};
}

std::optional<std::uint64_t> ChunkSizes::Add(std::uint32_t entry) {
    if (!any_) {
        any_ = true;
        previous_ = entry;
        return std::nullopt;
    }
    const std::uint32_t current = wrapped_ ? previous_ : previous_ & table::kOffsetMask;
    const std::uint32_t next = wrapped_ ? entry : entry & table::kOffsetMask;
    // An offset below the one before it is taken as it is stored, top bit
    // and all: that is how offsets past 2 GiB go on. Unsigned arithmetic
    // throughout, as it is read: a size that wraps is huge, not negative.
    const std::uint32_t size = next >= current ? next - current : entry - current;
    if (!wrapped_ && static_cast<std::uint32_t>(current + size) > table::kOffsetMask) {
        wrapped_ = true;
    }
    previous_ = entry;
    return size;
}

std::uint64_t ChunkSizes::Last(std::uint64_t sectionStart, std::uint64_t sectionEnd) const {
    if (!any_) {
        return 0;
    }
    const std::uint32_t current = wrapped_ ? previous_ : previous_ & table::kOffsetMask;
    const std::uint64_t at = base_ + current;
    if (at < base_) {
        return 0;
    }
    if (at < sectionStart) {
        return sectionStart - at;
    }
    if (at < sectionEnd) {
        return sectionEnd - at;
    }
    return 0;
}

} // namespace lorvex::ondisk::ewf

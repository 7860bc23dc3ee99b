#include "ondisk/RunList.h"

#include <limits>

namespace lorvex::ondisk {

namespace {

std::uint64_t ReadUnsigned(std::span<const std::byte> field) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < field.size(); ++i) {
        v |= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(field[i])) << (8 * i);
    }
    return v;
}

std::int64_t ReadSigned(std::span<const std::byte> field) {
    std::uint64_t v = ReadUnsigned(field);
    const std::size_t bits = field.size() * 8;
    if (bits < 64 && bits > 0 && ((v >> (bits - 1)) & 1U) != 0) {
        v |= ~((std::uint64_t{1} << bits) - 1);
    }
    return static_cast<std::int64_t>(v);
}

} // namespace

DecodedRuns DecodeRunList(std::span<const std::byte> bytes) {
    DecodedRuns out;
    std::size_t pos = 0;
    std::int64_t current = 0;
    for (;;) {
        if (pos >= bytes.size()) {
            out.status = RunListStatus::Truncated;
            return out;
        }
        const auto header = std::to_integer<std::uint8_t>(bytes[pos]);
        if (header == 0) {
            return out;
        }
        const std::size_t lengthSize = header & 0x0FU;
        const std::size_t offsetSize = header >> 4U;
        if (lengthSize > 8 || offsetSize > 8) {
            out.status = RunListStatus::BadField;
            return out;
        }
        if (bytes.size() - pos - 1 < lengthSize + offsetSize) {
            out.status = RunListStatus::Truncated;
            return out;
        }
        const auto length =
            static_cast<std::int64_t>(ReadUnsigned(bytes.subspan(pos + 1, lengthSize)));
        if (length < 0) {
            out.status = RunListStatus::BadField;
            return out;
        }
        Run run{current, length, offsetSize == 0};
        if (!run.sparse) {
            const std::int64_t delta = ReadSigned(bytes.subspan(pos + 1 + lengthSize, offsetSize));
            if ((delta > 0 && current > std::numeric_limits<std::int64_t>::max() - delta) ||
                (delta < 0 && current < std::numeric_limits<std::int64_t>::min() - delta)) {
                out.status = RunListStatus::Overflow;
                return out;
            }
            current += delta;
            run.lcn = current;
        }
        out.runs.push_back(run);
        pos += 1 + lengthSize + offsetSize;
    }
}

} // namespace lorvex::ondisk

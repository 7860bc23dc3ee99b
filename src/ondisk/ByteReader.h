#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace lorvex::ondisk {

// Bounded little-endian reads over bytes that came from a disk. Every read
// names its offset and says when the bytes are not there, so a damaged length
// field can never walk a parser outside its buffer.
class ByteReader {
  public:
    constexpr ByteReader() = default;
    constexpr explicit ByteReader(std::span<const std::byte> bytes) : bytes_(bytes) {}

    [[nodiscard]] constexpr std::size_t size() const { return bytes_.size(); }
    [[nodiscard]] constexpr std::span<const std::byte> bytes() const { return bytes_; }

    // True when [offset, offset + length) lies inside the bytes.
    [[nodiscard]] constexpr bool fits(std::size_t offset, std::size_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }

    [[nodiscard]] std::optional<std::uint8_t> u8(std::size_t offset) const {
        return read<std::uint8_t>(offset);
    }
    [[nodiscard]] std::optional<std::uint16_t> u16(std::size_t offset) const {
        return read<std::uint16_t>(offset);
    }
    [[nodiscard]] std::optional<std::uint32_t> u32(std::size_t offset) const {
        return read<std::uint32_t>(offset);
    }
    [[nodiscard]] std::optional<std::uint64_t> u64(std::size_t offset) const {
        return read<std::uint64_t>(offset);
    }
    [[nodiscard]] std::optional<std::int64_t> i64(std::size_t offset) const {
        auto v = read<std::uint64_t>(offset);
        if (!v) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(*v);
    }
    // The 48-bit record number of an 8-byte file reference.
    [[nodiscard]] std::optional<std::int64_t> recordNumber48(std::size_t offset) const {
        auto v = read<std::uint64_t>(offset);
        if (!v) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(*v & 0x0000FFFFFFFFFFFFULL);
    }

    // The sub-span [offset, offset + length), empty when it does not fit.
    [[nodiscard]] std::span<const std::byte> sub(std::size_t offset, std::size_t length) const {
        if (!fits(offset, length)) {
            return {};
        }
        return bytes_.subspan(offset, length);
    }

  private:
    template <typename T> [[nodiscard]] std::optional<T> read(std::size_t offset) const {
        if (!fits(offset, sizeof(T))) {
            return std::nullopt;
        }
        T value = 0;
        if constexpr (std::endian::native == std::endian::little) {
            // One load where the bytes are already in the host's order: the
            // readers of every record call this for each field.
            std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        } else {
            for (std::size_t i = 0; i < sizeof(T); ++i) {
                value = static_cast<T>(
                    value |
                    (static_cast<T>(std::to_integer<std::uint8_t>(bytes_[offset + i])) << (8 * i)));
            }
        }
        return value;
    }

    std::span<const std::byte> bytes_;
};

// Little-endian stores into a buffer the caller sized; used to lay out the
// published output records of the volume queries.
inline void StoreLE(std::span<std::byte> out, std::size_t offset, std::uint64_t value,
                    std::size_t width) {
    for (std::size_t i = 0; i < width && offset + i < out.size(); ++i) {
        out[offset + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
    }
}

} // namespace lorvex::ondisk

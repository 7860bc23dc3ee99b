#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace lorvex::ntfs {

// Decompresses one compression unit's LZNT1 chunks from `in` into `out`,
// which the unit's size sizes; the bytes the chunks do not reach are zeros.
// Nothing, and the reason in `error`, when the chunks are damaged or would
// fill more than `out`.
std::optional<std::size_t> DecompressLznt1(std::span<const std::byte> in, std::span<std::byte> out,
                                           std::string& error);

} // namespace lorvex::ntfs

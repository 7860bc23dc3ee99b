#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace lorvex::ondisk {

// Names on disk are UTF-16LE. An odd trailing byte is dropped.
std::u16string ReadUtf16(std::span<const std::byte> bytes);
// The same, appended to `out`: a caller that reuses `out` allocates nothing.
void AppendUtf16(std::span<const std::byte> bytes, std::u16string& out);

// UTF-8 for texts; an unpaired surrogate becomes U+FFFD rather than bytes
// that no text widget could show.
std::string ToUtf8(std::u16string_view text);
// The same, appended to `out`.
void AppendUtf8(std::u16string_view text, std::string& out);
// The same into `out`, whose room is reused.
void ToUtf8(std::u16string_view text, std::string& out);

std::u16string FromUtf8(std::string_view text);

} // namespace lorvex::ondisk

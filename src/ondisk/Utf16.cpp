#include "ondisk/Utf16.h"

#include <cstdint>

namespace lorvex::ondisk {

void AppendUtf16(std::span<const std::byte> bytes, std::u16string& out) {
    const std::size_t start = out.size();
    out.resize(start + bytes.size() / 2);
    for (std::size_t i = start; i < out.size(); ++i) {
        const std::size_t at = 2 * (i - start);
        out[i] = static_cast<char16_t>(std::to_integer<std::uint16_t>(bytes[at]) |
                                       (std::to_integer<std::uint16_t>(bytes[at + 1]) << 8));
    }
}

std::u16string ReadUtf16(std::span<const std::byte> bytes) {
    std::u16string out;
    AppendUtf16(bytes, out);
    return out;
}

namespace {
// Writes `c` at `p` and returns the position after it. The caller has room
// for four bytes.
char* AppendUtf8(char* p, char32_t c) {
    if (c < 0x80) {
        *p++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *p++ = static_cast<char>(0xC0 | (c >> 6));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *p++ = static_cast<char>(0xE0 | (c >> 12));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *p++ = static_cast<char>(0xF0 | (c >> 18));
        *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return p;
}
} // namespace

void AppendUtf8(std::u16string_view text, std::string& out) {
    // Every path of a scan passes through here when it is exported, so the
    // text is written into room sized once: three bytes per unit at most.
    const std::size_t start = out.size();
    out.resize(start + text.size() * 3);
    char* p = out.data() + start;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u < 0x80) {
            *p++ = static_cast<char>(u);
        } else if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                   text[i + 1] <= 0xDFFF) {
            const char32_t c = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                               (static_cast<char32_t>(text[i + 1]) - 0xDC00);
            p = AppendUtf8(p, c);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            p = AppendUtf8(p, 0xFFFD);
        } else {
            p = AppendUtf8(p, u);
        }
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
}

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    AppendUtf8(text, out);
    return out;
}

void ToUtf8(std::u16string_view text, std::string& out) {
    out.clear();
    AppendUtf8(text, out);
}

std::u16string FromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        char32_t c = 0xFFFD;
        std::size_t n = 1;
        if (b < 0x80) {
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            n = 4;
        }
        if (n > 1) {
            if (i + n > text.size()) {
                n = 1;
            } else {
                c = b & (0xFF >> (n + 1));
                for (std::size_t k = 1; k < n; ++k) {
                    const auto cb = static_cast<unsigned char>(text[i + k]);
                    if ((cb & 0xC0) != 0x80) {
                        c = 0xFFFD;
                        n = k;
                        break;
                    }
                    c = (c << 6) | (cb & 0x3F);
                }
            }
        }
        if (c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c > 0x10FFFF ? 0xFFFD : c));
        }
        i += n;
    }
    return out;
}

} // namespace lorvex::ondisk

#include "ondisk/Printable.h"

#include "ondisk/Utf16.h"

#include <cstdint>
#include <cstring>

namespace lorvex::ondisk {

namespace {

bool Escaped(char32_t c) {
    if (c < 0xA0) {
        return c < 0x20 || c >= 0x7F;
    }
    return c == 0x200E || c == 0x200F || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

bool IsHighSurrogate(char32_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char32_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

void Put(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void Put(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
}

// "\u{1b}", "\x{ff}": `kind` is 'u' for a character or a UTF-16 unit, 'x'
// for a byte.
template <class Out> void PutEscape(Out& out, char kind, std::uint32_t value) {
    constexpr char kHex[] = "0123456789abcdef";
    char digits[8];
    int n = 0;
    do {
        digits[n++] = kHex[value & 0xF];
        value >>= 4;
    } while (value != 0);
    out.push_back('\\');
    out.push_back(static_cast<typename Out::value_type>(kind));
    out.push_back('{');
    while (n > 0) {
        out.push_back(static_cast<typename Out::value_type>(digits[--n]));
    }
    out.push_back('}');
}

// What a name escapes besides the characters every text escapes.
bool EscapedInName(char32_t c, bool first, bool braceNext) {
    return c == '\\' || (first && c == 'u' && braceNext);
}

template <class Out> void PutChar(Out& out, char32_t c, bool name, bool first, bool braceNext) {
    if (Escaped(c) || (name && EscapedInName(c, first, braceNext))) {
        PutEscape(out, 'u', c);
    } else {
        Put(out, c);
    }
}

template <class Out> void EscapeUtf16(std::u16string_view text, bool name, Out& out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            PutEscape(out, 'u', c);
            continue;
        }
        PutChar(out, c, name, i == 0, text.size() > 1 && text[1] == u'{');
    }
}

// The length of the UTF-8 sequence at `text[i]` and its character; 0 when
// the byte there does not start a well-formed sequence (overlong forms,
// surrogates and values past U+10FFFF are not UTF-8).
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t& c) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
        c = b;
        return 1;
    }
    std::size_t n = 0;
    char32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        min = 0x80;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        min = 0x800;
        c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        min = 0x10000;
        c = b & 0x07;
    } else {
        return 0;
    }
    if (i + n > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < n; ++k) {
        const auto cb = static_cast<unsigned char>(text[i + k]);
        if ((cb & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (cb & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return 0;
    }
    return n;
}

void EscapeUtf8(std::string_view text, bool name, std::string& out) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const std::size_t n = DecodeUtf8(text, i, c);
        if (n == 0) {
            PutEscape(out, 'x', static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        PutChar(out, c, name, i == 0, text.size() > 1 && text[1] == '{');
        i += n;
    }
}

// Printable ASCII (with `name`, without a backslash and not beginning with
// "u{"): the text as it is. Most texts are; they pass here without being
// decoded.
bool PlainAscii(std::string_view text, bool name) {
    for (const char ch : text) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x20 || b >= 0x7F || (name && b == '\\')) {
            return false;
        }
    }
    return !name || !text.starts_with("u{");
}

// Whether all of `name` is printable ASCII other than a backslash. Every
// path of a listing is made of names that pass here, and most of them are:
// four units at a time.
bool PlainAsciiName(std::u16string_view name) {
    constexpr std::uint64_t kOnes = 0x0001000100010001ULL;
    constexpr std::uint64_t kHigh = 0x8000800080008000ULL;
    std::size_t i = 0;
    for (; i + 4 <= name.size(); i += 4) {
        std::uint64_t w = 0;
        std::memcpy(&w, name.data() + i, sizeof(w));
        const std::uint64_t slash = w ^ (0x5C * kOnes);
        // Past the first test every unit is below 0x80, so that no test
        // carries or borrows into the next unit but where a unit is found.
        if ((w & (0xFF80 * kOnes)) != 0 || ((w - 0x20 * kOnes) & kHigh) != 0 ||
            ((w + kOnes) & (0x80 * kOnes)) != 0 || ((slash - kOnes) & ~slash & kHigh) != 0) {
            return false;
        }
    }
    for (; i < name.size(); ++i) {
        if (name[i] < 0x20 || name[i] >= 0x7F || name[i] == u'\\') {
            return false;
        }
    }
    return true;
}

} // namespace

void AppendPrintable(std::string_view text, std::string& out) {
    if (PlainAscii(text, false)) {
        out.append(text);
        return;
    }
    EscapeUtf8(text, false, out);
}

std::string Printable(std::string_view text) {
    std::string out;
    AppendPrintable(text, out);
    return out;
}

void AppendPrintable(std::u16string_view text, std::u16string& out) {
    EscapeUtf16(text, false, out);
}

bool IsPrintableName(std::u16string_view name) {
    if (PlainAsciiName(name)) {
        return !name.starts_with(u"u{");
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char16_t u = name[i];
        if (u < 0xA0) {
            if (u < 0x20 || u >= 0x7F || u == u'\\') {
                return false;
            }
        } else if (u >= 0x200E && u <= 0x2069) {
            if (Escaped(u)) {
                return false;
            }
        } else if (IsHighSurrogate(u) && i + 1 < name.size() && IsLowSurrogate(name[i + 1])) {
            ++i;
        } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
            return false;
        }
    }
    return !name.starts_with(u"u{");
}

void AppendPrintableName(std::u16string_view name, std::u16string& out) {
    EscapeUtf16(name, true, out);
}

void AppendPrintableName(std::u16string_view name, std::string& out) {
    if (IsPrintableName(name)) {
        AppendUtf8(name, out);
        return;
    }
    EscapeUtf16(name, true, out);
}

void AppendPrintableName(std::string_view name, std::string& out) {
    if (PlainAscii(name, true)) {
        out.append(name);
        return;
    }
    EscapeUtf8(name, true, out);
}

std::string PrintableName(std::string_view name) {
    std::string out;
    AppendPrintableName(name, out);
    return out;
}

} // namespace lorvex::ondisk

#include "records/JsonText.h"

#include "ondisk/Utf16.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>

namespace lorvex::records {

namespace {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;

bool HasZeroByte(std::uint64_t v) {
    return ((v - kOnes) & ~v & kHigh) != 0;
}

// Whether every byte of `text` is printable ASCII, and with `plain` neither
// a quote nor a backslash either. Eight bytes at a time: every name and path
// of a listing passes here.
bool PrintableAscii(std::string_view text, bool plain) {
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, text.data() + i, 8);
        if ((w & kHigh) != 0 || ((w - 0x20 * kOnes) & kHigh) != 0 ||
            HasZeroByte(w ^ (0x7F * kOnes)) ||
            (plain && (HasZeroByte(w ^ (0x22 * kOnes)) || HasZeroByte(w ^ (0x5C * kOnes))))) {
            return false;
        }
    }
    return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(), [plain](char c) {
        return c >= 0x20 && c < 0x7F && (!plain || (c != '"' && c != '\\'));
    });
}

// The JSON escape of the character whose UTF-8 bytes start at `text[i]`
// when it is one the library writes as it is but a terminal or a reader
// would act on: DEL, the C1 controls, the line and paragraph separators
// and the controls of bidirectional text (the characters every other text
// escapes, ondisk/Printable.h). A JSON reader reads the escape back to the
// same character. Returns the bytes taken, 0 for any other character.
std::size_t EscapeBeyondJson(std::string_view text, std::size_t i, std::string& out) {
    const auto at = [&](std::size_t k) {
        return k < text.size() ? static_cast<unsigned char>(text[k]) : 0U;
    };
    unsigned code = 0;
    std::size_t length = 0;
    if (at(i) == 0x7F) {
        code = 0x7F;
        length = 1;
    } else if (at(i) == 0xC2 && at(i + 1) >= 0x80 && at(i + 1) <= 0x9F) {
        code = at(i + 1);
        length = 2;
    } else if (at(i) == 0xE2 && (at(i + 1) == 0x80 || at(i + 1) == 0x81)) {
        code = 0x2000 | ((at(i + 1) & 0x0F) << 6) | (at(i + 2) & 0x3F);
        const bool escaped = code == 0x200E || code == 0x200F ||
                             (code >= 0x2028 && code <= 0x202E) ||
                             (code >= 0x2066 && code <= 0x2069);
        length = escaped ? 3 : 0;
    }
    if (length == 0) {
        return 0;
    }
    constexpr char kHex[] = "0123456789abcdef";
    const char escape[] = {'\\',
                           'u',
                           kHex[(code >> 12) & 0xF],
                           kHex[(code >> 8) & 0xF],
                           kHex[(code >> 4) & 0xF],
                           kHex[code & 0xF]};
    out.append(escape, sizeof(escape));
    return length;
}

// Escapes, in what the library wrote into `out` from `from` on, what
// EscapeBeyondJson escapes.
void EscapeBeyondLibrary(std::string& out, std::size_t from) {
    std::size_t i = from;
    while (i < out.size() && out[i] != '\x7F' && out[i] != '\xC2' && out[i] != '\xE2') {
        ++i;
    }
    if (i == out.size()) {
        return;
    }
    const std::string written = out.substr(i);
    out.resize(i);
    for (std::size_t k = 0; k < written.size();) {
        const std::size_t taken = EscapeBeyondJson(written, k, out);
        if (taken == 0) {
            out.push_back(written[k++]);
        } else {
            k += taken;
        }
    }
}

// The library's serializer, kept from call to call with one string value
// whose room is reused: escaping a name costs no allocation once warm. It
// writes into one string, so it is made again only when the target changes.
class JsonStrings {
  public:
    void Append(std::string& out, std::string_view text) {
        // Names and paths are mostly printable ASCII: their quotes and
        // backslashes are escaped here as the library escapes them.
        // (A text whose only bytes to escape are its quotes and backslashes;
        // every path has backslashes.)
        if (PrintableAscii(text, false)) {
            out.push_back('"');
            std::size_t from = 0;
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (text[i] == '"' || text[i] == '\\') {
                    out.append(text.data() + from, i - from);
                    out.push_back('\\');
                    from = i; // the character itself starts the next piece
                }
            }
            out.append(text.data() + from, text.size() - from);
            out.push_back('"');
            return;
        }
        if (target_ != &out) {
            // Invalid UTF-8 cannot come from the scan (its texts are
            // converted from UTF-16, unpaired surrogates to U+FFFD); were it
            // to, the document stays valid with U+FFFD in its place.
            serializer_ =
                std::make_unique<Serializer>(nlohmann::detail::output_adapter<char>(out), ' ',
                                             nlohmann::json::error_handler_t::replace);
            target_ = &out;
        }
        value_.get_ref<std::string&>().assign(text);
        const std::size_t from = out.size();
        serializer_->dump(value_, false, false, 0);
        EscapeBeyondLibrary(out, from);
    }

  private:
    using Serializer = nlohmann::detail::serializer<nlohmann::json>;
    nlohmann::json value_ = std::string();
    std::unique_ptr<Serializer> serializer_;
    const std::string* target_ = nullptr;
};

JsonStrings& Strings() {
    // One per thread: the rows of the file table are formatted on several.
    thread_local JsonStrings strings;
    return strings;
}

} // namespace

void AppendJsonString(std::string& out, std::string_view text) {
    Strings().Append(out, text);
}

bool PlainJsonText(std::string_view text) {
    return PrintableAscii(text, true);
}

void JsonMembers::Grow(std::size_t n) {
    const auto used = static_cast<std::size_t>(p_ - room_.get());
    const auto capacity = static_cast<std::size_t>(end_ - room_.get());
    const std::size_t size = std::max({used + n, 2 * capacity, std::size_t{4096}});
    auto room = std::make_unique_for_overwrite<char[]>(size);
    if (used != 0) {
        std::memcpy(room.get(), room_.get(), used);
    }
    room_ = std::move(room);
    p_ = room_.get() + used;
    end_ = room_.get() + size;
}

void JsonMembers::PutEscaped(std::string_view text) {
    escaped_.clear();
    AppendJsonString(escaped_, text);
    Put(escaped_);
}

void JsonMembers::PutUtf16(std::u16string_view text) {
    // At most two bytes a unit (an escaped quote or backslash) and the quotes.
    Reserve(2 * text.size() + 2);
    char* p = p_;
    *p++ = '"';
    for (const char16_t u : text) {
        if (u < 0x20 || u >= 0x7F) {
            // Not printable ASCII: what was written here is dropped and the
            // library escapes the whole text.
            ondisk::ToUtf8(text, utf8_);
            PutEscaped(utf8_);
            return;
        }
        if (u == u'"' || u == u'\\') {
            *p++ = '\\';
        }
        *p++ = static_cast<char>(u);
    }
    *p++ = '"';
    p_ = p;
}

} // namespace lorvex::records

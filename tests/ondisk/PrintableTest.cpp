#include "ondisk/Printable.h"

#include "ondisk/Utf16.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace lorvex::ondisk {
namespace {

std::string Name(std::u16string_view name) {
    std::string out;
    AppendPrintableName(name, out);
    return out;
}

// True when `text` holds a byte a terminal acts on: C0, DEL, or the UTF-8
// of a C1 control (C2 80 to C2 9F).
bool HoldsControls(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x20 || b == 0x7F ||
            (b == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
            return true;
        }
    }
    return false;
}

// Reads a path as shown back into its names, as the manual page tells a
// reader to: a backslash followed by "u{" opens an escape, every other one
// separates two names.
std::vector<std::u16string> ReadShownPath(std::string_view path) {
    std::vector<std::u16string> names;
    const std::u16string wide = FromUtf8(path);
    for (std::size_t i = 0; i < wide.size();) {
        if (wide[i] == u'\\' && wide.compare(i + 1, 2, u"u{") == 0) {
            const std::size_t end = wide.find(u'}', i);
            const std::string hex = ToUtf8(wide.substr(i + 3, end - i - 3));
            const auto code = static_cast<char32_t>(std::stoul(hex, nullptr, 16));
            if (code >= 0x10000) {
                names.back().push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
                names.back().push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
            } else {
                names.back().push_back(static_cast<char16_t>(code));
            }
            i = end + 1;
        } else if (wide[i] == u'\\') {
            names.emplace_back();
            ++i;
        } else {
            names.back().push_back(wide[i++]);
        }
    }
    return names;
}

TEST(Printable, EveryControlCharacterIsEscapedAndEverythingElseKept) {
    for (char32_t c = 0; c < 0xA0; ++c) {
        const bool control = c < 0x20 || c >= 0x7F;
        std::string utf8;
        if (c < 0x80) {
            utf8.push_back(static_cast<char>(c));
        } else {
            utf8 = ToUtf8(std::u16string(1, static_cast<char16_t>(c)));
        }
        const std::string shown = Printable(utf8);
        const std::string named = Name(std::u16string(1, static_cast<char16_t>(c)));
        EXPECT_FALSE(HoldsControls(shown)) << static_cast<unsigned>(c);
        EXPECT_FALSE(HoldsControls(named)) << static_cast<unsigned>(c);
        if (control) {
            char expected[16];
            std::snprintf(expected, sizeof(expected), "\\u{%x}", static_cast<unsigned>(c));
            EXPECT_EQ(shown, expected);
            EXPECT_EQ(named, expected);
        } else if (c != '\\') {
            EXPECT_EQ(shown, utf8);
            EXPECT_EQ(named, utf8);
        }
    }
    // The separators of lines and the controls of bidirectional text; the
    // letters of every script, and characters beyond the first plane, stay.
    EXPECT_EQ(Printable("a\u2028b\u2029c"), "a\\u{2028}b\\u{2029}c");
    EXPECT_EQ(Name(u"invoice\u202Etxt.exe"), "invoice\\u{202e}txt.exe");
    EXPECT_EQ(Name(u"\u200E\u200F\u202A\u2066\u2069"),
              "\\u{200e}\\u{200f}\\u{202a}\\u{2066}\\u{2069}");
    EXPECT_EQ(Printable("\xC3\xA9t\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 \xE2\x80\x94"),
              "\xC3\xA9t\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 \xE2\x80\x94");
    EXPECT_TRUE(IsPrintableName(u"\u00E9t\u00E9 \u4E2D \U0001F600 \u2014 \u00A0"));
}

// A name is looked at four units at a time: a unit to escape is found
// wherever it stands, and its neighbours in value pass.
TEST(Printable, ANameIsTestedWhereverTheUnitStands) {
    for (const char16_t u :
         {char16_t{0x00}, char16_t{0x1F}, char16_t{0x20}, char16_t{0x5B}, char16_t{0x5C},
          char16_t{0x5D}, char16_t{0x7E}, char16_t{0x7F}, char16_t{0x80}, char16_t{0x9F},
          char16_t{0xA0}, char16_t{0x17F}, char16_t{0x202E}, char16_t{0x2070}, char16_t{0xD800}}) {
        const bool printable = u == 0x20 || u == 0x5B || u == 0x5D || u == 0x7E || u == 0xA0 ||
                               u == 0x17F || u == 0x2070;
        for (std::size_t length = 1; length <= 12; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                std::u16string name(length, u'a');
                name[at] = u;
                EXPECT_EQ(IsPrintableName(name), printable)
                    << std::hex << static_cast<unsigned>(u) << " at " << at << " of " << length;
                std::u16string shown;
                AppendPrintableName(name, shown);
                EXPECT_EQ(shown == name, printable);
            }
        }
    }
}

TEST(Printable, BrokenTextIsEscapedByUnitOrByte) {
    // Half a surrogate pair shows as its unit, not as U+FFFD: the name reads
    // back to what the disk holds.
    const std::u16string lone = {u'a', static_cast<char16_t>(0xD800), u'b',
                                 static_cast<char16_t>(0xDC00)};
    EXPECT_EQ(Name(lone), "a\\u{d800}b\\u{dc00}");
    EXPECT_FALSE(IsPrintableName(lone));
    EXPECT_FALSE(IsPrintableName(std::u16string(1, static_cast<char16_t>(0xDBFF))));
    // Bytes that are not UTF-8: a stray continuation, a cut sequence, an
    // overlong form, an encoded surrogate, a value past U+10FFFF.
    EXPECT_EQ(Printable("a\x80z"), "a\\x{80}z");
    EXPECT_EQ(Printable("a\xE2\x82"), "a\\x{e2}\\x{82}");
    EXPECT_EQ(Printable("\xC0\xAF"), "\\x{c0}\\x{af}");
    EXPECT_EQ(Printable("\xED\xA0\x80"), "\\x{ed}\\x{a0}\\x{80}");
    EXPECT_EQ(Printable("\xF4\x90\x80\x80"), "\\x{f4}\\x{90}\\x{80}\\x{80}");
}

TEST(Printable, AMessageKeepsItsBackslashesAndEscapingItAgainChangesNothing) {
    const std::string message = "has the backing file 'C:\\images\\x\x1B]52;c;Zm9v\x07'";
    const std::string once = Printable(message);
    EXPECT_EQ(once, "has the backing file 'C:\\images\\x\\u{1b}]52;c;Zm9v\\u{7}'");
    EXPECT_EQ(Printable(once), once);
    EXPECT_EQ(Printable("\xFF\xC2\x85"), "\\x{ff}\\u{85}");
    EXPECT_EQ(Printable(Printable("\xFF\xC2\x85")), "\\x{ff}\\u{85}");
    std::u16string wide;
    AppendPrintable(u"line\none\u0085", wide);
    EXPECT_EQ(wide, u"line\\u{a}one\\u{85}");
}

TEST(Printable, ANameCannotPassForAPathAndAPathReadsBackToItsNames) {
    EXPECT_EQ(Name(u"Windows\\System32\\evil.dll"), "Windows\\u{5c}System32\\u{5c}evil.dll");
    EXPECT_EQ(PrintableName("Windows\\System32"), "Windows\\u{5c}System32");
    // A name that begins as an escape does would read as one after a
    // separator: its u is escaped, and only there.
    EXPECT_EQ(Name(u"u{1b}"), "\\u{75}{1b}");
    EXPECT_EQ(Name(u"au{1b}"), "au{1b}");
    EXPECT_EQ(Name(u"u"), "u");
    EXPECT_EQ(Printable("u{1b}"), "u{1b}");
    EXPECT_FALSE(IsPrintableName(u"u{"));
    EXPECT_FALSE(IsPrintableName(u"a\\b"));
    EXPECT_TRUE(IsPrintableName(u"u}{"));

    // Names of every awkward kind, joined as a path is: the path as shown
    // splits back into exactly these names.
    const std::vector<char16_t> pieces = {
        u'a', u'\\', u'u',   u'{',   u'}',   u'1',   u'b',   0x1B,   u'\n',  0x7F,
        0x85, 0x9B,  0x202E, 0x2028, 0x00E9, 0x4E2D, 0xD83D, 0xDE00, 0xD800, 0xDC00,
        u'x', u'/',  u'|',   u' ',   u'=',   u'-',   u'.',   0xFFFD, u'\t',  0};
    std::mt19937 random(20240601);
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::u16string> names(1 + random() % 4);
        std::string path;
        for (std::u16string& name : names) {
            const std::size_t length = 1 + random() % 8;
            for (std::size_t k = 0; k < length; ++k) {
                name.push_back(pieces[random() % pieces.size()]);
            }
            path.push_back('\\');
            AppendPrintableName(name, path);
            EXPECT_EQ(IsPrintableName(name), Name(name) == ToUtf8(name)) << path;
        }
        EXPECT_FALSE(HoldsControls(path)) << path;
        std::u16string wide;
        wide.push_back(u'\\');
        AppendPrintableName(names[0], wide);
        EXPECT_EQ(ToUtf8(wide), "\\" + Name(names[0]));
        EXPECT_EQ(ReadShownPath(path), names) << path;
    }
}

} // namespace
} // namespace lorvex::ondisk

#include "ondisk/Utf16.h"

#include "ondisk/Bytes.h"

#include <gtest/gtest.h>

namespace lorvex::ondisk {
namespace {

TEST(Utf16, NamesConvertBothWaysWithSurrogatePairs) {
    const std::u16string name = u"Ünïcødé \U0001F600 naïve.txt";
    const std::string utf8 = ToUtf8(name);
    EXPECT_EQ(utf8, "\xC3\x9Cn\xC3\xAF"
                    "c\xC3\xB8"
                    "d\xC3\xA9 \xF0\x9F\x98\x80 na\xC3\xAFve.txt");
    EXPECT_EQ(FromUtf8(utf8), name);
    EXPECT_EQ(ToUtf8(u""), "");
    // The widest case: three bytes for every unit.
    EXPECT_EQ(ToUtf8(u"\u20AC\u20AC\u20AC").size(), 9U);
}

TEST(Utf16, BrokenTextBecomesReplacementCharacters) {
    // An unpaired high and low surrogate each show as U+FFFD.
    const std::u16string lone = {u'a', static_cast<char16_t>(0xD800), u'b',
                                 static_cast<char16_t>(0xDC00)};
    EXPECT_EQ(ToUtf8(lone), "a\xEF\xBF\xBD"
                            "b\xEF\xBF\xBD");
    EXPECT_EQ(FromUtf8("a\xFF"
                       "b"),
              u"a\uFFFDb");
    EXPECT_EQ(FromUtf8("\xE2\x82"), u"\uFFFD\uFFFD"); // cut off mid-character
}

TEST(Utf16, DiskBytesAreLittleEndianAndAnOddByteIsDropped) {
    EXPECT_EQ(ReadUtf16(test::Bytes({0x41, 0x00, 0xAC, 0x20, 0x42})), u"A\u20AC");
    EXPECT_EQ(ReadUtf16({}), u"");
}

} // namespace
} // namespace lorvex::ondisk

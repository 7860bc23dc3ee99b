#include "ntfs/NumberFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

namespace lorvex::ntfs {
namespace {

const NumberFormat kEnglish(".", ",");
const NumberFormat kGerman(",", ".");

TEST(FormatDecimal, PrintsSignedSixtyFourBitValuesWithoutSeparators) {
    EXPECT_EQ(FormatDecimal(0), "0");
    EXPECT_EQ(FormatDecimal(1000000), "1000000");
    EXPECT_EQ(FormatDecimal(-1), "-1");
    EXPECT_EQ(FormatDecimal(std::numeric_limits<std::int64_t>::max()), "9223372036854775807");
    EXPECT_EQ(FormatDecimal(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    // An unsigned 32-bit count stays positive.
    EXPECT_EQ(FormatDecimal(std::uint32_t{0xFFFFFFFF}), "4294967295");
}

TEST(FormatHex8, PrintsEightUpperCaseDigits) {
    EXPECT_EQ(FormatHex8(0), "00000000");
    EXPECT_EQ(FormatHex8(0x20), "00000020");
    EXPECT_EQ(FormatHex8(0x10000006), "10000006");
    EXPECT_EQ(FormatHex8(0xABCDEF01), "ABCDEF01");
    EXPECT_EQ(FormatHex8(0xFFFFFFFF), "FFFFFFFF");
}

TEST(FormatFixed2, UsesTheDecimalPointOfTheLocaleAndNoGrouping) {
    EXPECT_EQ(FormatFixed2(3.81, kEnglish), "3.81");
    EXPECT_EQ(FormatFixed2(3.81, kGerman), "3,81");
    EXPECT_EQ(FormatFixed2(1234567.5, kEnglish), "1234567.50");
    EXPECT_EQ(FormatFixed2(1234567.5, kGerman), "1234567,50");
    EXPECT_EQ(FormatFixed2(0.0, kGerman), "0,00");
    // A size of 1536 bytes in kilobytes and megabytes.
    EXPECT_EQ(FormatFixed2(1536 / 1024.0, kEnglish), "1.50");
    EXPECT_EQ(FormatFixed2(1536 / 1024.0 / 1024.0, kEnglish), "0.00");
}

TEST(FormatFixed2, RoundsToNearestWithHalvesAwayFromZero) {
    EXPECT_EQ(FormatFixed2(3.814, kEnglish), "3.81");
    EXPECT_EQ(FormatFixed2(3.816, kEnglish), "3.82");
    EXPECT_EQ(FormatFixed2(0.999, kEnglish), "1.00");
    // 128 bytes are exactly 0.125 KB: a true half.
    EXPECT_EQ(FormatFixed2(128 / 1024.0, kEnglish), "0.13");
    EXPECT_EQ(FormatFixed2(0.375, kEnglish), "0.38");
    EXPECT_EQ(FormatFixed2(2.625, kEnglish), "2.63");
    EXPECT_EQ(FormatFixed2(-0.125, kEnglish), "-0.13");
    // 1.005 is stored a little below the half and must not be pushed over it.
    EXPECT_EQ(FormatFixed2(1.005, kEnglish), "1.00");
}

TEST(FormatFixed2, NegativesAndExtremes) {
    EXPECT_EQ(FormatFixed2(-3.81, kGerman), "-3,81");
    EXPECT_EQ(FormatFixed2(-0.001, kEnglish), "0.00");
    EXPECT_EQ(FormatFixed2(-0.0, kEnglish), "0.00");
    EXPECT_EQ(FormatFixed2(static_cast<double>(std::numeric_limits<std::int64_t>::max()), kEnglish),
              "9223372036854775808.00");
    const std::string largest = FormatFixed2(std::numeric_limits<double>::max(), kEnglish);
    EXPECT_EQ(largest.size(), 309u + 3u);
    EXPECT_EQ(largest.substr(0, 6), "179769");
    EXPECT_EQ(FormatFixed2(std::numeric_limits<double>::infinity(), kEnglish), "INF");
    EXPECT_EQ(FormatFixed2(std::numeric_limits<double>::quiet_NaN(), kEnglish), "NAN");
}

TEST(FormatGrouped, SeparatesGroupsOfThreeWithTheLocaleSeparator) {
    EXPECT_EQ(FormatGrouped(1000000, kEnglish), "1,000,000");
    EXPECT_EQ(FormatGrouped(1000000, kGerman), "1.000.000");
    EXPECT_EQ(FormatGrouped(0, kEnglish), "0");
    EXPECT_EQ(FormatGrouped(999, kEnglish), "999");
    EXPECT_EQ(FormatGrouped(1000, kEnglish), "1,000");
    EXPECT_EQ(FormatGrouped(12345, kGerman), "12.345");
    EXPECT_EQ(FormatGrouped(123456, kEnglish), "123,456");
    // A locale without a thousands separator, like C, prints plain digits.
    EXPECT_EQ(FormatGrouped(16383, NumberFormat()), "16383");
    // Multi-byte separators (a narrow no-break space) are kept whole.
    EXPECT_EQ(FormatGrouped(1234567, NumberFormat(",", "\u202F")), "1\u202F234\u202F567");
}

TEST(FormatGrouped, RoundsToNearestWithHalvesAwayFromZero) {
    EXPECT_EQ(FormatGrouped(2.4, kEnglish), "2");
    EXPECT_EQ(FormatGrouped(2.5, kEnglish), "3");
    EXPECT_EQ(FormatGrouped(3.5, kEnglish), "4");
    EXPECT_EQ(FormatGrouped(999.5, kEnglish), "1,000");
    EXPECT_EQ(FormatGrouped(-2.5, kEnglish), "-3");
    EXPECT_EQ(FormatGrouped(-0.4, kEnglish), "0");
}

TEST(FormatGrouped, NegativesAndExtremes) {
    EXPECT_EQ(FormatGrouped(-1000, kEnglish), "-1,000");
    EXPECT_EQ(FormatGrouped(-999, kEnglish), "-999");
    EXPECT_EQ(FormatGrouped(-1234567, kGerman), "-1.234.567");
    EXPECT_EQ(
        FormatGrouped(static_cast<double>(std::numeric_limits<std::int64_t>::max()), kEnglish),
        "9,223,372,036,854,775,808");
    EXPECT_EQ(FormatGrouped(static_cast<double>(std::numeric_limits<std::int64_t>::min()), kGerman),
              "-9.223.372.036.854.775.808");
    EXPECT_EQ(FormatGrouped(1e20, kEnglish), "100,000,000,000,000,000,000");
    EXPECT_EQ(FormatGrouped(-std::numeric_limits<double>::infinity(), kEnglish), "-INF");
}

TEST(NumberFormat, SeparatorsThatCannotGoIntoATextFallBackToTheCLocale) {
    const NumberFormat empty("", "");
    EXPECT_EQ(empty.DecimalPoint(), ".");
    EXPECT_EQ(empty.ThousandsSeparator(), "");
    // A Latin-1 no-break space is not UTF-8.
    const NumberFormat latin1(",", "\xA0");
    EXPECT_EQ(latin1.DecimalPoint(), ",");
    EXPECT_EQ(latin1.ThousandsSeparator(), "");
    const NumberFormat truncated("\xE2\x80", ".");
    EXPECT_EQ(truncated.DecimalPoint(), ".");
    EXPECT_EQ(truncated.ThousandsSeparator(), ".");
}

TEST(NumberFormat, ReadsTheSeparatorsOfANamedLocale) {
    EXPECT_FALSE(NumberFormat::FromLocale("xx_NOWHERE.UTF-8").has_value());

    const auto c = NumberFormat::FromLocale("C");
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(FormatFixed2(3.81, *c), "3.81");
    EXPECT_EQ(FormatGrouped(1000000, *c), "1000000");

    // Each named locale is tested where the machine has generated it.
    const auto english = NumberFormat::FromLocale("en_US.UTF-8");
    if (english) {
        EXPECT_EQ(FormatGrouped(1000000, *english), "1,000,000");
        EXPECT_EQ(FormatFixed2(3.81, *english), "3.81");
    }
    const auto german = NumberFormat::FromLocale("de_DE.UTF-8");
    if (german) {
        EXPECT_EQ(FormatGrouped(1000000, *german), "1.000.000");
        EXPECT_EQ(FormatFixed2(3.81, *german), "3,81");
    }
    if (!english || !german) {
        GTEST_SKIP() << "en_US.UTF-8 or de_DE.UTF-8 is not generated on this machine";
    }
}

// Sets one environment variable for the life of a test and puts it back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : FName(name) {
        if (const char* old = std::getenv(name)) {
            FOld = old;
        }
        setenv(name, value, 1);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        if (FOld) {
            setenv(FName, FOld->c_str(), 1);
        } else {
            unsetenv(FName);
        }
    }

  private:
    const char* FName;
    std::optional<std::string> FOld;
};

TEST(NumberFormat, FollowsTheLocaleTheEnvironmentNames) {
    {
        const ScopedEnv all("LC_ALL", "xx_NOWHERE.UTF-8");
        const NumberFormat missing = NumberFormat::FromEnvironment();
        EXPECT_EQ(missing.DecimalPoint(), ".");
        EXPECT_EQ(missing.ThousandsSeparator(), "");
    }
    if (!NumberFormat::FromLocale("de_DE.UTF-8")) {
        GTEST_SKIP() << "de_DE.UTF-8 is not generated on this machine";
    }
    const ScopedEnv all("LC_ALL", "de_DE.UTF-8");
    const NumberFormat german = NumberFormat::FromEnvironment();
    EXPECT_EQ(german.DecimalPoint(), ",");
    EXPECT_EQ(german.ThousandsSeparator(), ".");
}

} // namespace
} // namespace lorvex::ntfs

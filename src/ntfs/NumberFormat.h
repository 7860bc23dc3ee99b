#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lorvex::ntfs {

// The two separators of a locale that the report and export texts use. Held
// as a value so that a text can be formatted for any locale without touching
// the process's global locale, which is what makes the formats testable.
class NumberFormat {
  public:
    // The C locale: "." and no thousands separator.
    NumberFormat() = default;
    // A separator that is empty (decimal point only) or not valid UTF-8 cannot
    // go into our texts and falls back to the C locale's.
    NumberFormat(std::string_view decimalPoint, std::string_view thousandsSeparator);

    // The separators of a named locale ("de_DE.UTF-8"), or nothing when the
    // machine does not have that locale.
    static std::optional<NumberFormat> FromLocale(const std::string& name);
    // The user's locale as the environment names it (LC_ALL, LC_NUMERIC,
    // LANG); the C locale when it names none or one that is not installed.
    static NumberFormat FromEnvironment();

    [[nodiscard]] const std::string& DecimalPoint() const { return FDecimalPoint; }
    [[nodiscard]] const std::string& ThousandsSeparator() const { return FThousandsSeparator; }

  private:
    std::string FDecimalPoint = ".";
    std::string FThousandsSeparator;
};

// The user's separators, read from the environment once: the locale does not
// change while the program runs, and a report formats hundreds of numbers.
const NumberFormat& UserNumberFormat();

// %d: signed decimal, no padding, no separators.
std::string FormatDecimal(std::int64_t value);
// The same, appended to `out`.
void AppendDecimal(std::int64_t value, std::string& out);

// %.8x: eight hexadecimal digits, upper case, leading zeros.
std::string FormatHex8(std::uint32_t value);

// %.2f: two decimals after the locale's decimal point, no grouping. Halves
// round away from zero (0.125 gives 0.13), as a user reading sizes expects;
// a value that rounds to zero prints without a minus sign.
std::string FormatFixed2(double value, const NumberFormat& format = UserNumberFormat());

// %.0n: rounded to the nearest integer, halves away from zero, with the
// locale's thousands separator between groups of three digits.
std::string FormatGrouped(double value, const NumberFormat& format = UserNumberFormat());

} // namespace lorvex::ntfs

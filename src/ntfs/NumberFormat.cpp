#include "ntfs/NumberFormat.h"

#include <array>
#include <charconv>
#include <cmath>
#include <langinfo.h>
#include <limits>
#include <locale.h>

namespace lorvex::ntfs {
namespace {

bool IsValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t tail = 0;
        if (lead < 0x80) {
            tail = 0;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            tail = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            tail = 2;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            tail = 3;
        } else {
            return false;
        }
        if (text.size() - i - 1 < tail) {
            return false;
        }
        for (std::size_t k = 1; k <= tail; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += tail + 1;
    }
    return true;
}

std::optional<NumberFormat> FromLocaleName(const char* name) {
    locale_t numeric = newlocale(LC_NUMERIC_MASK, name, nullptr);
    if (numeric == nullptr) {
        return std::nullopt;
    }
    NumberFormat format(nl_langinfo_l(RADIXCHAR, numeric), nl_langinfo_l(THOUSEP, numeric));
    freelocale(numeric);
    return format;
}

// The texts the reports show for values that are not numbers at all.
std::string NonFinite(double value) {
    if (std::isnan(value)) {
        return "NAN";
    }
    return value < 0 ? "-INF" : "INF";
}

// Room for the longest fixed-point double: 309 integer digits, sign, point
// and two decimals.
using Digits = std::array<char, 400>;

std::string FixedDigits(double value, int decimals) {
    Digits buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed, decimals);
    return {buffer.data(), result.ptr};
}

} // namespace

NumberFormat::NumberFormat(std::string_view decimalPoint, std::string_view thousandsSeparator) {
    if (!decimalPoint.empty() && IsValidUtf8(decimalPoint)) {
        FDecimalPoint = decimalPoint;
    }
    if (IsValidUtf8(thousandsSeparator)) {
        FThousandsSeparator = thousandsSeparator;
    }
}

std::optional<NumberFormat> NumberFormat::FromLocale(const std::string& name) {
    return FromLocaleName(name.c_str());
}

NumberFormat NumberFormat::FromEnvironment() {
    return FromLocaleName("").value_or(NumberFormat());
}

const NumberFormat& UserNumberFormat() {
    static const NumberFormat format = NumberFormat::FromEnvironment();
    return format;
}

std::string FormatDecimal(std::int64_t value) {
    return std::to_string(value);
}

void AppendDecimal(std::int64_t value, std::string& out) {
    char digits[24];
    const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
    out.append(digits, result.ptr);
}

std::string FormatHex8(std::uint32_t value) {
    std::string text(8, '0');
    constexpr std::string_view kHexDigits = "0123456789ABCDEF";
    for (std::size_t i = 8; i-- > 0; value >>= 4) {
        text[i] = kHexDigits[value & 0xF];
    }
    return text;
}

std::string FormatFixed2(double value, const NumberFormat& format) {
    if (!std::isfinite(value)) {
        return NonFinite(value);
    }
    // A value exactly halfway between two hundredths is an odd number of
    // eighths; the shortest conversion would round it to even, so it is moved
    // one step away from zero first.
    const double eighths = value * 8.0;
    if (std::isfinite(eighths) && std::floor(eighths) == eighths &&
        std::fmod(eighths, 2.0) != 0.0) {
        value = std::nextafter(value, value < 0 ? -std::numeric_limits<double>::infinity()
                                                : std::numeric_limits<double>::infinity());
    }
    std::string digits = FixedDigits(value, 2);
    if (digits.front() == '-' && digits.find_first_not_of("-0.") == std::string::npos) {
        digits.erase(0, 1);
    }
    const auto point = digits.find('.');
    digits.replace(point, 1, format.DecimalPoint());
    return digits;
}

std::string FormatGrouped(double value, const NumberFormat& format) {
    if (!std::isfinite(value)) {
        return NonFinite(value);
    }
    double rounded = std::round(value);
    if (rounded == 0.0) {
        rounded = 0.0; // no "-0"
    }
    const std::string digits = FixedDigits(rounded, 0);
    const std::size_t first = digits.front() == '-' ? 1 : 0;
    std::string text = digits.substr(0, first + (digits.size() - first - 1) % 3 + 1);
    for (std::size_t i = text.size(); i < digits.size(); i += 3) {
        text += format.ThousandsSeparator();
        text.append(digits, i, 3);
    }
    return text;
}

} // namespace lorvex::ntfs

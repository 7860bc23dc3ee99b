#include "ntfs/RecordTimes.h"

#include "ntfs/Attributes.h"
#include "ondisk/Attribute.h"
#include "ondisk/ByteReader.h"
#include "ondisk/Utf16.h"

#include <algorithm>
#include <cstdio>

namespace lorvex::ntfs {

namespace {

namespace attr = ondisk::attr;
namespace si = ondisk::stdinfo;
namespace fname = ondisk::filename;
using ondisk::ByteReader;

// A time field is 8 bytes; a value too short for one gives 0 there.
TNtfsTimes ReadTimes(const ByteReader& value, std::size_t created, std::size_t modified,
                     std::size_t changed, std::size_t accessed) {
    return {value.i64(created).value_or(0), value.i64(modified).value_or(0),
            value.i64(changed).value_or(0), value.i64(accessed).value_or(0)};
}

// A directory's index of file names is the $INDEX_ROOT named "$I30"; other
// indexes ($Secure's, $Quota's) hold something else.
bool IsDirectoryIndex(std::span<const std::byte> attribute) {
    const ByteReader header(attribute);
    const std::size_t length = header.u8(attr::kNameLength).value_or(0);
    const std::size_t offset = header.u16(attr::kNameOffset).value_or(0);
    const auto name = header.sub(offset, 2 * length);
    return length == 4 && !name.empty() && ondisk::ReadUtf16(name) == u"$I30";
}

// 1970-01-01 in 100-nanosecond intervals since 1601-01-01.
constexpr std::int64_t kUnixEpoch = 116444736000000000;
constexpr std::int64_t kTicksPerSecond = 10000000;

} // namespace

TRecordTimes ReadRecordTimes(std::span<const std::byte> record) {
    TRecordTimes times;
    bool haveLongName = false;
    auto walk = WalkAttributes(record);
    while (const auto attribute = walk.Next()) {
        const ByteReader header(attribute->bytes);
        const std::uint16_t id = header.u16(attr::kId).value_or(0);
        const bool resident = header.u8(attr::kNonResident).value_or(1) == 0;
        const bool named = header.u8(attr::kNameLength).value_or(0) != 0;
        switch (attribute->type) {
        case ondisk::type::kStandardInformation:
            if (resident && !times.HasStandard) {
                const ByteReader value(ondisk::ResidentValue(attribute->bytes));
                times.Standard = ReadTimes(value, si::kCreationTime, si::kModificationTime,
                                           si::kChangeTime, si::kAccessTime);
                times.StandardId = id;
                times.HasStandard = true;
            }
            break;
        case ondisk::type::kFileName:
            if (resident && !haveLongName) {
                const ByteReader value(ondisk::ResidentValue(attribute->bytes));
                const bool dos = value.u8(fname::kNamespace).value_or(0) == fname::kNamespaceDos;
                if (!dos || !times.HasFileName) {
                    times.FileName =
                        ReadTimes(value, fname::kCreationTime, fname::kModificationTime,
                                  fname::kChangeTime, fname::kAccessTime);
                    times.FileNameId = id;
                    times.HasFileName = true;
                    haveLongName = !dos;
                }
            }
            break;
        case ondisk::type::kData:
            if (!named && times.ContentType != ondisk::type::kData) {
                times.ContentType = ondisk::type::kData;
                times.ContentId = id;
            }
            break;
        case ondisk::type::kIndexRoot:
            if (times.ContentType == 0 && IsDirectoryIndex(attribute->bytes)) {
                times.ContentType = ondisk::type::kIndexRoot;
                times.ContentId = id;
            }
            break;
        default:
            break;
        }
    }
    return times;
}

std::int64_t NtfsTimeToUnixSeconds(std::int64_t time) {
    return time <= kUnixEpoch ? 0 : (time - kUnixEpoch) / kTicksPerSecond;
}

std::string NtfsTimeToIso8601(std::int64_t time) {
    std::string text;
    NtfsTimeToIso8601(time, text);
    return text;
}

void NtfsTimeToIso8601(std::int64_t time, std::string& text) {
    text.clear();
    if (time <= 0) {
        return;
    }
    const std::int64_t seconds = time / kTicksPerSecond;
    const std::int64_t fraction = time % kTicksPerSecond;
    // A listing writes millions of times, mostly of a few days and many to
    // a second: the date is worked out once per day met, the time of day
    // once per second.
    thread_local std::int64_t cachedDay = -1;
    thread_local std::int64_t cachedSecond = -1;
    thread_local char head[40];
    thread_local std::size_t dateLength = 0;
    const auto put = [](char* p, std::int64_t value, int digits, char after) {
        for (int i = digits - 1; i >= 0; --i) {
            p[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        p[digits] = after;
        return p + digits + 1;
    };
    if (seconds != cachedSecond) {
        const std::int64_t daysFrom1601 = seconds / 86400;
        const std::int64_t secondOfDay = seconds % 86400;
        if (daysFrom1601 != cachedDay) {
            // Days since 1601-01-01 to a civil date (the proleptic Gregorian
            // calendar, counted in 400-year eras from 1600-03-01).
            const std::int64_t z = daysFrom1601 + 306; // from 1600-03-01
            const std::int64_t era = z / 146097;
            const std::int64_t dayOfEra = z - era * 146097;
            const std::int64_t yearOfEra =
                (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
            const std::int64_t dayOfYear =
                dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
            const std::int64_t mp = (5 * dayOfYear + 2) / 153;
            const std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
            const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
            const std::int64_t year = 1600 + yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
            const int n =
                std::snprintf(head, 24, "%04lld-%02lld-%02lldT", static_cast<long long>(year),
                              static_cast<long long>(month), static_cast<long long>(day));
            dateLength = static_cast<std::size_t>(std::max(n, 0));
            cachedDay = daysFrom1601;
        }
        char* p = head + dateLength;
        p = put(p, secondOfDay / 3600, 2, ':');
        p = put(p, secondOfDay / 60 % 60, 2, ':');
        put(p, secondOfDay % 60, 2, '.');
        cachedSecond = seconds;
    }
    char buffer[48];
    char* p = std::copy(head, head + dateLength + 9, buffer);
    p = put(p, fraction, 7, 'Z');
    text.assign(buffer, p);
}

} // namespace lorvex::ntfs

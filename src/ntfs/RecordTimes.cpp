#include "ntfs/RecordTimes.h"

#include "ntfs/Attributes.h"
#include "ondisk/Attribute.h"
#include "ondisk/FileName.h"
#include "ondisk/StandardInformation.h"

#include <algorithm>
#include <cstdio>

namespace lorvex::ntfs {

namespace {

template <typename Value> TNtfsTimes TimesOf(const Value& v) {
    return {v.creationTime, v.modificationTime, v.changeTime, v.accessTime};
}

// A directory's index of file names is the $INDEX_ROOT named "$I30"; other
// indexes ($Secure's, $Quota's) hold something else.
const ondisk::AttributeKey kDirectoryIndex{
    .type = ondisk::type::kIndexRoot, .name = u"$I30", .lowestVcn = {}, .id = {}};

// 1970-01-01 in 100-nanosecond intervals since 1601-01-01.
constexpr std::int64_t kUnixEpoch = 116444736000000000;
constexpr std::int64_t kTicksPerSecond = 10000000;

} // namespace

TRecordTimes ReadRecordTimes(std::span<const std::byte> record) {
    TRecordTimes times;
    bool haveLongName = false;
    auto walk = ondisk::WalkRecordAttributes(record);
    while (const auto attribute = walk.Next()) {
        const std::uint16_t id = ondisk::AttributeId(attribute->bytes);
        const bool resident = ondisk::IsResident(attribute->bytes);
        const bool named = ondisk::AttributeNameLength(attribute->bytes) != 0;
        switch (attribute->type) {
        case ondisk::type::kStandardInformation:
            if (resident && !times.HasStandard) {
                times.Standard = TimesOf(
                    ondisk::DecodeStandardInformation(ondisk::ResidentValue(attribute->bytes)));
                times.StandardId = id;
                times.HasStandard = true;
            }
            break;
        case ondisk::type::kFileName:
            if (resident && !haveLongName) {
                const auto name = ondisk::DecodeFileName(ondisk::ResidentValue(attribute->bytes));
                const bool dos = name.IsDosName();
                if (!dos || !times.HasFileName) {
                    times.FileName = TimesOf(name);
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
            if (times.ContentType == 0 &&
                ondisk::AttributeMatches(attribute->type, attribute->bytes, kDirectoryIndex)) {
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

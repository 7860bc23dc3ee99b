#pragma once

#include <cstdint>
#include <span>
#include <string>

// The four times a record keeps twice: in its $STANDARD_INFORMATION, which
// every change updates, and in its $FILE_NAME, which only a rename or a move
// does. A timeline sets the two side by side. The file table keeps the first
// set only; these are read from the record when asked for.
namespace lorvex::ntfs {

// Times as on disk: 100-nanosecond intervals since 1601-01-01 UTC.
struct TNtfsTimes {
    std::int64_t Created = 0;
    std::int64_t Modified = 0;
    std::int64_t Changed = 0; // the record's own last change
    std::int64_t Accessed = 0;
};

struct TRecordTimes {
    bool HasStandard = false;
    TNtfsTimes Standard;
    std::uint16_t StandardId = 0;
    // The first $FILE_NAME that is not a DOS short name (a short name alone
    // when there is no other): the name the file table shows.
    bool HasFileName = false;
    TNtfsTimes FileName;
    std::uint16_t FileNameId = 0;
    // The attribute that holds the content: the unnamed $DATA, else a
    // directory's index of names ($INDEX_ROOT "$I30"); type 0 when there is
    // neither (a file of named streams only, such as $Secure).
    std::uint32_t ContentType = 0;
    std::uint16_t ContentId = 0;
};

// The times of a record already checked with IsValidRecord; whatever does
// not fit inside its attribute is left out, never read past.
TRecordTimes ReadRecordTimes(std::span<const std::byte> record);

// Seconds since 1970-01-01 UTC, rounded down; 0 for a time of 0 or before
// 1970, which a timeline reads as no time.
std::int64_t NtfsTimeToUnixSeconds(std::int64_t time);

// "YYYY-MM-DDThh:mm:ss.fffffffZ", all seven digits of the on-disk
// precision; empty for 0 and for a negative time.
std::string NtfsTimeToIso8601(std::int64_t time);
// The same into `out`, whose room is reused.
void NtfsTimeToIso8601(std::int64_t time, std::string& out);

} // namespace lorvex::ntfs

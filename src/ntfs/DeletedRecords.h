#pragma once

#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordReader.h"
#include "ondisk/NonResident.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The helpers of the deleted-entry walk (DeletedEntries.cpp) that read
// records beside the record reader.
namespace lorvex::ntfs {

// True when a record whose sequence number is `now` is the one a reference
// with `referenced` named: the same, or advanced once (skipping 0) by the
// freeing of the record, which is what a deleted file's parent and base
// records show. A reference of 0 names any.
bool SequenceFollows(std::uint16_t referenced, std::uint16_t now);

// Tells, of a record the reader gives nothing for, whether it is free and
// starts with the file signature but has a broken update sequence: a torn
// or damaged record of a deleted file, whose bytes nothing trusts. Reads it
// raw through the $MFT's own runs (those of record 0; a $MFT whose runs go
// on in extension records is checked as far as record 0 reaches) and the
// $MFT's bitmap (when unreadable, every such record counts).
class BrokenRecordCheck {
  public:
    BrokenRecordCheck(NtfsVolume& volume, RecordReader& records);
    bool IsBrokenFreeRecord(std::int64_t number);
    // Whether the $MFT's bitmap was read, and then whether it marks record
    // `number` in use.
    [[nodiscard]] bool HasBitmap() const { return !bitmap_.empty(); }
    [[nodiscard]] bool MarkedInUse(std::int64_t number) const;

  private:
    void ReadBitmap(RecordReader& records, std::span<const std::byte> attribute);
    bool ReadRaw(std::int64_t number);

    NtfsVolume& volume_;
    std::vector<ondisk::Extent> mft_;
    std::vector<std::byte> bitmap_;
    std::vector<std::byte> cluster_;
    std::vector<std::byte> record_;
    std::int64_t clusterLcn_ = -1;
};

} // namespace lorvex::ntfs

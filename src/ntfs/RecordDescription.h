#pragma once

// What describing a file from its records takes, shared by the readers of
// one record at a time (DescribeFile) and of the $MFT a block at a time
// (EnumerateInBlocks).

#include "ntfs/FileTable.h"
#include "ntfs/RecordReader.h"
#include "ondisk/Attribute.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace lorvex::ntfs {

// The table grows by this many entries at a time.
inline constexpr std::size_t kEntryGrowthStep = 1000;

// "\$### ID=<record> ###", the name of an entry without one.
void PlaceholderName(std::int64_t recordNo, std::u16string& name);

// What the $FILE_NAME attributes of one file decide, in the order they are
// met. The last one decides the parent, the last one that is not a DOS name
// decides the name.
struct NameChoice {
    bool found = false;
    bool haveLongName = false;
    std::u16string dosName;
};

// What the walk of a base record's own attributes found.
struct BaseWalk {
    NameChoice names;
    bool haveStandardInformation = false;
    bool haveData = false;
    std::optional<ondisk::AttributeSpan> list;

    // The record holds no long name of its own but has an attribute list:
    // its names (and what else it lacks) are in extension records.
    [[nodiscard]] bool NeedsExtensions() const { return !names.haveLongName && list; }
};

// The part of describing a file that needs nothing but base record `n`
// itself, valid. `walk`'s room is reused from record to record.
// `runs`, when given, takes the record's runs from the same walk.
void WalkBaseRecord(std::span<const std::byte> record, std::int64_t n, bool& isDirectory,
                    bool& isSystem, std::u16string& name, TFileInfo& info, BaseWalk& walk,
                    TRecordRuns* runs = nullptr);

// What a description settles once every attribute has been seen.
void FinishDescription(const BaseWalk& walk, std::u16string& name, TFileInfo& info);

std::uint8_t FileTypeOf(std::int64_t baseId, bool isSystem, bool isDirectory);

// The base record that a record names, or -1 for a base record.
std::int64_t BaseOf(std::span<const std::byte> record);

// What the table says of the file whose record (or extension record) is
// `recordNo`: its name, type, parent, flags, sizes and times, read from its
// base record and, where that holds no long name, the extension records its
// attribute list names. An entry whose base record is not valid is a
// nameless, empty file in the root. The caller's variables are reused from
// record to record.
void DescribeFile(RecordReader& records, bool& isDirectory, bool& isSystem, std::u16string& name,
                  TFileInfo& info, std::int64_t recordNo);
// The sizes an extension record gives its file: those of its first
// $FILE_NAME with both set, or of its first $DATA. Left as they are when the
// record is not in use or not valid.
void ReadRecordSizes(RecordReader& records, std::int64_t& size, std::int64_t& allocatedSize,
                     std::int64_t recordNo);

} // namespace lorvex::ntfs

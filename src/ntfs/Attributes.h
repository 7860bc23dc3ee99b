#pragma once

#include "ntfs/CountedArray.h"
#include "ondisk/Attribute.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What the record readers (RecordReader) give for a damaged or missing record:
// - a record that cannot be fetched, is free (the query answers with another
//   one) or is not valid: no attributes and no runs;
// - the attribute walk stops at an attribute whose length is below a header
//   or not a multiple of 8, one that runs past the record, or the record's
//   end without an end marker; the attributes before it are listed, and the
//   runs of an index at or past it are empty;
// - names and values are read only inside their attribute (a length that
//   claims more gives what is there);
// - a run list keeps the runs before a field wider than 8 bytes, before its
//   end without a zero byte, and before a start cluster that overflows;
// - an $ATTRIBUTE_LIST whose sizes are refused (see kMaxAttributeListSize)
//   or whose entries are damaged gives the lines of the entries before it.
namespace lorvex::ntfs {

using TWideStringArray = std::vector<std::u16string>;

// One attribute of one record, in the order of the record.
struct TAttribute {
    // Type code div 16 - 1 for the sixteen codes of AttributeTypes; every
    // other code gets kUnknownTypeIndex, so the index never leaves the table.
    // AttributeTypeName(AttrType) names unknown codes too.
    std::uint8_t TypeIndex = 0;
    std::string Name; // UTF-8; empty when unnamed
    std::uint32_t AttrType = 0;
    bool Resident = false;
    // $FILE_NAME: the file name. $ATTRIBUTE_LIST: one line per list entry
    // (none when the list could not be read, and none for any list after the
    // record's first, which is not followed). Other types: one empty element.
    TWideStringArray Entries;
    std::uint16_t AttributeID = 0;
};

// The attributes of one record, in the order of the record. Clear keeps the
// elements as room: the next record's attributes are filled into them.
class TAttributes : public CountedArray<TAttribute> {
  public:
    // Appends a copy of `entries`; the array grows by 10 elements.
    void Add(std::uint8_t typeIndex, std::string name, std::uint16_t attributeId,
             const TWideStringArray& entries, std::uint32_t attrType, bool resident);
    void Clear();
    // The element after the list, the array grown when there is none, to be
    // filled in place and then counted by CommitSpare; it holds what an
    // earlier list left there.
    TAttribute& Spare();
    // Counts the element Spare gave into the list.
    void CommitSpare() { ++count_; }
    // "%s(%d) %s %s" of element `index` (0 to size() - 1).
    [[nodiscard]] std::string AttributeToStr(int index) const;
    // The same text, appended to `out`.
    void AppendAttributeText(int index, std::string& out) const;
};

// One run of a non-resident attribute, with its absolute start cluster. A
// sparse run keeps the start cluster of the run before it (or 0).
struct TDataRun {
    std::int64_t LCN = 0;
    std::int64_t Length = 0; // clusters
    bool Sparse = false;
};

// The runs of one attribute; Clear keeps the elements as room.
class TDataRuns : public CountedArray<TDataRun> {
  public:
    // The array grows by 10 elements.
    void Add(bool sparse, std::int64_t length, std::int64_t lcn);
    void Clear();
    // "LCN:%d LEN:%d %s" of element `index` (0 to size() - 1).
    [[nodiscard]] std::string RunToStr(int index) const;
    // The same text, appended to `out`.
    void AppendRunText(int index, std::string& out) const;
};

struct TAttributeType {
    std::uint32_t Code = 0;
    std::string_view Name;
};

// Indexed by position (type code div 16 - 1), never searched by code.
inline constexpr std::array<TAttributeType, 17> AttributeTypes{{
    {0x10, "$STANDARD_INFORMATION"},
    {0x20, "$ATTRIBUTE_LIST"},
    {0x30, "$FILE_NAME"},
    {0x40, "$OBJECT_ID"},
    {0x50, "$SECURITY_DESCRIPTOR"},
    {0x60, "$VOLUME_NAME"},
    {0x70, "$VOLUME_INFORMATION"},
    {0x80, "$DATA"},
    {0x90, "$INDEX_ROOT"},
    {0xA0, "$INDEX_ALLOCATION"},
    {0xB0, "$BITMAP"},
    {0xC0, "$REPARSE_POINT"},
    {0xD0, "$EA_INFORMATION"},
    {0xE0, "$EA"},
    {0xF0, "$PROPERTY_SET"},
    {0x100, "$LOGGED_UTILITY_STREAM"},
    {0xFFFFFFFF, "$END_OF_ATTRIBUTES"},
}};

// The slot of the end marker. No stored attribute has that type, so it
// doubles as the index of every code outside the table.
inline constexpr std::uint8_t kUnknownTypeIndex = 16;

// The TypeIndex of a type code: code div 16 - 1 for 0x10, 0x20, ... 0x100,
// kUnknownTypeIndex for anything else (the end marker included).
std::uint8_t AttributeTypeIndex(std::uint32_t code);

// The name of a type code from AttributeTypes. A code that is not in the
// table (not a multiple of 16, below 0x10, above 0x100, other than the end
// marker) is named "$UNKNOWN(0x" + its code in upper-case hex + ")", e.g.
// "$UNKNOWN(0x120)", so a report still shows which code it found.
std::string AttributeTypeName(std::uint32_t code);

// One line per entry of an attribute-list value of `length` bytes (at most
// data.size() are looked at): "$DATA(3) @ File ID 1234". Replaces `lines`.
// The walk stops, keeping the lines before it, at an entry of length 0, one
// shorter than its fixed fields, or one that runs past the value.
void ParseAttributeList(std::span<const std::byte> data, std::uint32_t length,
                        TWideStringArray& lines);

// Reads the runs of a non-resident value into a buffer, as
// RecordReader::ReadRunData does, and gives the number of bytes delivered.
using RunDataReader =
    std::function<std::size_t(std::span<const std::byte> runList, std::span<std::byte> buffer)>;

// The value of an $ATTRIBUTE_LIST attribute (`attribute` is its bytes inside
// its record), data size long: resident from the record, non-resident read
// through `readRuns`. Empty when its sizes are refused.
std::vector<std::byte> ReadAttributeListValue(std::span<const std::byte> attribute,
                                              const RunDataReader& readRuns);

// Appends the runs of a non-resident attribute. A damaged run list keeps the
// runs before the damage: a field wider than 8 bytes, a list that runs past
// the attribute without its zero byte, a start cluster that overflows.
void AppendAttributeRuns(std::span<const std::byte> attribute, TDataRuns& runs);

// The value of an $ATTRIBUTE_LIST attribute, however it is read.
using AttributeListReader =
    std::function<std::vector<std::byte>(std::span<const std::byte> attribute)>;

// The attributes of a valid record in hand, as RecordReader::GetAttributes
// lists them; the record's first attribute list is read through `readList`.
// `spans`, when given, receives each attribute's bytes, in the same order.
void AppendRecordAttributes(std::span<const std::byte> record, TAttributes& attributes,
                            const AttributeListReader& readList,
                            std::vector<std::span<const std::byte>>* spans = nullptr);

// The runs of the attribute at position `attrIndex` of a valid record in
// hand, as RecordReader::GetDataRuns gives them.
void AppendRecordDataRuns(std::span<const std::byte> record, int attrIndex, TDataRuns& runs);

// The largest $ATTRIBUTE_LIST value the file system lets a file have (the
// limit of its attribute definition table); a larger allocated size in a
// record is damage and is refused rather than allocated.
inline constexpr std::int64_t kMaxAttributeListSize = 0x40000;

} // namespace lorvex::ntfs

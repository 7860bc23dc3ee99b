#include "ntfs/Attributes.h"

#include "ntfs/NTFSVolume.h"
#include "ondisk/ByteReader.h"
#include "ondisk/FileRecord.h"
#include "ondisk/RunList.h"
#include "ondisk/Utf16.h"

#include <algorithm>
#include <limits>

namespace lorvex::ntfs {

using ondisk::ByteReader;
namespace attr = ondisk::attr;

namespace {

constexpr std::size_t kGrowthStep = 10;

// The bytes [offset, offset + length) of `bytes`, cut at its end: a damaged
// length then yields what is there rather than reaching past it.
std::span<const std::byte> Clip(std::span<const std::byte> bytes, std::size_t offset,
                                std::size_t length) {
    if (offset >= bytes.size()) {
        return {};
    }
    return bytes.subspan(offset, std::min(length, bytes.size() - offset));
}

// The attribute's name into `name`, through `wide`; both keep their room.
void ReadAttributeName(std::span<const std::byte> attribute, std::u16string& wide,
                       std::string& name) {
    name.clear();
    const ByteReader r(attribute);
    const std::size_t length = r.u8(attr::kNameLength).value_or(0);
    if (length == 0) {
        return;
    }
    const std::size_t offset = r.u16(attr::kNameOffset).value_or(0);
    wide.clear();
    ondisk::AppendUtf16(Clip(attribute, offset, 2 * length), wide);
    ondisk::AppendUtf8(wide, name);
}

// The value of a resident $FILE_NAME or $STANDARD_INFORMATION: its fields
// are read at fixed offsets from the end of the resident header, within the
// attribute.
std::span<const std::byte> FixedValue(std::span<const std::byte> attribute) {
    return Clip(attribute, attr::kResidentHeader, attribute.size());
}

void ReadFileName(std::span<const std::byte> attribute, std::u16string& name) {
    const auto value = FixedValue(attribute);
    const std::size_t length = ByteReader(value).u8(ondisk::filename::kNameLength).value_or(0);
    name.clear();
    ondisk::AppendUtf16(Clip(value, ondisk::filename::kName, 2 * length), name);
}

bool IsResident(std::span<const std::byte> attribute) {
    return ByteReader(attribute).u8(attr::kNonResident).value_or(0) == 0;
}

std::u16string Widen(std::string_view ascii) {
    return {ascii.begin(), ascii.end()};
}

} // namespace

void TAttributes::Add(std::uint8_t typeIndex, std::string name, std::uint16_t attributeId,
                      const TWideStringArray& entries, std::uint32_t attrType, bool resident) {
    ++FCount;
    if (FItems.size() < static_cast<std::size_t>(FCount)) {
        FItems.resize(FItems.size() + kGrowthStep);
    }
    TAttribute& a = FItems[static_cast<std::size_t>(FCount - 1)];
    a.TypeIndex = typeIndex;
    a.Name = std::move(name);
    a.AttributeID = attributeId;
    a.Entries = entries;
    a.AttrType = attrType;
    a.Resident = resident;
}

TAttribute& TAttributes::Spare() {
    if (FItems.size() <= static_cast<std::size_t>(FCount)) {
        FItems.resize(FItems.size() + kGrowthStep);
    }
    return FItems[static_cast<std::size_t>(FCount)];
}

void TAttributes::Clear() {
    // The elements stay as spare room: the next record's attributes are
    // copied into them, reusing their strings instead of allocating anew.
    FCount = 0;
}

void TDataRuns::Add(bool sparse, std::int64_t length, std::int64_t lcn) {
    ++FCount;
    if (FItems.size() < static_cast<std::size_t>(FCount)) {
        FItems.resize(FItems.size() + kGrowthStep);
    }
    FItems[static_cast<std::size_t>(FCount - 1)] = TDataRun{lcn, length, sparse};
}

void TDataRuns::Clear() {
    FCount = 0;
}

std::uint8_t AttributeTypeIndex(std::uint32_t code) {
    if (code >= 0x10 && code <= 0x100 && code % 16 == 0) {
        return static_cast<std::uint8_t>(code / 16 - 1);
    }
    return kUnknownTypeIndex;
}

std::string AttributeTypeName(std::uint32_t code) {
    const std::uint8_t index = AttributeTypeIndex(code);
    if (index != kUnknownTypeIndex || code == attr::kEndMarker) {
        return std::string(AttributeTypes[index].Name);
    }
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    std::string hex;
    do {
        hex.insert(hex.begin(), kDigits[code & 0xF]);
        code >>= 4;
    } while (code != 0);
    return "$UNKNOWN(0x" + hex + ")";
}

std::vector<TAttributeListEntry> DecodeAttributeList(std::span<const std::byte> data,
                                                     std::uint32_t length) {
    namespace le = ondisk::listentry;
    std::vector<TAttributeListEntry> entries;
    const ByteReader r(data.first(std::min<std::size_t>(length, data.size())));
    std::size_t pos = 0;
    while (pos < r.size()) {
        const std::size_t entryLength = r.u16(pos + le::kLength).value_or(0);
        // Every entry must hold its fixed fields and stay inside the value; a
        // length of 0 would never move on.
        if (entryLength < le::kMinimumSize || !r.fits(pos, entryLength)) {
            break;
        }
        entries.push_back(
            {*r.u32(pos + le::kType), *r.u16(pos + le::kId), *r.recordNumber48(pos + le::kRecord)});
        pos += entryLength;
    }
    return entries;
}

void ParseAttributeList(std::span<const std::byte> data, std::uint32_t length,
                        TWideStringArray& lines) {
    lines.clear();
    for (const auto& e : DecodeAttributeList(data, length)) {
        lines.push_back(Widen(AttributeTypeName(e.Type) + "(" + std::to_string(e.AttributeID) +
                              ") @ File ID " + std::to_string(e.RecordNo)));
    }
}

std::vector<std::byte> ReadAttributeListValue(std::span<const std::byte> attribute,
                                              const RunDataReader& readRuns) {
    const ByteReader r(attribute);
    if (IsResident(attribute)) {
        const std::size_t nameLength = r.u8(attr::kNameLength).value_or(0);
        const std::size_t length = r.u32(attr::kValueLength).value_or(0);
        const auto value = Clip(attribute, attr::kResidentHeader + 2 * nameLength, length);
        return {value.begin(), value.end()};
    }
    const auto allocated = r.i64(attr::kAllocatedSize);
    const auto dataSize = r.i64(attr::kDataSize);
    // The buffer is sized from the record, so sizes no list can have are
    // refused rather than allocated.
    if (!allocated || !dataSize || *allocated < 0 || *allocated > kMaxAttributeListSize ||
        *dataSize < 0 || *dataSize > *allocated) {
        return {};
    }
    std::vector<std::byte> value(static_cast<std::size_t>(*allocated));
    readRuns(ondisk::RunListBytes(attribute), value);
    value.resize(static_cast<std::size_t>(*dataSize));
    return value;
}

ondisk::AttributeWalker WalkAttributes(std::span<const std::byte> record) {
    return {record, ByteReader(record).u16(ondisk::record::kFirstAttribute).value_or(0)};
}

void AppendAttributeRuns(std::span<const std::byte> attribute, TDataRuns& runs) {
    for (const auto& run : ondisk::DecodeRunList(ondisk::RunListBytes(attribute)).runs) {
        runs.Add(run.sparse, run.length, run.lcn);
    }
}

void TNTFSVolume::GetAttributes(TAttributes& attributes, std::int64_t recordNo) {
    attributes.Clear();
    ReadAttributes(attributes, recordNo);
}

void TNTFSVolume::ReadAttributes(TAttributes& attributes, std::int64_t recordNo) {
    // A failed query leaves the previous record in FRecord, and a free one
    // answers with another record: neither may pass for this one.
    if (ReadFileRecord(recordNo) != recordNo || FRecord.FileReferenceNumber != recordNo ||
        !IsValidRecord(FRecord.FileRecordBuffer)) {
        return;
    }
    AppendRecordAttributes(FRecord.FileRecordBuffer, attributes, [this](auto attribute) {
        return ReadAttributeListValue(*this, attribute);
    });
}

void AppendRecordAttributes(std::span<const std::byte> record, TAttributes& attributes,
                            const AttributeListReader& readList,
                            std::vector<std::span<const std::byte>>* spans) {
    // A file has one attribute list. Any further $ATTRIBUTE_LIST is listed
    // with its runs but not followed: several of them can name one shared
    // list of 256 KiB, and following each would make a record of a few
    // hundred bytes fill a report with hundreds of thousands of lines. So the
    // lines of a record are at most its attributes, their runs and the
    // entries of its one list, all of them metadata actually read.
    bool listFollowed = false;
    std::u16string wide;
    auto walk = WalkAttributes(record);
    while (const auto a = walk.Next()) {
        // Filled in place: a listing of a million records reuses the names'
        // and entries' room of the records before instead of allocating.
        TAttribute& attribute = attributes.Spare();
        attribute.TypeIndex = AttributeTypeIndex(a->type);
        ReadAttributeName(a->bytes, wide, attribute.Name);
        attribute.AttributeID = ByteReader(a->bytes).u16(attr::kId).value_or(0);
        attribute.AttrType = a->type;
        attribute.Resident = IsResident(a->bytes);
        TWideStringArray& entries = attribute.Entries;
        if (a->type == ondisk::type::kAttributeList && listFollowed) {
            entries.clear();
        } else if (a->type == ondisk::type::kAttributeList) {
            listFollowed = true;
            const auto value = readList(a->bytes);
            ParseAttributeList(value, static_cast<std::uint32_t>(value.size()), entries);
        } else {
            entries.resize(1);
            entries[0].clear();
            if (a->type == ondisk::type::kFileName) {
                ReadFileName(a->bytes, entries[0]);
            }
        }
        ++attributes.FCount;
        if (spans != nullptr) {
            spans->push_back(a->bytes);
        }
    }
}

void TNTFSVolume::GetDataRuns(int attrIndex, TDataRuns& runs, std::int64_t recordNo) {
    runs.Clear();
    if (ReadFileRecord(recordNo) != recordNo || FRecord.FileReferenceNumber != recordNo ||
        !IsValidRecord(FRecord.FileRecordBuffer)) {
        return;
    }
    AppendRecordDataRuns(FRecord.FileRecordBuffer, attrIndex, runs);
}

void AppendRecordDataRuns(std::span<const std::byte> record, int attrIndex, TDataRuns& runs) {
    if (attrIndex < 0) {
        return;
    }
    auto walk = WalkAttributes(record);
    auto a = walk.Next();
    for (int i = 0; i < attrIndex && a; ++i) {
        a = walk.Next();
    }
    if (a && !IsResident(a->bytes)) {
        AppendAttributeRuns(a->bytes, runs);
    }
}

} // namespace lorvex::ntfs

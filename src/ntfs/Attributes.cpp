#include "ntfs/Attributes.h"

#include "ondisk/AttributeList.h"
#include "ondisk/FileName.h"
#include "ondisk/NonResident.h"
#include "ondisk/RunList.h"
#include "ondisk/StreamReader.h"
#include "ondisk/Utf16.h"

#include <algorithm>

namespace lorvex::ntfs {

namespace attr = ondisk::attr;

namespace {

constexpr std::size_t kGrowthStep = 10;

// The attribute's name into `name`, through `wide`; both keep their room. A
// damaged length gives what lies inside the attribute rather than nothing.
void ReadAttributeName(std::span<const std::byte> attribute, std::u16string& wide,
                       std::string& name) {
    name.clear();
    const auto bytes = ondisk::ClippedAttributeName(attribute);
    if (ondisk::AttributeNameLength(attribute) == 0) {
        return;
    }
    wide.clear();
    ondisk::AppendUtf16(bytes, wide);
    ondisk::AppendUtf8(wide, name);
}

void ReadFileName(std::span<const std::byte> attribute, std::u16string& name) {
    name.clear();
    ondisk::AppendUtf16(ondisk::DecodeFileName(ondisk::ResidentValue(attribute)).name, name);
}

std::u16string Widen(std::string_view ascii) {
    return {ascii.begin(), ascii.end()};
}

} // namespace

void TAttributes::Add(std::uint8_t typeIndex, std::string name, std::uint16_t attributeId,
                      const TWideStringArray& entries, std::uint32_t attrType, bool resident) {
    TAttribute& a = Grow(kGrowthStep);
    a.TypeIndex = typeIndex;
    a.Name = std::move(name);
    a.AttributeID = attributeId;
    a.Entries = entries;
    a.AttrType = attrType;
    a.Resident = resident;
}

TAttribute& TAttributes::Spare() {
    return Room(kGrowthStep);
}

void TAttributes::Clear() {
    // The elements stay as spare room: the next record's attributes are
    // copied into them, reusing their strings instead of allocating anew.
    count_ = 0;
}

void TDataRuns::Add(bool sparse, std::int64_t length, std::int64_t lcn) {
    Grow(kGrowthStep) = TDataRun{lcn, length, sparse};
}

void TDataRuns::Clear() {
    count_ = 0;
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

void ParseAttributeList(std::span<const std::byte> data, std::uint32_t length,
                        TWideStringArray& lines) {
    lines.clear();
    for (const auto& e :
         ondisk::DecodeAttributeList(data.first(std::min<std::size_t>(length, data.size())))) {
        lines.push_back(Widen(AttributeTypeName(e.type) + "(" + std::to_string(e.id) +
                              ") @ File ID " + std::to_string(e.record)));
    }
}

std::vector<std::byte> ReadAttributeListValue(std::span<const std::byte> attribute,
                                              const RunDataReader& readRuns) {
    if (ondisk::IsResident(attribute)) {
        const auto value = ondisk::ResidentValue(attribute);
        return {value.begin(), value.end()};
    }
    const auto header = ondisk::DecodeNonResident(attribute);
    // The buffer is sized from the record, so sizes no list can have are
    // refused rather than allocated.
    if (!header || header->allocatedSize < 0 || header->allocatedSize > kMaxAttributeListSize ||
        header->dataSize < 0 || header->dataSize > header->allocatedSize) {
        return {};
    }
    std::vector<std::byte> value(static_cast<std::size_t>(header->allocatedSize));
    readRuns(header->runList, value);
    value.resize(static_cast<std::size_t>(header->dataSize));
    return value;
}

void AppendAttributeRuns(std::span<const std::byte> attribute, TDataRuns& runs) {
    for (const auto& run : ondisk::DecodeRunList(ondisk::RunListBytes(attribute)).runs) {
        runs.Add(run.sparse, run.length, run.lcn);
    }
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
    auto walk = ondisk::WalkRecordAttributes(record);
    while (const auto a = walk.Next()) {
        // Filled in place: a listing of a million records reuses the names'
        // and entries' room of the records before instead of allocating.
        TAttribute& attribute = attributes.Spare();
        attribute.TypeIndex = AttributeTypeIndex(a->type);
        ReadAttributeName(a->bytes, wide, attribute.Name);
        attribute.AttributeID = ondisk::AttributeId(a->bytes);
        attribute.AttrType = a->type;
        attribute.Resident = ondisk::IsResident(a->bytes);
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
        attributes.CommitSpare();
        if (spans != nullptr) {
            spans->push_back(a->bytes);
        }
    }
}

void AppendRecordDataRuns(std::span<const std::byte> record, int attrIndex, TDataRuns& runs) {
    if (attrIndex < 0) {
        return;
    }
    auto walk = ondisk::WalkRecordAttributes(record);
    auto a = walk.Next();
    for (int i = 0; i < attrIndex && a; ++i) {
        a = walk.Next();
    }
    if (a && !ondisk::IsResident(a->bytes)) {
        AppendAttributeRuns(a->bytes, runs);
    }
}

} // namespace lorvex::ntfs

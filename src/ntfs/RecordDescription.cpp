#include "ntfs/RecordDescription.h"

#include "ntfs/Attributes.h"
#include "ondisk/AttributeList.h"
#include "ondisk/FileName.h"
#include "ondisk/FileRecord.h"
#include "ondisk/NonResident.h"
#include "ondisk/StandardInformation.h"
#include "ondisk/Utf16.h"

#include <vector>

namespace lorvex::ntfs {

namespace type = ondisk::type;

namespace {

// Real extension records name their base record directly; a chain of base
// references longer than this is damage, and is treated like a base record
// that is not valid.
constexpr int kMaxBaseHops = 16;

// The two sizes of a $DATA attribute: the header's when non-resident, the
// value length twice when resident.
void DataSizes(std::span<const std::byte> attribute, std::int64_t& size,
               std::int64_t& allocatedSize) {
    if (ondisk::IsResident(attribute)) {
        size = allocatedSize = ondisk::ResidentValueLength(attribute);
    } else if (const auto header = ondisk::DecodeNonResident(attribute)) {
        allocatedSize = header->allocatedSize;
        size = header->dataSize;
    } else {
        size = allocatedSize = 0;
    }
}

void ApplyStandardInformation(std::span<const std::byte> attribute, TFileInfo& info) {
    const auto si = ondisk::DecodeStandardInformation(ondisk::ResidentValue(attribute));
    info.CreationTime = si.creationTime;
    info.ModificationTime = si.modificationTime;
    info.AccessTime = si.accessTime;
    info.Flags |= si.fileAttributes;
}

void ApplyFileName(std::span<const std::byte> attribute, bool takeSizes, TFileInfo& info,
                   std::u16string& name, NameChoice& choice) {
    const auto fn = ondisk::DecodeFileName(ondisk::ResidentValue(attribute));
    if (takeSizes) {
        info.Size = fn.dataSize;
        info.AllocatedSize = fn.allocatedSize;
    }
    info.ParentID = fn.parent.value_or(kRootDirectory);
    info.Flags |= fn.fileAttributes;
    choice.found = true;
    // Decoded straight into the caller's string, whose room is reused from
    // record to record.
    std::u16string& target = fn.IsDosName() ? choice.dosName : name;
    if (&target == &name) {
        choice.haveLongName = true;
    }
    target.clear();
    target.push_back(u'\\');
    ondisk::AppendUtf16(fn.name, target);
}

// Whether an attribute-list entry names something the description still
// lacks: every $FILE_NAME, and a $STANDARD_INFORMATION or first $DATA the
// base record did not have.
bool Wanted(const ondisk::AttributeListEntry& entry, const BaseWalk& walk) {
    return entry.type == type::kFileName ||
           (entry.type == type::kStandardInformation && !walk.haveStandardInformation) ||
           (entry.type == type::kData && !walk.haveData);
}

// A base record without a $FILE_NAME of its own, or with none but a DOS
// name, keeps its names in extension records (heavily fragmented files,
// files with many hard links): their $FILE_NAME attributes follow the base
// record's own, in list order, and with them come a $STANDARD_INFORMATION or
// first $DATA the base record lacks. Only records that name base record `n`
// as their base count.
void TakeFromExtensions(RecordReader& records, std::int64_t n, BaseWalk& walk, std::u16string& name,
                        TFileInfo& info) {
    const auto value = ReadAttributeListValue(walk.list->bytes, [&records](auto runs, auto out) {
        return records.ReadRunData(runs, out);
    });
    // The extension record the entries name, while they name the same one:
    // its bytes are those of `extension`, when it is this file's and valid.
    std::optional<RecordView> extension;
    std::span<const std::byte> holder;
    std::int64_t held = -1;
    for (const auto& entry : ondisk::DecodeAttributeList(value)) {
        // What the base record holds, the walk of it has taken already.
        if (!Wanted(entry, walk) || entry.record == n) {
            continue;
        }
        if (entry.record != held) {
            held = entry.record;
            extension = records.ReadInUse(entry.record);
            const bool ours = extension && extension->valid() && BaseOf(extension->bytes()) == n;
            holder = ours ? extension->bytes() : std::span<const std::byte>{};
        }
        const auto a =
            holder.empty()
                ? std::nullopt
                : ondisk::FindAttribute(
                      holder, {.type = entry.type, .name = {}, .lowestVcn = {}, .id = entry.id});
        if (!a) {
            continue;
        }
        if (entry.type == type::kFileName) {
            // The sizes of the first $DATA stand over those of $FILE_NAME,
            // as they do in a base record where $DATA comes later.
            ApplyFileName(a->bytes, !walk.haveData, info, name, walk.names);
        } else if (entry.type == type::kStandardInformation) {
            ApplyStandardInformation(a->bytes, info);
            walk.haveStandardInformation = true;
        } else {
            DataSizes(a->bytes, info.Size, info.AllocatedSize);
            walk.haveData = true;
        }
    }
}

} // namespace

void PlaceholderName(std::int64_t recordNo, std::u16string& name) {
    constexpr std::u16string_view kHead = u"\\$### ID=";
    constexpr std::u16string_view kTail = u" ###";
    const std::string number = std::to_string(recordNo);
    name.assign(kHead);
    name.append(number.begin(), number.end());
    name.append(kTail);
}

void WalkBaseRecord(std::span<const std::byte> record, std::int64_t n, bool& isDirectory,
                    bool& isSystem, std::u16string& name, TFileInfo& info, BaseWalk& walk,
                    TRecordRuns* runs) {
    isDirectory = (ondisk::RecordFlags(record) & ondisk::record::kFlagDirectory) != 0;
    isSystem = isSystem || (n < kFirstUserRecord && n != kRootDirectory);

    walk.names.found = false;
    walk.names.haveLongName = false;
    walk.names.dosName.clear();
    walk.haveStandardInformation = false;
    walk.haveData = false;
    walk.list.reset();
    auto attributes = ondisk::WalkRecordAttributes(record);
    while (const auto a = attributes.Next()) {
        if (runs != nullptr) {
            runs->AddAttribute(a->type, a->bytes);
        }
        switch (a->type) {
        case type::kStandardInformation:
            ApplyStandardInformation(a->bytes, info);
            walk.haveStandardInformation = true;
            break;
        case type::kFileName:
            ApplyFileName(a->bytes, true, info, name, walk.names);
            break;
        case type::kData:
            if (!walk.haveData) {
                DataSizes(a->bytes, info.Size, info.AllocatedSize);
                walk.haveData = true;
            }
            break;
        case type::kAttributeList:
            if (!walk.list) {
                walk.list = a;
            }
            break;
        default:
            break;
        }
    }
}

void FinishDescription(const BaseWalk& walk, std::u16string& name, TFileInfo& info) {
    if (!walk.haveData) {
        info.Size = 0;
        info.AllocatedSize = 0;
    }
    if (!walk.names.found) {
        info.ParentID = kRootDirectory;
    } else if (!walk.names.haveLongName) {
        // Only a DOS name: it is still the file's name.
        name = walk.names.dosName;
    }
}

std::uint8_t FileTypeOf(std::int64_t baseId, bool isSystem, bool isDirectory) {
    if (baseId < kFirstUserRecord || isSystem) {
        return baseId == 11 ? kTypeSystemDirectory : kTypeSystem;
    }
    return isDirectory ? kTypeDirectory : kTypeFile;
}

std::int64_t BaseOf(std::span<const std::byte> record) {
    return ondisk::BaseRecordOf(record).value_or(-1);
}

void DescribeFile(RecordReader& records, bool& isDirectory, bool& isSystem, std::u16string& name,
                  TFileInfo& info, std::int64_t recordNo) {
    // The caller reuses its variables from record to record: whatever this
    // record does not give must not keep the last one's values.
    isDirectory = false;
    PlaceholderName(recordNo, name);
    info = TFileInfo{};
    info.ParentID = kRootDirectory;

    std::int64_t n = recordNo;
    std::optional<RecordView> record;
    for (int hop = 0;; ++hop) {
        // A free record answers with another one, which must not be taken
        // for this file's base.
        record = hop > kMaxBaseHops ? std::nullopt : records.ReadInUse(n);
        if (!record || !record->valid()) {
            return;
        }
        const std::int64_t base = BaseOf(record->bytes());
        if (base < 0) {
            break;
        }
        n = base;
    }
    BaseWalk walk;
    WalkBaseRecord(record->bytes(), n, isDirectory, isSystem, name, info, walk);
    if (walk.NeedsExtensions()) {
        TakeFromExtensions(records, n, walk, name, info);
    }
    FinishDescription(walk, name, info);
}

void ReadRecordSizes(RecordReader& records, std::int64_t& size, std::int64_t& allocatedSize,
                     std::int64_t recordNo) {
    const auto record = records.ReadInUse(recordNo);
    if (!record || !record->valid()) {
        return;
    }
    auto walk = ondisk::WalkRecordAttributes(record->bytes());
    while (const auto a = walk.Next()) {
        if (a->type == type::kFileName) {
            const auto fn = ondisk::DecodeFileName(ondisk::ResidentValue(a->bytes));
            size = fn.dataSize;
            allocatedSize = fn.allocatedSize;
            if (size != 0 && allocatedSize != 0) {
                return;
            }
        } else if (a->type == type::kData) {
            DataSizes(a->bytes, size, allocatedSize);
            return;
        }
    }
}

} // namespace lorvex::ntfs

#include "ntfs/FileRecords.h"

#include "ntfs/Attributes.h"
#include "ntfs/DeletedRecords.h"
#include "ondisk/Attribute.h"
#include "ondisk/AttributeList.h"
#include "ondisk/Utf16.h"

#include <algorithm>
#include <set>
#include <string>
#include <utility>

namespace lorvex::ntfs {

namespace {

bool BelongsTo(const RecordView& extension, const RecordView& base,
               const ondisk::AttributeListEntry& item) {
    if (!extension.valid() || extension.baseRecord() != base.number() ||
        extension.inUse() != base.inUse()) {
        return false;
    }
    return base.inUse() ||
           (SequenceFollows(static_cast<std::uint16_t>(extension.baseReference() >> 48),
                            base.sequenceNumber()) &&
            SequenceFollows(item.sequence, extension.sequenceNumber()));
}

const ondisk::AttributeKey kAnyList{
    .type = ondisk::type::kAttributeList, .name = {}, .lowestVcn = {}, .id = {}};

std::vector<std::byte> ListValue(RecordReader& records, std::span<const std::byte> attribute) {
    return ReadAttributeListValue(attribute, [&records](auto runList, auto out) {
        return records.ReadRunData(runList, out);
    });
}

std::vector<RecordView> ExtensionsListed(RecordReader& records, const RecordView& base,
                                         std::span<const std::byte> value) {
    std::vector<RecordView> found;
    std::set<std::int64_t> seen{base.number()};
    for (const auto& item : ondisk::DecodeAttributeList(value)) {
        if (!seen.insert(item.record).second) {
            continue;
        }
        if (seen.size() > kMaxExtensionRecords + 1) {
            break;
        }
        auto extension = records.Read(item.record);
        if (extension && BelongsTo(*extension, base, item)) {
            found.push_back(std::move(*extension));
        }
    }
    return found;
}

} // namespace

std::vector<RecordView> ExtensionRecordsOf(RecordReader& records, const RecordView& base) {
    const auto list = ondisk::FindAttribute(base.bytes(), kAnyList);
    if (!list) {
        return {};
    }
    return ExtensionsListed(records, base, ListValue(records, list->bytes));
}

FileExtensions CopyFileExtensions(RecordReader& records, const RecordView& base) {
    FileExtensions file;
    const auto list = ondisk::FindAttribute(base.bytes(), kAnyList);
    if (!list) {
        return file;
    }
    file.list = ListValue(records, list->bytes);
    file.listId = ondisk::AttributeId(list->bytes);
    for (const RecordView& extension : ExtensionsListed(records, base, file.list)) {
        file.records.emplace_back(extension.bytes().begin(), extension.bytes().end());
    }
    return file;
}

std::optional<std::uint16_t> FileWideAttributeId(const FileExtensions& file, std::int64_t base,
                                                 std::uint32_t type, std::u16string_view name) {
    const auto entries = ondisk::DecodeAttributeList(file.list);
    std::uint16_t next = file.listId;
    for (const auto& entry : entries) {
        next = std::max(next, entry.id);
    }
    // An attribute in pieces has an entry per piece: its first counts.
    std::vector<std::pair<std::uint32_t, std::u16string>> seen;
    for (const auto& entry : entries) {
        std::pair<std::uint32_t, std::u16string> key{entry.type, ondisk::ReadUtf16(entry.name)};
        if (std::find(seen.begin(), seen.end(), key) != seen.end()) {
            continue;
        }
        const bool inBase = entry.record == base;
        if (!inBase) {
            ++next;
        }
        if (key.first == type && key.second == name) {
            return inBase ? std::nullopt : std::optional<std::uint16_t>(next);
        }
        seen.push_back(std::move(key));
    }
    return std::nullopt;
}

} // namespace lorvex::ntfs

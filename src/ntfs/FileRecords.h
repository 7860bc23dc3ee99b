#pragma once

#include "ntfs/RecordReader.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace lorvex::ntfs {

// As many extension records as are followed for one file: a record of a few
// KiB names far fewer, and a list naming more is damage.
inline constexpr std::size_t kMaxExtensionRecords = 4096;

// The extension records of the file whose base record is `base`, each once,
// in the order its attribute list first names them: for a base in use, the
// in-use records that name it as their base; for a deleted base, the free
// ones that name it with the sequence number it had and that the list names
// with their own (a record freed and reused since is another file's). At
// most kMaxExtensionRecords; none without an attribute list.
std::vector<RecordView> ExtensionRecordsOf(RecordReader& records, const RecordView& base);

// What a file holds beyond its base record, copied out of the reader: its
// attribute list (the value and the list attribute's own id) and its
// extension records' bytes (ExtensionRecordsOf). Empty without a list.
struct FileExtensions {
    std::vector<std::byte> list;
    std::uint16_t listId = 0;
    std::vector<std::vector<std::byte>> records;
};
FileExtensions CopyFileExtensions(RecordReader& records, const RecordView& base);

// Attribute ids are unique within a record only. Where a file's attributes
// stand in several records, a body file's inode field (record-type-id)
// numbers them as the timeline tools do, so that it names one attribute of
// the whole file: an attribute (by type and name) whose first entry in the
// list is in the base record keeps its own id; every other, in the list's
// order, takes the next number after the largest id in the list (the list
// attribute's own counted). The number of the attribute of `type` and
// `name`; nothing when it keeps its own or the list does not name it.
std::optional<std::uint16_t> FileWideAttributeId(const FileExtensions& file, std::int64_t base,
                                                 std::uint32_t type, std::u16string_view name);

} // namespace lorvex::ntfs

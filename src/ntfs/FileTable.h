#pragma once

#include "ntfs/Attributes.h"
#include "ntfs/CountedArray.h"
#include "ntfs/LargeArray.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lorvex::ntfs {

// Record numbers of the file table that the rules below name.
inline constexpr std::int64_t kRootDirectory = 5;
inline constexpr std::int64_t kFirstUserRecord = 16;

// FileType values.
inline constexpr std::uint8_t kTypeFile = 1;
inline constexpr std::uint8_t kTypeDirectory = 2;
inline constexpr std::uint8_t kTypeSystem = 4;
inline constexpr std::uint8_t kTypeSystemDirectory = 6; // record 11 only

// The path prefix of an entry whose parent chain does not reach the root: a
// parent that is not in the table, or a chain that comes back to itself.
// Such an entry's path is this marker followed by its own name (and the
// entries below it follow on from there), e.g. "\$### ORPHAN ###\lost.txt".
inline constexpr std::u16string_view kOrphanMarker = u"\\$### ORPHAN ###";

// The longest path the file table gives, in UTF-16 code units: the longest
// path Windows itself handles. A deeper entry's path is this marker followed
// by as much of its own end as fits (its name and its nearest parents, whole
// names only), e.g. "\$### PATH TOO LONG ###\...\parent\file.txt"; without
// the cap a chain of a few thousand directories with long names would need
// gigabytes for the paths alone.
inline constexpr std::size_t kMaxPathLength = 32767;
inline constexpr std::u16string_view kLongPathMarker = u"\\$### PATH TOO LONG ###";

// The working record that DescribeFile fills and TFileIDs::Add copies.
struct TFileInfo {
    std::int64_t ParentID = 0;
    std::int64_t CreationTime = 0;
    std::int64_t ModificationTime = 0;
    std::int64_t AccessTime = 0;
    std::int64_t AllocatedSize = 0;
    std::int64_t Size = 0;
    std::uint32_t Flags = 0;
};

// One in-use file record, base or extension. An extension record's entry
// carries its base record's name, parent, flags, type and times, and only
// its own sizes.
inline constexpr std::int32_t kPathFromRoot = -1;
inline constexpr std::int32_t kPathOrphan = -2;
inline constexpr std::int32_t kPathNotBuilt = -3;

struct TFileID {
    std::int64_t FileID = 0;
    std::int64_t BaseID = 0;
    std::int64_t ParentID = 0;
    // "\" and the file's name, or "\$### ID=<record> ###" without a name;
    // the characters live in the table's name pool (TFileIDs::KeepName).
    std::u16string_view Name;
    // The table index of the entry whose path this one's continues, set by
    // BuildPaths: kPathFromRoot when the path starts at the root, kPathOrphan
    // when it starts at kOrphanMarker, kPathNotBuilt before BuildPaths. The
    // paths themselves are built when asked for (TFileIDs::GetPath), so the
    // table stays linear in its entries however deep the tree is.
    std::int32_t PathParent = -3;
    std::uint8_t FileType = 0;
    std::uint32_t Flags = 0;
    std::int64_t Size = 0;
    std::int64_t AllocatedSize = 0;
    std::int64_t DiskSize = 0;
    std::int64_t CreationTime = 0;
    std::int64_t ModificationTime = 0;
    std::int64_t AccessTime = 0;
    bool Fragmented = false;
    std::uint32_t Fragments = 0;
};
// A block of the name pool of a file table.
using TNameBlock = std::vector<char16_t, LargeArrayAllocator<char16_t>>;

// The non-resident attributes of every entry's record with their runs, in
// record order, as the file enumeration found them while it had the record in
// hand. The disk-size and the cluster stages read them here instead of
// fetching every record of the volume twice more; on a volume that does not
// change during the scan the results are the same.
struct TRecordRuns {
    struct Attribute {
        std::uint32_t AttrType = 0;
        std::uint32_t FirstRun = 0;
        std::uint32_t RunCount = 0;
    };
    struct Entry {
        std::uint32_t FirstAttribute = 0;
        std::uint32_t AttributeCount = 0;
    };

    // Appends the next entry's record (or nothing of it, when it is not a
    // valid record).
    void AddRecord(std::span<const std::byte> record, bool valid);
    // The same in steps, for a caller walking the record anyway: an entry,
    // then each of its attributes (resident ones are passed over).
    void BeginRecord();
    void AddAttribute(std::uint32_t type, std::span<const std::byte> attribute);
    // Appends the entries of `next` (built the same way, for the records
    // that follow).
    void Append(const TRecordRuns& next);
    void Clear();
    // Room for `entries` entries, and for as many attributes with runs and
    // runs, without copying the arrays as they grow.
    void Reserve(std::size_t entries);
    // True when there is exactly one entry here per entry of a table of
    // `count` entries.
    [[nodiscard]] bool Covers(std::int32_t count) const;

    std::vector<Entry, LargeArrayAllocator<Entry>> Entries;
    std::vector<Attribute, LargeArrayAllocator<Attribute>> Attributes;
    std::vector<TDataRun, LargeArrayAllocator<TDataRun>> Runs;
    bool Overflowed = false;
};

// An entry's Name as the texts show it: its leading separator, then the
// name with what is not printable escaped (ondisk/Printable.h).
void AppendShownName(std::u16string_view name, std::string& out);

// The file table, in ascending FileID order once EnumerateFiles is done; an
// entry's index is how the rest of the program refers to it.
class TFileIDs : public CountedArray<TFileID, LargeArrayAllocator<TFileID>> {
  public:
    TFileIDs() = default;
    // A copy keeps its names in a pool of its own.
    TFileIDs(const TFileIDs& other);
    TFileIDs& operator=(const TFileIDs& other);
    TFileIDs(TFileIDs&&) noexcept = default;
    TFileIDs& operator=(TFileIDs&&) noexcept = default;
    ~TFileIDs() = default;

    // The entries in use, which the stages after the enumeration fill in
    // (sizes, flags, paths); the table's indexes are 32-bit (IndexOfID,
    // PathParent, the extents' FileIndex), as its size is.
    using CountedArray::operator[];
    using CountedArray::begin;
    using CountedArray::end;
    using CountedArray::items;
    TFileID& operator[](std::size_t index) { return items_[index]; }
    [[nodiscard]] std::span<TFileID> items() {
        return {items_.data(), static_cast<std::size_t>(count_)};
    }
    [[nodiscard]] TFileID* begin() { return items_.data(); }
    [[nodiscard]] TFileID* end() { return items_.data() + count_; }
    // The entries the array has memory for.
    [[nodiscard]] std::size_t capacity() const { return items_.capacity(); }

    // Appends an entry with no path yet, DiskSize 0 and Fragments 0; the
    // array grows by 1000 entries.
    void Add(std::u16string_view name, std::uint8_t fileType, const TFileInfo& info,
             bool fragmented, std::int64_t baseId, std::int64_t fileId);
    // Copies `name` into the name pool; the view stays valid as long as the
    // table (moves included) and until Clear.
    std::u16string_view KeepName(std::u16string_view name);
    // Takes a block of names whole into the pool (its characters do not
    // move), for names that views already point into.
    void AdoptNames(TNameBlock&& block);
    // The bytes of room the name pool holds.
    [[nodiscard]] std::size_t NamePoolBytes() const;
    // Appends a default entry (the array grows as for Add) and gives it.
    TFileID& NewEntry();
    // Appends `entries` as they are, straight after the entries in use (into
    // the room Reserve gave, whose pages the block enumeration has had
    // prepared), and `runs`, built the same way for the same records, to the
    // runs kept.
    void Append(std::span<const TFileID> entries, const TRecordRuns& runs);
    // Memory for `entries` entries, so that adding them copies nothing.
    void Reserve(std::size_t entries);
    // The room the entries in use reach into grows to the next thousand
    // entries, as Add leaves it; gives that room, in entries.
    std::size_t RoundRoom();
    // The memory reserved for entries and for their run entries, for a
    // writer that has the pages where entries will land given first
    // (PrepareLargeRoom); it stays put as long as neither array grows past it.
    struct Room {
        const TFileID* entries = nullptr;
        const TRecordRuns::Entry* runEntries = nullptr;
        std::size_t count = 0; // the entries there is memory for in both
    };
    [[nodiscard]] Room ReservedRoom() const;
    void Clear();
    // Reverses the order of the entries in use.
    void Reverse();

    // Filled by EnumerateFiles in step with the entries (and reversed with
    // them); anything else that adds entries leaves it short, and the stages
    // then read the records themselves.
    [[nodiscard]] const TRecordRuns& recordRuns() const { return recordRuns_; }
    // Appends the runs of the next entry's record (TRecordRuns::AddRecord).
    void AddRecordRuns(std::span<const std::byte> record, bool valid);
    void ClearRecordRuns();
    // Memory for the runs of `entries` records (TRecordRuns::Reserve).
    void ReserveRecordRuns(std::size_t entries);

    // The index of the entry whose FileID is `id`, or -1. A 32-bit number
    // passed here is sign-extended, as the callers expect.
    [[nodiscard]] std::int32_t IndexOfID(std::int64_t id) const;
    // Links every entry to the entry its path continues (PathParent); after
    // it, GetPath gives any entry's path.
    void BuildPaths();
    // The path of entry `index` as it is shown, into `path` (whose room is
    // reused: a caller walking every entry allocates nothing per entry),
    // capped at kMaxPathLength; empty for an index out of range or before
    // BuildPaths. Its names have what is not printable escaped, backslashes
    // included (ondisk/Printable.h), so that every other backslash in it
    // separates two names.
    void GetPath(int index, std::u16string& path) const;
    [[nodiscard]] std::u16string Path(int index) const;
    // The same path of the names exactly as on the disk, for the JSON
    // listings, which give the names exactly: a backslash in it may be part
    // of a name.
    void GetExactPath(int index, std::u16string& path) const;
    // The path of entry `index` as shown, walked up its chain of parents on
    // its own (without BuildPaths' links); the same result as GetPath.
    void GetFullPath(int index, std::u16string& path) const;
    // "Item:%d Base:%d Name:%s Type:%s" of entry `index` (0 to size() - 1),
    // with its path when `fullPath`, else its Name, both as shown.
    [[nodiscard]] std::string ItemToStr(int index, bool fullPath) const;
    // The same text, appended to `out`; `path` is room for the path, reused
    // by a caller that walks every entry.
    void AppendItemText(int index, bool fullPath, std::string& out, std::u16string& path) const;

  private:
    void AssembleEntryPath(int index, bool shown, std::u16string& path) const;

    TRecordRuns recordRuns_;

    // Names, a block at a time: a block is never grown past the room it was
    // given, so the views into it stay put while the table grows. One heap
    // block per some thousands of names instead of a string per entry.
    std::vector<TNameBlock> namePool_;
};

} // namespace lorvex::ntfs

#include "ntfs/FileTable.h"

#include "ntfs/Attributes.h"
#include "ntfs/NTFSVolume.h"
#include "ntfs/RecordBlocks.h"
#include "ondisk/ByteReader.h"
#include "ondisk/FileRecord.h"
#include "ondisk/Printable.h"
#include "ondisk/RunList.h"
#include "ondisk/Utf16.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>

namespace lorvex::ntfs {

using ondisk::ByteReader;
namespace attr = ondisk::attr;
namespace fname = ondisk::filename;
namespace si = ondisk::stdinfo;
namespace type = ondisk::type;

namespace {

constexpr std::size_t kGrowthStep = 1000;

// Real extension records name their base record directly; a chain of base
// references longer than this is damage, and is treated like a base record
// that is not valid.
constexpr int kMaxBaseHops = 16;

// Reserving room for the whole table up front avoids copying it as it grows;
// a damaged record count must not turn that into a huge allocation.
constexpr std::int64_t kMaxReserve = std::int64_t{1} << 24;

void PlaceholderName(std::int64_t recordNo, std::u16string& name) {
    constexpr std::u16string_view kHead = u"\\$### ID=";
    constexpr std::u16string_view kTail = u" ###";
    const std::string number = std::to_string(recordNo);
    name.assign(kHead);
    name.append(number.begin(), number.end());
    name.append(kTail);
}

// The bytes [offset, end of `bytes`), empty when offset lies past it.
std::span<const std::byte> From(std::span<const std::byte> bytes, std::size_t offset) {
    return offset >= bytes.size() ? std::span<const std::byte>{} : bytes.subspan(offset);
}

bool IsResident(std::span<const std::byte> attribute) {
    return ByteReader(attribute).u8(attr::kNonResident).value_or(0) == 0;
}

// The two sizes of a $DATA attribute: the header's when non-resident, the
// value length twice when resident.
void DataSizes(std::span<const std::byte> attribute, std::int64_t& size,
               std::int64_t& allocatedSize) {
    const ByteReader r(attribute);
    if (IsResident(attribute)) {
        size = allocatedSize = r.u32(attr::kValueLength).value_or(0);
    } else {
        allocatedSize = r.i64(attr::kAllocatedSize).value_or(0);
        size = r.i64(attr::kDataSize).value_or(0);
    }
}

// What the $FILE_NAME attributes of one file decide, in the order they are
// met. The last one decides the parent, the last one that is not a DOS name
// decides the name.
struct NameChoice {
    bool found = false;
    bool haveLongName = false;
    std::u16string dosName;
};

void ApplyStandardInformation(std::span<const std::byte> attribute, TFileInfo& info) {
    const ByteReader v(From(attribute, attr::kResidentHeader));
    info.CreationTime = v.i64(si::kCreationTime).value_or(0);
    info.ModificationTime = v.i64(si::kModificationTime).value_or(0);
    info.AccessTime = v.i64(si::kAccessTime).value_or(0);
    info.Flags |= v.u32(si::kFileAttributes).value_or(0);
}

void ApplyFileName(std::span<const std::byte> attribute, bool takeSizes, TFileInfo& info,
                   std::u16string& name, NameChoice& choice) {
    const auto value = From(attribute, attr::kResidentHeader);
    const ByteReader v(value);
    if (takeSizes) {
        info.Size = v.i64(fname::kDataSize).value_or(0);
        info.AllocatedSize = v.i64(fname::kAllocatedSize).value_or(0);
    }
    info.ParentID = v.recordNumber48(fname::kParent).value_or(kRootDirectory);
    info.Flags |= v.u32(fname::kFileAttributes).value_or(0);
    const std::size_t length = v.u8(fname::kNameLength).value_or(0);
    const auto chars = From(value, fname::kName);
    choice.found = true;
    // Decoded straight into the caller's string, whose room is reused from
    // record to record.
    std::u16string& target =
        v.u8(fname::kNamespace).value_or(0) == fname::kNamespaceDos ? choice.dosName : name;
    if (&target == &name) {
        choice.haveLongName = true;
    }
    target.clear();
    target.push_back(u'\\');
    ondisk::AppendUtf16(chars.first(std::min(2 * length, chars.size())), target);
}

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
                    TRecordRuns* runs = nullptr) {
    const ByteReader header(record);
    isDirectory =
        (header.u16(ondisk::record::kFlags).value_or(0) & ondisk::record::kFlagDirectory) != 0;
    isSystem = isSystem || (n < kFirstUserRecord && n != kRootDirectory);

    walk.names.found = false;
    walk.names.haveLongName = false;
    walk.names.dosName.clear();
    walk.haveStandardInformation = false;
    walk.haveData = false;
    walk.list.reset();
    auto attributes = WalkAttributes(record);
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

// What a description settles once every attribute has been seen.
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

// The base record that a record names, or -1 for a base record. Only a base
// record has a reference of 0 as a whole: an extension of record 0 (the
// $MFT's own) has the number 0 and a sequence number.
std::int64_t BaseOf(std::span<const std::byte> record) {
    const ByteReader r(record);
    if (r.u64(ondisk::record::kBaseRecord).value_or(0) == 0) {
        return -1;
    }
    return r.recordNumber48(ondisk::record::kBaseRecord).value_or(-1);
}

// The record part of a file-record query's answer.
std::span<const std::byte> RecordOf(std::span<const std::byte> output, std::size_t recordSize) {
    return output.subspan(platform::filerecord::kFileRecordBuffer, recordSize);
}

// The attribute of `type` with id `id` in `record`, or nothing.
std::optional<ondisk::AttributeSpan> FindAttribute(std::span<const std::byte> record,
                                                   std::uint32_t type, std::uint16_t id) {
    auto walk = WalkAttributes(record);
    while (auto a = walk.Next()) {
        if (a->type == type && ByteReader(a->bytes).u16(attr::kId) == id) {
            return a;
        }
    }
    return std::nullopt;
}

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
    return a > std::numeric_limits<std::int64_t>::max() - b
               ? std::numeric_limits<std::int64_t>::max()
               : a + b;
}

} // namespace

namespace {

// Names go into blocks of this many characters (a longer name gets a block
// of its own): a few hundred blocks for a million entries.
constexpr std::size_t kNameBlock = std::size_t{1} << 16;

} // namespace

TFileIDs::TFileIDs(const TFileIDs& other)
    : FItems(other.FItems), FCount(other.FCount), FRecordRuns(other.FRecordRuns) {
    std::size_t total = 0;
    for (const TFileID& e : FItems) {
        total += e.Name.size();
    }
    TNameBlock names;
    names.reserve(total);
    for (TFileID& e : FItems) {
        const std::size_t at = names.size();
        names.insert(names.end(), e.Name.begin(), e.Name.end());
        e.Name = std::u16string_view(names.data() + at, e.Name.size());
    }
    AdoptNames(std::move(names));
}

TFileIDs& TFileIDs::operator=(const TFileIDs& other) {
    if (this != &other) {
        *this = TFileIDs(other);
    }
    return *this;
}

std::u16string_view TFileIDs::KeepName(std::u16string_view name) {
    if (FNamePool.empty() || FNamePool.back().capacity() - FNamePool.back().size() < name.size()) {
        FNamePool.emplace_back().reserve(std::max(kNameBlock, name.size()));
    }
    TNameBlock& block = FNamePool.back();
    const std::size_t at = block.size();
    // Within the room reserved: the characters before never move.
    block.insert(block.end(), name.begin(), name.end());
    return {block.data() + at, name.size()};
}

void TFileIDs::AdoptNames(TNameBlock&& block) {
    if (block.empty()) {
        return;
    }
    // Kept behind the block being filled, so that KeepName goes on filling it.
    FNamePool.insert(FNamePool.empty() ? FNamePool.end() : FNamePool.end() - 1, std::move(block));
}

std::size_t TFileIDs::NamePoolBytes() const {
    std::size_t bytes = FNamePool.capacity() * sizeof(std::vector<char16_t>);
    for (const auto& block : FNamePool) {
        bytes += block.capacity() * sizeof(char16_t);
    }
    return bytes;
}

TFileID& TFileIDs::NewEntry() {
    ++FCount;
    if (FItems.size() < static_cast<std::size_t>(FCount)) {
        FItems.resize(FItems.size() + kGrowthStep);
    }
    TFileID& e = FItems[static_cast<std::size_t>(FCount - 1)];
    e = TFileID{};
    return e;
}

void TFileIDs::Add(std::u16string_view name, std::uint8_t fileType, const TFileInfo& info,
                   bool fragmented, std::int64_t baseId, std::int64_t fileId) {
    const std::u16string_view kept = KeepName(name);
    TFileID& e = NewEntry();
    e.FileID = fileId;
    e.BaseID = baseId;
    e.ParentID = info.ParentID;
    e.Name = kept;
    e.PathParent = kPathNotBuilt;
    e.FileType = fileType;
    e.Flags = info.Flags;
    e.Fragmented = fragmented;
    e.Size = info.Size;
    e.AllocatedSize = info.AllocatedSize;
    e.DiskSize = 0;
    e.CreationTime = info.CreationTime;
    e.ModificationTime = info.ModificationTime;
    e.AccessTime = info.AccessTime;
    e.Fragments = 0;
}

void TFileIDs::Clear() {
    FItems.clear();
    FCount = 0;
    FRecordRuns.Clear();
    FNamePool.clear();
}

void TFileIDs::Reverse() {
    std::reverse(FItems.begin(), FItems.begin() + FCount);
    for (std::int32_t i = 0; i < FCount; ++i) {
        std::int32_t& link = FItems[static_cast<std::size_t>(i)].PathParent;
        if (link >= 0 && link < FCount) {
            link = FCount - 1 - link;
        }
    }
    if (FRecordRuns.Covers(FCount)) {
        std::reverse(FRecordRuns.Entries.begin(), FRecordRuns.Entries.end());
    }
}

void TRecordRuns::AddRecord(std::span<const std::byte> record, bool valid) {
    BeginRecord();
    if (valid) {
        auto walk = WalkAttributes(record);
        while (const auto a = walk.Next()) {
            AddAttribute(a->type, a->bytes);
        }
    }
}

void TRecordRuns::BeginRecord() {
    Entries.push_back({static_cast<std::uint32_t>(Attributes.size()), 0});
}

void TRecordRuns::AddAttribute(std::uint32_t type, std::span<const std::byte> attribute) {
    if (Overflowed || IsResident(attribute)) {
        return;
    }
    const std::size_t first = Runs.size();
    for (const auto& run : ondisk::DecodeRunList(ondisk::RunListBytes(attribute)).runs) {
        Runs.push_back(TDataRun{run.lcn, run.length, run.sparse});
    }
    if (Runs.size() > std::numeric_limits<std::uint32_t>::max() ||
        Attributes.size() >= std::numeric_limits<std::uint32_t>::max()) {
        Overflowed = true;
        return;
    }
    Attributes.push_back(
        {type, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(Runs.size() - first)});
    ++Entries.back().AttributeCount;
}

void TRecordRuns::Append(const TRecordRuns& next) {
    if (next.Overflowed ||
        Attributes.size() + next.Attributes.size() > std::numeric_limits<std::uint32_t>::max() ||
        Runs.size() + next.Runs.size() > std::numeric_limits<std::uint32_t>::max()) {
        Overflowed = true;
    }
    const auto attributeBase = static_cast<std::uint32_t>(Attributes.size());
    const auto runBase = static_cast<std::uint32_t>(Runs.size());
    // Copied whole and then renumbered where they landed: this runs in the
    // scan's ordered step, one block after another, and an element at a
    // time it was the largest part of that step.
    const std::size_t entriesFrom = Entries.size();
    Entries.insert(Entries.end(), next.Entries.begin(), next.Entries.end());
    for (auto it = Entries.begin() + static_cast<std::ptrdiff_t>(entriesFrom); it != Entries.end();
         ++it) {
        it->FirstAttribute = Overflowed ? 0 : it->FirstAttribute + attributeBase;
    }
    if (Overflowed) {
        return;
    }
    const std::size_t attributesFrom = Attributes.size();
    Attributes.insert(Attributes.end(), next.Attributes.begin(), next.Attributes.end());
    for (auto it = Attributes.begin() + static_cast<std::ptrdiff_t>(attributesFrom);
         it != Attributes.end(); ++it) {
        it->FirstRun += runBase;
    }
    Runs.insert(Runs.end(), next.Runs.begin(), next.Runs.end());
}

void TRecordRuns::Clear() {
    Entries.clear();
    Attributes.clear();
    Runs.clear();
    Overflowed = false;
}

bool TRecordRuns::Covers(std::int32_t count) const {
    return !Overflowed && count >= 0 && Entries.size() == static_cast<std::size_t>(count);
}

std::int32_t TFileIDs::IndexOfID(std::int64_t id) const {
    std::int32_t lo = 0;
    std::int32_t hi = FCount - 1;
    if (hi < 0) {
        return -1;
    }
    // The last entry is tried first.
    if (FItems[static_cast<std::size_t>(hi)].FileID == id) {
        return hi;
    }
    while (hi >= lo) {
        const std::int32_t mid = lo + (hi - lo) / 2;
        const std::int64_t found = FItems[static_cast<std::size_t>(mid)].FileID;
        if (found < id) {
            lo = mid + 1;
        } else if (found == id) {
            return mid;
        } else {
            hi = mid - 1;
        }
    }
    return -1;
}

namespace {

// Where an entry's path starts: below its parent's path, at the root (the
// entry's own name, as every entry whose parent is the root directory), or
// below the orphan marker.
constexpr std::int32_t kParentIsRoot = -2;
constexpr std::int32_t kNoParent = -1;

std::int32_t ParentIndex(const TFileIDs& table, const TFileID& entry) {
    // The whole 48-bit number is looked up: cut to 32 bits, a damaged parent
    // number could name some unrelated entry.
    return entry.ParentID == kRootDirectory ? kParentIsRoot : table.IndexOfID(entry.ParentID);
}

// Builds a path from the names of an entry and its parents, walked upwards
// by `walk` (which calls its argument with each name until that answers
// false or the chain ends, and returns where the chain's top starts its
// path). Two passes: the first measures, the second fills `path` from its
// end, so nothing but `path` itself is allocated, and a path over the cap
// stops both walks at the cap, however deep the entry is.
template <typename Walk> void AssemblePath(const Walk& walk, std::u16string& path) {
    constexpr std::size_t kRoom = kMaxPathLength - kLongPathMarker.size();
    std::size_t total = 0;
    std::size_t count = 0;
    std::size_t fitLength = 0;
    std::size_t fitCount = 0;
    bool over = false;
    const std::u16string_view top = walk([&](std::u16string_view name) {
        total += name.size();
        ++count;
        // The entry's own name is always kept.
        if (total <= kRoom || count == 1) {
            fitLength = total;
            fitCount = count;
        }
        over = total > kMaxPathLength;
        return !over;
    });
    std::u16string_view head = top;
    std::size_t names = count;
    std::size_t length = total;
    if (over || total + top.size() > kMaxPathLength) {
        head = kLongPathMarker;
        names = fitCount;
        length = fitLength;
    }
    path.resize(head.size() + length);
    std::copy(head.begin(), head.end(), path.begin());
    std::size_t end = path.size();
    std::size_t done = 0;
    if (names == 0) {
        return;
    }
    walk([&](std::u16string_view name) {
        end -= name.size();
        std::copy(name.begin(), name.end(), path.begin() + static_cast<std::ptrdiff_t>(end));
        return ++done < names;
    });
}

} // namespace

void TFileIDs::BuildPaths() {
    const auto count = static_cast<std::size_t>(std::max(FCount, 0));
    // Four or five bytes per entry in three arrays: in huge pages once large.
    using Indexes = std::vector<std::int32_t, LargeArrayAllocator<std::int32_t>>;
    Indexes parent(count);
    // A scan's table holds its records in rising order, nearly every number
    // in use: a table from record number to index answers each parent at
    // once, where a binary search per entry was most of this stage.
    bool rising = count > 0 && FItems[0].FileID >= 0;
    for (std::size_t i = 1; i < count && rising; ++i) {
        rising = FItems[i].FileID > FItems[i - 1].FileID;
    }
    const std::int64_t top = rising ? FItems[count - 1].FileID : -1;
    if (rising && static_cast<std::uint64_t>(top) < 4 * static_cast<std::uint64_t>(count) + 1024) {
        Indexes indexOf(static_cast<std::size_t>(top) + 1, kNoParent);
        for (std::size_t i = 0; i < count; ++i) {
            indexOf[static_cast<std::size_t>(FItems[i].FileID)] = static_cast<std::int32_t>(i);
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t id = FItems[i].ParentID;
            parent[i] = id == kRootDirectory   ? kParentIsRoot
                        : id >= 0 && id <= top ? indexOf[static_cast<std::size_t>(id)]
                                               : kNoParent;
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            parent[i] = ParentIndex(*this, FItems[i]);
        }
    }
    // Each path is its parent's path and its own name. A chain is followed
    // upwards until it reaches an entry already linked or one whose path
    // starts at once; a chain that meets itself again is a loop, and every
    // entry of the loop is put under the orphan marker (which entry the walk
    // happened to start from must not matter).
    enum : std::uint8_t { kNew, kOnChain, kInLoop, kDone };
    std::vector<std::uint8_t, LargeArrayAllocator<std::uint8_t>> state(count, kNew);
    std::vector<std::size_t> chain;
    for (std::size_t start = 0; start < count; ++start) {
        chain.clear();
        for (std::size_t cur = start; state[cur] == kNew;) {
            state[cur] = kOnChain;
            chain.push_back(cur);
            const std::int32_t p = parent[cur];
            if (p < 0) {
                break;
            }
            const auto up = static_cast<std::size_t>(p);
            if (state[up] == kOnChain) {
                for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
                    state[*it] = kInLoop;
                    if (*it == up) {
                        break;
                    }
                }
                break;
            }
            cur = up;
        }
        for (const std::size_t i : chain) {
            const std::int32_t p = parent[i];
            FItems[i].PathParent = p == kParentIsRoot                      ? kPathFromRoot
                                   : p == kNoParent || state[i] == kInLoop ? kPathOrphan
                                                                           : p;
            state[i] = kDone;
        }
    }
}

namespace {

// An entry's Name as a path shows it (AppendShownName), in `room` when it
// differs from the Name.
std::u16string_view ShownName(std::u16string_view stored, std::u16string& room) {
    const bool separated = stored.starts_with(u'\\');
    const std::u16string_view name = separated ? stored.substr(1) : stored;
    if (ondisk::IsPrintableName(name)) {
        return stored;
    }
    room.assign(separated ? u"\\" : u"");
    ondisk::AppendPrintableName(name, room);
    return room;
}

} // namespace

void AppendShownName(std::u16string_view name, std::string& out) {
    if (name.starts_with(u'\\')) {
        out.push_back('\\');
        name.remove_prefix(1);
    }
    ondisk::AppendPrintableName(name, out);
}

void TFileIDs::AssembleEntryPath(int index, bool shown, std::u16string& path) const {
    path.clear();
    if (index < 0 || index >= FCount ||
        FItems[static_cast<std::size_t>(index)].PathParent == kPathNotBuilt) {
        return;
    }
    std::u16string room;
    // AssemblePath walks the chain twice; when the first walk met no name
    // to escape, the second takes the names as they are.
    int walks = 0;
    bool escaped = false;
    AssemblePath(
        [&](const auto& visit) -> std::u16string_view {
            const bool look = shown && (++walks == 1 || escaped);
            std::int32_t cur = index;
            // BuildPaths leaves no loop; the count only guards against links
            // set by hand.
            for (std::int32_t steps = 0; steps <= FCount; ++steps) {
                const TFileID& e = FItems[static_cast<std::size_t>(cur)];
                std::u16string_view name = e.Name;
                if (look) {
                    name = ShownName(name, room);
                    escaped = escaped || name.data() != e.Name.data();
                }
                if (!visit(name)) {
                    return {};
                }
                cur = e.PathParent;
                if (cur == kPathFromRoot) {
                    return {};
                }
                if (cur < 0 || cur >= FCount) {
                    return kOrphanMarker;
                }
            }
            return kOrphanMarker;
        },
        path);
}

void TFileIDs::GetPath(int index, std::u16string& path) const {
    AssembleEntryPath(index, true, path);
}

void TFileIDs::GetExactPath(int index, std::u16string& path) const {
    AssembleEntryPath(index, false, path);
}

std::u16string TFileIDs::Path(int index) const {
    std::u16string path;
    GetPath(index, path);
    return path;
}

void TFileIDs::GetFullPath(int index, std::u16string& path) const {
    path.clear();
    if (index < 0 || index >= FCount) {
        return;
    }
    // The chain from the entry upwards, until the root, a missing parent or
    // an entry met before (a loop, whose entries all start at the marker).
    std::vector<std::int32_t> chain;
    std::vector<bool> seen(static_cast<std::size_t>(FCount), false);
    std::size_t loopStart = std::numeric_limits<std::size_t>::max();
    std::int32_t cur = index;
    std::int32_t top = kNoParent;
    for (;;) {
        seen[static_cast<std::size_t>(cur)] = true;
        chain.push_back(cur);
        top = ParentIndex(*this, FItems[static_cast<std::size_t>(cur)]);
        if (top < 0) {
            break;
        }
        if (seen[static_cast<std::size_t>(top)]) {
            loopStart = static_cast<std::size_t>(std::find(chain.begin(), chain.end(), top) -
                                                 chain.begin());
            break;
        }
        cur = top;
    }
    std::size_t last = chain.size() - 1;
    if (loopStart != std::numeric_limits<std::size_t>::max()) {
        last = loopStart;
        top = kNoParent;
    }
    const std::u16string_view start = top == kParentIsRoot ? u"" : kOrphanMarker;
    std::u16string room;
    AssemblePath(
        [&](const auto& visit) {
            for (std::size_t k = 0; k <= last; ++k) {
                if (!visit(ShownName(FItems[static_cast<std::size_t>(chain[k])].Name, room))) {
                    break;
                }
            }
            return start;
        },
        path);
}

void TNTFSVolume::DescribeFile(bool& isDirectory, bool& isSystem, std::u16string& name,
                               TFileInfo& info, std::int64_t recordNo) {
    // The caller reuses its variables from record to record: whatever this
    // record does not give must not keep the last one's values. An entry
    // whose base record is not valid is a nameless, empty file in the root.
    isDirectory = false;
    PlaceholderName(recordNo, name);
    info = TFileInfo{};
    info.ParentID = kRootDirectory;

    const std::size_t recordSize = FBytesPerFileRecordSegment;
    std::vector<std::byte> output(GetRecordOutputSize());
    std::int64_t n = recordNo;
    for (int hop = 0;; ++hop) {
        // A free record answers with another one, which must not be taken
        // for this file's base.
        if (hop > kMaxBaseHops || FetchFileRecord(output, n) != n ||
            !IsValidRecord(RecordOf(output, recordSize))) {
            return;
        }
        const std::int64_t base = BaseOf(RecordOf(output, recordSize));
        if (base < 0) {
            break;
        }
        n = base;
    }
    BaseWalk walk;
    WalkBaseRecord(RecordOf(output, recordSize), n, isDirectory, isSystem, name, info, walk);
    NameChoice& names = walk.names;
    bool& haveStandardInformation = walk.haveStandardInformation;
    bool& haveData = walk.haveData;
    const std::optional<ondisk::AttributeSpan>& list = walk.list;

    // A base record without a $FILE_NAME of its own, or with none but a DOS
    // name, keeps its names in extension records (heavily fragmented files,
    // files with many hard links): their $FILE_NAME attributes follow the
    // base record's own, in list order, and with them come a
    // $STANDARD_INFORMATION or first $DATA the base record lacks. Only
    // records that name this one as their base count.
    if (!names.haveLongName && list) {
        const auto value = ReadAttributeListValue(*this, list->bytes);
        std::vector<std::byte> extension(GetRecordOutputSize());
        const auto holder = RecordOf(extension, recordSize);
        std::int64_t fetched = -1;
        for (const auto& entry :
             DecodeAttributeList(value, static_cast<std::uint32_t>(value.size()))) {
            const bool wanted =
                entry.Type == type::kFileName ||
                (entry.Type == type::kStandardInformation && !haveStandardInformation) ||
                (entry.Type == type::kData && !haveData);
            // What the base record holds, the walk above has taken already.
            if (!wanted || entry.RecordNo == n) {
                continue;
            }
            if (entry.RecordNo != fetched) {
                fetched = -1;
                if (FetchFileRecord(extension, entry.RecordNo) == entry.RecordNo &&
                    IsValidRecord(holder) && BaseOf(holder) == n) {
                    fetched = entry.RecordNo;
                }
            }
            if (fetched < 0) {
                continue;
            }
            const auto a = FindAttribute(holder, entry.Type, entry.AttributeID);
            if (!a) {
                continue;
            }
            if (entry.Type == type::kFileName) {
                // The sizes of the first $DATA stand over those of $FILE_NAME,
                // as they do in a base record where $DATA comes later.
                ApplyFileName(a->bytes, !haveData, info, name, names);
            } else if (entry.Type == type::kStandardInformation) {
                ApplyStandardInformation(a->bytes, info);
                haveStandardInformation = true;
            } else {
                DataSizes(a->bytes, info.Size, info.AllocatedSize);
                haveData = true;
            }
        }
    }

    FinishDescription(walk, name, info);
}

void TNTFSVolume::ReadRecordSizes(std::int64_t& size, std::int64_t& allocatedSize,
                                  std::int64_t recordNo) {
    std::vector<std::byte> output(GetRecordOutputSize());
    const auto record = RecordOf(output, FBytesPerFileRecordSegment);
    if (FetchFileRecord(output, recordNo) != recordNo || !IsValidRecord(record)) {
        return;
    }
    auto walk = WalkAttributes(record);
    while (const auto a = walk.Next()) {
        if (a->type == type::kFileName) {
            const ByteReader v(From(a->bytes, attr::kResidentHeader));
            size = v.i64(fname::kDataSize).value_or(0);
            allocatedSize = v.i64(fname::kAllocatedSize).value_or(0);
            if (size != 0 && allocatedSize != 0) {
                return;
            }
        } else if (a->type == type::kData) {
            DataSizes(a->bytes, size, allocatedSize);
            return;
        }
    }
}

namespace {

// One block's entries, made by the thread that visited it and taken into the
// table in record order. The room is reused from block to block: fresh
// vectors for every block were a page fault every few entries.
struct BlockResult {
    std::vector<TFileID> entries;
    // Positions in `entries` of the entries described later, through the
    // volume: an extension record (its base may lie in another block) or a
    // base record whose names are in extension records. Rare, and the
    // volume's reader is not shared.
    std::vector<std::int32_t> deferred;
    TRecordRuns runs;

    void Clear() {
        entries.clear();
        deferred.clear();
        runs.Clear();
    }
};

// The names of one thread's entries. A block of them is never grown past the
// room it was given, so the entries' views into it stay put, in the table
// too once the table takes the blocks.
class NameRoom {
  public:
    explicit NameRoom(std::size_t chars) : FChars(chars) {}

    std::u16string_view Keep(std::u16string_view name) {
        if (FBlock.capacity() - FBlock.size() < name.size()) {
            if (!FBlock.empty()) {
                FFull.push_back(std::move(FBlock));
            }
            FBlock = TNameBlock();
            FBlock.reserve(std::max(FChars, name.size()));
        }
        const std::size_t at = FBlock.size();
        FBlock.insert(FBlock.end(), name.begin(), name.end());
        return {FBlock.data() + at, name.size()};
    }

    void HandTo(TFileIDs& table) {
        for (TNameBlock& block : FFull) {
            table.AdoptNames(std::move(block));
        }
        FFull.clear();
        table.AdoptNames(std::move(FBlock));
        FBlock = TNameBlock();
    }

  private:
    std::size_t FChars;
    TNameBlock FBlock;
    std::vector<TNameBlock> FFull;
};

// The characters a thread's name blocks hold: room for the names of its
// share of the table (a name and its backslash come to 16 to 30 characters),
// at most a huge page's worth, the pages a large table's names are kept in.
std::size_t NameBlockChars(std::int64_t last, unsigned threads) {
    constexpr std::size_t kFew = std::size_t{1} << 12;
    constexpr std::size_t kMost = kHugePageBytes / sizeof(char16_t);
    const auto entries = static_cast<std::uint64_t>(std::max<std::int64_t>(last, 0)) + 1;
    const std::uint64_t share = entries * 24 / std::max(threads, 1U);
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(share, kFew, kMost));
}

// What one thread reuses from record to record.
struct Describer {
    explicit Describer(std::size_t nameChars) : names(nameChars) {}

    std::u16string name;
    BaseWalk walk;
    NameRoom names;

    void Block(const TRecordBlock& block, BlockResult& out) {
        out.entries.reserve(block.Count());
        for (std::size_t i = 0; i < block.Count(); ++i) {
            if (block.Readable[i] == 0) {
                continue;
            }
            const std::int64_t n = block.First + static_cast<std::int64_t>(i);
            const auto record = block.Record(i);
            const bool valid = IsValidRecord(record);
            // Read from the record valid or not, as the query's readers do.
            const std::int64_t base = BaseOf(record);
            TFileID& entry = out.entries.emplace_back();
            entry.FileID = n;
            entry.BaseID = base < 0 ? n : base;
            if (base >= 0 && base != n) {
                out.runs.AddRecord(record, valid);
                out.deferred.push_back(static_cast<std::int32_t>(out.entries.size() - 1));
                continue;
            }
            bool isDirectory = false;
            bool isSystem = false;
            TFileInfo info;
            info.ParentID = kRootDirectory;
            if (!valid) {
                PlaceholderName(n, name);
                out.runs.AddRecord(record, false);
            } else {
                // One walk of the record for its description and its runs.
                out.runs.BeginRecord();
                WalkBaseRecord(record, n, isDirectory, isSystem, name, info, walk, &out.runs);
                if (walk.NeedsExtensions()) {
                    out.deferred.push_back(static_cast<std::int32_t>(out.entries.size() - 1));
                    continue;
                }
                FinishDescription(walk, name, info);
                // Only a record without any $FILE_NAME keeps the placeholder.
                if (!walk.names.found) {
                    PlaceholderName(n, name);
                }
            }
            entry.ParentID = info.ParentID;
            entry.Name = names.Keep(name);
            entry.FileType = FileTypeOf(n, isSystem, isDirectory);
            entry.Flags = info.Flags;
            entry.Size = info.Size;
            entry.AllocatedSize = info.AllocatedSize;
            entry.CreationTime = info.CreationTime;
            entry.ModificationTime = info.ModificationTime;
            entry.AccessTime = info.AccessTime;
        }
    }
};

} // namespace

void TNTFSVolume::EnumerateInBlocks(const platform::FileRecordBlocks& source, std::int64_t last,
                                    TFileIDs& fileIds, const std::function<void()>& processEvents) {
    const unsigned threads = ScanThreads();
    const std::size_t blocks = RecordBlockCount(last, source.recordSize());
    // The entries go straight to their places in the table; nothing stands
    // in them before.
    fileIds.FItems.clear();
    std::vector<std::unique_ptr<Describer>> describers;
    describers.reserve(threads);
    for (unsigned t = 0; t < threads; ++t) {
        describers.push_back(std::make_unique<Describer>(NameBlockChars(last, threads)));
    }
    std::vector<std::unique_ptr<BlockResult>> results(blocks);
    // The results through the ordered step, for the blocks after them.
    std::mutex spareMutex;
    std::vector<std::unique_ptr<BlockResult>> spare;
    std::vector<std::int32_t> deferred;
    // The ordered step copies each block's entries and run entries into the
    // table, one block at a time; on a large table the pages it writes are
    // given by the thread that visited the block, side by side with the
    // others, where the entries will most likely land: as many entries per
    // record as in the blocks already in the table.
    std::atomic<std::int64_t> placedRecords{0};
    std::atomic<std::int64_t> placedEntries{0};
    const std::size_t roomEntries =
        std::min(fileIds.FItems.capacity(), fileIds.FRecordRuns.Entries.capacity());
    const bool prepare = roomEntries * sizeof(TFileID) >= kLargeArrayBytes &&
                         roomEntries >= static_cast<std::size_t>(last) + 1;
    TFileID* const tableRoom = fileIds.FItems.data();
    TRecordRuns::Entry* const runsRoom = fileIds.FRecordRuns.Entries.data();
    const auto prepareRoom = [&](const TRecordBlock& block, std::size_t entries) {
        const std::int64_t records = placedRecords.load(std::memory_order_relaxed);
        const double share =
            records > 0 ? static_cast<double>(placedEntries.load(std::memory_order_relaxed)) /
                              static_cast<double>(records)
                        : 1.0;
        const auto first = std::min(
            static_cast<std::size_t>(static_cast<double>(block.First) * share), roomEntries);
        const std::size_t count = std::min(entries, roomEntries - first);
        PrepareLargeRoom(tableRoom + first, count * sizeof(TFileID));
        PrepareLargeRoom(runsRoom + first, count * sizeof(TRecordRuns::Entry));
    };
    TRecordBlockWalk walk;
    walk.visit = [&](std::size_t index, const TRecordBlock& block) {
        // Filled apart and moved in once done: results side by side share
        // cache lines, which two cores appending to them would pass back
        // and forth.
        std::unique_ptr<BlockResult> result;
        {
            const std::lock_guard lock(spareMutex);
            if (!spare.empty()) {
                result = std::move(spare.back());
                spare.pop_back();
            }
        }
        if (!result) {
            result = std::make_unique<BlockResult>();
        }
        describers[block.Worker]->Block(block, *result);
        if (prepare) {
            prepareRoom(block, result->entries.size());
        }
        results[index] = std::move(result);
    };
    // The blocks join the table in record order, each as soon as its turn
    // comes, so that the block results never add up to a second table.
    walk.inOrder = [&](std::size_t index) {
        std::unique_ptr<BlockResult> result = std::move(results[index]);
        for (const std::int32_t at : result->deferred) {
            deferred.push_back(fileIds.FCount + at);
        }
        fileIds.FItems.insert(fileIds.FItems.end(), result->entries.begin(), result->entries.end());
        fileIds.FCount += static_cast<std::int32_t>(result->entries.size());
        fileIds.FRecordRuns.Append(result->runs);
        placedRecords.store(
            static_cast<std::int64_t>((index + 1) * RecordsPerBlock(source.recordSize())),
            std::memory_order_relaxed);
        placedEntries.store(fileIds.FCount, std::memory_order_relaxed);
        result->Clear();
        const std::lock_guard lock(spareMutex);
        spare.push_back(std::move(result));
    };
    // A block's result is a tenth of a MiB or so; on a busy machine the
    // thread that holds the turn's block can be off its core for several
    // time slices, and 32 blocks are some ten milliseconds of work for the
    // others meanwhile.
    walk.ahead = 32;
    walk.tick = [this, &processEvents](double done) {
        FProgress = done * 100.0;
        if (processEvents) {
            processEvents();
        }
    };
    // The entries in the table keep their names where the threads put them.
    const auto handNames = [&] {
        for (const auto& describer : describers) {
            describer->names.HandTo(fileIds);
        }
    };
    try {
        WalkRecordBlocks(source, last, threads, walk);
    } catch (...) {
        handNames();
        throw;
    }
    handNames();
    // Room up to the next thousand, as the table grows when entries are
    // added one at a time.
    const auto used = static_cast<std::size_t>(fileIds.FCount);
    fileIds.FItems.resize((used + kGrowthStep - 1) / kGrowthStep * kGrowthStep);
    if (prepare) {
        // Room prepared beyond the entries after all (the records after the
        // blocks seen were sparser than those before) goes back.
        const std::size_t size = fileIds.FItems.size();
        ReleaseLargeRoom(tableRoom + size, (roomEntries - size) * sizeof(TFileID));
        const std::size_t runs = fileIds.FRecordRuns.Entries.size();
        ReleaseLargeRoom(runsRoom + runs, (roomEntries - runs) * sizeof(TRecordRuns::Entry));
    }

    bool isDirectory = false;
    bool isSystem = false;
    std::u16string name;
    TFileInfo info;
    for (const std::int32_t index : deferred) {
        TFileID& e = fileIds.FItems[static_cast<std::size_t>(index)];
        isSystem = false;
        DescribeFile(isDirectory, isSystem, name, info, e.BaseID);
        if (e.FileID != e.BaseID) {
            ReadRecordSizes(info.Size, info.AllocatedSize, e.FileID);
        }
        const std::int64_t fileId = e.FileID;
        const std::int64_t baseId = e.BaseID;
        e = TFileID{};
        e.FileID = fileId;
        e.BaseID = baseId;
        e.ParentID = info.ParentID;
        e.Name = fileIds.KeepName(name);
        e.FileType = FileTypeOf(baseId, isSystem, isDirectory);
        e.Flags = info.Flags;
        e.Size = info.Size;
        e.AllocatedSize = info.AllocatedSize;
        e.CreationTime = info.CreationTime;
        e.ModificationTime = info.ModificationTime;
        e.AccessTime = info.AccessTime;
    }
}

void TNTFSVolume::EnumerateFiles(TFileIDs& fileIds, const std::function<void()>& processEvents) {
    // A failed query answers -1; there is then nothing but record 0 to try.
    const std::int64_t last = std::max<std::int64_t>(GetLastRecordNumber(), 0);
    if (OpenVolume()) {
        if (fileIds.FCount == 0) {
            const auto entries = static_cast<std::size_t>(std::min(last + 1, kMaxReserve));
            const std::size_t room = (entries + kGrowthStep - 1) / kGrowthStep * kGrowthStep;
            fileIds.FItems.reserve(room);
            // A table built from nothing reads the $MFT in large blocks, on
            // every core, where the volume layer offers that.
            if (const auto blocks = OpenRecordBlocks()) {
                fileIds.FRecordRuns.Clear();
                // Room for an entry per record, and for as many attributes
                // with runs and as many runs as a volume of files mostly
                // non-resident has: only the pages written are ever taken,
                // and the arrays are not copied as they grow.
                fileIds.FRecordRuns.Entries.reserve(room);
                fileIds.FRecordRuns.Attributes.reserve(room);
                fileIds.FRecordRuns.Runs.reserve(room);
                EnumerateInBlocks(*blocks, last, fileIds, processEvents);
                CloseVolume();
                return;
            }
        }
        bool isDirectory = false;
        bool isSystem = false;
        std::u16string name;
        TFileInfo info;
        std::int64_t baseId = 0;
        std::int64_t cur = last + 1;
        // Only a table built here from nothing has its runs kept in step.
        const bool keepRuns = fileIds.FCount == 0;
        fileIds.FRecordRuns.Clear();
        do {
            --cur;
            const std::int64_t r = ReadRecordBase(baseId, cur);
            if (r != cur) {
                // Record cur is free and the answer is the nearest lower one
                // in use (or 0 when the query failed): go straight there. An
                // answer that is not lower would never end the walk; it only
                // skips this number.
                if (r >= 0 && r < cur) {
                    cur = r + 1;
                }
            } else {
                if (keepRuns) {
                    // FRecord holds record cur right now; nothing below
                    // fetches into it.
                    fileIds.FRecordRuns.AddRecord(FRecord.FileRecordBuffer,
                                                  FRecord.FileReferenceNumber == cur &&
                                                      IsValidRecord(FRecord.FileRecordBuffer));
                }
                isSystem = false;
                DescribeFile(isDirectory, isSystem, name, info, baseId);
                if (cur != baseId) {
                    ReadRecordSizes(info.Size, info.AllocatedSize, cur);
                }
                const bool system = baseId < kFirstUserRecord || isSystem;
                std::uint8_t fileType = kTypeFile;
                if (system) {
                    fileType = baseId == 11 ? kTypeSystemDirectory : kTypeSystem;
                } else if (isDirectory) {
                    fileType = kTypeDirectory;
                }
                fileIds.Add(name, fileType, info, false, baseId, cur);
            }
            // With nothing but record 0 to visit, one visit is the whole stage.
            FProgress = last == 0
                            ? 100.0
                            : static_cast<double>(last - cur) / static_cast<double>(last) * 100.0;
            if (processEvents) {
                processEvents();
            }
        } while (cur != 0);
    }
    CloseVolume();
    fileIds.Reverse();
}

namespace {
// Damaged run lengths can claim more than 64 bits of bytes.
std::int64_t DiskBytes(std::int64_t clusters, std::int64_t bytesPerCluster) {
    return bytesPerCluster != 0 &&
                   clusters > std::numeric_limits<std::int64_t>::max() / bytesPerCluster
               ? std::numeric_limits<std::int64_t>::max()
               : clusters * bytesPerCluster;
}

// The clusters and the count of the allocated runs of one record.
struct DiskUse {
    std::int64_t clusters = 0;
    std::uint32_t count = 0;

    void Add(std::span<const TDataRun> runs) {
        for (const TDataRun& run : runs) {
            if (!run.Sparse) {
                clusters = SaturatingAdd(clusters, run.Length);
                ++count;
            }
        }
    }
};
} // namespace

void TNTFSVolume::CalculateDiskSizes(TFileIDs& fileIds) {
    const std::int64_t bytesPerCluster = FBytesPerCluster;
    if (!OpenVolume()) {
        return;
    }
    const TRecordRuns& kept = fileIds.FRecordRuns;
    if (kept.Covers(fileIds.FCount)) {
        for (std::int32_t i = 0; i < fileIds.FCount; ++i) {
            TFileID& e = fileIds.FItems[static_cast<std::size_t>(i)];
            const TRecordRuns::Entry& entry = kept.Entries[static_cast<std::size_t>(i)];
            DiskUse use;
            for (std::uint32_t a = 0; a < entry.AttributeCount; ++a) {
                const TRecordRuns::Attribute& attribute = kept.Attributes[entry.FirstAttribute + a];
                use.Add(std::span(kept.Runs).subspan(attribute.FirstRun, attribute.RunCount));
            }
            e.DiskSize = DiskBytes(use.clusters, bytesPerCluster);
            e.Fragments = use.count;
        }
        CloseVolume();
        return;
    }
    // One fetch per entry: the walk that lists the attributes is the walk
    // that finds their runs, so the record is not fetched again per attribute.
    TDataRuns runs;
    for (std::int32_t i = 0; i < fileIds.FCount; ++i) {
        TFileID& e = fileIds.FItems[static_cast<std::size_t>(i)];
        DiskUse use;
        if (ReadFileRecord(e.FileID) == e.FileID && FRecord.FileReferenceNumber == e.FileID &&
            IsValidRecord(FRecord.FileRecordBuffer)) {
            auto walk = WalkAttributes(FRecord.FileRecordBuffer);
            while (const auto a = walk.Next()) {
                if (IsResident(a->bytes)) {
                    continue;
                }
                runs.Clear();
                AppendAttributeRuns(a->bytes, runs);
                use.Add(std::span(runs.FItems).first(static_cast<std::size_t>(runs.FCount)));
            }
        }
        e.DiskSize = DiskBytes(use.clusters, bytesPerCluster);
        e.Fragments = use.count;
    }
    CloseVolume();
}

} // namespace lorvex::ntfs

#include "ntfs/FileTable.h"

#include "ntfs/RecordDescription.h"
#include "ondisk/Printable.h"

#include <algorithm>
#include <limits>

namespace lorvex::ntfs {

namespace {

// Names go into blocks of this many characters (a longer name gets a block
// of its own): a few hundred blocks for a million entries.
constexpr std::size_t kNameBlock = std::size_t{1} << 16;

} // namespace

TFileIDs::TFileIDs(const TFileIDs& other) : CountedArray(other), recordRuns_(other.recordRuns_) {
    std::size_t total = 0;
    for (const TFileID& e : items_) {
        total += e.Name.size();
    }
    TNameBlock names;
    names.reserve(total);
    for (TFileID& e : items_) {
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
    if (namePool_.empty() || namePool_.back().capacity() - namePool_.back().size() < name.size()) {
        namePool_.emplace_back().reserve(std::max(kNameBlock, name.size()));
    }
    TNameBlock& block = namePool_.back();
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
    namePool_.insert(namePool_.empty() ? namePool_.end() : namePool_.end() - 1, std::move(block));
}

std::size_t TFileIDs::NamePoolBytes() const {
    std::size_t bytes = namePool_.capacity() * sizeof(std::vector<char16_t>);
    for (const auto& block : namePool_) {
        bytes += block.capacity() * sizeof(char16_t);
    }
    return bytes;
}

TFileID& TFileIDs::NewEntry() {
    TFileID& e = Grow(kEntryGrowthStep);
    e = TFileID{};
    return e;
}

void TFileIDs::Append(std::span<const TFileID> entries, const TRecordRuns& runs) {
    // The room past the entries in use holds nothing that is kept.
    items_.resize(static_cast<std::size_t>(count_));
    items_.insert(items_.end(), entries.begin(), entries.end());
    count_ += static_cast<std::int32_t>(entries.size());
    recordRuns_.Append(runs);
}

void TFileIDs::Reserve(std::size_t entries) {
    items_.reserve(entries);
}

std::size_t TFileIDs::RoundRoom() {
    const auto used = static_cast<std::size_t>(count_);
    items_.resize((used + kEntryGrowthStep - 1) / kEntryGrowthStep * kEntryGrowthStep);
    return items_.size();
}

TFileIDs::Room TFileIDs::ReservedRoom() const {
    return {items_.data(), recordRuns_.Entries.data(),
            std::min(items_.capacity(), recordRuns_.Entries.capacity())};
}

void TFileIDs::AddRecordRuns(std::span<const std::byte> record, bool valid) {
    recordRuns_.AddRecord(record, valid);
}

void TFileIDs::ClearRecordRuns() {
    recordRuns_.Clear();
}

void TFileIDs::ReserveRecordRuns(std::size_t entries) {
    recordRuns_.Reserve(entries);
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
    items_.clear();
    count_ = 0;
    recordRuns_.Clear();
    namePool_.clear();
}

void TFileIDs::Reverse() {
    std::reverse(begin(), end());
    for (TFileID& e : *this) {
        std::int32_t& link = e.PathParent;
        if (link >= 0 && link < count_) {
            link = count_ - 1 - link;
        }
    }
    if (recordRuns_.Covers(count_)) {
        std::reverse(recordRuns_.Entries.begin(), recordRuns_.Entries.end());
    }
}

std::int32_t TFileIDs::IndexOfID(std::int64_t id) const {
    std::int32_t lo = 0;
    std::int32_t hi = count_ - 1;
    if (hi < 0) {
        return -1;
    }
    // The last entry is tried first.
    if (items_[static_cast<std::size_t>(hi)].FileID == id) {
        return hi;
    }
    while (hi >= lo) {
        const std::int32_t mid = lo + (hi - lo) / 2;
        const std::int64_t found = items_[static_cast<std::size_t>(mid)].FileID;
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
    const auto count = static_cast<std::size_t>(std::max(count_, 0));
    // Four or five bytes per entry in three arrays: in huge pages once large.
    using Indexes = std::vector<std::int32_t, LargeArrayAllocator<std::int32_t>>;
    Indexes parent(count);
    // A scan's table holds its records in rising order, nearly every number
    // in use: a table from record number to index answers each parent at
    // once, where a binary search per entry was most of this stage.
    bool rising = count > 0 && items_[0].FileID >= 0;
    for (std::size_t i = 1; i < count && rising; ++i) {
        rising = items_[i].FileID > items_[i - 1].FileID;
    }
    const std::int64_t top = rising ? items_[count - 1].FileID : -1;
    if (rising && static_cast<std::uint64_t>(top) < 4 * static_cast<std::uint64_t>(count) + 1024) {
        Indexes indexOf(static_cast<std::size_t>(top) + 1, kNoParent);
        for (std::size_t i = 0; i < count; ++i) {
            indexOf[static_cast<std::size_t>(items_[i].FileID)] = static_cast<std::int32_t>(i);
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t id = items_[i].ParentID;
            parent[i] = id == kRootDirectory   ? kParentIsRoot
                        : id >= 0 && id <= top ? indexOf[static_cast<std::size_t>(id)]
                                               : kNoParent;
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            parent[i] = ParentIndex(*this, items_[i]);
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
            items_[i].PathParent = p == kParentIsRoot                      ? kPathFromRoot
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
    room.clear();
    if (separated) {
        room.push_back(u'\\');
    }
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
    if (index < 0 || index >= count_ ||
        items_[static_cast<std::size_t>(index)].PathParent == kPathNotBuilt) {
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
            for (std::int32_t steps = 0; steps <= count_; ++steps) {
                const TFileID& e = items_[static_cast<std::size_t>(cur)];
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
                if (cur < 0 || cur >= count_) {
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
    if (index < 0 || index >= count_) {
        return;
    }
    // The chain from the entry upwards, until the root, a missing parent or
    // an entry met before (a loop, whose entries all start at the marker).
    std::vector<std::int32_t> chain;
    std::vector<bool> seen(static_cast<std::size_t>(count_), false);
    std::size_t loopStart = std::numeric_limits<std::size_t>::max();
    std::int32_t cur = index;
    std::int32_t top = kNoParent;
    for (;;) {
        seen[static_cast<std::size_t>(cur)] = true;
        chain.push_back(cur);
        top = ParentIndex(*this, items_[static_cast<std::size_t>(cur)]);
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
                if (!visit(ShownName(items_[static_cast<std::size_t>(chain[k])].Name, room))) {
                    break;
                }
            }
            return start;
        },
        path);
}

} // namespace lorvex::ntfs

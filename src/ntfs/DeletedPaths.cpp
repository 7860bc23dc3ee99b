#include "ntfs/DeletedEntries.h"
#include "ntfs/DeletedRecords.h"
#include "ondisk/Printable.h"

#include <algorithm>

namespace lorvex::ntfs {

std::span<const DeletedName> DeletedEntries::Names(const DeletedEntry& entry) const {
    return std::span(names_).subspan(entry.firstName, entry.nameCount);
}

std::span<const DeletedStream> DeletedEntries::Streams(const DeletedEntry& entry) const {
    return std::span(streams_).subspan(entry.firstStream, entry.streamCount);
}

std::span<const DeletedPiece> DeletedEntries::Pieces(const DeletedStream& stream) const {
    return std::span(pieces_).subspan(stream.firstPiece, stream.pieceCount);
}

std::u16string_view DeletedEntries::Pooled(std::uint32_t first, std::uint32_t length) const {
    return std::u16string_view(namePool_).substr(first, length);
}

std::u16string_view DeletedEntries::NameOf(const DeletedName& name) const {
    return Pooled(name.first, name.length);
}

std::u16string_view DeletedEntries::NameOf(const DeletedStream& stream) const {
    return Pooled(stream.nameFirst, stream.nameLength);
}

std::optional<std::size_t> DeletedEntries::IndexOf(std::int64_t record) const {
    const auto it = std::ranges::lower_bound(entries_, record, {}, &DeletedEntry::record);
    if (it == entries_.end() || it->record != record) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(it - entries_.begin());
}

std::optional<std::size_t> DeletedEntries::DeletedParent(const DeletedName& name) const {
    const auto index = IndexOf(name.parent);
    if (!index || !entries_[*index].directory ||
        !SequenceFollows(name.parentSequence, entries_[*index].sequence)) {
        return std::nullopt;
    }
    return index;
}

PathStart DeletedEntries::StartOf(const DeletedName& name) const {
    if (name.parent < 0 || name.parent >= recordCount_) {
        return PathStart::kOrphan;
    }
    const auto live = std::ranges::lower_bound(liveParents_, name.parent, {},
                                               &std::pair<std::int64_t, std::uint16_t>::first);
    if (live != liveParents_.end() && live->first == name.parent) {
        // A parent in use under another sequence number is another file
        // now: the directory the entry was in is gone.
        return name.parentSequence == 0 || name.parentSequence == live->second ? PathStart::kLive
                                                                               : PathStart::kOrphan;
    }
    return DeletedParent(name) ? PathStart::kDeleted : PathStart::kOrphan;
}

std::u16string DeletedEntries::Path(std::size_t index, std::size_t nameIndex,
                                    const TFileIDs& live) const {
    if (index >= entries_.size()) {
        return {};
    }
    if (entries_[index].nameCount == 0 && nameIndex == 0) {
        // As the live table names a record without a name.
        std::u16string path(kOrphanMarker);
        for (const char c : "\\$### ID=" + std::to_string(entries_[index].record) + " ###") {
            path += static_cast<char16_t>(c);
        }
        return path;
    }
    if (nameIndex >= entries_[index].nameCount) {
        return {};
    }
    // Names from the entry up; a chain longer than the list comes back to
    // itself, and an entry in it is an orphan.
    std::vector<std::u16string_view> parts;
    std::size_t collected = 0;
    const DeletedName* name = &Names(entries_[index])[nameIndex];
    std::u16string path;
    for (;;) {
        parts.push_back(NameOf(*name));
        collected += parts.back().size() + 1;
        const PathStart start = StartOf(*name);
        // Past the longest path nothing further up is shown: the walk stops
        // there however deep the chain of deleted directories is.
        if (start == PathStart::kDeleted && parts.size() <= entries_.size() &&
            collected <= kMaxPathLength) {
            const DeletedEntry& parent = entries_[*DeletedParent(*name)];
            if (parent.nameCount != 0) {
                name = &Names(parent)[0];
                continue;
            }
        }
        if (start == PathStart::kLive && name->parent != kRootDirectory) {
            const std::int32_t liveIndex = live.IndexOfID(name->parent);
            if (liveIndex >= 0) {
                live.GetPath(liveIndex, path);
            }
            if (path.empty()) {
                path = kOrphanMarker;
            }
        } else if (start != PathStart::kLive) {
            path = kOrphanMarker;
        }
        break;
    }
    // Each name shown with its separator, the entry's own first.
    std::vector<std::u16string> shown;
    std::size_t total = path.size();
    for (const auto part : parts) {
        std::u16string text(1, u'\\');
        ondisk::AppendPrintableName(part, text);
        total += text.size();
        shown.push_back(std::move(text));
    }
    std::size_t keep = shown.size();
    if (total > kMaxPathLength) {
        // As the live table caps a path: the marker, then as many of the
        // nearest names as fit, the entry's own always.
        path = kLongPathMarker;
        std::size_t length = path.size() + shown.front().size();
        for (keep = 1; keep < shown.size() && length + shown[keep].size() <= kMaxPathLength;
             ++keep) {
            length += shown[keep].size();
        }
    }
    for (std::size_t i = keep; i-- > 0;) {
        path += shown[i];
    }
    return path;
}

} // namespace lorvex::ntfs

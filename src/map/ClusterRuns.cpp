#include "map/ClusterRuns.h"

#include "map/MapModel.h"
#include "ntfs/FileTable.h"

#include <algorithm>
#include <string>

namespace lorvex::map {

namespace {

bool BitAt(std::span<const std::uint8_t> bitmap, std::int64_t lcn) {
    const auto byte = static_cast<std::size_t>(lcn / 8);
    return byte < bitmap.size() &&
           ((static_cast<unsigned>(bitmap[byte]) >> static_cast<unsigned>(lcn % 8)) & 1U) != 0;
}

// The first cluster of [from, to) whose bit differs from `set`, or `to`.
// Whole bytes that agree are stepped over at once: a bitmap is mostly long
// stretches of one value.
std::int64_t EndOfBits(std::span<const std::uint8_t> bitmap, std::int64_t from, std::int64_t to,
                       bool set) {
    const std::uint8_t same = set ? 0xFF : 0x00;
    std::int64_t lcn = from;
    while (lcn < to) {
        const auto byte = static_cast<std::size_t>(lcn / 8);
        if (byte >= bitmap.size()) {
            return set ? lcn : to; // past the bitmap every cluster is free
        }
        if (lcn % 8 == 0 && bitmap[byte] == same) {
            lcn += 8;
            continue;
        }
        if (BitAt(bitmap, lcn) != set) {
            return lcn;
        }
        ++lcn;
    }
    return to;
}

// The clusters [from, to) that no extent holds, as runs of one kind each.
void EmitUnheld(const TVolumeLayout& layout, std::int64_t from, std::int64_t to,
                const std::function<void(const TClusterRun& run)>& run) {
    std::int64_t lcn = from;
    while (lcn < to) {
        std::int64_t end = to;
        TRunKind kind = TRunKind::MftZone;
        if (lcn >= layout.mftZoneStart && lcn < layout.mftZoneEnd) {
            end = std::min(to, layout.mftZoneEnd);
        } else {
            if (lcn < layout.mftZoneStart) {
                end = std::min(to, layout.mftZoneStart);
            }
            const bool set = BitAt(layout.bitmap, lcn);
            kind = set ? TRunKind::Used : TRunKind::Free;
            end = EndOfBits(layout.bitmap, lcn, end, set);
        }
        run({lcn, end - lcn, kind, -1, 0});
        lcn = end;
    }
}

} // namespace

std::string_view RunKindName(TRunKind kind) {
    switch (kind) {
    case TRunKind::Free:
        return "free";
    case TRunKind::Used:
        return "used";
    case TRunKind::File:
        return "file";
    case TRunKind::Fragmented:
        return "fragmented";
    case TRunKind::Directory:
        return "directory";
    case TRunKind::System:
        return "system";
    case TRunKind::Paging:
        return "paging";
    case TRunKind::MftZone:
        return "mft-zone";
    }
    return "used";
}

TRunKind EntryRunKind(const ntfs::TFileIDs& table, std::size_t index) {
    std::u16string unused;
    switch (EntryPaintState(table, index, {}, nullptr, unused)) {
    case csUsed:
        return TRunKind::File;
    case csFragmented:
        return TRunKind::Fragmented;
    case csDirectory:
        return TRunKind::Directory;
    case csSystem:
        return TRunKind::System;
    case csPagefile:
        return TRunKind::Paging;
    default:
        return TRunKind::Used;
    }
}

TRunKind UnheldKind(const TVolumeLayout& layout, std::int64_t lcn) {
    if (lcn >= layout.mftZoneStart && lcn < layout.mftZoneEnd) {
        return TRunKind::MftZone;
    }
    return BitAt(layout.bitmap, lcn) ? TRunKind::Used : TRunKind::Free;
}

void ForEachClusterRun(const TVolumeLayout& layout, const ntfs::TFileIDs& fileIds,
                       const ntfs::TClusterArray& clusters,
                       const std::function<void(const TClusterRun& run)>& give) {
    // Each run cut around the reserved runs it meets, which are given in
    // their place the first time a run reaches them: every cluster is
    // covered by some run, so each is given once, in order.
    std::size_t nextReserved = 0;
    const std::function<void(const TClusterRun&)> run = [&](const TClusterRun& whole) {
        TClusterRun piece = whole;
        const std::int64_t end = whole.First + whole.Count;
        for (std::size_t r = 0; r < layout.reserved.size() && piece.First < end; ++r) {
            const ntfs::TReservedRun& reserved = layout.reserved[r];
            const std::int64_t rEnd = ntfs::ExtentEnd(reserved.LCN, reserved.Length);
            if (rEnd <= piece.First || reserved.LCN >= end) {
                continue;
            }
            if (reserved.LCN > piece.First) {
                piece.Count = reserved.LCN - piece.First;
                give(piece);
            }
            if (r >= nextReserved) {
                const std::int64_t first = std::max<std::int64_t>(reserved.LCN, 0);
                give({first, std::min(rEnd, layout.totalClusters) - first, TRunKind::System, -1, 0,
                      reserved.Name});
                nextReserved = r + 1;
            }
            piece.First = std::min(rEnd, end);
        }
        if (piece.First < end) {
            piece.Count = end - piece.First;
            give(piece);
        }
    };
    const auto entries = static_cast<std::uint32_t>(fileIds.size());
    std::int64_t covered = 0; // every cluster before this is given
    for (const ntfs::TClusterEntry& extent : clusters) {
        const auto span = ntfs::ClipToVolume(extent.LCN, extent.Length, layout.totalClusters);
        if (span.begin >= span.end || extent.FileIndex >= entries) {
            continue;
        }
        if (span.begin > covered) {
            EmitUnheld(layout, covered, span.begin, run);
        }
        run({span.begin, span.end - span.begin, EntryRunKind(fileIds, extent.FileIndex),
             extent.FileIndex, extent.AttrType});
        covered = std::max(covered, span.end);
    }
    if (covered < layout.totalClusters) {
        EmitUnheld(layout, covered, layout.totalClusters, run);
    }
}

} // namespace lorvex::map

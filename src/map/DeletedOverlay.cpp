#include "map/DeletedOverlay.h"

#include <algorithm>

namespace lorvex::map {

namespace {

// A piece that lies on clusters of the volume, as pieces are kept: sparse
// and beyond-end pieces have no place on the map.
bool OnVolume(const ntfs::DeletedPiece& piece) {
    return piece.state != ntfs::PieceState::kSparse &&
           piece.state != ntfs::PieceState::kBeyondEnd && piece.lcn >= 0 && piece.length > 0;
}

} // namespace

std::optional<std::uint8_t> DeletedOverlayIndex(ntfs::PieceState state) {
    switch (state) {
    case ntfs::PieceState::kFree:
        return kOverlayDeletedFree;
    case ntfs::PieceState::kOverwritten:
    case ntfs::PieceState::kClaimed:
        return kOverlayDeletedOverwritten;
    default:
        return std::nullopt;
    }
}

std::vector<TOverlaySpan> DeletedOverlaySpans(const ntfs::DeletedEntries& deleted) {
    std::vector<TOverlaySpan> spans;
    for (const ntfs::DeletedEntry& entry : deleted.entries()) {
        for (const ntfs::DeletedStream& stream : deleted.Streams(entry)) {
            for (const ntfs::DeletedPiece& piece : deleted.Pieces(stream)) {
                const auto index = DeletedOverlayIndex(piece.state);
                if (index && OnVolume(piece)) {
                    spans.push_back({piece.lcn, piece.length, *index});
                }
            }
        }
    }
    return spans;
}

std::vector<TClusterSpan> DeletedEntrySpans(const ntfs::DeletedEntries& deleted,
                                            std::size_t index) {
    std::vector<TClusterSpan> spans;
    if (index >= deleted.entries().size()) {
        return spans;
    }
    const ntfs::DeletedEntry& entry = deleted.entries()[index];
    for (const ntfs::DeletedStream& stream : deleted.Streams(entry)) {
        for (const ntfs::DeletedPiece& piece : deleted.Pieces(stream)) {
            if (OnVolume(piece)) {
                spans.push_back({piece.lcn, ntfs::ExtentEnd(piece.lcn, piece.length)});
            }
        }
    }
    std::sort(spans.begin(), spans.end(),
              [](const TClusterSpan& a, const TClusterSpan& b) { return a.begin < b.begin; });
    // The pieces a run was cut into meet again here: one span a stretch.
    std::vector<TClusterSpan> joined;
    for (const TClusterSpan& span : spans) {
        if (!joined.empty() && span.begin <= joined.back().end) {
            joined.back().end = std::max(joined.back().end, span.end);
        } else {
            joined.push_back(span);
        }
    }
    return joined;
}

} // namespace lorvex::map

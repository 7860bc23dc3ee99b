#pragma once

#include "map/MapView.h"
#include "ntfs/DeletedEntries.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// What the deleted entries leave on the map: the clusters that still hold a
// deleted file's data and those of deleted files written over since, as
// overlay spans, and one entry's clusters as the spans a list lights.
namespace lorvex::map {

// The overlay index a piece in `state` is drawn in: kOverlayDeletedFree
// for a free piece, kOverlayDeletedOverwritten for one a live file or a
// later deleted file took; nothing for a piece that holds no cluster of the
// volume or was never cut (sparse, beyond the end, unchecked).
std::optional<std::uint8_t> DeletedOverlayIndex(ntfs::PieceState state);

// Every piece of every deleted entry that DeletedOverlayIndex draws, after
// CutDeletedRuns; overlapping where several entries claim a cluster
// (TMapView::SetOverlay settles which shows).
std::vector<TOverlaySpan> DeletedOverlaySpans(const ntfs::DeletedEntries& deleted);

// The clusters of the volume that entry `index`'s streams lay on, whatever
// they hold now, in cluster order, touching spans joined; none for an entry
// that lives in its record.
std::vector<TClusterSpan> DeletedEntrySpans(const ntfs::DeletedEntries& deleted, std::size_t index);

} // namespace lorvex::map

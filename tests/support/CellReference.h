#pragma once

#include "map/CellStates.h"
#include "ntfs/ClusterMap.h"
#include "volume/VolumeApi.h"

#include <string_view>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lorvex::ntfs {
class TFileIDs;
struct TFileID;
} // namespace lorvex::ntfs

// What the map model and the window's views are checked against: the map as
// it was first built, one byte per cluster holding a cell state, filled from
// the bitmap, painted entry by entry, and cut into rows of one pixel per
// cluster and an averaged overview strip. Simple enough to be plainly right,
// and far too big for a volume of terabytes.
namespace lorvex::reference {

using map::CellPalette;
using map::CellState;
using map::Palette;
using enum map::CellState;

// The cells of one volume: FTotalClusters bytes plus 8 spare ones that take
// the bits of the bitmap's last byte beyond the end. Every cell starts as
// csFree, so a map whose bitmap cannot be read shows an empty volume rather
// than whatever the allocator left there.
class TCellArray {
  public:
    // Throws std::bad_alloc when the block cannot be had (or the count is
    // negative), so that the caller can report it.
    explicit TCellArray(std::int64_t totalClusters);

    [[nodiscard]] std::int64_t TotalClusters() const { return FTotalClusters; }
    [[nodiscard]] std::uint8_t* Data() { return FBytes.data(); }
    [[nodiscard]] const std::uint8_t* Data() const { return FBytes.data(); }
    // TotalClusters() + 8.
    [[nodiscard]] std::size_t Size() const { return FBytes.size(); }
    [[nodiscard]] std::uint8_t At(std::int64_t lcn) const {
        return FBytes[static_cast<std::size_t>(lcn)];
    }

    // Sets the cells [first, first + count) that lie on the volume; the rest
    // of the range is dropped. A damaged run list can name any cluster, and
    // nothing outside the volume has a cell to show it.
    void Fill(std::int64_t first, std::int64_t count, std::uint8_t state);

  private:
    std::int64_t FTotalClusters = 0;
    std::vector<std::uint8_t> FBytes;
};

// One byte of bitmap per 8 cells, least significant bit first: csUsed for a
// set bit, csFree for a clear one. Writes 8 * byteCount cells.
void ExpandVolumeBitmap(const std::uint8_t* bits, std::uint8_t* cells, std::int64_t byteCount);

// The state a file-table entry paints its extents with, or 0 for an entry
// that is not painted (any type but FILE, DIRECTORY and SYSFILE). `markText`
// empty marks nothing. Marked beats paging file beats fragmented beats plain.
// `path` is room for the entry's path, reused from entry to entry.
std::uint8_t EntryCellState(const ntfs::TFileIDs& table, std::size_t index,
                            const std::u16string& markText, std::u16string& path);

// What the painting step needs besides the cells.
struct TPaintInput {
    std::int64_t mftZoneStart = 0;
    std::int64_t mftZoneEnd = 0; // the zone's last cluster keeps its bitmap state
    const ntfs::TFileIDs* fileIds = nullptr;
    const ntfs::TClusterArray* clusters = nullptr; // in FileIndex order
    std::u16string markText;
    // Called every few thousand entries; may be empty.
    std::function<void()> yield;
};

// The "painting clusters" step: the MFT zone, then every painted entry in
// table order, later entries winning where extents overlap.
void PaintCells(TCellArray& cells, const TPaintInput& input);

// The shape of the map picture for a view.
struct TMapGeometry {
    std::int32_t cellsPerRow = 0;
    std::int32_t rowCount = 0;
    std::int32_t scrollMax = 0;
    std::int32_t pageStep = 0;
};

// cellsPerRow = max(0, viewRight + 1); with 0 nothing else is computed.
TMapGeometry ComputeMapGeometry(std::int32_t viewRight, std::int32_t viewBottom,
                                std::int64_t totalClusters);

// One row of the map picture: `cellsPerRow` pixels from cell `firstCell` on,
// csBeyondEnd after the last cluster.
void FillMapRow(const TCellArray& cells, std::int64_t firstCell, std::int32_t cellsPerRow,
                std::uint8_t* row);

// The overview strip, `width` x `height` pixels of 0xAARRGGBB, row by row.
// Each pixel averages the palette colours of the next `per` cells, per =
// total / (width * height); the cells left over at the end are not shown.
// On a volume with fewer clusters than the strip has pixels each pixel shows
// one cell and the pixels after the last cluster are `blank`.
std::vector<std::uint32_t> RenderOverviewPixels(const TCellArray& cells, std::int32_t width,
                                                std::int32_t height, std::uint32_t blank);

// The cluster under a window pixel: x + (y + scrollPos) * cellsPerRow, the
// volume's last cluster for a point beyond it. Computed in 64 bits, so that
// volumes of more than 2^31 clusters name the right cluster too.
std::int64_t CellToLCN(std::int32_t x, std::int32_t y, std::int32_t scrollPos,
                       std::int32_t cellsPerRow, std::int64_t totalClusters);

// The cells of a drive as the window first shows it: the allocation bitmap
// of `driveRoot` as the volume queries give it. False when it cannot be had.
bool ReadBitmapCells(platform::VolumeApi& api, std::string_view driveRoot, TCellArray& cells);

} // namespace lorvex::reference

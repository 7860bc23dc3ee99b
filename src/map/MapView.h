#pragma once

#include "map/MapModel.h"
#include "map/Palette.h"
#include "ntfs/ClusterMap.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

// The geometry of the map on screen at every zoom: which clusters a pixel
// shows, how far the view can scroll, the zoom steps, and the drawing of
// one screen from a model. Nothing here knows of a window; every count is
// 64 bits, so that a volume of billions of clusters in a window one pixel
// wide still has a place for every cluster.
namespace lorvex::map {

// Clusters drawn in an overlay colour.
struct TOverlaySpan {
    std::int64_t first = 0;
    std::int64_t count = 0;
    std::uint8_t index = kOverlayFirst;
};

// How big the map is drawn. A cluster is a square of `cellPixels` pixels,
// or a pixel summarises `clustersPerPixel` clusters; at most one of the two
// is above 1, and with both 1 a pixel is a cluster.
struct TMapScale {
    std::int32_t cellPixels = 1;
    std::int64_t clustersPerPixel = 1;
    bool operator==(const TMapScale& other) const = default;
};

inline constexpr std::int32_t kLargestCell = 16;
// Cells at least this big have a line of grid on their right and bottom.
inline constexpr std::int32_t kGridFromCell = 6;

// The clusters under a pixel, or of an extent shown on the map: the core's
// [begin, end); empty for a pixel past the volume's end or off the map.
using ntfs::TClusterSpan;

// How many clusters `span` holds; below 0 for one cut short before its start.
constexpr std::int64_t SpanLength(TClusterSpan span) {
    return span.end - span.begin;
}

class TMapView {
  public:
    // The map area in pixels and the volume's clusters. Both keep the scale
    // and the first row in view where they still can be.
    void SetArea(std::int32_t width, std::int32_t height);
    void SetTotalClusters(std::int64_t total);

    [[nodiscard]] std::int32_t Width() const { return FWidth; }
    [[nodiscard]] std::int32_t Height() const { return FHeight; }
    [[nodiscard]] std::int64_t TotalClusters() const { return FTotal; }

    // The scale, held between the largest cell (no larger than the area)
    // and the fit.
    [[nodiscard]] TMapScale Scale() const { return FScale; }
    void SetScale(TMapScale scale);
    // The largest scale at which the whole volume is in view.
    [[nodiscard]] TMapScale FitScale() const;
    // The next step in and out: cells and summaries go by powers of two, and
    // the fit is a step between them; out stops at the fit (or at a pixel a
    // cluster, for a volume that fits magnified), in at kLargestCell.
    [[nodiscard]] TMapScale ZoomedIn() const;
    [[nodiscard]] TMapScale ZoomedOut() const;

    // Cells (or summary pixels) in a row; 0 when the area has no room for
    // one, and then nothing is in view.
    [[nodiscard]] std::int32_t CellsPerRow() const;
    [[nodiscard]] std::int64_t ClustersPerRow() const;
    [[nodiscard]] std::int64_t RowCount() const;
    // Pixel rows of one map row.
    [[nodiscard]] std::int32_t RowPixels() const { return FScale.cellPixels; }
    // Rows wholly in view.
    [[nodiscard]] std::int64_t FullRows() const;
    // The last first row: the end of the volume at the bottom of the view.
    [[nodiscard]] std::int64_t MaxTopRow() const;
    [[nodiscard]] std::int64_t TopRow() const { return FTopRow; }
    // Clamped into [0, MaxTopRow()].
    void SetTopRow(std::int64_t row);
    // The row that holds `lcn`.
    [[nodiscard]] std::int64_t RowOf(std::int64_t lcn) const;
    // The first row whose clusters start at or after `lcn`'s row, placed so
    // that `lcn` is about a third down the view.
    void ShowCluster(std::int64_t lcn);
    // Scrolls as ShowCluster does only when `lcn`'s row is not wholly in
    // view, so that a cursor moved within the view leaves the view still.
    void KeepInView(std::int64_t lcn);
    // The top-left pixel of the cell (or summary pixel) that shows `lcn`;
    // empty when it is out of view or past the volume's end.
    [[nodiscard]] std::optional<std::pair<std::int32_t, std::int32_t>>
    PixelOf(std::int64_t lcn) const;
    // Changes the scale keeping the clusters under pixel row `y` there, as
    // far as the ends of the volume allow.
    void ZoomAround(TMapScale scale, std::int32_t y);

    // The clusters under pixel (x, y) of the area.
    [[nodiscard]] TClusterSpan SpanAt(std::int32_t x, std::int32_t y) const;
    // The first and last cluster wholly or partly in view; first > last when
    // none is.
    [[nodiscard]] TClusterSpan Visible() const;

    // The clusters lit on the map: every pixel that shows one of them is
    // drawn in kHighlightIndex, at every zoom. Empty: none.
    void SetHighlight(std::vector<TClusterSpan> spans);
    [[nodiscard]] const std::vector<TClusterSpan>& Highlight() const { return FHighlight; }

    // The overlay: every pixel that shows a cluster of a span is drawn in
    // the span's index, at every zoom, under the highlight. Spans may
    // overlap; the higher index shows where they do. Empty: none.
    void SetOverlay(std::vector<TOverlaySpan> spans);
    // Sorted, none overlapping.
    [[nodiscard]] const std::vector<TOverlaySpan>& Overlay() const { return FOverlay; }

    // Draws the area into `out`, Height() rows of `stride` bytes, each byte a
    // palette index: cell states, kGridIndex, kBackgroundIndex, the overlay's
    // indexes and kHighlightIndex.
    void Render(const TMapModel& model, std::uint8_t* out, std::size_t stride) const;

  private:
    void Clamp();

    std::int32_t FWidth = 0;
    std::int32_t FHeight = 0;
    std::int64_t FTotal = 0;
    TMapScale FScale;
    std::int64_t FTopRow = 0;
    // Sorted by first cluster, none overlapping.
    std::vector<TClusterSpan> FHighlight;
    std::vector<TOverlaySpan> FOverlay;
};

// The overview strip, `width` x `height` pixels of 0xAARRGGBB, row by row.
// Each pixel averages the palette colours of the next `per` clusters, per =
// total / (width * height); the clusters left over at the end are not shown.
// On a volume with fewer clusters than the strip has pixels each pixel shows
// one cluster and the pixels after the last are `blank`. The colours are
// `palette`'s, so that the strip shows the kinds as the map does.
std::vector<std::uint32_t> OverviewPixels(const TMapModel& model, std::int32_t width,
                                          std::int32_t height, std::uint32_t blank,
                                          const Palette& palette = CellPalette());

// The clusters overview pixel (x, y) stands for.
TClusterSpan OverviewSpan(std::int64_t total, std::int32_t width, std::int32_t height,
                          std::int32_t x, std::int32_t y);

// The overview rows [first, last] that show clusters of `visible`; first >
// last when none does.
std::pair<std::int32_t, std::int32_t> OverviewRows(std::int64_t total, std::int32_t width,
                                                   std::int32_t height, TClusterSpan visible);

// A "go to" answer: a cluster number, or a byte offset on the volume when a
// unit follows the number ("B", "bytes", "KiB", "MB", ...; K, M, G and T are
// powers of 1024 with or without the i); 0x before the digits reads them as
// hexadecimal, and spaces, commas, underscores and apostrophes between the
// digits are ignored. Empty when the text is none of these, or the number
// does not fit 63 bits.
std::optional<std::int64_t> ParseClusterOrOffset(std::string_view text,
                                                 std::uint32_t bytesPerCluster);

// The name of what a state shows, for the status bar and the legend.
std::string_view StateName(std::uint8_t state);

} // namespace lorvex::map

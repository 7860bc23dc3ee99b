#include "map/MapView.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace lorvex::map {

namespace {

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

std::int64_t CeilDiv(std::int64_t a, std::int64_t b) {
    return a / b + (a % b != 0 ? 1 : 0);
}

// The largest power of two below `n` (n >= 2), and the smallest above it.
std::int64_t PowerBelow(std::int64_t n) {
    std::int64_t p = 1;
    while (p * 2 < n) {
        p *= 2;
    }
    return p;
}
std::int64_t PowerAbove(std::int64_t n) {
    std::int64_t p = 1;
    while (p <= n && p <= kInt64Max / 2) {
        p *= 2;
    }
    return p;
}

} // namespace

void TMapView::SetArea(std::int32_t width, std::int32_t height) {
    FWidth = std::max(width, 0);
    FHeight = std::max(height, 0);
    Clamp();
}

void TMapView::SetTotalClusters(std::int64_t total) {
    FTotal = std::max<std::int64_t>(total, 0);
    Clamp();
}

void TMapView::SetScale(TMapScale scale) {
    FScale = scale;
    Clamp();
}

void TMapView::Clamp() {
    // A cell never outgrows the area, so that a window shrunk to a few
    // pixels still shows a cluster rather than nothing.
    const std::int32_t largest =
        FWidth > 0 && FHeight > 0 ? std::min({kLargestCell, FWidth, FHeight}) : kLargestCell;
    FScale.cellPixels = std::clamp(FScale.cellPixels, 1, largest);
    FScale.clustersPerPixel = std::max<std::int64_t>(FScale.clustersPerPixel, 1);
    if (FScale.cellPixels > 1) {
        FScale.clustersPerPixel = 1;
    }
    const TMapScale fit = FitScale();
    if (FScale.clustersPerPixel > fit.clustersPerPixel) {
        FScale = fit;
    }
    FTopRow = std::clamp<std::int64_t>(FTopRow, 0, MaxTopRow());
}

TMapScale TMapView::FitScale() const {
    TMapScale fit;
    if (FWidth == 0 || FHeight == 0 || FTotal == 0) {
        return fit;
    }
    const std::int64_t pixels = static_cast<std::int64_t>(FWidth) * FHeight;
    if (FTotal > pixels) {
        fit.clustersPerPixel = CeilDiv(FTotal, pixels);
        return fit;
    }
    for (std::int32_t p = kLargestCell; p > 1; --p) {
        const std::int64_t perRow = FWidth / p;
        if (perRow > 0 && CeilDiv(FTotal, perRow) * p <= FHeight) {
            fit.cellPixels = p;
            break;
        }
    }
    return fit;
}

TMapScale TMapView::ZoomedIn() const {
    TMapScale next = FScale;
    if (FScale.clustersPerPixel > 1) {
        next.clustersPerPixel = PowerBelow(FScale.clustersPerPixel);
    } else {
        next.cellPixels = static_cast<std::int32_t>(
            std::min<std::int64_t>(PowerAbove(FScale.cellPixels), kLargestCell));
        // A fit between two steps is a step of its own, both ways.
        const std::int32_t fit = FitScale().cellPixels;
        if (fit > FScale.cellPixels && fit < next.cellPixels) {
            next.cellPixels = fit;
        }
    }
    return next;
}

TMapScale TMapView::ZoomedOut() const {
    TMapScale next = FScale;
    if (FScale.cellPixels > 1) {
        next.cellPixels = static_cast<std::int32_t>(PowerBelow(FScale.cellPixels));
        const std::int32_t fit = FitScale().cellPixels;
        if (fit > next.cellPixels && fit < FScale.cellPixels) {
            next.cellPixels = fit;
        }
        return next;
    }
    const std::int64_t most = FitScale().clustersPerPixel;
    next.clustersPerPixel = std::min(PowerAbove(FScale.clustersPerPixel), most);
    next.clustersPerPixel = std::max(next.clustersPerPixel, FScale.clustersPerPixel);
    return next;
}

std::int32_t TMapView::CellsPerRow() const {
    return FWidth / FScale.cellPixels;
}

std::int64_t TMapView::ClustersPerRow() const {
    return static_cast<std::int64_t>(CellsPerRow()) * FScale.clustersPerPixel;
}

std::int64_t TMapView::RowCount() const {
    const std::int64_t perRow = ClustersPerRow();
    return perRow == 0 ? 0 : CeilDiv(FTotal, perRow);
}

std::int64_t TMapView::FullRows() const {
    return FHeight / FScale.cellPixels;
}

std::int64_t TMapView::MaxTopRow() const {
    return std::max<std::int64_t>(0, RowCount() - FullRows());
}

void TMapView::SetTopRow(std::int64_t row) {
    FTopRow = std::clamp<std::int64_t>(row, 0, MaxTopRow());
}

std::int64_t TMapView::RowOf(std::int64_t lcn) const {
    const std::int64_t perRow = ClustersPerRow();
    return perRow == 0 ? 0 : std::clamp<std::int64_t>(lcn, 0, FTotal) / perRow;
}

void TMapView::ShowCluster(std::int64_t lcn) {
    SetTopRow(RowOf(lcn) - FullRows() / 3);
}

void TMapView::KeepInView(std::int64_t lcn) {
    const std::int64_t row = RowOf(lcn);
    if (row < FTopRow || row >= FTopRow + std::max<std::int64_t>(FullRows(), 1)) {
        ShowCluster(lcn);
    }
}

std::optional<std::pair<std::int32_t, std::int32_t>> TMapView::PixelOf(std::int64_t lcn) const {
    const std::int32_t cells = CellsPerRow();
    if (cells == 0 || lcn < 0 || lcn >= FTotal) {
        return std::nullopt;
    }
    const std::int64_t cell = lcn / FScale.clustersPerPixel;
    const std::int64_t row = cell / cells - FTopRow;
    if (row < 0 || row * FScale.cellPixels >= FHeight) {
        return std::nullopt;
    }
    return std::pair{static_cast<std::int32_t>(cell % cells) * FScale.cellPixels,
                     static_cast<std::int32_t>(row) * FScale.cellPixels};
}

void TMapView::ZoomAround(TMapScale scale, std::int32_t y) {
    const std::int32_t row = std::clamp(y, 0, std::max(FHeight - 1, 0)) / FScale.cellPixels;
    const std::int64_t lcn = std::min<std::int64_t>(
        FTotal, (FTopRow + row) * std::max<std::int64_t>(ClustersPerRow(), 1));
    SetScale(scale);
    SetTopRow(RowOf(lcn) - std::clamp(y, 0, std::max(FHeight - 1, 0)) / FScale.cellPixels);
}

TClusterSpan TMapView::SpanAt(std::int32_t x, std::int32_t y) const {
    const std::int32_t cells = CellsPerRow();
    if (x < 0 || y < 0 || x >= cells * FScale.cellPixels || y >= FHeight) {
        return {};
    }
    const std::int64_t row = FTopRow + y / FScale.cellPixels;
    const std::int64_t cell = row * cells + x / FScale.cellPixels;
    const std::int64_t first = cell * FScale.clustersPerPixel;
    if (first >= FTotal) {
        return {first, first};
    }
    return {first, first + std::min(FScale.clustersPerPixel, FTotal - first)};
}

TClusterSpan TMapView::Visible() const {
    const std::int64_t perRow = ClustersPerRow();
    if (perRow == 0 || FHeight == 0) {
        return {0, 0};
    }
    const std::int64_t rows = CeilDiv(FHeight, FScale.cellPixels);
    const std::int64_t first = std::min(FTopRow * perRow, FTotal);
    const std::int64_t end = std::min((FTopRow + rows) * perRow, FTotal);
    return {first, end};
}

void TMapView::SetHighlight(std::vector<TClusterSpan> spans) {
    std::erase_if(spans, [](const TClusterSpan& s) { return s.end <= s.begin; });
    std::sort(spans.begin(), spans.end(),
              [](const TClusterSpan& a, const TClusterSpan& b) { return a.begin < b.begin; });
    FHighlight.clear();
    for (const TClusterSpan& span : spans) {
        if (!FHighlight.empty() && FHighlight.back().end >= span.begin) {
            TClusterSpan& last = FHighlight.back();
            last.end = std::max(last.end, span.end);
            continue;
        }
        FHighlight.push_back(span);
    }
}

void TMapView::SetOverlay(std::vector<TOverlaySpan> spans) {
    // Flattened once here, so that drawing walks one sorted list: at every
    // boundary the highest index among the spans over it takes over.
    struct TEdge {
        std::int64_t at;
        int delta;
        std::uint8_t index;
    };
    std::vector<TEdge> edges;
    edges.reserve(spans.size() * 2);
    for (const TOverlaySpan& s : spans) {
        if (s.count > 0 && s.first <= std::numeric_limits<std::int64_t>::max() - s.count) {
            edges.push_back({s.first, 1, s.index});
            edges.push_back({s.first + s.count, -1, s.index});
        }
    }
    std::sort(edges.begin(), edges.end(),
              [](const TEdge& a, const TEdge& b) { return a.at < b.at; });
    std::array<std::uint32_t, 256> open{};
    FOverlay.clear();
    int shown = -1;
    std::int64_t from = 0;
    for (std::size_t i = 0; i < edges.size();) {
        const std::int64_t at = edges[i].at;
        for (; i < edges.size() && edges[i].at == at; ++i) {
            open[edges[i].index] += static_cast<std::uint32_t>(edges[i].delta);
        }
        int top = 255;
        while (top >= 0 && open[static_cast<std::size_t>(top)] == 0) {
            --top;
        }
        if (top == shown) {
            continue;
        }
        if (shown >= 0 && at > from) {
            if (!FOverlay.empty() && FOverlay.back().first + FOverlay.back().count == from &&
                FOverlay.back().index == shown) {
                FOverlay.back().count += at - from;
            } else {
                FOverlay.push_back({from, at - from, static_cast<std::uint8_t>(shown)});
            }
        }
        shown = top;
        from = at;
    }
}

void TMapView::Render(const TMapModel& model, std::uint8_t* out, std::size_t stride) const {
    const std::int32_t cells = CellsPerRow();
    const std::int32_t p = FScale.cellPixels;
    const std::int64_t k = FScale.clustersPerPixel;
    const std::int64_t rows = RowCount();
    const auto mapWidth = static_cast<std::size_t>(cells) * static_cast<std::size_t>(p);
    const auto width = static_cast<std::size_t>(FWidth);
    const bool grid = p >= kGridFromCell;
    std::vector<std::uint8_t> states(static_cast<std::size_t>(cells));
    for (std::int32_t y = 0; y < FHeight;) {
        std::uint8_t* line = out + static_cast<std::size_t>(y) * stride;
        const std::int64_t row = FTopRow + y / p;
        if (cells == 0 || row >= rows) {
            // Below the last row the window shows through, as it does to
            // the right of the last whole cell.
            std::memset(line, kBackgroundIndex, width);
            ++y;
            continue;
        }
        const std::int64_t rowFirst = row * cells * k;
        model.SummaryRow(rowFirst, k, states.size(), states.data());
        const std::int64_t rowEnd = rowFirst + static_cast<std::int64_t>(cells) * k;
        // The overlay, then the lit clusters over it: every pixel that shows
        // one of their clusters.
        auto over = std::partition_point(
            FOverlay.begin(), FOverlay.end(),
            [rowFirst](const TOverlaySpan& s) { return s.first + s.count <= rowFirst; });
        for (; over != FOverlay.end() && over->first < rowEnd; ++over) {
            const std::int64_t from = std::max(over->first, rowFirst) - rowFirst;
            const std::int64_t to =
                std::min({over->first + over->count, rowEnd, FTotal}) - rowFirst;
            if (to > from) {
                std::memset(states.data() + from / k, over->index,
                            static_cast<std::size_t>((to - 1) / k - from / k + 1));
            }
        }
        auto lit =
            std::partition_point(FHighlight.begin(), FHighlight.end(),
                                 [rowFirst](const TClusterSpan& s) { return s.end <= rowFirst; });
        for (; lit != FHighlight.end() && lit->begin < rowEnd; ++lit) {
            const std::int64_t from = std::max(lit->begin, rowFirst) - rowFirst;
            const std::int64_t to = std::min({lit->end, rowEnd, FTotal}) - rowFirst;
            if (to <= from) {
                continue;
            }
            std::memset(states.data() + from / k, kHighlightIndex,
                        static_cast<std::size_t>((to - 1) / k - from / k + 1));
        }
        if (p == 1) {
            std::memcpy(line, states.data(), states.size());
        } else {
            const std::int32_t fill = grid ? p - 1 : p;
            for (std::size_t c = 0; c < states.size(); ++c) {
                std::uint8_t* at = line + c * static_cast<std::size_t>(p);
                std::memset(at, states[c], static_cast<std::size_t>(fill));
                if (grid) {
                    at[fill] = kGridIndex;
                }
            }
        }
        std::memset(line + mapWidth, kBackgroundIndex, width - mapWidth);
        // The other pixel rows of a magnified cell repeat the first, but the
        // last, which is grid.
        const std::int32_t last = std::min(FHeight, (y / p + 1) * p);
        for (std::int32_t r = y + 1; r < last; ++r) {
            std::uint8_t* copy = out + static_cast<std::size_t>(r) * stride;
            if (grid && r == (y / p + 1) * p - 1) {
                std::memset(copy, kGridIndex, mapWidth);
                std::memset(copy + mapWidth, kBackgroundIndex, width - mapWidth);
            } else {
                std::memcpy(copy, line, width);
            }
        }
        y = last;
    }
}

std::vector<std::uint32_t> OverviewPixels(const TMapModel& model, std::int32_t width,
                                          std::int32_t height, std::uint32_t blank,
                                          const Palette& palette) {
    if (width <= 0 || height <= 0) {
        return {};
    }
    const auto pixels = static_cast<std::int64_t>(width) * height;
    std::vector<std::uint32_t> out(static_cast<std::size_t>(pixels), blank);
    const std::int64_t total = model.TotalClusters();
    const std::int64_t per = total / pixels;
    if (per == 0) {
        std::vector<std::uint8_t> states(static_cast<std::size_t>(total));
        model.States(0, states.size(), states.data());
        for (std::size_t k = 0; k < states.size(); ++k) {
            out[k] = palette[states[k]];
        }
        return out;
    }
    // The sums of a pixel's colours are the counts of its states times
    // their colours: the same sums, and so the same averages, as adding the
    // clusters one by one.
    std::vector<std::int64_t> bounds(static_cast<std::size_t>(pixels) + 1);
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        bounds[i] = static_cast<std::int64_t>(i) * per;
    }
    std::vector<TMapModel::TCounts> counts(bounds.size());
    model.CountsBefore(bounds, counts.data());
    const auto divisor = static_cast<std::uint64_t>(per);
    for (std::size_t p = 0; p < out.size(); ++p) {
        std::uint64_t r = 0, g = 0, b = 0;
        for (std::size_t s = 0; s < kVolumeStateCount; ++s) {
            const std::uint64_t n = counts[p + 1][s] - counts[p][s];
            const std::uint32_t c = palette[kVolumeStates[s]];
            r += n * ((c >> 16) & 0xFFU);
            g += n * ((c >> 8) & 0xFFU);
            b += n * (c & 0xFFU);
        }
        out[p] = 0xFF000000U | static_cast<std::uint32_t>((r / divisor) << 16) |
                 static_cast<std::uint32_t>((g / divisor) << 8) |
                 static_cast<std::uint32_t>(b / divisor);
    }
    return out;
}

TClusterSpan OverviewSpan(std::int64_t total, std::int32_t width, std::int32_t height,
                          std::int32_t x, std::int32_t y) {
    if (width <= 0 || height <= 0 || x < 0 || y < 0 || x >= width || y >= height) {
        return {};
    }
    const std::int64_t pixels = static_cast<std::int64_t>(width) * height;
    const std::int64_t index = static_cast<std::int64_t>(y) * width + x;
    const std::int64_t per = std::max<std::int64_t>(total / pixels, 1);
    const std::int64_t first = index * per;
    return {first, first < total ? first + per : first};
}

std::pair<std::int32_t, std::int32_t> OverviewRows(std::int64_t total, std::int32_t width,
                                                   std::int32_t height, TClusterSpan visible) {
    if (width <= 0 || height <= 0 || visible.end <= visible.begin) {
        return {0, -1};
    }
    const std::int64_t pixels = static_cast<std::int64_t>(width) * height;
    const std::int64_t per = std::max<std::int64_t>(total / pixels, 1);
    const auto row = [&](std::int64_t lcn) {
        return static_cast<std::int32_t>(std::min<std::int64_t>(lcn / per / width, height - 1));
    };
    return {row(visible.begin), row(visible.end - 1)};
}

std::optional<std::int64_t> ParseClusterOrOffset(std::string_view text,
                                                 std::uint32_t bytesPerCluster) {
    const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t value = 0;
    std::size_t digits = 0;
    std::size_t at = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (digits > 0 && (c == ',' || c == '_' || c == '\'')) {
            continue;
        }
        const int digit = std::isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0'
                          : base == 16 && std::isxdigit(static_cast<unsigned char>(c)) != 0
                              ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                              : -1;
        if (digit < 0) {
            break;
        }
        if (value > (static_cast<std::uint64_t>(kInt64Max) - static_cast<std::uint64_t>(digit)) /
                        static_cast<std::uint64_t>(base)) {
            return std::nullopt;
        }
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
        ++digits;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    std::string unit;
    for (const char c : text.substr(at)) {
        if (!isSpace(c)) {
            unit.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    if (unit.empty() || unit == "c" || unit == "cluster" || unit == "clusters") {
        return static_cast<std::int64_t>(value);
    }
    static constexpr std::array<std::pair<char, int>, 4> kPrefixes = {
        {{'k', 10}, {'m', 20}, {'g', 30}, {'t', 40}}};
    int shift = -1;
    if (unit == "b" || unit == "byte" || unit == "bytes") {
        shift = 0;
    } else {
        for (const auto& [letter, bits] : kPrefixes) {
            if (unit[0] == letter &&
                (unit.size() == 1 || unit.substr(1) == "b" || unit.substr(1) == "ib")) {
                shift = bits;
            }
        }
    }
    if (shift < 0 || bytesPerCluster == 0 ||
        value > (static_cast<std::uint64_t>(kInt64Max) >> shift)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>((value << shift) / bytesPerCluster);
}

std::string_view StateName(std::uint8_t state) {
    switch (state) {
    case csFree:
        return "free";
    case csUsed:
        return "used";
    case csBeyondEnd:
        return "beyond the end of the volume";
    case csSystem:
        return "system file";
    case csDirectory:
        return "directory";
    case csFragmented:
        return "fragmented file";
    case csMFTZone:
        return "MFT zone";
    case csPagefile:
        return "paging file";
    case csMarked:
        return "marked file";
    default:
        return "unknown";
    }
}

} // namespace lorvex::map

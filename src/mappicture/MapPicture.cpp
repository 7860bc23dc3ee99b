#include "mappicture/MapPicture.h"

#include "map/CellStates.h"
#include "map/Palette.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QString>

#include <algorithm>
#include <array>
#include <new>
#include <string_view>
#include <vector>

namespace lorvex::mappicture {

namespace {

// Fixed in pixels, not points, so that the picture's geometry does not
// follow a screen's resolution (there is none offscreen).
constexpr int kMargin = 8;
constexpr int kTitleHeight = 20;
constexpr int kGap = 6;
constexpr int kSwatch = 12;
constexpr int kSwatchGap = 6;
constexpr int kColumnGap = 18;
constexpr int kLegendRow = 18;
constexpr int kFontPixels = 13;
constexpr QRgb kText = 0xFF000000U;

QFont PictureFont() {
    QFont font;
    font.setPixelSize(kFontPixels);
    return font;
}

QString Label(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool SizeAllowed(QSize size) {
    return size.width() >= kMinWidth && size.height() >= kMinHeight && size.width() <= kMaxSide &&
           size.height() <= kMaxSide;
}

// One line of the picture's legend.
struct LegendLine {
    std::uint32_t colour;
    std::string_view label;
};

// The kinds, then the highlight and each overlay the picture shows, in the
// order of their indexes.
std::vector<LegendLine> LegendLines(const TMapPictureOptions& options) {
    const map::Palette& palette =
        options.palette != nullptr ? *options.palette : map::CellPalette();
    std::vector<LegendLine> lines;
    for (const auto& entry : map::kLegend) {
        lines.push_back({palette[entry.state], entry.label});
    }
    std::array<bool, map::kOverlayLast + 1> shown{};
    shown[map::kHighlightIndex] = !options.highlight.empty();
    for (const map::TOverlaySpan& span : options.overlay) {
        if (span.index >= map::kOverlayFirst && span.index <= map::kOverlayLast) {
            shown[span.index] = true;
        }
    }
    for (std::uint8_t index = map::kHighlightIndex; index <= map::kOverlayLast; ++index) {
        if (shown[index]) {
            lines.push_back({map::OverlayColour(index), map::OverlayName(index)});
        }
    }
    return lines;
}

} // namespace

TMapPictureLayout LayoutMapPicture(QSize size, const TMapPictureOptions& options) {
    TMapPictureLayout layout;
    if (!SizeAllowed(size)) {
        return layout;
    }
    const QFontMetrics metrics(PictureFont());
    const std::vector<LegendLine> lines = LegendLines(options);
    int widest = 0;
    for (const LegendLine& line : lines) {
        widest = std::max(widest, metrics.horizontalAdvance(Label(line.label)));
    }
    const int inner = size.width() - 2 * kMargin;
    const int entries = static_cast<int>(lines.size());
    layout.legendColumnWidth = kSwatch + kSwatchGap + widest + kColumnGap;
    layout.legendColumns = std::clamp(inner / layout.legendColumnWidth, 1, entries);
    const int rows = (entries + layout.legendColumns - 1) / layout.legendColumns;
    const int legendHeight = rows * kLegendRow;
    layout.title = QRect(kMargin, kMargin, inner, kTitleHeight);
    layout.legend = QRect(kMargin, size.height() - kMargin - legendHeight, inner, legendHeight);
    const int mapTop = kMargin + kTitleHeight + kGap;
    const int mapHeight = layout.legend.top() - kGap - mapTop;
    if (mapHeight > 0) {
        layout.map = QRect(kMargin, mapTop, inner, mapHeight);
    }
    return layout;
}

QImage RenderMapPicture(const map::TMapModel& model, const TMapPictureOptions& options) {
    const TMapPictureLayout layout = LayoutMapPicture(options.size, options);
    if (layout.map.isEmpty()) {
        return {};
    }
    QImage image(options.size, QImage::Format_RGB32);
    if (image.isNull()) {
        return {};
    }
    image.fill(kPictureBackground);

    map::TMapView view;
    view.SetArea(layout.map.width(), layout.map.height());
    view.SetTotalClusters(options.viewClusters > 0 ? options.viewClusters : model.TotalClusters());
    view.SetScale(options.scale.value_or(view.FitScale()));
    view.SetHighlight(options.highlight);
    view.SetOverlay(options.overlay);
    const auto width = static_cast<std::size_t>(layout.map.width());
    std::vector<std::uint8_t> cells;
    try {
        cells.resize(width * static_cast<std::size_t>(layout.map.height()));
    } catch (const std::bad_alloc&) {
        return {};
    }
    view.Render(model, cells.data(), width);
    const map::Palette& palette =
        options.palette != nullptr ? *options.palette : map::CellPalette();
    map::Palette colours = palette;
    map::SetOverlayColours(colours, palette, !options.overlay.empty());
    colours[map::kGridIndex] = kPictureGrid;
    colours[map::kBackgroundIndex] = kPictureBackground;
    for (int y = 0; y < layout.map.height(); ++y) {
        auto* line =
            reinterpret_cast<QRgb*>(image.scanLine(layout.map.top() + y)) + layout.map.left();
        const std::uint8_t* row = cells.data() + static_cast<std::size_t>(y) * width;
        for (std::size_t x = 0; x < width; ++x) {
            line[x] = colours[row[x]];
        }
    }

    QPainter painter(&image);
    const QFont font = PictureFont();
    painter.setFont(font);
    painter.setPen(QColor::fromRgb(kText));
    const QFontMetrics metrics(font);
    painter.drawText(
        layout.title, Qt::AlignLeft | Qt::AlignVCenter,
        metrics.elidedText(Label(options.title), Qt::ElideMiddle, layout.title.width()));
    const std::vector<LegendLine> lines = LegendLines(options);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int column = static_cast<int>(i) % layout.legendColumns;
        const int row = static_cast<int>(i) / layout.legendColumns;
        const int x = layout.legend.left() + column * layout.legendColumnWidth;
        const int y = layout.legend.top() + row * kLegendRow;
        const QRect swatch(x, y + (kLegendRow - kSwatch) / 2, kSwatch, kSwatch);
        painter.fillRect(swatch, QColor::fromRgb(lines[i].colour));
        // A frame, so that a swatch the colour of the background still shows.
        painter.setPen(QColor::fromRgb(kPictureGrid));
        painter.drawRect(swatch.adjusted(0, 0, -1, -1));
        painter.setPen(QColor::fromRgb(kText));
        const QRect text(swatch.right() + 1 + kSwatchGap, y,
                         layout.legendColumnWidth - kSwatch - kSwatchGap, kLegendRow);
        painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter, Label(lines[i].label));
    }
    painter.end();
    return image;
}

} // namespace lorvex::mappicture

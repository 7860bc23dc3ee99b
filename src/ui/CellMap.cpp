#include "ui/CellMap.h"

#include "map/MapView.h"

#include <QColor>
#include <QPainter>
#include <QStringView>

#include <algorithm>

namespace lorvex::ui {

bool ContainsCaseless(std::u16string_view text, std::u16string_view part) {
    return QStringView(text).contains(QStringView(part), Qt::CaseInsensitive);
}

QRgb OverlayColour(std::uint8_t index) {
    return map::OverlayColour(index);
}

QString OverlayName(std::uint8_t index) {
    const std::string_view name = map::OverlayName(index);
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

QPixmap LegendSwatch(QRgb colour) {
    const int side = 10;
    QPixmap square(side, side);
    square.fill(QColor::fromRgb(colour));
    QPainter frame(&square);
    frame.setPen(QColor(0x50, 0x50, 0x50));
    frame.drawRect(0, 0, side - 1, side - 1);
    frame.end();
    return square;
}

void OverlayColours(QList<QRgb>& colours, const QList<QRgb>& palette, bool dim) {
    if (colours.size() <= map::kOverlayLast) {
        colours.resize(map::kOverlayLast + 1);
    }
    // The map's own table, filled in place: the grid and the background
    // the screen sets for itself stay as they are.
    Palette shown{};
    std::copy_n(palette.begin(), std::min<qsizetype>(palette.size(), map::kGridIndex),
                shown.begin());
    map::SetOverlayColours(shown, shown, dim);
    std::copy_n(shown.begin(), std::min<qsizetype>(palette.size(), map::kGridIndex),
                colours.begin());
    std::copy(shown.begin() + map::kHighlightIndex, shown.begin() + map::kOverlayLast + 1,
              colours.begin() + map::kHighlightIndex);
}

} // namespace lorvex::ui

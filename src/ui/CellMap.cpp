#include "ui/CellMap.h"

#include "map/MapView.h"

#include <QColor>
#include <QPainter>
#include <QStringView>

namespace lorvex::ui {

bool ContainsCaseless(std::u16string_view text, std::u16string_view part) {
    return QStringView(text).contains(QStringView(part), Qt::CaseInsensitive);
}

QRgb OverlayColour(std::uint8_t index) {
    // Apart from the nine kinds of both palettes, which an overlay dims
    // besides, and from each other by hue or by lightness.
    switch (index) {
    case map::kHighlightIndex:
        return 0xFFFF00FFU; // magenta
    case map::kOverlayBeyondEnd:
        return 0xFFAA96FFU; // lavender
    case map::kOverlayUnownedUsed:
        return 0xFF965A28U; // brown
    case map::kOverlayOwnedFree:
        return 0xFFAAFFC8U; // mint
    case map::kOverlayCrossLinked:
        return 0xFF8000C0U; // purple
    case map::kOverlayBadArea:
        return 0xFFFFA0C8U; // pink
    default:
        return 0xFF000000U;
    }
}

QString OverlayName(std::uint8_t index) {
    switch (index) {
    case map::kHighlightIndex:
        return "shown file";
    case map::kOverlayBeyondEnd:
        return "run past the end";
    case map::kOverlayUnownedUsed:
        return "used, no owner";
    case map::kOverlayOwnedFree:
        return "owned, free";
    case map::kOverlayCrossLinked:
        return "cross-linked";
    case map::kOverlayBadArea:
        return "bad area";
    default:
        return {};
    }
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
    for (int state = 0; state < map::kGridIndex && state < palette.size(); ++state) {
        const QColor c = QColor::fromRgb(palette[state]);
        // A fifth of the colour over a dark grey: the kinds stay apart, the
        // overlay's full colours show over all of them.
        colours[state] = dim ? qRgb(0x18 + c.red() / 5, 0x18 + c.green() / 5, 0x18 + c.blue() / 5)
                             : palette[state];
    }
    for (int index = map::kOverlayFirst; index <= map::kOverlayLast; ++index) {
        colours[index] = OverlayColour(static_cast<std::uint8_t>(index));
    }
}

} // namespace lorvex::ui

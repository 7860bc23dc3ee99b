#include "ui/CellMap.h"

#include "map/MapView.h"

#include <QColor>
#include <QStringView>

namespace lorvex::ui {

bool ContainsCaseless(std::u16string_view text, std::u16string_view part) {
    return QStringView(text).contains(QStringView(part), Qt::CaseInsensitive);
}

QRgb OverlayColour(std::uint8_t index) {
    switch (index) {
    case map::kOverlayBeyondEnd:
        return 0xFF00FFFFU; // cyan
    case map::kOverlayUnownedUsed:
        return 0xFFFFFF00U; // yellow
    case map::kOverlayOwnedFree:
        return 0xFFFF8000U; // orange
    case map::kOverlayCrossLinked:
        return 0xFFFF0000U; // red
    case map::kOverlayBadArea:
        return 0xFF00FF00U; // green
    default:
        return 0xFF000000U;
    }
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

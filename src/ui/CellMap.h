#pragma once

#include "map/CellStates.h"
#include "map/Palette.h"

#include <QList>
#include <QPixmap>
#include <QRgb>
#include <QString>

#include <cstdint>
#include <string_view>

// The cell states as the window's code names them, and the window's one
// rule for matching a mark text.
namespace lorvex::ui {

// The states and their colours live with the map's model; the window's
// code names them here as it always has.
using map::CellPalette;
using map::CellState;
using map::Palette;
using enum map::CellState;

// Whether `text` contains `part` as the toolkit folds case, for every
// script: what Mark, Find and the map's model all match with.
bool ContainsCaseless(std::u16string_view text, std::u16string_view part);

// The colour of an overlay index (map::kOverlayFirst to map::kOverlayLast)
// or of map::kHighlightIndex, and its name in the legend.
QRgb OverlayColour(std::uint8_t index);
QString OverlayName(std::uint8_t index);
// A legend's swatch: a framed square, so that white and black show on any
// background.
QPixmap LegendSwatch(QRgb colour);

// Puts the overlay's colours into a screen's colour table, and the states'
// colours from `palette`, darkened when an overlay is shown so that the
// overlay stands out on any of them.
void OverlayColours(QList<QRgb>& colours, const QList<QRgb>& palette, bool dim);

} // namespace lorvex::ui

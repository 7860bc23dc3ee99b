#pragma once

#include "map/CellStates.h"

#include <string_view>

// The cell states as the window's code names them, and the window's one
// rule for matching a mark text.
namespace lorvex::ui {

// The states and their colours live with the map's model; the window's
// code names them here as it always has.
using map::CellPalette;
using map::TCellState;
using map::TPalette;
using enum map::TCellState;

// Whether `text` contains `part` as the toolkit folds case, for every
// script: what Mark, Find and the map's model all match with.
bool ContainsCaseless(std::u16string_view text, std::u16string_view part);

} // namespace lorvex::ui

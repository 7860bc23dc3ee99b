#pragma once

#include <functional>

#include <QString>

#include <vector>

class QAbstractItemModel;
class QAbstractItemView;
class QHeaderView;
class QModelIndex;

class QEvent;

class QWidget;

namespace lorvex::ui {

// What the two lists (Fast Find and the Fragmentation List) share: their
// rows as text for the clipboard, and the widths their columns need.

// The selected rows of `view`, top to bottom in the order shown.
[[nodiscard]] std::vector<int> SelectedRows(const QAbstractItemView& view);

// `rows` of `model` as lines of tab-separated `columns`, each line ended by
// a line feed: what a spreadsheet or a text editor takes as a table.
[[nodiscard]] QString RowsText(const QAbstractItemModel& model, const std::vector<int>& rows,
                               const std::vector<int>& columns);

// What a cell of `view` adds to the width of its text: the margins, as the
// view's delegate measures them on `sample` (a cell with text), and a grid
// line.
[[nodiscard]] int CellMargins(const QAbstractItemView& view, const QModelIndex& sample);

// The width a cell of `view` with `margins` needs to show `text` whole.
[[nodiscard]] int CellWidth(const QAbstractItemView& view, int margins, const QString& text);

// The width section `section` of `header` needs to show its title whole,
// with room for the sort arrow.
[[nodiscard]] int TitleWidth(const QHeaderView& header, int section);

// A list's own keys, seen by the window's event filter: Enter opens the
// current row (`open`) and Ctrl+C copies the selected rows (`copy`). Both
// are claimed from the shortcuts so that they arrive as key presses. True
// when `event` was one of them.
bool HandleListKey(QEvent* event, const std::function<void()>& open,
                   const std::function<void()>& copy);

// Shows a list window and gives `focus` the keyboard; one not yet shown is
// first centred over the window it belongs to.
void ShowListWindow(QWidget* window, QWidget* focus);

} // namespace lorvex::ui

#pragma once

#include <QString>

#include <vector>

class QAbstractItemModel;
class QAbstractItemView;
class QHeaderView;
class QModelIndex;

namespace lorvex::ui {

// What the list windows share beside their base (ListWindow): their rows as
// text for the clipboard, and the widths their columns need.

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

} // namespace lorvex::ui

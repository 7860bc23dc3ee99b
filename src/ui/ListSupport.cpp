#include "ui/ListSupport.h"

#include <QAbstractItemView>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QStyle>

#include <algorithm>

namespace lorvex::ui {

std::vector<int> SelectedRows(const QAbstractItemView& view) {
    std::vector<int> rows;
    if (const QItemSelectionModel* selection = view.selectionModel()) {
        for (const QModelIndex& index : selection->selectedRows()) {
            rows.push_back(index.row());
        }
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

QString RowsText(const QAbstractItemModel& model, const std::vector<int>& rows,
                 const std::vector<int>& columns) {
    QString text;
    for (const int row : rows) {
        for (std::size_t c = 0; c < columns.size(); ++c) {
            if (c > 0) {
                text += '\t';
            }
            text += model.index(row, columns[c]).data().toString();
        }
        text += '\n';
    }
    return text;
}

int CellMargins(const QAbstractItemView& view, const QModelIndex& sample) {
    // Without a cell to measure, the margins a plain item view puts either
    // side of a text.
    const int plain =
        2 * (view.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &view) + 1);
    const QString text = sample.data().toString();
    const int measured =
        sample.isValid() && !text.isEmpty()
            ? view.sizeHintForIndex(sample).width() - view.fontMetrics().horizontalAdvance(text)
            : plain;
    return std::max(plain, measured) + 1;
}

int CellWidth(const QAbstractItemView& view, int margins, const QString& text) {
    return view.fontMetrics().horizontalAdvance(text) + margins;
}

int TitleWidth(const QHeaderView& header, int section) {
    // A header that shows sort arrows counts the arrow's room in.
    return header.sectionSizeHint(section);
}

} // namespace lorvex::ui

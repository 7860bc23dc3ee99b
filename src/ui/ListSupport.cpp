#include "ui/ListSupport.h"

#include <QAbstractItemView>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QStyle>
#include <QWidget>

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

bool HandleListKey(QEvent* event, const std::function<void()>& open,
                   const std::function<void()>& copy) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride) {
        return false;
    }
    auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    const bool copying = key->matches(QKeySequence::Copy);
    if (!enter && !copying) {
        return false;
    }
    event->accept();
    if (event->type() == QEvent::KeyPress) {
        (enter ? open : copy)();
    }
    return true;
}

void ShowListWindow(QWidget* window, QWidget* focus) {
    if (!window->isVisible()) {
        if (QWidget* main = window->parentWidget()) {
            const QRect frame = window->frameGeometry();
            window->move(main->frameGeometry().center() -
                         QPoint(frame.width() / 2, frame.height() / 2));
        }
    }
    window->show();
    window->raise();
    window->activateWindow();
    focus->setFocus(Qt::ActiveWindowFocusReason);
}

} // namespace lorvex::ui

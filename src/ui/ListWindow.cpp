#include "ui/ListWindow.h"

#include "ui/ListSupport.h"
#include "ui/ScanJob.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTreeView>

namespace lorvex::ui {

namespace {

// The grid a list draws itself, in the colour of a table's.
constexpr QRgb kGridColour = 0xFFD4D0C8;

QString DriveOf(const TScanResult& scan) {
    return scan.volume ? QString::fromStdString(scan.volume->drive()) : QString();
}

bool SameScan(const std::weak_ptr<const TScanResult>& a,
              const std::weak_ptr<const TScanResult>& b) {
    return !a.owner_before(b) && !b.owner_before(a);
}

const QHeaderView* ColumnHeader(const QAbstractItemView& view) {
    if (const auto* tree = qobject_cast<const QTreeView*>(&view)) {
        return tree->header();
    }
    if (const auto* table = qobject_cast<const QTableView*>(&view)) {
        return table->horizontalHeader();
    }
    return nullptr;
}

// How a list's cells are drawn: as the style draws them (the selected rows
// in the highlight with the highlighted text), a grid when the view has
// none, and the current row outlined whole while the list has the keyboard,
// whatever the style does with the focus of one cell: the style draws that
// only once the keyboard has moved the focus, or not at all.
class ListDelegate : public QStyledItemDelegate {
  public:
    ListDelegate(QAbstractItemView* view, bool grid)
        : QStyledItemDelegate(view), view_(view), grid_(grid) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem cell(option);
        cell.state &= ~QStyle::State_HasFocus;
        QStyledItemDelegate::paint(painter, cell, index);
        painter->save();
        const QRect r = option.rect;
        if (grid_) {
            painter->setPen(QColor::fromRgb(kGridColour));
            painter->drawLine(r.topRight(), r.bottomRight());
            painter->drawLine(r.bottomLeft(), r.bottomRight());
        }
        if (view_->hasFocus() && index.row() == view_->currentIndex().row()) {
            DrawFocus(*painter, option, index);
        }
        painter->restore();
    }

  private:
    void DrawFocus(QPainter& painter, const QStyleOptionViewItem& option,
                   const QModelIndex& index) const {
        const bool selected = (option.state & QStyle::State_Selected) != 0;
        QPen pen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        pen.setStyle(Qt::DotLine);
        painter.setPen(pen);
        // Inside the grid line, so that the outline is not drawn over.
        const QRect r = option.rect.adjusted(0, 0, grid_ ? -1 : 0, grid_ ? -1 : 0);
        painter.drawLine(r.topLeft(), r.topRight());
        painter.drawLine(r.bottomLeft(), r.bottomRight());
        const QHeaderView* header = ColumnHeader(*view_);
        int first = 0;
        int last = view_->model()->columnCount(index.parent()) - 1;
        if (header != nullptr) {
            // The outline's ends are the outermost columns shown.
            while (first < header->count() &&
                   header->isSectionHidden(header->logicalIndex(first))) {
                ++first;
            }
            while (last > first && header->isSectionHidden(header->logicalIndex(last))) {
                --last;
            }
            first = header->logicalIndex(first);
            last = header->logicalIndex(last);
        }
        if (index.column() == first) {
            painter.drawLine(r.topLeft(), r.bottomLeft());
        }
        if (index.column() == last) {
            painter.drawLine(r.topRight(), r.bottomRight());
        }
    }

    QAbstractItemView* view_;
    bool grid_;
};

} // namespace

ListWindow::ListWindow(QWidget* mainWindow, const QString& objectName, const QString& title)
    : QWidget(mainWindow, Qt::Window) {
    setObjectName(objectName);
    setWindowTitle(title);
}

void ListWindow::AttachList(QAbstractItemView* view, RowMenuParts parts, QWidget* focus,
                            bool grid) {
    view_ = view;
    focus_ = focus;
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setItemDelegate(new ListDelegate(view, grid));
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
    connect(view, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.isValid() && ShownOrigin()) {
            OpenRow(index.row());
        }
    });
    BuildRowMenu(parts);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { OpenRowMenu(pos); });
}

void ListWindow::BuildRowMenu(RowMenuParts parts) {
    mnuRow = new QMenu(this);
    mnuRow->setObjectName("mnuRow");
    actShowOnMap = mnuRow->addAction("Show on map");
    actShowOnMap->setObjectName("actShowOnMap");
    connect(actShowOnMap, &QAction::triggered, this,
            [this] { RunMenuCommand(&ListWindow::ShowRowOnMap); });
    if (parts.details) {
        actDetails = mnuRow->addAction("Details");
        connect(actDetails, &QAction::triggered, this,
                [this] { RunMenuCommand(&ListWindow::ShowRowDetails); });
    }
    if (parts.copyPath) {
        mnuRow->addSeparator();
        actCopyPath = mnuRow->addAction("Copy path");
        connect(actCopyPath, &QAction::triggered, this, [this] { CopySelectedPaths(); });
    }
    actCopyRow = mnuRow->addAction("Copy row");
    actCopyRow->setShortcut(QKeySequence::Copy);
    connect(actCopyRow, &QAction::triggered, this, [this] { CopySelectedRows(); });
}

void ListWindow::SetOrigin(const std::shared_ptr<const TScanResult>& scan) {
    if (!IsOrigin(scan)) {
        mnuRow->hide();
    }
    origin_ = scan;
    originDrive_ = scan ? DriveOf(*scan) : QString();
}

bool ListWindow::IsOrigin(const std::shared_ptr<const TScanResult>& scan) const {
    return SameScan(origin_, scan);
}

std::shared_ptr<const TScanResult> ListWindow::ShownOrigin() const {
    return CheckShown(origin_, originDrive_);
}

std::shared_ptr<const TScanResult>
ListWindow::CheckShown(const std::weak_ptr<const TScanResult>& scan, const QString& drive) const {
    std::shared_ptr<const TScanResult> held = scan.lock();
    const TScanResult* shown = ShownScan ? ShownScan() : held.get();
    if (held && held.get() == shown) {
        return held;
    }
    if (!OnRefused) {
        return nullptr;
    }
    if (drive.isEmpty()) {
        OnRefused("The row belongs to a drive that is no longer shown.");
    } else if (shown != nullptr && DriveOf(*shown) == drive) {
        // The same drive scanned again is named as such: its rows may well
        // be the same files, but not at the same places in the table.
        OnRefused(QString("The row belongs to an earlier scan of drive %1.").arg(drive));
    } else {
        OnRefused(QString("The row belongs to drive %1, which is no longer shown.").arg(drive));
    }
    return nullptr;
}

void ListWindow::ShowList() {
    if (!isVisible()) {
        if (QWidget* main = parentWidget()) {
            const QRect frame = frameGeometry();
            move(main->frameGeometry().center() - QPoint(frame.width() / 2, frame.height() / 2));
        }
    }
    show();
    raise();
    activateWindow();
    (focus_ != nullptr ? focus_ : view_)->setFocus(Qt::ActiveWindowFocusReason);
}

int ListWindow::ActiveRow() const {
    const QModelIndex current = view_->currentIndex();
    if (current.isValid()) {
        return current.row();
    }
    const std::vector<int> selected = SelectedRows(*view_);
    return selected.empty() ? -1 : selected.front();
}

void ListWindow::OpenActiveRow() {
    const int row = ActiveRow();
    if (row >= 0 && ShownOrigin()) {
        OpenRow(row);
    }
}

bool ListWindow::RowHasMenu(int row) const {
    return row >= 0 && row < view_->model()->rowCount();
}

void ListWindow::PrepareRowMenu(int /*row*/) {
}

void ListWindow::ShowRowDetails(int /*row*/) {
}

void ListWindow::OpenRow(int row) {
    if (actDetails != nullptr) {
        ShowRowDetails(row);
    } else {
        ShowRowOnMap(row);
    }
}

void ListWindow::OpenRowMenu(const QPoint& pos) {
    const QModelIndex index = view_->indexAt(pos);
    if (!index.isValid() || !RowHasMenu(index.row())) {
        return;
    }
    if (!view_->selectionModel()->isRowSelected(index.row(), index.parent())) {
        view_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                            QItemSelectionModel::Rows);
    }
    PopUpRowMenu(index.row(), view_->viewport()->mapToGlobal(pos));
}

void ListWindow::OpenRowMenuAtCurrent() {
    const int row = ActiveRow();
    if (!RowHasMenu(row)) {
        return;
    }
    const QModelIndex index = view_->model()->index(row, 0);
    if (!view_->selectionModel()->isRowSelected(row, {})) {
        view_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                            QItemSelectionModel::Rows);
    }
    view_->scrollTo(index);
    // Below the row's start, where a pointer that clicked it would be; a
    // hidden column has no place on screen.
    QRect shown;
    for (int c = 0; c < view_->model()->columnCount() && shown.isEmpty(); ++c) {
        shown = view_->visualRect(view_->model()->index(row, c));
    }
    PopUpRowMenu(row, view_->viewport()->mapToGlobal(shown.bottomLeft()));
}

void ListWindow::PopUpRowMenu(int row, const QPoint& global) {
    menuRow_ = row;
    menuOrigin_ = origin_;
    menuDrive_ = originDrive_;
    PrepareRowMenu(row);
    mnuRow->popup(global);
}

void ListWindow::RunMenuCommand(void (ListWindow::*command)(int row)) {
    if (!CheckShown(menuOrigin_, menuDrive_)) {
        return;
    }
    // Filled again since the menu opened: its row is gone with the rows.
    if (!SameScan(menuOrigin_, origin_) || !RowHasMenu(menuRow_)) {
        return;
    }
    (this->*command)(menuRow_);
}

void ListWindow::CopySelectedRows() {
    const std::vector<int> rows = SelectedRows(*view_);
    if (!rows.empty()) {
        QApplication::clipboard()->setText(RowsText(*view_->model(), rows, CopiedColumns()));
    }
}

void ListWindow::CopySelectedPaths() {
    const std::vector<int> rows = SelectedRows(*view_);
    if (!rows.empty() && PathColumn() >= 0) {
        QApplication::clipboard()->setText(RowsText(*view_->model(), rows, {PathColumn()}));
    }
}

void ListWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool ListWindow::HandleListKey(QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride) {
        return false;
    }
    auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
    const bool copy = key->matches(QKeySequence::Copy);
    const bool menu = key->key() == Qt::Key_Menu ||
                      (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier);
    if (!enter && !copy && !menu) {
        return false;
    }
    // Claimed from the shortcuts, so that they arrive here as key presses.
    event->accept();
    if (event->type() == QEvent::KeyPress) {
        if (enter) {
            OpenActiveRow();
        } else if (copy) {
            CopySelectedRows();
        } else {
            OpenRowMenuAtCurrent();
        }
    }
    return true;
}

bool ListWindow::eventFilter(QObject* watched, QEvent* event) {
    if (view_ != nullptr && watched == view_->viewport() && event->type() == QEvent::Resize) {
        ListResized();
    }
    if (view_ != nullptr && watched == view_) {
        if (HandleListKey(event)) {
            return true;
        }
        // A menu asked for from the keyboard in some other way than the
        // keys above opens at the current row, not where the pointer is.
        if (event->type() == QEvent::ContextMenu &&
            static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
            OpenRowMenuAtCurrent();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace lorvex::ui

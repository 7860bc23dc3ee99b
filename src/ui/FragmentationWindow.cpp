#include "ui/FragmentationWindow.h"

#include "ui/ListSupport.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFont>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace lorvex::ui {

namespace {

constexpr int kBaseColumn = 0;
constexpr int kNameColumn = 1;
constexpr int kFragmentsColumn = 2;
// The narrowest the Fragments column gets, numbers or not.
constexpr int kFragmentsWidth = 70;

// What a row keeps beside its texts: where it came in the list as filled,
// the file-table index of its base record and its number of fragments.
constexpr int kRankRole = Qt::UserRole;
constexpr int kFileIndexRole = Qt::UserRole + 1;
constexpr int kFragmentsRole = Qt::UserRole + 2;

} // namespace

Tfrm_Fragmentation::Tfrm_Fragmentation(QWidget* mainWindow) : QWidget(mainWindow, Qt::Window) {
    setObjectName("frm_Fragmentation");
    setWindowTitle("Fragmentation List");
    resize(603, 345);
    QFont font("Tahoma");
    font.setPixelSize(11);
    setFont(font);

    lv_Fragments = new QTreeWidget(this);
    lv_Fragments->setObjectName("lv_Fragments");
    lv_Fragments->setColumnCount(3);
    lv_Fragments->setHeaderLabels({"Base ID", "File Name", "Fragments"});
    lv_Fragments->setRootIsDecorated(false);
    lv_Fragments->setUniformRowHeights(true);
    lv_Fragments->setSelectionBehavior(QAbstractItemView::SelectRows);
    lv_Fragments->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lv_Fragments->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lv_Fragments->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    // The list sorts itself (SortRows), so that equal keys keep the order
    // the rows came in whichever way a column sorts.
    lv_Fragments->setSortingEnabled(false);
    QHeaderView* header = lv_Fragments->header();
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(kFragmentsColumn, Qt::DescendingOrder);
    header->setStretchLastSection(false);
    connect(header, &QHeaderView::sortIndicatorChanged, this,
            [this](int column, Qt::SortOrder order) { SortRows(column, order); });
    lv_Fragments->setColumnHidden(kBaseColumn, true);
    // A tree view draws no grid of its own; the cell borders make one.
    lv_Fragments->setStyleSheet("QTreeView::item { border-right: 1px solid #d4d0c8;"
                                " border-bottom: 1px solid #d4d0c8; }");
    lv_Fragments->headerItem()->setTextAlignment(kFragmentsColumn,
                                                 Qt::AlignRight | Qt::AlignVCenter);
    connect(lv_Fragments, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem*, int) { lv_FragmentsDblClick(); });
    lv_Fragments->installEventFilter(this);
    lv_Fragments->viewport()->installEventFilter(this);

    mnuRow = new QMenu(this);
    mnuRow->setObjectName("mnuRow");
    actShowOnMap = mnuRow->addAction("Show on map");
    actDetails = mnuRow->addAction("Details");
    mnuRow->addSeparator();
    actCopyPath = mnuRow->addAction("Copy path");
    actCopyRow = mnuRow->addAction("Copy row");
    actCopyRow->setShortcut(QKeySequence::Copy);
    lv_Fragments->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lv_Fragments, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { ShowRowMenu(pos); });
    connect(actShowOnMap, &QAction::triggered, this, [this] {
        if (lv_Fragments->indexOfTopLevelItem(FMenuItem) < 0 || !OnShowOnMap) {
            return;
        }
        bool ok = false;
        const qlonglong index = FMenuItem->data(kNameColumn, kFileIndexRole).toLongLong(&ok);
        if (ok && index >= 0) {
            OnShowOnMap(index);
        }
    });
    connect(actDetails, &QAction::triggered, this, [this] {
        if (lv_Fragments->indexOfTopLevelItem(FMenuItem) >= 0) {
            lv_Fragments->setCurrentItem(FMenuItem);
            lv_FragmentsDblClick();
        }
    });
    connect(actCopyPath, &QAction::triggered, this, [this] { CopySelectedPaths(); });
    connect(actCopyRow, &QAction::triggered, this, [this] { CopySelectedRows(); });

    // Anchored on all four sides: 8, 8 and 587 x 329 of 603 x 345.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(lv_Fragments);
}

void Tfrm_Fragmentation::Fill(const std::vector<ntfs::TFragmentationRow>& rows,
                              const std::vector<std::int64_t>& fileIndexes) {
    lv_Fragments->setUpdatesEnabled(false);
    lv_Fragments->clear();
    FMenuItem = nullptr;
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const ntfs::TFragmentationRow& row = rows[i];
        auto* item = new QTreeWidgetItem(QStringList{QString::number(row.BaseID),
                                                     QString::fromStdU16String(row.Path),
                                                     QString::number(row.Fragments)});
        item->setTextAlignment(kFragmentsColumn, Qt::AlignRight | Qt::AlignVCenter);
        item->setData(kBaseColumn, kRankRole, static_cast<qulonglong>(i));
        item->setData(kNameColumn, kFileIndexRole,
                      static_cast<qlonglong>(i < fileIndexes.size() ? fileIndexes[i] : -1));
        item->setData(kFragmentsColumn, kFragmentsRole, row.Fragments);
        items << item;
    }
    lv_Fragments->addTopLevelItems(items);
    // The rows come most fragmented first; a list sorted otherwise when it
    // was filled last keeps that order.
    SortRows(lv_Fragments->header()->sortIndicatorSection(),
             lv_Fragments->header()->sortIndicatorOrder());
    FitColumns();
    lv_Fragments->setUpdatesEnabled(true);
}

void Tfrm_Fragmentation::SortRows(int column, Qt::SortOrder order) {
    if (column != kNameColumn && column != kFragmentsColumn) {
        return;
    }
    const QList<QTreeWidgetItem*> selected = lv_Fragments->selectedItems();
    QTreeWidgetItem* current = lv_Fragments->currentItem();
    QList<QTreeWidgetItem*> items = lv_Fragments->invisibleRootItem()->takeChildren();
    const bool descending = order == Qt::DescendingOrder;
    const auto rank = [](const QTreeWidgetItem* item) {
        return item->data(kBaseColumn, kRankRole).toULongLong();
    };
    std::stable_sort(
        items.begin(), items.end(), [&](const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
            int key = 0;
            if (column == kNameColumn) {
                key = a->text(kNameColumn).compare(b->text(kNameColumn), Qt::CaseInsensitive);
            } else {
                const auto fa = a->data(kFragmentsColumn, kFragmentsRole).toUInt();
                const auto fb = b->data(kFragmentsColumn, kFragmentsRole).toUInt();
                key = fa < fb ? -1 : (fa > fb ? 1 : 0);
            }
            if (key != 0) {
                return descending ? key > 0 : key < 0;
            }
            return rank(a) < rank(b);
        });
    lv_Fragments->addTopLevelItems(items);
    if (current != nullptr) {
        lv_Fragments->setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
    }
    for (QTreeWidgetItem* item : selected) {
        item->setSelected(true);
    }
    if (!selected.isEmpty()) {
        lv_Fragments->scrollToItem(current != nullptr ? current : selected.first());
    }
}

void Tfrm_Fragmentation::FitColumns() {
    const QHeaderView& header = *lv_Fragments->header();
    int fragments = std::max(kFragmentsWidth, TitleWidth(header, kFragmentsColumn));
    FNameWidth = TitleWidth(header, kNameColumn);
    const int margins = CellMargins(*lv_Fragments, lv_Fragments->model()->index(0, kNameColumn));
    for (int i = 0; i < lv_Fragments->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = lv_Fragments->topLevelItem(i);
        FNameWidth =
            std::max(FNameWidth, CellWidth(*lv_Fragments, margins, item->text(kNameColumn)));
        fragments =
            std::max(fragments, CellWidth(*lv_Fragments, margins, item->text(kFragmentsColumn)));
    }
    lv_Fragments->setColumnWidth(kFragmentsColumn, fragments);
    FitNameColumn();
}

void Tfrm_Fragmentation::FitNameColumn() {
    // The viewport's width leaves the scroll bar out when there is one.
    const int room =
        lv_Fragments->viewport()->width() - lv_Fragments->columnWidth(kFragmentsColumn);
    lv_Fragments->setColumnWidth(kNameColumn, std::max(FNameWidth, room));
}

void Tfrm_Fragmentation::ShowList() {
    ShowListWindow(this, lv_Fragments);
}

void Tfrm_Fragmentation::lv_FragmentsDblClick() {
    QList<QTreeWidgetItem*> selected = lv_Fragments->selectedItems();
    if (selected.isEmpty() || !OnBaseInfo) {
        return;
    }
    // Of several selected rows, the current one.
    QTreeWidgetItem* row = selected.contains(lv_Fragments->currentItem())
                               ? lv_Fragments->currentItem()
                               : selected.first();
    bool ok = false;
    const qlonglong baseId = row->text(kBaseColumn).toLongLong(&ok);
    if (ok) {
        OnBaseInfo(baseId);
    }
}

void Tfrm_Fragmentation::CopySelectedRows() {
    const std::vector<int> rows = SelectedRows(*lv_Fragments);
    if (!rows.empty()) {
        QApplication::clipboard()->setText(
            RowsText(*lv_Fragments->model(), rows, {kNameColumn, kFragmentsColumn}));
    }
}

void Tfrm_Fragmentation::CopySelectedPaths() {
    const std::vector<int> rows = SelectedRows(*lv_Fragments);
    if (!rows.empty()) {
        QApplication::clipboard()->setText(RowsText(*lv_Fragments->model(), rows, {kNameColumn}));
    }
}

void Tfrm_Fragmentation::ShowRowMenu(const QPoint& pos) {
    QTreeWidgetItem* item = lv_Fragments->itemAt(pos);
    if (item == nullptr) {
        return;
    }
    FMenuItem = item;
    if (!item->isSelected()) {
        lv_Fragments->setCurrentItem(item);
    }
    actShowOnMap->setEnabled(item->data(kNameColumn, kFileIndexRole).toLongLong() >= 0);
    mnuRow->popup(lv_Fragments->viewport()->mapToGlobal(pos));
}

void Tfrm_Fragmentation::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool Tfrm_Fragmentation::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lv_Fragments->viewport() && event->type() == QEvent::Resize) {
        FitNameColumn();
    }
    if (watched == lv_Fragments &&
        HandleListKey(
            event, [this] { lv_FragmentsDblClick(); }, [this] { CopySelectedRows(); })) {
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace lorvex::ui

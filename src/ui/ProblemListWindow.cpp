#include "ui/ProblemListWindow.h"

#include "ui/ListSupport.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QColor>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace lorvex::ui {

namespace {

constexpr int kKindColumn = 0;
constexpr int kFirstColumn = 1;
constexpr int kCountColumn = 2;
constexpr int kDetailColumn = 3;
constexpr int kFirstRole = Qt::UserRole;
constexpr int kCountRole = Qt::UserRole + 1;

} // namespace

Tfrm_ProblemList::Tfrm_ProblemList(QWidget* mainWindow, const QString& objectName,
                                   const QString& title, const QString& detailTitle)
    : QWidget(mainWindow, Qt::Window) {
    setObjectName(objectName);
    setWindowTitle(title);
    resize(900, 360);

    lbSummary = new QLabel(this);
    lbSummary->setObjectName("lbSummary");
    lbSummary->setWordWrap(true);
    lv_Problems = new QTreeWidget(this);
    lv_Problems->setObjectName("lv_Problems");
    lv_Problems->setColumnCount(4);
    lv_Problems->setHeaderLabels({"Kind", "First cluster", "Clusters", detailTitle});
    lv_Problems->setRootIsDecorated(false);
    lv_Problems->setUniformRowHeights(true);
    lv_Problems->setSelectionBehavior(QAbstractItemView::SelectRows);
    lv_Problems->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lv_Problems->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lv_Problems->headerItem()->setTextAlignment(kFirstColumn, Qt::AlignRight | Qt::AlignVCenter);
    lv_Problems->headerItem()->setTextAlignment(kCountColumn, Qt::AlignRight | Qt::AlignVCenter);
    lv_Problems->header()->setStretchLastSection(true);
    connect(lv_Problems, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem*, int) { ShowSelectedOnMap(); });
    lv_Problems->installEventFilter(this);

    mnuRow = new QMenu(this);
    mnuRow->setObjectName("mnuRow");
    actShowOnMap = mnuRow->addAction("Show on map");
    actShowOnMap->setObjectName("actShowOnMap");
    actCopyRow = mnuRow->addAction("Copy row");
    actCopyRow->setShortcut(QKeySequence::Copy);
    connect(actShowOnMap, &QAction::triggered, this, [this] { ShowSelectedOnMap(); });
    connect(actCopyRow, &QAction::triggered, this, [this] { CopySelectedRows(); });
    lv_Problems->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lv_Problems, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (QTreeWidgetItem* item = lv_Problems->itemAt(pos)) {
            if (!item->isSelected()) {
                lv_Problems->setCurrentItem(item);
            }
            mnuRow->popup(lv_Problems->viewport()->mapToGlobal(pos));
        }
    });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(lbSummary);
    layout->addWidget(lv_Problems, 1);
}

void Tfrm_ProblemList::Fill(const std::vector<TProblemRow>& rows, const QString& summary) {
    lbSummary->setText(summary);
    lv_Problems->setUpdatesEnabled(false);
    lv_Problems->clear();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    for (const TProblemRow& row : rows) {
        auto* item = new QTreeWidgetItem(QStringList{row.Kind, QString::number(row.FirstLCN),
                                                     QString::number(row.Count), row.Detail});
        item->setTextAlignment(kFirstColumn, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(kCountColumn, Qt::AlignRight | Qt::AlignVCenter);
        if (row.Colour != 0) {
            // The row's swatch: the colour it has over the map.
            QPixmap swatch(12, 12);
            swatch.fill(QColor::fromRgb(row.Colour));
            item->setIcon(kKindColumn, QIcon(swatch));
        }
        item->setToolTip(kDetailColumn, row.Detail);
        item->setData(kKindColumn, kFirstRole, static_cast<qlonglong>(row.FirstLCN));
        item->setData(kKindColumn, kCountRole, static_cast<qlonglong>(row.Count));
        items << item;
    }
    lv_Problems->addTopLevelItems(items);
    for (int c = kKindColumn; c < kDetailColumn; ++c) {
        lv_Problems->resizeColumnToContents(c);
    }
    lv_Problems->setUpdatesEnabled(true);
}

void Tfrm_ProblemList::ShowList() {
    ShowListWindow(this, lv_Problems);
}

void Tfrm_ProblemList::ShowSelectedOnMap() {
    QTreeWidgetItem* row = lv_Problems->currentItem();
    if (row == nullptr) {
        const QList<QTreeWidgetItem*> selected = lv_Problems->selectedItems();
        row = selected.isEmpty() ? nullptr : selected.first();
    }
    if (row == nullptr || !OnShowOnMap) {
        return;
    }
    OnShowOnMap(row->data(kKindColumn, kFirstRole).toLongLong(),
                row->data(kKindColumn, kCountRole).toLongLong());
}

void Tfrm_ProblemList::CopySelectedRows() {
    const std::vector<int> rows = SelectedRows(*lv_Problems);
    if (!rows.empty()) {
        QApplication::clipboard()->setText(RowsText(
            *lv_Problems->model(), rows, {kKindColumn, kFirstColumn, kCountColumn, kDetailColumn}));
    }
}

void Tfrm_ProblemList::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool Tfrm_ProblemList::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lv_Problems &&
        HandleListKey(
            event, [this] { ShowSelectedOnMap(); }, [this] { CopySelectedRows(); })) {
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace lorvex::ui

#include "ui/FragmentationWindow.h"

#include <QFont>
#include <QHeaderView>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace lorvex::ui {

namespace {

constexpr int kBaseColumn = 0;
constexpr int kNameColumn = 1;
constexpr int kFragmentsColumn = 2;

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
    lv_Fragments->setSelectionMode(QAbstractItemView::SingleSelection);
    lv_Fragments->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The rows come sorted; a click on a column title leaves them so.
    lv_Fragments->setSortingEnabled(false);
    lv_Fragments->header()->setSectionsClickable(false);
    lv_Fragments->header()->setStretchLastSection(false);
    lv_Fragments->setColumnHidden(kBaseColumn, true);
    // A tree view draws no grid of its own; the cell borders make one.
    lv_Fragments->setStyleSheet("QTreeView::item { border-right: 1px solid #d4d0c8;"
                                " border-bottom: 1px solid #d4d0c8; }");
    lv_Fragments->headerItem()->setTextAlignment(kFragmentsColumn,
                                                 Qt::AlignRight | Qt::AlignVCenter);
    connect(lv_Fragments, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem*, int) { lv_FragmentsDblClick(); });

    // Anchored on all four sides: 8, 8 and 587 x 329 of 603 x 345.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(lv_Fragments);
}

void Tfrm_Fragmentation::Fill(const std::vector<ntfs::TFragmentationRow>& rows) {
    lv_Fragments->setUpdatesEnabled(false);
    lv_Fragments->clear();
    lv_Fragments->setColumnWidth(kNameColumn, lv_Fragments->width() - 95);
    lv_Fragments->setColumnWidth(kFragmentsColumn, 70);
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    for (const ntfs::TFragmentationRow& row : rows) {
        auto* item = new QTreeWidgetItem(QStringList{QString::number(row.BaseID),
                                                     QString::fromStdU16String(row.Path),
                                                     QString::number(row.Fragments)});
        item->setTextAlignment(kFragmentsColumn, Qt::AlignRight | Qt::AlignVCenter);
        items << item;
    }
    lv_Fragments->addTopLevelItems(items);
    lv_Fragments->setUpdatesEnabled(true);
}

void Tfrm_Fragmentation::ShowList() {
    if (!isVisible()) {
        if (QWidget* main = parentWidget()) {
            move(main->frameGeometry().center() -
                 QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
        }
    }
    show();
    raise();
    activateWindow();
}

void Tfrm_Fragmentation::lv_FragmentsDblClick() {
    const QList<QTreeWidgetItem*> selected = lv_Fragments->selectedItems();
    if (selected.isEmpty() || !OnBaseInfo) {
        return;
    }
    bool ok = false;
    const qlonglong baseId = selected.first()->text(kBaseColumn).toLongLong(&ok);
    if (ok) {
        OnBaseInfo(baseId);
    }
}

} // namespace lorvex::ui

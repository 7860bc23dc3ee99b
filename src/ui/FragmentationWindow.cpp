#include "ui/FragmentationWindow.h"

#include "ntfs/ClusterMap.h"
#include "ntfs/NtfsVolume.h"
#include "ui/ListSupport.h"
#include "ui/ScanJob.h"

#include <QFont>
#include <QHeaderView>
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

FragmentationWindow::FragmentationWindow(QWidget* mainWindow)
    : ListWindow(mainWindow, "frm_Fragmentation", "Fragmentation List") {
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
    lv_Fragments->headerItem()->setTextAlignment(kFragmentsColumn,
                                                 Qt::AlignRight | Qt::AlignVCenter);
    // A tree view draws no grid of its own: the list draws one. Cell
    // borders from a style sheet made one too, but took the highlight away
    // from the selected row and left its text white on white.
    AttachList(lv_Fragments, {.details = true, .copyPath = true}, lv_Fragments, true);

    // Anchored on all four sides: 8, 8 and 587 x 329 of 603 x 345.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(lv_Fragments);
}

void FragmentationWindow::Fill(const std::shared_ptr<const TScanResult>& scan) {
    std::vector<ntfs::TFragmentationRow> rows;
    if (scan) {
        ntfs::TCardinalArray order;
        ntfs::GetBaseIDOrder(scan->fileIds, order);
        rows = ntfs::FragmentationRows(scan->fileIds, order);
    }
    SetOrigin(scan);
    lv_Fragments->setUpdatesEnabled(false);
    lv_Fragments->clear();
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
                      static_cast<qlonglong>(scan->fileIds.IndexOfID(row.BaseID)));
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

void FragmentationWindow::FollowScan(const std::shared_ptr<const TScanResult>& scan) {
    if (!IsOrigin(scan)) {
        Fill(isVisible() ? scan : nullptr);
    }
}

void FragmentationWindow::SortRows(int column, Qt::SortOrder order) {
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

void FragmentationWindow::FitColumns() {
    const QHeaderView& header = *lv_Fragments->header();
    int fragments = std::max(kFragmentsWidth, TitleWidth(header, kFragmentsColumn));
    nameWidth_ = TitleWidth(header, kNameColumn);
    const int margins = CellMargins(*lv_Fragments, lv_Fragments->model()->index(0, kNameColumn));
    for (int i = 0; i < lv_Fragments->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = lv_Fragments->topLevelItem(i);
        nameWidth_ =
            std::max(nameWidth_, CellWidth(*lv_Fragments, margins, item->text(kNameColumn)));
        fragments =
            std::max(fragments, CellWidth(*lv_Fragments, margins, item->text(kFragmentsColumn)));
    }
    lv_Fragments->setColumnWidth(kFragmentsColumn, fragments);
    FitNameColumn();
}

void FragmentationWindow::FitNameColumn() {
    // The viewport's width leaves the scroll bar out when there is one.
    const int room =
        lv_Fragments->viewport()->width() - lv_Fragments->columnWidth(kFragmentsColumn);
    lv_Fragments->setColumnWidth(kNameColumn, std::max(nameWidth_, room));
}

std::int64_t FragmentationWindow::FileIndexOfRow(int row) const {
    const QTreeWidgetItem* item = lv_Fragments->topLevelItem(row);
    bool ok = false;
    const qlonglong index =
        item != nullptr ? item->data(kNameColumn, kFileIndexRole).toLongLong(&ok) : -1;
    return ok ? index : -1;
}

void FragmentationWindow::PrepareRowMenu(int row) {
    actShowOnMap->setEnabled(FileIndexOfRow(row) >= 0);
}

void FragmentationWindow::ShowRowOnMap(int row) {
    const std::int64_t index = FileIndexOfRow(row);
    if (index >= 0 && OnShowOnMap) {
        OnShowOnMap(index);
    }
}

void FragmentationWindow::ShowRowDetails(int row) {
    const QTreeWidgetItem* item = lv_Fragments->topLevelItem(row);
    bool ok = false;
    const qlonglong baseId = item != nullptr ? item->text(kBaseColumn).toLongLong(&ok) : 0;
    if (ok && OnBaseInfo) {
        OnBaseInfo(baseId);
    }
}

std::vector<int> FragmentationWindow::CopiedColumns() const {
    return {kNameColumn, kFragmentsColumn};
}

int FragmentationWindow::PathColumn() const {
    return kNameColumn;
}

void FragmentationWindow::ListResized() {
    FitNameColumn();
}

} // namespace lorvex::ui

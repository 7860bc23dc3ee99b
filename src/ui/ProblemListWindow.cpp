#include "ui/ProblemListWindow.h"

#include <QColor>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
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

ProblemListWindow::ProblemListWindow(QWidget* mainWindow, const QString& objectName,
                                     const QString& title, const QString& detailTitle)
    : ListWindow(mainWindow, objectName, title) {
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
    lv_Problems->headerItem()->setTextAlignment(kFirstColumn, Qt::AlignRight | Qt::AlignVCenter);
    lv_Problems->headerItem()->setTextAlignment(kCountColumn, Qt::AlignRight | Qt::AlignVCenter);
    lv_Problems->header()->setStretchLastSection(true);
    AttachList(lv_Problems, {}, lv_Problems, false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(lbSummary);
    layout->addWidget(lv_Problems, 1);
}

void ProblemListWindow::Fill(const std::shared_ptr<const TScanResult>& scan,
                             const std::vector<ProblemRow>& rows, const QString& summary) {
    SetOrigin(scan);
    lbSummary->setText(summary);
    lv_Problems->setUpdatesEnabled(false);
    lv_Problems->clear();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    for (const ProblemRow& row : rows) {
        auto* item = new QTreeWidgetItem(QStringList{row.kind, QString::number(row.firstLcn),
                                                     QString::number(row.count), row.detail});
        item->setTextAlignment(kFirstColumn, Qt::AlignRight | Qt::AlignVCenter);
        item->setTextAlignment(kCountColumn, Qt::AlignRight | Qt::AlignVCenter);
        if (row.colour != 0) {
            // The row's swatch: the colour it has over the map.
            QPixmap swatch(12, 12);
            swatch.fill(QColor::fromRgb(row.colour));
            item->setIcon(kKindColumn, QIcon(swatch));
        }
        item->setToolTip(kDetailColumn, row.detail);
        item->setData(kKindColumn, kFirstRole, static_cast<qlonglong>(row.firstLcn));
        item->setData(kKindColumn, kCountRole, static_cast<qlonglong>(row.count));
        items << item;
    }
    lv_Problems->addTopLevelItems(items);
    for (int c = kKindColumn; c < kDetailColumn; ++c) {
        lv_Problems->resizeColumnToContents(c);
    }
    lv_Problems->setUpdatesEnabled(true);
}

void ProblemListWindow::FollowScan(const std::shared_ptr<const TScanResult>& scan) {
    if (!IsOrigin(scan)) {
        Fill(nullptr, {}, QString());
    }
}

void ProblemListWindow::ShowRowOnMap(int row) {
    const QTreeWidgetItem* item = lv_Problems->topLevelItem(row);
    if (item != nullptr && OnShowOnMap) {
        OnShowOnMap(item->data(kKindColumn, kFirstRole).toLongLong(),
                    item->data(kKindColumn, kCountRole).toLongLong());
    }
}

std::vector<int> ProblemListWindow::CopiedColumns() const {
    return {kKindColumn, kFirstColumn, kCountColumn, kDetailColumn};
}

} // namespace lorvex::ui

#include "ui/DeletedFilesWindow.h"

#include "ntfs/RecordTimes.h"
#include "ui/DeletedWalk.h"
#include "ui/ListSupport.h"
#include "ui/ScanJob.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

namespace lorvex::ui {

namespace {

enum Column : int {
    kRecordColumn,
    kPathColumn,
    kSizeColumn,
    kDeletedColumn,
    kRecoverableColumn,
    kOverwrittenColumn,
    kColumnCount
};

// What a row sorts by in each column, beside its text; and the entry's index.
constexpr int kSortRole = Qt::UserRole;
constexpr int kEntryRole = Qt::UserRole + 1;
// The owners named in a row before "and N more".
constexpr std::size_t kOwnersNamed = 3;
// Paths this wide at most when the columns are fitted; the rest scrolls.
constexpr int kWidestPath = 420;

// A row that sorts by its cells' sort values: numbers as numbers, the texts
// without regard to case, equal keys by record number.
class DeletedRow : public QTreeWidgetItem {
  public:
    using QTreeWidgetItem::QTreeWidgetItem;

    bool operator<(const QTreeWidgetItem& other) const override {
        const int column = treeWidget() != nullptr ? treeWidget()->sortColumn() : 0;
        const QVariant a = data(column, kSortRole);
        const QVariant b = other.data(column, kSortRole);
        if (a.typeId() == QMetaType::QString) {
            const int key = a.toString().compare(b.toString(), Qt::CaseInsensitive);
            if (key != 0) {
                return key < 0;
            }
        } else if (a.toLongLong() != b.toLongLong()) {
            return a.toLongLong() < b.toLongLong();
        }
        return data(kRecordColumn, kSortRole).toLongLong() <
               other.data(kRecordColumn, kSortRole).toLongLong();
    }
};

QString TimeText(std::int64_t time) {
    // "2024-05-01 10:20:30", in UTC as every time of the window is.
    const std::string iso = ntfs::NtfsTimeToIso8601(time);
    return iso.size() < 19 ? QString()
                           : QString::fromStdString(iso.substr(0, 19)).replace('T', ' ');
}

// The live files and later deleted ones that hold what the entry held.
QString OverwrittenByText(const DeletedScan& deleted, const ntfs::DeletedEntry& entry,
                          const ntfs::TFileIDs& live) {
    std::set<std::pair<bool, std::int64_t>> owners; // (deleted, record)
    for (const ntfs::DeletedStream& stream : deleted.entries.Streams(entry)) {
        for (const ntfs::DeletedPiece& piece : deleted.entries.Pieces(stream)) {
            if (piece.state == ntfs::PieceState::kOverwritten ||
                piece.state == ntfs::PieceState::kClaimed) {
                owners.insert({piece.state == ntfs::PieceState::kClaimed, piece.overwrittenBy});
            }
        }
    }
    QStringList named;
    for (const auto& [isDeleted, record] : owners) {
        if (named.size() == static_cast<qsizetype>(kOwnersNamed)) {
            named << QString("and %1 more").arg(owners.size() - kOwnersNamed);
            break;
        }
        named << DeletedOwnerText(deleted, isDeleted, record, live);
    }
    return named.join("; ");
}

} // namespace

DeletedFilesWindow::DeletedFilesWindow(QWidget* mainWindow)
    : ListWindow(mainWindow, "frm_Deleted", "Deleted Files") {
    resize(900, 420);
    lbSummary = new QLabel(this);
    lbSummary->setObjectName("lbSummary");
    lbSummary->setWordWrap(true);
    lv_Deleted = new QTreeWidget(this);
    lv_Deleted->setObjectName("lv_Deleted");
    lv_Deleted->setColumnCount(kColumnCount);
    lv_Deleted->setHeaderLabels(
        {"Record", "Path", "Size", "Deleted (UTC)", "Recoverable", "Overwritten by"});
    lv_Deleted->setRootIsDecorated(false);
    lv_Deleted->setUniformRowHeights(true);
    lv_Deleted->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    for (const int c : {kRecordColumn, kSizeColumn, kRecoverableColumn}) {
        lv_Deleted->headerItem()->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
    }
    lv_Deleted->header()->setStretchLastSection(true);
    lv_Deleted->setSortingEnabled(true);
    lv_Deleted->sortByColumn(kRecordColumn, Qt::AscendingOrder);
    AttachList(lv_Deleted, {.details = true, .copyPath = true}, lv_Deleted, true);
    mnuRow->addSeparator();
    actSaveFile = mnuRow->addAction("Save File &As...");
    actSaveFile->setObjectName("actSaveFile");
    connect(actSaveFile, &QAction::triggered, this,
            [this] { RunEntryCommand(OnSaveFile, menuRow_); });
    // F1 is the report on the row's record here, as it is on the map.
    auto* report = new QAction(this);
    report->setShortcut(QKeySequence(Qt::Key_F1));
    report->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(report, &QAction::triggered, this, [this] {
        const int row = ActiveRow();
        if (row >= 0 && ShownOrigin()) {
            ShowRowDetails(row);
        }
    });
    addAction(report);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(lbSummary);
    layout->addWidget(lv_Deleted, 1);
}

void DeletedFilesWindow::ShowMessage(const QString& text) {
    SetOrigin(nullptr);
    deleted_.reset();
    lv_Deleted->clear();
    lbSummary->setText(text);
}

void DeletedFilesWindow::FollowScan(const std::shared_ptr<const TScanResult>& scan) {
    if (!IsOrigin(scan)) {
        ShowMessage(QString());
    }
}

void DeletedFilesWindow::Fill(const std::shared_ptr<const TScanResult>& scan,
                              std::shared_ptr<const DeletedScan> deleted) {
    if (!scan || !deleted) {
        ShowMessage(QString());
        return;
    }
    SetOrigin(scan);
    deleted_ = std::move(deleted);
    const ntfs::TFileIDs& live = scan->fileIds;
    const ntfs::DeletedEntries& entries = deleted_->entries;
    lv_Deleted->setUpdatesEnabled(false);
    lv_Deleted->setSortingEnabled(false);
    lv_Deleted->clear();
    QList<QTreeWidgetItem*> items;
    std::int64_t recoverable = 0;
    std::int64_t overwritten = 0;
    std::int64_t directories = 0;
    for (std::size_t i = 0; i < entries.entries().size(); ++i) {
        const ntfs::DeletedEntry& entry = entries.entries()[i];
        const std::int64_t clusters = entry.recoverableClusters + entry.overwrittenClusters;
        const auto streams = entries.Streams(entry);
        const bool resident = !streams.empty() && streams.front().resident;
        // A share of its clusters; all of a value that stands in its record.
        const std::int64_t percent =
            clusters > 0 ? entry.recoverableClusters * 100 / clusters : (resident ? 100 : -1);
        auto* item = new DeletedRow(QStringList{
            QString::number(entry.record), QString::fromStdU16String(entries.Path(i, 0, live)),
            entry.directory ? QString() : QString::number(entry.size), TimeText(entry.deletedTime),
            percent < 0 ? QString()
                        : QString::number(percent) + "%" +
                              (clusters == 0 ? QString(" (in its record)") : QString()),
            OverwrittenByText(*deleted_, entry, live)});
        const QVariantList keys{static_cast<qlonglong>(entry.record),
                                item->text(kPathColumn),
                                static_cast<qlonglong>(entry.directory ? -1 : entry.size),
                                static_cast<qlonglong>(entry.deletedTime),
                                static_cast<qlonglong>(percent),
                                item->text(kOverwrittenColumn)};
        for (int c = 0; c < kColumnCount; ++c) {
            item->setData(c, kSortRole, keys[c]);
        }
        for (const int c : {kRecordColumn, kSizeColumn, kRecoverableColumn}) {
            item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
        }
        item->setToolTip(kPathColumn, item->text(kPathColumn));
        item->setToolTip(kOverwrittenColumn, item->text(kOverwrittenColumn));
        item->setData(kRecordColumn, kEntryRole, static_cast<qulonglong>(i));
        items << item;
        recoverable += entry.recoverableClusters;
        overwritten += entry.overwrittenClusters;
        directories += entry.directory ? 1 : 0;
    }
    lv_Deleted->addTopLevelItems(items);
    lv_Deleted->setSortingEnabled(true);
    FitColumns();
    lv_Deleted->setUpdatesEnabled(true);
    const auto count = static_cast<std::int64_t>(entries.entries().size());
    lbSummary->setText(QString("%1 deleted entries on %2 (%3 files, %4 directories): %5 of their "
                               "clusters still hold their data, %6 are overwritten.")
                           .arg(count)
                           .arg(deleted_->drive)
                           .arg(count - directories)
                           .arg(directories)
                           .arg(recoverable)
                           .arg(overwritten));
}

void DeletedFilesWindow::FitColumns() {
    for (int c = 0; c < kOverwrittenColumn; ++c) {
        lv_Deleted->resizeColumnToContents(c);
        lv_Deleted->setColumnWidth(
            c, std::max(lv_Deleted->columnWidth(c), TitleWidth(*lv_Deleted->header(), c)));
    }
    lv_Deleted->setColumnWidth(kPathColumn,
                               std::min(lv_Deleted->columnWidth(kPathColumn), kWidestPath));
}

std::ptrdiff_t DeletedFilesWindow::EntryOfRow(int row) const {
    const QTreeWidgetItem* item = lv_Deleted->topLevelItem(row);
    if (item == nullptr || !deleted_) {
        return -1;
    }
    return static_cast<std::ptrdiff_t>(item->data(kRecordColumn, kEntryRole).toULongLong());
}

void DeletedFilesWindow::RunEntryCommand(const EntryCommand& command, int row) const {
    const std::ptrdiff_t entry = EntryOfRow(row);
    if (entry < 0 || !command || !ShownOrigin()) {
        return;
    }
    command(*deleted_, static_cast<std::size_t>(entry));
}

void DeletedFilesWindow::PrepareRowMenu(int row) {
    menuRow_ = row;
    const std::ptrdiff_t entry = EntryOfRow(row);
    actShowOnMap->setEnabled(entry >= 0);
    actSaveFile->setEnabled(
        entry >= 0 && !deleted_->entries.entries()[static_cast<std::size_t>(entry)].directory);
}

void DeletedFilesWindow::ShowRowOnMap(int row) {
    RunEntryCommand(OnShowOnMap, row);
}

void DeletedFilesWindow::ShowRowDetails(int row) {
    RunEntryCommand(OnDetails, row);
}

std::vector<int> DeletedFilesWindow::CopiedColumns() const {
    return {kRecordColumn,  kPathColumn,        kSizeColumn,
            kDeletedColumn, kRecoverableColumn, kOverwrittenColumn};
}

int DeletedFilesWindow::PathColumn() const {
    return kPathColumn;
}

} // namespace lorvex::ui

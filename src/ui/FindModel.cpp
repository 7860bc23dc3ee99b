#include "ui/FindModel.h"

#include "ntfs/FileTable.h"
#include "ntfs/Formatters.h"
#include "ui/ScanJob.h"

#include <QString>

#include <algorithm>
#include <array>
#include <numeric>
#include <string>

namespace lorvex::ui {

bool IsFileEntry(const ntfs::TFileIDs& table, std::int64_t index) {
    const ntfs::TFileID& e = table[static_cast<std::size_t>(index)];
    return e.BaseID == e.FileID || table.IndexOfID(e.BaseID) < 0;
}

int FindModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || !searched_) {
        return 0;
    }
    // Without a match the grid keeps one empty row under its titles.
    return std::max(1, static_cast<int>(rows_.size()));
}

int FindModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant FindModel::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char* const kTitles[] = {"Item", "Base", "Name", "Fragmented", "Type"};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < kColumnCount) {
        return QString(kTitles[section]);
    }
    return {};
}

QVariant FindModel::data(const QModelIndex& index, int role) const {
    if (role == Qt::TextAlignmentRole && index.isValid() &&
        (index.column() == kItemColumn || index.column() == kBaseColumn)) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    if (role != Qt::DisplayRole || !index.isValid() ||
        static_cast<std::size_t>(index.row()) >= rows_.size()) {
        return {};
    }
    const std::shared_ptr<const TScanResult> scan = scan_.lock();
    const std::uint32_t position = rows_[static_cast<std::size_t>(index.row())];
    if (!scan || position >= static_cast<std::uint32_t>(scan->fileIds.size())) {
        return {};
    }
    const ntfs::TFileIDs& table = scan->fileIds;
    const ntfs::TFileID& e = table[position];
    switch (index.column()) {
    case kItemColumn:
        return QString::number(e.FileID);
    case kBaseColumn:
        return QString::number(e.BaseID);
    case kNameColumn:
        return QString::fromStdU16String(table.Path(static_cast<int>(position)));
    case kFragmentedColumn:
        return QString::fromStdString(ntfs::YesNoToStr(e.Fragmented));
    default:
        return QString::fromStdString(ntfs::FileTypeToStr(e.FileType));
    }
}

std::int64_t FindModel::Position(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) {
        return -1;
    }
    return rows_[static_cast<std::size_t>(row)];
}

void FindModel::sort(int column, Qt::SortOrder order) {
    sortColumn_ = column;
    sortOrder_ = order;
    Resort();
}

void FindModel::Resort() {
    const std::shared_ptr<const TScanResult> scan = scan_.lock();
    if (rows_.size() < 2 || !scan) {
        return;
    }
    const ntfs::TFileIDs& table = scan->fileIds;
    for (const std::uint32_t position : rows_) {
        if (position >= static_cast<std::uint32_t>(table.size())) {
            return;
        }
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    MoveRows(SortedOrder(table));
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void FindModel::Start(const std::shared_ptr<const TScanResult>& scan) {
    beginResetModel();
    scan_ = scan;
    rows_.clear();
    pending_.clear();
    searched_ = true;
    endResetModel();
}

void FindModel::Forget() {
    beginResetModel();
    scan_.reset();
    rows_.clear();
    pending_.clear();
    searched_ = false;
    endResetModel();
}

void FindModel::Flush() {
    if (pending_.empty()) {
        return;
    }
    if (rows_.empty()) {
        // The empty row under the titles turns into the first match.
        beginResetModel();
        rows_.swap(pending_);
        endResetModel();
        return;
    }
    const auto first = static_cast<int>(rows_.size());
    beginInsertRows({}, first, first + static_cast<int>(pending_.size()) - 1);
    rows_.insert(rows_.end(), pending_.begin(), pending_.end());
    endInsertRows();
    pending_.clear();
}

std::vector<std::size_t> FindModel::SortedOrder(const ntfs::TFileIDs& table) const {
    std::vector<std::size_t> order(rows_.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    const bool descending = sortOrder_ == Qt::DescendingOrder;
    const auto entry = [&](std::size_t row) -> const ntfs::TFileID& { return table[rows_[row]]; };
    // Compares by a key, then by table position.
    const auto sortBy = [&](const auto& key) {
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            const auto& ka = key(a);
            const auto& kb = key(b);
            if (ka < kb) {
                return !descending;
            }
            if (kb < ka) {
                return descending;
            }
            return rows_[a] < rows_[b];
        });
    };
    switch (sortColumn_) {
    case kItemColumn:
        sortBy([&](std::size_t row) { return entry(row).FileID; });
        break;
    case kBaseColumn:
        sortBy([&](std::size_t row) { return entry(row).BaseID; });
        break;
    case kNameColumn: {
        // Each path is built once, not at every comparison.
        std::vector<QString> names(rows_.size());
        std::u16string path;
        for (std::size_t row = 0; row < rows_.size(); ++row) {
            table.GetPath(static_cast<int>(rows_[row]), path);
            names[row] = QString::fromStdU16String(path).toCaseFolded();
        }
        sortBy([&](std::size_t row) -> const QString& { return names[row]; });
        break;
    }
    case kFragmentedColumn:
        sortBy([&](std::size_t row) { return entry(row).Fragmented; });
        break;
    case kTypeColumn: {
        std::array<std::string, 256> types;
        for (std::size_t t = 0; t < types.size(); ++t) {
            types[t] = ntfs::FileTypeToStr(static_cast<std::uint8_t>(t));
        }
        sortBy([&](std::size_t row) -> const std::string& { return types[entry(row).FileType]; });
        break;
    }
    default:
        sortBy([&](std::size_t row) { return rows_[row]; });
        break;
    }
    return order;
}

void FindModel::MoveRows(const std::vector<std::size_t>& order) {
    std::vector<std::uint32_t> rows(rows_.size());
    std::vector<int> moved(rows_.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        rows[i] = rows_[order[i]];
        moved[order[i]] = static_cast<int>(i);
    }
    rows_.swap(rows);
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before) {
        after << (static_cast<std::size_t>(index.row()) < moved.size()
                      ? createIndex(moved[static_cast<std::size_t>(index.row())], index.column())
                      : index);
    }
    changePersistentIndexList(before, after);
}

} // namespace lorvex::ui

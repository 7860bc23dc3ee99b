#pragma once

#include <QAbstractTableModel>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace lorvex::ntfs {
class TFileIDs;
} // namespace lorvex::ntfs

namespace lorvex::ui {

struct TScanResult;

// Whether entry `index` of `table` is a file of its own in a list of files:
// a base record is; an extension record belongs to its base record's row,
// unless the table lacks that record and it stands for its file alone.
[[nodiscard]] bool IsFileEntry(const ntfs::TFileIDs& table, std::int64_t index);

// Fast Find's rows: file-table positions of one scan, read from its table
// only when a cell is drawn, so that a million matches cost a million
// integers. The scan is held weakly, as the window holds it: once the main
// window lets go of it, the rows show nothing.
class FindModel : public QAbstractTableModel {
  public:
    static constexpr int kItemColumn = 0;
    static constexpr int kBaseColumn = 1;
    static constexpr int kNameColumn = 2;
    static constexpr int kFragmentedColumn = 3;
    static constexpr int kTypeColumn = 4;
    static constexpr int kColumnCount = 5;

    explicit FindModel(QObject* parent) : QAbstractTableModel(parent) {}

    [[nodiscard]] int rowCount(const QModelIndex& parent) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent) const override;
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    // The view sorts through here; column -1 is the table's order. Equal
    // keys keep the table's order whichever way the column sorts.
    void sort(int column, Qt::SortOrder order) override;

    // A search of `scan` begins: no rows yet, and without a match one empty
    // row under the titles.
    void Start(const std::shared_ptr<const TScanResult>& scan);
    // No search: no rows at all.
    void Forget();
    [[nodiscard]] bool Searched() const { return searched_; }
    // A match; it becomes a row at the next Flush.
    void Add(std::uint32_t position) { pending_.push_back(position); }
    void Flush();
    // Sorts the rows again as last asked: rows that a search added since
    // came at the end.
    void Resort();

    // The table position of `row`'s entry, or -1.
    [[nodiscard]] std::int64_t Position(int row) const;
    // The rows that are matches (the empty row not counted).
    [[nodiscard]] std::size_t RowCount() const { return rows_.size(); }
    [[nodiscard]] std::shared_ptr<const TScanResult> Scan() const { return scan_.lock(); }

  private:
    // The rows' positions in the order the sort column and direction give.
    [[nodiscard]] std::vector<std::size_t> SortedOrder(const ntfs::TFileIDs& table) const;
    // Puts row order[i] at i, the view's persistent indexes going with
    // their rows.
    void MoveRows(const std::vector<std::size_t>& order);

    std::weak_ptr<const TScanResult> scan_;
    std::vector<std::uint32_t> rows_;
    std::vector<std::uint32_t> pending_;
    bool searched_ = false;
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};

} // namespace lorvex::ui

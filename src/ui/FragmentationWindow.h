#pragma once

#include "ui/ListWindow.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

namespace lorvex::ui {

// The list of fragmented files of a scan, most fragmented first until a
// column's title sorts it otherwise (numbers as numbers, equal keys in the
// order they came). Enter or a double click opens a row's base record; the
// row menu also shows the file on the map and copies its path.
class FragmentationWindow : public ListWindow {
    Q_OBJECT

  public:
    explicit FragmentationWindow(QWidget* mainWindow);

    // Replaces the list with the fragmented files of `scan` (none: empty).
    void Fill(const std::shared_ptr<const TScanResult>& scan);
    // A list on screen refills from the scan the main window shows now; a
    // hidden one empties, to be filled when it is opened.
    void FollowScan(const std::shared_ptr<const TScanResult>& scan) override;
    // Sorts by `column` (1 the name, 2 the fragments), as a click on its
    // title does.
    void SortRows(int column, Qt::SortOrder order);

    // Column 0, hidden, carries each row's base record number.
    QTreeWidget* lv_Fragments = nullptr;
    std::function<void(std::int64_t baseId)> OnBaseInfo;
    // The file-table index of a row's base record, to be shown on the map.
    std::function<void(std::int64_t fileIndex)> OnShowOnMap;

  protected:
    void PrepareRowMenu(int row) override;
    void ShowRowOnMap(int row) override;
    void ShowRowDetails(int row) override;
    [[nodiscard]] std::vector<int> CopiedColumns() const override;
    [[nodiscard]] int PathColumn() const override;
    // The name column follows the list's width.
    void ListResized() override;

  private:
    // Both columns as wide as their titles and cells; the name column also
    // takes whatever room the list has left.
    void FitColumns();
    void FitNameColumn();
    [[nodiscard]] std::int64_t FileIndexOfRow(int row) const;

    int nameWidth_ = 0;
};

} // namespace lorvex::ui

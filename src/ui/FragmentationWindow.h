#pragma once

#include "ntfs/ClusterMap.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QAction;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;

namespace lorvex::ui {

// The list of fragmented files, most fragmented first until a column's
// title sorts it otherwise (numbers as numbers, equal keys in the order
// they came). Rows are selected whole; Enter or a double click opens a
// row's base record, Ctrl+C copies the selected rows as tab-separated
// text, and a row's context menu offers the same.
class Tfrm_Fragmentation : public QWidget {
    Q_OBJECT

  public:
    explicit Tfrm_Fragmentation(QWidget* mainWindow);

    // Replaces the list with `rows`, which come most fragmented first;
    // `fileIndexes`, when given, holds the file-table index of each row's
    // base record (-1 for none).
    void Fill(const std::vector<ntfs::TFragmentationRow>& rows,
              const std::vector<std::int64_t>& fileIndexes = {});
    // Not modal; centred on the main window when it was hidden.
    void ShowList();
    // The selected row's base record goes to OnBaseInfo; without a selected
    // row nothing happens.
    void lv_FragmentsDblClick();
    // Sorts by `column` (1 the name, 2 the fragments), as a click on its
    // title does.
    void SortRows(int column, Qt::SortOrder order);
    // The selected rows' name and fragments, tab-separated, onto the
    // clipboard.
    void CopySelectedRows();
    void CopySelectedPaths();
    // Opens the row's context menu at `pos` of the list's viewport; nothing
    // happens off the rows.
    void ShowRowMenu(const QPoint& pos);

    // Column 0, hidden, carries each row's base record number.
    QTreeWidget* lv_Fragments = nullptr;
    std::function<void(std::int64_t baseId)> OnBaseInfo;
    // The file-table index of a row's base record, to be shown on the map.
    std::function<void(std::int64_t fileIndex)> OnShowOnMap;
    // A row's context menu and its commands.
    QMenu* mnuRow = nullptr;
    QAction* actShowOnMap = nullptr;
    QAction* actDetails = nullptr;
    QAction* actCopyPath = nullptr;
    QAction* actCopyRow = nullptr;

  protected:
    // Escape puts the window away.
    void keyPressEvent(QKeyEvent* event) override;
    // The list's Enter and Ctrl+C; the name column follows the list's width.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Both columns as wide as their titles and cells; the name column also
    // takes whatever room the list has left.
    void FitColumns();
    void FitNameColumn();

    int FNameWidth = 0;
    QTreeWidgetItem* FMenuItem = nullptr;
};

} // namespace lorvex::ui

#pragma once

#include "ui/ListWindow.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTableView;
class QTimer;

namespace lorvex::ui {

class FindModel;

// Fast Find: searches the files of a scan by path or by record number as
// the user types, 100 entries at a time from the event loop, so that the
// window goes on answering. A file is a row once,
// under its base record: the extension records that carry the rest of its
// attributes are part of that row, never rows of their own.
//
// The grid sorts by any column (numbers as numbers; a search that ends
// sorts its rows again), opens a row's base record on Enter or a double
// click, and has the row menu of every list.
//
// The rows are the scan's the window follows. When the main window lets go
// of that scan (it reads another drive, or scans again) a running search
// ends and the rows go; once the next scan is shown, a window on screen
// searches it again for the text in its box.
class FindWindow : public ListWindow {
    Q_OBJECT

  public:
    explicit FindWindow(QWidget* mainWindow);
    ~FindWindow() override;

    std::function<void(std::int64_t baseId)> OnBaseInfo;
    // The file-table index of a row's entry, to be shown on the map.
    std::function<void(std::int64_t fileIndex)> OnShowOnMap;

    void FollowScan(const std::shared_ptr<const TScanResult>& scan) override;
    // Performs the search, or restarts the running one with the box's text.
    void RunSearch();
    // The file-table index of the entry on `row`, or -1 (no such row, or
    // the empty row of a search without a match).
    [[nodiscard]] std::int64_t FileIndexOfRow(int row) const;
    [[nodiscard]] QString StatusText() const;
    [[nodiscard]] bool IsSearching() const { return searching_; }

    QRadioButton* rdo_ID = nullptr;
    QRadioButton* rdo_Name = nullptr;
    QLineEdit* edtContains = nullptr;
    QPushButton* btnFind = nullptr;
    QTableView* lstFiles = nullptr;
    QStatusBar* sb = nullptr;

  protected:
    // FormShow: an empty box, which lists every file if it held text.
    void showEvent(QShowEvent* event) override;
    [[nodiscard]] bool RowHasMenu(int row) const override;
    void ShowRowOnMap(int row) override;
    void ShowRowDetails(int row) override;
    [[nodiscard]] std::vector<int> CopiedColumns() const override;
    [[nodiscard]] int PathColumn() const override;
    // The Name column follows the grid's width.
    void ListResized() override;

  private:
    // The grid of matches over its model.
    void BuildGrid();
    // Matches the next entries of the table against the text; false once
    // the table is done, or gone. `path` is room reused for their paths.
    bool SearchStep(std::u16string& path);
    // One step of the running search, from the event loop; the last ends it.
    void SearchTick();
    // The rows found are counted, or forgotten when the search was given up.
    void EndSearch();
    // Every column as wide as its title and its widest cell; Name also
    // takes whatever room the window has left.
    void FitColumns();
    void FitNameColumn();

    FindModel* model_ = nullptr;
    QLabel* status_ = nullptr;
    bool searching_ = false;
    bool restart_ = false;
    bool abandon_ = false;
    // The user searched the scan the window followed before: the next one
    // shown is searched again for the text in the box.
    bool searchAgain_ = false;
    QString searchText_;
    std::int64_t position_ = 0;
    int spinner_ = 0;
    QTimer* stepTimer_ = nullptr;
    std::chrono::steady_clock::time_point lastFlush_;
    // Room reused for the paths of the entries matched.
    std::u16string path_;
    // The width of the Name column's widest cell, as last measured.
    int nameWidth_ = 0;
};

} // namespace lorvex::ui

#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTableView;

namespace lorvex::ntfs {
class TFileIDs;
} // namespace lorvex::ntfs

namespace lorvex::ui {

class FindModel;

// Fast Find: searches the file table of the current scan by path or by
// record number as the user types, pumping events every 100 entries.
//
// The grid sorts by any column (numbers as numbers; a search that ends
// sorts its rows again), selects whole rows, opens a row's base record on
// Enter or a double click, copies the selected rows as tab-separated text
// on Ctrl+C and offers the same on a row's context menu.
//
// The window has no file table while a scan runs: the table hook gives
// nothing then, and a scan that starts calls ScanStarting, which ends a
// running search and forgets its rows before the table goes.
class FindWindow : public QWidget {
    Q_OBJECT

  public:
    explicit FindWindow(QWidget* mainWindow);
    ~FindWindow() override;

    // What the window reads: the table of a completed scan (or null) and
    // the drive that prefixes every path.
    struct TSource {
        const ntfs::TFileIDs* table = nullptr;
        std::string drive;
    };
    std::function<TSource()> Source;
    std::function<void(std::int64_t baseId)> OnBaseInfo;
    // The file-table index of a row's entry, to be shown on the map.
    std::function<void(std::int64_t fileIndex)> OnShowOnMap;

    // Performs the search, or restarts the running one with the box's text.
    void RunSearch();
    void ScanStarting();
    void lstFilesDblClick();
    // The file-table index of the entry on `row`, or -1 (no such row, or
    // the empty row of a search without a match).
    [[nodiscard]] std::int64_t FileIndexOfRow(int row) const;
    // The selected rows, tab-separated, onto the clipboard.
    void CopySelectedRows();
    // The paths of the selected rows, one a line, onto the clipboard.
    void CopySelectedPaths();
    // Opens the row's context menu at `pos` of the grid's viewport; nothing
    // happens off the rows.
    void ShowRowMenu(const QPoint& pos);
    // Not modal; centred on the main window when it was hidden.
    void ShowFind();
    [[nodiscard]] QString StatusText() const;
    [[nodiscard]] bool IsSearching() const { return FSearching; }

    QRadioButton* rdo_ID = nullptr;
    QRadioButton* rdo_Name = nullptr;
    QLineEdit* edtContains = nullptr;
    QPushButton* btnFind = nullptr;
    QTableView* lstFiles = nullptr;
    QStatusBar* sb = nullptr;
    // A row's context menu and its commands, which act on the row it was
    // opened on (the copies on the selected rows, which include it).
    QMenu* mnuRow = nullptr;
    QAction* actShowOnMap = nullptr;
    QAction* actDetails = nullptr;
    QAction* actCopyPath = nullptr;
    QAction* actCopyRow = nullptr;

  protected:
    // FormShow: an empty box, which lists every entry if it held text.
    void showEvent(QShowEvent* event) override;
    // Escape puts the window away.
    void keyPressEvent(QKeyEvent* event) override;
    // The grid's Enter and Ctrl+C; the Name column follows the grid's width.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The grid of matches over its model, and the context menu of its rows.
    void BuildGrid();
    void BuildRowMenu();
    [[nodiscard]] bool Matches(QStringView displayName, std::int64_t fileId) const;
    // Every column as wide as its title and its widest cell; Name also
    // takes whatever room the window has left.
    void FitColumns();
    void FitNameColumn();

    FindModel* FModel = nullptr;
    QLabel* FStatus = nullptr;
    bool FSearching = false;
    bool FRestart = false;
    bool FAbandon = false;
    QString FSearchText;
    int FMatchCount = 0;
    std::int64_t FPosition = 0;
    int FSpinner = 0;
    // The width of the Name column's widest cell, as last measured.
    int FNameWidth = 0;
    // The row the context menu was opened on.
    int FMenuRow = -1;
};

} // namespace lorvex::ui

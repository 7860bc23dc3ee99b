#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QAbstractItemView;
class QAction;
class QMenu;

namespace lorvex::ui {

struct TScanResult;

// What the list windows share (Fast Find, the Fragmentation List and the
// problem lists of the Volume Check and the Damage Map): rows selected whole,
// a row's context menu (Show on map, Details, Copy path, Copy row, as the
// list has them), its keys, the look of the selected and the current row,
// and the scan the rows came from.
//
// Keys on the list: Enter opens the active row (its report, or its place on
// the map for a list without reports), as a double click on a row does;
// Shift+F10 and the Menu key open the row menu at the current row; Ctrl+C
// copies the selected rows; Escape puts the window away.
//
// Every row belongs to the scan the list was filled from. A list keeps that
// scan only weakly: the main window lets go of a scan when it reads another
// drive, and the rows must not keep its tables. A row's command checks that
// its scan is still the one the main window shows, and otherwise does
// nothing but say why in the main window's status bar.
class ListWindow : public QWidget {
    Q_OBJECT

  public:
    // The scan the main window shows now (null while it has none). Without
    // it, as for a list used on its own, the list's own scan counts as shown.
    std::function<const TScanResult*()> ShownScan;
    // Says why a row's command did nothing; the main window's status bar.
    std::function<void(const QString& why)> OnRefused;

    // The main window shows `scan` now (or none): a list filled from another
    // refills from it or empties, as suits the list.
    virtual void FollowScan(const std::shared_ptr<const TScanResult>& scan) = 0;

    // Not modal; a window not yet shown is first centred on the main window.
    // The keyboard goes to the control the list names.
    void ShowList();
    // The row Enter and the keyboard's menu act on: the current row (the one
    // outlined), else the first selected row; -1 when there is neither.
    [[nodiscard]] int ActiveRow() const;
    // Enter and a double click, on the active row.
    void OpenActiveRow();
    // Shift+F10 and the Menu key: the row menu at the active row, which is
    // selected first when it is not.
    void OpenRowMenuAtCurrent();
    // A right click at `pos` of the list's viewport; nothing off the rows.
    void OpenRowMenu(const QPoint& pos);
    // The selected rows, tab-separated, and their paths, one a line, onto
    // the clipboard.
    void CopySelectedRows();
    void CopySelectedPaths();
    // The drive the rows came from ("C:"), empty for a list without rows.
    [[nodiscard]] const QString& OriginDrive() const { return originDrive_; }

    // The row menu; its commands act on the row it was opened on (the
    // copies on the selected rows, which include it). A list without
    // reports or paths has no Details or Copy path (null).
    QMenu* mnuRow = nullptr;
    QAction* actShowOnMap = nullptr;
    QAction* actDetails = nullptr;
    QAction* actCopyPath = nullptr;
    QAction* actCopyRow = nullptr;

  protected:
    // What the row menu holds beside Show on map and Copy row.
    struct RowMenuParts {
        bool details = false;
        bool copyPath = false;
    };

    ListWindow(QWidget* mainWindow, const QString& objectName, const QString& title);

    // Makes `view` the list: whole rows selected, several at once, its keys,
    // its row menu, its look; `focus` takes the keyboard when the window is
    // shown. `grid` draws a line right of and below every cell, for a view
    // that draws no grid of its own.
    void AttachList(QAbstractItemView* view, RowMenuParts parts, QWidget* focus, bool grid);
    [[nodiscard]] QAbstractItemView* List() const { return view_; }

    // The rows come from `scan` now (null: the list has no rows); an open
    // row menu, which was for the rows before, closes.
    void SetOrigin(const std::shared_ptr<const TScanResult>& scan);
    [[nodiscard]] std::shared_ptr<const TScanResult> Origin() const { return origin_.lock(); }
    // Whether `scan` is the one the rows came from.
    [[nodiscard]] bool IsOrigin(const std::shared_ptr<const TScanResult>& scan) const;
    // The rows' scan when it is the one the main window shows; otherwise
    // null, with the reason told through OnRefused.
    [[nodiscard]] std::shared_ptr<const TScanResult> ShownOrigin() const;

    // What a row does; `row` is a row of the list's model.
    [[nodiscard]] virtual bool RowHasMenu(int row) const;
    // Enables the menu's commands for `row` before it opens.
    virtual void PrepareRowMenu(int row);
    virtual void ShowRowOnMap(int row) = 0;
    virtual void ShowRowDetails(int row);
    // Enter and a double click: the row's details when the list has them,
    // else the row on the map.
    virtual void OpenRow(int row);
    // The columns Copy row copies, and the one Copy path copies (-1: none).
    [[nodiscard]] virtual std::vector<int> CopiedColumns() const = 0;
    [[nodiscard]] virtual int PathColumn() const { return -1; }
    // The list's viewport changed its size.
    virtual void ListResized() {}

    // Escape puts the window away.
    void keyPressEvent(QKeyEvent* event) override;
    // The list's keys and its keyboard menu; the viewport's size.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildRowMenu(RowMenuParts parts);
    // `scan` (the rows' of drive `drive`) when it is the one the main window
    // shows; otherwise null, with the reason told through OnRefused.
    [[nodiscard]] std::shared_ptr<const TScanResult>
    CheckShown(const std::weak_ptr<const TScanResult>& scan, const QString& drive) const;
    // Runs a row command of the menu on the row it was opened on, when that
    // row is still in the list and its scan still the one shown.
    void RunMenuCommand(void (ListWindow::*command)(int row));
    void PopUpRowMenu(int row, const QPoint& global);
    // Enter, Ctrl+C, Shift+F10 and the Menu key; true when `event` was one.
    bool HandleListKey(QEvent* event);

    QAbstractItemView* view_ = nullptr;
    QWidget* focus_ = nullptr;
    std::weak_ptr<const TScanResult> origin_;
    QString originDrive_;
    // The row the menu was opened on, and the scan it was a row of.
    int menuRow_ = -1;
    std::weak_ptr<const TScanResult> menuOrigin_;
    QString menuDrive_;
};

} // namespace lorvex::ui

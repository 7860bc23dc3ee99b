#pragma once

#include "ui/ListWindow.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QLabel;
class QTreeWidget;

namespace lorvex::ui {

struct DeletedScan;

// Tools > Deleted Files: every deleted entry of a scanned drive with its
// path, size, deletion time, the part of its clusters that still holds its
// data and what took the rest. A column's title sorts the rows (numbers as
// numbers, times as times). Enter, a double click or F1 opens the entry's
// record; the row menu also shows its clusters on the map and saves its
// data to a file.
//
// The rows belong to the scan the entries were read against, as every
// list's do; the entries themselves are the list's until it is filled
// again, so that a row's command acts on the very entry it shows.
class DeletedFilesWindow : public ListWindow {
    Q_OBJECT

  public:
    explicit DeletedFilesWindow(QWidget* mainWindow);

    // The rows of `deleted`, read against `scan`, the scan it was made from.
    void Fill(const std::shared_ptr<const TScanResult>& scan,
              std::shared_ptr<const DeletedScan> deleted);
    // No rows, and `text` where the summary goes: why, or what is coming.
    void ShowMessage(const QString& text);
    // Another scan shown takes the rows away; the main window fills the list
    // again once it has read that scan's entries.
    void FollowScan(const std::shared_ptr<const TScanResult>& scan) override;
    [[nodiscard]] const std::shared_ptr<const DeletedScan>& Entries() const { return deleted_; }
    // The index among Entries() of the entry on `row` of the list as shown.
    [[nodiscard]] std::ptrdiff_t EntryOfRow(int row) const;

    QTreeWidget* lv_Deleted = nullptr;
    QLabel* lbSummary = nullptr;
    QAction* actSaveFile = nullptr;
    // What a row asks of the main window, for entry `entry` of `deleted`.
    using EntryCommand = std::function<void(const DeletedScan& deleted, std::size_t entry)>;
    EntryCommand OnShowOnMap;
    EntryCommand OnDetails;
    EntryCommand OnSaveFile;

  protected:
    void PrepareRowMenu(int row) override;
    void ShowRowOnMap(int row) override;
    void ShowRowDetails(int row) override;
    [[nodiscard]] std::vector<int> CopiedColumns() const override;
    [[nodiscard]] int PathColumn() const override;

  private:
    // Runs `command` on the entry of `row` while its scan is the one shown.
    void RunEntryCommand(const EntryCommand& command, int row) const;
    void FitColumns();

    std::shared_ptr<const DeletedScan> deleted_;
    // The row the row menu was opened on, for Save File As.
    int menuRow_ = -1;
};

} // namespace lorvex::ui

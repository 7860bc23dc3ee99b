#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTableView;

namespace lorvex::ntfs {
class TFileIDs;
} // namespace lorvex::ntfs

namespace lorvex::ui {

class TFindModel;

// Fast Find: searches the file table of the current scan by path or by
// record number as the user types, pumping events every 100 entries.
//
// The window has no file table while a scan runs: the table hook gives
// nothing then, and a scan that starts calls ScanStarting, which ends a
// running search and forgets its rows before the table goes.
class TfrmFind : public QWidget {
    Q_OBJECT

  public:
    explicit TfrmFind(QWidget* mainWindow);
    ~TfrmFind() override;

    // What the window reads: the table of a completed scan (or null) and
    // the drive that prefixes every path.
    struct TSource {
        const ntfs::TFileIDs* table = nullptr;
        std::string drive;
    };
    std::function<TSource()> Source;
    std::function<void(std::int64_t baseId)> OnBaseInfo;

    // Performs the search, or restarts the running one with the box's text.
    void RunSearch();
    void ScanStarting();
    void lstFilesDblClick();
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

  protected:
    // FormShow: an empty box, which lists every entry if it held text.
    void showEvent(QShowEvent* event) override;
    // FormResize: the column widths follow the grid's width.
    void resizeEvent(QResizeEvent* event) override;

  private:
    [[nodiscard]] bool Matches(QStringView displayName, std::int64_t fileId) const;

    TFindModel* FModel = nullptr;
    QLabel* FStatus = nullptr;
    bool FSearching = false;
    bool FRestart = false;
    bool FAbandon = false;
    QString FSearchText;
    int FMatchCount = 0;
    std::int64_t FPosition = 0;
    int FSpinner = 0;
};

} // namespace lorvex::ui

#pragma once

#include "platform/WriteTarget.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>

class QAction;
class QPlainTextEdit;
class QToolBar;

namespace lorvex::ui {

// The report window that the cluster details, hex dump and base info
// reports write into: one read-only text, replaced by every report.
//
// Its bar saves the report (Ctrl+S), copies it (Ctrl+C: the selection, or
// the whole text when nothing is selected), shows the report's file on the
// map, and keeps the report on screen in a window of its own, so that the
// next report opens in this one again. A hex dump also steps to the
// previous and next cluster (the buttons, or Page Up and Page Down).
class Tfrm_Info : public QWidget {
    Q_OBJECT

  public:
    explicit Tfrm_Info(QWidget* mainWindow);

    // What every report does with the window. Clearing also forgets what
    // the report was about.
    void ClearReport();
    void SetReportCaption(const QString& caption);
    void AppendLine(const QString& line);
    // Not modal. A window already on screen stays where it is and comes
    // forward; a hidden one opens centred on the main window (moved down
    // and right from a kept report that stands there).
    void ShowReport();

    // What the report is about, told by the report after ClearReport: the
    // file-table index of its file, and for a hex dump its cluster among
    // the volume's `clusterCount`.
    void SetReportFile(std::int64_t fileIndex);
    void SetHexDumpCluster(std::int64_t lcn, std::int64_t clusterCount);
    [[nodiscard]] std::int64_t ReportFile() const { return FFileIndex; }
    [[nodiscard]] std::int64_t HexDumpCluster() const { return FHexCluster; }

    // The report's lines, each ended by a line feed.
    [[nodiscard]] QString ReportText() const;
    // Asks for a file and saves the report into it.
    void SaveAs();
    // Writes the report into `path` as UTF-8, through OpenTarget; a failure
    // is shown through OnNotice and gives false.
    bool SaveTo(const QString& path);
    void CopyReport();
    // Moves the report into a new window of its own, on screen where this
    // one was, and puts this one away empty. Returns the new window (which
    // deletes itself when closed), or null when there is no report.
    Tfrm_Info* KeepOpen();
    [[nodiscard]] bool IsKept() const { return FKept; }
    void PreviousCluster();
    void NextCluster();
    void ShowOnMap();

    QPlainTextEdit* Memo1 = nullptr;
    QToolBar* tbReport = nullptr;
    QAction* actSaveAs = nullptr;
    QAction* actCopy = nullptr;
    QAction* actKeepOpen = nullptr;
    QAction* actShowOnMap = nullptr;
    QAction* actPreviousCluster = nullptr;
    QAction* actNextCluster = nullptr;

    // The file-table index of the report's file, to be shown on the map.
    std::function<void(std::int64_t fileIndex)> OnShowOnMap;
    // Writes the hex dump of cluster `lcn` into `window`: Previous and Next.
    std::function<void(Tfrm_Info& window, std::int64_t lcn)> OnHexDump;
    // Opens a file to save into, refusing a source; without it nothing is
    // saved.
    std::function<platform::WriteTarget(const std::string& path)> OpenTarget;
    // A message box; tests record it.
    std::function<void(const QString& caption, const QString& text)> OnNotice;

  protected:
    // FormKeyPress: Escape puts the window away (a kept one closes).
    void keyPressEvent(QKeyEvent* event) override;
    // Page Up, Page Down and Ctrl+C in the text.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void UpdateCommands();

    std::int64_t FFileIndex = -1;
    std::int64_t FHexCluster = -1;
    std::int64_t FClusterCount = 0;
    bool FKept = false;
};

} // namespace lorvex::ui

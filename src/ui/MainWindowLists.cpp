// The main window's side of its list windows (Fast Find, the Fragmentation
// List, the Volume Check and the Damage Map): every list follows the scan
// this window shows, and its rows' commands reach this window only for that
// scan. The reports let go of a scan with it.
#include "ui/InfoWindow.h"
#include "ui/ListWindow.h"
#include "ui/MainWindow.h"

#include <QLabel>

namespace lorvex::ui {

void MainWindow::ConnectList(ListWindow& list) {
    list.ShownScan = [this] { return static_cast<const TScanResult*>(FScan.get()); };
    list.OnRefused = [this](const QString& why) { TellInStatusBar(why); };
}

void MainWindow::ListsFollowScan() {
    for (ListWindow* list : findChildren<ListWindow*>()) {
        list->FollowScan(FScan);
    }
    DeletedFollowScan();
    if (FScan) {
        return;
    }
    // A report, kept or not, stays readable, but its file and its clusters
    // were the scan's let go of: its Show on map and its steps to the next
    // cluster would reach the next scan's.
    for (Tfrm_Info* report : findChildren<Tfrm_Info*>()) {
        report->SetReportFile(-1);
        report->SetHexDumpCluster(-1, 0);
    }
}

void MainWindow::TellInStatusBar(const QString& text) {
    Beep();
    FHoverText = text;
    FHoverLabel->SetFullText(text);
}

} // namespace lorvex::ui

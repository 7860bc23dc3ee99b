// The main window's side of its list windows (Fast Find, the Fragmentation
// List, the Volume Check and the Damage Map): every list follows the scan
// this window shows, and its rows' commands reach this window only for that
// scan.
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
}

void MainWindow::TellInStatusBar(const QString& text) {
    Beep();
    FHoverText = text;
    FHoverLabel->setText(text);
}

} // namespace lorvex::ui

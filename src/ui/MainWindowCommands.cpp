// The main window's menu bar: the File, Drive, Tools, Reports and Help menus
// with the actions that have shortcuts of their own, which of them are
// enabled, and why one that cannot act does nothing.
#include "ui/MainWindow.h"

#include "ntfs/ClusterMap.h"
#include "ui/HelpPages.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include <string>

namespace lorvex::ui {

void MainWindow::BuildMenus() {
    BuildFileMenu();
    // The captions are the window's own; the ampersands only underline the
    // letters that open them with Alt.
    mnuDrive = menuBar()->addMenu("&Drive");
    mnuDrive->setObjectName("mnuDrive");
    // Put after the drives by BuildDriveMenu; the menu's clearing leaves it.
    mnuCloseDrive = new QAction("&Close Drive", this);
    mnuCloseDrive->setObjectName("mnuCloseDrive");
    mnuCloseDrive->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    addAction(mnuCloseDrive);
    connect(mnuCloseDrive, &QAction::triggered, this, [this] { CloseDriveClick(); });
    mnuScan = menuBar()->addAction("&Scan!");
    mnuScan->setShortcut(QKeySequence(Qt::Key_F5));
    mnuScan->setObjectName("mnuScan");
    connect(mnuScan, &QAction::triggered, this, [this] { mnuScanClick(); });
    BuildToolsMenu();
    BuildReportsMenu();
    BuildOverlayActions();
    BuildViewMenu();
    Quit1 = menuBar()->addAction("&Quit!");
    Quit1->setObjectName("Quit1");
    connect(Quit1, &QAction::triggered, this, [this] { Quit1Click(); });
    BuildHelpMenu();
}

void MainWindow::BuildFileMenu() {
    mnuFile = menuBar()->addMenu("&File");
    mnuFile->setObjectName("mnuFile");
    mnuOpen = mnuFile->addAction("&Open Image...");
    mnuOpen->setObjectName("mnuOpen");
    mnuOpen->setShortcut(QKeySequence::Open);
    connect(mnuOpen, &QAction::triggered, this, [this] { mnuOpenClick(); });
    // Evidence can carry a container's signature it is not; the user can
    // always have the bytes read as they are.
    mnuOpenRaw = mnuFile->addAction("Open as Ra&w Image...");
    mnuOpenRaw->setObjectName("mnuOpenRaw");
    connect(mnuOpenRaw, &QAction::triggered, this, [this] { mnuOpenClick(true); });
    mnuRecent = mnuFile->addMenu("Open &Recent");
    mnuRecent->setObjectName("mnuRecent");
    connect(mnuRecent, &QMenu::aboutToShow, this, [this] { FillRecentMenu(); });
    mnuSavePicture = mnuFile->addAction("Save Map &Picture...");
    mnuSavePicture->setObjectName("mnuSavePicture");
    mnuSavePicture->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    connect(mnuSavePicture, &QAction::triggered, this, [this] {
        if (!FModel) {
            TellInStatusBar("No map to save: choose a drive from the Drive menu first.");
            return;
        }
        mnuSaveMapPictureClick();
    });
    mnuLoadDamageMap = mnuFile->addAction("Load &Damage Map...");
    mnuLoadDamageMap->setObjectName("mnuLoadDamageMap");
    connect(mnuLoadDamageMap, &QAction::triggered, this, [this] { mnuLoadDamageMapClick(); });
    mnuFile->addSeparator();
    mnuQuitFile = mnuFile->addAction("&Quit");
    mnuQuitFile->setObjectName("mnuQuitFile");
    mnuQuitFile->setShortcut(QKeySequence::Quit);
    connect(mnuQuitFile, &QAction::triggered, this, [this] { Quit1Click(); });
}

void MainWindow::BuildToolsMenu() {
    mnuTools = menuBar()->addMenu("&Tools");
    mnuTools->setObjectName("mnuTools");
    Export1 = mnuTools->addAction("&Export...");
    Export1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    Export1->setObjectName("Export1");
    connect(Export1, &QAction::triggered, this, [this] { Export1Click(); });
    Zoom1 = mnuTools->addAction("&Zoom");
    Zoom1->setObjectName("Zoom1");
    Zoom1->setCheckable(true);
    connect(Zoom1, &QAction::triggered, this, [this] { Zoom1Click(); });
    mnuFind = mnuTools->addAction("&Find...");
    mnuFind->setShortcut(QKeySequence::Find);
    mnuFind->setObjectName("mnuFind");
    connect(mnuFind, &QAction::triggered, this, [this] { mnuFindClick(); });
    mnuMark = mnuTools->addAction("&Mark...");
    mnuMark->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    mnuMark->setObjectName("mnuMark");
    connect(mnuMark, &QAction::triggered, this, [this] {
        if (FDriveRoot.empty()) {
            TellInStatusBar("Nothing to mark: choose a drive from the Drive menu first.");
            return;
        }
        mnuMarkClick();
    });
    mnuClearMark = mnuTools->addAction("Clear Mar&k");
    mnuClearMark->setObjectName("mnuClearMark");
    connect(mnuClearMark, &QAction::triggered, this, [this] { ClearMark(); });
    mnuNextMarked = mnuTools->addAction("&Next Marked File");
    mnuNextMarked->setObjectName("mnuNextMarked");
    mnuNextMarked->setShortcut(QKeySequence(Qt::Key_F7));
    connect(mnuNextMarked, &QAction::triggered, this, [this] { NextMarkedFile(); });
    FragmentationList1 = mnuTools->addAction("Fragmentation &List");
    FragmentationList1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    FragmentationList1->setObjectName("FragmentationList1");
    connect(FragmentationList1, &QAction::triggered, this, [this] { FragmentationList1Click(); });
    mnuVolumeCheck = mnuTools->addAction("&Volume Check");
    mnuVolumeCheck->setObjectName("mnuVolumeCheck");
    mnuVolumeCheck->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
    connect(mnuVolumeCheck, &QAction::triggered, this, [this] { VolumeCheckClick(); });
    BuildDeletedActions();
}

void MainWindow::UpdateCommands() {
    const bool idle = !IsScanning();
    for (QAction* item : DriveActions()) {
        item->setEnabled(idle);
    }
    mnuCloseDrive->setEnabled(idle && !FDriveRoot.empty() && static_cast<bool>(FSourceHooks.close));
    mnuScan->setEnabled(idle);
    mnuOpen->setEnabled(idle && static_cast<bool>(FSourceHooks.open));
    mnuOpenRaw->setEnabled(mnuOpen->isEnabled());
    mnuRecent->setEnabled(idle && static_cast<bool>(FSourceHooks.open));
    // The commands that read a scan's tables wait for one to have ended.
    const bool scanned = idle && FScan != nullptr;
    Export1->setEnabled(scanned);
    FragmentationList1->setEnabled(scanned);
    mnuFind->setEnabled(scanned);
    mnuVolumeCheck->setEnabled(scanned);
    mnuDeletedFiles->setEnabled(scanned);
    mnuLoadDamageMap->setEnabled(scanned);
}

void MainWindow::BuildReportsMenu() {
    mnuReports = menuBar()->addMenu("&Reports");
    mnuReports->setObjectName("mnuReports");
    // The keys act over the map through these actions, which say why when
    // they cannot act; the menu greys what has nothing to act on while it
    // is open, and the keys are live again once it closes.
    const auto add = [this](const QString& caption, const char* name, Qt::Key key,
                            void (MainWindow::*report)()) {
        QAction* item = mnuReports->addAction(caption);
        item->setObjectName(name);
        item->setShortcut(QKeySequence(key));
        connect(item, &QAction::triggered, this, report);
        return item;
    };
    mnuClusterReport = add("Report on Cluster's &File", "mnuClusterReport", Qt::Key_F1,
                           &MainWindow::ShowClusterDetails);
    mnuHexDump = add("&Hex Dump", "mnuHexDump", Qt::Key_F2, &MainWindow::ShowHexDump);
    mnuAllRecords =
        add("&All Records", "mnuAllRecords", Qt::Key_F3, &MainWindow::ShowHoveredBaseInfo);
    connect(mnuReports, &QMenu::aboutToShow, this, [this] { UpdateReportCommands(true); });
    connect(mnuReports, &QMenu::aboutToHide, this, [this] { UpdateReportCommands(false); });
}

void MainWindow::UpdateReportCommands(bool menuOpen) {
    const bool cluster = !menuOpen || CursorInsideScannedVolume();
    const bool owned =
        !menuOpen || (cluster && ntfs::FindClusterOwner(FScan->clusters, cursor_) >= 0);
    mnuClusterReport->setEnabled(owned);
    mnuHexDump->setEnabled(cluster);
    mnuAllRecords->setEnabled(owned);
}

bool MainWindow::CanReport(bool needsOwner) {
    // The reports read the volume, which the scanning thread alone reads
    // while it runs, even with the drive before it still shown.
    if (!FScan || IsScanning()) {
        TellInStatusBar(IsScanning()
                            ? "The reports wait for the scan to end."
                            : "No scanned drive to report on: choose one from the Drive menu.");
        return false;
    }
    if (cursor_ < 0 || cursor_ >= FTotalClusters) {
        TellInStatusBar("No cluster under the cursor to report on.");
        return false;
    }
    if (needsOwner && ntfs::FindClusterOwner(FScan->clusters, cursor_) < 0) {
        TellInStatusBar(QString::fromStdString("No file owns cluster " + std::to_string(cursor_) +
                                               ": there is no file to report on."));
        return false;
    }
    return true;
}

void MainWindow::ShowHoveredBaseInfo() {
    if (CanReport(true)) {
        FormKeyDown(Qt::Key_F3);
    }
}

void MainWindow::BuildHelpMenu() {
    mnuHelp = menuBar()->addMenu("&Help");
    mnuHelp->setObjectName("mnuHelp");
    mnuKeys = mnuHelp->addAction("&Keys and Mouse");
    mnuKeys->setObjectName("mnuKeys");
    connect(mnuKeys, &QAction::triggered, this, [this] { ShowKeysAndMouse(this); });
    mnuManual = mnuHelp->addAction("&Manual");
    mnuManual->setObjectName("mnuManual");
    connect(mnuManual, &QAction::triggered, this, [this] {
        if (!ShowManual(this)) {
            TellInStatusBar("The manual is not installed with this copy of Lorvex.");
        }
    });
    mnuHelp->addSeparator();
    mnuAbout = mnuHelp->addAction("&About Lorvex");
    mnuAbout->setObjectName("mnuAbout");
    connect(mnuAbout, &QAction::triggered, this, [this] { ShowAbout(this); });
}

QList<QAction*> MainWindow::DriveActions() const {
    QList<QAction*> drives;
    for (QAction* item : mnuDrive->actions()) {
        if (item->objectName().startsWith("DRIVE_")) {
            drives << item;
        }
    }
    return drives;
}

} // namespace lorvex::ui

// The main window's menu bar, built from the table of commands
// (MainWindowActions), the command each item runs, which of them are
// enabled, and why one that cannot act does nothing.
#include "ui/MainWindow.h"

#include "ntfs/ClusterMap.h"
#include "ui/HelpPages.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QMenuBar>

#include <string>

namespace lorvex::ui {

void MainWindow::BuildMenus() {
    // The captions are the window's own; the ampersands only underline the
    // letters that open them with Alt.
    auto* palettes = new QActionGroup(this);
    for (const CommandEntry& entry : ActionTable()) {
        PlaceMenusBefore(entry.id);
        auto* item = new QAction(entry.text, this);
        item->setObjectName(entry.objectName);
        item->setShortcuts(ShortcutsOf(entry));
        item->setCheckable(entry.checkable);
        item->setChecked(entry.checked);
        if (entry.menu == MenuId::kPalette) {
            palettes->addAction(item);
        }
        actions_[static_cast<std::size_t>(entry.id)] = item;
        if (entry.menu == MenuId::kMenuBar) {
            menuBar()->addAction(item);
        } else {
            QMenu* menu = PlaceMenu(entry.menu);
            if (entry.separatorBefore) {
                menu->addSeparator();
            }
            menu->addAction(item);
        }
        if (entry.windowWide) {
            addAction(item);
        }
        const ActionId id = entry.id;
        if (entry.signal == Signal::kToggled) {
            connect(item, &QAction::toggled, this, [this, id](bool on) { RunCommand(id, on); });
        } else {
            connect(item, &QAction::triggered, this, [this, id](bool on) { RunCommand(id, on); });
        }
    }
    BuildOverlayLists();
    BuildDeleted();
    ConnectMenus();
}

QMenu* MainWindow::PlaceMenu(MenuId id) {
    QMenu*& menu = menus_[static_cast<std::size_t>(id)];
    if (menu != nullptr) {
        return menu;
    }
    for (const MenuEntry& entry : MenuTable()) {
        if (entry.id != id) {
            continue;
        }
        if (entry.parent == MenuId::kMenuBar) {
            menu = menuBar()->addMenu(entry.text);
        } else {
            menu = PlaceMenu(entry.parent)->addMenu(entry.text);
        }
        menu->setObjectName(entry.objectName);
    }
    return menu;
}

void MainWindow::PlaceMenusBefore(ActionId id) {
    for (const MenuEntry& entry : MenuTable()) {
        if (entry.before == id) {
            PlaceMenu(entry.id);
        }
    }
}

void MainWindow::ConnectMenus() {
    connect(Menu(MenuId::kRecent), &QMenu::aboutToShow, this,
            [this] { sources_->FillRecentMenu(*Menu(MenuId::kRecent)); });
    connect(Menu(MenuId::kReports), &QMenu::aboutToShow, this,
            [this] { UpdateReportCommands(true); });
    connect(Menu(MenuId::kReports), &QMenu::aboutToHide, this,
            [this] { UpdateReportCommands(false); });
    FZoomLevels = new QActionGroup(this);
    FZoomLevels->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    connect(Menu(MenuId::kView), &QMenu::aboutToShow, this, [this] { FillViewMenu(); });
    FillViewMenu();
}

QAction* MainWindow::Action(ActionId id) const {
    return actions_[static_cast<std::size_t>(id)];
}

QMenu* MainWindow::Menu(MenuId id) const {
    return menus_[static_cast<std::size_t>(id)];
}

void MainWindow::RunCommand(ActionId id, bool on) {
    using enum ActionId;
    switch (id) {
    case kOpen:
        return sources_->AskAndOpen(false);
    case kOpenRaw:
        return sources_->AskAndOpen(true);
    case kSavePicture:
        return SaveMapPictureCommand();
    case kLoadDamageMap:
        return mnuLoadDamageMapClick();
    case kQuitFile:
        return Quit1Click();
    case kCloseDrive:
        return CloseDriveClick();
    case kScan:
        return mnuScanClick();
    case kExport:
        return Export1Click();
    case kZoomWindow:
        return Zoom1Click();
    case kFind:
        return mnuFindClick();
    case kMark:
        return MarkCommand();
    case kClearMark:
        return ClearMark();
    case kNextMarked:
        return NextMarkedFile();
    case kFragmentationList:
        return FragmentationList1Click();
    case kVolumeCheck:
        return VolumeCheckClick();
    case kDeletedFiles:
        return DeletedFilesClick();
    case kClusterReport:
        return ShowClusterDetails();
    case kHexDump:
        return ShowHexDump();
    case kAllRecords:
        return ShowHoveredBaseInfo();
    default:
        return RunViewCommand(id, on);
    }
}

void MainWindow::RunViewCommand(ActionId id, bool on) {
    using enum ActionId;
    switch (id) {
    case kZoomIn:
        return ZoomStep(1, FMouseY);
    case kZoomOut:
        return ZoomStep(-1, FMouseY);
    case kActualSize:
        return SetZoom({});
    case kFit:
        return ZoomToFit();
    case kGoTo:
        return mnuGoToClick();
    case kNextExtent:
        return StepExtent(1);
    case kPreviousExtent:
        return StepExtent(-1);
    case kClearHighlight:
        return ClearHighlight();
    case kLightOwner:
        return LightOwnerChanged();
    case kHealthOverlay:
        return SetHealthOverlay(on);
    case kDamageOverlay:
        return SetDamageOverlay(on);
    case kDeletedRemains:
        return SetDeletedRemains(on);
    case kStandardPalette:
        return SetSafePalette(false);
    case kSafePalette:
        return SetSafePalette(true);
    case kQuit:
        return Quit1Click();
    case kKeys:
        return ShowKeysAndMouse(this);
    case kManual:
        return ShowManualCommand();
    case kAbout:
        return ShowAbout(this);
    default:
        return;
    }
}

void MainWindow::SaveMapPictureCommand() {
    if (!FModel) {
        TellInStatusBar("No map to save: choose a drive from the Drive menu first.");
        return;
    }
    mnuSaveMapPictureClick();
}

void MainWindow::MarkCommand() {
    if (FDriveRoot.empty()) {
        TellInStatusBar("Nothing to mark: choose a drive from the Drive menu first.");
        return;
    }
    mnuMarkClick();
}

void MainWindow::ShowManualCommand() {
    if (!ShowManual(this)) {
        TellInStatusBar("The manual is not installed with this copy of Lorvex.");
    }
}

CommandState MainWindow::CurrentCommandState() const {
    CommandState state;
    state.idle = !IsScanning();
    state.canOpen = static_cast<bool>(FSourceHooks.open);
    state.canClose = static_cast<bool>(FSourceHooks.close);
    state.driveShown = !FDriveRoot.empty();
    state.mapShown = FModel != nullptr;
    state.scanned = FScan != nullptr;
    state.damageLoaded = !FDamageName.isEmpty();
    state.reportsMenuOpen = reportsMenuOpen_;
    if (reportsMenuOpen_) {
        state.cursorOnCluster = CursorInsideScannedVolume();
        state.cursorOwned =
            state.cursorOnCluster && ntfs::FindClusterOwner(FScan->clusters, cursor_) >= 0;
    }
    return state;
}

void MainWindow::UpdateCommands() {
    const CommandState state = CurrentCommandState();
    for (QAction* item : DriveActions()) {
        item->setEnabled(state.idle);
    }
    for (const CommandEntry& entry : ActionTable()) {
        if (entry.enabled != nullptr) {
            Action(entry.id)->setEnabled(entry.enabled(state));
        }
    }
    for (const MenuEntry& entry : MenuTable()) {
        if (entry.enabled != nullptr) {
            Menu(entry.id)->setEnabled(entry.enabled(state));
        }
    }
}

void MainWindow::UpdateReportCommands(bool menuOpen) {
    reportsMenuOpen_ = menuOpen;
    UpdateCommands();
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

QList<QAction*> MainWindow::DriveActions() const {
    QList<QAction*> drives;
    for (QAction* item : Menu(MenuId::kDrive)->actions()) {
        if (item->objectName().startsWith("DRIVE_")) {
            drives << item;
        }
    }
    return drives;
}

} // namespace lorvex::ui

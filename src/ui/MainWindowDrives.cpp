// The main window's drives: the Drive menu, the drive chosen from it (a
// locked BitLocker drive's key asked for), its title, and the drive whose
// map and scan are read becoming the one shown.
#include "ui/MainWindow.h"

#include "ntfs/ScanStages.h"
#include "ui/HelpWindow.h"
#include "ui/MainWindowShared.h"
#include "ui/ScanController.h"
#include "ui/ShownText.h"
#include "volume/VolumeMap.h"
#include "volume/VolumeUtils.h"

#include <QAction>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lorvex::ui {

using namespace mainwindow;

void MainWindow::BuildDriveMenu() {
    // Built again when a source is opened: the drives are all listed anew.
    Menu(MenuId::kDrive)->clear();
    const std::uint32_t mask = FApi.GetLogicalDrives();
    std::vector<std::string> lettered;
    for (int n = 0; n < 26; ++n) {
        if ((mask & (1U << n)) == 0) {
            continue;
        }
        const char letter = static_cast<char>('A' + n);
        const std::string root = std::string(1, letter) + ":\\";
        if (volume::GetRealDriveType(FApi, root) != platform::drivetype::kFixed) {
            continue;
        }
        QString caption =
            QString(QChar(letter)) + ": " + ShownText(volume::GetVolumeLabel(FApi, root));
        // A label is shown as it is, not read as a menu accelerator.
        caption.replace("&", "&&");
        caption += BitLockerNote(root);
        QAction* item = Menu(MenuId::kDrive)->addAction(caption);
        item->setObjectName(QString("DRIVE_") + QChar(letter));
        connect(item, &QAction::triggered, this, [this, item] { mnusubDriveClick(item); });
        lettered.push_back(volume::GetVolumeDevicePath(FApi, root));
    }
    // Volumes past Z: have no letter; their volume name is their root.
    for (const std::string& root : FApi.FindVolumes()) {
        const std::string device = volume::GetVolumeDevicePath(FApi, root);
        if (std::find(lettered.begin(), lettered.end(), device) != lettered.end() ||
            volume::GetRealDriveType(FApi, root) != platform::drivetype::kFixed) {
            continue;
        }
        QString caption = QString::fromStdString(root.substr(0, root.size() - 1)) + " " +
                          ShownText(volume::GetVolumeLabel(FApi, root));
        caption.replace("&", "&&");
        caption += BitLockerNote(root);
        QAction* item = Menu(MenuId::kDrive)->addAction(caption);
        item->setObjectName("DRIVE_" + QString::fromStdString(root));
        item->setData(QString::fromStdString(root));
        connect(item, &QAction::triggered, this, [this, item] { mnusubDriveClick(item); });
    }
    Menu(MenuId::kDrive)->addSeparator();
    Menu(MenuId::kDrive)->addAction(Action(ActionId::kCloseDrive));
}

void MainWindow::CloseDriveClick() {
    if (IsScanning() || FDriveRoot.empty() || !FSourceHooks.close) {
        TellInStatusBar("No drive to close: the window shows none.");
        return;
    }
    const QString closed = QString::fromStdString(FDriveRoot);
    // Everything that reads the drive lets go of it before it goes.
    FScan.reset();
    FModel.reset();
    ListsFollowScan();
    FDamageMap = {};
    FDamageName.clear();
    FDamageRoot.clear();
    UpdateDamage();
    UpdateHealth();
    const bool gone = FSourceHooks.close(FDriveRoot);
    FTotalClusters = 0;
    ShowNoDrive();
    BuildDriveMenu();
    UpdateCommands();
    SetStatusText(gone ? QString("Drive %1 closed.").arg(closed) : QString());
}

QString MainWindow::BitLockerNote(const std::string& root) const {
    if (!FSourceHooks.bitlocker) {
        return {};
    }
    const TBitLockerFacts facts = FSourceHooks.bitlocker(root);
    if (!facts.bitLocker) {
        return {};
    }
    return facts.locked ? "  [BitLocker, locked]" : "  [BitLocker]";
}

void MainWindow::ChooseFirstDrive() {
    const QList<QAction*> drives = DriveActions();
    if (!drives.isEmpty() && !IsScanning()) {
        drives.front()->trigger();
    }
}

void MainWindow::mnusubDriveClick(QObject* Sender) {
    // Another drive waits until the scan is over.
    if (IsScanning() || Sender == nullptr) {
        return;
    }
    const QString name = Sender->objectName();
    if (name.isEmpty()) {
        return;
    }
    const auto* item = qobject_cast<const QAction*>(Sender);
    const std::string root = item != nullptr && item->data().isValid()
                                 ? item->data().toString().toStdString()
                                 : name.right(1).toStdString() + ":\\";
    UnlockChosenDrive(root);
    OpenDrive(root, true);
}

void MainWindow::OpenDrive(const std::string& root, bool chosen) {
    if (IsScanning()) {
        return;
    }
    pendingDrive_ = std::make_unique<PendingDrive>();
    pendingDrive_->root = root;
    pendingDrive_->chosen = chosen;
    pendingDrive_->totalClusters =
        volume::QueryClusterCount(FApi, root, pendingDrive_->bytesPerCluster);
    BeginWork(QString::fromStdString(root));
    if (pendingDrive_->totalClusters == 0) {
        MapLoaded();
        return;
    }
    scanner_->LoadMap(root, pendingDrive_->totalClusters, pendingDrive_->bytesPerCluster);
}

void MainWindow::CommitDrive() {
    const std::unique_ptr<PendingDrive> drive = std::move(pendingDrive_);
    ForgetDriveState(drive->root);
    FDriveRoot = drive->root;
    FTotalClusters = drive->totalClusters;
    FBytesPerCluster = drive->bytesPerCluster;
    FModel = std::move(drive->model);
    UpdateTitle();
    if (FModel) {
        SetStatusText(QString::fromStdString(
            ntfs::VolumeSummaryText(FTotalClusters, FBytesPerCluster, FDriveRoot)));
    }
    RenderMapBitmap();
    RenderOverview();
    UpdateCommands();
    if (drive->chosen) {
        Action(ActionId::kZoomWindow)->setChecked(true);
        if (frm_Help != nullptr) {
            frm_Help->show();
            // Beside this window, or in its dock when there is no room.
            PlaceZoomWindow();
        }
    }
}

void MainWindow::ForgetDriveState(const std::string& newRoot) {
    FScan.reset();
    FModel.reset();
    FShownExtents.clear();
    FMarked.clear();
    FMarkedCount = 0;
    FMarkLabel->clear();
    FLitOwner = -1;
    FView.SetHighlight({});
    UpdateHealth();
    ListsFollowScan();
    // A damage map belongs to its drive's source: a scan again keeps it, a
    // drive chosen in its place does not.
    if (FDamageRoot != newRoot) {
        FDamageMap = {};
        FDamageName.clear();
    }
    UpdateDamage();
}

void MainWindow::ShowDriveProblem() {
    Beep();
    // Named with its source: "Drive E: (disk.img, partition 2) read as raw
    // disk image cannot be shown: FAT16, not NTFS."
    const QString source = FSourceHooks.describe ? FSourceHooks.describe(FDriveRoot) : QString();
    QString problem = QString("Drive %1 cannot be shown: %2.")
                          .arg(QString::fromStdString(FDriveRoot) +
                                   (source.isEmpty() ? QString() : " " + ShownText(source)),
                               DriveProblem());
    // What a container's signature hides, the user can still have read.
    const QString other =
        FSourceHooks.otherReading ? FSourceHooks.otherReading(FDriveRoot) : QString();
    if (!other.isEmpty()) {
        problem += "\n\n" + other + ": File > Open as Raw Image reads it so.";
    }
    ShowNoDrive();
    SetStatusText("*ERROR*");
    ShowNotice(kAppCaption, problem);
}

void MainWindow::ShowNoDrive() {
    FDriveRoot.clear();
    UpdateTitle();
    FView.SetTotalClusters(0);
    FScreen = QImage();
    FCellsPerRow = 0;
    FOverviewBitmap = QImage();
    FSurface->update();
}

void MainWindow::UpdateTitle() {
    if (FDriveRoot.empty()) {
        setWindowTitle(kAppCaption);
        return;
    }
    QString drive = QString::fromStdString(FDriveRoot);
    const QString source = FSourceHooks.describe ? FSourceHooks.describe(FDriveRoot) : QString();
    if (!source.isEmpty()) {
        drive += " " + ShownText(source);
    }
    setWindowTitle(drive + QString::fromUtf8(" \u2014 ") + kAppCaption);
}

QString MainWindow::DriveProblem() const {
    const std::optional<platform::VolumeInformation> info = FApi.GetVolumeInformation(FDriveRoot);
    if (!info) {
        // A volume that names no file system we know is read well enough.
        return FApi.GetLastError() == platform::error::kUnrecognizedVolume
                   ? "no file system recognised"
                   : "it cannot be read";
    }
    if (info->fileSystemName.empty()) {
        return "no file system recognised";
    }
    if (info->fileSystemName == "BitLocker") {
        const TBitLockerFacts facts =
            FSourceHooks.bitlocker ? FSourceHooks.bitlocker(FDriveRoot) : TBitLockerFacts{};
        if (!facts.why.isEmpty()) {
            return "it is encrypted with BitLocker, and " + facts.why;
        }
        return "it is encrypted with BitLocker" +
               (facts.protectors.isEmpty() ? QString()
                                           : " (protected by: " + facts.protectors + ")") +
               ", and no key was given that opens it";
    }
    if (info->fileSystemName != "NTFS") {
        return QString::fromStdString(info->fileSystemName) + ", not NTFS";
    }
    return "NTFS, but damaged beyond reading";
}

void MainWindow::UnlockChosenDrive(const std::string& root) {
    if (!FSourceHooks.bitlocker || !FSourceHooks.unlock) {
        return;
    }
    const TBitLockerFacts facts = FSourceHooks.bitlocker(root);
    if (!facts.bitLocker || !facts.locked || !facts.why.isEmpty()) {
        return;
    }
    const QString drive = QString::fromStdString(root);
    const TBitLockerDialog::TryKey tryKey = [this, root](const platform::BitLockerKey& key) {
        return FSourceHooks.unlock(root, key);
    };
    const bool opened = FNotices.askKey ? FNotices.askKey(drive, facts, tryKey)
                                        : AskBitLockerKey(this, drive, facts, tryKey);
    if (opened) {
        // The menu says it is unlocked; rebuilt once the click that chose it
        // is over, since its item is the one being clicked.
        QTimer::singleShot(0, this, [this] { BuildDriveMenu(); });
    }
}

} // namespace lorvex::ui

// The main window's drives: the Drive menu, the drive chosen from it (a
// locked BitLocker drive's key asked for), its title, and its allocation
// bitmap read into the map's model on a thread of its own.
#include "ui/MainWindow.h"

#include "ntfs/ScanStages.h"
#include "ui/HelpWindow.h"
#include "ui/MainWindowShared.h"
#include "ui/ShownText.h"
#include "volume/VolumeMap.h"
#include "volume/VolumeUtils.h"

#include <QAction>
#include <QCoreApplication>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QThread>
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
    mnuDrive->clear();
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
        QAction* item = mnuDrive->addAction(caption);
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
        QAction* item = mnuDrive->addAction(caption);
        item->setObjectName("DRIVE_" + QString::fromStdString(root));
        item->setData(QString::fromStdString(root));
        connect(item, &QAction::triggered, this, [this, item] { mnusubDriveClick(item); });
    }
    mnuDrive->addSeparator();
    mnuDrive->addAction(mnuCloseDrive);
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
    FDriveRoot = item != nullptr && item->data().isValid() ? item->data().toString().toStdString()
                                                           : name.right(1).toStdString() + ":\\";
    UpdateTitle();
    UnlockChosenDrive();
    LoadVolumeMap();
    if (FMapLetGo) {
        return;
    }
    RenderMapBitmap();
    RenderOverview();

    FScan.reset();
    ListsFollowScan();
    UpdateCommands();
    Zoom1->setChecked(true);
    if (frm_Help != nullptr) {
        frm_Help->show();
        // Beside this window, or in its dock when there is no room.
        PlaceZoomWindow();
    }
    if (FModel) {
        QCoreApplication::processEvents();
        ScanVolume();
        RenderOverview();
        return;
    }
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

void MainWindow::UnlockChosenDrive() {
    if (!FSourceHooks.bitlocker || !FSourceHooks.unlock) {
        return;
    }
    const TBitLockerFacts facts = FSourceHooks.bitlocker(FDriveRoot);
    if (!facts.bitLocker || !facts.locked || !facts.why.isEmpty()) {
        return;
    }
    const QString drive = QString::fromStdString(FDriveRoot);
    const std::string root = FDriveRoot;
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

void MainWindow::LoadVolumeMap() {
    FModel.reset();
    FMapLetGo = false;
    FTotalClusters = volume::QueryClusterCount(FApi, FDriveRoot, FBytesPerCluster);
    if (FTotalClusters == 0) {
        return;
    }
    ReadVolumeBitmap();
    if (FModel) {
        SetStatusText(QString::fromStdString(
            ntfs::VolumeSummaryText(FTotalClusters, FBytesPerCluster, FDriveRoot)));
    }
}

void MainWindow::ReadVolumeBitmap() {
    if (FTotalClusters == 0) {
        return;
    }
    // A new map means a new scan; the old one's tables are let go of before
    // the reading thread shares the volume layer with nobody.
    FScan.reset();
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
    if (FDamageRoot != FDriveRoot) {
        FDamageMap = {};
        FDamageName.clear();
    }
    UpdateDamage();
    // The bitmap of a volume of terabytes is hundreds of megabytes: it is
    // read on a thread of its own while the window goes on handling events,
    // with the commands that would start a scan held off as during one.
    const auto job = std::make_shared<TScanJob>();
    FScanJob = job;
    UpdateCommands();
    struct TLoad {
        std::unique_ptr<map::TMapModel> model;
        bool outOfMemory = false;
    };
    auto load = std::make_shared<TLoad>();
    QThread* worker = QThread::create([api = &FApi, root = FDriveRoot, total = FTotalClusters,
                                       bytesPerCluster = FBytesPerCluster, load] {
        try {
            // Sized from what the source holds, never from what the boot
            // sector claims; a bitmap that cannot be read leaves every
            // cluster free.
            map::TMapInput input;
            input.totalClusters = volume::QueryClustersOnSource(*api, root, total, bytesPerCluster);
            input.fillBitmap = [api, &root](std::span<std::uint8_t> bits) {
                volume::ReadVolumeBitmap(*api, root, bits);
            };
            load->model = std::make_unique<map::TMapModel>(input);
        } catch (const std::exception&) {
            load->outOfMemory = true;
        }
    });
    worker->setParent(this);
    bool finished = false;
    connect(worker, &QThread::finished, this, [&finished] { finished = true; });
    worker->start();
    while (!finished) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    worker->wait();
    delete worker;
    const bool current = FScanJob == job;
    if (current) {
        FScanJob.reset();
    }
    UpdateCommands();
    // A window that let go meanwhile (it is closing) takes nothing.
    FMapLetGo = !current;
    if (!current) {
        return;
    }
    if (load->outOfMemory) {
        ShowNotice(kAppCaption, QString("Error allocating %1 bytes.").arg(FTotalClusters));
        return;
    }
    FModel = std::move(load->model);
}

} // namespace lorvex::ui

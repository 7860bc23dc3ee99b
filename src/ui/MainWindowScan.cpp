// The main window's long work on a drive: its map read and its scan run by
// the scan controller on threads of their own, with the stage, the progress
// and Cancel in the status bar. The window shows the drive it showed until
// the work ends, so that cancelling leaves it as it was.
#include "ui/MainWindow.h"

#include "ntfs/ScanStages.h"
#include "ui/MainWindowShared.h"
#include "ui/ScanController.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <memory>

namespace lorvex::ui {

using namespace mainwindow;

namespace {

// Work shorter than this shows no progress at all.
constexpr int kProgressDelayMs = 500;
constexpr int kProgressBarWidth = 120;
// Within the status bar's fixed height.
constexpr int kProgressHeight = 18;

} // namespace

void MainWindow::BuildProgressArea() {
    progressArea_ = new QWidget(sb);
    progressArea_->setObjectName("ProgressArea");
    auto* layout = new QHBoxLayout(progressArea_);
    layout->setContentsMargins(0, 0, 0, 0);
    progressTitle_ = new QLabel(progressArea_);
    progressTitle_->setObjectName("ProgressTitle");
    layout->addWidget(progressTitle_);
    progressBar_ = new QProgressBar(progressArea_);
    progressBar_->setObjectName("ProgressBar");
    progressBar_->setRange(0, 100);
    progressBar_->setTextVisible(false);
    progressBar_->setFixedSize(kProgressBarWidth, kProgressHeight - 4);
    layout->addWidget(progressBar_);
    progressCancel_ = new QPushButton("Cancel", progressArea_);
    progressCancel_->setObjectName("ProgressCancel");
    progressCancel_->setFixedHeight(kProgressHeight);
    progressCancel_->setFocusPolicy(Qt::NoFocus);
    connect(progressCancel_, &QPushButton::clicked, this, [this] { CancelScan(); });
    layout->addWidget(progressCancel_);
    sb->addPermanentWidget(progressArea_);
    progressArea_->hide();
    progressDelay_ = new QTimer(this);
    progressDelay_->setSingleShot(true);
    progressDelay_->setInterval(kProgressDelayMs);
    // The volume check's word is of the scan before; while work shows its
    // progress it gives its room to the drive's summary, which would be cut
    // there at twice the scale.
    connect(progressDelay_, &QTimer::timeout, this, [this] {
        FHealthLabel->hide();
        progressArea_->show();
    });
}

void MainWindow::ConnectScanner() {
    scanner_ = new ScanController(FApi, this);
    connect(scanner_, &ScanController::stageStarted, progressTitle_, &QLabel::setText);
    connect(scanner_, &ScanController::progressChanged, progressBar_, &QProgressBar::setValue);
    connect(scanner_, &ScanController::mapLoaded, this, &MainWindow::MapLoaded);
    connect(scanner_, &ScanController::finished, this, &MainWindow::ScanSucceeded);
    connect(scanner_, &ScanController::failed, this, &MainWindow::ScanFailed);
    connect(scanner_, &ScanController::cancelled, this, &MainWindow::WorkCancelled);
    connect(scanner_, &ScanController::notice, this, &MainWindow::ShowNotice);
}

bool MainWindow::IsScanning() const {
    return (scanner_ != nullptr && (scanner_->Busy() || pendingDrive_ != nullptr)) ||
           DeletedWalkBusy();
}

void MainWindow::BeginWork(const QString& title) {
    markAtStart_ = FMarkText;
    progressTitle_->setText(title);
    progressBar_->setValue(0);
    progressDelay_->start();
    UpdateCommands();
}

void MainWindow::EndWork() {
    progressDelay_->stop();
    progressArea_->hide();
    FHealthLabel->show();
    UpdateCommands();
    emit ScanFinished();
}

void MainWindow::mnuScanClick() {
    if (IsScanning()) {
        return;
    }
    if (FDriveRoot.empty()) {
        ScanVolume();
        return;
    }
    OpenDrive(FDriveRoot, false);
}

void MainWindow::ScanVolume() {
    if (IsScanning()) {
        return;
    }
    if (FDriveRoot.empty()) {
        FScan.reset();
        ListsFollowScan();
        UpdateCommands();
        return;
    }
    BeginWork(QString::fromStdString(FDriveRoot));
    scanner_->StartScan(FDriveRoot, FMarkText.toStdU16String(),
                        FModel ? FModel->SharedBits()
                               : std::shared_ptr<const map::TMapModel::TBits>());
}

void MainWindow::MapLoaded() {
    PendingDrive& drive = *pendingDrive_;
    drive.model = scanner_->TakeMap();
    if (drive.model) {
        scanner_->StartScan(drive.root, FMarkText.toStdU16String(), drive.model->SharedBits());
        return;
    }
    if (drive.totalClusters != 0) {
        ShowNotice(kAppCaption, QString("Error allocating %1 bytes.").arg(drive.totalClusters));
    }
    if (!drive.chosen) {
        // Scanned again, the drive stays the one shown; its scan says what
        // went wrong.
        scanner_->StartScan(drive.root, FMarkText.toStdU16String(), {});
        return;
    }
    CommitDrive();
    EndWork();
    ShowDriveProblem();
}

void MainWindow::ScanSucceeded(std::shared_ptr<const TScanResult> scan) {
    if (pendingDrive_) {
        CommitDrive();
    }
    TakeScan(std::move(scan));
    EndWork();
}

void MainWindow::ScanFailed(const QString& failure) {
    // The drive is shown with its map, unscanned.
    if (pendingDrive_) {
        CommitDrive();
    } else {
        FScan.reset();
        ListsFollowScan();
    }
    EndWork();
    ShowNotice(kAppCaption, failure);
}

void MainWindow::WorkCancelled() {
    pendingDrive_.reset();
    EndWork();
    // The drive shown waited for its mark with the rest of the window.
    if (FMarkText != markAtStart_) {
        ApplyMark(FMarkText);
    }
}

void MainWindow::TakeScan(std::shared_ptr<const TScanResult> scan) {
    FScan = std::move(scan);
    std::unique_ptr<map::TMapModel> painted = scanner_->TakePaintedMap();
    UpdateCommands();
    UpdateHealth();
    UpdateDamage();
    ListsFollowScan();
    // The model of a drive whose map is still the one scanned replaces it;
    // a mark changed during the scan is painted now.
    if (painted && FModel && painted->SharedBits() == FModel->SharedBits()) {
        FModel = std::move(painted);
        if (FMarkText.toStdU16String() != FScan->markText) {
            RepaintScannedCells();
        }
        RenderMapBitmap();
    }
    RenderOverview();
}

void MainWindow::CancelScan() {
    if (!IsScanning() || CancelDeletedWalk()) {
        return;
    }
    if (scanner_->Busy()) {
        scanner_->Cancel();
    } else {
        WorkCancelled();
    }
}

} // namespace lorvex::ui

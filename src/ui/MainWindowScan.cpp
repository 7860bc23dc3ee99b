// The main window's scan: the reader's stages and the volume check run on a
// thread of their own, which hands the window its result when they end.
#include "ui/MainWindow.h"

#include "ntfs/Health.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "ui/CellMap.h"
#include "ui/MainWindowShared.h"
#include "ui/ProgressWindow.h"

#include <QCoreApplication>
#include <QProgressBar>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <exception>
#include <memory>

namespace lorvex::ui {

using namespace mainwindow;

void MainWindow::mnuScanClick() {
    if (IsScanning()) {
        return;
    }
    LoadVolumeMap();
    if (FMapLetGo) {
        return;
    }
    RenderMapBitmap();
    ScanVolume();
    RenderOverview();
}

void MainWindow::ScanVolume() {
    if (FDriveRoot.empty() || IsScanning()) {
        if (!IsScanning()) {
            FScan.reset();
            ListsFollowScan();
            UpdateCommands();
        }
        return;
    }
    FScan.reset();
    // A search pumping events ends: it read the table that the scan replaces.
    ListsFollowScan();
    const auto job = std::make_shared<TScanJob>();
    FScanJob = job;
    UpdateCommands();

    auto scan = std::make_shared<TScanResult>();
    scan->markText = FMarkText.toStdU16String();
    try {
        scan->volume = std::make_unique<ntfs::NtfsVolume>(FApi, FDriveRoot);
    } catch (const std::exception& e) {
        ScanEnded(job, nullptr, QString::fromStdString(e.what()));
        return;
    }

    tm->start();
    if (frm_Progress != nullptr) {
        frm_Progress->setWindowTitle(QString::fromStdString(FDriveRoot));
        frm_Progress->ResetProgress();
        frm_Progress->ShowCentred();
    }
    StartScanThread(job, std::move(scan),
                    FModel ? FModel->SharedBits() : std::shared_ptr<const map::TMapModel::TBits>());
    // The scan is over for this window when its result or its failure
    // arrives, or when the window lets go of it; the events go on meanwhile.
    while (FScanJob == job) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

ntfs::ScanObserver
MainWindow::ScanThreadObserver(const std::shared_ptr<TScanJob>& job, TScanResult& scan,
                               const std::shared_ptr<const map::TMapModel::TBits>& bits,
                               const std::function<void(std::string_view)>& probe) {
    ntfs::NtfsVolume& volume = *scan.volume;
    ntfs::ScanObserver observer;
    observer.stageStarted = [this, job, &probe](std::string_view title) {
        const QString text = FromUtf8(title);
        QMetaObject::invokeMethod(
            this,
            [this, job, text] {
                if (job == FScanJob && frm_Progress != nullptr) {
                    frm_Progress->setWindowTitle(text);
                }
            },
            Qt::QueuedConnection);
        if (probe) {
            probe(title);
        }
    };
    observer.progress = [job](double percent) {
        job->FProgress.store(percent, std::memory_order_relaxed);
    };
    observer.cancelled = [job] { return job->Stopped(); };
    // Shown once the window's thread gets to it; the scan does not wait.
    observer.notice = [this, job](std::string_view text, std::string_view caption) {
        QMetaObject::invokeMethod(
            this,
            [this, job, t = FromUtf8(text), c = FromUtf8(caption)] {
                if (job == FScanJob) {
                    ShowNotice(c, t);
                }
            },
            Qt::QueuedConnection);
    };
    observer.paint = [job, &volume, &scan, &bits] {
        // The model is painted here, from the bitmap the window read
        // and shares, while the window goes on drawing its own.
        if (!bits) {
            return;
        }
        map::TMapInput input;
        input.mftZoneStart = volume.geometry().mftZoneStart;
        input.mftZoneEnd = volume.geometry().mftZoneEnd;
        input.fileIds = &scan.fileIds;
        input.clusters = &scan.clusters;
        input.reserved = volume.reserved();
        input.markText = scan.markText;
        input.contains = ContainsCaseless;
        scan.model = std::make_unique<map::TMapModel>(bits, input);
        job->ThrowIfStopped();
    };
    return observer;
}

void MainWindow::StartScanThread(const std::shared_ptr<TScanJob>& job,
                                 std::shared_ptr<TScanResult> scan,
                                 std::shared_ptr<const map::TMapModel::TBits> bits) {
    // The thread reads nothing of the window: the probe is its own copy, and
    // what it tells the window goes as queued calls that a job let go of
    // does not act on.
    QThread* worker = QThread::create(
        [this, job, scan = std::move(scan), bits = std::move(bits), probe = FScanProbe]() mutable {
            const TScanJob::TRunning running(*job);
            ntfs::NtfsVolume& volume = *scan->volume;
            const ntfs::ScanObserver observer = ScanThreadObserver(job, *scan, bits, probe);
            bool failed = false;
            QString failure;
            try {
                ntfs::RunScanStages(volume, scan->fileIds, scan->clusters, observer);
                job->ThrowIfStopped();
                // The check walks the map against the bitmap the model holds;
                // without a model there is no bitmap to hold it against.
                ntfs::TBitmapWords words;
                if (bits) {
                    words = {bits->Words, bits->TotalClusters};
                }
                scan->health =
                    ntfs::CheckVolumeHealth(volume, FApi, scan->fileIds, scan->clusters, words);
            } catch (const TScanStopped&) {
                return;
            } catch (const ntfs::ScanCancelled&) {
                return;
            } catch (const std::exception& e) {
                failed = true;
                failure = QString::fromStdString(e.what());
            } catch (...) {
                failed = true;
                failure = "The scan stopped on an unknown error.";
            }
            if (job->Stopped()) {
                return;
            }
            if (failed) {
                scan.reset();
            }
            // The result changes hands here: this thread keeps no part of it.
            QMetaObject::invokeMethod(
                this,
                [this, job, handed = std::move(scan), failure]() mutable {
                    ScanEnded(job, std::move(handed), failure);
                },
                Qt::QueuedConnection);
        });
    worker->setParent(this);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void MainWindow::ScanEnded(const std::shared_ptr<TScanJob>& job, std::shared_ptr<TScanResult> scan,
                           const QString& failure) {
    if (job != FScanJob) {
        return;
    }
    FScanJob.reset();
    // After an error too: a timer left running and a progress window left
    // open would tell of a scan that is no longer there.
    CloseScanProgress();
    if (!scan) {
        ShowNotice(kAppCaption, failure);
        return;
    }
    FScan = std::move(scan);
    UpdateCommands();
    UpdateHealth();
    UpdateDamage();
    ListsFollowScan();
    // The model of a drive whose map is still the one scanned replaces it;
    // a mark changed during the scan is painted now.
    if (FScan->model && FModel && FScan->model->SharedBits() == FModel->SharedBits()) {
        FModel = std::move(FScan->model);
        if (FMarkText.toStdU16String() != FScan->markText) {
            RepaintScannedCells();
        }
        RenderMapBitmap();
    }
    FScan->model.reset();
}

void MainWindow::CancelScan() {
    if (!FScanJob) {
        return;
    }
    FScanJob->Stop();
    FScanJob.reset();
    CloseScanProgress();
}

void MainWindow::CloseScanProgress() {
    tm->stop();
    if (frm_Progress != nullptr) {
        frm_Progress->hide();
    }
    UpdateCommands();
}

void MainWindow::tmTimer() {
    if (frm_Progress != nullptr && FScanJob) {
        // Halves go to the even neighbour, as the default rounding does.
        frm_Progress->progress->setValue(static_cast<int>(std::lrint(FScanJob->FProgress.load())));
    }
}

} // namespace lorvex::ui

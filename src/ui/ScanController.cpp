#include "ui/ScanController.h"

#include "ntfs/Health.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "ui/CellMap.h"
#include "volume/VolumeMap.h"
#include "volume/VolumeUtils.h"

#include <QThread>
#include <QTimer>

#include <cmath>
#include <exception>
#include <span>

namespace lorvex::ui {

namespace {

// Often enough for the bar to move smoothly, seldom enough to cost nothing.
constexpr int kProgressIntervalMs = 100;

} // namespace

ScanController::ScanController(platform::VolumeApi& api, QObject* parent)
    : QObject(parent), api_(api), progressTimer_(new QTimer(this)) {
    progressTimer_->setInterval(kProgressIntervalMs);
    connect(progressTimer_, &QTimer::timeout, this, [this] {
        if (!job_) {
            return;
        }
        // Halves go to the even neighbour, as the default rounding does.
        const int percent = static_cast<int>(std::lrint(job_->Progress()));
        if (percent != shownProgress_) {
            shownProgress_ = percent;
            emit progressChanged(percent);
        }
    });
}

ScanController::~ScanController() {
    LetGo();
    for (QThread* worker : findChildren<QThread*>(QString(), Qt::FindDirectChildrenOnly)) {
        worker->wait();
    }
}

std::shared_ptr<TScanJob> ScanController::Begin() {
    LetGo();
    job_ = std::make_shared<TScanJob>();
    shownProgress_ = -1;
    progressTimer_->start();
    return job_;
}

void ScanController::End() {
    job_.reset();
    progressTimer_->stop();
}

void ScanController::Cancel() {
    if (!job_) {
        return;
    }
    LetGo();
    emit cancelled();
}

void ScanController::LetGo() {
    if (job_) {
        job_->Stop();
    }
    End();
}

std::unique_ptr<map::TMapModel> ScanController::TakeMap() {
    return std::move(loaded_);
}

void ScanController::StartThread(std::function<void()> work) {
    QThread* worker = QThread::create(std::move(work));
    worker->setParent(this);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void ScanController::LoadMap(const std::string& root, std::int64_t totalClusters,
                             std::uint32_t bytesPerCluster) {
    const auto job = Begin();
    // The bitmap of a volume of terabytes is hundreds of megabytes. Its
    // reading cannot stop half-way: a cancelled load runs to its end and is
    // dropped.
    StartThread([this, job, api = &api_, root, totalClusters, bytesPerCluster, probe = probe_] {
        if (probe) {
            probe(kStageReadingMap);
        }
        // Shared with the call that hands it over, which is copied.
        auto model = std::make_shared<std::unique_ptr<map::TMapModel>>();
        try {
            // Sized from what the source holds, never from what the boot
            // sector claims; a bitmap that cannot be read leaves every
            // cluster free.
            map::TMapInput input;
            input.totalClusters =
                volume::QueryClustersOnSource(*api, root, totalClusters, bytesPerCluster);
            input.fillBitmap = [api, &root](std::span<std::uint8_t> bits) {
                volume::ReadVolumeBitmap(*api, root, bits);
            };
            *model = std::make_unique<map::TMapModel>(input);
        } catch (const std::exception&) {
            model->reset();
        }
        if (job->Stopped()) {
            return;
        }
        QMetaObject::invokeMethod(
            this,
            [this, job, model] {
                if (job != job_) {
                    return;
                }
                End();
                loaded_ = std::move(*model);
                emit mapLoaded();
            },
            Qt::QueuedConnection);
    });
}

ntfs::ScanObserver
ScanController::Observer(const std::shared_ptr<TScanJob>& job, TScanResult& scan,
                         const std::shared_ptr<const map::TMapModel::TBits>& bits,
                         const std::function<void(std::string_view)>& probe,
                         std::unique_ptr<map::TMapModel>& painted) {
    ntfs::ScanObserver observer;
    observer.stageStarted = [this, job, &probe](std::string_view title) {
        QMetaObject::invokeMethod(
            this,
            [this, job,
             text = QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size()))] {
                if (job == job_) {
                    emit stageStarted(text);
                }
            },
            Qt::QueuedConnection);
        if (probe) {
            probe(title);
        }
    };
    observer.progress = [job](double percent) { job->SetProgress(percent); };
    observer.cancelled = [job] { return job->Stopped(); };
    // Shown once the window's thread gets to it; the scan does not wait.
    observer.notice = [this, job](std::string_view text, std::string_view caption) {
        QMetaObject::invokeMethod(
            this,
            [this, job, t = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
             c = QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size()))] {
                if (job == job_) {
                    emit notice(c, t);
                }
            },
            Qt::QueuedConnection);
    };
    observer.paint = [job, &scan, &bits, &painted] {
        // The model is painted here, from the bitmap the window read and
        // shares, while the window goes on drawing its own.
        if (!bits) {
            return;
        }
        const ntfs::NtfsVolume& volume = *scan.volume;
        map::TMapInput input;
        input.mftZoneStart = volume.geometry().mftZoneStart;
        input.mftZoneEnd = volume.geometry().mftZoneEnd;
        input.fileIds = &scan.fileIds;
        input.clusters = &scan.clusters;
        input.reserved = volume.reserved();
        input.markText = scan.markText;
        input.contains = ContainsCaseless;
        painted = std::make_unique<map::TMapModel>(bits, input);
        job->ThrowIfStopped();
    };
    return observer;
}

QString ScanController::RunScan(const std::shared_ptr<TScanJob>& job, TScanResult& scan,
                                const std::shared_ptr<const map::TMapModel::TBits>& bits,
                                const std::function<void(std::string_view)>& probe,
                                std::unique_ptr<map::TMapModel>& painted) {
    try {
        ntfs::NtfsVolume& volume = *scan.volume;
        const ntfs::ScanObserver observer = Observer(job, scan, bits, probe, painted);
        ntfs::RunScanStages(volume, scan.fileIds, scan.clusters, observer);
        job->ThrowIfStopped();
        // The check walks the map against the bitmap the model holds;
        // without a model there is no bitmap to hold it against.
        ntfs::TBitmapWords words;
        if (bits) {
            words = {bits->Words, bits->TotalClusters};
        }
        scan.health = ntfs::CheckVolumeHealth(volume, api_, scan.fileIds, scan.clusters, words);
    } catch (const TScanStopped&) {
        throw;
    } catch (const ntfs::ScanCancelled&) {
        throw TScanStopped();
    } catch (const std::exception& e) {
        return QString::fromStdString(e.what());
    } catch (...) {
        return "The scan stopped on an unknown error.";
    }
    return {};
}

void ScanController::StartScan(const std::string& root, const std::u16string& markText,
                               std::shared_ptr<const map::TMapModel::TBits> bits) {
    const auto job = Begin();
    // The thread reads nothing of the window: the probe is its own copy, and
    // what it sends goes as queued calls that a job let go of does not act on.
    StartThread([this, job, root, markText, bits = std::move(bits), probe = probe_]() mutable {
        auto scan = std::make_shared<TScanResult>();
        scan->markText = markText;
        auto painted = std::make_shared<std::unique_ptr<map::TMapModel>>();
        QString failure;
        try {
            scan->volume = std::make_unique<ntfs::NtfsVolume>(api_, root);
            failure = RunScan(job, *scan, bits, probe, *painted);
        } catch (const TScanStopped&) {
            return;
        } catch (const std::exception& e) {
            failure = QString::fromStdString(e.what());
        }
        if (job->Stopped()) {
            return;
        }
        // The result changes hands here, never to change again: this thread
        // keeps no part of it, and the window reads it as it is.
        std::shared_ptr<const TScanResult> handed;
        if (failure.isEmpty()) {
            handed = std::move(scan);
        }
        QMetaObject::invokeMethod(
            this,
            [this, job, handed = std::move(handed), painted, failure]() mutable {
                if (job != job_) {
                    return;
                }
                End();
                if (handed) {
                    painted_ = std::move(*painted);
                    emit finished(std::move(handed));
                } else {
                    emit failed(failure);
                }
            },
            Qt::QueuedConnection);
    });
}

} // namespace lorvex::ui

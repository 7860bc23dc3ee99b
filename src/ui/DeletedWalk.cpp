#include "ui/DeletedWalk.h"

#include "ntfs/NtfsVolume.h"

#include <QStringList>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cmath>
#include <exception>

#include <unistd.h>

namespace lorvex::ui {

namespace {

// As often as the scan's bar moves.
constexpr int kProgressIntervalMs = 100;

// The deleted entries named on one cluster before "and N more".
constexpr std::size_t kEntriesNamed = 3;

// The piece of entry `entry` that lies on `lcn`, or null.
const ntfs::DeletedPiece* PieceOn(const ntfs::DeletedEntries& deleted,
                                  const ntfs::DeletedEntry& entry, std::int64_t lcn) {
    for (const ntfs::DeletedStream& stream : deleted.Streams(entry)) {
        for (const ntfs::DeletedPiece& piece : deleted.Pieces(stream)) {
            if (piece.lcn >= 0 && lcn >= piece.lcn &&
                lcn < ntfs::ExtentEnd(piece.lcn, piece.length)) {
                return &piece;
            }
        }
    }
    return nullptr;
}

} // namespace

QString DeletedOwnerText(const DeletedScan& deleted, bool isDeleted, std::int64_t record,
                         const ntfs::TFileIDs& live) {
    if (isDeleted) {
        const auto index = deleted.entries.IndexOf(record);
        return index ? "deleted " + QString::fromStdU16String(deleted.entries.Path(*index, 0, live))
                     : QString("deleted record %1").arg(record);
    }
    const std::int32_t index = live.IndexOfID(record);
    return index >= 0 ? QString::fromStdU16String(live.Path(index))
                      : QString("record %1").arg(record);
}

QString DeletedClusterNote(const DeletedScan& deleted, const ntfs::TFileIDs& live,
                           std::int64_t lcn) {
    const std::vector<std::size_t> claiming = deleted.entries.EntriesClaiming(lcn);
    QStringList named;
    for (const std::size_t index : claiming) {
        if (named.size() == static_cast<qsizetype>(kEntriesNamed)) {
            named << QString("and %1 more").arg(claiming.size() - kEntriesNamed);
            break;
        }
        const ntfs::DeletedEntry& entry = deleted.entries.entries()[index];
        const ntfs::DeletedPiece* piece = PieceOn(deleted.entries, entry, lcn);
        QString state = "still there";
        if (piece != nullptr && (piece->state == ntfs::PieceState::kOverwritten ||
                                 piece->state == ntfs::PieceState::kClaimed)) {
            state = "overwritten by " + DeletedOwnerText(deleted,
                                                         piece->state == ntfs::PieceState::kClaimed,
                                                         piece->overwrittenBy, live);
        } else if (piece != nullptr && piece->state != ntfs::PieceState::kFree) {
            const std::string_view name = ntfs::PieceStateName(piece->state);
            state = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
        }
        named << QString("%1 (%2)").arg(
            QString::fromStdU16String(deleted.entries.Path(index, 0, live)), state);
    }
    return named.isEmpty() ? QString() : "; deleted: " + named.join(", ");
}

DeletedWalkController::DeletedWalkController(platform::VolumeApi& api, QObject* parent)
    : QObject(parent), api_(api), progressTimer_(new QTimer(this)) {
    progressTimer_->setInterval(kProgressIntervalMs);
    connect(progressTimer_, &QTimer::timeout, this, [this] {
        const int percent = job_ ? static_cast<int>(std::lrint(job_->Progress())) : shownProgress_;
        if (percent != shownProgress_) {
            shownProgress_ = percent;
            emit progressChanged(percent);
        }
    });
}

DeletedWalkController::~DeletedWalkController() {
    LetGo();
    for (QThread* worker : findChildren<QThread*>(QString(), Qt::FindDirectChildrenOnly)) {
        worker->wait();
    }
}

void DeletedWalkController::End() {
    job_.reset();
    progressTimer_->stop();
}

void DeletedWalkController::Cancel() {
    if (job_) {
        LetGo();
        emit cancelled();
    }
}

void DeletedWalkController::LetGo() {
    if (job_) {
        job_->Stop();
    }
    End();
}

void DeletedWalkController::AnnounceStage(const std::shared_ptr<TScanJob>& job,
                                          const QString& title) {
    QMetaObject::invokeMethod(
        this,
        [this, job, title] {
            if (job == job_) {
                emit stageStarted(title);
            }
        },
        Qt::QueuedConnection);
}

std::shared_ptr<TScanJob> DeletedWalkController::Begin() {
    LetGo();
    job_ = std::make_shared<TScanJob>();
    shownProgress_ = -1;
    progressTimer_->start();
    return job_;
}

void DeletedWalkController::StartThread(std::function<void()> work) {
    QThread* worker = QThread::create(std::move(work));
    worker->setParent(this);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void DeletedWalkController::Start(const std::string& root,
                                  std::shared_ptr<const TScanResult> scan) {
    StartThread([this, job = Begin(), root, scan = std::move(scan), probe = probe_] {
        auto made = std::make_shared<DeletedScan>();
        const QString failure = Walk(job, root, *scan, probe, *made);
        if (job->Stopped()) {
            return;
        }
        made->scan = scan;
        QMetaObject::invokeMethod(
            this,
            [this, job, made = std::shared_ptr<const DeletedScan>(std::move(made)), failure] {
                Deliver(job, made, failure);
            },
            Qt::QueuedConnection);
    });
}

void DeletedWalkController::StartSave(const std::string& root,
                                      std::shared_ptr<const DeletedScan> deleted, std::size_t entry,
                                      int fd, const QString& path) {
    StartThread([this, job = Begin(), root, deleted = std::move(deleted), entry, fd, path] {
        auto save = std::make_shared<DeletedSave>();
        save->path = path;
        Save(job, root, *deleted, entry, fd, *save);
        if (job->Stopped()) {
            return;
        }
        QMetaObject::invokeMethod(
            this,
            [this, job, save = std::shared_ptr<const DeletedSave>(std::move(save))] {
                if (job == job_) {
                    End();
                    emit saved(save);
                }
            },
            Qt::QueuedConnection);
    });
}

void DeletedWalkController::Save(const std::shared_ptr<TScanJob>& job, const std::string& root,
                                 const DeletedScan& deleted, std::size_t entry, int fd,
                                 DeletedSave& save) {
    const std::shared_ptr<const TScanResult> scan = deleted.scan.lock();
    const std::int64_t record = deleted.entries.entries()[entry].record;
    if (scan) {
        save.entryPath = QString::fromStdU16String(deleted.entries.Path(entry, 0, scan->fileIds));
    }
    int error = 0;
    const ntfs::ByteSink sink = [fd, &error](std::span<const std::byte> bytes) {
        while (!bytes.empty()) {
            const ssize_t put = ::write(fd, bytes.data(), bytes.size());
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                error = put < 0 ? errno : EIO;
                return false;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(put));
        }
        return true;
    };
    try {
        ntfs::NtfsVolume volume(api_, root);
        ntfs::ExtractionOptions options;
        const ntfs::VolumeGeometry& geometry = volume.geometry();
        // A stream larger than its volume is a damaged record's claim.
        options.limit = static_cast<std::uint64_t>(geometry.totalClusters) *
                        static_cast<std::uint64_t>(geometry.bytesPerCluster);
        options.stop = &job->StopFlag();
        options.progress = [&job](double percent) { job->SetProgress(percent); };
        options.deleted = &deleted.entries;
        save.result = ntfs::ExtractStream(volume, api_, record, {}, sink, options);
    } catch (const std::exception& e) {
        save.failure = QString::fromStdString(e.what());
    }
    if (::close(fd) != 0 && error == 0 && save.failure.isEmpty()) {
        error = errno;
        save.result.status = ntfs::ExtractionStatus::kSinkFailed;
    }
    save.error = error;
}

QString DeletedWalkController::Walk(const std::shared_ptr<TScanJob>& job, const std::string& root,
                                    const TScanResult& scan,
                                    const std::function<void(std::string_view)>& probe,
                                    DeletedScan& made) {
    made.drive = QString::fromStdString(scan.volume->drive());
    try {
        // A volume of the walk's own: the window's reports read through the
        // scan's, one thread at a time.
        ntfs::NtfsVolume volume(api_, root);
        AnnounceStage(job, QString("%1 deleted records").arg(made.drive));
        if (probe) {
            probe("records");
        }
        // The walk's one way out half-way: its progress report.
        made.entries = ntfs::CollectDeletedEntries(volume, [&job](double percent) {
            job->SetProgress(percent);
            job->ThrowIfStopped();
        });
        AnnounceStage(job, QString("%1 deleted clusters").arg(made.drive));
        job->ThrowIfStopped();
        ntfs::CutDeletedRuns(made.entries, scan.fileIds, scan.clusters,
                             scan.volume->geometry().totalClusters);
    } catch (const TScanStopped&) {
        return {};
    } catch (const std::exception& e) {
        return QString::fromStdString(e.what());
    }
    return {};
}

void DeletedWalkController::Deliver(const std::shared_ptr<TScanJob>& job,
                                    std::shared_ptr<const DeletedScan> made,
                                    const QString& failure) {
    // A walk let go of has nothing more to say.
    if (job != job_) {
        return;
    }
    End();
    if (failure.isEmpty()) {
        emit finished(std::move(made));
    } else {
        emit failed(failure);
    }
}

} // namespace lorvex::ui

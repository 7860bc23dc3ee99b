#include "ui/DeletedWalk.h"

#include "ntfs/NtfsVolume.h"

#include <QStringList>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <exception>

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

void DeletedWalkController::Start(const std::string& root,
                                  std::shared_ptr<const TScanResult> scan) {
    LetGo();
    job_ = std::make_shared<TScanJob>();
    shownProgress_ = -1;
    progressTimer_->start();
    QThread* worker =
        QThread::create([this, job = job_, root, scan = std::move(scan), probe = probe_] {
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
    worker->setParent(this);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
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

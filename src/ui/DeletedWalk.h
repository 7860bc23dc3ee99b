#pragma once

#include "ntfs/DeletedEntries.h"
#include "ntfs/StreamExtraction.h"
#include "ui/ScanJob.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QTimer;

namespace lorvex::platform {
class VolumeApi;
} // namespace lorvex::platform

namespace lorvex::ui {

// The deleted entries of one scanned drive, cut by that scan's cluster map.
// It belongs to that scan: the window uses it only while it shows the same
// scan, and holds the scan only weakly, as the lists do.
struct DeletedScan {
    std::weak_ptr<const TScanResult> scan;
    // "C:", the drive it was read from, for what the window says of it.
    QString drive;
    ntfs::DeletedEntries entries;
};

// What Save File As wrote of a deleted entry: the extraction's result, or
// why it could not run.
struct DeletedSave {
    QString path;      // the file written
    QString entryPath; // the deleted entry's path on its volume
    ntfs::ExtractionResult result;
    int error = 0;   // errno of a write or close that failed
    QString failure; // the extraction could not run: why
};

// What took a deleted entry's cluster: the live file of base record
// `record` ("\\dir\\file.txt"), or with `isDeleted` the deleted entry of that
// record ("deleted \\old\\file.txt"); its record number when it has no path.
QString DeletedOwnerText(const DeletedScan& deleted, bool isDeleted, std::int64_t record,
                         const ntfs::TFileIDs& live);

// What the deleted entries left on cluster `lcn`, for the status bar and the
// zoom window: "; deleted: \\a.txt (still there), \\b.txt (overwritten by
// \\c.dat)"; empty when none lies there.
QString DeletedClusterNote(const DeletedScan& deleted, const ntfs::TFileIDs& live,
                           std::int64_t lcn);

// The walk of a scanned drive's free records for its deleted entries, off
// the window's thread: one walk at a time, its stage and progress as
// signals, and nothing from a walk that was cancelled or let go of. The
// thread reads the drive through a volume of its own and the scan's tables,
// which it holds until it ends; while it runs the window reads nothing
// through the volume layer.
class DeletedWalkController : public QObject {
    Q_OBJECT

  public:
    DeletedWalkController(platform::VolumeApi& api, QObject* parent);
    // Stops the walk and waits for its thread, which reads through the
    // volume layer and must be over before the layer goes.
    ~DeletedWalkController() override;
    DeletedWalkController(const DeletedWalkController&) = delete;
    DeletedWalkController& operator=(const DeletedWalkController&) = delete;

    // Walks the drive at `root` that `scan` was made from; finished, failed
    // or (after Cancel) cancelled follows.
    void Start(const std::string& root, std::shared_ptr<const TScanResult> scan);
    // Writes the unnamed data of entry `entry` of `deleted` (read from the
    // drive at `root`) through `fd`, a file opened for `path` and checked as
    // a target, which this closes; saved or (after Cancel) cancelled
    // follows.
    void StartSave(const std::string& root, std::shared_ptr<const DeletedScan> deleted,
                   std::size_t entry, int fd, const QString& path);
    // Stops the walk or the save: its thread ends at its next step and
    // whatever it still sends is dropped. cancelled follows at once.
    void Cancel();
    // As Cancel, without the signal.
    void LetGo();
    [[nodiscard]] bool Busy() const { return job_ != nullptr; }
    // Runs on the walking thread as each stage begins; tests slow a walk
    // down through it to cancel it half-way.
    void SetProbe(std::function<void(std::string_view stage)> probe) { probe_ = std::move(probe); }

  signals:
    void stageStarted(const QString& title);
    void progressChanged(int percent);
    void finished(std::shared_ptr<const DeletedScan> deleted);
    void failed(const QString& message);
    void saved(std::shared_ptr<const DeletedSave> save);
    void cancelled();

  private:
    // A job of its own for the work about to start.
    std::shared_ptr<TScanJob> Begin();
    void StartThread(std::function<void()> work);
    void End();
    // Runs on the walking thread: the entries into `made`; empty when they
    // were read (or the walk was stopped), else why not.
    QString Walk(const std::shared_ptr<TScanJob>& job, const std::string& root,
                 const TScanResult& scan, const std::function<void(std::string_view)>& probe,
                 DeletedScan& made);
    // Runs on the saving thread: the entry's data through `fd`, closed after.
    void Save(const std::shared_ptr<TScanJob>& job, const std::string& root,
              const DeletedScan& deleted, std::size_t entry, int fd, DeletedSave& save);
    // On the window's thread: what the walk of `job` made, or why it failed.
    void Deliver(const std::shared_ptr<TScanJob>& job, std::shared_ptr<const DeletedScan> made,
                 const QString& failure);
    // Tells the window of a stage from the walking thread.
    void AnnounceStage(const std::shared_ptr<TScanJob>& job, const QString& title);

    platform::VolumeApi& api_;
    std::function<void(std::string_view)> probe_;
    std::shared_ptr<TScanJob> job_;
    QTimer* progressTimer_ = nullptr;
    int shownProgress_ = -1;
};

} // namespace lorvex::ui

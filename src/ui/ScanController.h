#pragma once

#include "map/MapModel.h"
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

namespace lorvex::ntfs {
struct ScanObserver;
} // namespace lorvex::ntfs

namespace lorvex::ui {

// What a probe hears as a drive's map begins to be read, before the scan's
// own stages.
inline constexpr std::string_view kStageReadingMap = "reading the map";

// The window's long work on a drive, off the window's thread: reading its
// allocation bitmap into a model, then scanning it. One piece of work at a
// time; what it has to say arrives as signals on the window's thread, and
// nothing arrives from work that was cancelled or let go of.
//
// The threads read through the volume layer the window shares: while work
// runs, the window reads nothing through it.
class ScanController : public QObject {
    Q_OBJECT

  public:
    ScanController(platform::VolumeApi& api, QObject* parent);
    // Stops the work and waits for its thread: it reads through the volume
    // layer and must be over before the layer goes.
    ~ScanController() override;
    ScanController(const ScanController&) = delete;
    ScanController& operator=(const ScanController&) = delete;

    // Reads the bitmap of the drive at `root`, sized from what its source
    // holds; mapLoaded follows.
    // The probe hears kStageReadingMap as the read begins.
    void LoadMap(const std::string& root, std::int64_t totalClusters,
                 std::uint32_t bytesPerCluster);
    // Scans the drive at `root` and checks it; the model is painted with
    // `markText` from `bits` (none: no model). finished or failed follows.
    void StartScan(const std::string& root, const std::u16string& markText,
                   std::shared_ptr<const map::TMapModel::TBits> bits);
    // Stops the work: its thread ends at its next stage or record and
    // whatever it still sends is dropped. cancelled follows at once.
    void Cancel();
    // As Cancel, without the signal: the window is going.
    void LetGo();
    // The model the last load read, once: null when there was no memory
    // for it.
    [[nodiscard]] std::unique_ptr<map::TMapModel> TakeMap();
    // The model the last scan painted, once (with its finished signal):
    // null when it had no bitmap to paint over.
    [[nodiscard]] std::unique_ptr<map::TMapModel> TakePaintedMap() { return std::move(painted_); }
    [[nodiscard]] bool Busy() const { return job_ != nullptr; }
    // Runs on the scanning thread as each stage begins; tests make a stage
    // fail or slow down through it.
    void SetProbe(std::function<void(std::string_view stage)> probe) { probe_ = std::move(probe); }

  signals:
    void stageStarted(const QString& title);
    void progressChanged(int percent);
    // The drive's model is ready for TakeMap.
    void mapLoaded();
    void finished(std::shared_ptr<const TScanResult> scan);
    void failed(const QString& message);
    void cancelled();
    // A message of the reader's for the user, while the scan goes on.
    void notice(const QString& caption, const QString& text);

  private:
    // A job of its own for the work about to start.
    std::shared_ptr<TScanJob> Begin();
    // The job's work is over on the window's thread.
    void End();
    [[nodiscard]] ntfs::ScanObserver
    Observer(const std::shared_ptr<TScanJob>& job, TScanResult& scan,
             const std::shared_ptr<const map::TMapModel::TBits>& bits,
             const std::function<void(std::string_view)>& probe,
             std::unique_ptr<map::TMapModel>& painted);
    // Runs the stages and the check into `scan` on the calling thread;
    // empty when they ended, else why not. Throws when the job is stopped.
    QString RunScan(const std::shared_ptr<TScanJob>& job, TScanResult& scan,
                    const std::shared_ptr<const map::TMapModel::TBits>& bits,
                    const std::function<void(std::string_view)>& probe,
                    std::unique_ptr<map::TMapModel>& painted);
    // Starts `work` on a thread of its own that lives no longer than this.
    void StartThread(std::function<void()> work);

    platform::VolumeApi& api_;
    std::function<void(std::string_view)> probe_;
    std::shared_ptr<TScanJob> job_;
    std::unique_ptr<map::TMapModel> loaded_;
    std::unique_ptr<map::TMapModel> painted_;
    // Copies the job's progress into progressChanged while it runs.
    QTimer* progressTimer_ = nullptr;
    int shownProgress_ = -1;
};

} // namespace lorvex::ui

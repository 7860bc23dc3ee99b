#pragma once

#include "map/MapModel.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/Health.h"
#include "ntfs/NtfsVolume.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class QObject;

namespace lorvex::ui {

// What a scan produces: the volume it read, the file table, the cluster
// map (in LCN order once the scan is over) and the map's model painted from
// them (null for a drive whose map could not be had). The scanning thread
// builds it whole and hands it over when the last stage ends; from then on
// only the window's thread reads it.
struct TScanResult {
    std::unique_ptr<ntfs::NtfsVolume> volume;
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    std::unique_ptr<map::TMapModel> model;
    // The volume check, made on the scanning thread once the stages are done.
    ntfs::THealthReport health;
    // The mark the model was painted with.
    std::u16string markText;
};

// Thrown on the scanning thread once its job is stopped: it ends the stages
// at the next stage or record, and the thread delivers nothing.
struct TScanStopped {};

// The link between the window's scan controller and one scan's thread. The
// controller keeps the job of the work it shows progress for; a job it lets
// go of (cancelled, or the window closing) is stopped, so that its thread
// ends soon and whatever it still sends is dropped.
class TScanJob : public std::enable_shared_from_this<TScanJob> {
  public:
    // Either thread; wakes the scanning thread if it waits in CallAndWait.
    void Stop();
    [[nodiscard]] bool Stopped() const { return FStopped.load(); }
    // On the scanning thread.
    void ThrowIfStopped() const;

    // On the scanning thread: runs `work` on the thread of `context` and
    // waits until it has run, or until the job is stopped. False when the
    // job was stopped first; `work` never runs for a stopped job, so it may
    // hold nothing of the caller's stack.
    bool CallAndWait(QObject* context, std::function<void()> work);

    // The job whose scan runs on the calling thread, or null on any other.
    [[nodiscard]] static TScanJob* Current();
    // Marks the calling thread as running `job` for as long as it lives.
    class TRunning {
      public:
        explicit TRunning(TScanJob& job);
        ~TRunning();
        TRunning(const TRunning&) = delete;
        TRunning& operator=(const TRunning&) = delete;
    };

    // The progress the scan last gave its observer, 0 to 100.
    void SetProgress(double percent) { progress_.store(percent, std::memory_order_relaxed); }
    [[nodiscard]] double Progress() const { return progress_.load(std::memory_order_relaxed); }

  private:
    std::atomic<double> progress_{0.0};
    std::atomic<bool> FStopped{false};
    std::mutex FMutex;
    std::condition_variable FWake;
};

} // namespace lorvex::ui

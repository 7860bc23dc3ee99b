#pragma once

#include "map/MapModel.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/Health.h"
#include "ntfs/NtfsVolume.h"

#include <atomic>
#include <memory>
#include <string>

namespace lorvex::ui {

// What a scan produces: the volume it read, the file table, the cluster map
// (in LCN order once the scan is over) and the volume check. The scanning
// thread builds it whole and hands it over as a constant when the last stage
// ends: every view made from it reads it as it was handed over. The map's
// model painted from it goes to the window beside it (ScanController).
struct TScanResult {
    std::unique_ptr<ntfs::NtfsVolume> volume;
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
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
class TScanJob {
  public:
    // Either thread.
    void Stop() { stopped_.store(true); }
    [[nodiscard]] bool Stopped() const { return stopped_.load(); }
    // For work that takes a flag to look at rather than a call.
    [[nodiscard]] const std::atomic<bool>& StopFlag() const { return stopped_; }
    // On the scanning thread.
    void ThrowIfStopped() const {
        if (Stopped()) {
            throw TScanStopped();
        }
    }

    // The progress the scan last gave its observer, 0 to 100.
    void SetProgress(double percent) { progress_.store(percent, std::memory_order_relaxed); }
    [[nodiscard]] double Progress() const { return progress_.load(std::memory_order_relaxed); }

  private:
    std::atomic<double> progress_{0.0};
    std::atomic<bool> stopped_{false};
};

} // namespace lorvex::ui

#include "cli/Scan.h"

#include "cli/CheckListing.h"
#include "cli/DamageListing.h"
#include "cli/DeletedListing.h"
#include "cli/EntryListings.h"
#include "cli/FileExports.h"
#include "cli/SummaryListing.h"
#include "ntfs/ScanStages.h"
#include "ondisk/Printable.h"
#include "records/FileTableListing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <unistd.h>

namespace lorvex::cli {

namespace {

using Clock = std::chrono::steady_clock;

// Shows the running stage and its percentage on a terminal, at most ten times
// a second; nothing at all when stderr is a file or a pipe.
class ProgressLine {
  public:
    ProgressLine() : enabled_(isatty(STDERR_FILENO) == 1) {}
    ~ProgressLine() { Clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void Stage(std::string_view title) {
        title_ = title;
        Draw(true);
    }
    void Progress(double percent) {
        percent_ = percent;
        Draw(false);
    }
    void Clear() {
        if (enabled_ && drawn_) {
            std::fprintf(stderr, "\r\033[K");
            drawn_ = false;
        }
    }

  private:
    void Draw(bool force) {
        if (!enabled_) {
            return;
        }
        const auto now = Clock::now();
        if (!force && now - last_ < std::chrono::milliseconds(100)) {
            return;
        }
        last_ = now;
        const int percent = static_cast<int>(percent_ + 0.5);
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        std::fprintf(stderr, "\r\033[K%-28.*s [%.*s%*s] %3d%%", static_cast<int>(title_.size()),
                     title_.data(), filled, "##############################", kWidth - filled, "",
                     percent);
        std::fflush(stderr);
        drawn_ = true;
    }

    bool enabled_;
    double percent_ = 0;
    bool drawn_ = false;
    std::string_view title_;
    Clock::time_point last_{};
};

// What a scan builds; kept until the next drive's scan needs the room.
struct ScanTables {
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    std::shared_ptr<map::TMapModel> model;
};

// What ScanDrive returns for a drive that is not NTFS among several.
constexpr int kLeftOut = -1;

// A drive that cannot be scanned, said why; its exit status, or nullopt for
// an NTFS drive.
std::optional<int> Refusal(DriveSet& drives, const Drive& drive, const ntfs::NtfsVolume& volume,
                           bool severalDrives, Output& out) {
    if (volume.information().fileSystemName == "BitLocker") {
        const std::size_t index = drives.IndexOf(drive);
        out.Flush();
        std::fprintf(stderr, "lorvex-scan: %s (drive %s): %s%s\n", drive.region.path.c_str(),
                     drive.Name().c_str(), LockedText(drives, index).c_str(),
                     severalDrives ? "; left out" : "");
        // A key that was given and did not open it is an error even among
        // several drives.
        return severalDrives && drives.lockedWhy[index].empty() ? kLeftOut : 1;
    }
    if (volume.information().fileSystemName != "NTFS" || volume.geometry().totalClusters == 0) {
        const std::string what = volume.information().fileSystemName.empty()
                                     ? "no file system recognised"
                                 : volume.information().fileSystemName == "NTFS"
                                     ? "NTFS, but damaged beyond reading"
                                     : volume.information().fileSystemName + ", not NTFS";
        out.Flush();
        std::fprintf(stderr, "lorvex-scan: %s (drive %s): %s%s\n",
                     ondisk::Printable(drive.region.path).c_str(), drive.Name().c_str(),
                     what.c_str(), severalDrives ? "; left out" : "");
        // Of several drives, one that is not NTFS is only left out.
        return severalDrives && volume.information().fileSystemName != "NTFS" ? kLeftOut : 1;
    }
    return std::nullopt;
}

// The scan's stages with their times, the progress shown on a terminal; the
// map's model built while the clusters are painted, when a picture is asked
// for (the map is in FileIndex order only then).
std::vector<StageSeconds> RunStages(const ScannedDrive& scan, const Options& options,
                                    ScanTables& tables) {
    std::vector<StageSeconds> times;
    ProgressLine progress;
    auto stageStart = Clock::now();
    ntfs::ScanObserver observer;
    const auto closeStage = [&] {
        if (!times.empty()) {
            times.back().seconds = std::chrono::duration<double>(Clock::now() - stageStart).count();
        }
    };
    observer.stageStarted = [&](std::string_view title) {
        closeStage();
        times.push_back({title, 0});
        stageStart = Clock::now();
        progress.Stage(title);
    };
    observer.progress = [&](double percent) { progress.Progress(percent); };
    if (options.mapPngPath && MapPicturesDrawn()) {
        // The bitmap is read once: shared when another action reads it too.
        const bool share = !options.owners.empty() || options.clusterMap || options.check;
        observer.paint = [&scan, &tables, share] { tables.model = BuildMapModel(scan, share); };
    }
    ntfs::RunScanStages(scan.volume, tables.fileIds, tables.clusters, observer);
    closeStage();
    progress.Clear();
    return times;
}

// The listings of a finished scan of one drive. Returns the exit status.
int WriteListings(const ScannedDrive& scan, const Options& options,
                  const std::vector<StageSeconds>& times, Listing& listing) {
    int status = 0;
    listing.writer.BeginDrive(listing.label);
    if (options.summary) {
        WriteSummary(scan, times, listing);
    }
    if (!options.owners.empty()) {
        status = WriteOwners(scan, options.owners, listing);
    }
    if (options.fragmented) {
        WriteFragmented(scan, listing);
    }
    if (options.check) {
        // The other actions still run; the check's verdict is the exit status.
        status = std::max(status, WriteCheck(scan, listing));
    }
    if (options.damagePath) {
        status = std::max(status, WriteDamage(scan, options.damage, listing));
    }
    if (options.files) {
        WriteFileTable(listing.out, listing.writer, listing.format, scan.volume, scan.fileIds);
    }
    if (options.deleted) {
        WriteDeleted(scan, listing);
    }
    if (options.clusterMap) {
        WriteClusterMap(scan, listing);
    }
    listing.writer.EndDrive();
    listing.out.Step();
    return status;
}

int ScanDrive(DriveSet& drives, const Drive& drive, const Options& options,
              const OutputTargets& targets, ScanTables& tables, Listing& listing) {
    ntfs::NtfsVolume volume(*drives.system, drive.Root());
    if (const auto refused =
            Refusal(drives, drive, volume, drives.chosen.size() > 1, listing.out)) {
        return *refused;
    }
    VolumeBitmap bitmap(*drives.system, drive.Root(), volume.geometry().totalClusters);
    const ScannedDrive scan{*drives.system, drive, volume, tables.fileIds, tables.clusters, bitmap};
    const auto times = RunStages(scan, options, tables);
    if (tables.fileIds.empty()) {
        listing.out.Flush();
        std::fprintf(stderr, "lorvex-scan: %s (drive %s): no file records could be read\n",
                     ondisk::Printable(drive.region.path).c_str(), drive.Name().c_str());
        return 1;
    }
    if (options.mapPngPath) {
        if (const int status = WriteMapPicture(scan, tables.model, options, targets); status != 0) {
            return status;
        }
    }
    if (options.exportPath) {
        if (const int status = WriteExport(scan, options, targets, listing.out); status != 0) {
            return status;
        }
    }
    if (options.Listings() == 0) {
        return 0;
    }
    FillDriveLabel(listing.label, drive, listing.Texts());
    return WriteListings(scan, options, times, listing);
}

} // namespace

int ScanDrives(DriveSet& drives, const Options& options, const OutputTargets& targets,
               Listing& listing) {
    int status = 0;
    int scanned = 0;
    for (const auto* drive : drives.chosen) {
        auto tables = std::make_unique<ScanTables>();
        int driveStatus = 1;
        try {
            driveStatus = ScanDrive(drives, *drive, options, targets, *tables, listing);
        } catch (const std::bad_alloc&) {
            // The scan empties its tables before this comes up; the rest of
            // what a listing builds is freed here.
            *tables = ScanTables();
            listing.out.Flush();
            std::fprintf(stderr, "lorvex-scan: not enough memory to scan %s (drive %s)\n",
                         ondisk::Printable(drive->region.path).c_str(), drive->Name().c_str());
        }
        if (driveStatus != kLeftOut) {
            ++scanned;
            status = std::max(status, driveStatus);
        }
        if (listing.out.Failed()) {
            break;
        }
        // The next drive's scan needs the room; the last drive's tables are
        // left to the end of the process, which the kernel takes back at
        // once where freeing millions of small allocations one by one would
        // add a tenth to the run.
        if (drive != drives.chosen.back()) {
            tables.reset();
        } else {
            static_cast<void>(tables.release());
        }
    }
    return scanned == 0 ? 1 : status;
}

} // namespace lorvex::cli

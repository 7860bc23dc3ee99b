#include "ntfs/ScanStages.h"

#include "ntfs/NumberFormat.h"
#include "ntfs/RecordBlocks.h"

#include <exception>
#include <system_error>
#include <thread>

namespace lorvex::ntfs {

namespace {

void RunStages(NtfsVolume& volume, TFileIDs& fileIds, TClusterArray& clusters,
               const ScanObserver& observer) {
    const auto stopIfCancelled = [&] {
        if (observer.cancelled && observer.cancelled()) {
            throw ScanCancelled();
        }
    };
    const auto stage = [&](std::string_view title) {
        stopIfCancelled();
        if (observer.stageStarted) {
            observer.stageStarted(title);
        }
    };
    const auto progress = [&](double percent) {
        if (observer.progress) {
            observer.progress(percent);
        }
        stopIfCancelled();
    };
    const auto begin = [&] {
        if (observer.progress) {
            observer.progress(0);
        }
    };
    begin();
    stage(kStageEnumeratingFiles);
    volume.EnumerateFiles(fileIds, progress, observer.notice);
    stage(kStageParsingDirectories);
    // Linking the entries to their parents reads and writes nothing the
    // size, cluster and fragment stages touch, so with a core to spare it
    // runs beside them instead of before them.
    std::exception_ptr pathsFailed;
    std::jthread paths;
    if (ScanThreads() > 1) {
        try {
            paths = std::jthread([&fileIds, &pathsFailed] {
                try {
                    fileIds.BuildPaths();
                } catch (...) {
                    pathsFailed = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: the paths are built here.
        }
    }
    if (!paths.joinable()) {
        fileIds.BuildPaths();
    }
    stage(kStageCalculatingSizes);
    volume.CalculateDiskSizes(fileIds);
    begin();
    stage(kStageEnumeratingClusters);
    volume.EnumerateClusters(fileIds, clusters, progress);
    stage(kStageGettingFragments);
    GetFragments(fileIds, clusters);
    stage(kStagePaintingClusters);
    SortClustersByFileIndex(clusters);
    if (paths.joinable()) {
        paths.join();
    }
    if (pathsFailed) {
        std::rethrow_exception(pathsFailed);
    }
    if (observer.paint) {
        observer.paint();
    }
    stage(kStageSortingClusters);
    SortClustersByLCN(clusters);
}

} // namespace

void RunScanStages(NtfsVolume& volume, TFileIDs& fileIds, TClusterArray& clusters,
                   const ScanObserver& observer) {
    try {
        RunStages(volume, fileIds, clusters, observer);
    } catch (const std::bad_alloc&) {
        // Whatever the stages had built goes, so that the report of the
        // failure has room to be made.
        fileIds = TFileIDs();
        TClusterArray().swap(clusters);
        throw ScanOutOfMemory(volume.drive());
    }
}

std::string VolumeSummaryText(std::int64_t totalClusters, std::uint32_t bytesPerCluster,
                              std::string_view driveRoot) {
    const double clusters = static_cast<double>(totalClusters);
    const double gigabytes = clusters * bytesPerCluster / 1024 / 1024 / 1024;
    return FormatGrouped(clusters) + " clusters (" + FormatFixed2(gigabytes) + " GB) on drive " +
           std::string(driveRoot) + " ";
}

} // namespace lorvex::ntfs

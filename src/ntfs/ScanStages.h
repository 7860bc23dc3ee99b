#pragma once

#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"

#include <array>
#include <exception>
#include <functional>
#include <new>
#include <string>
#include <string_view>

namespace lorvex::ntfs {

// The stage titles, in the order a scan runs them.
inline constexpr std::string_view kStageEnumeratingFiles = "enumerating files";
inline constexpr std::string_view kStageParsingDirectories = "parsing directories";
inline constexpr std::string_view kStageCalculatingSizes = "calculating real file size";
inline constexpr std::string_view kStageEnumeratingClusters = "enumerating clusters";
inline constexpr std::string_view kStageGettingFragments = "getting fragments";
inline constexpr std::string_view kStagePaintingClusters = "painting clusters";
inline constexpr std::string_view kStageSortingClusters = "sorting clusters";

// What a scan tells whoever runs it, and how it is stopped. Every member may
// be left empty.
struct ScanObserver {
    // A stage begins; its title.
    std::function<void(std::string_view title)> stageStarted;
    // How far the running one of the two long stages (the file and the
    // cluster enumeration) is, from 0 to 100: 0 as each begins, then after
    // every record or file-table entry.
    std::function<void(double percent)> progress;
    // Asked as each stage begins, with every progress and after painting:
    // true stops the scan, which then throws ScanCancelled.
    std::function<bool()> cancelled;
    // The painting stage, with the map in FileIndex order.
    std::function<void()> paint;
    // A message of the reader's for the user; the scan goes on without
    // waiting for it to be read.
    Notice notice;
};

// Thrown by RunScanStages when the observer's `cancelled` says so. The
// tables are left as the stages had them; the caller discards them.
class ScanCancelled : public std::exception {
  public:
    [[nodiscard]] const char* what() const noexcept override { return "The scan was cancelled."; }
};

// A scan that ran out of memory: the volume is larger than this machine can
// hold the tables of. A std::bad_alloc, so that a caller catching that one
// catches this too, with a message fit to show.
class ScanOutOfMemory : public std::bad_alloc {
  public:
    // `drive` as "C:".
    explicit ScanOutOfMemory(std::string_view drive)
        : FMessage("Not enough memory to scan drive " + std::string(drive)) {}
    [[nodiscard]] const char* what() const noexcept override { return FMessage.c_str(); }

  private:
    std::string FMessage;
};

// Runs the scan stages on a new, empty file table: the table, its paths, disk
// sizes and run counts, the cluster map with the fragment flags, painting,
// and the map left in LCN order for the lookups. The window and the command
// line scanner both scan through this, so their tables are the same. When
// memory runs out, the tables are emptied (giving their memory back for the
// caller to report it) and ScanOutOfMemory is thrown.
void RunScanStages(NtfsVolume& volume, TFileIDs& fileIds, TClusterArray& clusters,
                   const ScanObserver& observer);

// "%.0n clusters (%.2f GB) on drive %s ", the summary of a measured volume.
std::string VolumeSummaryText(std::int64_t totalClusters, std::uint32_t bytesPerCluster,
                              std::string_view driveRoot);

} // namespace lorvex::ntfs

#pragma once

#include "ntfs/ClusterMap.h"
#include "ntfs/RecordReader.h"
#include "ntfs/VolumeGeometry.h"
#include "volume/VolumeApi.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lorvex::ntfs {

class TAttributes;
class TDataRuns;
class TFileIDs;
class NtfsVolume;
struct ScanObserver;
struct TFileInfo;

// A message of the reader's own for whoever runs it to show (the file system
// refusing the record query that finds the last record). The core knows no
// windows, and writes to no stream of its own: a caller that passes none
// already sees the failure in what it is answered.
using Notice = std::function<void(std::string_view text, std::string_view caption)>;

// How far a long piece of work is, from 0 to 100.
using ProgressReport = std::function<void(double percent)>;

// One NTFS volume, opened by drive letter: what it is (its information and
// its geometry, both read once when it is made), its cluster reads and its
// record readers. Read only; nothing is ever written to the volume.
class NtfsVolume {
  public:
    // Only the first character of `drive` is used.
    NtfsVolume(platform::VolumeApi& api, std::string_view drive);
    NtfsVolume(const NtfsVolume&) = delete;
    NtfsVolume& operator=(const NtfsVolume&) = delete;
    ~NtfsVolume() = default;

    // "C:", or the volume GUID path of a drive without a letter.
    [[nodiscard]] const std::string& drive() const { return drive_; }
    // The device path the readers open; empty when the drive has none.
    [[nodiscard]] const std::string& devicePath() const { return devicePath_; }
    // The file system's answer about the volume: label, file system name,
    // serial number and flags (as numbers: the texts are the formatters').
    [[nodiscard]] const platform::VolumeInformation& information() const { return information_; }
    // The zero geometry unless the volume is NTFS and could be measured.
    [[nodiscard]] const VolumeGeometry& geometry() const { return geometry_; }
    // The clusters of the layer beneath the file system (BitLocker's own),
    // owned by the system whatever the file table says: in LCN order.
    [[nodiscard]] const std::vector<TReservedRun>& reserved() const { return reserved_; }

    // A record reader of the volume's own; it closes its handle when it goes.
    [[nodiscard]] RecordReader OpenRecordReader() const;

    // Reads cluster `lcn` into `buffer`, which must hold a cluster; a
    // smaller buffer, a negative cluster or an offset past 64 bits leaves it
    // untouched.
    void ReadCluster(std::span<std::byte> buffer, std::int64_t lcn);

    // The estimate of the last record number the file enumeration starts
    // from, and the highest record number in use (0 on a volume that is not
    // usable, -1 when the query fails).
    [[nodiscard]] std::int64_t EstimateLastRecord() const;
    std::int64_t GetLastRecordNumber(const Notice& notice = {});

    // The cluster analysis's reads (ClusterMap.cpp). EnumerateClusters
    // empties `clusters` first, even when the volume cannot be opened, so no
    // map outlives the file table it indexes; it reads through a
    // RecordReader of its own and gives `progress` (may be empty) the
    // percentage done after every entry.
    void EnumerateClusters(TFileIDs& fileIds, TClusterArray& clusters,
                           const ProgressReport& progress);
    // The reserved run holding `lcn`, or null.
    [[nodiscard]] const TReservedRun* ReservedAt(std::int64_t lcn) const;
    // UTF-8: the owner's Path (or Name) + "::" + the attribute type name, or
    // "MFT Zone" / "FREE" (zone bounds inclusive) for a cluster that no
    // extent holds, or whose owner is not in `fileIds`. Needs the map in LCN
    // order.
    void DescribeCluster(const TClusterArray& clusters, const TFileIDs& fileIds, std::string& text,
                         bool fullPath, std::int64_t lcn) const;

    // The file table (FileEnumeration.cpp), each through a RecordReader of
    // its own. EnumerateFiles gives `progress` (may be empty) the percentage
    // done after every record, or every few milliseconds when it reads the
    // volume layer's record blocks, and `notice` (may be empty) the message
    // of a refused record query.
    void EnumerateFiles(TFileIDs& fileIds, const ProgressReport& progress,
                        const Notice& notice = {});
    void CalculateDiskSizes(TFileIDs& fileIds);

  private:
    void ReadVolumeInformation();
    void ReadVolumeData();
    // True when the geometry is known and names this as an NTFS volume.
    [[nodiscard]] bool IsUsable() const;
    // The file-record query through a reader of its own, the error shown
    // when it fails.
    std::optional<RecordView> QueryOnce(std::int64_t recordNo, const Notice& notice);

    platform::VolumeApi& api_;
    std::string drive_;
    std::string devicePath_;
    platform::VolumeInformation information_;
    VolumeGeometry geometry_;
    std::vector<TReservedRun> reserved_;
};

} // namespace lorvex::ntfs

#pragma once

#include "platform/ContainerImage.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lorvex::platform {

// What a source holds: one region per partition of a partition table, or the
// whole source when it has none. Each region is one drive.
struct SourceRegion {
    std::string path;          // the source file or device
    std::uint64_t offset = 0;  // bytes from the start of the source
    std::uint64_t length = 0;  // bytes, cut at the end of the source
    int partition = 0;         // 1-based partition number; 0 for a whole source
    std::string partitionUuid; // GPT partition GUID, when there is one
    std::string fileSystem;    // "NTFS", "FAT12", "FAT16", "FAT32", "exFAT" or empty
    std::string label;         // as the file system's own probe found it
    std::uint32_t serial = 0;  // of FAT and exFAT volumes
    bool blockDevice = false;
    // For a disk held in a container: its format ("EnCase", "VHD", "VHDX",
    // "VMDK", "qcow2") and every file it is read from (segments, extents);
    // offsets and lengths are then on the disk it holds.
    std::string container;
    std::vector<std::string> containerFiles;
    // The container as the probe opened it, for the drive's reads to go on
    // with while the file is as it was then (its size and modification time
    // below): opening an EnCase set reads all its chunk tables, which on a
    // large set takes as long as a tenth of the scan.
    std::shared_ptr<const ContainerImage> image;
    std::int64_t imageFileSize = -1;
    std::int64_t imageMtimeNs = 0;
};

// Reads the partition table of `path` (MBR or GPT) and recognises the file
// system of each region. A container (see ContainerImage) is looked into: its
// table and file systems are those of the disk it holds. An empty result with
// `error` set when the source cannot be opened; a source without a table is
// one region. `options` say how a container is opened.
std::vector<SourceRegion> ProbeSource(const std::string& path, std::string& error,
                                      const ContainerOptions& options = {});

// The block-device partitions and unpartitioned disks of this machine that
// carry an NTFS boot sector and can be opened for reading. A device that does
// not answer (opened, sized and its first sectors read) within `limit` is
// skipped, and named in `problems`.
std::vector<SourceRegion> ProbeMachine(std::vector<std::string>& problems,
                                       std::chrono::milliseconds limit = std::chrono::seconds(2));

// How one device is looked at: its whole-device region, file system filled in
// when recognised; the file system left empty when it cannot be read.
using DeviceProbe = std::function<SourceRegion(const std::string& path)>;
SourceRegion ProbeDevice(const std::string& path);

// Runs `probe` on every device at once and keeps the NTFS ones, in the order
// given; a device whose probe has not returned within `limit` is left behind
// (a hung read cannot be taken back) and named in `problems`.
std::vector<SourceRegion> ProbeDevices(const std::vector<std::string>& paths,
                                       const DeviceProbe& probe, std::chrono::milliseconds limit,
                                       std::vector<std::string>& problems);

} // namespace lorvex::platform

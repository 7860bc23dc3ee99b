#pragma once

#include <cstdint>
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
};

// Reads the partition table of `path` (MBR or GPT) and recognises the file
// system of each region. An empty result with `error` set when the source
// cannot be opened; a source without a table is one region.
std::vector<SourceRegion> ProbeSource(const std::string& path, std::string& error);

// The block-device partitions and unpartitioned disks of this machine that
// carry an NTFS boot sector and can be opened for reading.
std::vector<SourceRegion> ProbeMachine();

} // namespace lorvex::platform

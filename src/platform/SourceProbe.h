#pragma once

#include "platform/ContainerImage.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lorvex::platform {

// How the user asks a source to be read.
enum class ReadAs {
    Auto,      // through the container its content names when that opens;
               // otherwise as it is, when it reads as a volume or a disk
    Raw,       // as it is, whatever container signature it carries
    Container, // through its container only: refused when it is none
};

// How a source's bytes were taken, said the same way by every front end.
// Evidence can carry a container's signature it is not (boot code that
// begins as an EnCase or VMDK header would, a VHD footer on a raw volume's
// last sector): when the bytes allow two readings, both are named.
struct SourceReading {
    // "raw volume image", "raw disk image", "block device", or the
    // container: "VHD container (1 file)".
    std::string taken;
    // The other reading the bytes allow, when they allow one:
    // "raw NTFS volume image", "raw disk image with an NTFS partition".
    std::string other;
    // What was not followed, and why: "it carries an EnCase signature but
    // does not open as one (...)", "it also carries a VHD or VHDX signature".
    std::string passedOver;
    bool asked = false; // the user chose this reading (ReadAs Raw or Container)

    // One line for people: "VHD container (1 file), though the file also
    // reads as a raw NTFS volume image".
    [[nodiscard]] std::string Text() const;
};

// The partitions past this many in a table are listed as drives, but their
// file systems are not looked for when the source is opened (a standard GPT
// holds 128 entries; a table of thousands is made to exhaust whoever probes
// each). Opening such a drive still reads its boot sector, and finds NTFS.
inline constexpr std::size_t kMostProbedPartitions = 128;

// What a source holds: one region per partition of a partition table, or the
// whole source when it has none. Each region is one drive.
struct SourceRegion {
    std::string path;          // the source file or device
    std::uint64_t offset = 0;  // bytes from the start of the source
    std::uint64_t length = 0;  // bytes, cut at the end of the source
    int partition = 0;         // 1-based partition number; 0 for a whole source
    std::string partitionUuid; // GPT partition GUID, when there is one
    std::string fileSystem;    // "NTFS", "FAT12", "FAT16", "FAT32", "exFAT", "BitLocker" or empty
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
    // How the source was read: the same for every region of it.
    SourceReading reading;
    // False past kMostProbedPartitions: fileSystem and label were not looked for.
    bool probed = true;
};

// Reads the partition table of `path` (MBR or GPT) and recognises the file
// system of each region (of the first kMostProbedPartitions). A container
// (see ContainerImage) is looked into, as `as` says, and opened as `options`
// say: its table and file systems are those of the disk it holds. An empty
// result with `error` set when the source cannot be opened, or not as asked;
// a source without a table is one region.
std::vector<SourceRegion> ProbeSource(const std::string& path, std::string& error,
                                      ReadAs as = ReadAs::Auto,
                                      const ContainerOptions& options = {});

// The block-device partitions and unpartitioned disks of this machine that
// carry an NTFS boot sector or a BitLocker volume and can be opened for
// reading. A device that does
// not answer (opened, sized and its first sectors read) within `limit` is
// skipped, and named in `problems`.
std::vector<SourceRegion> ProbeMachine(std::vector<std::string>& problems,
                                       std::chrono::milliseconds limit = std::chrono::seconds(2));

// How one device is looked at: its whole-device region, file system filled in
// when recognised; the file system left empty when it cannot be read.
using DeviceProbe = std::function<SourceRegion(const std::string& path)>;
SourceRegion ProbeDevice(const std::string& path);

// Runs `probe` on every device at once and keeps the NTFS and BitLocker ones, in the order
// given; a device whose probe has not returned within `limit` is left behind
// (a hung read cannot be taken back) and named in `problems`.
std::vector<SourceRegion> ProbeDevices(const std::vector<std::string>& paths,
                                       const DeviceProbe& probe, std::chrono::milliseconds limit,
                                       std::vector<std::string>& problems);

} // namespace lorvex::platform

#include "platform/SourceProbe.h"

#include "platform/SourceBytes.h"

#include <blkid/blkid.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace lorvex::platform {

namespace {

struct ProbeDeleter {
    void operator()(blkid_probe p) const { blkid_free_probe(p); }
};
using Probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeDeleter>;

std::string Lookup(blkid_probe probe, const char* name) {
    const char* value = nullptr;
    if (blkid_probe_lookup_value(probe, name, &value, nullptr) == 0 && value != nullptr) {
        return value;
    }
    return {};
}

// FAT and exFAT serials print as "1A2B-3C4D".
std::uint32_t ParseSerial(const std::string& uuid) {
    std::uint32_t v = 0;
    for (const char c : uuid) {
        if (c == '-') {
            continue;
        }
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : std::isxdigit(static_cast<unsigned char>(c))
                              ? std::toupper(static_cast<unsigned char>(c)) - 'A' + 10
                              : -1;
        if (digit < 0) {
            return 0;
        }
        v = (v << 4) | static_cast<std::uint32_t>(digit);
    }
    return v;
}

// Whether the region's boot sector names itself NTFS. The superblock probes
// also check its geometry and say nothing when that is damaged; such a
// volume is still NTFS, one that cannot be read, and must be reported as
// damaged rather than as no file system at all.
bool SaysNtfs(int fd, const SourceRegion& region) {
    constexpr std::size_t kOemId = 3;
    constexpr char kNtfs[] = "NTFS    ";
    char oem[sizeof(kNtfs) - 1] = {};
    return region.length >= kOemId + sizeof(oem) &&
           pread(fd, oem, sizeof(oem), static_cast<off_t>(region.offset + kOemId)) ==
               static_cast<ssize_t>(sizeof(oem)) &&
           std::memcmp(oem, kNtfs, sizeof(oem)) == 0;
}

// Fills in the file system of a region from the superblock probes.
void RecogniseFileSystem(int fd, SourceRegion& region) {
    Probe probe(blkid_new_probe());
    if (!probe || blkid_probe_set_device(probe.get(), fd, static_cast<blkid_loff_t>(region.offset),
                                         static_cast<blkid_loff_t>(region.length)) != 0) {
        return;
    }
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL |
                                                       BLKID_SUBLKS_UUID | BLKID_SUBLKS_VERSION);
    blkid_probe_enable_partitions(probe.get(), 0);
    if (blkid_do_safeprobe(probe.get()) != 0) {
        if (SaysNtfs(fd, region)) {
            region.fileSystem = "NTFS";
        }
        return;
    }
    const std::string type = Lookup(probe.get(), "TYPE");
    if (type == "ntfs") {
        region.fileSystem = "NTFS";
    } else if (type == "vfat") {
        const std::string version = Lookup(probe.get(), "VERSION");
        region.fileSystem = version.empty() ? "FAT" : version;
    } else if (type == "exfat") {
        region.fileSystem = "exFAT";
    } else {
        return;
    }
    region.label = Lookup(probe.get(), "LABEL");
    if (region.fileSystem != "NTFS") {
        region.serial = ParseSerial(Lookup(probe.get(), "UUID"));
    }
}

// Copies [offset, offset + length) of the decoded disk into the same place
// of `fd`. What cannot be decoded is left out (zeros, to blkid alone), as a
// bad sector of a raw disk leaves its probe to make do with the rest.
void CopyDecoded(const ContainerImage& image, int fd, std::uint64_t offset, std::uint64_t length) {
    constexpr std::size_t kPiece = std::size_t{64} << 10;
    std::vector<std::byte> buffer(kPiece);
    for (std::uint64_t done = 0; done < length; done += kPiece) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, length - done));
        const std::size_t got = image.Read(offset + done, std::span(buffer).first(n));
        if (got > 0 && pwrite(fd, buffer.data(), got, static_cast<off_t>(offset + done)) !=
                           static_cast<ssize_t>(got)) {
            return;
        }
    }
}

// blkid reads a descriptor, and a container's bytes must be decoded first.
// The disk is laid out in a sparse memory file of its decoded size, holding
// only what the probes read: the first MiBs (the MBR, the primary GPT and its
// entries), the last MiB (the backup GPT header a damaged primary falls back
// to), and later the start of each partition (the boot sectors). The rest
// reads as zeros to blkid alone, and costs no memory; the volumes themselves
// are read through the container. -1, with the reason in `error`, when the
// first sector of the disk cannot be decoded.
int DecodedProbeFile(const ContainerImage& image, std::string& error) {
    constexpr std::uint64_t kHead = std::uint64_t{4} << 20;
    constexpr std::uint64_t kTail = std::uint64_t{1} << 20;
    const std::uint64_t size = image.size();
    const std::string room =
        image.format() + " image: cannot make room to look into the disk it holds";
    // A size past what a file offset holds can only be a damaged or forged
    // header: no disk is that large.
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        error = image.format() + " image: it says the disk it holds is " + std::to_string(size) +
                " bytes, larger than any disk can be";
        return -1;
    }
    const int fd = memfd_create("lorvex-probe", MFD_CLOEXEC);
    if (fd < 0) {
        error = room + ": " + std::strerror(errno);
        return -1;
    }
    const std::uint64_t head = std::min(kHead, size);
    const std::uint64_t tail = std::min(kTail, size - head);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        error = room + " (" + std::to_string(size) + " bytes): " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    // Without its first sector a disk has neither a partition table nor a
    // boot sector to show: that is the container's damage, and said so.
    std::array<std::byte, 512> first{};
    const auto need = static_cast<std::size_t>(std::min<std::uint64_t>(first.size(), size));
    if (image.Read(0, std::span(first).first(need)) != need) {
        error = image.format() +
                " image: cannot read the start of the disk it holds: " + image.lastError();
        ::close(fd);
        return -1;
    }
    CopyDecoded(image, fd, 0, head);
    CopyDecoded(image, fd, size - tail, tail);
    return fd;
}

} // namespace

std::vector<SourceRegion> ProbeSource(const std::string& path, std::string& error,
                                      const ContainerOptions& options) {
    std::vector<SourceRegion> regions;
    int err = 0;
    const int fd = OpenSourceReadOnly(path, err, error);
    if (fd < 0) {
        return regions;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    bool ok = false;
    std::uint64_t total = SourceSize(fd, ok);
    struct stat st {};
    fstat(fd, &st);
    if (!ok) {
        error = "not a file or block device";
        return regions;
    }
    const bool device = S_ISBLK(st.st_mode);

    // A container is probed through a decoded copy of the parts blkid reads.
    std::shared_ptr<const ContainerImage> image = ContainerImage::Open(path, error, options);
    if (!image && !error.empty()) {
        return regions;
    }
    int probeFd = fd;
    struct ProbeCloser {
        int fd = -1;
        ~ProbeCloser() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    } probeCloser;
    if (image) {
        probeFd = probeCloser.fd = DecodedProbeFile(*image, error);
        if (probeFd < 0) {
            return regions;
        }
        total = image->size();
    }

    Probe probe(blkid_new_probe());
    if (probe && blkid_probe_set_device(probe.get(), probeFd, 0, 0) == 0) {
        blkid_probe_enable_superblocks(probe.get(), 0);
        blkid_probe_enable_partitions(probe.get(), 1);
        blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
        blkid_partlist list = blkid_probe_get_partitions(probe.get());
        const int count = list != nullptr ? blkid_partlist_numof_partitions(list) : 0;
        for (int i = 0; i < count; ++i) {
            blkid_partition part = blkid_partlist_get_partition(list, i);
            // A DOS extended partition only contains the logical ones, which
            // the list names on their own.
            if (part == nullptr || blkid_partition_is_extended(part) != 0) {
                continue;
            }
            const auto start = blkid_partition_get_start(part);
            const auto size = blkid_partition_get_size(part);
            if (start < 0 || size <= 0) {
                continue;
            }
            SourceRegion r;
            r.path = path;
            r.blockDevice = device;
            r.partition = blkid_partition_get_partno(part);
            // Partition tables count 512-byte sectors whatever the device's.
            const std::uint64_t offset = static_cast<std::uint64_t>(start) * 512U;
            const std::uint64_t length = static_cast<std::uint64_t>(size) * 512U;
            // An entry that points past the end of the disk still becomes a
            // drive, but reads stop where the source stops.
            r.offset = std::min(offset, total);
            r.length = std::min(length, total - r.offset);
            if (const char* uuid = blkid_partition_get_uuid(part)) {
                r.partitionUuid = uuid;
            }
            regions.push_back(std::move(r));
        }
    }
    if (regions.empty()) {
        SourceRegion r;
        r.path = path;
        r.blockDevice = device;
        r.length = total;
        regions.push_back(std::move(r));
    }
    constexpr std::uint64_t kBootArea = std::uint64_t{1} << 20;
    for (auto& r : regions) {
        if (image) {
            r.container = image->format();
            r.containerFiles = image->files();
            r.image = image;
            r.imageFileSize = static_cast<std::int64_t>(st.st_size);
            r.imageMtimeNs =
                static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
            // A partition that does not decode is still a drive; its reads
            // will fail where the damage is.
            CopyDecoded(*image, probeFd, r.offset, std::min(kBootArea, r.length));
        }
        if (r.length > 0) {
            RecogniseFileSystem(probeFd, r);
        }
    }
    return regions;
}

SourceRegion ProbeDevice(const std::string& path) {
    SourceRegion r;
    r.path = path;
    r.blockDevice = true;
    int err = 0;
    std::string why;
    const int fd = OpenSourceReadOnly(path, err, why);
    if (fd < 0) {
        return r;
    }
    bool ok = false;
    r.length = SourceSize(fd, ok);
    if (ok && r.length > 0) {
        RecogniseFileSystem(fd, r);
    }
    ::close(fd);
    return r;
}

std::vector<SourceRegion> ProbeDevices(const std::vector<std::string>& paths,
                                       const DeviceProbe& probe, std::chrono::milliseconds limit,
                                       std::vector<std::string>& problems) {
    // What the probes hand back. Shared with every probe thread: a thread
    // stuck in a read that never returns outlives this call, and must still
    // find somewhere valid to write should it ever return.
    struct Results {
        std::mutex mutex;
        std::condition_variable done;
        std::vector<std::optional<SourceRegion>> regions;
        std::size_t finished = 0;
    };
    auto results = std::make_shared<Results>();
    results->regions.resize(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        std::thread([results, i, probe, path = paths[i]] {
            SourceRegion r = probe(path);
            const std::lock_guard lock(results->mutex);
            results->regions[i] = std::move(r);
            ++results->finished;
            results->done.notify_all();
        }).detach();
    }
    std::vector<SourceRegion> found;
    std::unique_lock lock(results->mutex);
    results->done.wait_for(lock, limit, [&] { return results->finished == paths.size(); });
    for (std::size_t i = 0; i < paths.size(); ++i) {
        auto& r = results->regions[i];
        if (!r) {
            problems.push_back(paths[i] + ": did not answer within " +
                               std::to_string(limit.count()) + " ms; skipped");
        } else if (r->fileSystem == "NTFS") {
            found.push_back(std::move(*r));
        }
    }
    return found;
}

std::vector<SourceRegion> ProbeMachine(std::vector<std::string>& problems,
                                       std::chrono::milliseconds limit) {
    DIR* dir = opendir("/sys/class/block");
    if (dir == nullptr) {
        return {};
    }
    std::vector<std::string> paths;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        // RAM disks never hold a volume worth showing; unattached loop
        // devices have no size and drop out in the probe.
        if (name == "." || name == ".." || name.starts_with("ram") || name.starts_with("zram")) {
            continue;
        }
        paths.push_back("/dev/" + name);
    }
    closedir(dir);
    std::sort(paths.begin(), paths.end());
    // A device can hang in open or in its first read (a dead network disk, a
    // drive that spins up forever, a stalled FUSE-backed loop device); the
    // list of the machine's volumes must not wait for it.
    return ProbeDevices(paths, ProbeDevice, limit, problems);
}

} // namespace lorvex::platform

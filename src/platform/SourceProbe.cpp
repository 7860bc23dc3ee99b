#include "platform/SourceProbe.h"

#include "ondisk/BootSector.h"
#include "ondisk/FveMetadata.h"
#include "ondisk/Printable.h"
#include "platform/ContainerFormats.h"
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

using Sector = std::array<std::byte, ondisk::boot::kSize>;

// The sector at `offset` of `fd`; false when it cannot be read whole.
bool ReadSector(int fd, std::uint64_t offset, Sector& sector) {
    return pread(fd, sector.data(), sector.size(), static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(sector.size());
}

// Whether the region's boot sector names itself NTFS. The superblock probes
// also check its geometry and say nothing when that is damaged; such a
// volume is still NTFS, one that cannot be read, and must be reported as
// damaged rather than as no file system at all.
bool SaysNtfs(int fd, const SourceRegion& region) {
    Sector sector{};
    return region.length >= sector.size() && ReadSector(fd, region.offset, sector) &&
           ondisk::SaysNtfs(sector);
}

// Whether the region's first sector is a BitLocker volume header. blkid's
// probe also looks where the header points, and says nothing when that is
// damaged; such a volume is still BitLocker's, whose metadata cannot be read.
bool SaysBitLocker(int fd, const SourceRegion& region) {
    static_assert(ondisk::fve::header::kSize == std::tuple_size_v<Sector>);
    Sector sector{};
    return region.length >= sector.size() && ReadSector(fd, region.offset, sector) &&
           ondisk::ParseFveVolumeHeader(sector).has_value();
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
        } else if (SaysBitLocker(fd, region)) {
            region.fileSystem = "BitLocker";
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
    } else if (type == "BitLocker") {
        // Encrypted: what it holds is known only once it is unlocked.
        region.fileSystem = "BitLocker";
        return;
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

// The volume kinds a file read as it is can be an image of, known by the
// boot sector at their start. They decide whether the raw reading of a file
// that carries a container's signature is worth naming beside the
// container's, or worth taking when the container does not open. A kind
// more is an entry more.
struct VolumeKind {
    const char* name;
    bool (*recognise)(std::span<const std::byte> sector, std::uint64_t length);
};
constexpr VolumeKind kVolumeKinds[] = {
    {"NTFS",
     [](std::span<const std::byte> sector, std::uint64_t length) {
         return ondisk::ParseNtfsBootSector(sector, length).has_value();
     }},
};

const VolumeKind* VolumeAt(int fd, std::uint64_t offset, std::uint64_t length) {
    Sector sector{};
    if (length < sector.size() || !ReadSector(fd, offset, sector)) {
        return nullptr;
    }
    for (const VolumeKind& kind : kVolumeKinds) {
        if (kind.recognise(sector, length)) {
            return &kind;
        }
    }
    return nullptr;
}

// The partitions of the table on `fd` as regions of `path`, their file
// systems not yet looked for; none when it holds no table.
std::vector<SourceRegion> ListPartitions(int fd, const std::string& path, bool device,
                                         std::uint64_t total) {
    std::vector<SourceRegion> regions;
    Probe probe(blkid_new_probe());
    if (!probe || blkid_probe_set_device(probe.get(), fd, 0, 0) != 0) {
        return regions;
    }
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
    return regions;
}

// What a file holds read as it is, when that is a volume of a known kind or
// a disk with one in a partition: "raw NTFS volume image", "raw disk image
// with NTFS in partition 2". Empty otherwise.
std::string RawContent(int fd, std::uint64_t total, const std::vector<SourceRegion>& partitions) {
    if (const VolumeKind* kind = VolumeAt(fd, 0, total)) {
        return std::string("raw ") + kind->name + " volume image";
    }
    const std::size_t n = std::min(partitions.size(), kMostProbedPartitions);
    for (std::size_t i = 0; i < n; ++i) {
        const SourceRegion& p = partitions[i];
        if (const VolumeKind* kind = VolumeAt(fd, p.offset, p.length)) {
            return std::string("raw disk image with ") + kind->name + " in partition " +
                   std::to_string(p.partition);
        }
    }
    return {};
}

// Whether the container's disk is the file's own bytes from its start, with
// at most a footer sector after them (a fixed VHD is laid out so): the two
// readings are then one.
bool ReadsAsItself(int fd, std::uint64_t fileSize, const ContainerImage& image) {
    constexpr std::uint64_t kFooter = 512;
    constexpr std::uint64_t kCompared = std::uint64_t{1} << 20;
    if (image.size() > fileSize || fileSize - image.size() > kFooter) {
        return false;
    }
    const auto n = static_cast<std::size_t>(std::min(kCompared, image.size()));
    std::vector<std::byte> decoded(n);
    std::vector<std::byte> raw(n);
    return image.Read(0, decoded) == n && pread(fd, raw.data(), n, 0) == static_cast<ssize_t>(n) &&
           decoded == raw;
}

std::string SignatureName(ContainerFormat format) {
    switch (format) {
    case ContainerFormat::EnCase:
        return "an EnCase";
    case ContainerFormat::Vhd:
        return "a VHD or VHDX";
    case ContainerFormat::Vmdk:
        return "a VMDK";
    case ContainerFormat::Qcow:
        return "a qcow2";
    case ContainerFormat::None:
        break;
    }
    return "a container";
}

// Gives back the memory of a decoded copy once its probe has read it.
void Release(int fd, std::uint64_t offset, std::uint64_t length) {
    static_cast<void>(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                static_cast<off_t>(offset), static_cast<off_t>(length)));
}

// Which reading of the file at `path` is taken: a container's signature is a
// claim the bytes make, and evidence can make it falsely. A file that carries
// one and reads as a volume or a disk as it is allows both readings, and is
// said to. The container, when one is read, opens into `image`. False, with
// `error`, when the reading asked for cannot be had.
bool ChooseReading(int fd, const std::string& path, std::uint64_t total,
                   const std::vector<SourceRegion>& partitions, ReadAs as,
                   const ContainerOptions& options, SourceReading& reading,
                   std::shared_ptr<const ContainerImage>& image, std::string& error) {
    reading.asked = as != ReadAs::Auto;
    const ContainerFormat signature = RecogniseContainer(path);
    if (signature == ContainerFormat::None) {
        if (as == ReadAs::Container) {
            error = "not a container: it carries no EnCase, VHD, VHDX, VMDK or qcow2 signature";
            return false;
        }
    } else if (as == ReadAs::Raw) {
        reading.passedOver = "it also carries " + SignatureName(signature) + " signature";
    } else {
        const std::string raw = RawContent(fd, total, partitions);
        std::string why;
        image = ContainerImage::Open(path, why, options);
        if (!image && !why.empty()) {
            if (as == ReadAs::Container || raw.empty()) {
                error = why;
                return false;
            }
            // The reason may quote the container's own bytes (a file name it
            // names), and is shown wherever the reading is.
            reading.passedOver = "it carries " + SignatureName(signature) +
                                 " signature but does not open as one (" + ondisk::Printable(why) +
                                 ")";
        } else if (image && !raw.empty() && !ReadsAsItself(fd, total, *image)) {
            reading.other = raw;
        }
    }
    return true;
}

// Gives every region the reading taken (and the container's facts) and
// recognises the file systems of the first kMostProbedPartitions, through
// `probeFd`: the source itself, or the decoded copy of a container's.
void ProbeRegions(std::vector<SourceRegion>& regions, const SourceReading& reading,
                  const std::shared_ptr<const ContainerImage>& image, const struct stat& st,
                  int probeFd) {
    constexpr std::uint64_t kBootArea = std::uint64_t{1} << 20;
    for (std::size_t i = 0; i < regions.size(); ++i) {
        SourceRegion& r = regions[i];
        r.reading = reading;
        if (image) {
            r.container = image->format();
            r.containerFiles = image->files();
            r.image = image;
            r.imageFileSize = static_cast<std::int64_t>(st.st_size);
            r.imageMtimeNs =
                static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        }
        if (i >= kMostProbedPartitions) {
            r.probed = false;
            continue;
        }
        const std::uint64_t area = std::min(kBootArea, r.length);
        if (image) {
            // A partition that does not decode is still a drive; its reads
            // will fail where the damage is.
            CopyDecoded(*image, probeFd, r.offset, area);
        }
        if (r.length > 0) {
            RecogniseFileSystem(probeFd, r);
        }
        if (image) {
            Release(probeFd, r.offset, area);
        }
    }
}

} // namespace

std::string SourceReading::Text() const {
    std::string text = taken;
    if (asked) {
        text += ", as asked";
    }
    if (!other.empty()) {
        text += ", though the file also reads as a " + other;
    }
    if (!passedOver.empty()) {
        text += (other.empty() ? ": " : "; ") + passedOver;
    }
    return text;
}

std::vector<SourceRegion> ProbeSource(const std::string& path, std::string& error, ReadAs as,
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

    SourceReading reading;
    std::vector<SourceRegion> partitions = ListPartitions(fd, path, device, total);
    std::shared_ptr<const ContainerImage> image;
    if (!ChooseReading(fd, path, total, partitions, as, options, reading, image, error)) {
        return regions;
    }

    // A container is probed through a decoded copy of the parts blkid reads.
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
        partitions = ListPartitions(probeFd, path, device, total);
        const std::size_t files = image->files().size();
        reading.taken = image->format() + " container (" + std::to_string(files) +
                        (files == 1 ? " file)" : " files)");
    } else {
        reading.taken = device               ? "block device"
                        : partitions.empty() ? "raw volume image"
                                             : "raw disk image";
    }
    regions = std::move(partitions);
    if (regions.empty()) {
        SourceRegion r;
        r.path = path;
        r.blockDevice = device;
        r.length = total;
        regions.push_back(std::move(r));
    }
    ProbeRegions(regions, reading, image, st, probeFd);
    return regions;
}

SourceRegion ProbeDevice(const std::string& path) {
    SourceRegion r;
    r.path = path;
    r.blockDevice = true;
    r.reading.taken = "block device";
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
        } else if (r->fileSystem == "NTFS" || r->fileSystem == "BitLocker") {
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

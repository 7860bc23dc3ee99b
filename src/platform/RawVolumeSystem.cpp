#include "platform/RawVolumeSystem.h"

#include "ondisk/BootSector.h"
#include "ondisk/ByteReader.h"
#include "ondisk/Printable.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace lorvex::platform {

namespace {

using ondisk::StoreLE;

constexpr std::uint32_t kNtfsFlags =
    fsflags::kCaseSensitiveSearch | fsflags::kCasePreservedNames | fsflags::kUnicodeOnDisk |
    fsflags::kPersistentAcls | fsflags::kFileCompression | fsflags::kVolumeQuotas |
    fsflags::kSupportsSparseFiles | fsflags::kSupportsReparsePoints | fsflags::kSupportsObjectIds |
    fsflags::kSupportsEncryption | fsflags::kNamedStreams |
    // Every volume is read-only to us, and saying so is the truth a caller
    // can act on.
    fsflags::kReadOnlyVolume;
constexpr std::uint32_t kFatFlags =
    fsflags::kCasePreservedNames | fsflags::kUnicodeOnDisk | fsflags::kReadOnlyVolume;
constexpr std::uint32_t kMaxComponentLength = 255;

std::uint64_t Fnv1a(std::string_view text, std::uint64_t seed) {
    std::uint64_t h = seed;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001B3ULL;
    }
    return h;
}

// A volume GUID derived from where the volume lives, so the same source gives
// the same name every run.
std::string DerivedGuid(std::string_view key) {
    const std::uint64_t a = Fnv1a(key, 0xCBF29CE484222325ULL);
    const std::uint64_t b = Fnv1a(key, 0x84222325CBF29CE4ULL ^ a);
    char text[40];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%04x-%012llx}",
                  static_cast<unsigned>(a >> 32), static_cast<unsigned>((a >> 16) & 0xFFFF),
                  static_cast<unsigned>((a & 0x0FFF) | 0x5000),
                  static_cast<unsigned>(((b >> 48) & 0x3FFF) | 0x8000),
                  static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
    return text;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (auto& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string CanonicalPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) != nullptr) {
        return resolved;
    }
    return path;
}

} // namespace

RawVolumeSystem::RawVolumeSystem(const std::vector<std::string>& sources, ReadAs as,
                                 const ContainerOptions& options)
    : options_(options) {
    for (const auto& source : sources) {
        std::string problem;
        if (!AddSource(source, problem, as)) {
            problems_.push_back(ondisk::Printable(source) + ": " + problem);
        }
    }
}

bool RawVolumeSystem::AddSource(const std::string& source, std::string& problem, ReadAs as) {
    return AddSource(source, problem, as, options_);
}

bool RawVolumeSystem::AddSource(const std::string& source, std::string& problem, ReadAs as,
                                const ContainerOptions& options) {
    // A source is evidence whether or not it opens, or opens only read
    // another way, and so is every file its set or chain names: an
    // incomplete EnCase set's other segments, a refused VMDK's extents, a
    // differencing disk's parent.
    for (auto& file : ContainerImage::NamedFiles(source)) {
        named_.push_back(std::move(file));
    }
    auto regions = ProbeSource(source, problem, as, options);
    if (regions.empty()) {
        // The reason may quote the source's own bytes: a file name a
        // container names, a library's message about them.
        problem = ondisk::Printable(problem);
        return false;
    }
    AddRegions(std::move(regions));
    return true;
}

std::unique_ptr<RawVolumeSystem> RawVolumeSystem::ForMachine() {
    std::unique_ptr<RawVolumeSystem> system(new RawVolumeSystem());
    system->AddRegions(ProbeMachine(system->problems_));
    for (std::string& problem : system->problems_) {
        problem = ondisk::Printable(problem);
    }
    return system;
}

void RawVolumeSystem::AddRegions(std::vector<SourceRegion> regions) {
    for (auto& region : regions) {
        Drive d;
        // C: to Z:, the first free one (a closed drive's is free again);
        // the drives past them keep only their volume names.
        for (char letter = 'C'; letter <= 'Z' && d.letter == 0; ++letter) {
            if (std::none_of(drives_.begin(), drives_.end(),
                             [letter](const Drive& other) { return other.letter == letter; })) {
                d.letter = letter;
            }
        }
        // GPT partitions carry a GUID of their own; an MBR only has a disk
        // signature with a partition number, which is no GUID.
        if (region.partitionUuid.size() == 36) {
            d.volumeGuid = "{" + Lower(region.partitionUuid) + "}";
        } else {
            d.volumeGuid =
                DerivedGuid(CanonicalPath(region.path) + "@" + std::to_string(region.offset));
        }
        // The same source named twice is two drives; keep their names apart.
        for (int n = 1; byGuid_.contains(d.volumeGuid); ++n) {
            d.volumeGuid = DerivedGuid(d.volumeGuid + "#" + std::to_string(n));
        }
        byGuid_.emplace(d.volumeGuid, drives_.size());
        d.region = std::move(region);
        drives_.push_back(std::move(d));
        caches_.emplace_back();
        unlocked_.emplace_back();
    }
}

bool RawVolumeSystem::CloseDrive(std::size_t drive) {
    if (drive >= drives_.size()) {
        return false;
    }
    // Still evidence once closed: no report may be written over it.
    Protect(drives_[drive].region.path);
    for (const auto& file : drives_[drive].region.containerFiles) {
        Protect(file);
    }
    // Its handles are let go of; the later drives' handles follow their
    // drive to its new place.
    for (auto it = handles_.begin(); it != handles_.end();) {
        if (it->second.drive == drive) {
            it = handles_.erase(it);
            continue;
        }
        if (it->second.drive > drive) {
            --it->second.drive;
        }
        ++it;
    }
    const auto at = static_cast<std::ptrdiff_t>(drive);
    drives_.erase(drives_.begin() + at);
    caches_.erase(caches_.begin() + at);
    unlocked_.erase(unlocked_.begin() + at);
    byGuid_.clear();
    for (std::size_t i = 0; i < drives_.size(); ++i) {
        byGuid_.emplace(drives_[i].volumeGuid, i);
    }
    return true;
}

WriteTarget RawVolumeSystem::OpenWriteTarget(const std::string& path) const {
    std::vector<std::string> sources;
    sources.reserve(drives_.size());
    for (const auto& d : drives_) {
        sources.push_back(d.region.path);
        // Every segment and extent of a container is as much the source.
        for (const auto& f : d.region.containerFiles) {
            sources.push_back(f);
        }
    }
    sources.insert(sources.end(), named_.begin(), named_.end());
    return platform::OpenWriteTarget(path, sources);
}

void RawVolumeSystem::Protect(const std::string& path) {
    if (std::find(named_.begin(), named_.end(), path) == named_.end()) {
        named_.push_back(path);
    }
}

WriteTarget OpenWriteTargetFor(const VolumeApi& api, const std::string& path) {
    if (const auto* raw = dynamic_cast<const RawVolumeSystem*>(&api)) {
        return raw->OpenWriteTarget(path);
    }
    return OpenWriteTarget(path, {});
}

bool RawVolumeSystem::Fail(std::uint32_t code) {
    lastError_ = code;
    return false;
}

std::string RawVolumeSystem::Drive::Root() const {
    return letter != 0 ? std::string{letter, ':', '\\'} : "\\\\?\\Volume" + volumeGuid + "\\";
}

std::string RawVolumeSystem::Drive::Name() const {
    std::string root = Root();
    root.pop_back();
    return root;
}

const RawVolumeSystem::Drive* RawVolumeSystem::FindByRoot(std::string_view rootPath) {
    // "\\?\Volume{GUID}\" (or, as a device name, "Volume{GUID}") names any
    // drive, with a letter or without.
    std::string lower = Lower(rootPath);
    if (lower.starts_with("\\\\?\\")) {
        lower.erase(0, 4);
    }
    if (lower.starts_with("volume{")) {
        if (lower.ends_with("\\")) {
            lower.pop_back();
        }
        return FindByGuid(lower.substr(6));
    }
    if (rootPath.size() < 2 || rootPath[1] != ':') {
        return nullptr;
    }
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(rootPath[0])));
    const auto it = std::find_if(drives_.begin(), drives_.end(),
                                 [letter](const Drive& d) { return d.letter == letter; });
    return letter >= 'C' && it != drives_.end() ? &*it : nullptr;
}

const RawVolumeSystem::Drive* RawVolumeSystem::FindByGuid(const std::string& lowerGuid) const {
    const auto it = byGuid_.find(lowerGuid);
    return it != byGuid_.end() ? &drives_[it->second] : nullptr;
}

std::uint32_t RawVolumeSystem::GetLogicalDrives() {
    std::uint32_t mask = 0;
    for (const auto& d : drives_) {
        if (d.letter != 0) {
            mask |= 1U << (d.letter - 'A');
        }
    }
    return mask;
}

std::vector<std::string> RawVolumeSystem::FindVolumes() {
    std::vector<std::string> names;
    names.reserve(drives_.size());
    for (const auto& d : drives_) {
        names.push_back("\\\\?\\Volume" + d.volumeGuid + "\\");
    }
    return names;
}

std::uint32_t RawVolumeSystem::GetDriveType(std::string_view rootPath) {
    return FindByRoot(rootPath) != nullptr ? drivetype::kFixed : drivetype::kNoRootDir;
}

std::optional<std::string> RawVolumeSystem::QueryDosDevice(std::string_view deviceName) {
    const Drive* d = FindByRoot(deviceName);
    if (d == nullptr) {
        Fail(error::kFileNotFound);
        return std::nullopt;
    }
    std::string target = d->region.path;
    if (d->region.partition > 0) {
        target += '#';
        target += std::to_string(d->region.partition);
    }
    return target;
}

std::optional<std::string>
RawVolumeSystem::GetVolumeNameForVolumeMountPoint(std::string_view rootPath) {
    const Drive* d = FindByRoot(rootPath);
    const bool letterRoot = rootPath.size() == 3 && rootPath[1] == ':';
    if (d == nullptr || rootPath.back() != '\\' || (rootPath[1] == ':' && !letterRoot)) {
        Fail(error::kInvalidParameter);
        return std::nullopt;
    }
    return "\\\\?\\Volume" + d->volumeGuid + "\\";
}

bool RawVolumeSystem::Load(std::size_t drive, Cache*& out) {
    Cache& cache = caches_[drive];
    const SourceRegion& region = drives_[drive].region;
    struct stat st {};
    if (stat(region.path.c_str(), &st) != 0) {
        return Fail(error::kFileNotFound);
    }
    const std::int64_t mtime =
        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    if (cache.size != st.st_size || cache.mtimeNs != mtime) {
        cache = Cache{};
        std::uint32_t code = 0;
        const std::shared_ptr<const SourceBytes> bytes = BytesFor(drive, cache);
        if (!bytes) {
            return false;
        }
        // A drive whose boot sector does not name NTFS costs that sector:
        // neither the volume's blocks nor a descriptor are kept for it.
        std::array<std::byte, ondisk::boot::kSize> sector{};
        if (region.fileSystem == "BitLocker") {
            cache.bytes = bytes;
            LoadBitLocker(drive, cache);
            cache.ntfs = NtfsImage::Open(cache.bytes, code);
            cache.ntfsError = code;
        } else if (bytes->Peek(0, sector) == sector.size() && ondisk::SaysNtfs(sector)) {
            cache.bytes = bytes;
            cache.ntfs = NtfsImage::Open(bytes, code);
            cache.ntfsError = code;
        } else {
            cache.ntfsError = error::kUnrecognizedVolume;
        }
        cache.size = st.st_size;
        cache.mtimeNs = mtime;
    }
    cache.used = ++clock_;
    if (cache.bytes) {
        ForgetOldVolumes(drive);
    }
    out = &cache;
    return true;
}

std::shared_ptr<const SourceBytes> RawVolumeSystem::BytesFor(std::size_t drive,
                                                             const Cache& cache) {
    if (cache.bytes) {
        return cache.bytes;
    }
    const SourceRegion& region = drives_[drive].region;
    struct stat st {};
    const std::int64_t mtime =
        stat(region.path.c_str(), &st) == 0
            ? static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec
            : -1;
    // The probe's container serves while the file is as the probe saw it;
    // a file changed since is opened anew, and without leave to read outside
    // its folder: what the user allowed was the files named then. A source
    // the probe read raw is read raw, whatever signature it carries.
    const bool probed =
        region.image && region.imageFileSize == st.st_size && region.imageMtimeNs == mtime;
    std::uint32_t code = 0;
    std::shared_ptr<const SourceBytes> bytes =
        SourceBytes::Open(region.path, region.offset, region.length, code,
                          probed ? region.image : nullptr, region.container.empty());
    if (!bytes) {
        Fail(code);
    }
    return bytes;
}

void RawVolumeSystem::ForgetOldVolumes(std::size_t keep) {
    // Handles hold their own references: a volume forgotten here lives on
    // while one reads it, and is parsed anew when opened again.
    for (;;) {
        std::size_t kept = 0;
        Cache* oldest = nullptr;
        for (std::size_t i = 0; i < caches_.size(); ++i) {
            Cache& c = caches_[i];
            if (!c.bytes) {
                continue;
            }
            ++kept;
            if (i != keep && (oldest == nullptr || c.used < oldest->used)) {
                oldest = &c;
            }
        }
        if (kept <= kKeptVolumes || oldest == nullptr) {
            return;
        }
        *oldest = Cache{};
    }
}

namespace {

RegionReader ReaderOf(std::shared_ptr<const SourceBytes> bytes) {
    return [bytes = std::move(bytes)](std::uint64_t offset, std::span<std::byte> out) {
        return bytes->Read(offset, out);
    };
}

} // namespace

void RawVolumeSystem::LoadBitLocker(std::size_t drive, Cache& cache) {
    cache.encrypted = cache.bytes;
    cache.bitlocker = BitLockerVolume::Open(ReaderOf(cache.encrypted), cache.encrypted->size(),
                                            cache.bitlockerError);
    if (!cache.bitlocker) {
        return;
    }
    // Protection suspended: the clear key opens it, and nobody is asked.
    if (!unlocked_[drive] && cache.bitlocker->OpensWithoutKey()) {
        auto access = std::make_unique<BitLockerAccess>();
        if (UnlockBitLocker(*cache.bitlocker, ReaderOf(cache.encrypted), nullptr, *access,
                            cache.lockedWhy) == BitLockerVolume::UnlockStatus::Unlocked) {
            unlocked_[drive] = std::move(access);
        }
    }
    if (unlocked_[drive]) {
        Decrypt(drive, cache);
    }
}

void RawVolumeSystem::Decrypt(std::size_t drive, Cache& cache) {
    const SourceRegion& region = drives_[drive].region;
    std::vector<std::string> files = region.containerFiles;
    if (files.empty()) {
        files.push_back(region.path);
    }
    cache.bytes = DecryptedSource(cache.encrypted, *cache.bitlocker, *unlocked_[drive], files);
    cache.decrypted = RecogniseDecrypted(*cache.bytes);
}

std::shared_ptr<const BitLockerVolume> RawVolumeSystem::BitLocker(std::size_t drive,
                                                                  std::string& why) {
    why.clear();
    Cache* cache = nullptr;
    if (drive >= drives_.size() || drives_[drive].region.fileSystem != "BitLocker" ||
        !Load(drive, cache)) {
        return nullptr;
    }
    why = cache->bitlocker ? cache->lockedWhy : cache->bitlockerError;
    return cache->bitlocker;
}

std::vector<ReservedRange> RawVolumeSystem::ReservedRanges(std::string_view rootPath) {
    const Drive* d = FindByRoot(rootPath);
    if (d == nullptr) {
        return {};
    }
    const auto drive = static_cast<std::size_t>(d - drives_.data());
    std::string why;
    const auto volume = BitLocker(drive, why);
    // Locked, the volume has no file system to set them apart from.
    if (!volume || !Unlocked(drive)) {
        return {};
    }
    const BitLockerLayout& layout = volume->layout();
    std::vector<ReservedRange> ranges;
    const auto add = [&](std::uint64_t offset, std::uint64_t length, std::string name) {
        if (offset < layout.size && length > 0) {
            ranges.push_back({offset, std::min(length, layout.size - offset), std::move(name)});
        }
    };
    for (std::size_t i = 0; i < layout.metadataOffsets.size(); ++i) {
        add(layout.metadataOffsets[i], ondisk::fve::block::kReserved,
            "BitLocker metadata, copy " + std::to_string(i + 1));
    }
    add(layout.movedOffset, layout.movedSize, "BitLocker's copy of the boot sectors");
    std::sort(ranges.begin(), ranges.end(),
              [](const ReservedRange& a, const ReservedRange& b) { return a.offset < b.offset; });
    return ranges;
}

const BitLockerAccess* RawVolumeSystem::Unlocked(std::size_t drive) const {
    return drive < unlocked_.size() ? unlocked_[drive].get() : nullptr;
}

BitLockerVolume::UnlockStatus RawVolumeSystem::Unlock(std::size_t drive, const BitLockerKey& key,
                                                      std::string& why) {
    if (!key.file.empty()) {
        Protect(key.file);
    }
    const auto volume = BitLocker(drive, why);
    if (!volume) {
        if (why.empty()) {
            why = "it holds no BitLocker volume";
        }
        return BitLockerVolume::UnlockStatus::Unreadable;
    }
    why.clear();
    if (unlocked_[drive]) {
        return BitLockerVolume::UnlockStatus::Unlocked;
    }
    Cache& cache = caches_[drive];
    auto access = std::make_unique<BitLockerAccess>();
    const auto status = UnlockBitLocker(*volume, ReaderOf(cache.encrypted), &key, *access, why);
    if (status != BitLockerVolume::UnlockStatus::Unlocked) {
        return status;
    }
    unlocked_[drive] = std::move(access);
    Decrypt(drive, cache);
    cache.ntfs = NtfsImage::Open(cache.bytes, cache.ntfsError);
    return status;
}

std::optional<VolumeInformation> RawVolumeSystem::GetVolumeInformation(std::string_view rootPath) {
    const Drive* d = FindByRoot(rootPath);
    if (d == nullptr) {
        Fail(error::kInvalidParameter);
        return std::nullopt;
    }
    Cache* cache = nullptr;
    if (!Load(static_cast<std::size_t>(d - drives_.data()), cache)) {
        return std::nullopt;
    }
    VolumeInformation info;
    info.maxComponentLength = kMaxComponentLength;
    if (d->region.fileSystem == "BitLocker" && !cache->ntfs) {
        // Locked, it is BitLocker's; unlocked, what it holds.
        if (!Unlocked(static_cast<std::size_t>(d - drives_.data()))) {
            info.fileSystemName = "BitLocker";
            info.fileSystemFlags = fsflags::kReadOnlyVolume;
            return info;
        }
        const DecryptedFileSystem& inner = cache->decrypted;
        if (inner.name.empty()) {
            Fail(error::kUnrecognizedVolume);
            return std::nullopt;
        }
        info.label = inner.label;
        info.serialNumber = inner.serial;
        info.fileSystemFlags = inner.name == "NTFS" ? kNtfsFlags : kFatFlags;
        info.fileSystemName = inner.name;
        return info;
    }
    if (cache->ntfs) {
        info.label = cache->ntfs->label();
        info.serialNumber = static_cast<std::uint32_t>(cache->ntfs->geometry().serialNumber);
        info.fileSystemFlags = kNtfsFlags;
        info.fileSystemName = "NTFS";
        return info;
    }
    const std::string& fs = d->region.fileSystem;
    if (fs == "NTFS") {
        // The boot sector says NTFS, but not one whose numbers we can use:
        // the name is the truth, the volume data query will fail.
        info.label = d->region.label;
        info.fileSystemFlags = kNtfsFlags;
        info.fileSystemName = fs;
        return info;
    }
    if (fs == "FAT12" || fs == "FAT16" || fs == "FAT32" || fs == "exFAT") {
        info.label = d->region.label;
        info.serialNumber = d->region.serial;
        info.fileSystemFlags = kFatFlags;
        info.fileSystemName = fs;
        return info;
    }
    Fail(error::kUnrecognizedVolume);
    return std::nullopt;
}

Handle RawVolumeSystem::CreateFile(std::string_view devicePath) {
    constexpr std::string_view kPrefix = "\\\\.\\volume";
    const std::string path = Lower(devicePath);
    if (!path.starts_with(kPrefix)) {
        Fail(error::kFileNotFound);
        return kInvalidHandle;
    }
    const Drive* d = FindByGuid(path.substr(kPrefix.size()));
    if (d == nullptr) {
        Fail(error::kFileNotFound);
        return kInvalidHandle;
    }
    const auto i = static_cast<std::size_t>(d - drives_.data());
    Cache* cache = nullptr;
    if (!Load(i, cache)) {
        return kInvalidHandle;
    }
    std::shared_ptr<const SourceBytes> bytes = BytesFor(i, *cache);
    if (!bytes) {
        return kInvalidHandle;
    }
    const Handle h = nextHandle_++;
    handles_[h] = Opened{i, 0, std::move(bytes), cache->ntfs};
    return h;
}

bool RawVolumeSystem::CloseHandle(Handle handle) {
    if (handles_.erase(handle) == 0) {
        return Fail(error::kInvalidHandle);
    }
    return true;
}

RawVolumeSystem::Opened* RawVolumeSystem::Find(Handle handle) {
    const auto it = handles_.find(handle);
    if (it == handles_.end()) {
        Fail(error::kInvalidHandle);
        return nullptr;
    }
    return &it->second;
}

namespace {

// Keeps the parsed volume alive for as long as the blocks are read, whatever
// happens to the handle they came from.
class ImageRecordBlocks final : public FileRecordBlocks {
  public:
    explicit ImageRecordBlocks(std::shared_ptr<const NtfsImage> image) : image_(std::move(image)) {}
    [[nodiscard]] std::uint32_t recordSize() const override {
        return image_->geometry().bytesPerRecord;
    }
    void Read(std::int64_t first, std::span<std::byte> out,
              std::span<std::uint8_t> readable) const override {
        image_->ReadRecords(first, out, readable);
    }

  private:
    std::shared_ptr<const NtfsImage> image_;
};

} // namespace

std::shared_ptr<const FileRecordBlocks> RawVolumeSystem::OpenFileRecordBlocks(Handle handle) {
    const Opened* h = Find(handle);
    if (h == nullptr || !h->ntfs) {
        return nullptr;
    }
    return std::make_shared<ImageRecordBlocks>(h->ntfs);
}

FileRecordState RawVolumeSystem::ReadExactFileRecord(Handle handle, std::int64_t number,
                                                     std::span<std::byte> out) {
    const Opened* h = Find(handle);
    if (h == nullptr) {
        return FileRecordState::kMissing;
    }
    if (!h->ntfs) {
        Fail(error::kInvalidFunction);
        return FileRecordState::kMissing;
    }
    if (out.size() != h->ntfs->geometry().bytesPerRecord) {
        Fail(error::kInsufficientBuffer);
        return FileRecordState::kMissing;
    }
    const FileRecordState state = h->ntfs->ReadExactRecord(number, out);
    if (state == FileRecordState::kMissing) {
        Fail(error::kFileNotFound);
    }
    return state;
}

bool RawVolumeSystem::DeviceIoControl(Handle handle, std::uint32_t code,
                                      std::span<const std::byte> in, std::span<std::byte> out,
                                      std::uint32_t* bytesReturned) {
    Opened* h = Find(handle);
    if (h == nullptr) {
        return false;
    }
    std::uint32_t returned = 0;
    bool ok = false;
    switch (code) {
    case kFsctlGetNtfsVolumeData:
        ok = VolumeData(*h, out, &returned);
        break;
    case kFsctlGetNtfsFileRecord:
        ok = FileRecord(*h, in, out, &returned);
        break;
    case kFsctlGetVolumeBitmap:
        ok = VolumeBitmap(*h, in, out, &returned);
        break;
    default:
        Fail(error::kInvalidFunction);
        break;
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = returned;
    }
    return ok;
}

bool RawVolumeSystem::VolumeData(const Opened& h, std::span<std::byte> out,
                                 std::uint32_t* returned) {
    if (!h.ntfs) {
        return Fail(error::kInvalidFunction);
    }
    if (out.size() < volumedata::kSize) {
        return Fail(error::kInsufficientBuffer);
    }
    h.ntfs->FillVolumeData(out.first(volumedata::kSize));
    *returned = volumedata::kSize;
    return true;
}

bool RawVolumeSystem::FileRecord(const Opened& h, std::span<const std::byte> in,
                                 std::span<std::byte> out, std::uint32_t* returned) {
    if (!h.ntfs) {
        return Fail(error::kInvalidFunction);
    }
    const auto number = ondisk::ByteReader(in).i64(0);
    if (!number || *number < 0) {
        return Fail(error::kInvalidParameter);
    }
    const std::size_t size = h.ntfs->geometry().bytesPerRecord;
    if (out.size() < filerecord::kFileRecordBuffer + size) {
        return Fail(error::kInsufficientBuffer);
    }
    // Straight into the caller's area: the copy out of the volume is the one
    // copy a record costs. After a failure the area's contents are undefined,
    // as they are for the native query.
    const auto found =
        h.ntfs->FetchRecord(*number, out.subspan(filerecord::kFileRecordBuffer, size));
    if (!found) {
        return Fail(error::kFileNotFound);
    }
    StoreLE(out, filerecord::kFileReferenceNumber, static_cast<std::uint64_t>(*found), 8);
    StoreLE(out, filerecord::kFileRecordLength, size, 4);
    *returned = static_cast<std::uint32_t>(filerecord::kFileRecordBuffer + size);
    return true;
}

bool RawVolumeSystem::VolumeBitmap(const Opened& h, std::span<const std::byte> in,
                                   std::span<std::byte> out, std::uint32_t* returned) {
    if (!h.ntfs) {
        return Fail(error::kInvalidFunction);
    }
    const std::int64_t total = h.ntfs->geometry().totalClusters;
    const auto requested = ondisk::ByteReader(in).i64(0);
    if (!requested || *requested < 0 || *requested >= total) {
        return Fail(error::kInvalidParameter);
    }
    if (out.size() < volumebitmap::kBuffer) {
        return Fail(error::kInsufficientBuffer);
    }
    // The answer starts on a byte of the bitmap, as the native query's does.
    const std::int64_t start = *requested / 8 * 8;
    const std::int64_t clusters = total - start;
    const auto needed = static_cast<std::size_t>((clusters + 7) / 8);
    const std::size_t room = out.size() - volumebitmap::kBuffer;
    const std::size_t n = std::min(needed, room);
    auto bits = out.subspan(volumebitmap::kBuffer, n);
    if (!h.ntfs->ReadClusterBitmap(static_cast<std::uint64_t>(start / 8), bits)) {
        return Fail(error::kFileCorrupt);
    }
    if (n == needed && clusters % 8 != 0) {
        bits[n - 1] &= static_cast<std::byte>((1U << (clusters % 8)) - 1);
    }
    StoreLE(out, volumebitmap::kStartingLcn, static_cast<std::uint64_t>(start), 8);
    StoreLE(out, volumebitmap::kBitmapSize, static_cast<std::uint64_t>(clusters), 8);
    *returned = static_cast<std::uint32_t>(volumebitmap::kBuffer + n);
    if (n < needed) {
        return Fail(error::kMoreData);
    }
    return true;
}

bool RawVolumeSystem::SetFilePointerEx(Handle handle, std::int64_t offset) {
    Opened* h = Find(handle);
    if (h == nullptr) {
        return false;
    }
    if (offset < 0) {
        return Fail(error::kInvalidParameter);
    }
    h->position = offset;
    return true;
}

bool RawVolumeSystem::ReadFile(Handle handle, std::span<std::byte> buffer,
                               std::uint32_t* bytesRead) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    Opened* h = Find(handle);
    if (h == nullptr) {
        return false;
    }
    const auto pos = static_cast<std::uint64_t>(h->position);
    const std::uint64_t size = h->bytes->size();
    const std::uint64_t expect =
        pos >= size ? 0 : std::min<std::uint64_t>(buffer.size(), size - pos);
    const std::size_t n = h->bytes->Read(pos, buffer);
    h->position += static_cast<std::int64_t>(n);
    if (bytesRead != nullptr) {
        *bytesRead = static_cast<std::uint32_t>(n);
    }
    if (n < expect) {
        return Fail(error::kReadFault);
    }
    return true;
}

} // namespace lorvex::platform

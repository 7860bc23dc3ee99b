#include "platform/BitLockerSource.h"

#include "ondisk/BootSector.h"
#include "platform/LibbdeVolume.h"

#include <blkid/blkid.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace lorvex::platform {

namespace {

// How much libbde decrypts beside our reading at each place it checks: the
// start (the moved boot sectors, the file system's first structures) and the
// middle of the volume.
constexpr std::size_t kCheckBytes = 64 * 1024;

struct CheckResult {
    bool opened = false; // libbde opened the volume with the volume key
    bool agrees = false;
    std::string why;
};

CheckResult CheckWithLibbde(const BitLockerVolume& volume, const RegionReader& read,
                            const BitLockerAccess& access) {
    CheckResult result;
    const BitLockerLayout& layout = volume.layout();
    auto libbde = LibbdeVolume::Open(read, layout.size, volume.method(), access.volumeKey->bytes(),
                                     result.why);
    if (!libbde) {
        return result;
    }
    result.opened = true;
    BitLockerDecoder ours(read, layout, access.cipher);
    std::vector<std::byte> a(kCheckBytes);
    std::vector<std::byte> b(kCheckBytes);
    const std::uint64_t middle = layout.size / 2 / layout.sectorBytes * layout.sectorBytes;
    for (const std::uint64_t at : {std::uint64_t{0}, middle}) {
        if (at >= layout.size) {
            continue;
        }
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kCheckBytes, layout.size - at));
        std::string ourWhy;
        std::string theirWhy;
        const bool oursRead = ours.Decode(at, std::span(a).first(n), ourWhy);
        const bool theirsRead = libbde->Read(at, std::span(b).first(n), theirWhy);
        if (!oursRead || !theirsRead) {
            // A sector neither can read (a volume cut short) says nothing of
            // the decryption.
            continue;
        }
        if (std::memcmp(a.data(), b.data(), n) != 0) {
            result.why = "at byte " + std::to_string(at);
            return result;
        }
    }
    result.agrees = true;
    return result;
}

} // namespace

BitLockerVolume::UnlockStatus UnlockBitLocker(const BitLockerVolume& volume,
                                              const RegionReader& read, const BitLockerKey* key,
                                              BitLockerAccess& out, std::string& why) {
    BitLockerVolume::Unlocked unlocked;
    const auto status = volume.Unlock(key, unlocked, why);
    if (status != BitLockerVolume::UnlockStatus::Unlocked) {
        return status;
    }
    BitLockerAccess access;
    access.cipher = std::move(unlocked.cipher);
    access.volumeKey = std::make_shared<const Secret>(std::move(unlocked.volumeKey));
    access.protector = std::move(unlocked.protector);
    const CheckResult check = CheckWithLibbde(volume, read, access);
    if (!check.opened) {
        access.reader = "OpenSSL (libbde cannot open it: " + check.why + ")";
    } else if (check.agrees) {
        access.reader = "OpenSSL, checked against libbde";
    } else {
        access.libbde = true;
        access.reader = "libbde (OpenSSL's reading differs from it " + check.why + ")";
    }
    out = std::move(access);
    return status;
}

std::shared_ptr<const SourceBytes> DecryptedSource(std::shared_ptr<const SourceBytes> raw,
                                                   const BitLockerVolume& volume,
                                                   const BitLockerAccess& access,
                                                   std::vector<std::string> files) {
    const BitLockerLayout layout = volume.layout();
    RegionReader read = [raw](std::uint64_t offset, std::span<std::byte> out) {
        return raw->Read(offset, out);
    };
    std::unique_ptr<ContainerDecoder> decoder;
    ContainerImage::DecoderFactory factory;
    if (access.libbde) {
        const auto open = [read, layout, method = volume.method(), key = access.volumeKey](
                              std::string& why) -> std::unique_ptr<ContainerDecoder> {
            auto v = LibbdeVolume::Open(read, layout.size, method, key->bytes(), why);
            return v ? std::make_unique<LibbdeDecoder>(std::move(v)) : nullptr;
        };
        std::string why;
        decoder = open(why);
        factory = open;
    }
    if (!decoder) {
        decoder = std::make_unique<BitLockerDecoder>(read, layout, access.cipher);
    }
    std::shared_ptr<const ContainerImage> image = ContainerImage::FromDecoder(
        "BitLocker", layout.size, std::move(files), std::move(decoder), std::move(factory));
    return SourceBytes::Over(std::move(image));
}

DecryptedFileSystem RecogniseDecrypted(const SourceBytes& bytes) {
    DecryptedFileSystem found;
    // The probes read a descriptor: the volume's start, decrypted, in a
    // sparse memory file of its size.
    constexpr std::size_t kHead = std::size_t{1} << 20;
    const int fd = memfd_create("lorvex-bitlocker-probe", MFD_CLOEXEC);
    if (fd < 0) {
        return found;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    std::vector<std::byte> head(
        static_cast<std::size_t>(std::min<std::uint64_t>(kHead, bytes.size())));
    const std::size_t got = bytes.Read(0, head);
    if (got == 0 || ftruncate(fd, static_cast<off_t>(bytes.size())) != 0 ||
        pwrite(fd, head.data(), got, 0) != static_cast<ssize_t>(got)) {
        return found;
    }
    blkid_probe probe = blkid_new_probe();
    if (probe == nullptr) {
        return found;
    }
    if (blkid_probe_set_device(probe, fd, 0, static_cast<blkid_loff_t>(bytes.size())) == 0) {
        blkid_probe_enable_superblocks(probe, 1);
        blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL |
                                                     BLKID_SUBLKS_UUID | BLKID_SUBLKS_VERSION);
        blkid_probe_enable_partitions(probe, 0);
        if (blkid_do_safeprobe(probe) == 0) {
            const auto value = [&](const char* name) {
                const char* v = nullptr;
                return blkid_probe_lookup_value(probe, name, &v, nullptr) == 0 && v != nullptr
                           ? std::string(v)
                           : std::string();
            };
            const std::string type = value("TYPE");
            if (type == "ntfs") {
                found.name = "NTFS";
            } else if (type == "vfat") {
                const std::string version = value("VERSION");
                found.name = version.empty() ? "FAT" : version;
            } else if (type == "exfat") {
                found.name = "exFAT";
            }
            if (!found.name.empty()) {
                found.label = value("LABEL");
                // FAT and exFAT serials print as "1A2B-3C4D".
                std::uint32_t serial = 0;
                for (const char c : value("UUID")) {
                    if (c != '-' && std::isxdigit(static_cast<unsigned char>(c))) {
                        serial = serial << 4 | static_cast<std::uint32_t>(
                                                   std::isdigit(static_cast<unsigned char>(c))
                                                       ? c - '0'
                                                       : (c | 0x20) - 'a' + 10);
                    }
                }
                found.serial = found.name == "NTFS" ? 0 : serial;
            }
        }
    }
    blkid_free_probe(probe);
    // The probe also reads the file table for a label; a volume whose boot
    // sector names itself NTFS is NTFS whatever became of its table.
    if (found.name.empty() && got >= ondisk::boot::kSize &&
        ondisk::SaysNtfs(std::span(head).first(ondisk::boot::kSize))) {
        found.name = "NTFS";
    }
    return found;
}

} // namespace lorvex::platform

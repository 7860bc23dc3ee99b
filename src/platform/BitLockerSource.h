#pragma once

#include "platform/BitLockerVolume.h"
#include "platform/SourceBytes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lorvex::platform {

// An unlocked BitLocker volume: what its sectors are decrypted with, and by
// whom. Held for as long as the drive is open; the key that unlocked it is
// not kept, only the volume key it opened.
struct BitLockerAccess {
    std::shared_ptr<const SectorCipher> cipher;
    std::shared_ptr<const Secret> volumeKey;
    // libbde decrypts: ours disagreed with it where both read (never seen;
    // libbde's reading then stands).
    bool libbde = false;
    std::string reader;    // who decrypts, and whether libbde agreed: for --info
    std::string protector; // the kind and id of the protector that opened it
};

// Unlocks `volume` (in the region `read` reads) with `key`, or with its clear
// key when `key` is null, and has libbde, where it opens the volume, decrypt
// the first sectors and some of the middle beside our reading: the sectors
// are decrypted by OpenSSL when both agree, by libbde when they do not.
BitLockerVolume::UnlockStatus UnlockBitLocker(const BitLockerVolume& volume,
                                              const RegionReader& read, const BitLockerKey* key,
                                              BitLockerAccess& out, std::string& why);

// The decrypted volume over its encrypted region `raw`, read on demand in the
// block cache the containers use; `files` are what it is read from.
std::shared_ptr<const SourceBytes> DecryptedSource(std::shared_ptr<const SourceBytes> raw,
                                                   const BitLockerVolume& volume,
                                                   const BitLockerAccess& access,
                                                   std::vector<std::string> files);

// The file system a decrypted volume holds, as the probes name it ("NTFS",
// "FAT32", "exFAT", ...; empty when none), with its label and serial.
struct DecryptedFileSystem {
    std::string name;
    std::string label;
    std::uint32_t serial = 0;
};
DecryptedFileSystem RecogniseDecrypted(const SourceBytes& bytes);

} // namespace lorvex::platform

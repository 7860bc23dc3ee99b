#pragma once

// Encrypts a plain volume the way BitLocker lays one out, for tests and
// benchmarks: the volume header in the first sector, three metadata blocks,
// the first sectors moved aside, every sector encrypted with the volume key
// up to the encrypted size. The blocks and the moved copy are put where the
// plain volume holds only zeros, so that the volume read back decrypted is
// the plain one byte for byte. libbde reads what this writes (checked by the
// tests), so it stands as an independent check of both.

#include "ondisk/ByteReader.h"
#include "ondisk/FveMetadata.h"
#include "platform/BitLockerCrypto.h"
#include "platform/BitLockerKey.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace lorvex::test {

struct BitLockerRecipe {
    std::uint16_t method = ondisk::fve::method::kAesXts128;
    std::uint32_t sectorBytes = 512;
    std::string password;         // none when empty
    std::string recoveryPassword; // 48 digits with dashes; none when empty
    bool clearKey = false;
    bool startupKey = false;
    std::optional<std::uint64_t> encryptedSize; // the whole volume by default
    std::uint32_t movedSectors = 16;
    std::string description = "LORVEX-TEST E: 09/12/2025";
    std::uint64_t seed = 1;
};

// What was made, besides the encrypted volume itself.
struct BitLockerMade {
    std::array<std::uint64_t, 3> metadataOffsets{};
    std::uint64_t movedOffset = 0;
    std::uint64_t movedSize = 0;
    std::vector<std::uint8_t> volumeKey;
    std::vector<std::byte> startupKeyFile; // the .BEK, when one was asked for
    ondisk::Guid volumeId{};
};

namespace bitlockerwriter {

using Bytes = std::vector<std::byte>;

inline void Put(Bytes& b, std::size_t at, std::uint64_t value, int width) {
    ondisk::StoreLE(b, at, value, static_cast<std::size_t>(width));
}

inline void Append(Bytes& to, std::span<const std::byte> bytes) {
    // Grown and copied into rather than inserted: GCC 12 at -O3 takes the
    // insert into a vector of fixed size for a write out of bounds.
    const std::size_t at = to.size();
    to.resize(at + bytes.size());
    if (!bytes.empty()) {
        std::memcpy(to.data() + at, bytes.data(), bytes.size());
    }
}

inline void Append(Bytes& to, std::span<const std::uint8_t> bytes) {
    Append(to, std::as_bytes(bytes));
}

inline Bytes Entry(std::uint16_t type, std::uint16_t valueType, const Bytes& value) {
    Bytes e(ondisk::fve::entry::kHeaderBytes);
    Put(e, ondisk::fve::entry::kSize, e.size() + value.size(), 2);
    Put(e, ondisk::fve::entry::kType, type, 2);
    Put(e, ondisk::fve::entry::kValueType, valueType, 2);
    Put(e, ondisk::fve::entry::kVersion, 1, 2);
    Append(e, value);
    return e;
}

inline Bytes KeyEntry(std::uint32_t method, std::span<const std::uint8_t> key) {
    Bytes v(4);
    Put(v, 0, method, 4);
    Append(v, key);
    return Entry(ondisk::fve::entrytype::kProperty, ondisk::fve::valuetype::kKey, v);
}

class Random {
  public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    std::vector<std::uint8_t> Bytes(std::size_t n) {
        std::vector<std::uint8_t> out(n);
        for (auto& b : out) {
            b = static_cast<std::uint8_t>(engine_());
        }
        return out;
    }

  private:
    std::mt19937_64 engine_;
};

// A key sealed under a fresh nonce: the entry's value.
inline Bytes SealedValue(std::span<const std::uint8_t> key, const Bytes& plain,
                         std::uint32_t& counter) {
    std::array<std::uint8_t, 12> nonce{0x70, 0x8a, 0x42, 0x5d, 0x36, 0x32, 0xd5, 0x01};
    ondisk::StoreLE(std::as_writable_bytes(std::span(nonce)), 8, counter++, 4);
    const auto sealed = platform::Seal(
        key, nonce, std::span(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size()));
    Bytes v;
    Append(v, sealed.nonce);
    Append(v, sealed.mac);
    Append(v, sealed.data);
    return v;
}

inline Bytes Protector(const std::vector<std::uint8_t>& id, std::uint16_t protection,
                       const Bytes& entries) {
    Bytes v(ondisk::fve::value::kMasterKeyEntries);
    std::memcpy(v.data(), id.data(), 16);
    Put(v, ondisk::fve::value::kMasterKeyTime, 0x01dc68f0a1b2c3d4ULL, 8);
    Put(v, ondisk::fve::value::kMasterKeyProtection, protection, 2);
    Append(v, entries);
    return Entry(ondisk::fve::entrytype::kVolumeMasterKey, ondisk::fve::valuetype::kMasterKey, v);
}

// Whether `size` bytes at `at` of the file are all zero.
inline bool ZeroAt(int fd, std::uint64_t at, std::size_t size) {
    Bytes b(size);
    if (pread(fd, b.data(), size, static_cast<off_t>(at)) != static_cast<ssize_t>(size)) {
        return false;
    }
    return std::all_of(b.begin(), b.end(), [](std::byte x) { return x == std::byte{0}; });
}

} // namespace bitlockerwriter

// Encrypts the plain volume at `plainPath` into `outPath` (made or
// overwritten, the same size). False with the reason when the plain volume
// has no room of zeros for the metadata, or a write fails.
inline bool MakeBitLocker(const std::string& plainPath, const std::string& outPath,
                          const BitLockerRecipe& recipe, BitLockerMade& made, std::string& why) {
    using namespace bitlockerwriter;
    namespace fve = ondisk::fve;
    const int in = ::open(plainPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        why = "cannot open " + plainPath;
        return false;
    }
    const auto size = static_cast<std::uint64_t>(lseek(in, 0, SEEK_END));
    const std::uint32_t sector = recipe.sectorBytes;
    const std::uint64_t encrypted = recipe.encryptedSize.value_or(size);
    made.movedSize = std::uint64_t{recipe.movedSectors} * sector;

    // Four blocks of zeros: the three metadata blocks and the moved copy,
    // looked for from a quarter, half, three quarters and an eighth on.
    std::vector<std::uint64_t> places;
    for (const std::uint64_t from : {size / 4, size / 2, size * 3 / 4, size / 8}) {
        std::uint64_t at =
            std::max<std::uint64_t>(from, 1 << 20) / fve::block::kReserved * fve::block::kReserved;
        for (; at + fve::block::kReserved <= size; at += fve::block::kReserved) {
            if (std::find(places.begin(), places.end(), at) == places.end() &&
                ZeroAt(in, at, fve::block::kReserved)) {
                break;
            }
        }
        if (at + fve::block::kReserved > size) {
            why = "no room of zeros for BitLocker's metadata in " + plainPath;
            ::close(in);
            return false;
        }
        places.push_back(at);
    }
    made.metadataOffsets = {places[0], places[1], places[2]};
    made.movedOffset = places[3];

    Random random(recipe.seed);
    made.volumeKey = random.Bytes(
        ondisk::VolumeKeyBytes(recipe.method) == 48 ? 64 : ondisk::VolumeKeyBytes(recipe.method));
    const auto masterKey = random.Bytes(32);
    const auto volumeIdBytes = random.Bytes(16);
    std::memcpy(made.volumeId.data(), volumeIdBytes.data(), 16);
    std::string cipherWhy;
    const auto cipher =
        platform::SectorCipher::Create(recipe.method, made.volumeKey, sector, cipherWhy);
    if (!cipher) {
        why = cipherWhy;
        ::close(in);
        return false;
    }

    // The entries.
    std::uint32_t counter = 2;
    Bytes entries;
    Bytes text;
    for (const char c : recipe.description) {
        text.push_back(static_cast<std::byte>(c));
        text.push_back(std::byte{0});
    }
    text.resize(text.size() + 2);
    Append(entries, Entry(fve::entrytype::kDescription, fve::valuetype::kString, text));
    const Bytes sealedMaster = KeyEntry(0x2000, masterKey);
    const auto stretched = [&](const platform::BitLockerKey& key) {
        const auto salt = random.Bytes(16);
        std::array<std::uint8_t, 16> saltArray{};
        std::memcpy(saltArray.data(), salt.data(), 16);
        auto hash = platform::Sha256(key.secret.bytes());
        if (key.kind == platform::BitLockerKey::Kind::Password) {
            hash = platform::Sha256(hash);
        }
        const auto stretchedKey = platform::StretchKey(hash, saltArray);
        Bytes stretch(4);
        Put(stretch, 0, 0x1001, 4);
        Append(stretch, salt);
        Bytes inner = Entry(0, fve::valuetype::kStretchKey, stretch);
        Append(inner, Entry(0, fve::valuetype::kSealedKey,
                            SealedValue(stretchedKey.bytes(), sealedMaster, counter)));
        return inner;
    };
    for (const auto& [secret, protection] :
         {std::pair{recipe.password, fve::protection::kPassword},
          std::pair{recipe.recoveryPassword, fve::protection::kRecoveryPassword}}) {
        if (secret.empty()) {
            continue;
        }
        platform::BitLockerKey key;
        if (!platform::KeyFromText(secret, key, why)) {
            ::close(in);
            return false;
        }
        Append(entries, Protector(random.Bytes(16), protection, stretched(key)));
    }
    if (recipe.clearKey) {
        const auto clear = random.Bytes(32);
        Bytes inner = KeyEntry(0x2000, clear);
        Append(inner,
               Entry(0, fve::valuetype::kSealedKey, SealedValue(clear, sealedMaster, counter)));
        Append(entries, Protector(random.Bytes(16), fve::protection::kClearKey, inner));
    }
    if (recipe.startupKey) {
        const auto id = random.Bytes(16);
        const auto key = random.Bytes(32);
        Append(entries, Protector(id, fve::protection::kStartupKey,
                                  Entry(0, fve::valuetype::kSealedKey,
                                        SealedValue(key, sealedMaster, counter))));
        Bytes external(fve::value::kExternalKeyEntries);
        std::memcpy(external.data(), id.data(), 16);
        Append(external, KeyEntry(0x2002, key));
        const Bytes entry =
            Entry(fve::entrytype::kStartupKey, fve::valuetype::kExternalKey, external);
        Bytes file(fve::metadata::kHeaderBytes);
        Put(file, fve::metadata::kSize, file.size() + entry.size(), 4);
        Put(file, fve::metadata::kVersion, 1, 4);
        Put(file, fve::metadata::kHeaderSize, fve::metadata::kHeaderBytes, 4);
        Put(file, fve::metadata::kSizeCopy, file.size() + entry.size(), 4);
        std::memcpy(file.data() + fve::metadata::kVolumeId, id.data(), 16);
        Put(file, fve::metadata::kNonceCounter, 1, 4);
        Append(file, entry);
        made.startupKeyFile = file;
    }
    Append(entries,
           Entry(fve::entrytype::kVolumeKey, fve::valuetype::kSealedKey,
                 SealedValue(masterKey, KeyEntry(recipe.method, made.volumeKey), counter)));
    Bytes place(16);
    Put(place, 0, made.movedOffset, 8);
    Put(place, 8, made.movedSize, 8);
    Append(entries,
           Entry(fve::entrytype::kVolumeHeaderBlock, fve::valuetype::kOffsetAndSize, place));

    Bytes block(fve::block::kReserved);
    std::memcpy(block.data() + fve::block::kSignature, "-FVE-FS-", 8);
    Put(block, 0x08, fve::block::kSize, 2);
    Put(block, fve::block::kVersion, 2, 2);
    Put(block, 0x0C, 4, 2);
    Put(block, 0x0E, 4, 2);
    Put(block, fve::block::kEncryptedSize, encrypted, 8);
    Put(block, fve::block::kHeaderSectors, recipe.movedSectors, 4);
    for (std::size_t i = 0; i < 3; ++i) {
        Put(block, fve::block::kBlockOffsets + 8 * i, made.metadataOffsets[i], 8);
    }
    Put(block, fve::block::kMovedHeader, made.movedOffset, 8);
    const std::size_t m = fve::block::kSize;
    const std::size_t metadataSize = fve::metadata::kHeaderBytes + entries.size();
    Put(block, m + fve::metadata::kSize, metadataSize, 4);
    Put(block, m + fve::metadata::kVersion, 1, 4);
    Put(block, m + fve::metadata::kHeaderSize, fve::metadata::kHeaderBytes, 4);
    Put(block, m + fve::metadata::kSizeCopy, metadataSize, 4);
    std::memcpy(block.data() + m + fve::metadata::kVolumeId, made.volumeId.data(), 16);
    Put(block, m + fve::metadata::kNonceCounter, counter, 4);
    Put(block, m + fve::metadata::kEncryption, recipe.method, 4);
    Put(block, m + fve::metadata::kCreationTime, 0x01dc68f0a1b2c3d4ULL, 8);
    std::memcpy(block.data() + m + fve::metadata::kHeaderBytes, entries.data(), entries.size());

    // The volume: encrypted a MiB at a time where it is to be.
    const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        why = "cannot make " + outPath;
        ::close(in);
        return false;
    }
    const auto writeAt = [&](std::uint64_t at, std::span<const std::byte> bytes) {
        return pwrite(out, bytes.data(), bytes.size(), static_cast<off_t>(at)) ==
               static_cast<ssize_t>(bytes.size());
    };
    const auto encryptAt = [&](std::uint64_t at, std::span<std::byte> bytes) {
        if (at < encrypted) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), encrypted - at));
            cipher->Encrypt(at, bytes.first(n));
        }
    };
    Bytes chunk(std::size_t{1} << 20);
    bool ok = true;
    for (std::uint64_t at = 0; at < size && ok; at += chunk.size()) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - at));
        ok = pread(in, chunk.data(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
        encryptAt(at, std::span(chunk).first(n));
        ok = ok && writeAt(at, std::span(chunk).first(n));
    }
    Bytes moved(made.movedSize);
    ok = ok && pread(in, moved.data(), moved.size(), 0) == static_cast<ssize_t>(moved.size());
    encryptAt(made.movedOffset, moved);
    ok = ok && writeAt(made.movedOffset, moved);
    for (const std::uint64_t at : made.metadataOffsets) {
        ok = ok && writeAt(at, block);
    }
    Bytes header(sector);
    ok = ok && pread(in, header.data(), 512, 0) == 512;
    const std::uint8_t spc =
        std::to_integer<std::uint8_t>(header[ondisk::fve::header::kSectorsPerCluster]);
    std::fill(header.begin(), header.end(), std::byte{0});
    const std::uint8_t jump[] = {0xEB, 0x58, 0x90};
    std::memcpy(header.data(), jump, 3);
    std::memcpy(header.data() + fve::header::kOemId, "-FVE-FS-", 8);
    Put(header, fve::header::kBytesPerSector, sector, 2);
    header[fve::header::kSectorsPerCluster] = std::byte{spc != 0 ? spc : std::uint8_t{8}};
    const std::uint8_t id[] = {0x3b, 0xd6, 0x67, 0x49, 0x29, 0x2e, 0xd8, 0x4a,
                               0x83, 0x99, 0xf6, 0xa3, 0x39, 0xe3, 0xd0, 0x01};
    std::memcpy(header.data() + fve::header::kIdentifier, id, sizeof(id));
    for (std::size_t i = 0; i < 3; ++i) {
        Put(header, fve::header::kMetadataOffsets + 8 * i, made.metadataOffsets[i], 8);
    }
    Put(header, 0x1FE, 0xAA55, 2);
    ok = ok && writeAt(0, header);
    ::close(in);
    ok = ::close(out) == 0 && ok;
    if (!ok) {
        why = "cannot write " + outPath;
    }
    return ok;
}

} // namespace lorvex::test

#pragma once

#include "ondisk/FveMetadata.h"
#include "platform/BitLockerCrypto.h"
#include "platform/BitLockerKey.h"
#include "platform/ContainerImage.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace lorvex::platform {

// Reads bytes of the region a volume lies in (a partition, a whole image, a
// disk in a container): returns how many it copied, short at the end or at
// a read error. Safe to call from several threads at once.
using RegionReader = std::function<std::size_t(std::uint64_t offset, std::span<std::byte> out)>;

// Where BitLocker keeps what is not the volume's own data, and how the rest
// is read. The decrypted volume reads as the region does, but for these.
struct BitLockerLayout {
    std::uint64_t size = 0; // the volume's bytes: the region's
    std::uint32_t sectorBytes = 512;
    std::uint32_t clusterBytes = 4096; // the header's: where the metadata lives is counted in them
    // Bytes from the start that are encrypted; the rest is still plain, as
    // encryption left it when it stopped part way.
    std::uint64_t encryptedSize = 0;
    // The three metadata blocks, each ondisk::fve::block::kReserved bytes,
    // read as zeros.
    std::array<std::uint64_t, 3> metadataOffsets{};
    // The volume's first sectors, moved aside to make room for BitLocker's
    // header: the first `movedSize` bytes are read from `movedOffset`, and
    // the moved copy itself reads as zeros. Zero when nothing was moved.
    std::uint64_t movedOffset = 0;
    std::uint64_t movedSize = 0;
};

// One key protector, as --info and the window name it.
struct BitLockerProtector {
    std::uint16_t protection = 0;
    ondisk::Guid id{};
};

// A BitLocker volume's metadata, read from its region: what it is, how it is
// protected, and the unlocking. Nothing here writes.
class BitLockerVolume {
  public:
    // Reads the volume header and the three metadata blocks. nullptr with an
    // empty `why` when the region holds no BitLocker volume; nullptr with the
    // reason, for people, when it holds one whose metadata cannot be read (no
    // copy of the three decodes, the volume is cut short before them).
    static std::unique_ptr<BitLockerVolume> Open(const RegionReader& read, std::uint64_t size,
                                                 std::string& why);

    [[nodiscard]] const BitLockerLayout& layout() const { return layout_; }
    [[nodiscard]] ondisk::FveLayout kind() const { return header_.layout; }
    [[nodiscard]] std::uint16_t method() const { return metadata_.method; }
    [[nodiscard]] const ondisk::Guid& volumeId() const { return metadata_.volumeId; }
    [[nodiscard]] const std::string& description() const { return metadata_.description; }
    [[nodiscard]] std::uint64_t created() const { return metadata_.created; }
    [[nodiscard]] const std::vector<BitLockerProtector>& protectors() const { return protectors_; }
    // What is odd about the metadata but did not stop its reading: copies
    // that disagree or do not decode. For --info and the window.
    [[nodiscard]] const std::vector<std::string>& notes() const { return notes_; }
    // Whether a protector of this kind is among the volume's.
    [[nodiscard]] bool Has(std::uint16_t protection) const;
    // Whether it opens with no key at all: its protection is suspended, and
    // a clear key protector holds the master key.
    [[nodiscard]] bool OpensWithoutKey() const { return Has(ondisk::fve::protection::kClearKey); }
    // Why it cannot be decrypted whatever the key, or empty.
    [[nodiscard]] std::string Unreadable() const;

    enum class UnlockStatus {
        Unlocked,
        WrongKey,    // no protector of the key's kind opens with it
        NoProtector, // the volume has no protector of the key's kind
        Unreadable,  // opened, but the volume cannot be decrypted (see why)
    };
    struct Unlocked {
        std::shared_ptr<const SectorCipher> cipher;
        Secret volumeKey;      // the FVEK as stored, for a second reader's check
        std::string protector; // the kind and id of the protector that opened
    };
    // Unlocks with `key`, or with the clear key when `key` is null. The
    // reason, for people and without the key, in `why`.
    UnlockStatus Unlock(const BitLockerKey* key, Unlocked& out, std::string& why) const;

    // "password, recovery password" and so on: the kinds, in order.
    [[nodiscard]] std::string ProtectorList() const;

  private:
    BitLockerVolume() = default;
    // The master key from one protector with the key it takes, or nullopt
    // when the MAC says the key is not the one.
    std::optional<Secret> OpenProtector(const ondisk::FveProtector& p,
                                        std::span<const std::uint8_t> key) const;
    // The master key from the first protector of `kind` that opens with the
    // key given: a clear key, the startup key `startup`, or a password whose
    // stretching is `hash`. `opened` is that protector; `otherStartupKey`
    // says the startup key was made for a protector the volume lacks.
    std::optional<Secret> OpenMasterKey(std::uint16_t kind,
                                        const std::optional<ondisk::FveStartupKey>& startup,
                                        const std::optional<Secret>& hash,
                                        const ondisk::FveProtector*& opened,
                                        bool& otherStartupKey) const;
    // With the master key: the volume key unsealed and its cipher made, into
    // `out`; Unreadable, with why, when the volume cannot be decrypted.
    UnlockStatus OpenVolumeKey(const Secret& masterKey, Unlocked& out, std::string& why) const;

    ondisk::FveVolumeHeader header_;
    ondisk::FveMetadata metadata_;
    BitLockerLayout layout_;
    std::vector<BitLockerProtector> protectors_;
    std::vector<std::string> notes_;
};

// The decrypted volume, a sector at a time: reads of its first sectors come
// from where BitLocker moved them, the metadata and the moved copy read as
// zeros, sectors past the encrypted size as they are. Serves several threads
// at once.
class BitLockerDecoder final : public ContainerDecoder {
  public:
    BitLockerDecoder(RegionReader read, const BitLockerLayout& layout,
                     std::shared_ptr<const SectorCipher> cipher);

    bool Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) override;
    [[nodiscard]] bool concurrent() const override { return true; }

  private:
    // Whole sectors from `physical` of the region into `out`, decrypted
    // where they are encrypted.
    bool ReadSectors(std::uint64_t physical, std::span<std::byte> out, std::string& why) const;
    bool DecodeAligned(std::uint64_t offset, std::span<std::byte> out, std::string& why) const;

    RegionReader read_;
    BitLockerLayout layout_;
    std::shared_ptr<const SectorCipher> cipher_;
    // [start, end) of what reads as zeros, sorted.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> zeros_;
};

} // namespace lorvex::platform

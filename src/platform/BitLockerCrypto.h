#pragma once

#include "ondisk/FveMetadata.h"
#include "platform/BitLockerKey.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lorvex::platform {

// BitLocker's cryptography, done by OpenSSL's libcrypto: the hashes and the
// stretching that turn a password into a key, the AES-CCM that seals the
// master and volume keys, and the sector ciphers (AES-CBC with the
// sector's offset as its IV, with or without the diffuser, and AES-XTS).

std::array<std::uint8_t, 32> Sha256(std::span<const std::uint8_t> bytes);

// The key a password or a recovery password protects its master key with:
// its hash stretched with the protector's salt, 2^20 rounds of SHA-256.
Secret StretchKey(std::span<const std::uint8_t> hash, const std::array<std::uint8_t, 16>& salt);

// Opens an AES-CCM sealed key with a 256-bit `key`: the plaintext, or nullopt
// when the MAC does not check (the key is not the one it was sealed with).
std::optional<Secret> Unseal(std::span<const std::uint8_t> key, const ondisk::FveSealedKey& sealed);

// The reverse, for the tools that make test volumes: `plain` sealed with
// `key` under `nonce`.
ondisk::FveSealedKey Seal(std::span<const std::uint8_t> key,
                          const std::array<std::uint8_t, 12>& nonce,
                          std::span<const std::uint8_t> plain);

// Decrypts a volume's sectors. Safe to use from several threads at once: each
// call takes a set of cipher contexts of its own from a small pool.
class SectorCipher {
  public:
    SectorCipher(const SectorCipher&) = delete;
    SectorCipher& operator=(const SectorCipher&) = delete;
    ~SectorCipher();

    // For the volume key `key` of `method` (see ondisk::VolumeKeyBytes),
    // sectors of `sectorBytes` bytes. nullptr with the reason in `why`.
    static std::unique_ptr<SectorCipher> Create(std::uint16_t method,
                                                std::span<const std::uint8_t> key,
                                                std::uint32_t sectorBytes, std::string& why);

    // Decrypts whole sectors in place: data.size() is a multiple of the
    // sector size, and `offset`, a multiple of it too, is where the first
    // of them lies on the volume (BitLocker's IVs and tweaks come from it).
    bool Decrypt(std::uint64_t offset, std::span<std::byte> data) const;

    // The reverse, for the tools that make test volumes.
    bool Encrypt(std::uint64_t offset, std::span<std::byte> data) const;

    [[nodiscard]] std::uint32_t sectorBytes() const { return sectorBytes_; }

  private:
    struct Contexts;
    SectorCipher() = default;
    std::unique_ptr<Contexts> Take() const;
    [[nodiscard]] bool Xts() const;
    [[nodiscard]] std::span<const std::uint8_t> DataKey() const;
    void Give(std::unique_ptr<Contexts> contexts) const;
    bool Run(std::uint64_t offset, std::span<std::byte> data, bool decrypt) const;
    // The IVs (XTS: first tweaks) of `sectors` sectors from `offset`, and
    // the diffuser's sector keys after them, into the contexts' blocks.
    bool MakeSectorBlocks(Contexts& c, std::uint64_t offset, std::size_t sectors) const;
    // Sector `i` of `sectors` XORed with its sector key (the diffuser's).
    void XorSectorKey(const Contexts& c, std::byte* sector, std::size_t i,
                      std::size_t sectors) const;
    // The diffuser run on a sector, or undone.
    static void Diffuse(Contexts& c, std::byte* sector, bool undo);
    bool EncryptSectors(Contexts& c, std::uint64_t offset, std::span<std::byte> data) const;
    bool DecryptXts(Contexts& c, std::span<std::byte> data) const;
    bool DecryptXtsBySector(Contexts& c, std::uint64_t offset, std::span<std::byte> data) const;
    bool DecryptCbc(Contexts& c, std::span<std::byte> data) const;

    std::uint16_t method_ = 0;
    std::uint32_t sectorBytes_ = 512;
    Secret key_;       // the data key (both halves for XTS)
    Secret sectorKey_; // the diffuser's sector key's key
    mutable std::mutex mutex_;
    mutable std::vector<std::unique_ptr<Contexts>> pool_;
};

// The diffuser's two halves, on one sector's 32-bit words: what decryption
// runs after AES-CBC (B, then A), and their inverses.
void DiffuserDecrypt(std::span<std::uint32_t> words);
void DiffuserEncrypt(std::span<std::uint32_t> words);

} // namespace lorvex::platform

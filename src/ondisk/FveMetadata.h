#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lorvex::ondisk {

// BitLocker's full-volume-encryption (FVE) metadata: the volume header that
// stands where the file system's boot sector stood, the three copies of the
// metadata block it points to, and the entries of each block (the key
// protectors, the sealed volume key, the place the boot sectors were moved
// to). Everything here is read from untrusted bytes: bounded reads, every
// length checked against the bytes that hold it.
namespace fve {

// The volume header, the volume's first sector.
namespace header {
inline constexpr std::size_t kOemId = 0x03;             // 8 bytes, "-FVE-FS-" or "MSWIN4.1"
inline constexpr std::size_t kBytesPerSector = 0x0B;    // u16
inline constexpr std::size_t kSectorsPerCluster = 0x0D; // u8
inline constexpr std::size_t kVistaMetadataLcn = 0x38;  // u64, Vista: the first block's cluster
inline constexpr std::size_t kIdentifier = 0xA0;        // 16-byte GUID, Windows 7 on
inline constexpr std::size_t kMetadataOffsets = 0xB0;   // 3 x u64, bytes from the volume's start
// A To Go volume keeps a FAT boot sector that older Windows can mount to
// find its reader; the same fields then lie further on.
inline constexpr std::size_t kToGoIdentifier = 0x1A8;
inline constexpr std::size_t kToGoMetadataOffsets = 0x1B8;
inline constexpr std::size_t kSize = 512;
} // namespace header

// The header of each metadata block.
namespace block {
inline constexpr std::size_t kSignature = 0x00;     // 8 bytes, "-FVE-FS-"
inline constexpr std::size_t kVersion = 0x0A;       // u16: 1 Vista, 2 Windows 7 on
inline constexpr std::size_t kEncryptedSize = 0x10; // u64, bytes encrypted from the start
inline constexpr std::size_t kHeaderSectors = 0x1C; // u32, boot sectors moved
inline constexpr std::size_t kBlockOffsets = 0x20;  // 3 x u64, as in the volume header
inline constexpr std::size_t kMovedHeader = 0x38;   // u64, where the boot sectors were moved
inline constexpr std::size_t kSize = 0x40;
// Each block reserves this much of the volume, whatever its entries use.
inline constexpr std::uint64_t kReserved = 0x10000;
} // namespace block

// The metadata header, right after a block's header.
namespace metadata {
inline constexpr std::size_t kSize = 0x00;         // u32, header and entries
inline constexpr std::size_t kVersion = 0x04;      // u32, 1
inline constexpr std::size_t kHeaderSize = 0x08;   // u32, 0x30
inline constexpr std::size_t kSizeCopy = 0x0C;     // u32
inline constexpr std::size_t kVolumeId = 0x10;     // 16-byte GUID
inline constexpr std::size_t kNonceCounter = 0x20; // u32
inline constexpr std::size_t kEncryption = 0x24;   // u16 method (the u32's low half)
inline constexpr std::size_t kCreationTime = 0x28; // u64 FILETIME
inline constexpr std::size_t kHeaderBytes = 0x30;
} // namespace metadata

// Each entry (a "datum"), at the top level or nested in another.
namespace entry {
inline constexpr std::size_t kSize = 0x00;      // u16, header included
inline constexpr std::size_t kType = 0x02;      // u16, what the entry is for
inline constexpr std::size_t kValueType = 0x04; // u16, how its value is laid out
inline constexpr std::size_t kVersion = 0x06;   // u16
inline constexpr std::size_t kHeaderBytes = 0x08;
} // namespace entry

// What an entry is for (its type).
namespace entrytype {
inline constexpr std::uint16_t kProperty = 0x0000;
inline constexpr std::uint16_t kVolumeMasterKey = 0x0002;
inline constexpr std::uint16_t kVolumeKey = 0x0003; // the FVEK, sealed with the master key
inline constexpr std::uint16_t kStartupKey = 0x0006;
inline constexpr std::uint16_t kDescription = 0x0007;
inline constexpr std::uint16_t kVolumeHeaderBlock = 0x000F;
} // namespace entrytype

// How an entry's value is laid out (its value type).
namespace valuetype {
inline constexpr std::uint16_t kKey = 0x0001;        // u32 method, key bytes
inline constexpr std::uint16_t kString = 0x0002;     // UTF-16LE
inline constexpr std::uint16_t kStretchKey = 0x0003; // u32 method, 16-byte salt, entries
inline constexpr std::uint16_t kUseKey = 0x0004;
inline constexpr std::uint16_t kSealedKey = 0x0005;     // 12-byte nonce, 16-byte MAC, ciphertext
inline constexpr std::uint16_t kMasterKey = 0x0008;     // GUID, time, protection, entries
inline constexpr std::uint16_t kExternalKey = 0x0009;   // GUID, time, entries
inline constexpr std::uint16_t kOffsetAndSize = 0x000F; // u64 offset, u64 size
} // namespace valuetype

// Offsets inside the values.
namespace value {
inline constexpr std::size_t kKeyMethod = 0x00; // u32
inline constexpr std::size_t kKeyBytes = 0x04;
inline constexpr std::size_t kStretchSalt = 0x04; // 16 bytes
inline constexpr std::size_t kStretchEntries = 0x14;
inline constexpr std::size_t kSealedNonce = 0x00; // 12 bytes: FILETIME and a counter
inline constexpr std::size_t kSealedMac = 0x0C;   // 16 bytes
inline constexpr std::size_t kSealedData = 0x1C;
inline constexpr std::size_t kMasterKeyId = 0x00; // 16-byte GUID
inline constexpr std::size_t kMasterKeyTime = 0x10;
inline constexpr std::size_t kMasterKeyProtection = 0x1A; // u16
inline constexpr std::size_t kMasterKeyEntries = 0x1C;
inline constexpr std::size_t kExternalKeyId = 0x00;
inline constexpr std::size_t kExternalKeyEntries = 0x18;
inline constexpr std::size_t kOffset = 0x00;
inline constexpr std::size_t kLength = 0x08;
} // namespace value

// How a master key is protected.
namespace protection {
inline constexpr std::uint16_t kClearKey = 0x0000;
inline constexpr std::uint16_t kTpm = 0x0100;
inline constexpr std::uint16_t kStartupKey = 0x0200;
inline constexpr std::uint16_t kTpmAndPin = 0x0500;
inline constexpr std::uint16_t kRecoveryPassword = 0x0800;
inline constexpr std::uint16_t kSmartCard = 0x1000;
inline constexpr std::uint16_t kPassword = 0x2000;
} // namespace protection

// The volume's cipher.
namespace method {
inline constexpr std::uint16_t kAesCbc128Diffuser = 0x8000;
inline constexpr std::uint16_t kAesCbc256Diffuser = 0x8001;
inline constexpr std::uint16_t kAesCbc128 = 0x8002;
inline constexpr std::uint16_t kAesCbc256 = 0x8003;
inline constexpr std::uint16_t kAesXts128 = 0x8004;
inline constexpr std::uint16_t kAesXts256 = 0x8005;
} // namespace method

// The FVE metadata block is at most this long, and nested entries go this
// deep at most (a master key holds a stretch key that holds a sealed key).
inline constexpr std::size_t kMaxMetadata = block::kReserved - block::kSize;
inline constexpr int kMaxDepth = 4;

} // namespace fve

using Guid = std::array<std::uint8_t, 16>;

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", the first three groups stored
// little-endian, as Windows shows the GUIDs BitLocker keeps.
std::string FormatGuid(const Guid& guid);

enum class FveLayout {
    Standard, // Windows 7 on: the header is BitLocker's own, pointing at three blocks
    ToGo,     // a removable drive, behind a FAT boot sector
    Vista,    // the first version: an NTFS boot sector with its name changed
};

// The volume header as far as BitLocker's reader needs it.
struct FveVolumeHeader {
    FveLayout layout = FveLayout::Standard;
    std::uint32_t bytesPerSector = 0;
    std::uint32_t bytesPerCluster = 0;
    Guid identifier{};
    // Bytes from the volume's start. Vista names only the first; the
    // others come from the first block's header.
    std::array<std::uint64_t, 3> metadataOffsets{};
    // The identifier says the encryption went on as data was written
    // ("encrypt on write"): what is encrypted is then in a log, not a size.
    bool encryptOnWrite = false;
};

// Whether the first sector carries a BitLocker volume header; nullopt when it
// does not, or when its sector or cluster size is none a volume has. Where
// the offsets point is for the reader of the blocks to check: a volume cut
// short is still BitLocker's, and said so.
std::optional<FveVolumeHeader> ParseFveVolumeHeader(std::span<const std::byte> sector);

// The header of a metadata block.
struct FveBlockHeader {
    std::uint16_t version = 0;
    std::uint64_t encryptedSize = 0;
    std::uint32_t headerSectors = 0;
    std::array<std::uint64_t, 3> blockOffsets{};
    std::uint64_t movedHeaderOffset = 0;
};
std::optional<FveBlockHeader> ParseFveBlockHeader(std::span<const std::byte> bytes);

// A key sealed with AES-CCM: the nonce, then the MAC and the ciphertext.
struct FveSealedKey {
    std::array<std::uint8_t, 12> nonce{};
    std::array<std::uint8_t, 16> mac{};
    std::vector<std::uint8_t> data;
};

// A volume master key entry: one key protector.
struct FveProtector {
    Guid id{};
    std::uint64_t modified = 0; // FILETIME
    std::uint16_t protection = 0;
    std::optional<std::array<std::uint8_t, 16>> salt; // of the stretch key
    std::vector<std::uint8_t> clearKey;               // a clear key protector's own key
    std::optional<FveSealedKey> sealedMasterKey;
};

struct FveMetadata {
    Guid volumeId{};
    std::uint32_t nonceCounter = 0;
    std::uint16_t method = 0;
    std::uint64_t created = 0; // FILETIME
    std::string description;   // UTF-8
    std::vector<FveProtector> protectors;
    std::optional<FveSealedKey> sealedVolumeKey;
    // Where the volume's first sectors were moved to, from its own entry.
    std::optional<std::uint64_t> movedHeaderOffset;
    std::optional<std::uint64_t> movedHeaderSize;
};

// Why metadata did not decode, for people.
enum class FveMetadataError { None, Truncated, BadHeader, BadSize, BadEntry };
std::string_view FveMetadataErrorText(FveMetadataError error);

// Decodes the metadata (header and entries) from `bytes`, which start at the
// metadata header and run to the end of the block. Entries of an unknown kind
// are skipped; an entry whose length leaves the metadata ends the decoding as
// damage.
FveMetadataError ParseFveMetadata(std::span<const std::byte> bytes, FveMetadata& out);

// A key value as it is once unsealed (an entry of value type kKey): the
// method it is for and its bytes.
struct FveKey {
    std::uint16_t method = 0;
    std::vector<std::uint8_t> bytes;
};
std::optional<FveKey> ParseFveKeyEntry(std::span<const std::byte> bytes);

// A startup key file (.BEK): a metadata header and an external key entry
// holding the key, named by the protector's GUID.
struct FveStartupKey {
    Guid id{};
    std::vector<std::uint8_t> key;
};
std::optional<FveStartupKey> ParseFveStartupKey(std::span<const std::byte> bytes);

// The protector's kind in a user's words: "password", "recovery password",
// "startup key", "TPM", "TPM and PIN", "smart card", "clear key", or
// "unknown (0x....)".
std::string ProtectionName(std::uint16_t protection);
// "AES-XTS 128", "AES-CBC 256 with diffuser", ... or "unknown (0x....)".
std::string MethodName(std::uint16_t method);
// The bytes of the volume key a method needs: the key and, for the
// diffuser, the sector key's key beside it; 0 for an unknown method.
std::size_t VolumeKeyBytes(std::uint16_t method);

} // namespace lorvex::ondisk

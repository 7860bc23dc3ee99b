#include "ondisk/FveMetadata.h"

#include "ondisk/BootSector.h"
#include "ondisk/ByteReader.h"
#include "ondisk/Utf16.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

namespace lorvex::ondisk {

namespace {

constexpr char kFveSignature[] = "-FVE-FS-";
constexpr char kToGoOemId[] = "MSWIN4.1";
constexpr std::size_t kSignatureBytes = 8;

// 4967d63b-2e29-4ad8-8399-f6a339e3d001: a volume encrypted whole.
constexpr Guid kBitLockerId = {0x3b, 0xd6, 0x67, 0x49, 0x29, 0x2e, 0xd8, 0x4a,
                               0x83, 0x99, 0xf6, 0xa3, 0x39, 0xe3, 0xd0, 0x01};
// 92a84d3b-dd80-4d0e-9e4e-b1e3284eaed8: encrypted as data is written.
constexpr Guid kEncryptOnWriteId = {0x3b, 0x4d, 0xa8, 0x92, 0x80, 0xdd, 0x0e, 0x4d,
                                    0x9e, 0x4e, 0xb1, 0xe3, 0x28, 0x4e, 0xae, 0xd8};

bool Matches(std::span<const std::byte> bytes, std::size_t at, const char* text) {
    const ByteReader r(bytes);
    const auto field = r.sub(at, kSignatureBytes);
    return !field.empty() && std::memcmp(field.data(), text, kSignatureBytes) == 0;
}

std::optional<Guid> ReadGuid(const ByteReader& r, std::size_t at) {
    const auto field = r.sub(at, sizeof(Guid));
    if (field.empty()) {
        return std::nullopt;
    }
    Guid g{};
    std::memcpy(g.data(), field.data(), g.size());
    return g;
}

template <std::size_t N>
std::optional<std::array<std::uint8_t, N>> ReadArray(const ByteReader& r, std::size_t at) {
    const auto field = r.sub(at, N);
    if (field.empty()) {
        return std::nullopt;
    }
    std::array<std::uint8_t, N> out{};
    std::memcpy(out.data(), field.data(), N);
    return out;
}

std::vector<std::uint8_t> ToVector(std::span<const std::byte> bytes) {
    std::vector<std::uint8_t> out(bytes.size());
    if (!bytes.empty()) {
        std::memcpy(out.data(), bytes.data(), bytes.size());
    }
    return out;
}

// One entry as the walk hands it over: its header fields and its value.
struct Entry {
    std::uint16_t type = 0;
    std::uint16_t valueType = 0;
    std::span<const std::byte> value;
};

// Walks the entries laid end to end in `bytes`. A zero size ends the list
// (the rest is padding); so does room for less than a header. False when an
// entry's size is shorter than its header or runs past `bytes`: the list is
// damaged there, and what came before it has been handed over.
bool WalkEntries(std::span<const std::byte> bytes, const std::function<void(const Entry&)>& each) {
    const ByteReader r(bytes);
    std::size_t at = 0;
    while (r.fits(at, fve::entry::kHeaderBytes)) {
        const std::uint16_t size = *r.u16(at + fve::entry::kSize);
        if (size == 0) {
            return true;
        }
        if (size < fve::entry::kHeaderBytes || !r.fits(at, size)) {
            return false;
        }
        const std::uint16_t version = *r.u16(at + fve::entry::kVersion);
        // Windows 11 writes version 3 entries beside version 1 ones, laid
        // out alike; a version past those is no layout we know.
        if (version >= 1 && version <= 3) {
            each(Entry{*r.u16(at + fve::entry::kType), *r.u16(at + fve::entry::kValueType),
                       r.sub(at + fve::entry::kHeaderBytes, size - fve::entry::kHeaderBytes)});
        }
        at += size;
    }
    return true;
}

std::optional<FveSealedKey> ParseSealed(std::span<const std::byte> value) {
    const ByteReader r(value);
    if (r.size() <= fve::value::kSealedData) {
        return std::nullopt;
    }
    FveSealedKey key;
    key.nonce = *ReadArray<12>(r, fve::value::kSealedNonce);
    key.mac = *ReadArray<16>(r, fve::value::kSealedMac);
    key.data = ToVector(value.subspan(fve::value::kSealedData));
    return key;
}

bool ParseProtector(std::span<const std::byte> value, FveProtector& out) {
    const ByteReader r(value);
    if (r.size() < fve::value::kMasterKeyEntries) {
        return false;
    }
    out.id = *ReadGuid(r, fve::value::kMasterKeyId);
    out.modified = *r.u64(fve::value::kMasterKeyTime);
    out.protection = *r.u16(fve::value::kMasterKeyProtection);
    // Only the protector's own entries count: a stretch key nests sealed
    // keys of its own, which are not the master key.
    return WalkEntries(value.subspan(fve::value::kMasterKeyEntries), [&](const Entry& e) {
        const ByteReader v(e.value);
        if (e.valueType == fve::valuetype::kStretchKey && !out.salt) {
            out.salt = ReadArray<16>(v, fve::value::kStretchSalt);
        } else if (e.valueType == fve::valuetype::kKey && out.clearKey.empty() &&
                   v.size() > fve::value::kKeyBytes) {
            out.clearKey = ToVector(e.value.subspan(fve::value::kKeyBytes));
        } else if (e.valueType == fve::valuetype::kSealedKey && !out.sealedMasterKey) {
            out.sealedMasterKey = ParseSealed(e.value);
        }
    });
}

} // namespace

std::string FormatGuid(const Guid& g) {
    char text[40];
    std::snprintf(text, sizeof(text),
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                  g[14], g[15]);
    return text;
}

std::optional<FveVolumeHeader> ParseFveVolumeHeader(std::span<const std::byte> sector) {
    const ByteReader r(sector);
    if (r.size() < fve::header::kSize) {
        return std::nullopt;
    }
    FveVolumeHeader h;
    std::size_t idAt = fve::header::kIdentifier;
    std::size_t offsetsAt = fve::header::kMetadataOffsets;
    if (Matches(sector, fve::header::kOemId, kToGoOemId)) {
        h.layout = FveLayout::ToGo;
        idAt = fve::header::kToGoIdentifier;
        offsetsAt = fve::header::kToGoMetadataOffsets;
    } else if (!Matches(sector, fve::header::kOemId, kFveSignature)) {
        return std::nullopt;
    }
    h.identifier = *ReadGuid(r, idAt);
    if (h.identifier == kEncryptOnWriteId) {
        h.encryptOnWrite = true;
    } else if (h.identifier != kBitLockerId) {
        // Vista's header has no identifier: its boot code runs on there.
        // A FAT boot sector named MSWIN4.1 without one is only FAT.
        if (h.layout == FveLayout::ToGo) {
            return std::nullopt;
        }
        h.layout = FveLayout::Vista;
    }
    const std::uint16_t bps = *r.u16(fve::header::kBytesPerSector);
    if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) {
        return std::nullopt;
    }
    const auto spc = DecodeSectorsPerCluster(*r.u8(fve::header::kSectorsPerCluster));
    if (!spc || static_cast<std::uint64_t>(*spc) * bps > kMaxClusterSize) {
        return std::nullopt;
    }
    h.bytesPerSector = bps;
    h.bytesPerCluster = *spc * bps;
    if (h.layout == FveLayout::Vista) {
        const std::uint64_t lcn = *r.u64(fve::header::kVistaMetadataLcn);
        if (lcn > UINT64_MAX / h.bytesPerCluster) {
            return std::nullopt;
        }
        h.metadataOffsets[0] = lcn * h.bytesPerCluster;
        return h;
    }
    for (std::size_t i = 0; i < h.metadataOffsets.size(); ++i) {
        h.metadataOffsets[i] = *r.u64(offsetsAt + 8 * i);
    }
    return h;
}

std::optional<FveBlockHeader> ParseFveBlockHeader(std::span<const std::byte> bytes) {
    const ByteReader r(bytes);
    if (r.size() < fve::block::kSize || !Matches(bytes, fve::block::kSignature, kFveSignature)) {
        return std::nullopt;
    }
    FveBlockHeader h;
    h.version = *r.u16(fve::block::kVersion);
    if (h.version != 1 && h.version != 2) {
        return std::nullopt;
    }
    h.encryptedSize = *r.u64(fve::block::kEncryptedSize);
    h.headerSectors = *r.u32(fve::block::kHeaderSectors);
    for (std::size_t i = 0; i < h.blockOffsets.size(); ++i) {
        h.blockOffsets[i] = *r.u64(fve::block::kBlockOffsets + 8 * i);
    }
    h.movedHeaderOffset = *r.u64(fve::block::kMovedHeader);
    return h;
}

std::string_view FveMetadataErrorText(FveMetadataError error) {
    switch (error) {
    case FveMetadataError::None:
        return "";
    case FveMetadataError::Truncated:
        return "its metadata is cut short";
    case FveMetadataError::BadHeader:
        return "its metadata header is damaged";
    case FveMetadataError::BadSize:
        return "its metadata claims a size it does not have";
    case FveMetadataError::BadEntry:
        return "an entry of its metadata has a length that does not fit";
    }
    return "";
}

FveMetadataError ParseFveMetadata(std::span<const std::byte> bytes, FveMetadata& out) {
    out = FveMetadata{};
    const ByteReader r(bytes);
    if (r.size() < fve::metadata::kHeaderBytes) {
        return FveMetadataError::Truncated;
    }
    const std::uint32_t size = *r.u32(fve::metadata::kSize);
    if (*r.u32(fve::metadata::kVersion) != 1 ||
        *r.u32(fve::metadata::kHeaderSize) != fve::metadata::kHeaderBytes) {
        return FveMetadataError::BadHeader;
    }
    if (size < fve::metadata::kHeaderBytes || size > fve::kMaxMetadata ||
        *r.u32(fve::metadata::kSizeCopy) != size) {
        return FveMetadataError::BadSize;
    }
    if (size > r.size()) {
        return FveMetadataError::Truncated;
    }
    out.volumeId = *ReadGuid(r, fve::metadata::kVolumeId);
    out.nonceCounter = *r.u32(fve::metadata::kNonceCounter);
    out.method = *r.u16(fve::metadata::kEncryption);
    out.created = *r.u64(fve::metadata::kCreationTime);

    bool damaged = false;
    const bool whole = WalkEntries(
        bytes.subspan(fve::metadata::kHeaderBytes, size - fve::metadata::kHeaderBytes),
        [&](const Entry& e) {
            const ByteReader v(e.value);
            if (e.type == fve::entrytype::kVolumeMasterKey &&
                e.valueType == fve::valuetype::kMasterKey) {
                FveProtector p;
                if (!ParseProtector(e.value, p)) {
                    damaged = true;
                }
                out.protectors.push_back(std::move(p));
            } else if (e.type == fve::entrytype::kVolumeKey &&
                       e.valueType == fve::valuetype::kSealedKey && !out.sealedVolumeKey) {
                out.sealedVolumeKey = ParseSealed(e.value);
            } else if (e.type == fve::entrytype::kDescription &&
                       e.valueType == fve::valuetype::kString && out.description.empty()) {
                std::u16string text = ReadUtf16(e.value);
                // The string ends with its terminator.
                const auto end = text.find(u'\0');
                if (end != std::u16string::npos) {
                    text.resize(end);
                }
                out.description = ToUtf8(text);
            } else if (e.type == fve::entrytype::kVolumeHeaderBlock &&
                       e.valueType == fve::valuetype::kOffsetAndSize && !out.movedHeaderOffset) {
                const auto offset = v.u64(fve::value::kOffset);
                const auto length = v.u64(fve::value::kLength);
                if (offset && length) {
                    out.movedHeaderOffset = offset;
                    out.movedHeaderSize = length;
                }
            }
        });
    return whole && !damaged ? FveMetadataError::None : FveMetadataError::BadEntry;
}

std::optional<FveKey> ParseFveKeyEntry(std::span<const std::byte> bytes) {
    const ByteReader r(bytes);
    const auto size = r.u16(fve::entry::kSize);
    const std::size_t keyAt = fve::entry::kHeaderBytes + fve::value::kKeyBytes;
    if (!size || *size <= keyAt || !r.fits(0, *size) ||
        *r.u16(fve::entry::kValueType) != fve::valuetype::kKey) {
        return std::nullopt;
    }
    FveKey key;
    key.method = *r.u16(fve::entry::kHeaderBytes + fve::value::kKeyMethod);
    key.bytes = ToVector(r.sub(keyAt, *size - keyAt));
    return key;
}

std::optional<FveStartupKey> ParseFveStartupKey(std::span<const std::byte> bytes) {
    const ByteReader r(bytes);
    if (r.size() < fve::metadata::kHeaderBytes) {
        return std::nullopt;
    }
    const std::uint32_t size = *r.u32(fve::metadata::kSize);
    if (*r.u32(fve::metadata::kVersion) != 1 ||
        *r.u32(fve::metadata::kHeaderSize) != fve::metadata::kHeaderBytes ||
        size < fve::metadata::kHeaderBytes || size > r.size()) {
        return std::nullopt;
    }
    std::optional<FveStartupKey> found;
    WalkEntries(bytes.subspan(fve::metadata::kHeaderBytes, size - fve::metadata::kHeaderBytes),
                [&](const Entry& e) {
                    const ByteReader v(e.value);
                    if (found || e.valueType != fve::valuetype::kExternalKey ||
                        v.size() < fve::value::kExternalKeyEntries) {
                        return;
                    }
                    FveStartupKey key;
                    key.id = *ReadGuid(v, fve::value::kExternalKeyId);
                    WalkEntries(
                        e.value.subspan(fve::value::kExternalKeyEntries), [&](const Entry& inner) {
                            if (inner.valueType == fve::valuetype::kKey && key.key.empty() &&
                                inner.value.size() > fve::value::kKeyBytes) {
                                key.key = ToVector(inner.value.subspan(fve::value::kKeyBytes));
                            }
                        });
                    if (!key.key.empty()) {
                        found = std::move(key);
                    }
                });
    return found;
}

std::string ProtectionName(std::uint16_t kind) {
    switch (kind) {
    case fve::protection::kClearKey:
        return "clear key";
    case fve::protection::kTpm:
        return "TPM";
    case fve::protection::kStartupKey:
        return "startup key";
    case fve::protection::kTpmAndPin:
        return "TPM and PIN";
    case fve::protection::kRecoveryPassword:
        return "recovery password";
    case fve::protection::kSmartCard:
        return "smart card";
    case fve::protection::kPassword:
        return "password";
    default:
        break;
    }
    char text[24];
    std::snprintf(text, sizeof(text), "unknown (0x%04x)", kind);
    return text;
}

std::string MethodName(std::uint16_t m) {
    switch (m) {
    case fve::method::kAesCbc128Diffuser:
        return "AES-CBC 128 with diffuser";
    case fve::method::kAesCbc256Diffuser:
        return "AES-CBC 256 with diffuser";
    case fve::method::kAesCbc128:
        return "AES-CBC 128";
    case fve::method::kAesCbc256:
        return "AES-CBC 256";
    case fve::method::kAesXts128:
        return "AES-XTS 128";
    case fve::method::kAesXts256:
        return "AES-XTS 256";
    default:
        break;
    }
    char text[24];
    std::snprintf(text, sizeof(text), "unknown (0x%04x)", m);
    return text;
}

std::size_t VolumeKeyBytes(std::uint16_t m) {
    switch (m) {
    case fve::method::kAesCbc128Diffuser:
        return 48; // the key at 0, the sector key's key at 32
    case fve::method::kAesCbc256Diffuser:
        return 64;
    case fve::method::kAesCbc128:
        return 16;
    case fve::method::kAesCbc256:
        return 32;
    case fve::method::kAesXts128:
        return 32; // the data key, then the tweak key
    case fve::method::kAesXts256:
        return 64;
    default:
        return 0;
    }
}

} // namespace lorvex::ondisk

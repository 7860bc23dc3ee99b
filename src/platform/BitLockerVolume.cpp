#include "platform/BitLockerVolume.h"

#include "ondisk/ByteReader.h"

#include <algorithm>
#include <cstring>

namespace lorvex::platform {

namespace {

namespace fve = ondisk::fve;

std::string Copy(std::size_t index) {
    return "copy " + std::to_string(index + 1);
}

// The password's and the recovery password's hashes, as BitLocker stretches
// them.
Secret PasswordHash(const BitLockerKey& key) {
    const auto once = Sha256(key.secret.bytes());
    if (key.kind == BitLockerKey::Kind::RecoveryPassword) {
        return Secret(once);
    }
    const auto twice = Sha256(once);
    return Secret(twice);
}

// One copy of the metadata, decoded.
struct DecodedCopy {
    std::size_t index = 0;
    ondisk::FveBlockHeader block;
    ondisk::FveMetadata metadata;
    std::vector<std::byte> bytes; // the block as far as its metadata goes
};

// Every copy of the metadata at `offsets` that decodes, in order; what is
// wrong with each of the others in `problems`. Vista's header names only the
// first block, whose own header names the others: `offsets` takes them.
std::vector<DecodedCopy> DecodeCopies(const RegionReader& read, std::uint64_t size,
                                      const ondisk::FveVolumeHeader& header,
                                      std::array<std::uint64_t, 3>& offsets,
                                      std::vector<std::string>& problems) {
    std::vector<DecodedCopy> copies;
    std::vector<std::byte> buffer(fve::block::kReserved);
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const std::uint64_t at = offsets[i];
        if (at == 0) {
            problems.push_back(Copy(i) + " has no place");
            continue;
        }
        if (at >= size || size - at < fve::block::kSize + fve::metadata::kHeaderBytes) {
            problems.push_back(Copy(i) + " lies past the end of the volume (at byte " +
                               std::to_string(at) + " of " + std::to_string(size) +
                               "): the volume is cut short");
            continue;
        }
        const auto want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - at));
        const std::size_t got = read(at, std::span(buffer).first(want));
        const auto bytes = std::span<const std::byte>(buffer).first(got);
        const auto block = ondisk::ParseFveBlockHeader(bytes);
        if (!block) {
            problems.push_back(Copy(i) + " is not a metadata block (at byte " + std::to_string(at) +
                               ")");
            continue;
        }
        DecodedCopy d;
        d.index = i;
        d.block = *block;
        const auto error = ondisk::ParseFveMetadata(bytes.subspan(fve::block::kSize), d.metadata);
        if (error != ondisk::FveMetadataError::None) {
            problems.push_back(Copy(i) + ": " + std::string(ondisk::FveMetadataErrorText(error)));
            continue;
        }
        // Vista names only the first block; its header names the others.
        if (header.layout == ondisk::FveLayout::Vista && i == 0) {
            offsets[1] = block->blockOffsets[1];
            offsets[2] = block->blockOffsets[2];
        }
        // ParseFveMetadata checked that the metadata fits.
        const std::uint32_t metadataBytes =
            *ondisk::ByteReader(bytes.subspan(fve::block::kSize)).u32(fve::metadata::kSize);
        d.bytes.assign(bytes.begin(), bytes.begin() + fve::block::kSize + metadataBytes);
        copies.push_back(std::move(d));
    }
    return copies;
}

} // namespace

std::unique_ptr<BitLockerVolume> BitLockerVolume::Open(const RegionReader& read, std::uint64_t size,
                                                       std::string& why) {
    why.clear();
    std::array<std::byte, fve::header::kSize> first{};
    if (size < first.size() || read(0, first) != first.size()) {
        return nullptr;
    }
    const auto header = ondisk::ParseFveVolumeHeader(first);
    if (!header) {
        return nullptr;
    }
    std::unique_ptr<BitLockerVolume> v(new BitLockerVolume());
    v->header_ = *header;
    std::array<std::uint64_t, 3> offsets = header->metadataOffsets;

    // Each copy decoded on its own; the first that decodes is read, and the
    // others are compared with it.
    std::vector<std::string> problems;
    const std::vector<DecodedCopy> copies = DecodeCopies(read, size, *header, offsets, problems);
    if (copies.empty()) {
        why = "its BitLocker metadata cannot be read: ";
        for (std::size_t i = 0; i < problems.size(); ++i) {
            why += (i > 0 ? "; " : "") + problems[i];
        }
        return nullptr;
    }
    const DecodedCopy& chosen = copies.front();
    for (const auto& p : problems) {
        v->notes_.push_back("metadata " + p + "; " + Copy(chosen.index) + " is read");
    }
    for (std::size_t k = 1; k < copies.size(); ++k) {
        if (copies[k].bytes != chosen.bytes) {
            v->notes_.push_back("metadata " + Copy(copies[k].index) + " differs from " +
                                Copy(chosen.index) + ", which is read");
        }
    }
    v->metadata_ = chosen.metadata;
    for (const auto& p : v->metadata_.protectors) {
        v->protectors_.push_back({p.protection, p.id});
    }

    BitLockerLayout& l = v->layout_;
    l.size = size;
    l.sectorBytes = header->bytesPerSector;
    l.clusterBytes = header->bytesPerCluster;
    l.encryptedSize = chosen.block.encryptedSize;
    l.metadataOffsets = offsets;
    // Vista moved nothing: its header is the NTFS boot sector, renamed.
    if (chosen.block.version >= 2) {
        l.movedOffset = chosen.block.movedHeaderOffset;
        l.movedSize = static_cast<std::uint64_t>(chosen.block.headerSectors) * l.sectorBytes;
        if (v->metadata_.movedHeaderOffset && *v->metadata_.movedHeaderOffset != l.movedOffset) {
            v->notes_.push_back("the metadata's two records of where the boot sectors were "
                                "moved disagree; the block header's is read");
        }
    }
    return v;
}

bool BitLockerVolume::Has(std::uint16_t protection) const {
    return std::any_of(protectors_.begin(), protectors_.end(),
                       [&](const BitLockerProtector& p) { return p.protection == protection; });
}

std::string BitLockerVolume::ProtectorList() const {
    std::string out;
    for (const auto& p : protectors_) {
        const std::string name = ondisk::ProtectionName(p.protection);
        // Two recovery passwords are one kind to the reader.
        if ((", " + out + ", ").find(", " + name + ", ") != std::string::npos) {
            continue;
        }
        out += (out.empty() ? "" : ", ") + name;
    }
    return out.empty() ? "none" : out;
}

std::string BitLockerVolume::Unreadable() const {
    if (header_.layout == ondisk::FveLayout::Vista) {
        return "it was encrypted by Windows Vista, whose BitLocker Lorvex does not decrypt";
    }
    if (header_.encryptOnWrite) {
        return "its encryption was left part way, encrypting as data is written: which sectors "
               "are encrypted is kept in a log Lorvex does not read, and it is not opened rather "
               "than shown wrong";
    }
    if (ondisk::VolumeKeyBytes(metadata_.method) == 0) {
        return "its cipher is none BitLocker uses (" + ondisk::MethodName(metadata_.method) + ")";
    }
    const BitLockerLayout& l = layout_;
    if (l.movedSize > 0 &&
        (l.movedSize % l.sectorBytes != 0 || l.movedOffset % l.sectorBytes != 0 ||
         l.movedOffset >= l.size || l.movedSize > l.size - l.movedOffset)) {
        return "its metadata puts the volume's boot sectors (" + std::to_string(l.movedSize) +
               " bytes at byte " + std::to_string(l.movedOffset) + ") outside the volume of " +
               std::to_string(l.size) + " bytes";
    }
    if (l.encryptedSize % l.sectorBytes != 0) {
        return "its metadata says " + std::to_string(l.encryptedSize) +
               " bytes are encrypted, which is no whole number of sectors";
    }
    return {};
}

std::optional<Secret> BitLockerVolume::OpenProtector(const ondisk::FveProtector& p,
                                                     std::span<const std::uint8_t> key) const {
    if (!p.sealedMasterKey) {
        return std::nullopt;
    }
    auto plain = Unseal(key, *p.sealedMasterKey);
    if (!plain) {
        return std::nullopt;
    }
    auto entry = ondisk::ParseFveKeyEntry(std::as_bytes(plain->bytes()));
    if (!entry || entry->bytes.size() != 32) {
        return std::nullopt;
    }
    Secret masterKey(entry->bytes);
    std::fill(entry->bytes.begin(), entry->bytes.end(), std::uint8_t{0});
    return masterKey;
}

BitLockerVolume::UnlockStatus BitLockerVolume::Unlock(const BitLockerKey* key, Unlocked& out,
                                                      std::string& why) const {
    namespace protection = fve::protection;
    why.clear();
    std::uint16_t kind = protection::kClearKey;
    std::optional<ondisk::FveStartupKey> startup;
    if (key != nullptr) {
        switch (key->kind) {
        case BitLockerKey::Kind::Password:
            kind = protection::kPassword;
            break;
        case BitLockerKey::Kind::RecoveryPassword:
            kind = protection::kRecoveryPassword;
            break;
        case BitLockerKey::Kind::StartupKey:
            kind = protection::kStartupKey;
            startup = ondisk::ParseFveStartupKey(std::as_bytes(key->secret.bytes()));
            break;
        }
    }
    const std::string kindName = key != nullptr ? std::string(KeyKindName(key->kind)) : "clear key";
    if (!Has(kind)) {
        why = "it has no " + kindName + " protector (it has: " + ProtectorList() + ")";
        return UnlockStatus::NoProtector;
    }
    // Stretching costs a quarter of a second or more: done once a salt.
    std::optional<Secret> hash;
    if (kind == protection::kPassword || kind == protection::kRecoveryPassword) {
        hash = PasswordHash(*key);
    }
    const ondisk::FveProtector* opened = nullptr;
    bool otherStartupKey = false;
    const std::optional<Secret> masterKey =
        OpenMasterKey(kind, startup, hash, opened, otherStartupKey);
    if (!masterKey) {
        if (kind == protection::kClearKey) {
            why = "its clear key does not open it: the metadata is damaged";
        } else if (otherStartupKey && startup) {
            why = "the startup key is " + ondisk::FormatGuid(startup->id) +
                  ", which is not one of its protectors";
        } else {
            why = "the " + kindName + " does not unlock it";
        }
        return UnlockStatus::WrongKey;
    }
    const UnlockStatus status = OpenVolumeKey(*masterKey, out, why);
    if (status == UnlockStatus::Unlocked) {
        out.protector =
            ondisk::ProtectionName(opened->protection) + " " + ondisk::FormatGuid(opened->id);
    }
    return status;
}

std::optional<Secret>
BitLockerVolume::OpenMasterKey(std::uint16_t kind,
                               const std::optional<ondisk::FveStartupKey>& startup,
                               const std::optional<Secret>& hash,
                               const ondisk::FveProtector*& opened, bool& otherStartupKey) const {
    namespace protection = fve::protection;
    std::optional<Secret> masterKey;
    for (const auto& p : metadata_.protectors) {
        if (p.protection != kind) {
            continue;
        }
        if (kind == protection::kClearKey) {
            if (p.clearKey.size() == 32) {
                masterKey = OpenProtector(p, p.clearKey);
            }
        } else if (kind == protection::kStartupKey) {
            if (!startup || startup->key.size() != 32) {
                break;
            }
            if (startup->id != p.id) {
                otherStartupKey = true;
                continue;
            }
            masterKey = OpenProtector(p, startup->key);
        } else if (p.salt) {
            const Secret stretched = StretchKey(hash->bytes(), *p.salt);
            masterKey = OpenProtector(p, stretched.bytes());
        }
        if (masterKey) {
            opened = &p;
            break;
        }
    }
    return masterKey;
}

BitLockerVolume::UnlockStatus BitLockerVolume::OpenVolumeKey(const Secret& masterKey, Unlocked& out,
                                                             std::string& why) const {
    if (std::string reason = Unreadable(); !reason.empty()) {
        why = std::move(reason);
        return UnlockStatus::Unreadable;
    }
    if (!metadata_.sealedVolumeKey) {
        why = "its metadata holds no volume key";
        return UnlockStatus::Unreadable;
    }
    auto plain = Unseal(masterKey.bytes(), *metadata_.sealedVolumeKey);
    std::optional<ondisk::FveKey> entry;
    if (plain) {
        entry = ondisk::ParseFveKeyEntry(std::as_bytes(plain->bytes()));
    }
    if (!entry) {
        why = "its volume key does not open with its master key: the metadata is damaged";
        return UnlockStatus::Unreadable;
    }
    Secret volumeKey(entry->bytes);
    std::fill(entry->bytes.begin(), entry->bytes.end(), std::uint8_t{0});
    auto cipher =
        SectorCipher::Create(metadata_.method, volumeKey.bytes(), layout_.sectorBytes, why);
    if (!cipher) {
        return UnlockStatus::Unreadable;
    }
    out.cipher = std::move(cipher);
    out.volumeKey = std::move(volumeKey);
    return UnlockStatus::Unlocked;
}

BitLockerDecoder::BitLockerDecoder(RegionReader read, const BitLockerLayout& layout,
                                   std::shared_ptr<const SectorCipher> cipher)
    : read_(std::move(read)), layout_(layout), cipher_(std::move(cipher)) {
    const auto add = [&](std::uint64_t start, std::uint64_t length) {
        if (start < layout_.size && length > 0) {
            zeros_.emplace_back(start, start + std::min(length, layout_.size - start));
        }
    };
    for (const std::uint64_t at : layout_.metadataOffsets) {
        add(at, fve::block::kReserved);
    }
    add(layout_.movedOffset, layout_.movedSize);
    std::sort(zeros_.begin(), zeros_.end());
}

bool BitLockerDecoder::ReadSectors(std::uint64_t physical, std::span<std::byte> out,
                                   std::string& why) const {
    if (read_(physical, out) != out.size()) {
        why = "cannot read the encrypted sectors at byte " + std::to_string(physical) +
              " of the volume";
        return false;
    }
    // Encryption goes from the start: what lies past the encrypted size was
    // never encrypted.
    if (physical >= layout_.encryptedSize) {
        return true;
    }
    const auto encrypted = static_cast<std::size_t>(
        std::min<std::uint64_t>(out.size(), layout_.encryptedSize - physical));
    if (!cipher_->Decrypt(physical, out.first(encrypted))) {
        why = "cannot decrypt the sectors at byte " + std::to_string(physical);
        return false;
    }
    return true;
}

bool BitLockerDecoder::DecodeAligned(std::uint64_t offset, std::span<std::byte> out,
                                     std::string& why) const {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t pos = offset + done;
        std::uint64_t end = offset + out.size();
        // The moved boot sectors, read from their copy.
        if (pos < layout_.movedSize) {
            end = std::min(end, layout_.movedSize);
            const auto n = static_cast<std::size_t>(end - pos);
            if (!ReadSectors(layout_.movedOffset + pos, out.subspan(done, n), why)) {
                return false;
            }
            done += n;
            continue;
        }
        bool zero = false;
        for (const auto& [start, stop] : zeros_) {
            if (pos >= start && pos < stop) {
                zero = true;
                end = std::min(end, stop);
                break;
            }
            if (start > pos) {
                end = std::min(end, start);
                break;
            }
        }
        const auto n = static_cast<std::size_t>(end - pos);
        if (zero) {
            std::memset(out.data() + done, 0, n);
        } else if (!ReadSectors(pos, out.subspan(done, n), why)) {
            return false;
        }
        done += n;
    }
    return true;
}

bool BitLockerDecoder::Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) {
    const std::uint32_t sector = layout_.sectorBytes;
    if (offset % sector == 0 && out.size() % sector == 0) {
        return DecodeAligned(offset, out, why);
    }
    // Part of a sector: the whole sectors around it, decrypted aside.
    const std::uint64_t first = offset / sector * sector;
    const std::uint64_t last = (offset + out.size() + sector - 1) / sector * sector;
    std::vector<std::byte> whole(static_cast<std::size_t>(last - first));
    if (!DecodeAligned(first, whole, why)) {
        return false;
    }
    std::memcpy(out.data(), whole.data() + (offset - first), out.size());
    return true;
}

} // namespace lorvex::platform

// BitLocker's metadata through its decoders, and then as the metadata of a
// whole volume: its three copies read, compared and unlocked with the clear
// key or a startup key it holds, and the volume read decrypted.
//
// Input: a flags byte (bit 0: the second copy is the input too, else zeros;
// bit 1: the third copy likewise; bit 2: a To Go header; bit 3: 4 KiB
// sectors; bits 4-7: where the reads of the decrypted volume start), then a
// metadata block as it lies on disk: its 64-byte header, then the metadata.
// The same bytes are also read as a startup key file and as an unsealed key.
#include "FuzzCommon.h"

#include "ondisk/ByteReader.h"
#include "ondisk/FveMetadata.h"
#include "platform/BitLockerVolume.h"

#include <algorithm>
#include <cstring>

using namespace lorvex;

namespace {

namespace fve = ondisk::fve;

constexpr std::uint64_t kVolumeBytes = 1 << 20;
constexpr std::array<std::uint64_t, 3> kBlocks = {0x10000, 0x40000, 0x80000};

void Put(std::vector<std::byte>& b, std::size_t at, std::uint64_t value, int width) {
    ondisk::StoreLE(b, at, value, static_cast<std::size_t>(width));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader in({data, size});
    const auto flags = static_cast<unsigned>(in.Take(1));
    const auto block = in.Rest();

    // The decoders on their own.
    ondisk::FveMetadata metadata;
    if (block.size() > fve::block::kSize) {
        ondisk::ParseFveMetadata(block.subspan(fve::block::kSize), metadata);
        for (const auto& p : metadata.protectors) {
            fuzz::Check(!p.sealedMasterKey || p.sealedMasterKey->data.size() < block.size(),
                        "a sealed key lies inside the metadata");
        }
    }
    ondisk::ParseFveBlockHeader(block);
    ondisk::ParseFveStartupKey(block);
    ondisk::ParseFveKeyEntry(block);

    // A volume of zeros with a valid header pointing at three copies; kept
    // from one input to the next, since mapping a fresh MiB under the
    // sanitizers costs more than the rest of the run.
    static std::vector<std::byte> volume(kVolumeBytes);
    std::fill(volume.begin(), volume.end(), std::byte{0});
    const bool toGo = (flags & 4U) != 0;
    const std::uint32_t sector = (flags & 8U) != 0 ? 4096 : 512;
    std::memcpy(volume.data() + fve::header::kOemId, toGo ? "MSWIN4.1" : "-FVE-FS-", 8);
    Put(volume, fve::header::kBytesPerSector, sector, 2);
    volume[fve::header::kSectorsPerCluster] = std::byte{1};
    const std::uint8_t id[] = {0x3b, 0xd6, 0x67, 0x49, 0x29, 0x2e, 0xd8, 0x4a,
                               0x83, 0x99, 0xf6, 0xa3, 0x39, 0xe3, 0xd0, 0x01};
    const std::size_t idAt = toGo ? fve::header::kToGoIdentifier : fve::header::kIdentifier;
    const std::size_t offsetsAt =
        toGo ? fve::header::kToGoMetadataOffsets : fve::header::kMetadataOffsets;
    std::memcpy(volume.data() + idAt, id, sizeof(id));
    for (std::size_t i = 0; i < kBlocks.size(); ++i) {
        Put(volume, offsetsAt + 8 * i, kBlocks[i], 8);
        const bool copy = i == 0 || (flags & (1U << (i - 1))) != 0;
        if (copy) {
            const std::size_t n = std::min<std::size_t>(block.size(), fve::block::kReserved);
            std::memcpy(volume.data() + kBlocks[i], block.data(), n);
        }
    }
    const platform::RegionReader read = [](std::uint64_t at, std::span<std::byte> out) {
        if (at >= volume.size()) {
            return std::size_t{0};
        }
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), volume.size() - at));
        std::memcpy(out.data(), volume.data() + at, n);
        return n;
    };

    std::string why;
    const auto bitlocker = platform::BitLockerVolume::Open(read, volume.size(), why);
    if (!bitlocker) {
        return 0;
    }
    static_cast<void>(bitlocker->ProtectorList());
    static_cast<void>(bitlocker->Unreadable());
    // The clear key, and the input as a startup key of its own (neither
    // costs a stretching of a quarter of a second).
    platform::BitLockerVolume::Unlocked unlocked;
    auto status = bitlocker->Unlock(nullptr, unlocked, why);
    if (status != platform::BitLockerVolume::UnlockStatus::Unlocked) {
        platform::BitLockerKey key;
        key.kind = platform::BitLockerKey::Kind::StartupKey;
        key.secret = platform::Secret(std::span(data, size));
        status = bitlocker->Unlock(&key, unlocked, why);
    }
    if (status != platform::BitLockerVolume::UnlockStatus::Unlocked) {
        return 0;
    }
    platform::BitLockerDecoder decoder(read, bitlocker->layout(), unlocked.cipher);
    std::vector<std::byte> out(3 * 4096 + 7);
    const std::uint64_t starts[] = {0, 511, bitlocker->layout().movedOffset, kBlocks[1] - 100,
                                    (flags >> 4) * 65536U + 3};
    for (const std::uint64_t at : starts) {
        if (at < volume.size()) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), volume.size() - at));
            decoder.Decode(at, std::span(out).first(n), why);
        }
    }
    return 0;
}

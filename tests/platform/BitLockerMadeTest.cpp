// BitLocker volumes made here from the generated NTFS volumes, one per cipher
// and sector size: read back through the volume layer they are the plain
// volume byte for byte, libbde reads them alike, and the scan of the unlocked
// volume is the scan of the plain one.
#include "map/CellStates.h"
#include "map/ClusterRuns.h"
#include "map/MapModel.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "support/BitLockerSet.h"
#include "support/BitLockerWriter.h"
#include "support/Export.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <libbde.h>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;
namespace method = ondisk::fve::method;
using platform::BitLockerKey;
using platform::RawVolumeSystem;
using Status = platform::BitLockerVolume::UnlockStatus;

constexpr const char* kPassword = "correct horse battery";

std::string FileHash(const fs::path& path) {
    RawVolumeSystem plain({path.string()});
    std::uint64_t bytes = 0;
    return HashDrive(plain, 0, bytes);
}

// The SHA-256 of the volume as libbde reads it on its own: its own unlock with
// the password, its own decryption.
std::string LibbdeHash(const fs::path& path, const char* password) {
    libbde_volume_t* volume = nullptr;
    libbde_error_t* error = nullptr;
    std::string result = "libbde cannot open it";
    if (libbde_volume_initialize(&volume, &error) == 1 &&
        libbde_volume_set_utf8_password(volume, reinterpret_cast<const std::uint8_t*>(password),
                                        std::strlen(password), &error) == 1 &&
        libbde_volume_open(volume, path.c_str(), LIBBDE_OPEN_READ, &error) == 1 &&
        libbde_volume_is_locked(volume, &error) == 0) {
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
        EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
        std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
        const auto size = fs::file_size(path);
        for (std::uint64_t at = 0; at < size; at += buffer.size()) {
            const ssize_t n = libbde_volume_read_buffer_at_offset(
                volume, buffer.data(), buffer.size(), static_cast<off64_t>(at), &error);
            if (n <= 0) {
                break;
            }
            EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(n));
        }
        unsigned char digest[32];
        unsigned int n = 0;
        EVP_DigestFinal_ex(ctx.get(), digest, &n);
        result.clear();
        for (unsigned i = 0; i < n; ++i) {
            char hex[3];
            std::snprintf(hex, sizeof(hex), "%02x", digest[i]);
            result += hex;
        }
        libbde_volume_close(volume, nullptr);
    }
    if (error != nullptr) {
        libbde_error_free(&error);
    }
    libbde_volume_free(&volume, nullptr);
    return result;
}

BitLockerKey Password(const char* text = kPassword) {
    BitLockerKey key;
    std::string why;
    EXPECT_TRUE(platform::KeyFromText(text, key, why)) << why;
    return key;
}

struct Cipher {
    std::uint16_t method;
    std::uint32_t sectorBytes;
    const char* name;
};

void PrintTo(const Cipher& c, std::ostream* out) {
    *out << c.name;
}

class MadeVolume : public ::testing::TestWithParam<Cipher> {};

TEST_P(MadeVolume, ReadsBackAsThePlainVolumeAsLibbdeReadsIt) {
    const fs::path plain = VolumeDir() / "ntfs-4k.img";
    const fs::path made = TempPath(std::string("bitlocker-") + GetParam().name + ".img");
    BitLockerRecipe recipe;
    recipe.method = GetParam().method;
    recipe.sectorBytes = GetParam().sectorBytes;
    recipe.password = kPassword;
    BitLockerMade facts;
    std::string why;
    ASSERT_TRUE(MakeBitLocker(plain.string(), made.string(), recipe, facts, why)) << why;

    RawVolumeSystem system({made.string()});
    ASSERT_EQ(system.drives()[0].region.fileSystem, "BitLocker");
    ASSERT_EQ(system.Unlock(0, Password(), why), Status::Unlocked) << why;
    // libbde took the volume key we opened and decrypted as we do. This
    // libbde opens no AES-XTS 256 volume at all (it takes the key's halves
    // for keys of the wrong size), and we read those alone.
    EXPECT_EQ(system.Unlocked(0)->reader,
              GetParam().method == method::kAesXts256
                  ? "OpenSSL (libbde cannot open it: libbde: invalid tweak key value too small)"
                  : "OpenSSL, checked against libbde");
    std::uint64_t bytes = 0;
    const std::string plainHash = FileHash(plain);
    EXPECT_EQ(HashDrive(system, 0, bytes), plainHash);
    // libbde alone, from the password, reads what we wrote as the plain
    // volume: the writer is checked by a reader not ours.
    EXPECT_EQ(LibbdeHash(made, kPassword),
              GetParam().method == method::kAesXts256 ? "libbde cannot open it" : plainHash);
    EXPECT_EQ(system.GetVolumeInformation("C:\\")->fileSystemName, "NTFS");
    fs::remove(made);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCipher, MadeVolume,
    ::testing::Values(Cipher{method::kAesXts128, 512, "xts128"},
                      Cipher{method::kAesXts256, 512, "xts256"},
                      Cipher{method::kAesXts128, 4096, "xts128_4k"},
                      Cipher{method::kAesXts256, 4096, "xts256_4k"},
                      Cipher{method::kAesCbc128, 512, "cbc128"},
                      Cipher{method::kAesCbc256, 512, "cbc256"},
                      Cipher{method::kAesCbc128Diffuser, 512, "diffuser128"},
                      Cipher{method::kAesCbc256Diffuser, 512, "diffuser256"},
                      Cipher{method::kAesCbc256Diffuser, 4096, "diffuser256_4k"}),
    [](const ::testing::TestParamInfo<Cipher>& c) { return std::string(c.param.name); });

TEST(MadeVolumes, PartlyEncryptedVolumeReadsItsPlainRest) {
    // Encryption stopped half way through: what lies past the encrypted
    // size was never encrypted, and reads as it is.
    const fs::path plain = VolumeDir() / "ntfs-4k.img";
    const fs::path made = TempPath("bitlocker-half.img");
    BitLockerRecipe recipe;
    recipe.password = kPassword;
    recipe.encryptedSize = fs::file_size(plain) / 2;
    BitLockerMade facts;
    std::string why;
    ASSERT_TRUE(MakeBitLocker(plain.string(), made.string(), recipe, facts, why)) << why;
    // On disk: every block of the first half encrypted, every one of the
    // second as it was (but for BitLocker's own).
    const std::string a = ReadFile(plain);
    const std::string b = ReadFile(made);
    const auto bitlockers = [&](std::size_t at) {
        for (const std::uint64_t m : facts.metadataOffsets) {
            if (at >= m && at < m + ondisk::fve::block::kReserved) {
                return true;
            }
        }
        return at < 4096 || (at >= facts.movedOffset && at < facts.movedOffset + facts.movedSize);
    };
    std::size_t encrypted = 0;
    std::size_t plainAfter = 0;
    std::size_t blocks = 0;
    for (std::size_t at = 0; at < a.size(); at += 4096) {
        if (bitlockers(at)) {
            continue;
        }
        const bool same = a.compare(at, 4096, b, at, 4096) == 0;
        ++blocks;
        encrypted += at < a.size() / 2 && !same ? 1U : 0U;
        plainAfter += at >= a.size() / 2 && same ? 1U : 0U;
    }
    EXPECT_EQ(encrypted + plainAfter, blocks);

    RawVolumeSystem system({made.string()});
    ASSERT_EQ(system.Unlock(0, Password(), why), Status::Unlocked) << why;
    std::uint64_t bytes = 0;
    EXPECT_EQ(HashDrive(system, 0, bytes), FileHash(plain));
    fs::remove(made);
}

TEST(MadeVolumes, ScanOfTheUnlockedVolumeIsTheScanOfThePlainOne) {
    const fs::path plain = VolumeDir() / "ntfs-4k.img";
    const fs::path made = TempPath("bitlocker-scan.img");
    BitLockerRecipe recipe;
    recipe.recoveryPassword = "042647-302313-590458-071500-554323-116567-412181-516978";
    BitLockerMade facts;
    std::string why;
    ASSERT_TRUE(MakeBitLocker(plain.string(), made.string(), recipe, facts, why)) << why;
    BitLockerKey key;
    ASSERT_TRUE(platform::KeyFromText(recipe.recoveryPassword, key, why));

    std::string exports[2];
    for (int i = 0; i < 2; ++i) {
        RawVolumeSystem system({(i == 0 ? plain : made).string()});
        if (i == 1) {
            ASSERT_EQ(system.Unlock(0, key, why), Status::Unlocked) << why;
        }
        ntfs::NtfsVolume volume(system, "C");
        ntfs::TFileIDs fileIds;
        ntfs::TClusterArray clusters;
        ntfs::RunScanStages(volume, fileIds, clusters, {});
        ASSERT_GT(fileIds.size(), 10);
        const fs::path out = TempPath("bitlocker-export-" + std::to_string(i) + ".txt");
        ASSERT_TRUE(ExportTo(volume, fileIds, system, out.string()).ok);
        exports[i] = ReadFile(out);
        fs::remove(out);
    }
    EXPECT_GT(exports[0].size(), 10000U);
    EXPECT_TRUE(exports[0] == exports[1]) << "the exports differ";
    fs::remove(made);
}

TEST(MadeVolumes, BitLockersOwnClustersArePaintedAsTheSystemsAndNamed) {
    const fs::path plain = VolumeDir() / "ntfs-4k.img";
    const fs::path made = TempPath("bitlocker-map.img");
    BitLockerRecipe recipe;
    recipe.clearKey = true;
    BitLockerMade facts;
    std::string why;
    ASSERT_TRUE(MakeBitLocker(plain.string(), made.string(), recipe, facts, why)) << why;
    RawVolumeSystem system({made.string()});
    ntfs::NtfsVolume volume(system, "C");
    ASSERT_EQ(volume.information().fileSystemName, "NTFS");
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    ntfs::RunScanStages(volume, fileIds, clusters, {});
    const std::int64_t cluster = volume.geometry().bytesPerCluster;
    ASSERT_EQ(volume.reserved().size(), 4U);
    std::vector<std::pair<std::int64_t, std::string>> expected;
    for (std::size_t i = 0; i < 3; ++i) {
        expected.emplace_back(static_cast<std::int64_t>(facts.metadataOffsets[i]) / cluster,
                              "BitLocker metadata, copy " + std::to_string(i + 1));
    }
    expected.emplace_back(static_cast<std::int64_t>(facts.movedOffset) / cluster,
                          "BitLocker's copy of the boot sectors");

    // The zoom window's and --owner's name; the map's colour.
    map::TMapInput input;
    input.totalClusters = volume.geometry().totalClusters;
    input.fileIds = &fileIds;
    ntfs::TClusterArray byOwner = clusters;
    ntfs::SortClustersByFileIndex(byOwner);
    input.clusters = &byOwner;
    input.reserved = volume.reserved();
    const map::TMapModel model(input);
    for (const auto& [lcn, name] : expected) {
        SCOPED_TRACE(name);
        std::string text;
        volume.DescribeCluster(clusters, fileIds, text, true, lcn);
        EXPECT_EQ(text, name);
        EXPECT_EQ(model.StateAt(lcn), map::csSystem);
    }
    // Every cluster once in the listing of runs, the reserved ones named.
    std::vector<std::uint8_t> bitmap(
        static_cast<std::size_t>((volume.geometry().totalClusters + 7) / 8), 0xFF);
    const map::TVolumeLayout layout{volume.geometry().totalClusters, bitmap,
                                    volume.geometry().mftZoneStart, volume.geometry().mftZoneEnd,
                                    volume.reserved()};
    std::int64_t next = 0;
    std::vector<std::string> named;
    map::ForEachClusterRun(layout, fileIds, clusters, [&](const map::TClusterRun& run) {
        EXPECT_EQ(run.First, next);
        next = run.First + run.Count;
        if (!run.Reserved.empty()) {
            EXPECT_EQ(run.Kind, map::TRunKind::System);
            named.emplace_back(run.Reserved);
        }
    });
    EXPECT_EQ(next, volume.geometry().totalClusters);
    EXPECT_EQ(named.size(), 4U);
    fs::remove(made);
}

TEST(MadeVolumes, PartitionOfAGptDiskInAVhdxReadsAsItsPlainSelf) {
    // Every source layer under the BitLocker one: the first partition of the
    // GPT disk encrypted in place, the disk then held in a VHDX.
    const fs::path disk = VolumeDir() / "gpt-disk.img";
    RawVolumeSystem plainDisk({disk.string()});
    ASSERT_GE(plainDisk.drives().size(), 2U);
    const auto& region = plainDisk.drives()[0].region;
    const fs::path part = TempPath("bitlocker-part.img");
    const fs::path encrypted = TempPath("bitlocker-part-enc.img");
    const fs::path layered = TempPath("bitlocker-gpt.img");
    const fs::path vhdx = TempPath("bitlocker-gpt.vhdx");
    std::string bytes = ReadFile(disk);
    std::ofstream(part, std::ios::binary) << bytes.substr(static_cast<std::size_t>(region.offset),
                                                          static_cast<std::size_t>(region.length));
    BitLockerRecipe recipe;
    recipe.password = kPassword;
    BitLockerMade facts;
    std::string why;
    ASSERT_TRUE(MakeBitLocker(part.string(), encrypted.string(), recipe, facts, why)) << why;
    bytes.replace(static_cast<std::size_t>(region.offset), static_cast<std::size_t>(region.length),
                  ReadFile(encrypted));
    std::ofstream(layered, std::ios::binary) << bytes;
    ASSERT_EQ(std::system(("qemu-img convert -O vhdx " + Quote(layered) + " " + Quote(vhdx) +
                           " >/dev/null 2>&1")
                              .c_str()),
              0);

    RawVolumeSystem system({vhdx.string()});
    ASSERT_EQ(system.drives().size(), plainDisk.drives().size());
    EXPECT_EQ(system.drives()[0].region.container, "VHDX");
    EXPECT_EQ(system.drives()[0].region.fileSystem, "BitLocker");
    EXPECT_EQ(system.drives()[1].region.fileSystem, "NTFS");
    ASSERT_EQ(system.Unlock(0, Password(), why), Status::Unlocked) << why;
    EXPECT_EQ(system.Unlocked(0)->reader, "OpenSSL, checked against libbde");
    std::uint64_t got = 0;
    std::uint64_t want = 0;
    EXPECT_EQ(HashDrive(system, 0, got), HashDrive(plainDisk, 0, want));
    EXPECT_EQ(got, want);
    EXPECT_EQ(system.GetVolumeInformation("C:\\")->label, "GptOne");
    for (const auto& p : {part, encrypted, layered, vhdx}) {
        fs::remove(p);
    }
}

TEST(MadeVolumes, StartupKeyAndClearKeyOpenTheirVolumes) {
    const fs::path plain = VolumeDir() / "ntfs-small.img";
    const fs::path made = TempPath("bitlocker-startup.img");
    std::string why;
    for (const bool clear : {true, false}) {
        SCOPED_TRACE(clear ? "clear key" : "startup key");
        BitLockerRecipe recipe;
        recipe.clearKey = clear;
        recipe.startupKey = !clear;
        BitLockerMade facts;
        ASSERT_TRUE(MakeBitLocker(plain.string(), made.string(), recipe, facts, why)) << why;
        RawVolumeSystem system({made.string()});
        ASSERT_TRUE(system.BitLocker(0, why)) << why;
        if (clear) {
            // Opened as it is looked at.
            ASSERT_NE(system.Unlocked(0), nullptr) << why;
            EXPECT_TRUE(system.Unlocked(0)->protector.starts_with("clear key "));
        } else {
            EXPECT_EQ(system.Unlocked(0), nullptr);
            BitLockerKey key;
            key.kind = BitLockerKey::Kind::StartupKey;
            key.secret = platform::Secret(
                std::span(reinterpret_cast<const std::uint8_t*>(facts.startupKeyFile.data()),
                          facts.startupKeyFile.size()));
            ASSERT_EQ(system.Unlock(0, key, why), Status::Unlocked) << why;
        }
        std::uint64_t bytes = 0;
        EXPECT_EQ(HashDrive(system, 0, bytes), FileHash(plain));
    }
    fs::remove(made);
}

} // namespace
} // namespace lorvex::test

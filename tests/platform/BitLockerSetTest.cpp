// The BitLocker volumes Windows encrypted, read through the volume layer with
// every key images.conf gives for them: the decrypted bytes hash to the
// reference, wrong keys are refused, and what cannot be opened says why.
#include "support/BitLockerSet.h"
#include "ondisk/FveMetadata.h"
#include "platform/BitLockerKey.h"
#include "platform/LibbdeVolume.h"
#include "platform/RawVolumeSystem.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;
using platform::BitLockerKey;
using platform::BitLockerVolume;
using platform::RawVolumeSystem;
using Status = BitLockerVolume::UnlockStatus;

// One image with one of its keys.
struct Case {
    std::string image;
    std::string key; // PW, RP, RP2, SK (its .BEK file), or CLEAR (no key)
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.image << " " << c.key;
}

// Every image of the set whose reference decrypts it, with each of its keys.
// Named here, not read from images.conf: the list is made when the tests are
// listed, before the fixture unpacks the set.
std::vector<Case> Cases() {
    return {
        {"bitlk-aes-cbc-128", "PW"},
        {"bitlk-aes-cbc-128", "RP"},
        {"bitlk-aes-xts-128", "PW"},
        {"bitlk-aes-xts-128", "RP"},
        {"bitlk-aes-cbc-elephant-128", "PW"},
        {"bitlk-aes-cbc-elephant-128", "RP"},
        {"bitlk-togo-aes-xts-128", "PW"},
        {"bitlk-togo-aes-xts-128", "RP"},
        {"bitlk-aes-xts-128-two-recovery", "PW"},
        {"bitlk-aes-xts-128-two-recovery", "RP"},
        {"bitlk-aes-xts-128-two-recovery", "RP2"},
        {"bitlk-aes-xts-128-unicode", "PW"},
        {"bitlk-aes-xts-128-unicode", "RP"},
        {"bitlk-aes-xts-128-4k", "PW"},
        {"bitlk-aes-xts-128-4k", "RP"},
        {"bitlk-aes-xts-128-startup-key", "SK"},
        {"bitlk-aes-xts-128-startup-key", "RP"},
        {"bitlk-aes-xts-128-smart-card", "RP"},
        {"bitlk-aes-xts-128-clearkey-only", "CLEAR"},
    };
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    std::string name = info.param.image + "_" + info.param.key;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            c = '_';
        }
    }
    return name;
}

BitLockerImage Image(const std::string& name) {
    for (auto& image : BitLockerImages()) {
        if (image.name == name) {
            return image;
        }
    }
    return {};
}

// The key as its holder keeps it: a file with the text on one line, or the
// .BEK file beside the images, read as lorvex-scan --unlock reads it.
BitLockerKey KeyFile(const BitLockerImage& image, const std::string& which) {
    fs::path path;
    if (which == "SK") {
        std::string id = image["SK_VMK_GUID"];
        for (char& c : id) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        path = BitLockerDir() / (id + ".BEK");
    } else {
        path = fs::path(::testing::TempDir()) / ("key-" + image.name + "-" + which + ".txt");
        std::ofstream(path) << image[which] << "\n";
    }
    BitLockerKey key;
    std::string why;
    EXPECT_TRUE(platform::ReadKeyFile(path.string(), key, why)) << path << ": " << why;
    if (which != "SK") {
        fs::remove(path);
    }
    return key;
}

class BitLockerSet : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        if (!fs::exists(BitLockerDir() / "images.conf")) {
            GTEST_SKIP() << "no BitLocker volumes at " << BitLockerDir();
        }
    }
};

TEST_P(BitLockerSet, DecryptedBytesHashToTheReference) {
    const BitLockerImage image = Image(GetParam().image);
    ASSERT_FALSE(image["SHA256SUM"].empty()) << image.name;
    RawVolumeSystem system({image.path().string()});
    ASSERT_EQ(system.drives().size(), 1U);
    EXPECT_EQ(system.drives()[0].region.fileSystem, "BitLocker");
    std::string why;
    const auto volume = system.BitLocker(0, why);
    ASSERT_TRUE(volume) << why;
    EXPECT_EQ(ondisk::FormatGuid(volume->volumeId()), image["GUID"]);
    if (GetParam().key == "CLEAR") {
        // Protection suspended: open without asking.
        ASSERT_NE(system.Unlocked(0), nullptr) << why;
    } else {
        ASSERT_EQ(system.Unlocked(0), nullptr);
        const BitLockerKey key = KeyFile(image, GetParam().key);
        ASSERT_EQ(system.Unlock(0, key, why), Status::Unlocked) << why;
        // The protector that opened it is the one images.conf names.
        const std::string id =
            GetParam().key == "SK" ? image["SK_VMK_GUID"] : image[GetParam().key + "_VMK_GUID"];
        EXPECT_NE(system.Unlocked(0)->protector.find(id), std::string::npos)
            << system.Unlocked(0)->protector;
    }
    std::uint64_t bytes = 0;
    EXPECT_EQ(HashDrive(system, 0, bytes), image["SHA256SUM"]);
    EXPECT_EQ(bytes, fs::file_size(image.path()));
}

INSTANTIATE_TEST_SUITE_P(EveryKey, BitLockerSet, ::testing::ValuesIn(Cases()), CaseName);

class BitLockerRefusals : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(BitLockerDir() / "images.conf")) {
            GTEST_SKIP() << "no BitLocker volumes at " << BitLockerDir();
        }
    }
};

TEST_F(BitLockerRefusals, WrongKeysAndMissingProtectorsSaySo) {
    const BitLockerImage image = Image("bitlk-aes-xts-128");
    RawVolumeSystem system({image.path().string()});
    std::string why;
    BitLockerKey wrong;
    ASSERT_TRUE(platform::KeyFromText("not-the-password", wrong, why));
    EXPECT_EQ(system.Unlock(0, wrong, why), Status::WrongKey);
    EXPECT_EQ(why, "the password does not unlock it");
    // Another volume's recovery password: the right form, not its key.
    ASSERT_TRUE(platform::KeyFromText(Image("bitlk-aes-cbc-128")["RP"], wrong, why));
    EXPECT_EQ(system.Unlock(0, wrong, why), Status::WrongKey);
    EXPECT_EQ(why, "the recovery password does not unlock it");
    // A startup key for a volume that has none.
    const BitLockerKey startup = KeyFile(Image("bitlk-aes-xts-128-startup-key"), "SK");
    EXPECT_EQ(system.Unlock(0, startup, why), Status::NoProtector);
    EXPECT_EQ(why, "it has no startup key protector (it has: password, recovery password)");
    EXPECT_EQ(system.Unlocked(0), nullptr);
    // Still locked: it says it is BitLocker, never that nothing is there.
    const auto info = system.GetVolumeInformation("C:\\");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->fileSystemName, "BitLocker");
    // The right key after the wrong ones.
    ASSERT_EQ(system.Unlock(0, KeyFile(image, "PW"), why), Status::Unlocked) << why;
    EXPECT_EQ(system.GetVolumeInformation("C:\\")->fileSystemName, "NTFS");
}

TEST_F(BitLockerRefusals, SmartCardIsNamedAndTheRecoveryPasswordOpensIt) {
    const BitLockerImage image = Image("bitlk-aes-xts-128-smart-card");
    RawVolumeSystem system({image.path().string()});
    std::string why;
    const auto volume = system.BitLocker(0, why);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->ProtectorList(), "smart card, recovery password");
    ASSERT_EQ(volume->protectors().size(), 2U);
    EXPECT_EQ(ondisk::FormatGuid(volume->protectors()[0].id), image["SC_VMK_GUID"]);
    BitLockerKey password;
    ASSERT_TRUE(platform::KeyFromText("anaconda", password, why));
    EXPECT_EQ(system.Unlock(0, password, why), Status::NoProtector);
    EXPECT_EQ(why, "it has no password protector (it has: smart card, recovery password)");
    EXPECT_EQ(system.Unlock(0, KeyFile(image, "RP"), why), Status::Unlocked) << why;
}

TEST_F(BitLockerRefusals, PartlyEncryptedVolumeIsRefusedWithTheReason) {
    // Encryption stopped part way, encrypting as data is written: which
    // sectors are encrypted is in a log this reader does not read, and the
    // reference could not decrypt it either.
    const BitLockerImage image = Image("bitlk-partially-encrypted-aes-cbc-128");
    ASSERT_TRUE(image["SHA256SUM"].empty());
    RawVolumeSystem system({image.path().string()});
    std::string why;
    const auto volume = system.BitLocker(0, why);
    ASSERT_TRUE(volume);
    // Its clear key was tried when it was opened.
    EXPECT_EQ(system.Unlocked(0), nullptr);
    EXPECT_NE(why.find("part way"), std::string::npos) << why;
    EXPECT_EQ(system.Unlock(0, KeyFile(image, "PW"), why), Status::Unreadable);
    EXPECT_NE(why.find("part way"), std::string::npos) << why;
    EXPECT_EQ(system.GetVolumeInformation("C:\\")->fileSystemName, "BitLocker");
}

TEST_F(BitLockerRefusals, LibbdeReadsWhatWeReadWhereItOpens) {
    const BitLockerImage image = Image("bitlk-aes-xts-128");
    RawVolumeSystem system({image.path().string()});
    std::string why;
    ASSERT_EQ(system.Unlock(0, KeyFile(image, "PW"), why), Status::Unlocked) << why;
    const auto* access = system.Unlocked(0);
    EXPECT_FALSE(access->libbde);
    EXPECT_EQ(access->reader, "OpenSSL, checked against libbde");

    // libbde, over the same region through our handle, with the volume key
    // we opened: the whole volume, byte for byte against the reference.
    std::uint32_t code = 0;
    std::shared_ptr<const platform::SourceBytes> raw =
        platform::SourceBytes::Open(image.path().string(), 0, UINT64_MAX, code);
    ASSERT_TRUE(raw);
    const auto volume = system.BitLocker(0, why);
    auto libbde = platform::LibbdeVolume::Open(
        [raw](std::uint64_t at, std::span<std::byte> out) { return raw->Read(at, out); },
        raw->size(), volume->method(), access->volumeKey->bytes(), why);
    ASSERT_TRUE(libbde) << why;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
    std::vector<std::byte> buffer(std::size_t{1} << 20);
    for (std::uint64_t at = 0; at < raw->size(); at += buffer.size()) {
        ASSERT_TRUE(libbde->Read(at, buffer, why)) << why;
        EVP_DigestUpdate(ctx.get(), buffer.data(), buffer.size());
    }
    unsigned char digest[32];
    unsigned int n = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &n);
    char hex[65];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    }
    EXPECT_EQ(std::string(hex), image["SHA256SUM"]);

    // Opened with the clear key, libbde cannot read its newer entries: the
    // reading is ours alone, and says so.
    RawVolumeSystem clear({Image("bitlk-aes-xts-128-clearkey-only").path().string()});
    ASSERT_TRUE(clear.BitLocker(0, why));
    ASSERT_NE(clear.Unlocked(0), nullptr);
    EXPECT_TRUE(clear.Unlocked(0)->reader.starts_with("OpenSSL (libbde cannot open it"))
        << clear.Unlocked(0)->reader;
}

} // namespace
} // namespace lorvex::test

// BitLocker volumes whose metadata lies: sizes, offsets, lengths, copies that
// disagree, a volume cut short, a damaged volume key. Each says what is wrong
// in a user's words and nothing crashes, hangs or reads outside the volume.
#include "ondisk/ByteReader.h"
#include "platform/RawVolumeSystem.h"
#include "support/BitLockerSet.h"
#include "support/BitLockerWriter.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;
namespace fve = ondisk::fve;
using platform::RawVolumeSystem;

constexpr std::uint64_t kVolumeBytes = 8 << 20;

// A small BitLocker volume over zeros, opened by its clear key (no
// stretching: each case costs milliseconds), and its bytes to damage.
class HostileBitLocker : public ::testing::Test {
  public:
    void SetUp() override {
        plain_ = TempPath("bitlocker-hostile-plain.img");
        made_ = TempPath("bitlocker-hostile.img");
        { std::ofstream(plain_, std::ios::binary).close(); }
        fs::resize_file(plain_, kVolumeBytes);
        BitLockerRecipe recipe;
        recipe.clearKey = true;
        std::string why;
        ASSERT_TRUE(MakeBitLocker(plain_.string(), made_.string(), recipe, facts_, why)) << why;
        bytes_ = ReadFile(made_);
    }
    void TearDown() override {
        fs::remove(plain_);
        fs::remove(made_);
    }
    // The damaged bytes, written over the volume.
    void Write() { std::ofstream(made_, std::ios::binary | std::ios::trunc) << bytes_; }
    void Put(std::uint64_t at, std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            bytes_[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
        }
    }
    // Where a copy's metadata and its first entry start.
    std::uint64_t Metadata(int copy) const {
        return facts_.metadataOffsets[static_cast<std::size_t>(copy)] + fve::block::kSize;
    }
    std::uint64_t FirstEntry(int copy) const {
        return Metadata(copy) + fve::metadata::kHeaderBytes;
    }
    // The first top-level entry of `type` in a copy.
    std::uint64_t EntryOf(int copy, std::uint16_t type) const {
        const auto span = std::as_bytes(std::span(bytes_));
        const ondisk::ByteReader r(span);
        std::uint64_t at = FirstEntry(copy);
        while (*r.u16(at) != 0) {
            if (*r.u16(at + fve::entry::kType) == type) {
                return at;
            }
            at += *r.u16(at);
        }
        return 0;
    }

    fs::path plain_;
    fs::path made_;
    BitLockerMade facts_;
    std::string bytes_;
};

TEST_F(HostileBitLocker, OneDamagedCopyLeavesTheOthersToRead) {
    // Copy 1's size beyond its block; copy 3's description changed.
    Put(Metadata(0) + fve::metadata::kSize, 0x20000, 4);
    Put(EntryOf(2, fve::entrytype::kDescription) + fve::entry::kHeaderBytes, 'X', 1);
    Write();
    RawVolumeSystem system({made_.string()});
    std::string why;
    const auto volume = system.BitLocker(0, why);
    ASSERT_TRUE(volume) << why;
    EXPECT_EQ(volume->notes(),
              (std::vector<std::string>{
                  "metadata copy 1: its metadata claims a size it does not have; copy 2 is read",
                  "metadata copy 3 differs from copy 2, which is read"}));
    ASSERT_NE(system.Unlocked(0), nullptr) << why;
    RawVolumeSystem plain({plain_.string()});
    std::uint64_t bytes = 0;
    EXPECT_EQ(HashDrive(system, 0, bytes), HashDrive(plain, 0, bytes));
}

TEST_F(HostileBitLocker, EveryCopyDamagedIsRefusedWithEachReason) {
    // Copy 1: an entry shorter than its header; copy 2: an entry running
    // past the metadata; copy 3: the size and its copy disagreeing.
    Put(FirstEntry(0) + fve::entry::kSize, 4, 2);
    Put(FirstEntry(1) + fve::entry::kSize, 0xFFF0, 2);
    Put(Metadata(2) + fve::metadata::kSizeCopy, 0x40, 4);
    Write();
    RawVolumeSystem system({made_.string()});
    std::string why;
    EXPECT_FALSE(system.BitLocker(0, why));
    EXPECT_EQ(why, "its BitLocker metadata cannot be read: copy 1: an entry of its metadata has a "
                   "length that does not fit; copy 2: an entry of its metadata has a length that "
                   "does not fit; copy 3: its metadata claims a size it does not have");
    // Still BitLocker's, never "no file system"; reads give the encrypted
    // bytes as they are.
    EXPECT_EQ(system.GetVolumeInformation("C:\\")->fileSystemName, "BitLocker");
    std::uint64_t bytes = 0;
    HashDrive(system, 0, bytes);
    EXPECT_EQ(bytes, kVolumeBytes);
    platform::BitLockerKey key;
    ASSERT_TRUE(platform::KeyFromText("password", key, why));
    EXPECT_EQ(system.Unlock(0, key, why), platform::BitLockerVolume::UnlockStatus::Unreadable);
    EXPECT_TRUE(why.starts_with("its BitLocker metadata cannot be read")) << why;
}

TEST_F(HostileBitLocker, OffsetsAndSizesOutsideTheVolumeAreNamed) {
    // The volume header's offsets: past the end, and nowhere.
    Put(fve::header::kMetadataOffsets, kVolumeBytes + 4096, 8);
    Put(fve::header::kMetadataOffsets + 8, 0, 8);
    // The moved boot sectors, as the copy read gives them: more than the
    // volume holds.
    Put(facts_.metadataOffsets[2] + fve::block::kHeaderSectors, 0xFFFFFFFF, 4);
    Write();
    RawVolumeSystem system({made_.string()});
    std::string why;
    const auto volume = system.BitLocker(0, why);
    ASSERT_TRUE(volume) << why;
    EXPECT_EQ(volume->notes(),
              (std::vector<std::string>{"metadata copy 1 lies past the end of the volume (at byte "
                                        "8392704 of 8388608): the volume is cut short; copy 3 is "
                                        "read",
                                        "metadata copy 2 has no place; copy 3 is read"}));
    EXPECT_EQ(system.Unlocked(0), nullptr);
    EXPECT_TRUE(why.starts_with("its metadata puts the volume's boot sectors (2199023255040 bytes "
                                "at byte "))
        << why;
}

TEST_F(HostileBitLocker, VolumeCutShortReadsWhatIsThere) {
    // Cut after the first copy: the others are past the end.
    bytes_.resize(static_cast<std::size_t>(facts_.metadataOffsets[0] + fve::block::kReserved));
    Write();
    RawVolumeSystem system({made_.string()});
    std::string why;
    const auto volume = system.BitLocker(0, why);
    ASSERT_TRUE(volume) << why;
    ASSERT_EQ(volume->notes().size(), 2U);
    EXPECT_NE(volume->notes()[0].find("the volume is cut short"), std::string::npos);
    ASSERT_NE(system.Unlocked(0), nullptr);
    std::uint64_t bytes = 0;
    HashDrive(system, 0, bytes);
    EXPECT_EQ(bytes, bytes_.size());
}

TEST_F(HostileBitLocker, DamagedKeysAndCiphersAreRefused) {
    struct Case {
        const char* what;
        std::function<void(HostileBitLocker&)> damage;
        const char* says;
    };
    const Case cases[] = {
        {"volume key",
         [](HostileBitLocker& t) {
             for (int copy = 0; copy < 3; ++copy) {
                 t.Put(t.EntryOf(copy, fve::entrytype::kVolumeKey) + 40, 0x5A5A, 2);
             }
         },
         "its volume key does not open with its master key: the metadata is damaged"},
        {"cipher",
         [](HostileBitLocker& t) {
             for (int copy = 0; copy < 3; ++copy) {
                 t.Put(t.Metadata(copy) + fve::metadata::kEncryption, 0x1234, 2);
             }
         },
         "its cipher is none BitLocker uses (unknown (0x1234))"},
        {"encrypted size",
         [](HostileBitLocker& t) {
             for (int copy = 0; copy < 3; ++copy) {
                 t.Put(t.facts_.metadataOffsets[static_cast<std::size_t>(copy)] +
                           fve::block::kEncryptedSize,
                       1000, 8);
             }
         },
         "its metadata says 1000 bytes are encrypted, which is no whole number of sectors"},
        {"clear key",
         [](HostileBitLocker& t) {
             for (int copy = 0; copy < 3; ++copy) {
                 // Inside the clear key itself, past the protector's own
                 // fields and the key entry's header and method.
                 t.Put(t.EntryOf(copy, fve::entrytype::kVolumeMasterKey) +
                           fve::entry::kHeaderBytes + fve::value::kMasterKeyEntries +
                           fve::entry::kHeaderBytes + fve::value::kKeyBytes + 4,
                       0x5A5A, 2);
             }
         },
         "its clear key does not open it: the metadata is damaged"},
    };
    const std::string original = bytes_;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bytes_ = original;
        c.damage(*this);
        Write();
        RawVolumeSystem system({made_.string()});
        std::string why;
        ASSERT_TRUE(system.BitLocker(0, why));
        EXPECT_EQ(system.Unlocked(0), nullptr);
        EXPECT_EQ(why, c.says);
        EXPECT_EQ(system.GetVolumeInformation("C:\\")->fileSystemName, "BitLocker");
    }
}

} // namespace
} // namespace lorvex::test

// BitLocker drives at the shell: named as BitLocker when locked, opened with
// the key file given, refused with the reason otherwise, and the key never
// shown.
#include "support/BitLockerWriter.h"
#include "support/ScanRun.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;

// Runs lorvex-scan with `args` (already quoted), stdin closed.
Outcome Scan(const std::string& args) {
    return RunProgram(LORVEX_SCAN, args);
}

fs::path Dir() {
    return fs::path(LORVEX_BITLOCKER_VOLUMES) / "bitlocker";
}

std::string Image(const char* name) {
    return Quote(Dir() / (std::string(name) + ".img"));
}

// A key file holding `text` as written.
fs::path KeyFile(const std::string& name, const std::string& text) {
    const fs::path path = TempPath(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

class BitLockerCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!fs::exists(Dir() / "images.conf")) {
            GTEST_SKIP() << "no BitLocker volumes at " << Dir();
        }
    }
    void TearDown() override {
        for (const auto& p : made_) {
            fs::remove(p);
        }
    }
    fs::path Key(const std::string& name, const std::string& text) {
        made_.push_back(KeyFile(name, text));
        return made_.back();
    }
    std::vector<fs::path> made_;
};

TEST_F(BitLockerCommand, LockedDriveIsNamedWithItsProtectors) {
    const auto o = Scan(Image("bitlk-aes-xts-128"));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("(drive C:): encrypted with BitLocker (password, recovery password): "
                         "give its key with --unlock FILE"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(o.err.find("no file system"), std::string::npos);

    const auto info = Scan(Image("bitlk-aes-xts-128-smart-card") + " --info");
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("  BitLocker          AES-XTS 128, locked (give its key with "
                            "--unlock FILE)\n"
                            "  BitLocker id       e7d812df-c38b-4149-95fe-85134d2e02f7\n"
                            "  protectors         smart card 7d2245b9-ccd5-49d0-b4f5-653162a71744, "
                            "recovery password 1f9da098-0cc4-464d-a101-188e70f434a6\n"
                            "  file system        BitLocker\n"),
              std::string::npos)
        << info.out;
}

TEST_F(BitLockerCommand, EachKindOfKeyFileUnlocks) {
    const auto password = Key("pw.txt", "anaconda\n");
    const auto o = Scan(Image("bitlk-aes-xts-128") + " --info --unlock " + Quote(password));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("  BitLocker          AES-XTS 128, unlocked with its password "
                         "3e55195c-8811-4d9b-97b4-2b9e5f8f5384\n"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("  decrypted by       OpenSSL, checked against libbde\n"),
              std::string::npos);
    EXPECT_NE(o.out.find("  file system        NTFS\n"), std::string::npos);

    // A recovery password, told apart by its form, written without its line
    // end; the startup key beside the images.
    const auto recovery = Key("rp.txt", "538329-080597-399190-348700-323345-161062-279807-230978");
    // (Its file table was zeroed to keep the set small: --info, not a scan.)
    const auto scan =
        Scan(Image("bitlk-aes-xts-128-smart-card") + " --info --unlock " + Quote(recovery));
    EXPECT_EQ(scan.status, 0) << scan.err;
    EXPECT_NE(scan.out.find("unlocked with its recovery password "
                            "1f9da098-0cc4-464d-a101-188e70f434a6"),
              std::string::npos)
        << scan.out;
    const auto startup =
        Scan(Image("bitlk-aes-xts-128-startup-key") + " --info --format json --unlock " +
             Quote(Dir() / "4381F759-C4F8-4DE0-BB61-FC33A831BDA5.BEK"));
    EXPECT_EQ(startup.status, 0) << startup.err;
    EXPECT_NE(startup.out.find("\"bitlocker_state\":\"unlocked with its startup key "
                               "4381f759-c4f8-4de0-bb61-fc33a831bda5\""),
              std::string::npos)
        << startup.out;
}

TEST_F(BitLockerCommand, WrongKeysAreRefusedAndNeverShown) {
    const std::string secret = "hunter2-not-it";
    const auto wrong = Key("wrong.txt", secret + "\r\n");
    for (const char* action : {"", " --info", " --info --format json"}) {
        SCOPED_TRACE(action);
        const auto o = Scan(Image("bitlk-aes-cbc-128") + action + " --unlock " + Quote(wrong));
        EXPECT_EQ(o.status, 1);
        EXPECT_NE((o.out + o.err).find("the password does not unlock it"), std::string::npos)
            << o.out << o.err;
        EXPECT_EQ((o.out + o.err).find(secret), std::string::npos);
    }
    // The right key is not shown either.
    const auto right = Key("right.txt", "anaconda");
    const auto o = Scan(Image("bitlk-aes-cbc-128") + " --info --unlock " + Quote(right));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ((o.out + o.err).find("anaconda"), std::string::npos);

    // Nor is it written over: the key file is kept like a source, whether
    // or not it unlocks, and whether or not any drive is BitLocker's.
    for (const auto& [image, key] : {std::pair{Image("bitlk-aes-cbc-128"), right},
                                     {Image("bitlk-aes-cbc-128"), wrong},
                                     {Quote(VolumeDir() / "demo.img"), right}}) {
        SCOPED_TRACE(image + " " + key.string());
        for (const std::string& write : {" --files -o " + Quote(key), " --files >> " + Quote(key),
                                         " --export " + Quote(key)}) {
            const std::string before = ReadFile(key);
            const auto refused = Scan(image + " --unlock " + Quote(key) + write);
            EXPECT_NE(refused.status, 0) << write;
            EXPECT_EQ(ReadFile(key), before) << write;
        }
    }
}

TEST_F(BitLockerCommand, KeyFilesOfTheWrongKindOrFormAreRefusedAtOnce) {
    const std::string image = Image("bitlk-aes-xts-128");
    const struct {
        std::string text;
        const char* says;
    } cases[] = {
        {"", ": empty\n"},
        {"\n", ": empty\n"},
        {"first\nsecond\n", ": more than one line"},
        {std::string("a\0b", 3), ": neither a startup key (.BEK) nor the text of a password"},
        {"\xff\xfe"
         "anaconda",
         ": not UTF-8 text"},
        {std::string(300, 'x'), ": longer than a BitLocker password can be (256 characters)"},
        {"235818-357951-253979-013365-241120-245575-342914-591911",
         ": a recovery password whose group 8 does not check"},
        {std::string(70000, 'x'), ": too large to hold a key (70000 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const auto key = Key("bad-key", c.text);
        const auto o = Scan(image + " --unlock " + Quote(key));
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.err.find(key.string() + c.says), std::string::npos) << o.err;
    }

    // A FIFO with nobody writing, and a directory: refused before anything
    // waits on them.
    const auto fifo = TempPath("key-fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    made_.push_back(fifo);
    const auto start = std::chrono::steady_clock::now();
    const auto o = Scan(image + " --unlock " + Quote(fifo));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("not a regular file"), std::string::npos) << o.err;
    const auto dir = Scan(image + " --unlock " + Quote(fs::temp_directory_path()));
    EXPECT_NE(dir.err.find("a directory, not a key file"), std::string::npos) << dir.err;
    EXPECT_EQ(Scan(image + " --unlock").status, 2);
}

TEST_F(BitLockerCommand, VolumesThatCannotBeOpenedSayWhy) {
    // Encryption left part way: opened with its clear key, and refused.
    const auto partial = Scan(Image("bitlk-partially-encrypted-aes-cbc-128"));
    EXPECT_EQ(partial.status, 1);
    EXPECT_NE(partial.err.find("encrypted with BitLocker, and not opened: its encryption was left "
                               "part way"),
              std::string::npos)
        << partial.err;
    // Protection suspended: no key needed.
    const auto clear = Scan(Image("bitlk-aes-xts-128-clearkey-only") + " --info");
    EXPECT_EQ(clear.status, 0) << clear.err;
    EXPECT_NE(clear.out.find("unlocked with its clear key f99f18e8-0348-4a6b-afdf-58b1dd71f0d1"),
              std::string::npos)
        << clear.out;
    // A FAT volume inside (To Go): unlocked, and then not NTFS.
    const auto togo = Key("togo.txt", "anaconda\n");
    const auto fat = Scan(Image("bitlk-togo-aes-xts-128") + " --unlock " + Quote(togo));
    EXPECT_EQ(fat.status, 1);
    EXPECT_NE(fat.err.find("(drive C:): FAT16, not NTFS"), std::string::npos) << fat.err;
}

TEST_F(BitLockerCommand, BitLockersOwnClustersBelongToTheSystem) {
    // A volume made from a generated one, opened by its clear key: the
    // clusters of the metadata blocks and of the moved boot sectors are
    // BitLocker's, named so by --owner and --cluster-map.
    const fs::path made = TempPath("bitlocker-owners.img");
    made_.push_back(made);
    BitLockerRecipe recipe;
    recipe.clearKey = true;
    BitLockerMade facts;
    std::string why;
    ASSERT_TRUE(
        MakeBitLocker((VolumeDir() / "ntfs-4k.img").string(), made.string(), recipe, facts, why))
        << why;
    const std::uint64_t cluster = 4096;
    const std::uint64_t copy2 = facts.metadataOffsets[1] / cluster;
    const std::uint64_t moved = facts.movedOffset / cluster;
    const auto o = Scan(Quote(made) + " --owner " + std::to_string(copy2) + " " +
                        std::to_string(copy2 + 15) + " " + std::to_string(moved));
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, std::to_string(copy2) + "\tBitLocker metadata, copy 2\tsystem\n" +
                         std::to_string(copy2 + 15) + "\tBitLocker metadata, copy 2\tsystem\n" +
                         std::to_string(moved) +
                         "\tBitLocker's copy of the boot sectors\tsystem\n");
    const auto map = Scan(Quote(made) + " --cluster-map");
    EXPECT_NE(map.out.find("C:," + std::to_string(copy2) +
                           ",16,system,,,\"BitLocker metadata, copy 2\"\r\n"),
              std::string::npos)
        << map.out.substr(0, 2000);
    EXPECT_NE(map.out.find("C:," + std::to_string(moved) +
                           ",2,system,,,BitLocker's copy of the boot sectors\r\n"),
              std::string::npos);
}

} // namespace
} // namespace lorvex::test

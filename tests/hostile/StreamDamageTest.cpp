// Copies of the test volumes with one stream's run list or attribute lists
// rewritten: whatever the runs claim, opening and scanning end, and what a
// report lists grows only with the metadata actually read.
#include "DamagedCopy.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <string>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kBitmap = 0xB0;
constexpr std::uint32_t kAttributeList = 0x20;
constexpr unsigned kDeadline = 20;

fs::path Scratch(const std::string& name) {
    return fs::temp_directory_path() / ("lorvex-" + std::to_string(getpid()) + "-" + name);
}

struct StreamCase {
    const char* image;
    std::int64_t record;
    std::uint32_t type;
    const char* what;
};

// A run whose byte size is a multiple of 2^64 (it wraps to 0), one of 2^62
// clusters, and the longest a run can be.
std::vector<std::uint64_t> HugeLengths(std::uint32_t bytesPerCluster) {
    return {(std::uint64_t{1} << 63) / (bytesPerCluster / 2), std::uint64_t{1} << 62,
            (std::uint64_t{1} << 63) - 1};
}

// Every entry point of a scan is run over each: opening, the whole scan
// with its export, the owner lookup and the fragmentation list.
TEST(HugeRuns, OpeningAndScanningEndWhateverStreamTheyAreIn) {
    const StreamCase cases[] = {
        {"ntfs-4k.img", 6, kData, "the $Bitmap's $DATA"},
        {"ntfs-4k.img", 0, kAttributeList, "the $MFT's attribute list"},
        {"ntfs-512.img", 6, kData, "the $Bitmap's $DATA"},
        {"ntfs-512.img", 0, kBitmap, "the $MFT's $BITMAP"},
        {"ntfs-512.img", 89, kAttributeList, "a file's attribute list"},
        {"ntfs-512.img", 70, kData, "a file's $DATA"},
    };
    const fs::path exported = Scratch("huge-export.txt");
    int tried = 0;
    for (const auto& c : cases) {
        DamagedCopy copy(VolumeDir() / c.image, Scratch(std::string("huge-") + c.image));
        const Bytes original = copy.ReadRecord(c.record);
        const auto at = DamagedCopy::FindAttribute(original, c.type);
        ASSERT_TRUE(at) << c.image << " " << c.what;
        for (const std::uint64_t clusters : HugeLengths(copy.BytesPerCluster())) {
            for (const bool sparse : {true, false}) {
                SCOPED_TRACE(std::string(c.image) + ", " + c.what + ", " +
                             std::to_string(clusters) + (sparse ? " sparse" : " allocated") +
                             " clusters");
                Bytes record = original;
                Bytes runs = DamagedCopy::OneRun(clusters, sparse);
                // Where the record is full, the run goes in without its end
                // byte (a run list that ends at its attribute's end), if it
                // fits so.
                if (!DamagedCopy::SetRunList(record, *at, runs)) {
                    runs.pop_back();
                    if (!DamagedCopy::SetRunList(record, *at, runs)) {
                        continue;
                    }
                }
                ++tried;
                copy.WriteRecord(c.record, record);
                const std::string image = copy.Path().string();
                for (const auto& args : {
                         std::vector<std::string>{LORVEX_SCAN, image, "--info"},
                         std::vector<std::string>{LORVEX_SCAN, image, "--export", exported.string(),
                                                  "--owner", "1", "100", "--fragmented"},
                     }) {
                    const ChildEnd end = RunLimited(args, kDeadline);
                    EXPECT_FALSE(end.timedOut) << args[2];
                    EXPECT_FALSE(end.signalled) << args[2];
                }
            }
        }
    }
    fs::remove(exported);
    EXPECT_GE(tried, 28);
}

std::size_t CountOf(const std::string& text, std::string_view part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// Every user record in the first run of the $MFT gets two more copies of a
// non-resident attribute list that another file owns. Each record still
// lists that list's entries once, so the export grows by those entries per
// record and not by three times them.
TEST(SharedAttributeLists, ARecordFollowsOnlyItsFirstList) {
    const fs::path source = VolumeDir() / "ntfs-512.img";
    DamagedCopy copy(source, Scratch("shared-lists.img"));
    const Bytes owner = copy.ReadRecord(89);
    const auto listAt = DamagedCopy::FindAttribute(owner, kAttributeList);
    ASSERT_TRUE(listAt);
    const std::size_t listLength = ondisk::ByteReader(owner).u32(*listAt + 4).value_or(0);
    const Bytes list(owner.begin() + static_cast<std::ptrdiff_t>(*listAt),
                     owner.begin() + static_cast<std::ptrdiff_t>(*listAt + listLength));
    const std::int64_t listBytes = ondisk::ByteReader(list).i64(0x30).value_or(0);
    const std::size_t entries = static_cast<std::size_t>(listBytes) / 0x20;
    ASSERT_GT(entries, 1U);

    const fs::path before = Scratch("shared-before.txt");
    const fs::path after = Scratch("shared-after.txt");
    ASSERT_FALSE(
        RunLimited({LORVEX_SCAN, copy.Path().string(), "--export", before.string()}, kDeadline)
            .timedOut);
    std::size_t patched = 0;
    for (std::int64_t n = 24; n < 240; ++n) {
        Bytes record = copy.ReadRecord(n);
        const ondisk::ByteReader r(record);
        if (n == 89 || r.u32(0).value_or(0) != 0x454C4946 || (r.u16(0x16).value_or(0) & 1) == 0 ||
            r.u64(0x20).value_or(1) != 0 || DamagedCopy::FindAttribute(record, kAttributeList)) {
            continue;
        }
        const auto first = DamagedCopy::FindAttribute(record, 0x10);
        if (!first) {
            continue;
        }
        const std::size_t at = *first + r.u32(*first + 4).value_or(0);
        Bytes three = record;
        if (!DamagedCopy::InsertAt(three, at, list) || !DamagedCopy::InsertAt(three, at, list) ||
            !DamagedCopy::InsertAt(three, at, list)) {
            continue;
        }
        copy.WriteRecord(n, three);
        ++patched;
    }
    ASSERT_GE(patched, 20U);
    ASSERT_EQ(RunLimited({LORVEX_SCAN, copy.Path().string(), "--export", after.string()}, kDeadline)
                  .status,
              0);
    const std::string a = ReadFile(before);
    const std::string b = ReadFile(after);
    // Each patched record lists the entries of its first list, and its three
    // list attributes: one line each plus their runs.
    EXPECT_EQ(CountOf(b, "@ File ID"), CountOf(a, "@ File ID") + patched * entries);
    EXPECT_EQ(CountOf(b, "$ATTRIBUTE_LIST("), CountOf(a, "$ATTRIBUTE_LIST(") + 3 * patched);
    // A report line stands for at most one list entry (32 bytes read) or one
    // run or attribute (a few bytes of the record): the growth stays within a
    // small multiple of what the patched records read.
    const auto readBytes = static_cast<std::size_t>(patched) *
                           (copy.BytesPerRecord() + static_cast<std::size_t>(listBytes));
    EXPECT_LT(b.size() - a.size(), 3 * readBytes);
    fs::remove(before);
    fs::remove(after);
}

} // namespace
} // namespace lorvex::test

namespace lorvex::test {
namespace {

// A boot sector that claims a volume of 2^31 clusters over a sparse source
// of that size: every allocation sized from the claim is bounded or done in
// pieces, so opening, scanning and exporting fit in 1 GiB of address space.
TEST(ClaimedSize, AHugeClaimedVolumeNeedsNoMemoryOfItsSize) {
    DamagedCopy copy(VolumeDir() / "ntfs-512.img", Scratch("claims-1tib.img"));
    Bytes sectors(8);
    ondisk::StoreLE(sectors, 0, std::uint64_t{1} << 31, 8);
    copy.Write(0x28, sectors);
    std::filesystem::resize_file(copy.Path(), (std::uint64_t{1} << 40) + 512);
    const fs::path exported = Scratch("claims-export.txt");
    for (const auto& args : {std::vector<std::string>{LORVEX_SCAN, copy.Path().string(), "--info"},
                             std::vector<std::string>{LORVEX_SCAN, copy.Path().string(), "--export",
                                                      exported.string()}}) {
        const ChildEnd end = RunLimited(args, kDeadline, std::uint64_t{1} << 30);
        EXPECT_EQ(end.status, 0) << args.back();
    }
    fs::remove(exported);
}

} // namespace
} // namespace lorvex::test

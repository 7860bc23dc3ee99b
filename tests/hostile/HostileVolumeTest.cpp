// Volumes laid out byte by byte to make the volume layer do as much work as
// their bytes can demand: every scan of them must still end promptly.
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "ondisk/ByteReader.h"
#include "platform/RawVolumeSystem.h"

#include "ntfs/RecordBuilder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kBytesPerCluster = 4096;
constexpr std::size_t kRecord = 1024;

// Puts the update sequence into a record as the disk holds it: the array at
// 0x30 saves the last two bytes of each 512-byte stride, which then carry the
// sequence number.
Bytes Protect(Bytes record) {
    constexpr std::size_t kUsa = 0x30;
    const std::size_t strides = record.size() / 512;
    PutLE(record, 0x04, kUsa, 2);
    PutLE(record, 0x06, strides + 1, 2);
    PutLE(record, kUsa, 1, 2);
    for (std::size_t i = 0; i < strides; ++i) {
        const std::size_t tail = (i + 1) * 512 - 2;
        record[kUsa + 2 + 2 * i] = record[tail];
        record[kUsa + 3 + 2 * i] = record[tail + 1];
        PutLE(record, tail, 1, 2);
    }
    return record;
}

class Image {
  public:
    explicit Image(const fs::path& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    }
    ~Image() {
        ::close(fd_);
        fs::remove(path_);
    }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    void Write(std::uint64_t offset, const Bytes& bytes) const {
        ASSERT_EQ(pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(bytes.size()));
    }
    void Resize(std::uint64_t size) const {
        ASSERT_EQ(ftruncate(fd_, static_cast<off_t>(size)), 0);
    }

  private:
    fs::path path_;
    int fd_ = -1;
};

// A volume whose $MFT has `records` records, all in use by its $BITMAP, of
// which only record 0 and `named` user records from 16 on can be read; every
// user record names the last record, which is zeros, as its base.
void WriteVolumeWithBasesPastZeros(const Image& image, std::int64_t records, int named) {
    namespace type = ondisk::type;
    const std::int64_t mftLcn = 16;
    const std::int64_t mftClusters =
        records * static_cast<std::int64_t>(kRecord) / kBytesPerCluster;
    const std::int64_t bitmapLcn = mftLcn + mftClusters;
    const std::int64_t bitmapBytes = records / 8;
    const std::int64_t bitmapClusters = (bitmapBytes + kBytesPerCluster - 1) / kBytesPerCluster;
    const std::int64_t totalClusters = bitmapLcn + bitmapClusters + 16;
    image.Resize(static_cast<std::uint64_t>(totalClusters) * kBytesPerCluster);

    Bytes boot(512);
    for (std::size_t i = 0; i < 8; ++i) {
        boot[3 + i] = static_cast<std::byte>("NTFS    "[i]);
    }
    PutLE(boot, 0x0B, 512, 2);
    PutLE(boot, 0x0D, kBytesPerCluster / 512, 1);
    PutLE(boot, 0x28, static_cast<std::uint64_t>(totalClusters) * (kBytesPerCluster / 512), 8);
    PutLE(boot, 0x30, static_cast<std::uint64_t>(mftLcn), 8);
    PutLE(boot, 0x38, 1, 8);
    PutLE(boot, 0x40, 0xF6, 1); // 2^10-byte records
    PutLE(boot, 0x1FE, 0xAA55, 2);
    image.Write(0, boot);

    // One run each: the $MFT (a 3-byte length, a 1-byte offset) and its
    // $BITMAP (1-byte length, 3-byte offset).
    const auto u = [](std::int64_t v, int byte) {
        return static_cast<int>((v >> (8 * byte)) & 0xFF);
    };
    const Bytes mftRuns = Raw({0x13, u(mftClusters, 0), u(mftClusters, 1), u(mftClusters, 2),
                               static_cast<int>(mftLcn), 0});
    const Bytes bitmapRuns = Raw({0x31, static_cast<int>(bitmapClusters), u(bitmapLcn, 0),
                                  u(bitmapLcn, 1), u(bitmapLcn, 2), 0});
    const std::int64_t mftBytes = records * static_cast<std::int64_t>(kRecord);
    const auto record0 = RecordBuilder(kRecord)
                             .NonResident(type::kData, 1, mftRuns, mftBytes, mftBytes)
                             .NonResident(type::kBitmap, 2, bitmapRuns,
                                          bitmapClusters * kBytesPerCluster, bitmapBytes)
                             .End();
    const auto at = [&](std::int64_t n) {
        return static_cast<std::uint64_t>(mftLcn) * kBytesPerCluster +
               static_cast<std::uint64_t>(n) * kRecord;
    };
    image.Write(at(0), Protect(record0));
    image.Write(static_cast<std::uint64_t>(bitmapLcn) * kBytesPerCluster,
                Bytes(static_cast<std::size_t>(bitmapBytes), std::byte{0xFF}));

    const std::uint64_t base = static_cast<std::uint64_t>(records - 1) | (std::uint64_t{1} << 48);
    for (int i = 0; i < named; ++i) {
        const std::int64_t n = 16 + i;
        const auto record = RecordBuilder(kRecord, base)
                                .Resident(type::kFileName, 1, FileNameValue(5, u"file"))
                                .End();
        image.Write(at(n), Protect(record));
    }
}

// A base lookup that lands on an unreadable record answers with the nearest
// lower one that reads. Done by stepping down one record at a time, every
// lookup paid for the whole stretch of unreadable records again: 3000 such
// records over a zeroed $MFT of 65536 took minutes.
TEST(HostileVolume, BasesNamedPastAStretchOfUnreadableRecordsCostOnePassEach) {
    const fs::path path =
        fs::temp_directory_path() / ("lorvex-bases-" + std::to_string(getpid()) + ".img");
    const Image image(path);
    constexpr int kNamed = 3000;
    WriteVolumeWithBasesPastZeros(image, 65536, kNamed);

    platform::RawVolumeSystem system({path.string()});
    ntfs::NtfsVolume volume(system, "C");
    ASSERT_EQ(volume.information().fileSystemName, "NTFS");
    ASSERT_NE(volume.geometry().totalClusters, 0);
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    const auto start = std::chrono::steady_clock::now();
    ntfs::RunScanStages(volume, fileIds, clusters, {});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Record 0 and the named records; none of these has a readable base.
    EXPECT_EQ(fileIds.size(), kNamed + 1);
    EXPECT_EQ(fileIds[static_cast<std::size_t>(fileIds.size() - 1)].BaseID, 65535);
    EXPECT_LT(seconds, 5.0);
}

} // namespace
} // namespace lorvex::test

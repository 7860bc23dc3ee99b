#include "ondisk/BootSector.h"

#include "ondisk/Bytes.h"

#include <cstring>
#include <gtest/gtest.h>

namespace lorvex::ondisk {
namespace {

using test::Put;

std::vector<std::byte> Boot(std::uint16_t bps, std::uint8_t spc, std::uint64_t sectors,
                            std::uint64_t mft, std::uint8_t perRecord) {
    std::vector<std::byte> s(512, std::byte{0});
    std::memcpy(s.data() + boot::kOemId, "NTFS    ", 8);
    Put(s, boot::kBytesPerSector, bps, 2);
    s[boot::kSectorsPerCluster] = std::byte{spc};
    Put(s, boot::kTotalSectors, sectors, 8);
    Put(s, boot::kMftLcn, mft, 8);
    Put(s, boot::kMftMirrLcn, 2, 8);
    s[boot::kClustersPerRecord] = std::byte{perRecord};
    Put(s, boot::kSerialNumber, 0x1122334455667788ULL, 8);
    return s;
}

constexpr std::uint64_t kBig = std::uint64_t{1} << 40;

TEST(BootSector, DecodesClusterAndRecordSizes) {
    auto g = ParseNtfsBootSector(Boot(512, 8, 2'000'000, 4, 0xF6), kBig);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->bytesPerCluster, 4096U);
    EXPECT_EQ(g->bytesPerRecord, 1024U);
    EXPECT_EQ(g->totalClusters, 250'000);
    EXPECT_EQ(g->serialNumber, 0x1122334455667788ULL);

    // Above 128 sectors the byte is a negative power of two: 0xF4 = 2^12
    // sectors of 512 bytes, the 2 MiB clusters Windows can format.
    auto huge = ParseNtfsBootSector(Boot(512, 0xF4, 1ULL << 24, 4, 0xF6), kBig);
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->bytesPerCluster, 2U * 1024 * 1024);

    // A positive record size counts clusters.
    auto byClusters = ParseNtfsBootSector(Boot(4096, 1, 100'000, 4, 1), kBig);
    ASSERT_TRUE(byClusters);
    EXPECT_EQ(byClusters->bytesPerRecord, 4096U);
}

TEST(BootSector, RefusesGeometryThatCannotDescribeAVolume) {
    EXPECT_FALSE(ParseNtfsBootSector(Boot(0, 8, 2'000'000, 4, 0xF6), kBig));
    EXPECT_FALSE(ParseNtfsBootSector(Boot(1000, 8, 2'000'000, 4, 0xF6), kBig));
    EXPECT_FALSE(ParseNtfsBootSector(Boot(512, 0, 2'000'000, 4, 0xF6), kBig));
    EXPECT_FALSE(ParseNtfsBootSector(Boot(512, 3, 2'000'000, 4, 0xF6), kBig));
    EXPECT_FALSE(ParseNtfsBootSector(Boot(512, 0xF3, 1ULL << 24, 4, 0xF6), kBig)); // 4 MiB
    EXPECT_FALSE(ParseNtfsBootSector(Boot(512, 8, 2'000'000, 250'000, 0xF6), kBig));
    EXPECT_FALSE(ParseNtfsBootSector(Boot(512, 8, 2'000'000, 4, 0), kBig));
    EXPECT_FALSE(ParseNtfsBootSector(Boot(512, 8, 2'000'000, 4, 0xEC), kBig)); // 1 MiB records
    EXPECT_FALSE(ParseNtfsBootSector(Boot(512, 8, 0, 4, 0xF6), kBig));
    // More sectors than the source holds: a truncated image.
    EXPECT_FALSE(ParseNtfsBootSector(Boot(512, 8, 2'000'000, 4, 0xF6), 512ULL * 1'000'000));

    auto notNtfs = Boot(512, 8, 2'000'000, 4, 0xF6);
    std::memcpy(notNtfs.data() + boot::kOemId, "MSDOS5.0", 8);
    EXPECT_FALSE(ParseNtfsBootSector(notNtfs, kBig));
    EXPECT_FALSE(ParseNtfsBootSector(std::span(notNtfs).first(100), kBig));
}

} // namespace
} // namespace lorvex::ondisk

#include "volume/VolumeData.h"

#include "ondisk/ByteReader.h"
#include "volume/VolumeApi.h"

#include <gtest/gtest.h>

#include <array>

namespace lorvex::volume {
namespace {

NtfsVolumeData Sample() {
    NtfsVolumeData d;
    d.serialNumber = 0x1122334455667788;
    d.numberSectors = 131071;
    d.totalClusters = 16383;
    d.freeClusters = 9000;
    d.totalReserved = 0;
    d.bytesPerSector = 512;
    d.bytesPerCluster = 4096;
    d.bytesPerFileRecordSegment = 1024;
    d.clustersPerFileRecordSegment = 0;
    d.mftValidDataLength = 0x40000;
    d.mftStartLcn = 4;
    d.mft2StartLcn = 8191;
    d.mftZoneStart = 0;
    d.mftZoneEnd = 2052;
    return d;
}

bool Same(const NtfsVolumeData& a, const NtfsVolumeData& b) {
    return a.serialNumber == b.serialNumber && a.numberSectors == b.numberSectors &&
           a.totalClusters == b.totalClusters && a.freeClusters == b.freeClusters &&
           a.totalReserved == b.totalReserved && a.bytesPerSector == b.bytesPerSector &&
           a.bytesPerCluster == b.bytesPerCluster &&
           a.bytesPerFileRecordSegment == b.bytesPerFileRecordSegment &&
           a.clustersPerFileRecordSegment == b.clustersPerFileRecordSegment &&
           a.mftValidDataLength == b.mftValidDataLength && a.mftStartLcn == b.mftStartLcn &&
           a.mft2StartLcn == b.mft2StartLcn && a.mftZoneStart == b.mftZoneStart &&
           a.mftZoneEnd == b.mftZoneEnd;
}

// The answer is laid out as the published record, and what is written reads
// back the same.
TEST(VolumeData, EncodesThePublishedLayoutAndDecodesItBack) {
    namespace vd = platform::volumedata;
    std::array<std::byte, vd::kSize> out{};
    out.fill(std::byte{0xEE});
    EncodeVolumeData(Sample(), out);
    const ondisk::ByteReader r(out);
    EXPECT_EQ(r.u64(vd::kVolumeSerialNumber), 0x1122334455667788U);
    EXPECT_EQ(r.u32(vd::kBytesPerCluster), 4096U);
    EXPECT_EQ(r.i64(vd::kMftZoneEnd), 2052);
    EXPECT_EQ(r.i64(vd::kTotalReserved), 0);
    EXPECT_TRUE(Same(DecodeVolumeData(out), Sample()));
}

TEST(VolumeData, AShortBufferReadsAsZerosWhereItEnds) {
    namespace vd = platform::volumedata;
    std::array<std::byte, vd::kSize> out{};
    EncodeVolumeData(Sample(), out);
    const NtfsVolumeData cut = DecodeVolumeData(std::span(out).first(vd::kBytesPerCluster + 4));
    EXPECT_EQ(cut.bytesPerCluster, 4096U);
    EXPECT_EQ(cut.bytesPerFileRecordSegment, 0U);
    EXPECT_EQ(cut.mftZoneEnd, 0);
    // Written into less room, the fields that do not fit are left out.
    std::array<std::byte, vd::kBytesPerCluster> small{};
    EncodeVolumeData(Sample(), small);
    EXPECT_EQ(DecodeVolumeData(small).totalClusters, 16383);
}

} // namespace
} // namespace lorvex::volume

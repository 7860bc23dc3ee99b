#include "ntfs/NTFSVolume.h"

#include "support/FakeVolumeApi.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace lorvex::ntfs {
namespace {

using test::FakeVolume;
using test::FakeVolumeApi;
using test::FakeVolumeData;
using test::MakeFileRecord;

constexpr std::byte kMarker{0xA5};

FakeVolumeData Geometry(std::uint32_t recordSize = 1024) {
    FakeVolumeData data;
    data.totalClusters = 1000;
    data.bytesPerCluster = 4096;
    data.bytesPerFileRecordSegment = recordSize;
    data.mftValidDataLength = 64 * 1024;
    return data;
}

// A record of the volume's size whose last byte marks it, so a truncated copy
// shows up.
std::vector<std::byte> Record(std::size_t size, std::uint64_t baseReference = 0) {
    auto record = MakeFileRecord(size, baseReference);
    record.back() = kMarker;
    return record;
}

// Collects the messages the reader shows while it lives.
class MessageRecorder {
  public:
    MessageRecorder()
        : previous_(SetMessageHandler([this](std::string_view text, std::string_view caption) {
              messages.emplace_back(std::string(caption) + ":" + std::string(text));
          })) {}
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;
    ~MessageRecorder() { SetMessageHandler(std::move(previous_)); }

    std::vector<std::string> messages;

  private:
    MessageHandler previous_;
};

TEST(NTFSVolumeCreate, UpperCasesTheDriveAndFindsTheDevicePath) {
    FakeVolumeApi api;
    api.AddNtfsDrive('C', Geometry());
    const TNTFSVolume volume(api, "c");
    EXPECT_EQ(volume.FDrive, "C:");
    EXPECT_EQ(volume.FVolumePath, "\\\\.\\Volume{C}");
    EXPECT_EQ(volume.FFileSystem, "NTFS");
    EXPECT_EQ(volume.FVolumeName, "Data");
    EXPECT_EQ(volume.FTotalClusters, 1000);
    EXPECT_EQ(volume.FByteMask[0], 0);
    EXPECT_EQ(volume.FByteMask[3], 0xFFFFFF);
    EXPECT_EQ(volume.FByteMask[7], 0xFFFFFFFFFFFFFF);
    EXPECT_EQ(volume.FByteMask[8], -1);
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

TEST(NTFSVolumeCreate, SerialKeepsLeadingZerosInUpperCase) {
    FakeVolumeApi api;
    api.AddNtfsDrive('C', Geometry(), "x", 0x00AB0012);
    api.AddNtfsDrive('D', Geometry(), "x", 0xDEADBEEF);
    EXPECT_EQ(TNTFSVolume(api, "C").FSerial, "00AB-0012");
    EXPECT_EQ(TNTFSVolume(api, "D").FSerial, "DEAD-BEEF");
}

TEST(NTFSVolumeCreate, FlagsFollowTheListOrderNotTheBitOrder) {
    namespace f = platform::fsflags;
    FakeVolumeApi api;
    api.AddNtfsDrive('C', Geometry());
    api.drives['C'].info->fileSystemFlags = f::kCaseSensitiveSearch | f::kCasePreservedNames;
    EXPECT_EQ(TNTFSVolume(api, "C").FFileSystemFlags,
              "FILE_CASE_PRESERVED_NAMES|FILE_CASE_SENSITIVE_SEARCH");

    api.drives['C'].info->fileSystemFlags = 0;
    EXPECT_EQ(TNTFSVolume(api, "C").FFileSystemFlags, "");

    // Every listed bit plus some unlisted ones, which are ignored.
    api.drives['C'].info->fileSystemFlags = 0x000F81FF | 0x00F00000;
    EXPECT_EQ(TNTFSVolume(api, "C").FFileSystemFlags,
              "FILE_CASE_PRESERVED_NAMES|FILE_CASE_SENSITIVE_SEARCH|FILE_FILE_COMPRESSION|"
              "FILE_NAMED_STREAMS|FILE_PERSISTENT_ACLS|FILE_READ_ONLY_VOLUME|"
              "FILE_SUPPORTS_ENCRYPTION|FILE_SUPPORTS_OBJECT_IDS|FILE_SUPPORTS_REPARSE_POINTS|"
              "FILE_SUPPORTS_REMOTE_STORAGE|FILE_SUPPORTS_SPARSE_FILES|FILE_UNICODE_ON_DISK|"
              "FILE_VOLUME_IS_COMPRESSED|FILE_VOLUME_QUOTAS");
}

TEST(NTFSVolumeCreate, DecodesEveryGeometryField) {
    FakeVolumeData data;
    data.serialNumber = 0x1122334455667788;
    data.numberSectors = 2000001;
    data.totalClusters = 250000;
    data.freeClusters = 12345;
    data.totalReserved = 77;
    data.bytesPerSector = 4096;
    data.bytesPerCluster = 65536;
    data.bytesPerFileRecordSegment = 1024;
    data.clustersPerFileRecordSegment = 3;
    data.mftValidDataLength = 0x40000;
    data.mftStartLcn = 786432;
    data.mft2StartLcn = 2;
    data.mftZoneStart = 786500;
    data.mftZoneEnd = 819200;
    FakeVolumeApi api;
    api.AddNtfsDrive('E', data);
    const TNTFSVolume v(api, "E");
    EXPECT_EQ(v.FVolumeSerialNumber, 0x1122334455667788);
    EXPECT_EQ(v.FNumberSectors, 2000001);
    EXPECT_EQ(v.FTotalClusters, 250000);
    EXPECT_EQ(v.FFreeClusters, 12345);
    EXPECT_EQ(v.FTotalReserved, 77);
    EXPECT_EQ(v.FBytesPerSector, 4096U);
    EXPECT_EQ(v.FBytesPerCluster, 65536U);
    EXPECT_EQ(v.FBytesPerFileRecordSegment, 1024U);
    EXPECT_EQ(v.FClustersPerFileRecordSegment, 3U);
    EXPECT_EQ(v.FMftValidDataLength, 0x40000);
    EXPECT_EQ(v.FMftStartLcn, 786432);
    EXPECT_EQ(v.FMft2StartLcn, 2);
    EXPECT_EQ(v.FMftZoneStart, 786500);
    EXPECT_EQ(v.FMftZoneEnd, 819200);
    EXPECT_TRUE(v.FRecordSize1K);
    EXPECT_EQ(v.FRecord.FileRecordBuffer.size(), 1024U);
    EXPECT_EQ(api.calls.volumeDataQueries, 1);
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

TEST(NTFSVolumeCreate, OtherFileSystemKeepsInformationButNoGeometry) {
    FakeVolumeApi api;
    api.AddNtfsDrive('F', Geometry(), "Stick");
    api.drives['F'].info->fileSystemName = "FAT32";
    MessageRecorder recorder;
    TNTFSVolume volume(api, "F");
    EXPECT_EQ(volume.FFileSystem, "FAT32");
    EXPECT_EQ(volume.FVolumeName, "Stick");
    EXPECT_EQ(volume.FTotalClusters, 0);
    EXPECT_EQ(volume.FBytesPerFileRecordSegment, 0U);
    EXPECT_EQ(api.calls.volumeDataQueries, 0);

    // An inert volume answers every record read with its failure value.
    std::vector<std::byte> buffer(4096);
    EXPECT_EQ(volume.GetLastRecordNumber(), 0);
    EXPECT_EQ(volume.QueryFileRecord(buffer, 0), -1);
    ASSERT_TRUE(volume.OpenVolume());
    EXPECT_EQ(volume.FetchFileRecord(buffer, 0), -1);
    EXPECT_EQ(volume.ReadFileRecord(0), 0);
    volume.CloseVolume();
    EXPECT_EQ(api.calls.fileRecordQueries, 0);
    EXPECT_TRUE(recorder.messages.empty());
}

TEST(NTFSVolumeCreate, NoVolumeInformationOrDevicePathLeavesItInert) {
    FakeVolumeApi api;
    api.AddNtfsDrive('G', Geometry());
    api.drives['G'].info.reset();
    const TNTFSVolume noInfo(api, "G");
    EXPECT_EQ(noInfo.FFileSystem, "");
    EXPECT_EQ(noInfo.FSerial, "");
    EXPECT_EQ(api.calls.volumeDataQueries, 0);

    api.AddNtfsDrive('H', Geometry());
    api.drives['H'].volumeName.reset();
    const int opens = api.calls.createFile;
    TNTFSVolume noPath(api, "H");
    EXPECT_EQ(noPath.FVolumePath, "");
    EXPECT_EQ(noPath.FFileSystem, "NTFS");
    EXPECT_EQ(noPath.FTotalClusters, 0);
    EXPECT_FALSE(noPath.OpenVolume());
    EXPECT_EQ(noPath.FHandle, 0);
    EXPECT_EQ(api.calls.createFile, opens);
}

TEST(NTFSVolumeCreate, FailedVolumeDataQueryLeavesGeometryZero) {
    FakeVolumeApi api;
    api.AddNtfsDrive('C', Geometry()).volumeData.clear();
    const TNTFSVolume volume(api, "C");
    EXPECT_EQ(api.calls.volumeDataQueries, 1);
    EXPECT_EQ(volume.FTotalClusters, 0);
    EXPECT_FALSE(volume.FRecordSize1K);
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

TEST(NTFSVolumeCreate, RecordSizeOutOfRangeMakesTheVolumeInert) {
    for (const std::uint32_t size : {0U, kMaxRecordSize + 1, 0xFFFFFFFFU}) {
        FakeVolumeApi api;
        api.AddNtfsDrive('C', Geometry(size));
        const TNTFSVolume volume(api, "C");
        EXPECT_EQ(volume.FTotalClusters, 0) << size;
        EXPECT_EQ(volume.FBytesPerFileRecordSegment, 0U) << size;
        EXPECT_EQ(volume.FRecord.FileRecordBuffer.size(), kDefaultRecordSize) << size;
    }
    FakeVolumeApi api;
    api.AddNtfsDrive('C', Geometry(kMaxRecordSize));
    const TNTFSVolume largest(api, "C");
    EXPECT_EQ(largest.FBytesPerFileRecordSegment, kMaxRecordSize);
    EXPECT_EQ(largest.FLastRecord.size(), kMaxRecordSize);
    EXPECT_FALSE(largest.FRecordSize1K);
}

TEST(NTFSVolumeHandle, BracketOpensAndClosesOnce) {
    FakeVolumeApi api;
    api.AddNtfsDrive('C', Geometry());
    {
        TNTFSVolume volume(api, "C");
        ASSERT_TRUE(volume.OpenVolume());
        EXPECT_NE(volume.FHandle, 0);
        EXPECT_EQ(api.OpenHandleCount(), 1U);
        volume.CloseVolume();
        volume.CloseVolume();
        EXPECT_EQ(api.OpenHandleCount(), 0U);
        EXPECT_EQ(api.calls.closeHandle, 2); // the volume-data query's own, then this one
        // A bracket left open is closed with the object.
        ASSERT_TRUE(volume.OpenVolume());
    }
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

TEST(NTFSVolumeRecords, AnswersWithTheNearestLowerRecordInUse) {
    FakeVolumeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    for (const std::int64_t n : {0, 1, 5, 40}) {
        disk.records[n] = Record(1024);
    }
    TNTFSVolume volume(api, "C");
    std::vector<std::byte> buffer(1024);
    EXPECT_EQ(volume.QueryFileRecord(buffer, 5), 5);
    EXPECT_EQ(volume.QueryFileRecord(buffer, 7), 5);     // free
    EXPECT_EQ(volume.QueryFileRecord(buffer, 1000), 40); // beyond the last
    EXPECT_EQ(buffer.back(), kMarker);
    EXPECT_EQ(volume.FLastRecord, buffer);
    EXPECT_EQ(api.OpenHandleCount(), 0U);

    ASSERT_TRUE(volume.OpenVolume());
    EXPECT_EQ(volume.ReadFileRecord(7), 5);
    EXPECT_EQ(volume.FRecord.FileReferenceNumber, 5);
    EXPECT_EQ(volume.FRecord.FileRecordLength, 1024U);
    std::vector<std::byte> output(volume.GetRecordOutputSize());
    EXPECT_EQ(volume.FetchFileRecord(output, 39), 5);
    EXPECT_EQ(volume.FetchFileRecord(output, 41), 40);
    volume.CloseVolume();
}

TEST(NTFSVolumeRecords, FailedReadsKeepThePreviousRecord) {
    FakeVolumeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    disk.records[3] = Record(1024);
    TNTFSVolume volume(api, "C");
    // Not bracketed: the shared handle is not open.
    EXPECT_EQ(volume.ReadFileRecord(3), 0);
    std::vector<std::byte> output(volume.GetRecordOutputSize());
    EXPECT_EQ(volume.FetchFileRecord(output, 3), -1);

    ASSERT_TRUE(volume.OpenVolume());
    ASSERT_EQ(volume.ReadFileRecord(3), 3);
    const std::vector<std::byte> before(volume.FRecord.FileRecordBuffer.begin(),
                                        volume.FRecord.FileRecordBuffer.end());
    disk.recordQueryError = platform::error::kFileCorrupt;
    EXPECT_EQ(volume.ReadFileRecord(4), 0);
    EXPECT_EQ(volume.FRecord.FileReferenceNumber, 3);
    EXPECT_EQ(std::vector<std::byte>(volume.FRecord.FileRecordBuffer.begin(),
                                     volume.FRecord.FileRecordBuffer.end()),
              before);
    volume.CloseVolume();
}

TEST(NTFSVolumeRecords, ShortOutputAreasAreRefusedWithoutAQuery) {
    FakeVolumeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry(4096));
    disk.records[0] = Record(4096);
    TNTFSVolume volume(api, "C");
    ASSERT_TRUE(volume.OpenVolume());
    // Big enough for the classic 1 KiB record, not for this volume's.
    std::vector<std::byte> output(12 + 1024, std::byte{0x77});
    EXPECT_EQ(volume.FetchFileRecord(output, 0), -1);
    EXPECT_EQ(output, std::vector<std::byte>(12 + 1024, std::byte{0x77}));
    output.resize(volume.GetRecordOutputSize());
    EXPECT_EQ(volume.FetchFileRecord(output, 0), 0);
    volume.CloseVolume();

    std::vector<std::byte> buffer(4095);
    EXPECT_EQ(volume.QueryFileRecord(buffer, 0), -1);
    EXPECT_EQ(api.calls.fileRecordQueries, 1);
}

TEST(NTFSVolumeRecords, LargeRecordsArriveWhole) {
    FakeVolumeApi api;
    FakeVolumeData data = Geometry(4096);
    data.mftValidDataLength = 10 * 4096;
    FakeVolume& disk = api.AddNtfsDrive('C', data);
    disk.records[0] = Record(4096);
    disk.records[9] = Record(4096);
    TNTFSVolume volume(api, "C");
    EXPECT_FALSE(volume.FRecordSize1K);
    EXPECT_EQ(volume.GetRecordOutputSize(), 12U + 4096U);

    // The estimate divides by 1 KiB whatever the record size; the query
    // then walks down to the last record in use.
    EXPECT_EQ(volume.EstimateLastRecord(), 39);
    EXPECT_EQ(volume.GetLastRecordNumber(), 9);
    EXPECT_EQ(volume.FLastRecord.size(), 4096U);
    EXPECT_EQ(volume.FLastRecord.back(), kMarker);

    ASSERT_TRUE(volume.OpenVolume());
    EXPECT_EQ(volume.ReadFileRecord(9), 9);
    EXPECT_EQ(volume.FRecord.FileRecordBuffer.size(), 4096U);
    EXPECT_EQ(volume.FRecord.FileRecordBuffer.back(), kMarker);
    EXPECT_TRUE(IsValidRecord(volume.FRecord.FileRecordBuffer));
    std::vector<std::byte> output(volume.GetRecordOutputSize());
    EXPECT_EQ(volume.FetchFileRecord(output, 0), 0);
    EXPECT_EQ(output.back(), kMarker);
    volume.CloseVolume();
}

TEST(NTFSVolumeRecords, LastRecordNumber) {
    FakeVolumeApi api;
    FakeVolumeData data = Geometry();
    data.mftValidDataLength = 100 * 1024;
    FakeVolume& disk = api.AddNtfsDrive('C', data);
    disk.records[0] = Record(1024);
    disk.records[42] = Record(1024);
    disk.records[99] = Record(1024);
    disk.records[100] = Record(1024); // past the valid data: not reached
    TNTFSVolume volume(api, "C");
    EXPECT_EQ(volume.EstimateLastRecord(), 99);
    EXPECT_EQ(volume.GetLastRecordNumber(), 99);
    disk.records.erase(99);
    EXPECT_EQ(volume.GetLastRecordNumber(), 42);
    EXPECT_EQ(api.OpenHandleCount(), 0U);

    volume.FMftValidDataLength = 0;
    EXPECT_EQ(volume.EstimateLastRecord(), 0);
    EXPECT_EQ(volume.GetLastRecordNumber(), 0);

    MessageRecorder recorder;
    const int queries = api.calls.fileRecordQueries;
    volume.FTotalClusters = 0;
    EXPECT_EQ(volume.GetLastRecordNumber(), 0);
    EXPECT_EQ(api.calls.fileRecordQueries, queries);
    EXPECT_TRUE(recorder.messages.empty());
}

TEST(NTFSVolumeRecords, FailingQueryShowsTheErrorNumber) {
    FakeVolumeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    disk.recordQueryError = platform::error::kFileCorrupt;
    TNTFSVolume volume(api, "C");
    std::vector<std::byte> buffer(1024, std::byte{0x11});
    {
        MessageRecorder recorder;
        EXPECT_EQ(volume.QueryFileRecord(buffer, 5), -1);
        EXPECT_EQ(recorder.messages, std::vector<std::string>{"error:1392"});
    }
    EXPECT_EQ(buffer, std::vector<std::byte>(1024, std::byte{0x11}));
    EXPECT_EQ(api.OpenHandleCount(), 0U);
    // With no handler installed the message is dropped.
    EXPECT_EQ(volume.QueryFileRecord(buffer, 5), -1);

    // The bracketed readers stay silent.
    MessageRecorder recorder;
    ASSERT_TRUE(volume.OpenVolume());
    std::vector<std::byte> output(volume.GetRecordOutputSize());
    EXPECT_EQ(volume.FetchFileRecord(output, 5), -1);
    EXPECT_EQ(volume.ReadFileRecord(5), 0);
    volume.CloseVolume();
    EXPECT_TRUE(recorder.messages.empty());
}

TEST(NTFSVolumeRecords, ValidityNeedsSignatureAndAnEarlyFirstAttribute) {
    EXPECT_TRUE(IsValidRecord(MakeFileRecord(1024, 0, 1023)));
    EXPECT_FALSE(IsValidRecord(MakeFileRecord(1024, 0, 1024)));
    EXPECT_FALSE(IsValidRecord(MakeFileRecord(4096, 0, 1024)));
    auto bad = MakeFileRecord(1024);
    bad[0] = std::byte{'B'};
    EXPECT_FALSE(IsValidRecord(bad));
    // Too short to hold the offset at all.
    const auto whole = MakeFileRecord(1024);
    EXPECT_FALSE(IsValidRecord(std::span(whole).first(0x15)));
    EXPECT_FALSE(IsValidRecord({}));
}

TEST(NTFSVolumeRecords, RecordBaseIgnoresTheSequenceNumber) {
    FakeVolumeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    disk.records[30] = Record(1024);
    disk.records[31] = Record(1024, 0x0005000000000000ULL | 30);
    disk.records[32] = Record(1024, 0x0007'1234'5678'9ABCULL);
    TNTFSVolume volume(api, "C");
    ASSERT_TRUE(volume.OpenVolume());
    std::int64_t base = -1;
    EXPECT_EQ(volume.ReadRecordBase(base, 30), 30);
    EXPECT_EQ(base, 30);
    EXPECT_EQ(volume.ReadRecordBase(base, 31), 31);
    EXPECT_EQ(base, 30);
    EXPECT_EQ(volume.ReadRecordBase(base, 32), 32);
    EXPECT_EQ(base, 0x1234'5678'9ABC);
    volume.CloseVolume();
}

TEST(NTFSVolumeCluster, ReadsAtA64BitOffset) {
    FakeVolumeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    const std::int64_t lcn = 0x1'2345'6789; // far past 4 GiB in bytes
    std::vector<std::byte> cluster(4096);
    cluster.front() = std::byte{0x01};
    cluster.back() = kMarker;
    disk.WriteImage(lcn * 4096, cluster);
    TNTFSVolume volume(api, "C");

    std::vector<std::byte> buffer(4096, std::byte{0xEE});
    volume.ReadCluster(buffer, lcn);
    EXPECT_EQ(api.lastSeekOffset, lcn * 4096);
    EXPECT_EQ(buffer, cluster);
    EXPECT_EQ(api.OpenHandleCount(), 0U);
    EXPECT_EQ(volume.FHandle, 0);

    // Buffers too small and offsets that do not exist are left alone.
    const int reads = api.calls.readFile;
    std::vector<std::byte> small(4095, std::byte{0xEE});
    volume.ReadCluster(small, 0);
    volume.ReadCluster(buffer, -1);
    volume.ReadCluster(buffer, std::numeric_limits<std::int64_t>::max() / 4096 + 1);
    EXPECT_EQ(api.calls.readFile, reads);
    EXPECT_EQ(small, std::vector<std::byte>(4095, std::byte{0xEE}));

    // A failed seek must not read from wherever the position happens to be.
    disk.seekError = platform::error::kReadFault;
    volume.ReadCluster(buffer, 0);
    EXPECT_EQ(api.calls.readFile, reads);
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

} // namespace
} // namespace lorvex::ntfs

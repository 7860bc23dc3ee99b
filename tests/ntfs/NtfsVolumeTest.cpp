#include "ntfs/NtfsVolume.h"
#include "ntfs/FileTable.h"
#include "ntfs/Formatters.h"

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

// Collects the messages the reader gives the notice it is handed.
struct MessageRecorder {
    [[nodiscard]] Notice notice() {
        return [this](std::string_view text, std::string_view caption) {
            messages.emplace_back(std::string(caption) + ":" + std::string(text));
        };
    }
    std::vector<std::string> messages;
};

TEST(NtfsVolumeCreate, UpperCasesTheDriveAndFindsTheDevicePath) {
    FakeVolumeApi api;
    api.AddNtfsDrive('C', Geometry());
    const NtfsVolume volume(api, "c");
    EXPECT_EQ(volume.drive(), "C:");
    EXPECT_EQ(volume.devicePath(), "\\\\.\\Volume{C}");
    EXPECT_EQ(volume.information().fileSystemName, "NTFS");
    EXPECT_EQ(volume.information().label, "Data");
    EXPECT_EQ(volume.information().maxComponentLength, 255U);
    EXPECT_EQ(volume.geometry().totalClusters, 1000);
    // The old names read the same values.
    EXPECT_EQ(volume.drive(), "C:");
    EXPECT_EQ(volume.devicePath(), volume.devicePath());
    EXPECT_EQ(volume.information().label, "Data");
    EXPECT_EQ(volume.geometry().totalClusters, 1000);
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

TEST(NtfsVolumeCreate, SerialKeepsLeadingZerosInUpperCase) {
    FakeVolumeApi api;
    api.AddNtfsDrive('C', Geometry(), "x", 0x00AB0012);
    api.AddNtfsDrive('D', Geometry(), "x", 0xDEADBEEF);
    // The volume keeps the number; the text is the formatters'.
    EXPECT_EQ(NtfsVolume(api, "C").information().serialNumber, 0x00AB0012U);
    EXPECT_EQ(VolumeSerialText(NtfsVolume(api, "C").information().serialNumber), "00AB-0012");
    EXPECT_EQ(VolumeSerialText(NtfsVolume(api, "D").information().serialNumber), "DEAD-BEEF");
}

TEST(NtfsVolumeCreate, KeepsTheFlagsAsANumber) {
    namespace f = platform::fsflags;
    FakeVolumeApi api;
    api.AddNtfsDrive('C', Geometry());
    api.drives['C'].info->fileSystemFlags = f::kCaseSensitiveSearch | f::kCasePreservedNames;
    const NtfsVolume volume(api, "C");
    EXPECT_EQ(volume.information().fileSystemFlags,
              f::kCaseSensitiveSearch | f::kCasePreservedNames);
    EXPECT_EQ(FileSystemFlagsText(volume.information().fileSystemFlags),
              "FILE_CASE_PRESERVED_NAMES|FILE_CASE_SENSITIVE_SEARCH");
}

TEST(NtfsVolumeCreate, DecodesEveryGeometryField) {
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
    const NtfsVolume v(api, "E");
    const VolumeGeometry& g = v.geometry();
    EXPECT_EQ(g.volumeSerialNumber, 0x1122334455667788);
    EXPECT_EQ(g.numberSectors, 2000001);
    EXPECT_EQ(g.totalClusters, 250000);
    EXPECT_EQ(g.freeClusters, 12345);
    EXPECT_EQ(g.totalReserved, 77);
    EXPECT_EQ(g.bytesPerSector, 4096U);
    EXPECT_EQ(g.bytesPerCluster, 65536U);
    EXPECT_EQ(g.bytesPerRecord, 1024U);
    EXPECT_EQ(g.clustersPerRecord, 3U);
    EXPECT_EQ(g.mftValidDataLength, 0x40000);
    EXPECT_EQ(g.mftStartLcn, 786432);
    EXPECT_EQ(g.mftMirrorStartLcn, 2);
    EXPECT_EQ(g.mftZoneStart, 786500);
    EXPECT_EQ(g.mftZoneEnd, 819200);
    EXPECT_EQ(g.recordCount, 256);
    EXPECT_EQ(g, VolumeGeometry::FromVolumeData(data.Encode()));
    EXPECT_EQ(v.geometry().mftMirrorStartLcn, 2);
    EXPECT_EQ(api.calls.volumeDataQueries, 1);
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

TEST(NtfsVolumeCreate, OtherFileSystemKeepsInformationButNoGeometry) {
    FakeVolumeApi api;
    api.AddNtfsDrive('F', Geometry(), "Stick");
    api.drives['F'].info->fileSystemName = "FAT32";
    MessageRecorder recorder;
    NtfsVolume volume(api, "F");
    EXPECT_EQ(volume.information().fileSystemName, "FAT32");
    EXPECT_EQ(volume.information().label, "Stick");
    EXPECT_EQ(volume.geometry().totalClusters, 0);
    EXPECT_EQ(volume.geometry().bytesPerRecord, 0U);
    EXPECT_EQ(api.calls.volumeDataQueries, 0);

    // An inert volume reads no record, and does not ask.
    EXPECT_EQ(volume.GetLastRecordNumber(recorder.notice()), 0);
    RecordReader records = volume.OpenRecordReader();
    EXPECT_FALSE(records.ReadInUseAtOrBelow(0));
    EXPECT_FALSE(records.Read(0));
    EXPECT_EQ(api.calls.fileRecordQueries, 0);
    EXPECT_TRUE(recorder.messages.empty());
}

TEST(NtfsVolumeCreate, NoVolumeInformationOrDevicePathLeavesItInert) {
    FakeVolumeApi api;
    api.AddNtfsDrive('G', Geometry());
    api.drives['G'].info.reset();
    const NtfsVolume noInfo(api, "G");
    EXPECT_EQ(noInfo.information().fileSystemName, "");
    EXPECT_EQ(api.calls.volumeDataQueries, 0);

    api.AddNtfsDrive('H', Geometry());
    api.drives['H'].volumeName.reset();
    const int opens = api.calls.createFile;
    NtfsVolume noPath(api, "H");
    EXPECT_EQ(noPath.devicePath(), "");
    EXPECT_EQ(noPath.information().fileSystemName, "NTFS");
    EXPECT_EQ(noPath.geometry().totalClusters, 0);
    EXPECT_FALSE(noPath.OpenRecordReader().IsOpen());
    EXPECT_EQ(api.calls.createFile, opens);
}

TEST(NtfsVolumeCreate, FailedVolumeDataQueryLeavesGeometryZero) {
    FakeVolumeApi api;
    api.AddNtfsDrive('C', Geometry()).volumeData.clear();
    const NtfsVolume volume(api, "C");
    EXPECT_EQ(api.calls.volumeDataQueries, 1);
    EXPECT_EQ(volume.geometry(), VolumeGeometry{});
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

TEST(NtfsVolumeCreate, RecordSizeOutOfRangeMakesTheVolumeInert) {
    for (const std::uint32_t size : {0U, kMaxRecordSize + 1, 0xFFFFFFFFU}) {
        FakeVolumeApi api;
        api.AddNtfsDrive('C', Geometry(size));
        const NtfsVolume volume(api, "C");
        EXPECT_EQ(volume.geometry(), VolumeGeometry{}) << size;
        EXPECT_FALSE(volume.OpenRecordReader().ReadInUseAtOrBelow(0)) << size;
    }
    FakeVolumeApi api;
    api.AddNtfsDrive('C', Geometry(kMaxRecordSize));
    const NtfsVolume largest(api, "C");
    EXPECT_EQ(largest.geometry().bytesPerRecord, kMaxRecordSize);
    // A short answer is no geometry either.
    EXPECT_FALSE(VolumeGeometry::FromVolumeData(std::vector<std::byte>(95)));
}

TEST(NtfsVolumeRecords, TheQueryAnswersWithTheNearestLowerRecordInUse) {
    FakeVolumeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    for (const std::int64_t n : {0, 1, 5, 40}) {
        disk.records[n] = Record(1024);
    }
    NtfsVolume volume(api, "C");
    {
        RecordReader records = volume.OpenRecordReader();
        EXPECT_EQ(records.ReadInUseAtOrBelow(5)->number(), 5);
        EXPECT_EQ(records.ReadInUseAtOrBelow(7)->number(), 5); // free
        const auto beyond = records.ReadInUseAtOrBelow(1000);  // beyond the last
        ASSERT_TRUE(beyond);
        EXPECT_EQ(beyond->number(), 40);
        EXPECT_EQ(beyond->bytes().size(), 1024U);
        EXPECT_EQ(beyond->bytes().back(), kMarker);
        // Asked for a record in use, a lower one is no answer.
        EXPECT_FALSE(records.ReadInUse(7));
        EXPECT_EQ(records.ReadInUse(40)->number(), 40);
    }
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

TEST(NtfsVolumeRecords, AFailedReadAnswersNothingAndLeavesEarlierViewsAsTheyWere) {
    FakeVolumeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    disk.records[3] = Record(1024);
    NtfsVolume volume(api, "C");
    RecordReader records = volume.OpenRecordReader();
    const auto three = records.ReadInUse(3);
    ASSERT_TRUE(three);
    const std::vector<std::byte> before(three->bytes().begin(), three->bytes().end());
    disk.recordQueryError = platform::error::kFileCorrupt;
    EXPECT_FALSE(records.ReadInUse(4));
    EXPECT_FALSE(records.ReadInUseAtOrBelow(2));
    EXPECT_EQ(std::vector<std::byte>(three->bytes().begin(), three->bytes().end()), before);
    // The record asked for just before is the same answer still, without a query.
    const int queries = api.calls.fileRecordQueries;
    EXPECT_EQ(records.ReadInUse(3)->number(), 3);
    EXPECT_EQ(api.calls.fileRecordQueries, queries);
}

TEST(NtfsVolumeRecords, LargeRecordsArriveWhole) {
    FakeVolumeApi api;
    FakeVolumeData data = Geometry(4096);
    data.mftValidDataLength = 10 * 4096;
    FakeVolume& disk = api.AddNtfsDrive('C', data);
    disk.records[0] = Record(4096);
    disk.records[9] = Record(4096);
    NtfsVolume volume(api, "C");

    // The estimate divides by 1 KiB whatever the record size; the query
    // then walks down to the last record in use.
    EXPECT_EQ(volume.EstimateLastRecord(), 39);
    EXPECT_EQ(volume.GetLastRecordNumber(), 9);

    RecordReader records = volume.OpenRecordReader();
    const auto nine = records.ReadInUse(9);
    ASSERT_TRUE(nine);
    EXPECT_EQ(nine->bytes().size(), 4096U);
    EXPECT_EQ(nine->bytes().back(), kMarker);
    EXPECT_TRUE(nine->valid());
    const auto zero = records.ReadInUseAtOrBelow(0);
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->bytes().back(), kMarker);
}

TEST(NtfsVolumeRecords, LastRecordNumber) {
    FakeVolumeApi api;
    FakeVolumeData data = Geometry();
    data.mftValidDataLength = 100 * 1024;
    FakeVolume& disk = api.AddNtfsDrive('C', data);
    disk.records[0] = Record(1024);
    disk.records[42] = Record(1024);
    disk.records[99] = Record(1024);
    disk.records[100] = Record(1024); // past the valid data: not reached
    NtfsVolume volume(api, "C");
    EXPECT_EQ(volume.EstimateLastRecord(), 99);
    EXPECT_EQ(volume.GetLastRecordNumber(), 99);
    disk.records.erase(99);
    EXPECT_EQ(volume.GetLastRecordNumber(), 42);
    EXPECT_EQ(api.OpenHandleCount(), 0U);

    data.mftValidDataLength = 0;
    api.AddNtfsDrive('D', data).records = disk.records;
    NtfsVolume noValidData(api, "D");
    EXPECT_EQ(noValidData.EstimateLastRecord(), 0);
    EXPECT_EQ(noValidData.GetLastRecordNumber(), 0);

    MessageRecorder recorder;
    const int queries = api.calls.fileRecordQueries;
    data.totalClusters = 0;
    api.AddNtfsDrive('E', data).records = disk.records;
    EXPECT_EQ(NtfsVolume(api, "E").GetLastRecordNumber(recorder.notice()), 0);
    EXPECT_EQ(api.calls.fileRecordQueries, queries);
    EXPECT_TRUE(recorder.messages.empty());
}

TEST(NtfsVolumeRecords, FailingQueryShowsTheErrorNumber) {
    FakeVolumeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    disk.recordQueryError = platform::error::kFileCorrupt;
    NtfsVolume volume(api, "C");
    MessageRecorder recorder;
    EXPECT_EQ(volume.GetLastRecordNumber(recorder.notice()), -1);
    EXPECT_EQ(recorder.messages, std::vector<std::string>{"error:1392"});
    EXPECT_EQ(api.OpenHandleCount(), 0U);
    // Without a notice the message is dropped.
    EXPECT_EQ(volume.GetLastRecordNumber(), -1);

    // The file enumeration hands the message on, once, and goes on with
    // record 0 alone.
    recorder.messages.clear();
    TFileIDs table;
    volume.EnumerateFiles(table, {}, recorder.notice());
    EXPECT_EQ(recorder.messages, std::vector<std::string>{"error:1392"});
    EXPECT_EQ(api.OpenHandleCount(), 0U);
}

TEST(NtfsVolumeRecords, ValidityNeedsSignatureAndAnEarlyFirstAttribute) {
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

TEST(NtfsVolumeRecords, RecordBaseIgnoresTheSequenceNumber) {
    FakeVolumeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    disk.records[30] = Record(1024);
    disk.records[31] = Record(1024, 0x0005000000000000ULL | 30);
    disk.records[32] = Record(1024, 0x0007'1234'5678'9ABCULL);
    NtfsVolume volume(api, "C");
    RecordReader records = volume.OpenRecordReader();
    EXPECT_EQ(records.ReadInUse(30)->baseRecord(), 30);
    EXPECT_EQ(records.ReadInUse(31)->baseRecord(), 30);
    EXPECT_EQ(records.ReadInUse(32)->baseRecord(), 0x1234'5678'9ABC);
}

TEST(NtfsVolumeCluster, ReadsAtA64BitOffset) {
    FakeVolumeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    const std::int64_t lcn = 0x1'2345'6789; // far past 4 GiB in bytes
    std::vector<std::byte> cluster(4096);
    cluster.front() = std::byte{0x01};
    cluster.back() = kMarker;
    disk.WriteImage(lcn * 4096, cluster);
    NtfsVolume volume(api, "C");

    std::vector<std::byte> buffer(4096, std::byte{0xEE});
    volume.ReadCluster(buffer, lcn);
    EXPECT_EQ(api.lastSeekOffset, lcn * 4096);
    EXPECT_EQ(buffer, cluster);
    EXPECT_EQ(api.OpenHandleCount(), 0U);

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

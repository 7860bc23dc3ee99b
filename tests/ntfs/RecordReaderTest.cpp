// The record reader on a hand-made volume: its handle, its two reads, the
// life of its views and the lists of the report sections.
#include "ntfs/RecordReader.h"

#include "RecordBuilder.h"
#include "ntfs/NtfsVolume.h"
#include "ondisk/FileRecord.h"
#include "support/FakeVolumeApi.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <vector>

namespace lorvex::test {
namespace {

using ntfs::NtfsVolume;
using ntfs::RecordReader;
using ntfs::RecordView;
using platform::FileRecordState;

// A record whose last byte tells it from the others.
Bytes Marked(std::uint8_t marker, std::uint64_t baseReference = 0, std::uint16_t sequence = 1) {
    Bytes record = RecordBuilder(1024, baseReference).End();
    PutLE(record, ondisk::record::kSequenceNumber, sequence, 2);
    record.back() = std::byte{marker};
    return record;
}

std::vector<std::byte> Copy(const std::optional<RecordView>& view) {
    return {view->bytes().begin(), view->bytes().end()};
}

TEST(RecordReader, OpensOneHandleAndClosesItWhenItGoes) {
    Drive d;
    d.disk.records[5] = Marked(5);
    NtfsVolume& volume = d.Create();
    std::optional<RecordView> kept;
    {
        RecordReader reader = volume.OpenRecordReader();
        ASSERT_TRUE(reader.IsOpen());
        EXPECT_EQ(d.api.OpenHandleCount(), 1U);
        kept = reader.Read(5);
        // A second reader has a handle of its own.
        const RecordReader other = volume.OpenRecordReader();
        EXPECT_EQ(d.api.OpenHandleCount(), 2U);
    }
    EXPECT_EQ(d.api.OpenHandleCount(), 0U);
    // The view holds its bytes after the reader is gone.
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->bytes().back(), std::byte{5});

    // A device that is gone: the reader is not open and reads nothing.
    d.api.volumes.clear();
    RecordReader gone = volume.OpenRecordReader();
    EXPECT_FALSE(gone.IsOpen());
    EXPECT_FALSE(gone.Read(5));
    EXPECT_FALSE(gone.ReadInUseAtOrBelow(5));
    EXPECT_EQ(d.api.OpenHandleCount(), 0U);
}

TEST(RecordReader, AVolumeWithoutARecordSizeReadsNoRecord) {
    Drive d;
    d.disk.records[0] = Marked(0);
    d.api.drives['C'].info->fileSystemName = "FAT32";
    NtfsVolume& volume = d.Create();
    RecordReader reader = volume.OpenRecordReader();
    EXPECT_TRUE(reader.IsOpen());
    EXPECT_FALSE(reader.Read(0));
    EXPECT_FALSE(reader.ReadInUseAtOrBelow(0));
    EXPECT_EQ(d.api.calls.fileRecordQueries, 0);
}

// Without the exact read the query stands in, and it knows records in use
// only: a free number gives nothing rather than the record below it.
TEST(RecordReader, WithoutTheExactReadOnlyRecordsInUseAreSeen) {
    Drive d;
    d.disk.records[5] = Marked(5);
    d.disk.records[40] = Marked(40);
    RecordReader reader = d.Create().OpenRecordReader();

    const auto five = reader.Read(5);
    ASSERT_TRUE(five);
    EXPECT_EQ(five->number(), 5);
    EXPECT_TRUE(five->inUse());
    EXPECT_TRUE(five->valid());
    EXPECT_EQ(five->bytes().size(), 1024U);
    EXPECT_FALSE(reader.Read(7));
    EXPECT_FALSE(reader.Read(-1));

    const auto below = reader.ReadInUseAtOrBelow(39);
    ASSERT_TRUE(below);
    EXPECT_EQ(below->number(), 5);
    EXPECT_EQ(reader.ReadInUseAtOrBelow(1000)->number(), 40);
    EXPECT_FALSE(reader.ReadInUseAtOrBelow(4));
}

TEST(RecordReader, TheExactReadTellsFreeFromInUseAndNeverAnswersAnother) {
    ExactFakeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    disk.records[5] = Marked(5);
    api.freeRecords[6] = Marked(6, 0, 3);
    NtfsVolume volume(api, "C");
    RecordReader reader = volume.OpenRecordReader();

    const auto six = reader.Read(6);
    ASSERT_TRUE(six);
    EXPECT_EQ(six->number(), 6);
    EXPECT_FALSE(six->inUse());
    EXPECT_EQ(six->sequenceNumber(), 3);
    EXPECT_EQ(six->bytes().back(), std::byte{6});
    EXPECT_TRUE(reader.Read(5)->inUse());
    EXPECT_FALSE(reader.Read(7));
    EXPECT_EQ(api.calls.fileRecordQueries, 0);
    // The query still walks past the free record to the one in use.
    EXPECT_EQ(reader.ReadInUseAtOrBelow(6)->number(), 5);
    EXPECT_EQ(api.exactReads, 3);
}

// A view's bytes stay what was read while the reader goes on reading, and
// the reader's room is reused once no view holds it.
TEST(RecordReader, AViewKeepsItsBytesWhateverIsReadAfterIt) {
    Drive d;
    for (std::uint8_t n = 1; n <= 8; ++n) {
        d.disk.records[n] = Marked(n);
    }
    RecordReader reader = d.Create().OpenRecordReader();
    std::vector<RecordView> views;
    for (std::int64_t n = 1; n <= 8; ++n) {
        views.push_back(*reader.Read(n));
    }
    for (const RecordView& view : views) {
        EXPECT_EQ(view.bytes().back(), std::byte(view.number())) << view.number();
    }
    const auto first = Copy(reader.Read(1));
    views.clear();
    const std::byte* room = reader.Read(2)->bytes().data();
    EXPECT_EQ(reader.Read(3)->bytes().data(), room);
    EXPECT_EQ(Copy(reader.Read(1)), first);
}

TEST(RecordReader, BaseRecordAndSequenceComeFromTheHeader) {
    Drive d;
    d.disk.records[0] = Marked(0);
    d.disk.records[30] = Marked(30, 0, 9);
    d.disk.records[31] = Marked(31, 0x0005'0000'0000'001EULL);
    // An extension of record 0: its base number is 0, like a base record's.
    d.disk.records[32] = Marked(32, 0x0001'0000'0000'0000ULL);
    RecordReader reader = d.Create().OpenRecordReader();
    const auto base = reader.Read(30);
    EXPECT_EQ(base->baseReference(), 0U);
    EXPECT_EQ(base->baseRecord(), 30);
    EXPECT_EQ(base->sequenceNumber(), 9);
    const auto extension = reader.Read(31);
    EXPECT_EQ(extension->baseReference(), 0x0005'0000'0000'001EULL);
    EXPECT_EQ(extension->baseRecord(), 30);
    EXPECT_EQ(reader.Read(32)->baseRecord(), 0);
}

TEST(RecordReader, ListsAttributesOfRecordsInUseOnly) {
    ExactFakeApi api;
    FakeVolume& disk = api.AddNtfsDrive('C', Geometry());
    disk.records[16] = RecordBuilder()
                           .Resident(ondisk::type::kFileName, 1, FileNameValue(5, u"a.txt"))
                           .NonResident(ondisk::type::kData, 2, Raw({0x11, 3, 40, 0}), 0, 0)
                           .End();
    api.freeRecords[17] = disk.records[16];
    NtfsVolume volume(api, "C");
    RecordReader reader = volume.OpenRecordReader();
    ntfs::TAttributes attributes;
    ntfs::TDataRuns runs;
    reader.GetAttributes(attributes, 16);
    ASSERT_EQ(attributes.size(), 2);
    EXPECT_EQ(attributes[0].Entries, ntfs::TWideStringArray{u"a.txt"});
    reader.GetDataRuns(1, runs, 16);
    ASSERT_EQ(runs.size(), 1);
    EXPECT_EQ(runs[0].LCN, 40);
    EXPECT_EQ(runs[0].Length, 3);
    // The record was read once for its attributes and its runs.
    EXPECT_EQ(api.exactReads, 1);

    // A deleted file's record is read, but lists nothing, as a report wants.
    reader.GetAttributes(attributes, 17);
    EXPECT_EQ(attributes.size(), 0);
    reader.GetDataRuns(1, runs, 17);
    EXPECT_EQ(runs.size(), 0);
}

} // namespace
} // namespace lorvex::test

// Attributes and data runs over hand-made records: the lists the readers
// give, and what they give for each kind of damage.
#include "ntfs/Attributes.h"
#include "ntfs/Formatters.h"
#include "ntfs/NtfsVolume.h"
#include "ondisk/Utf16.h"

#include "RecordBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace lorvex::ntfs {
namespace {

using test::AttributeListValue;
using test::Bytes;
using test::Drive;
using test::FileNameValue;
using test::kCluster;
using test::PutLE;
using test::Raw;
using test::RecordBuilder;
using test::StandardInformationValue;
namespace type = ondisk::type;

std::vector<std::u16string> Names(const TAttributes& list) {
    std::vector<std::u16string> out;
    for (int i = 0; i < list.size(); ++i) {
        out.push_back(ondisk::FromUtf8(list[static_cast<std::size_t>(i)].Name));
    }
    return out;
}

TEST(Attributes, ListEveryAttributeInRecordOrderWithNamesIdsAndEntries) {
    Drive d;
    d.disk.records[40] =
        RecordBuilder()
            .Resident(type::kStandardInformation, 0, StandardInformationValue(1, 2, 3, 0x20))
            .Resident(type::kAttributeList, 7,
                      AttributeListValue({{type::kStandardInformation, 40, 0},
                                          {type::kFileName, 0x0003'0000'0000'0029ULL, 2},
                                          {type::kData, 1234, 3}}))
            .Resident(type::kFileName, 2, FileNameValue(5, u"A long name.txt", 1))
            .Resident(type::kFileName, 3, FileNameValue(5, u"ALONGN~1.TXT", 2))
            .NonResident(type::kData, 4, Raw({0x21, 0x18, 0x34, 0x56, 0x00}), 0x18 * kCluster, 1000)
            .Resident(type::kData, 5, Raw({'h', 'i'}), u"summary")
            .Resident(0x120, 6, Raw({1, 2, 3}))
            .End();
    RecordReader& records = d.Open();
    TAttributes list;
    list.Add(0, "left over", 9, {u"x"}, type::kData, true);
    records.GetAttributes(list, 40);

    ASSERT_EQ(list.size(), 7);
    const auto a = list.items();
    EXPECT_EQ(a[0].TypeIndex, 0);
    EXPECT_EQ(a[0].AttrType, type::kStandardInformation);
    EXPECT_TRUE(a[0].Resident);
    EXPECT_EQ(a[0].Entries, TWideStringArray{u""});
    EXPECT_EQ(a[1].AttributeID, 7);
    // The record number of each entry, without the sequence number.
    EXPECT_EQ(a[1].Entries,
              (TWideStringArray{u"$STANDARD_INFORMATION(0) @ File ID 40",
                                u"$FILE_NAME(2) @ File ID 41", u"$DATA(3) @ File ID 1234"}));
    // Both names, whatever their namespace.
    EXPECT_EQ(a[2].Entries, TWideStringArray{u"A long name.txt"});
    EXPECT_EQ(a[3].Entries, TWideStringArray{u"ALONGN~1.TXT"});
    EXPECT_EQ(a[4].TypeIndex, 7);
    EXPECT_FALSE(a[4].Resident);
    EXPECT_EQ(a[4].AttributeID, 4);
    EXPECT_EQ(Names(list), (std::vector<std::u16string>{u"", u"", u"", u"", u"", u"summary", u""}));
    // An unknown type keeps its code and an index inside the table.
    EXPECT_EQ(a[6].AttrType, 0x120U);
    EXPECT_EQ(a[6].TypeIndex, kUnknownTypeIndex);
}

// The list's elements are filled in place from record to record: what a
// longer record before left in them (names, file names, list lines) never
// shows in the next one's.
TEST(Attributes, ARecordListedAfterAnotherShowsNothingOfIt) {
    Drive d;
    d.disk.records[40] =
        RecordBuilder()
            .Resident(type::kStandardInformation, 0, StandardInformationValue(1, 2, 3, 0x20))
            .Resident(
                type::kAttributeList, 7,
                AttributeListValue({{type::kStandardInformation, 40, 0}, {type::kData, 1234, 3}}))
            .Resident(type::kFileName, 2, FileNameValue(5, u"A rather long file name.txt", 1))
            .Resident(type::kData, 5, Raw({'h', 'i'}), u"a long stream name")
            .Resident(type::kData, 6, Raw({'h', 'o'}), u"another stream")
            .End();
    d.disk.records[41] =
        RecordBuilder()
            .Resident(type::kFileName, 2, FileNameValue(5, u"b", 1))
            .Resident(type::kData, 3, Raw({'x'}))
            .Resident(type::kAttributeList, 4, AttributeListValue({{type::kData, 41, 3}}))
            .Resident(type::kAttributeList, 8, AttributeListValue({{type::kData, 41, 3}}))
            .End();
    RecordReader& records = d.Open();
    TAttributes fresh;
    records.GetAttributes(fresh, 41);
    TAttributes reused;
    records.GetAttributes(reused, 40);
    ASSERT_EQ(reused.size(), 5);
    records.GetAttributes(reused, 41);
    ASSERT_EQ(reused.size(), 4);
    for (int i = 0; i < reused.size(); ++i) {
        const auto& a = reused[static_cast<std::size_t>(i)];
        const auto& b = fresh[static_cast<std::size_t>(i)];
        EXPECT_EQ(a.Name, b.Name) << i;
        EXPECT_EQ(a.Entries, b.Entries) << i;
        EXPECT_EQ(a.AttributeID, b.AttributeID) << i;
        EXPECT_EQ(a.AttrType, b.AttrType) << i;
    }
    EXPECT_EQ(reused[0].Entries, TWideStringArray{u"b"});
    EXPECT_EQ(reused[1].Name, "");
    EXPECT_EQ(reused[1].Entries, TWideStringArray{u""});
    EXPECT_EQ(reused[2].Entries, TWideStringArray{u"$DATA(3) @ File ID 41"});
    // The second list is not followed, and has no lines of the first's.
    EXPECT_TRUE(reused[3].Entries.empty());
    // The fifth element still holds record 40's last attribute, as room; a
    // walk over the list ends before it.
    std::vector<std::uint16_t> ids;
    for (const TAttribute& a : reused) {
        ids.push_back(a.AttributeID);
    }
    EXPECT_EQ(ids, (std::vector<std::uint16_t>{2, 3, 4, 8}));
    EXPECT_EQ(reused.items().size(), 4U);
}

TEST(Attributes, TypeNamesAndIndexesStayInsideTheTable) {
    EXPECT_EQ(AttributeTypeName(0x10), "$STANDARD_INFORMATION");
    EXPECT_EQ(AttributeTypeName(0x80), "$DATA");
    EXPECT_EQ(AttributeTypeName(0x100), "$LOGGED_UTILITY_STREAM");
    EXPECT_EQ(AttributeTypeName(0xFFFFFFFF), "$END_OF_ATTRIBUTES");
    EXPECT_EQ(AttributeTypeName(0x120), "$UNKNOWN(0x120)");
    EXPECT_EQ(AttributeTypeName(0x105), "$UNKNOWN(0x105)");
    EXPECT_EQ(AttributeTypeName(0), "$UNKNOWN(0x0)");
    EXPECT_EQ(AttributeTypeName(0xFFFFFFF0), "$UNKNOWN(0xFFFFFFF0)");
    EXPECT_EQ(AttributeTypeIndex(0x10), 0);
    EXPECT_EQ(AttributeTypeIndex(0x100), 15);
    for (const std::uint32_t code : {0U, 0x8U, 0x105U, 0x110U, 0x1000U, 0xFFFFFFF0U, 0xFFFFFFFFU}) {
        EXPECT_EQ(AttributeTypeIndex(code), kUnknownTypeIndex) << code;
    }
}

TEST(DataRuns, FollowTheAttributeIndexAndGiveAbsoluteClusters) {
    Drive d;
    // 4 at 100, 2 at 99 (offset -1), 8 sparse, 3 at 101 (relative to 99).
    const Bytes runs =
        Raw({0x11, 0x04, 0x64, 0x11, 0x02, 0xFF, 0x01, 0x08, 0x11, 0x03, 0x02, 0x00});
    d.disk.records[40] =
        RecordBuilder()
            .Resident(type::kStandardInformation, 0, StandardInformationValue(1, 2, 3, 0))
            .NonResident(type::kData, 1, runs, 17 * kCluster, 17 * kCluster)
            .NonResident(type::kData, 2, Raw({0x21, 0x18, 0x34, 0x56, 0x00}), 0x18 * kCluster,
                         0x18 * kCluster, u"second")
            .End();
    RecordReader& records = d.Open();
    TDataRuns list;
    records.GetDataRuns(1, list, 40);
    ASSERT_EQ(list.size(), 4);
    const auto r = list.items();
    EXPECT_EQ(r[0].LCN, 100);
    EXPECT_EQ(r[0].Length, 4);
    EXPECT_EQ(r[1].LCN, 99);
    EXPECT_EQ(r[1].Length, 2);
    // A sparse run repeats the start of the run before it, and the next run
    // counts from there.
    EXPECT_TRUE(r[2].Sparse);
    EXPECT_EQ(r[2].LCN, 99);
    EXPECT_EQ(r[2].Length, 8);
    EXPECT_FALSE(r[3].Sparse);
    EXPECT_EQ(r[3].LCN, 101);

    // The list is replaced, not appended to.
    records.GetDataRuns(2, list, 40);
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].LCN, 0x5634);
    EXPECT_EQ(list[0].Length, 0x18);

    // Resident, past the end marker, negative: no runs.
    for (const int index : {0, 3, 200, -1}) {
        records.GetDataRuns(index, list, 40);
        EXPECT_EQ(list.size(), 0) << index;
    }
}

TEST(Attributes, AFreeOrUnreadableRecordYieldsNothingOfAnother) {
    Drive d;
    d.disk.records[40] =
        RecordBuilder()
            .NonResident(type::kData, 1, Raw({0x11, 0x04, 0x64, 0x00}), 4 * kCluster, 1)
            .End();
    RecordReader& records = d.Open();
    TAttributes list;
    TDataRuns runs;
    // Record 41 is free: the query answers with record 40.
    records.GetAttributes(list, 41);
    EXPECT_EQ(list.size(), 0);
    records.GetDataRuns(0, runs, 41);
    EXPECT_EQ(runs.size(), 0);
    // A failed query leaves record 40 in FRecord; it must not be taken for
    // the record that was asked for.
    records.GetAttributes(list, 40);
    EXPECT_EQ(list.size(), 1);
    d.disk.recordQueryError = 31;
    records.GetAttributes(list, 42);
    EXPECT_EQ(list.size(), 0);
    records.GetDataRuns(0, runs, 42);
    EXPECT_EQ(runs.size(), 0);
}

// Record 40 built from `builder`, with `edit` applied to its bytes.
template <typename Edit>
void Damaged(Drive& d, RecordBuilder builder, Edit edit, bool endMarker = true) {
    Bytes bytes = endMarker ? builder.End() : builder.Raw();
    edit(bytes);
    d.disk.records[40] = bytes;
}

TEST(DamagedRecords, EveryWalkStopsInsideTheRecordKeepingWhatCameBefore) {
    const auto base = [] {
        RecordBuilder b;
        b.Resident(type::kStandardInformation, 0, StandardInformationValue(1, 2, 3, 0));
        return b;
    };
    const std::size_t second = base().Position();
    const auto withData = [&] {
        auto b = base();
        b.NonResident(type::kData, 1, Raw({0x11, 0x04, 0x64, 0x00}), 4 * kCluster, 1);
        return b;
    };
    struct Case {
        const char* what;
        std::function<void(Drive&)> make;
        int attributes;
    };
    const std::vector<Case> cases = {
        {"attribute length 0",
         [&](Drive& d) { Damaged(d, withData(), [&](Bytes& b) { PutLE(b, second + 4, 0, 4); }); },
         1},
        {"attribute running past the record",
         [&](Drive& d) {
             Damaged(d, withData(), [&](Bytes& b) { PutLE(b, second + 4, 0x10000, 4); });
         },
         1},
        {"no end marker: the sequence runs into the record's end",
         [&](Drive& d) {
             Damaged(
                 d, withData(),
                 [&](Bytes& b) {
                     // The data attribute is stretched to the last byte.
                     PutLE(b, second + 4, b.size() - second, 4);
                 },
                 false);
         },
         2},
        {"first attribute in the last bytes of the record",
         [&](Drive& d) { Damaged(d, withData(), [&](Bytes& b) { PutLE(b, 0x14, 1020, 2); }); }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Drive d;
        c.make(d);
        RecordReader& records = d.Open();
        TAttributes list;
        records.GetAttributes(list, 40);
        EXPECT_EQ(list.size(), c.attributes);
        TDataRuns runs;
        records.GetDataRuns(1, runs, 40);
        // The runs of a stretched attribute are still its own.
        EXPECT_EQ(runs.size(), c.attributes == 2 ? 1 : 0);
    }
}

TEST(DamagedRecords, FieldsInsideAnAttributeAreReadOnlyWithinIt) {
    Drive d;
    RecordBuilder b;
    b.Resident(type::kFileName, 2, FileNameValue(5, u"name.txt"));
    const std::size_t data = b.Position();
    // 4 at 100, then a run whose length field claims 9 bytes.
    b.NonResident(type::kData, 1, Raw({0x11, 0x04, 0x64, 0x19, 0x01, 0x00}), 8 * kCluster, 1, u"s");
    const std::size_t runListOffsetPastEnd = b.Position();
    b.NonResident(type::kData, 3, Raw({0x11, 0x04, 0x64, 0x00}), 4 * kCluster, 1);
    Bytes bytes = b.End();
    // The file name claims 200 characters, the stream name 100.
    PutLE(bytes, RecordBuilder::kFirst + 0x18 + ondisk::filename::kNameLength, 200, 1);
    PutLE(bytes, data + ondisk::attr::kNameLength, 100, 1);
    PutLE(bytes, runListOffsetPastEnd + ondisk::attr::kRunListOffset, 0x400, 2);
    d.disk.records[40] = bytes;
    RecordReader& records = d.Open();
    TAttributes list;
    records.GetAttributes(list, 40);
    ASSERT_EQ(list.size(), 3);
    // What lies inside the attribute, and nothing of the next one.
    const auto& name = list[0].Entries[0];
    EXPECT_EQ(name.substr(0, 8), u"name.txt");
    EXPECT_LE(name.size(), (bytes.size() / 2));
    EXPECT_EQ(list[1].Name.substr(0, 1), "s");
    TDataRuns runs;
    records.GetDataRuns(1, runs, 40);
    ASSERT_EQ(runs.size(), 1);
    EXPECT_EQ(runs[0].LCN, 100);
    records.GetDataRuns(2, runs, 40);
    EXPECT_EQ(runs.size(), 0);
}

TEST(AttributeList, ParsingStopsAtAnEntryThatCannotBeRight) {
    namespace le = ondisk::listentry;
    const Bytes three = AttributeListValue(
        {{type::kStandardInformation, 40, 0}, {type::kFileName, 41, 2}, {type::kData, 42, 3}});
    const auto size = static_cast<std::uint32_t>(three.size());
    TWideStringArray lines{u"stale"};
    ParseAttributeList(three, size, lines);
    EXPECT_EQ(lines.size(), 3U);
    EXPECT_EQ(lines[2], u"$DATA(3) @ File ID 42");

    // Only what the value length covers.
    ParseAttributeList(three, 0x40, lines);
    EXPECT_EQ(lines.size(), 2U);
    ParseAttributeList(three, 0, lines);
    EXPECT_TRUE(lines.empty());
    // A length beyond the bytes given is cut to them.
    ParseAttributeList(three, 0xFFFFFFFF, lines);
    EXPECT_EQ(lines.size(), 3U);

    for (const std::uint64_t badLength : {0ULL, 0x10ULL, 0x48ULL}) {
        Bytes bad = three;
        PutLE(bad, 0x20 + le::kLength, badLength, 2);
        ParseAttributeList(bad, size, lines);
        EXPECT_EQ(lines, TWideStringArray{u"$STANDARD_INFORMATION(0) @ File ID 40"}) << badLength;
    }
    // A tail too short for an entry's fields.
    Bytes tail = three;
    tail.resize(tail.size() + 8);
    ParseAttributeList(tail, static_cast<std::uint32_t>(tail.size()), lines);
    EXPECT_EQ(lines.size(), 3U);
}

TEST(AttributeList, ANonResidentListIsReadFromItsClustersUnlessItsSizeIsAbsurd) {
    const Bytes value =
        AttributeListValue({{type::kStandardInformation, 40, 0}, {type::kData, 43, 1}});
    const auto make = [&](std::int64_t allocated, std::int64_t dataSize) {
        auto d = std::make_unique<Drive>();
        d->disk.records[40] = RecordBuilder()
                                  .NonResident(type::kAttributeList, 4,
                                               Raw({0x11, 0x01, 0x0A, 0x00}), allocated, dataSize)
                                  .End();
        d->disk.WriteImage(10 * kCluster, value);
        return d;
    };
    {
        auto d = make(kCluster, static_cast<std::int64_t>(value.size()));
        TAttributes list;
        d->Open().GetAttributes(list, 40);
        ASSERT_EQ(list.size(), 1);
        EXPECT_EQ(list[0].Entries, (TWideStringArray{u"$STANDARD_INFORMATION(0) @ File ID 40",
                                                     u"$DATA(1) @ File ID 43"}));
        EXPECT_EQ(d->api.lastSeekOffset, 10 * kCluster);
    }
    const std::vector<std::pair<std::int64_t, std::int64_t>> refused = {
        {std::int64_t{1} << 40, 0x40}, // far more than any list
        {-4096, 0x40},                 // negative
        {kCluster, kCluster + 1},      // more data than room
    };
    for (const auto& [allocated, dataSize] : refused) {
        SCOPED_TRACE(allocated);
        auto d = make(allocated, dataSize);
        TAttributes list;
        d->Open().GetAttributes(list, 40);
        ASSERT_EQ(list.size(), 1);
        EXPECT_TRUE(list[0].Entries.empty());
        EXPECT_EQ(d->api.calls.readFile, 0);
    }
}

// Three non-resident lists in one record, all naming the same clusters: the
// section shows every list with its run, and the entries of the first one
// only, so that a shared list cannot multiply a record's lines.
TEST(AttributeList, OnlyTheFirstListOfARecordIsFollowed) {
    const Bytes value =
        AttributeListValue({{type::kStandardInformation, 40, 0}, {type::kData, 43, 1}});
    Drive d;
    const Bytes runs = Raw({0x11, 0x01, 0x0A, 0x00});
    const auto size = static_cast<std::int64_t>(value.size());
    d.disk.records[40] = RecordBuilder()
                             .NonResident(type::kAttributeList, 4, runs, kCluster, size)
                             .NonResident(type::kAttributeList, 5, runs, kCluster, size)
                             .NonResident(type::kAttributeList, 6, runs, kCluster, size)
                             .End();
    d.disk.WriteImage(10 * kCluster, value);
    RecordReader& records = d.Open();
    TAttributes attributes;
    TDataRuns dataRuns;
    std::vector<std::string> lines;
    AppendAttributeSection(records, attributes, dataRuns, 40,
                           [&lines](std::string_view line) { lines.emplace_back(line); });
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "\t$ATTRIBUTE_LIST(4)  (nonresident)",
                         "\t\tLCN:10 LEN:1 ",
                         "\t\t\t$STANDARD_INFORMATION(0) @ File ID 40",
                         "\t\t\t$DATA(1) @ File ID 43",
                         "\t$ATTRIBUTE_LIST(5)  (nonresident)",
                         "\t\tLCN:10 LEN:1 ",
                         "\t$ATTRIBUTE_LIST(6)  (nonresident)",
                         "\t\tLCN:10 LEN:1 ",
                     }));
    // The one list was read once.
    EXPECT_EQ(d.api.calls.readFile, 1);
}

TEST(ReadRunData, NeverWritesPastItsBufferWhateverTheRunsClaim) {
    Drive d;
    Bytes clusters(3 * kCluster);
    std::fill(clusters.begin(), clusters.end(), std::byte{0x11});
    d.disk.WriteImage(10 * kCluster, clusters);
    RecordReader& records = d.Open();

    // 500 clusters at 10, into a buffer of two clusters and a guard.
    std::vector<std::byte> buffer(3 * kCluster, std::byte{0xA5});
    EXPECT_EQ(records.ReadRunData(Raw({0x12, 0xF4, 0x01, 0x0A, 0x00}),
                                  std::span(buffer).first(2 * kCluster)),
              2 * kCluster);
    EXPECT_EQ(buffer[2 * kCluster - 1], std::byte{0x11});
    EXPECT_EQ(buffer[2 * kCluster], std::byte{0xA5});

    // One cluster from 10, a sparse one (zeros, not the clusters of the run
    // before it), then one more from 10.
    std::ranges::fill(buffer, std::byte{0xA5});
    EXPECT_EQ(
        records.ReadRunData(Raw({0x11, 0x01, 0x0A, 0x01, 0x01, 0x11, 0x01, 0x00, 0x00}), buffer),
        3 * kCluster);
    EXPECT_EQ(buffer[0], std::byte{0x11});
    EXPECT_EQ(buffer[kCluster], std::byte{0});
    EXPECT_EQ(buffer[2 * kCluster - 1], std::byte{0});
    EXPECT_EQ(buffer[2 * kCluster], std::byte{0x11});
    EXPECT_EQ(buffer[3 * kCluster - 1], std::byte{0x11});

    // The value ends before a run whose bytes have no signed 64-bit offset
    // (2^63 - 1 clusters, sparse or not, or a sparse 2^52 that wraps to 0
    // bytes) and before one that reaches past the last of the 1000 clusters.
    for (const Bytes& tail :
         {Raw({0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}),
          Raw({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
          Raw({0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10}), Raw({0x12, 0xDF, 0x03, 0x00})}) {
        Bytes runs = Raw({0x11, 0x01, 0x0A});
        runs.insert(runs.end(), tail.begin(), tail.end());
        runs.push_back(std::byte{0});
        std::ranges::fill(buffer, std::byte{0xA5});
        EXPECT_EQ(records.ReadRunData(runs, buffer), kCluster);
        EXPECT_EQ(buffer[kCluster], std::byte{0xA5});
    }

    // A run before cluster 0 stops the read rather than reading elsewhere.
    std::ranges::fill(buffer, std::byte{0xA5});
    EXPECT_EQ(records.ReadRunData(Raw({0x11, 0x01, 0xF6, 0x00}), buffer), 0U);
    EXPECT_EQ(buffer[0], std::byte{0xA5});
}

} // namespace
} // namespace lorvex::ntfs

// The file table over hand-made records: the three stages, the names taken
// from extension records, damaged chains, and the paths of entries whose
// parents cannot be followed.
#include "ntfs/FileTable.h"
#include "ntfs/Attributes.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordDescription.h"
#include "ondisk/Utf16.h"

#include "RecordBuilder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

namespace lorvex::ntfs {
namespace {

using test::AttributeListValue;
using test::Bytes;
using test::Drive;
using test::FileNameValue;
using test::kCluster;
using test::Raw;
using test::RecordBuilder;
using test::StandardInformationValue;
namespace type = ondisk::type;

constexpr std::uint64_t Ref(std::int64_t record, std::uint16_t sequence = 1) {
    return (std::uint64_t{sequence} << 48) | static_cast<std::uint64_t>(record);
}

Bytes Named(std::int64_t parent, std::u16string_view name, std::uint16_t flags = 0x0001) {
    return RecordBuilder(1024, 0, flags)
        .Resident(type::kStandardInformation, 0, StandardInformationValue(11, 22, 33, 0x1))
        .Resident(type::kFileName, 1, FileNameValue(Ref(parent), name))
        .End();
}

const TFileID& Entry(const TFileIDs& table, std::int64_t id) {
    const auto index = table.IndexOfID(id);
    EXPECT_GE(index, 0) << id;
    return table[static_cast<std::size_t>(std::max(index, 0))];
}

std::string PathOf(const TFileIDs& table, std::int64_t id) {
    return ondisk::ToUtf8(table.Path(table.IndexOfID(id)));
}

// Records 0 to 15 as a fresh volume has them, the root directory among them.
void SystemRecords(Drive& d) {
    for (int n = 0; n < 16; ++n) {
        const std::u16string name = n == 5 ? u"." : u"$R" + ondisk::FromUtf8(std::to_string(n));
        d.disk.records[n] = Named(5, name, n == 5 || n == 11 ? 0x0003 : 0x0001);
    }
}

TEST(FileTable, EnumeratesEveryRecordInUseAscendingWithTypesNamesAndSizes) {
    Drive d;
    SystemRecords(d);
    d.disk.records[16] =
        RecordBuilder()
            .Resident(type::kStandardInformation, 0, StandardInformationValue(11, 22, 33, 0x1))
            .Resident(type::kFileName, 1, FileNameValue(Ref(5), u"a.txt", 1, 0x20, 8, 5))
            .Resident(type::kData, 2, Raw({'h', 'e', 'l', 'l', 'o'}))
            .End();
    d.disk.records[17] =
        RecordBuilder()
            .Resident(type::kStandardInformation, 0, StandardInformationValue(1, 1, 1, 0))
            .End();
    d.disk.records[20] = Named(5, u"Dir", 0x0003);
    // The DOS name first; the long name decides.
    d.disk.records[21] =
        RecordBuilder()
            .Resident(type::kFileName, 1, FileNameValue(Ref(20), u"LONGFI~1.TXT", 2))
            .Resident(type::kFileName, 2, FileNameValue(Ref(20), u"Long file.txt", 1))
            .NonResident(type::kData, 3, Raw({0x11, 0x03, 0x64, 0x00}), 3 * kCluster, 10000)
            .End();
    // Two hard links: the later one decides name and parent.
    d.disk.records[22] = RecordBuilder()
                             .Resident(type::kFileName, 1, FileNameValue(Ref(20), u"first.txt"))
                             .Resident(type::kFileName, 2, FileNameValue(Ref(5), u"second.txt"))
                             .End();
    // A file in two records: the base has the name and the first piece.
    d.disk.records[23] =
        RecordBuilder()
            .Resident(type::kAttributeList, 4,
                      AttributeListValue({{type::kFileName, Ref(23), 1},
                                          {type::kData, Ref(23), 2},
                                          {type::kData, Ref(24), 0}}))
            .Resident(type::kFileName, 1, FileNameValue(Ref(20), u"big.bin"))
            .NonResident(type::kData, 2, Raw({0x11, 0x04, 0x10, 0x00}), 8 * kCluster, 30000)
            .End();
    d.disk.records[24] =
        RecordBuilder(1024, Ref(23, 2))
            .NonResident(type::kData, 0, Raw({0x11, 0x04, 0x20, 0x00}), 0, 0, {}, 4)
            .End();
    // Sparse runs take no clusters and count no fragments.
    d.disk.records[25] =
        RecordBuilder()
            .Resident(type::kFileName, 1, FileNameValue(Ref(5), u"sparse.vhd"))
            .NonResident(type::kData, 2,
                         Raw({0x11, 0x02, 0x64, 0x01, 0x05, 0x11, 0x01, 0x10, 0x00}), 8 * kCluster,
                         8 * kCluster)
            .End();
    // 26 to 99 are free.
    d.disk.records[100] = Named(5, u"hundred");

    NtfsVolume& volume = d.Create();
    std::vector<std::int64_t> visited;
    std::vector<int> queries;
    TFileIDs table;
    double last = -1;
    volume.EnumerateFiles(table, [&](double percent) {
        // With 100 records, the progress names the record just handled.
        visited.push_back(std::llround(100.0 - percent));
        queries.push_back(d.api.calls.fileRecordQueries);
        last = percent;
    });
    EXPECT_EQ(d.api.OpenHandleCount(), 0U);

    // Record 99 answers with 25, so the walk goes straight there: one query
    // for the whole gap.
    ASSERT_GE(visited.size(), 3U);
    EXPECT_EQ(visited[0], 100);
    EXPECT_EQ(visited[1], 26);
    EXPECT_EQ(visited[2], 25);
    EXPECT_EQ(queries[1] - queries[0], 1);
    EXPECT_EQ(last, 100.0);

    ASSERT_EQ(table.size(), 16 + 8 + 1);
    for (std::int32_t i = 1; i < table.size(); ++i) {
        EXPECT_LT(table[static_cast<std::size_t>(i - 1)].FileID,
                  table[static_cast<std::size_t>(i)].FileID);
    }
    for (int n = 0; n < 16; ++n) {
        EXPECT_EQ(Entry(table, n).FileType, n == 11 ? kTypeSystemDirectory : kTypeSystem) << n;
    }
    const TFileID& a = Entry(table, 16);
    EXPECT_EQ(a.FileType, kTypeFile);
    EXPECT_EQ(a.Name, u"\\a.txt");
    EXPECT_EQ(a.Size, 5);
    EXPECT_EQ(a.AllocatedSize, 5);
    EXPECT_EQ(a.Flags, 0x21U);
    EXPECT_EQ(a.CreationTime, 11);
    EXPECT_EQ(a.ModificationTime, 22);
    EXPECT_EQ(a.AccessTime, 33);
    EXPECT_TRUE(table.Path(table.IndexOfID(16)).empty()) << "no path before BuildPaths";
    const TFileID& nameless = Entry(table, 17);
    EXPECT_EQ(nameless.Name, u"\\$### ID=17 ###");
    EXPECT_EQ(nameless.ParentID, 5);
    EXPECT_EQ(nameless.FileType, kTypeFile);
    EXPECT_EQ(Entry(table, 20).FileType, kTypeDirectory);
    EXPECT_EQ(Entry(table, 20).Size, 0);
    EXPECT_EQ(Entry(table, 21).Name, u"\\Long file.txt");
    EXPECT_EQ(Entry(table, 21).Size, 10000);
    EXPECT_EQ(Entry(table, 22).Name, u"\\second.txt");
    EXPECT_EQ(Entry(table, 22).ParentID, 5);
    EXPECT_EQ(Entry(table, 24).BaseID, 23);
    EXPECT_EQ(Entry(table, 24).Name, u"\\big.bin");
    EXPECT_EQ(Entry(table, 23).Size, 30000);
    EXPECT_EQ(Entry(table, 23).AllocatedSize, 8 * kCluster);
    // The later piece's own sizes.
    EXPECT_EQ(Entry(table, 24).Size, 0);
    EXPECT_EQ(Entry(table, 24).AllocatedSize, 0);

    table.BuildPaths();
    EXPECT_EQ(PathOf(table, 5), "\\.");
    EXPECT_EQ(PathOf(table, 17), "\\$### ID=17 ###");
    EXPECT_EQ(PathOf(table, 21), "\\Dir\\Long file.txt");
    EXPECT_EQ(PathOf(table, 23), "\\Dir\\big.bin");
    EXPECT_EQ(PathOf(table, 24), "\\Dir\\big.bin");

    volume.CalculateDiskSizes(table);
    EXPECT_EQ(d.api.OpenHandleCount(), 0U);
    EXPECT_EQ(Entry(table, 16).DiskSize, 0);
    EXPECT_EQ(Entry(table, 16).Fragments, 0U);
    EXPECT_EQ(Entry(table, 21).DiskSize, 3 * kCluster);
    EXPECT_EQ(Entry(table, 21).Fragments, 1U);
    EXPECT_EQ(Entry(table, 24).DiskSize, 4 * kCluster);
    EXPECT_EQ(Entry(table, 25).DiskSize, 3 * kCluster);
    EXPECT_EQ(Entry(table, 25).Fragments, 2U);
}

// The entry of record `id` after enumerating the drive's records.
TFileIDs Enumerate(Drive& d) {
    TFileIDs table;
    d.Create().EnumerateFiles(table, {});
    return table;
}

TEST(FileTable, NamesMissingFromTheBaseRecordComeFromItsExtensionRecords) {
    Drive d;
    SystemRecords(d);
    // No $FILE_NAME in the base; two names in 41, listed long name first.
    d.disk.records[40] =
        RecordBuilder()
            .Resident(type::kStandardInformation, 0, StandardInformationValue(7, 8, 9, 0x1))
            .Resident(type::kAttributeList, 5,
                      AttributeListValue({{type::kStandardInformation, Ref(40), 0},
                                          {type::kFileName, Ref(41), 3},
                                          {type::kFileName, Ref(41), 2},
                                          {type::kData, Ref(40), 1}}))
            .NonResident(type::kData, 1, Raw({0x11, 0x04, 0x10, 0x00}), 4 * kCluster, 12345)
            .End();
    d.disk.records[41] =
        RecordBuilder(1024, Ref(40, 3))
            .Resident(type::kFileName, 2, FileNameValue(Ref(20), u"FRAGME~1.BIN", 2, 0x20))
            .Resident(type::kFileName, 3, FileNameValue(Ref(20), u"fragmented.bin", 1, 0x20, 0, 0))
            .End();
    // Only a DOS name in the base, the long name in 43; no $STANDARD_INFORMATION
    // or $DATA in the base either.
    d.disk.records[42] = RecordBuilder()
                             .Resident(type::kAttributeList, 5,
                                       AttributeListValue({{type::kStandardInformation, Ref(43), 0},
                                                           {type::kFileName, Ref(43), 1},
                                                           {type::kFileName, Ref(42), 4},
                                                           {type::kData, Ref(43), 2}}))
                             .Resident(type::kFileName, 4, FileNameValue(Ref(20), u"FIELDR~1", 2))
                             .End();
    d.disk.records[43] =
        RecordBuilder(1024, Ref(42))
            .Resident(type::kStandardInformation, 0, StandardInformationValue(4, 5, 6, 0x2))
            .Resident(type::kFileName, 1, FileNameValue(Ref(20), u"Field Recordings"))
            .Resident(type::kData, 2, Raw({1, 2, 3}))
            .End();
    // The list names a record that belongs to another file: not taken.
    d.disk.records[44] =
        RecordBuilder()
            .Resident(type::kAttributeList, 5, AttributeListValue({{type::kFileName, Ref(41), 3}}))
            .End();
    // Nothing but a DOS name, and nowhere else to look: that is the name.
    d.disk.records[45] =
        RecordBuilder()
            .Resident(type::kFileName, 1, FileNameValue(Ref(20), u"ONLYDOS.TXT", 2))
            .End();
    d.disk.records[20] = Named(5, u"Dir", 0x0003);

    auto table = Enumerate(d);
    const TFileID& fragmented = Entry(table, 40);
    EXPECT_EQ(fragmented.Name, u"\\fragmented.bin");
    EXPECT_EQ(fragmented.ParentID, 20);
    // The sizes are those of $DATA, not of the $FILE_NAME found later.
    EXPECT_EQ(fragmented.Size, 12345);
    EXPECT_EQ(fragmented.AllocatedSize, 4 * kCluster);
    EXPECT_EQ(fragmented.CreationTime, 7);
    EXPECT_EQ(Entry(table, 41).Name, u"\\fragmented.bin");

    const TFileID& field = Entry(table, 42);
    EXPECT_EQ(field.Name, u"\\Field Recordings");
    EXPECT_EQ(field.CreationTime, 4);
    EXPECT_EQ(field.Flags & 0x2U, 0x2U);
    EXPECT_EQ(field.Size, 3);

    EXPECT_EQ(Entry(table, 44).Name, u"\\$### ID=44 ###");
    EXPECT_EQ(Entry(table, 44).ParentID, 5);
    EXPECT_EQ(Entry(table, 45).Name, u"\\ONLYDOS.TXT");
    EXPECT_EQ(Entry(table, 45).ParentID, 20);

    table.BuildPaths();
    EXPECT_EQ(PathOf(table, 40), "\\Dir\\fragmented.bin");
    EXPECT_EQ(PathOf(table, 43), "\\Dir\\Field Recordings");
}

TEST(FileTable, DamagedBaseReferencesLeaveNoDataOfAnotherRecord) {
    Drive d;
    SystemRecords(d);
    d.disk.records[15] =
        RecordBuilder(1024, Ref(0)) // an extension of the $MFT
            .NonResident(type::kData, 0, Raw({0x11, 0x02, 0x30, 0x00}), 0, 0, {}, 10)
            .End();
    d.disk.records[40] = Named(5, u"innocent.txt");
    // Its base, 45, is free: the query answers with 40, which is not it.
    d.disk.records[50] =
        RecordBuilder(1024, Ref(45)).Resident(type::kData, 0, Raw({1, 2, 3, 4, 5, 6, 7})).End();
    // Visited just before 50, with everything a stale entry could keep.
    d.disk.records[51] =
        RecordBuilder()
            .Resident(type::kStandardInformation, 0, StandardInformationValue(1, 2, 3, 0x7))
            .Resident(type::kFileName, 1, FileNameValue(Ref(40), u"stale.txt"))
            .NonResident(type::kData, 2, Raw({0x11, 0x04, 0x10, 0x00}), 4 * kCluster, 9999)
            .End();
    // Base references that go round.
    d.disk.records[60] = RecordBuilder(1024, Ref(61)).End();
    d.disk.records[61] = RecordBuilder(1024, Ref(60)).End();
    d.disk.records[62] = RecordBuilder(1024, Ref(62)).End();

    const auto table = Enumerate(d);
    const TFileID& mft = Entry(table, 15);
    EXPECT_EQ(mft.BaseID, 0);
    EXPECT_EQ(mft.Name, u"\\$R0");
    EXPECT_EQ(mft.FileType, kTypeSystem);

    const TFileID& orphan = Entry(table, 50);
    EXPECT_EQ(orphan.BaseID, 45);
    EXPECT_EQ(orphan.Name, u"\\$### ID=45 ###");
    EXPECT_EQ(orphan.ParentID, 5);
    EXPECT_EQ(orphan.Flags, 0U);
    EXPECT_EQ(orphan.CreationTime, 0);
    EXPECT_EQ(orphan.AccessTime, 0);
    // Its sizes are its own record's.
    EXPECT_EQ(orphan.Size, 7);
    EXPECT_EQ(orphan.AllocatedSize, 7);

    // Asked for the extension itself, the description is the $MFT's.
    bool isDirectory = true;
    bool isSystem = false;
    std::u16string name;
    TFileInfo info;
    DescribeFile(d.Open(), isDirectory, isSystem, name, info, 15);
    EXPECT_EQ(name, u"\\$R0");
    EXPECT_TRUE(isSystem);
    EXPECT_FALSE(isDirectory);

    for (const std::int64_t n : {60, 61, 62}) {
        EXPECT_EQ(Entry(table, n).ParentID, 5) << n;
        EXPECT_EQ(ondisk::ToUtf8(Entry(table, n).Name).rfind("\\$### ID=", 0), 0U) << n;
    }
}

TEST(FileTable, ProgressEndsAtOneHundredWhenRecordZeroIsTheLast) {
    {
        Drive d(test::Geometry(1024)); // the estimate of the last record is 0
        d.disk.records[0] = Named(5, u"$MFT");
        auto& volume = d.Create();
        TFileIDs table;
        std::vector<double> progress;
        volume.EnumerateFiles(table, [&](double percent) { progress.push_back(percent); });
        EXPECT_EQ(table.size(), 1);
        EXPECT_EQ(progress, std::vector<double>{100.0});
    }
    {
        // Every record query fails: the walk ends at once.
        Drive d;
        SystemRecords(d);
        d.disk.recordQueryError = 31;
        auto& volume = d.Create();
        TFileIDs table;
        std::vector<double> progress;
        volume.EnumerateFiles(table, [&](double percent) { progress.push_back(percent); });
        EXPECT_LE(table.size(), 1);
        EXPECT_LE(progress.size(), 2U);
        EXPECT_TRUE(std::ranges::none_of(progress, [](double p) { return std::isnan(p); }));
    }
}

TEST(FileTable, DiskSizesSaturateRatherThanOverflow) {
    Drive d;
    SystemRecords(d);
    // Two runs of 2^62 clusters each.
    const Bytes huge =
        Raw({0x18, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x01, 0x18, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x01, 0x00});
    d.disk.records[30] = RecordBuilder()
                             .Resident(type::kFileName, 1, FileNameValue(Ref(5), u"huge"))
                             .NonResident(type::kData, 2, huge, 0, 0)
                             .End();
    auto table = Enumerate(d);
    d.volume->CalculateDiskSizes(table);
    EXPECT_EQ(Entry(table, 30).DiskSize, std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(Entry(table, 30).Fragments, 2U);
}

// A table made by hand: (record, parent, name), ascending.
TFileIDs Table(const std::vector<std::tuple<std::int64_t, std::int64_t, std::u16string>>& rows) {
    TFileIDs table;
    for (const auto& [id, parent, name] : rows) {
        TFileInfo info;
        info.ParentID = parent;
        table.Add(name, kTypeFile, info, false, id, id);
    }
    return table;
}

// The enumeration in blocks appends a block's entries at once: they follow
// the entries in use, not the room that adding one entry left after it, and
// the room then rounds up as adding them one at a time would leave it.
TEST(FileTable, AppendedEntriesFollowTheEntriesInUse) {
    TFileIDs table = Table({{40, 5, u"\\a"}});
    TFileID b;
    b.FileID = b.BaseID = 41;
    b.Name = table.KeepName(u"\\b");
    TFileID c = b;
    c.FileID = c.BaseID = 42;
    c.Name = table.KeepName(u"\\c");
    TRecordRuns runs;
    runs.AddRecord({}, false);
    runs.AddRecord({}, false);
    table.Append(std::vector{b, c}, runs);
    ASSERT_EQ(table.size(), 3);
    std::vector<std::int64_t> ids;
    for (const TFileID& e : table) {
        ids.push_back(e.FileID);
    }
    EXPECT_EQ(ids, (std::vector<std::int64_t>{40, 41, 42}));
    EXPECT_TRUE(table[2].Name == u"\\c");
    EXPECT_EQ(table.recordRuns().Entries.size(), 2U);
    EXPECT_EQ(table.RoundRoom(), 1000U);
    table.Add(u"\\d", kTypeFile, {}, false, 43, 43);
    ASSERT_EQ(table.size(), 4);
    EXPECT_EQ(table[3].FileID, 43);
    EXPECT_EQ(table.IndexOfID(42), 2);
}

// A name's own backslashes and control characters are escaped in the path
// as shown, never in the exact one; the marker of an orphan is not a name.
TEST(FilePaths, ShownPathsEscapeTheNamesAndExactPathsKeepThem) {
    auto table = Table({{5, 5, u"\\."},
                        {16, 5, u"\\Windows\\System32\\evil.dll"},
                        {17, 5, u"\\dir\x1B]0;t\x07"},
                        {18, 17, u"\\line\nbreak\u202E"},
                        {19, 17, u"\\u{1b}"},
                        {20, 99, u"\\lost\t"}});
    table.BuildPaths();
    const struct {
        std::int64_t id;
        std::u16string shown, exact;
    } cases[] = {
        {16, u"\\Windows\\u{5c}System32\\u{5c}evil.dll", u"\\Windows\\System32\\evil.dll"},
        {18, u"\\dir\\u{1b}]0;t\\u{7}\\line\\u{a}break\\u{202e}",
         u"\\dir\x1B]0;t\x07\\line\nbreak\u202E"},
        {19, u"\\dir\\u{1b}]0;t\\u{7}\\\\u{75}{1b}", u"\\dir\x1B]0;t\x07\\u{1b}"},
        {20, u"\\$### ORPHAN ###\\lost\\u{9}", u"\\$### ORPHAN ###\\lost\t"},
    };
    std::u16string path;
    for (const auto& c : cases) {
        const int index = table.IndexOfID(c.id);
        EXPECT_TRUE(table.Path(index) == c.shown)
            << c.id << " " << ondisk::ToUtf8(table.Path(index));
        table.GetFullPath(index, path);
        EXPECT_TRUE(path == c.shown) << c.id;
        table.GetExactPath(index, path);
        EXPECT_TRUE(path == c.exact) << c.id;
    }
    std::string shown;
    AppendShownName(table[1].Name, shown);
    EXPECT_EQ(shown, "\\Windows\\u{5c}System32\\u{5c}evil.dll");
}

TEST(FilePaths, IndexOfIdFindsEntriesByNumber) {
    const auto table =
        Table({{0, 5, u"\\a"}, {1, 5, u"\\b"}, {2, 5, u"\\c"}, {5, 5, u"\\."}, {9, 5, u"\\d"}});
    EXPECT_EQ(table.IndexOfID(5), 3);
    EXPECT_EQ(table.IndexOfID(4), -1);
    EXPECT_EQ(table.IndexOfID(0), 0);
    EXPECT_EQ(table.IndexOfID(9), 4);
    EXPECT_EQ(table.IndexOfID(10), -1);
    EXPECT_EQ(table.IndexOfID(-1), -1);
    EXPECT_EQ(TFileIDs().IndexOfID(0), -1);
}

TEST(FilePaths, ChainsThatCannotReachTheRootEndAtTheOrphanMarker) {
    auto table = Table({
        {5, 5, u"\\."},
        {20, 5, u"\\Dir"},
        {21, 20, u"\\Sub"},
        {22, 21, u"\\f.txt"},
        {30, 999, u"\\lost.txt"},  // parent not in the table
        {31, 30, u"\\under-lost"}, // below an orphan
        {40, 41, u"\\A"},          // A and B are each other's parent
        {41, 40, u"\\B"},
        {42, 41, u"\\c.txt"},          // hangs below the loop
        {43, 43, u"\\self"},           // its own parent
        {44, 0x1'0000'0014, u"\\far"}, // a parent number beyond 32 bits
        {45, 46, u"\\before-loop"},    // reaches the loop from below
        {46, 47, u"\\C"},
        {47, 46, u"\\D"},
    });
    table.BuildPaths();
    const std::map<std::int64_t, std::string> expected = {
        {5, "\\."},
        {20, "\\Dir"},
        {21, "\\Dir\\Sub"},
        {22, "\\Dir\\Sub\\f.txt"},
        {30, "\\$### ORPHAN ###\\lost.txt"},
        {31, "\\$### ORPHAN ###\\lost.txt\\under-lost"},
        {40, "\\$### ORPHAN ###\\A"},
        {41, "\\$### ORPHAN ###\\B"},
        {42, "\\$### ORPHAN ###\\B\\c.txt"},
        {43, "\\$### ORPHAN ###\\self"},
        {44, "\\$### ORPHAN ###\\far"},
        {45, "\\$### ORPHAN ###\\C\\before-loop"},
        {46, "\\$### ORPHAN ###\\C"},
        {47, "\\$### ORPHAN ###\\D"},
    };
    for (const auto& [id, path] : expected) {
        EXPECT_EQ(PathOf(table, id), path) << id;
        // The path of one entry on its own is the same.
        std::u16string single;
        table.GetFullPath(table.IndexOfID(id), single);
        EXPECT_EQ(ondisk::ToUtf8(single), path) << id;
    }
    // Building again gives the same paths.
    table.BuildPaths();
    EXPECT_EQ(PathOf(table, 42), expected.at(42));
    std::u16string none = u"x";
    table.GetFullPath(99, none);
    EXPECT_TRUE(none.empty());
}

// A chain of directories deeper than any path Windows handles: every path
// is capped at kMaxPathLength behind kLongPathMarker, keeping the entry's
// own end, and the table holds no path at all (the old table kept each
// entry's whole path, gigabytes for a few thousand levels of long names).
TEST(FilePaths, ADeepChainIsCappedAtTheLongestPathKeepingItsEnd) {
    constexpr int kDepth = 3000;
    const std::u16string longName(254, u'n');
    std::vector<std::tuple<std::int64_t, std::int64_t, std::u16string>> rows = {{5, 5, u"\\."}};
    for (int level = 0; level < kDepth; ++level) {
        const std::int64_t id = 100 + level;
        rows.emplace_back(id, level == 0 ? 5 : id - 1,
                          u"\\" + ondisk::FromUtf8(std::to_string(level)) + longName);
    }
    rows.emplace_back(10'000, 100 + kDepth - 1, u"\\deepest.txt");
    rows.emplace_back(10'001, 9'999, u"\\orphan-top"); // parent not in the table
    for (int level = 0; level < 200; ++level) {
        rows.emplace_back(10'002 + level, 10'001 + level, u"\\" + longName);
    }
    auto table = Table(rows);
    table.BuildPaths();

    // Shallow enough: the whole path, as ever.
    std::string expected = "\\0" + ondisk::ToUtf8(longName) + "\\1" + ondisk::ToUtf8(longName);
    EXPECT_EQ(PathOf(table, 101), expected);

    std::u16string path;
    std::u16string single;
    int capped = 0;
    for (int i = 0; i < table.size(); ++i) {
        table.GetPath(i, path);
        ASSERT_LE(path.size(), kMaxPathLength) << i;
        table.GetFullPath(i, single);
        ASSERT_EQ(path, single) << i;
        if (path.starts_with(kLongPathMarker)) {
            ++capped;
            // Whole names only: the marker is followed by a name's start.
            ASSERT_EQ(path[kLongPathMarker.size()], u'\\') << i;
            // As much of the end as fits: one more name would not.
            ASSERT_GT(path.size() + 1 + 4 + longName.size(), kMaxPathLength) << i;
        }
    }
    EXPECT_GT(capped, 2000);

    const std::u16string deepest = table.Path(table.IndexOfID(10'000));
    EXPECT_TRUE(deepest.starts_with(kLongPathMarker));
    EXPECT_TRUE(deepest.ends_with(u"\\2999" + longName + u"\\deepest.txt"));
    // Below an orphan the cap takes the orphan marker's place too.
    const std::u16string orphan = table.Path(table.size() - 1);
    EXPECT_TRUE(orphan.starts_with(kLongPathMarker));
    EXPECT_EQ(PathOf(table, 10'001), "\\$### ORPHAN ###\\orphan-top");

    // A path of exactly the longest length is whole; one unit more is capped.
    const std::size_t rootName = 2 + longName.size(); // "\\0" and the long name
    const std::u16string pad(kMaxPathLength - rootName - 1, u'p');
    auto edge = Table({{5, 5, u"\\."},
                       {100, 5, u"\\0" + longName},
                       {101, 100, u"\\" + pad},
                       {102, 100, u"\\" + pad + u"q"}});
    edge.BuildPaths();
    EXPECT_EQ(edge.Path(2).size(), kMaxPathLength);
    EXPECT_TRUE(edge.Path(2).starts_with(u"\\0nnn"));
    EXPECT_TRUE(edge.Path(3) == std::u16string(kLongPathMarker) + u"\\" + pad + u"q");

    // Reversing the table keeps every entry's path.
    const int at = table.IndexOfID(10'000);
    const std::u16string before = table.Path(at);
    table.Reverse();
    EXPECT_EQ(table[static_cast<std::size_t>(table.size() - 1 - at)].FileID, 10'000);
    EXPECT_EQ(table.Path(table.size() - 1 - at), before);
}

} // namespace
} // namespace lorvex::ntfs

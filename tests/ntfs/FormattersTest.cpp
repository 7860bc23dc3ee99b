#include "ntfs/Formatters.h"

#include "ntfs/FileTable.h"
#include "volume/VolumeApi.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace lorvex::ntfs {
namespace {

TEST(FileTypeToStr, NamesOnlyTheThreeSingleTypes) {
    EXPECT_EQ(FileTypeToStr(1), "FILE");
    EXPECT_EQ(FileTypeToStr(2), "DIRECTORY");
    EXPECT_EQ(FileTypeToStr(4), "SYSFILE");
    // 6 is system and directory together, and has no word of its own.
    EXPECT_EQ(FileTypeToStr(6), "");
    EXPECT_EQ(FileTypeToStr(0), "");
    EXPECT_EQ(FileTypeToStr(3), "");
    EXPECT_EQ(FileTypeToStr(255), "");
}

TEST(YesNoToStr, IsUpperCase) {
    EXPECT_EQ(YesNoToStr(true), "YES");
    EXPECT_EQ(YesNoToStr(false), "NO");
}

TEST(FileFlagsToStr, ListsTheSetBitsInTableOrderWithoutATrailingBar) {
    EXPECT_EQ(FileFlagsToStr(0), "");
    EXPECT_EQ(FileFlagsToStr(0x8), "");
    EXPECT_EQ(FileFlagsToStr(0x10000006), "HIDDEN|SYSTEM|DIRECTORY");
    EXPECT_EQ(FileFlagsToStr(0x21), "READONLY|ARCHIVE");
    EXPECT_EQ(FileFlagsToStr(0x10), "BIT4");
    EXPECT_EQ(FileFlagsToStr(0x20000000), "INDEXVIEW");
    EXPECT_EQ(FileFlagsToStr(0xFFFFFFFF),
              "READONLY|HIDDEN|SYSTEM|BIT4|ARCHIVE|DEVICE|NORMAL|TEMPORARY|SPARSE|REPARSE|"
              "COMPRESSED|OFFLINE|NOINDEX|ENCRYPTED|DIRECTORY|INDEXVIEW");
}

TEST(FileFlagsToStr, IgnoresTheBitsWithoutAName) {
    EXPECT_EQ(FileFlagsToStr(0x8 | 0x8000 | 0x80000 | 0x8000000 | 0x40000000 | 0x80000000), "");
    EXPECT_EQ(FileFlagsToStr(0xC0000028), "ARCHIVE");
}

TDataRuns Runs(std::vector<TDataRun> items) {
    TDataRuns runs;
    for (const TDataRun& run : items) {
        runs.Add(run.Sparse, run.Length, run.LCN);
    }
    return runs;
}

TEST(FileSystemFlagsText, FollowsTheListOrderNotTheBitOrder) {
    namespace f = platform::fsflags;
    EXPECT_EQ(FileSystemFlagsText(f::kCaseSensitiveSearch | f::kCasePreservedNames),
              "FILE_CASE_PRESERVED_NAMES|FILE_CASE_SENSITIVE_SEARCH");
    EXPECT_EQ(FileSystemFlagsText(0), "");
    // Every listed bit plus some unlisted ones, which are ignored.
    EXPECT_EQ(FileSystemFlagsText(0x000F81FF | 0x00F00000),
              "FILE_CASE_PRESERVED_NAMES|FILE_CASE_SENSITIVE_SEARCH|FILE_FILE_COMPRESSION|"
              "FILE_NAMED_STREAMS|FILE_PERSISTENT_ACLS|FILE_READ_ONLY_VOLUME|"
              "FILE_SUPPORTS_ENCRYPTION|FILE_SUPPORTS_OBJECT_IDS|FILE_SUPPORTS_REPARSE_POINTS|"
              "FILE_SUPPORTS_REMOTE_STORAGE|FILE_SUPPORTS_SPARSE_FILES|FILE_UNICODE_ON_DISK|"
              "FILE_VOLUME_IS_COMPRESSED|FILE_VOLUME_QUOTAS");
}

TEST(VolumeSerialText, KeepsLeadingZerosInUpperCase) {
    EXPECT_EQ(VolumeSerialText(0x00AB0012), "00AB-0012");
    EXPECT_EQ(VolumeSerialText(0xDEADBEEF), "DEAD-BEEF");
    EXPECT_EQ(VolumeSerialText(0), "0000-0000");
}

TEST(RunToStr, EndsInOneBlankOrTheSparseMark) {
    const TDataRuns runs = Runs({{8230, 16, false}, {8230, 5, true}, {0, 3, true}});
    EXPECT_EQ(runs.RunToStr(0), "LCN:8230 LEN:16 ");
    EXPECT_EQ(runs.RunToStr(1), "LCN:8230 LEN:5 (sparse)");
    EXPECT_EQ(runs.RunToStr(2), "LCN:0 LEN:3 (sparse)");
}

TEST(RunToStr, PrintsLargeNumbersWithoutGrouping) {
    const TDataRuns runs = Runs({{4294967296, 1000000, false}});
    EXPECT_EQ(runs.RunToStr(0), "LCN:4294967296 LEN:1000000 ");
}

TEST(RunToStr, AnIndexOutsideTheUsedRunsGivesAnEmptyText) {
    TDataRuns runs = Runs({{1, 2, false}, {3, 4, false}});
    runs.Clear();
    runs.Add(false, 2, 1); // the second element is spare room now
    EXPECT_EQ(runs.RunToStr(1), "");
    EXPECT_EQ(runs.RunToStr(-1), "");
    // Nor does a walk over the runs reach it.
    ASSERT_EQ(runs.end() - runs.begin(), 1);
    EXPECT_EQ(runs.begin()->LCN, 1);
    EXPECT_EQ(runs.items().size(), 1U);
}

TFileIDs Table() {
    TFileIDs table;
    TFileID config;
    config.FileID = 1234567;
    config.BaseID = 1234560;
    config.Name = u"\\config.sys";
    config.PathParent = 3;
    config.FileType = 1;
    TFileID extend;
    extend.FileID = 11;
    extend.BaseID = 11;
    extend.Name = u"\\$Extend";
    extend.PathParent = kPathFromRoot;
    extend.FileType = 6;
    TFileID unicode;
    unicode.FileID = 1232;
    unicode.BaseID = 1232;
    unicode.Name = u"\\\u00DCn\u00EFc\u00F8d\u00E9 \U0001F600.txt";
    unicode.PathParent = 4;
    unicode.FileType = 1;
    TFileID windows;
    windows.Name = u"\\Windows";
    windows.PathParent = kPathFromRoot;
    TFileID names;
    names.Name = u"\\Names";
    names.PathParent = kPathFromRoot;
    for (const TFileID& e : {config, extend, unicode, windows, names}) {
        table.NewEntry() = e;
    }
    return table;
}

TEST(ItemToStr, ShowsThePathOrTheNameAndTheTypeWord) {
    const TFileIDs table = Table();
    EXPECT_EQ(table.ItemToStr(0, true),
              "Item:1234567 Base:1234560 Name:\\Windows\\config.sys Type:FILE");
    EXPECT_EQ(table.ItemToStr(0, false), "Item:1234567 Base:1234560 Name:\\config.sys Type:FILE");
    // Type 6 leaves nothing after the colon.
    EXPECT_EQ(table.ItemToStr(1, true), "Item:11 Base:11 Name:\\$Extend Type:");
    EXPECT_EQ(table.ItemToStr(5, true), "");
}

TEST(ItemToStr, ConvertsWideNamesToUtf8) {
    const TFileIDs table = Table();
    EXPECT_EQ(table.ItemToStr(2, true), "Item:1232 Base:1232 Name:\\Names\\\xC3\x9Cn\xC3\xAF"
                                        "c\xC3\xB8"
                                        "d\xC3\xA9 \xF0\x9F\x98\x80.txt Type:FILE");
}

TEST(ItemToStr, EscapesWhatIsNotPrintableInANameAndItsPath) {
    TFileIDs table = Table();
    table[0].Name = u"\\a\\b\x1B[2J.txt";
    EXPECT_EQ(table.ItemToStr(0, true),
              "Item:1234567 Base:1234560 Name:\\Windows\\a\\u{5c}b\\u{1b}[2J.txt Type:FILE");
    EXPECT_EQ(table.ItemToStr(0, false),
              "Item:1234567 Base:1234560 Name:\\a\\u{5c}b\\u{1b}[2J.txt Type:FILE");
}

TAttribute Attribute(std::uint32_t type, std::string name, std::uint16_t id, bool resident,
                     TWideStringArray entries = {u""}) {
    TAttribute a;
    a.TypeIndex = AttributeTypeIndex(type);
    a.Name = std::move(name);
    a.AttrType = type;
    a.Resident = resident;
    a.Entries = std::move(entries);
    a.AttributeID = id;
    return a;
}

TAttributes Attributes(std::vector<TAttribute> items) {
    TAttributes attributes;
    for (TAttribute& a : items) {
        attributes.Add(a.TypeIndex, std::move(a.Name), a.AttributeID, a.Entries, a.AttrType,
                       a.Resident);
    }
    return attributes;
}

TEST(AttributeToStr, NamesTheTypeTheIdTheStreamAndTheResidency) {
    const TAttributes list = Attributes({
        Attribute(0x80, "Zone.Identifier", 3, true),
        Attribute(0x80, "", 0, false),
        Attribute(0x10, "", 65535, true),
        Attribute(0x100, "$TXF_DATA", 7, true),
    });
    EXPECT_EQ(list.AttributeToStr(0), "$DATA(3) Zone.Identifier (resident)");
    // Unnamed: two blanks between the id and the residency.
    EXPECT_EQ(list.AttributeToStr(1), "$DATA(0)  (nonresident)");
    EXPECT_EQ(list.AttributeToStr(2), "$STANDARD_INFORMATION(65535)  (resident)");
    EXPECT_EQ(list.AttributeToStr(3), "$LOGGED_UTILITY_STREAM(7) $TXF_DATA (resident)");
    EXPECT_EQ(list.AttributeToStr(4), "");
}

TEST(AttributeToStr, ACodeOutsideTheTableIsNamedByItsCodeNotAsTheEndMarker) {
    TAttribute past = Attribute(0x120, "", 4, true);
    ASSERT_EQ(past.TypeIndex, kUnknownTypeIndex);
    // An index past the table, as a list built by hand could hold.
    TAttribute wild = Attribute(0x8, "", 5, false);
    wild.TypeIndex = 200;
    const TAttributes list = Attributes({past, wild});
    EXPECT_EQ(list.AttributeToStr(0), AttributeTypeName(0x120) + "(4)  (resident)");
    EXPECT_EQ(list.AttributeToStr(1), AttributeTypeName(0x8) + "(5)  (nonresident)");
    EXPECT_EQ(list.AttributeToStr(0).find("$END_OF_ATTRIBUTES"), std::string::npos);
}

// Lists by record (and by record and attribute index), as the volume would
// read them, and a log of what the section asked for.
struct TableReader {
    std::map<std::int64_t, TAttributes> records;
    std::map<std::pair<std::int64_t, int>, TDataRuns> runs;
    std::vector<std::string> calls;

    void GetAttributes(TAttributes& attributes, std::int64_t recordNo) {
        calls.push_back("attributes " + std::to_string(recordNo));
        const auto it = records.find(recordNo);
        attributes = it != records.end() ? it->second : TAttributes{};
    }
    void GetDataRuns(int attrIndex, TDataRuns& out, std::int64_t recordNo) {
        calls.push_back("runs " + std::to_string(recordNo) + ":" + std::to_string(attrIndex));
        const auto it = runs.find({recordNo, attrIndex});
        out = it != runs.end() ? it->second : TDataRuns{};
    }
};

std::vector<std::string> Section(TableReader& reader, std::int64_t recordNo) {
    TAttributes attributes;
    TDataRuns runs;
    std::vector<std::string> lines;
    AppendAttributeSection(reader, attributes, runs, recordNo,
                           [&lines](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

using Lines = std::vector<std::string>;

TEST(AttributeSection, ARecordWithoutAttributesGivesNoLines) {
    TableReader reader;
    reader.records[40] = TAttributes{};
    EXPECT_EQ(Section(reader, 40), Lines{});
    EXPECT_EQ(reader.calls, Lines{"attributes 40"});
}

TEST(AttributeSection, ResidentTextsStandTwoTabsDeepAndRunsFollowTheirAttribute) {
    TableReader reader;
    reader.records[1231] = Attributes({
        Attribute(0x10, "", 0, true),
        Attribute(0x30, "", 2, true, {u"A long file name.txt"}),
        Attribute(0x30, "", 3, true, {u"ALONGF~1.TXT"}),
        Attribute(0x80, "", 1, false),
        Attribute(0x80, "summary", 4, false),
    });
    reader.runs[{1231, 3}] = Runs({{8230, 16, false}, {8230, 4, true}, {9000, 2, false}});
    reader.runs[{1231, 4}] = Runs({{77, 1, false}});
    EXPECT_EQ(Section(reader, 1231), (Lines{
                                         "\t$STANDARD_INFORMATION(0)  (resident)",
                                         "\t$FILE_NAME(2)  (resident)",
                                         "\t\tA long file name.txt",
                                         "\t$FILE_NAME(3)  (resident)",
                                         "\t\tALONGF~1.TXT",
                                         "\t$DATA(1)  (nonresident)",
                                         "\t\tLCN:8230 LEN:16 ",
                                         "\t\tLCN:8230 LEN:4 (sparse)",
                                         "\t\tLCN:9000 LEN:2 ",
                                         "\t$DATA(4) summary (nonresident)",
                                         "\t\tLCN:77 LEN:1 ",
                                     }));
    // Runs are read for the non-resident attributes only, by their position.
    EXPECT_EQ(reader.calls, (Lines{"attributes 1231", "runs 1231:3", "runs 1231:4"}));
}

TEST(AttributeSection, TextsOfANonResidentAttributeStandThreeTabsDeep) {
    TableReader reader;
    reader.records[1201] = Attributes({
        Attribute(0x20, "", 5, false,
                  {u"$STANDARD_INFORMATION(0) @ File ID 1201", u"$DATA(1) @ File ID 1204"}),
        Attribute(0x30, "", 2, true, {u"many-runs.bin"}),
    });
    reader.runs[{1201, 0}] = Runs({{500, 1, false}});
    // Without runs the texts still go three tabs deep.
    reader.records[7] = Attributes({Attribute(0x20, "", 5, false, {u"$DATA(1) @ File ID 8"})});
    EXPECT_EQ(Section(reader, 1201), (Lines{
                                         "\t$ATTRIBUTE_LIST(5)  (nonresident)",
                                         "\t\tLCN:500 LEN:1 ",
                                         "\t\t\t$STANDARD_INFORMATION(0) @ File ID 1201",
                                         "\t\t\t$DATA(1) @ File ID 1204",
                                         "\t$FILE_NAME(2)  (resident)",
                                         "\t\tmany-runs.bin",
                                     }));
    EXPECT_EQ(Section(reader, 7), (Lines{
                                      "\t$ATTRIBUTE_LIST(5)  (nonresident)",
                                      "\t\t\t$DATA(1) @ File ID 8",
                                  }));
}

TEST(AttributeSection, OnlyFileNamesAndAttributeListsHaveEntryLines) {
    TableReader reader;
    reader.records[9] = Attributes({
        // Every other type carries one unused element; it must not show.
        Attribute(0x80, "", 1, true, {u"unused"}),
        Attribute(0x90, "$I30", 6, true),
        // An empty list gives no lines, not an empty one.
        Attribute(0x20, "", 4, true, {}),
        Attribute(0x30, "", 2, true, {}),
    });
    EXPECT_EQ(Section(reader, 9), (Lines{
                                      "\t$DATA(1)  (resident)",
                                      "\t$INDEX_ROOT(6) $I30 (resident)",
                                      "\t$ATTRIBUTE_LIST(4)  (resident)",
                                      "\t$FILE_NAME(2)  (resident)",
                                  }));
}

// A stream's name and a file name in the section are the disk's texts:
// escaped as names are, so that a line break in one ends no line.
TEST(AttributeSection, NamesOfTheDiskAreEscaped) {
    TableReader reader;
    reader.records[1232] =
        Attributes({Attribute(0x80, "ads\x1B]0;x\x07", 3, true),
                    Attribute(0x30, "", 2, true, {u"line\nbreak\u0085\\x.txt"})});
    EXPECT_EQ(Section(reader, 1232),
              (Lines{"\t$DATA(3) ads\\u{1b}]0;x\\u{7} (resident)", "\t$FILE_NAME(2)  (resident)",
                     "\t\tline\\u{a}break\\u{85}\\u{5c}x.txt"}));
    EXPECT_EQ(EntryToStr(u"tab\there"), "tab\\u{9}here");
}

TEST(AttributeSection, EntryTextsAreUtf8) {
    TableReader reader;
    reader.records[1232] = Attributes({Attribute(0x30, "", 2, true, {u"fa\u00E7ade.txt"})});
    EXPECT_EQ(Section(reader, 1232), (Lines{"\t$FILE_NAME(2)  (resident)", "\t\tfa\xC3\xA7"
                                                                           "ade.txt"}));
}

} // namespace
} // namespace lorvex::ntfs

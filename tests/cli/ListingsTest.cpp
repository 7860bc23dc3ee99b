// The pieces of lorvex-scan's listings on hand-made input: the runs of the
// cluster map, the times of a record, and the quoting of the writers.
#include "cli/Listings.h"
#include "cli/EntryListings.h"
#include "cli/SummaryListing.h"
#include "map/ClusterRuns.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordTimes.h"
#include "records/FileTableListing.h"
#include "records/Record.h"

#include "WrittenText.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace lorvex::test {
namespace {

using map::TRunKind;

struct SeenRun {
    std::int64_t first, count;
    TRunKind kind;
    std::int64_t index;
    bool operator==(const SeenRun&) const = default;
};

std::ostream& operator<<(std::ostream& os, const SeenRun& r) {
    return os << "{" << r.first << "," << r.count << "," << map::RunKindName(r.kind) << ","
              << r.index << "}";
}

TEST(ClusterRuns, CoverTheVolumeInOrderWithTheMapsStates) {
    ntfs::TFileIDs table;
    ntfs::TFileInfo info;
    table.Add(u"\\plain.txt", ntfs::kTypeFile, info, false, 40, 40);
    table.Add(u"\\dir", ntfs::kTypeDirectory, info, false, 41, 41);
    table.Add(u"\\pieces.bin", ntfs::kTypeFile, info, true, 42, 42);
    table.Add(u"\\pagefile.sys", ntfs::kTypeFile, info, false, 43, 43);
    table.Add(u"\\$Extend", ntfs::kTypeSystemDirectory, info, false, 11, 11);
    // 64 clusters: the zone [4, 8); used bits at 10-11 (held by no entry),
    // 20-29 and 40-47.
    std::vector<std::uint8_t> bitmap(8, 0);
    for (const int lcn : {10, 11, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29}) {
        bitmap[static_cast<std::size_t>(lcn / 8)] |= static_cast<std::uint8_t>(1U << (lcn % 8));
    }
    bitmap[5] = 0xFF;
    const map::TVolumeLayout layout{64, bitmap, 4, 8};
    const ntfs::TClusterArray clusters = {
        {6, 2, 0, 0x80},   // inside the zone
        {20, 5, 2, 0x80},  // fragmented
        {22, 2, 1, 0xA0},  // overlapping it: claimed twice
        {26, 4, 4, 0xA0},  // $Extend: not painted
        {40, 8, 3, 0x80},  // the paging file
        {60, 10, 0, 0x80}, // runs off the end
        {70, 5, 0, 0x80},  // wholly off the volume
        {50, 1, 9, 0x80},  // an owner not in the table
    };
    std::vector<SeenRun> runs;
    map::ForEachClusterRun(layout, table, clusters, [&](const map::TClusterRun& r) {
        runs.push_back({r.First, r.Count, r.Kind, r.FileIndex});
    });
    const std::vector<SeenRun> expected = {
        {0, 4, TRunKind::Free, -1},       {4, 2, TRunKind::MftZone, -1},
        {6, 2, TRunKind::File, 0},        {8, 2, TRunKind::Free, -1},
        {10, 2, TRunKind::Used, -1},      {12, 8, TRunKind::Free, -1},
        {20, 5, TRunKind::Fragmented, 2}, {22, 2, TRunKind::Directory, 1},
        {25, 1, TRunKind::Used, -1},      {26, 4, TRunKind::Used, 4},
        {30, 10, TRunKind::Free, -1},     {40, 8, TRunKind::Paging, 3},
        {48, 12, TRunKind::Free, -1},     {60, 4, TRunKind::File, 0},
    };
    EXPECT_EQ(runs, expected);
    EXPECT_EQ(map::UnheldKind(layout, 5), TRunKind::MftZone);
    EXPECT_EQ(map::UnheldKind(layout, 10), TRunKind::Used);
    EXPECT_EQ(map::UnheldKind(layout, 63), TRunKind::Free);
}

TEST(ClusterRuns, ABitmapShorterThanTheVolumeLeavesTheRestFree) {
    ntfs::TFileIDs table;
    const std::vector<std::uint8_t> bitmap = {0xFF};
    const map::TVolumeLayout layout{20, bitmap, 0, 0};
    std::vector<SeenRun> runs;
    map::ForEachClusterRun(layout, table, {}, [&](const map::TClusterRun& r) {
        runs.push_back({r.First, r.Count, r.Kind, r.FileIndex});
    });
    EXPECT_EQ(runs,
              (std::vector<SeenRun>{{0, 8, TRunKind::Used, -1}, {8, 12, TRunKind::Free, -1}}));
}

TEST(RecordTimes, TimesAreUtcWithTheDisksPrecision) {
    EXPECT_EQ(ntfs::NtfsTimeToIso8601(0), "");
    EXPECT_EQ(ntfs::NtfsTimeToIso8601(-5), "");
    EXPECT_EQ(ntfs::NtfsTimeToIso8601(1), "1601-01-01T00:00:00.0000001Z");
    EXPECT_EQ(ntfs::NtfsTimeToIso8601(116444736000000000), "1970-01-01T00:00:00.0000000Z");
    EXPECT_EQ(ntfs::NtfsTimeToIso8601(133536836967890123), "2024-02-29T12:34:56.7890123Z");
    EXPECT_EQ(ntfs::NtfsTimeToIso8601(INT64_MAX), "30828-09-14T02:48:05.4775807Z");
    EXPECT_EQ(ntfs::NtfsTimeToUnixSeconds(133536836967890123), 1709210096);
    EXPECT_EQ(ntfs::NtfsTimeToUnixSeconds(116444736000000000), 0);
    EXPECT_EQ(ntfs::NtfsTimeToUnixSeconds(5), 0);
}

// Times one after another, as a listing meets them: the same second or day
// as the time before, or not, in any order. Each is checked against the
// standard library's calendar.
TEST(RecordTimes, EachTimeIsItsOwnWhateverCameBefore) {
    using namespace std::chrono;
    constexpr std::int64_t kTicks = 10'000'000;
    constexpr std::int64_t kDay = 86400 * kTicks;
    const auto reference = [](std::int64_t time) {
        // Days from 1601-01-01 to 1970-01-01: 134,774.
        const std::int64_t seconds = time / kTicks;
        const sys_days day{days{seconds / 86400 - 134774}};
        const year_month_day date{day};
        const std::int64_t second = seconds % 86400;
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld.%07lldZ",
                      static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                      static_cast<unsigned>(date.day()), static_cast<long long>(second / 3600),
                      static_cast<long long>(second / 60 % 60), static_cast<long long>(second % 60),
                      static_cast<long long>(time % kTicks));
        return std::string(text);
    };
    const std::int64_t t = 133536836967890123; // 2024-02-29T12:34:56.7890123Z
    const std::int64_t times[] = {t,
                                  t + 1,
                                  t + kTicks,
                                  t - kTicks,
                                  t + kDay,
                                  t + 365 * kDay,
                                  t,
                                  t - t % kDay,
                                  t - t % kDay - 1,
                                  t - t % kDay + kDay - 1,
                                  t + kDay - t % kDay,
                                  1,
                                  t + 2 * kTicks,
                                  t + 2 * kTicks + 9'999'999,
                                  116444736000000000};
    std::string text;
    for (const std::int64_t time : times) {
        ntfs::NtfsTimeToIso8601(time, text);
        EXPECT_EQ(text, reference(time)) << time;
    }
    // Every second of a day and a half, in steps that cross the days.
    for (std::int64_t time = t - kDay / 2; time < t + kDay; time += 7 * kTicks + 13) {
        ntfs::NtfsTimeToIso8601(time, text);
        ASSERT_EQ(text, reference(time)) << time;
    }
}

// A record of `attributes` (each: type, id, name, value), resident.
std::vector<std::byte>
MakeRecord(const std::vector<std::tuple<std::uint32_t, std::uint16_t, std::u16string,
                                        std::vector<std::byte>>>& attributes) {
    std::vector<std::byte> record(1024);
    const auto put = [&record](std::size_t at, std::uint64_t value, std::size_t bytes) {
        for (std::size_t i = 0; i < bytes; ++i) {
            record[at + i] = static_cast<std::byte>(value >> (8 * i));
        }
    };
    std::memcpy(record.data(), "FILE", 4);
    put(0x14, 0x38, 2);
    std::size_t at = 0x38;
    for (const auto& [type, id, name, value] : attributes) {
        const std::size_t nameOffset = 0x18;
        const std::size_t valueOffset = (nameOffset + 2 * name.size() + 7) / 8 * 8;
        const std::size_t length = (valueOffset + value.size() + 7) / 8 * 8;
        put(at, type, 4);
        put(at + 4, length, 4);
        put(at + 9, name.size(), 1);
        put(at + 0x0A, nameOffset, 2);
        put(at + 0x0E, id, 2);
        put(at + 0x10, value.size(), 4);
        put(at + 0x14, valueOffset, 2);
        for (std::size_t i = 0; i < name.size(); ++i) {
            put(at + nameOffset + 2 * i, name[i], 2);
        }
        std::copy(value.begin(), value.end(),
                  record.begin() + static_cast<std::ptrdiff_t>(at + valueOffset));
        at += length;
    }
    put(at, 0xFFFFFFFF, 4);
    return record;
}

std::vector<std::byte> TimesValue(std::size_t size, std::size_t first, std::int64_t base,
                                  std::uint8_t nameSpace = 1) {
    std::vector<std::byte> value(size);
    for (std::size_t k = 0; k < 4 && first + 8 * k + 8 <= size; ++k) {
        const auto t = static_cast<std::uint64_t>(base + static_cast<std::int64_t>(k));
        for (std::size_t i = 0; i < 8; ++i) {
            value[first + 8 * k + i] = static_cast<std::byte>(t >> (8 * i));
        }
    }
    if (size > 0x41) {
        value[0x41] = static_cast<std::byte>(nameSpace);
    }
    return value;
}

TEST(RecordTimes, BothSetsOfTimesAndTheContentAttributeAreRead) {
    const auto record = MakeRecord({
        {0x10, 0, u"", TimesValue(0x48, 0x00, 1000)},
        {0x30, 3, u"", TimesValue(0x44, 0x08, 2000, 2)}, // the DOS name: passed over
        {0x30, 4, u"", TimesValue(0x44, 0x08, 3000, 1)},
        {0x30, 5, u"", TimesValue(0x44, 0x08, 4000, 1)}, // a second long name (a link)
        {0x80, 6, u"stream", {}},
        {0x90, 7, u"$I30", {}},
        {0x80, 8, u"", {}},
    });
    const auto times = ntfs::ReadRecordTimes(record);
    ASSERT_TRUE(times.HasStandard);
    EXPECT_EQ(times.Standard.Created, 1000);
    EXPECT_EQ(times.Standard.Modified, 1001);
    EXPECT_EQ(times.Standard.Changed, 1002);
    EXPECT_EQ(times.Standard.Accessed, 1003);
    ASSERT_TRUE(times.HasFileName);
    EXPECT_EQ(times.FileNameId, 4);
    EXPECT_EQ(times.FileName.Created, 3000);
    EXPECT_EQ(times.FileName.Accessed, 3003);
    EXPECT_EQ(times.ContentType, 0x80U);
    EXPECT_EQ(times.ContentId, 8);

    // A directory's index; another index alone is no content.
    EXPECT_EQ(ntfs::ReadRecordTimes(MakeRecord({{0x90, 2, u"$I30", {}}})).ContentType, 0x90U);
    EXPECT_EQ(ntfs::ReadRecordTimes(MakeRecord({{0x90, 2, u"$SDH", {}}})).ContentType, 0U);
    // A value too short for its times gives what fits, never more.
    const auto shortOne =
        ntfs::ReadRecordTimes(MakeRecord({{0x10, 0, u"", TimesValue(0x10, 0, 7)}}));
    EXPECT_TRUE(shortOne.HasStandard);
    EXPECT_EQ(shortOne.Standard.Modified, 8);
    EXPECT_EQ(shortOne.Standard.Changed, 0);
}

TEST(RecordWriters, TextsAreQuotedForEachFormat) {
    std::string csv;
    records::AppendCsvField(csv, "plain");
    csv += '|';
    records::AppendCsvField(csv, "a,b");
    csv += '|';
    records::AppendCsvField(csv, "say \"hi\"");
    csv += '|';
    records::AppendCsvField(csv, "two\nlines\r");
    EXPECT_EQ(csv, "plain|\"a,b\"|\"say \"\"hi\"\"\"|\"two\nlines\r\"");

    const std::string awkward = "q\" b\\ t\t n\n c\x01 \xC3\xA9 \xF0\x9D\x84\x9E";
    std::string json;
    records::AppendJsonString(json, awkward);
    EXPECT_EQ(nlohmann::json::parse(json).get<std::string>(), awkward);
    json.clear();
    records::AppendJsonString(json, "\xFF invalid");
    EXPECT_TRUE(nlohmann::json::accept(json)) << json;
}

// A long text is looked at eight bytes at a time: a comma, a quote, a CR or
// an LF quotes it wherever it stands, and no other byte does.
TEST(RecordWriters, CsvFieldsAreQuotedWhereverTheCharacterStands) {
    for (const char c : {',', '"', '\r', '\n', 'x', '\t', '\\', '\x80', '\xFF', '\0'}) {
        for (std::size_t length = 1; length <= 20; ++length) {
            for (std::size_t at = 0; at < length; ++at) {
                std::string text(length, '.');
                text[at] = c;
                const bool quoted = std::string_view(",\"\r\n").find(c) != std::string_view::npos;
                std::string expected = text;
                if (quoted) {
                    expected = c == '"'
                                   ? "\"" + text.substr(0, at) + "\"\"" + text.substr(at + 1) + "\""
                                   : "\"" + text + "\"";
                }
                std::string csv;
                records::AppendCsvField(csv, text);
                EXPECT_EQ(csv, expected) << static_cast<int>(c) << " at " << at << " of " << length;
            }
        }
    }
}

TEST(RecordWriters, EveryFormatWritesTheSameFields) {
    records::Record label;
    label.Add("drive", std::string_view("C:"));
    records::Record row;
    row.Add("lcn", 7);
    row.AddNull("record");
    row.AddBool("sparse", true);
    row.Add("path", std::string_view("\\a, \"b\""));
    auto& list = row.AddList("runs");
    list.Add().Add("length", 3);
    const auto write = [&](records::Format format) {
        return Written(format, [&](records::RecordWriter& writer) {
            writer.BeginDrive(label);
            writer.BeginTable("rows");
            writer.Row(row);
            writer.Row(row);
            writer.EndTable();
            writer.EndDrive();
        });
    };
    EXPECT_EQ(write(records::Format::Csv), "drive,lcn,record,sparse,path\r\n"
                                           "C:,7,,true,\"\\a, \"\"b\"\"\"\r\n"
                                           "C:,7,,true,\"\\a, \"\"b\"\"\"\r\n");
    EXPECT_EQ(write(records::Format::Text), "7\t\ttrue\t\\a, \"b\"\n7\t\ttrue\t\\a, \"b\"\n");
    const auto document = nlohmann::json::parse(write(records::Format::Json));
    EXPECT_EQ(document["drives"][0]["drive"], "C:");
    EXPECT_EQ(document["drives"][0]["rows"][1]["path"], "\\a, \"b\"");
    EXPECT_EQ(document["drives"][0]["rows"][0]["runs"][0]["length"], 3);
    EXPECT_TRUE(document["drives"][0]["rows"][0]["record"].is_null());
    const auto lines = write(records::Format::JsonLines);
    EXPECT_EQ(
        lines.substr(0, lines.find('\n')),
        R"({"drive":"C:","lcn":7,"record":null,"sparse":true,"path":"\\a, \"b\"","runs":[{"length":3}]})");
}

// Texts escaped here rather than by the JSON library come out as the
// library writes them; what it writes raw but a terminal acts on is
// escaped too, and reads back the same.
TEST(RecordWriters, JsonTextsAreTheLibrarysBytes) {
    for (const std::string text :
         {"", "plain", "\\dir\\file.txt", "say \"hi\"", "\\", "\"", "end\\",
          "a long path\\with\\many\\parts\\and \"quotes\" in it.txt", "tab\there", "\x01\x1F",
          "caf\xC3\xA9\\x", "\xF0\x9D\x84\x9E\"", "dash \xE2\x80\x94 \xE2\x81\xA5"}) {
        std::string ours;
        records::AppendJsonString(ours, text);
        EXPECT_EQ(ours, nlohmann::json(text).dump()) << text;
    }
    // DEL, C1 controls (NEL, CSI), the line separator, the right-to-left
    // override and a first-strong isolate.
    const std::string hostile = "del\x7F nel\xC2\x85 csi\xC2\x9B[2J ls\xE2\x80\xA8 "
                                "rlo\xE2\x80\xAE fsi\xE2\x81\xA8 \xC2\xA0";
    std::string json;
    records::AppendJsonString(json, hostile);
    EXPECT_EQ(json, "\"del\\u007f nel\\u0085 csi\\u009b[2J ls\\u2028 rlo\\u202e fsi\\u2068 "
                    "\xC2\xA0\"");
    EXPECT_EQ(nlohmann::json::parse(json).get<std::string>(), hostile);
    records::JsonMembers members;
    std::string row;
    members.Begin("{", false);
    members.AddUtf16("name", u"a\u009Bb");
    members.End("}", row);
    EXPECT_EQ(row, R"({"name":"a\u009bb"})");
}

// A text cell that a spreadsheet would take for a formula gets a quote
// before it; the builder's own texts, numbers and the other formats keep
// their bytes.
TEST(RecordWriters, CsvCellsThatWouldBeFormulasAreMarkedAsText) {
    const std::vector<std::pair<std::string, std::string>> cells = {
        {"=1+2", "'=1+2"},
        {"+1", "'+1"},
        {"-2", "'-2"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\t=x", "'\t=x"},
        {"\r=x", "\"'\r=x\""},
        {"=HYPERLINK(\"x\",\"y\")", "\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\""},
        {"a=b", "a=b"},
        {"\\=x", "\\=x"},
        {"", ""},
    };
    for (const auto& [text, expected] : cells) {
        std::string csv;
        records::AppendCsvText(csv, text);
        EXPECT_EQ(csv, expected) << text;
    }
    records::Record label;
    label.Add("drive", std::string_view("C:"));
    records::Record row;
    row.Add("name", std::string_view("=cmd|' /C calc'!A0"));
    row.AddPlain("status", std::string_view("-"));
    row.Add("size", -1);
    const auto write = [&](records::Format format) {
        return Written(format, [&](records::RecordWriter& writer) {
            writer.BeginDrive(label);
            writer.BeginTable("rows");
            writer.Row(row);
            writer.EndTable();
            writer.EndDrive();
        });
    };
    EXPECT_EQ(write(records::Format::Csv),
              "drive,name,status,size\r\nC:,'=cmd|' /C calc'!A0,-,-1\r\n");
    EXPECT_EQ(write(records::Format::Text), "=cmd|' /C calc'!A0\t-\t-1\n");
    EXPECT_EQ(nlohmann::json::parse(write(records::Format::Json))["drives"][0]["rows"][0]["name"],
              "=cmd|' /C calc'!A0");
}

// Rows formatted apart, in pieces of any size (none among them), and written
// in order are the bytes of the rows written one by one, over two drives'
// tables: one JSON document, one CSV header.
TEST(RecordWriters, RowsFormattedApartAreTheRowsWrittenOneByOne) {
    records::Record label;
    label.Add("drive", std::string_view("C:"));
    std::vector<records::Record> rows(5);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        rows[i].Add("index", i);
        rows[i].Add("path", std::string_view("\\a, \"b\""));
        rows[i].AddList("runs").Add().Add("length", i);
    }
    const auto write = [&](records::Format format, bool apart) {
        return Written(format, [&](records::RecordWriter& writer) {
            for (int drive = 0; drive < 2; ++drive) {
                writer.BeginDrive(label);
                writer.BeginTable("rows");
                if (apart) {
                    // Pieces of 0, 2, 0, 3 rows.
                    for (const auto& [from, to] :
                         {std::pair<std::size_t, std::size_t>{0, 0}, {0, 2}, {2, 2}, {2, 5}}) {
                        std::string piece;
                        for (std::size_t i = from; i < to; ++i) {
                            writer.FormatRow(piece, rows[i]);
                        }
                        writer.FormattedRows(piece, rows[0]);
                    }
                } else {
                    for (const auto& row : rows) {
                        writer.Row(row);
                    }
                }
                writer.EndTable();
                writer.EndDrive();
            }
        });
    };
    for (const auto format : {records::Format::Json, records::Format::JsonLines,
                              records::Format::Csv, records::Format::Text}) {
        SCOPED_TRACE(static_cast<int>(format));
        const std::string oneByOne = write(format, false);
        EXPECT_EQ(write(format, true), oneByOne);
        if (format == records::Format::Json) {
            EXPECT_EQ(nlohmann::json::parse(oneByOne)["drives"][1]["rows"].size(), rows.size());
        }
    }
}

} // namespace
} // namespace lorvex::test

namespace lorvex::test {
namespace {

// The summary's counts, taken without building the rows, are those of the
// rows of --fragmented: groups of base records with their extensions, more
// than one fragment in all, by the base record's type; a base record number
// far past the table takes the rows' own way.
TEST(FragmentCounts, AreThoseOfTheFragmentedRows) {
    struct Entry {
        std::int64_t fileId;
        std::int64_t baseId;
        std::uint8_t type;
        std::uint32_t fragments;
    };
    const std::vector<std::vector<Entry>> tables = {
        {{0, 0, ntfs::kTypeSystem, 3},
         {5, 5, ntfs::kTypeDirectory, 1},
         {16, 16, ntfs::kTypeFile, 1},
         {17, 16, ntfs::kTypeFile, 1},
         {18, 18, ntfs::kTypeFile, 0},
         {19, 19, ntfs::kTypeDirectory, 2},
         {20, 19, ntfs::kTypeDirectory, 0},
         {21, 40, ntfs::kTypeFile, 2},
         {22, 22, 0, 5}},
        {{3, 3, ntfs::kTypeFile, 2}, {4, 1LL << 40, ntfs::kTypeFile, 3}},
        {}};
    for (const auto& entries : tables) {
        ntfs::TFileIDs table;
        for (const Entry& e : entries) {
            ntfs::TFileInfo info;
            table.Add(u"\\x", e.type, info, false, e.baseId, e.fileId);
            table[static_cast<std::size_t>(table.size()) - 1].Fragments = e.fragments;
        }
        table.BuildPaths();
        ntfs::TCardinalArray order;
        ntfs::GetBaseIDOrder(table, order);
        const auto expected = cli::CountFragmented(table, ntfs::FragmentationRows(table, order));
        const auto counts = cli::CountFragmented(table);
        EXPECT_EQ(counts.total, expected.total);
        EXPECT_EQ(counts.files, expected.files);
        EXPECT_EQ(counts.directories, expected.directories);
        EXPECT_EQ(counts.system, expected.system);
        EXPECT_EQ(counts.other, expected.other);
    }
}

} // namespace
} // namespace lorvex::test

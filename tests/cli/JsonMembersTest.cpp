// Rows written member by member into JSON text against the same fields
// built as a Record and formatted by the JSON writers: the same bytes.
#include "cli/Listings.h"
#include "ntfs/Attributes.h"
#include "ntfs/Formatters.h"
#include "ntfs/RecordTimes.h"
#include "records/FileTableListing.h"
#include "records/JsonText.h"
#include "records/Record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace lorvex::test {
namespace {

// One row's fields, as a builder adds them to either sink. `variant` picks
// which texts and how many runs, so that the rows differ in length and in
// what needs escaping.
template <class Sink> void WriteRow(Sink& sink, int variant) {
    const std::u16string names[] = {
        u"plain.txt",
        u"",
        u"say \"hi\"\\ back\\slash",
        u"caf\u00e9 na\u00efve",
        // Printable ASCII first, then what the library must escape: the
        // part written before the switch must not stay.
        u"a long plain start before the tab\there",
        u"ctl\u0001\u001f del\u007f",
        std::u16string(u"lone ") + char16_t{0xD800} + u" surrogate",
        u"\U0001D11E clef",
    };
    const std::u16string& name = names[static_cast<std::size_t>(variant) % std::size(names)];
    sink.Add("index", variant);
    sink.Add("record", std::numeric_limits<std::int64_t>::max() - variant);
    sink.Add("parent", std::int64_t{-1} - variant);
    sink.Add("type", std::string_view(variant % 2 == 0 ? "file" : "x\"y\\z"));
    sink.Add("flags", std::string_view(variant % 3 == 0 ? "" : "\xC3\xA9t\xC3\xA9"));
    if (variant % 2 == 0) {
        sink.AddNull("created");
    } else {
        sink.Add("created", std::string_view("2024-01-02T03:04:05.0000000Z"));
    }
    sink.AddUtf16("name", name);
    sink.AddUtf16("path", u"\\dir\\" + name);
    sink.BeginList("attributes");
    for (int a = 0; a < variant % 4; ++a) {
        sink.BeginItem();
        sink.Add("type", std::string_view("$DATA"));
        sink.AddBool("resident", a % 2 == 0);
        sink.BeginList("runs");
        // Enough runs in one row to outgrow any room a row starts with.
        const int runs = variant == 5 ? 3000 : a;
        for (int r = 0; r < runs; ++r) {
            sink.BeginItem();
            if (r % 3 == 1) {
                sink.AddNull("lcn");
            } else {
                sink.Add("lcn", 1000 * r);
            }
            sink.Add("length", r + 1);
            sink.EndItem();
        }
        sink.EndList();
        sink.BeginTexts("entries");
        for (int t = 0; t < a; ++t) {
            sink.AddTextUtf16(t % 2 == 0 ? name : u"$FILE_NAME(0) @ File ID 7");
        }
        sink.EndTexts();
        sink.EndItem();
    }
    sink.EndList();
}

// The rows of every variant, one after another, written by `format`'s
// writer through FormatRow (apart) and through JsonMembers with its frame
// (members): both for a drive named "C:".
struct Rows {
    std::string apart;
    std::string members;
};

Rows WriteRows(records::Format format) {
    Rows rows;
    std::FILE* sinkFile = std::tmpfile();
    EXPECT_NE(sinkFile, nullptr);
    {
        records::Output out(sinkFile);
        const auto writer = records::MakeWriter(format, out);
        records::Record label;
        label.Add("drive", std::string_view("C:"));
        writer->BeginDrive(label);
        writer->BeginTable("files");
        const auto* frame = writer->JsonRow();
        EXPECT_NE(frame, nullptr);
        records::Record record;
        records::JsonMembers members;
        // Long rows between short ones: the room kept from a long row must
        // not leak into the next.
        for (const int variant : {0, 1, 2, 3, 4, 5, 6, 7, 1, 5, 0, 9, 10, 11, 12}) {
            record.Clear();
            records::RecordFields fields(record);
            WriteRow(fields, variant);
            writer->FormatRow(rows.apart, record);
            if (frame != nullptr) {
                members.Begin(frame->open, frame->comma);
                WriteRow(members, variant);
                members.End(frame->close, rows.members);
            }
        }
    }
    std::fclose(sinkFile);
    return rows;
}

TEST(JsonMembers, RowsAreTheBytesOfTheJsonWritersRows) {
    for (const auto format : {records::Format::Json, records::Format::JsonLines}) {
        SCOPED_TRACE(static_cast<int>(format));
        const Rows rows = WriteRows(format);
        EXPECT_GT(rows.apart.size(), 3000U * 20);
        EXPECT_EQ(rows.members, rows.apart);
    }
    // The rows read back as JSON with what was put in them.
    std::string lines = WriteRows(records::Format::JsonLines).members;
    std::vector<nlohmann::json> parsed;
    for (std::size_t from = 0, to; (to = lines.find('\n', from)) != std::string::npos;
         from = to + 1) {
        parsed.push_back(nlohmann::json::parse(lines.substr(from, to - from)));
    }
    ASSERT_EQ(parsed.size(), 15U);
    EXPECT_EQ(parsed[0]["drive"], "C:");
    EXPECT_EQ(parsed[2]["name"], "say \"hi\"\\ back\\slash");
    EXPECT_EQ(parsed[3]["path"], "\\dir\\caf\xC3\xA9 na\xC3\xAFve");
    EXPECT_EQ(parsed[4]["name"], "a long plain start before the tab\there");
    EXPECT_EQ(parsed[6]["name"], "lone \xEF\xBF\xBD surrogate");
    EXPECT_EQ(parsed[7]["name"], "\xF0\x9D\x84\x9E clef");
    EXPECT_EQ(parsed[5]["attributes"][0]["runs"].size(), 3000U);
    EXPECT_TRUE(parsed[5]["attributes"][0]["runs"][1]["lcn"].is_null());
    EXPECT_EQ(parsed[1]["record"], std::numeric_limits<std::int64_t>::max() - 1);
    EXPECT_EQ(parsed[3]["attributes"][2]["entries"][1], "$FILE_NAME(0) @ File ID 7");
    EXPECT_TRUE(parsed[0]["attributes"].empty());
}

// The file table's own texts are written as they are (AddPlain), without a
// look for characters to escape: every one of them must be plain.
TEST(JsonMembers, TheTextsWrittenAsTheyAreArePlain) {
    std::vector<std::string> texts;
    for (int type = 0; type < 256; ++type) {
        texts.emplace_back(records::EntryTypeName(static_cast<std::uint8_t>(type)));
    }
    for (int bit = 0; bit < 32; ++bit) {
        texts.push_back(ntfs::FileFlagsToStr(std::uint32_t{1} << bit));
    }
    texts.push_back(ntfs::FileFlagsToStr(0xFFFFFFFF));
    for (std::uint32_t code = 0; code <= 0x200; ++code) {
        texts.push_back(ntfs::AttributeTypeName(code));
    }
    for (const std::uint32_t code : {0xFFFFFFF0U, 0xFFFFFFFFU, 0x12345678U}) {
        texts.push_back(ntfs::AttributeTypeName(code));
    }
    // 1601 to far past 9999, and the sub-second digits.
    for (std::int64_t time = 1; time > 0 && time < std::numeric_limits<std::int64_t>::max() / 3;
         time = time * 3 + 7) {
        texts.push_back(ntfs::NtfsTimeToIso8601(time));
    }
    for (const std::string& text : texts) {
        EXPECT_TRUE(records::PlainJsonText(text)) << text;
    }
}

} // namespace
} // namespace lorvex::test

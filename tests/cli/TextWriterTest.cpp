// The text and the body file as writers: each listing's lines laid out from
// its records, what only the text shows kept out of the structured formats,
// and the output targets opened, refused and cleaned up.
#include "WrittenText.h"
#include "cli/CheckListing.h"
#include "cli/DamageListing.h"
#include "cli/OutputTargets.h"
#include "platform/RawVolumeSystem.h"
#include "records/Record.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>

namespace lorvex::test {
namespace {

using records::Format;
using records::Record;
using records::RecordWriter;

Record Label(const char* drive, const char* source, int partition) {
    Record label;
    label.Add("drive", std::string_view(drive));
    label.Add("source", std::string_view(source));
    label.Add("partition", partition);
    label.Add("read_as", std::string_view("raw disk image"));
    return label;
}

// A drive's title heads its listings when several are scanned; --info
// writes its own; a text field stops at a NUL as printf's %s did.
TEST(TextWriter, DriveHeadingsAndTheVolumesLines) {
    const Record label = Label("D:", "/images/disk.img", 2);
    Record row;
    row.Add("lcn", 7);
    row.Add("kind", std::string_view("free"));
    row.AddNull("type");
    row.Add("description", std::string_view("free\0hidden", 11));
    const std::string owners = Written(
        Format::Text,
        [&](RecordWriter& w) {
            w.BeginDrive(label);
            w.BeginTable("owners");
            w.Row(row);
            w.EndTable();
            w.EndDrive();
        },
        true);
    EXPECT_EQ(owners, "== D:  /images/disk.img (partition 2) ==\n7\tfree\tfree\n\n");

    Record volume;
    volume.Add("file_system", std::string_view("NTFS"));
    volume.Add("label", std::string_view("Disk"));
    volume.Add("serial", std::string_view("1234-ABCD"));
    volume.AddNull("clusters");
    volume.AddTexts("reads").Add("/images/disk.E02");
    volume.TextOnly();
    const auto info = [&](Format format) {
        return Written(format, [&](RecordWriter& w) {
            w.BeginDrive(label);
            w.Section("volume", volume);
            w.EndDrive();
        });
    };
    EXPECT_EQ(info(Format::Text), "D:  /images/disk.img (partition 2)\n"
                                  "  read as            raw disk image\n"
                                  "    reads            /images/disk.E02\n"
                                  "  file system        NTFS\n"
                                  "  label              Disk\n"
                                  "  serial             1234-ABCD\n"
                                  "\n");
    // What only the text ever showed is no field of the structured formats.
    for (const Format format : {Format::Json, Format::JsonLines, Format::Csv}) {
        const std::string text = info(format);
        EXPECT_EQ(text.find("reads"), std::string::npos) << text;
        EXPECT_EQ(text.find("disk.E02"), std::string::npos) << text;
        EXPECT_NE(text.find("1234-ABCD"), std::string::npos) << text;
    }
}

// The check's and the damage's rows and the counts under them; the
// structured formats have no footer and say so.
TEST(TextWriter, CheckAndDamageLinesAndTheirFooters) {
    ntfs::THealthReport report;
    report.Problems.push_back({ntfs::THealthKind::CrossLinked, 100, 2, 0, 2});
    report.Claimants.push_back({5, -1, 0});
    report.Claimants.push_back({6, -1, 0});
    report.BitmapChecked = true;
    report.RecordsChecked = true;
    const ntfs::TFileIDs fileIds;
    Record row;
    cli::FillProblem(row, report.Problems[0], report, fileIds, records::SourceTexts::Shown);
    Record counts;
    counts.Add("problems", 1);
    counts.Add("owned-free", 0);
    counts.Add("cross-linked", 1);
    counts.Add("not_checked", std::string_view("; not checked: $MFTMirr"));
    bool said = false;
    const auto check = [&](Format format) {
        return Written(format, [&](RecordWriter& w) {
            w.BeginDrive(Label("C:", "a.img", 0));
            w.BeginTable("check");
            w.Row(row);
            said = w.Footer("check", counts);
            w.EndTable();
            w.EndDrive();
        });
    };
    EXPECT_EQ(check(Format::Text), "cross-linked 100 2\t5\t(not readable)\t6\t(not readable)\n"
                                   "1 problems: owned-free 0, cross-linked 1; not checked: "
                                   "$MFTMirr\n");
    EXPECT_TRUE(said);
    EXPECT_EQ(check(Format::Csv), "drive,kind,first_lcn,count,claimant_records\r\n"
                                  "C:,cross-linked,100,2,5 6\r\n");
    EXPECT_FALSE(said);

    ntfs::TDamagedRecord free;
    free.RecordNo = 40;
    free.Status = '*';
    ntfs::TDamageHit hit;
    hit.RecordNo = 0;
    hit.AttrType = 0x80;
    hit.FirstByte = 4096;
    hit.ByteCount = 512;
    hit.Status = '-';
    Record hitRow;
    Record recordRow;
    cli::FillDamageHit(hitRow, hit, fileIds, records::SourceTexts::Shown);
    cli::FillDamagedRecord(recordRow, free, fileIds, records::SourceTexts::Shown);
    Record totals;
    for (const char* key : {"lines", "listed"}) {
        totals.Add(key, 9);
    }
    totals.AddPlain("unit", "sectors");
    for (const char* key : {"areas", "clusters", "hits", "records"}) {
        totals.Add(key, 1);
    }
    const std::string damage = Written(Format::Text, [&](RecordWriter& w) {
        w.BeginTable("damage");
        w.Row(hitRow);
        w.Row(recordRow);
        w.Footer("damage", totals);
        w.EndTable();
    });
    EXPECT_EQ(damage, "file\t0\t\t$DATA\t4096\t512\t-\n"
                      "record\t40\t(free)\t*\n"
                      "9 lines read (9 sectors): 1 bad areas, 1 clusters of the volume on them: "
                      "1 hits, 1 $MFT records\n");
}

// A body file's lines: the drive before the path, whose separators become
// slashes, and the $FILE_NAME times' line marked.
TEST(BodyfileWriter, TheLinesOfItsRows) {
    Record row;
    row.Add("path", std::string_view("\\dir\\a|b/c"));
    row.AddBool("file_name", true);
    row.Add("record", 64);
    row.Add("attribute_type", 48);
    row.Add("attribute_id", 2);
    row.AddPlain("mode", "r/rrwxrwxrwx");
    row.Add("size", 10);
    for (const char* key : {"accessed", "modified", "changed", "created"}) {
        row.Add(key, 1700000000);
    }
    const std::string text = Written(Format::Bodyfile, [&](RecordWriter& w) {
        w.BeginDrive(Label("E:", "x.img", 0));
        w.Section("summary", row);
        w.BeginTable("files");
        w.Row(row);
        w.EndTable();
        w.EndDrive();
    });
    EXPECT_EQ(text, "0|E:/dir/a\\u{7c}b\\u{2f}c ($FILE_NAME)|64-48-2|r/rrwxrwxrwx|0|0|10|"
                    "1700000000|1700000000|1700000000|1700000000\n");
}

// The targets of a run: a missing folder and a source refused, two names
// of one file refused, and what a failed run created left behind only when
// something was written into it.
TEST(OutputTargets, OpenedCheckedAndRemovedOnFailure) {
    const auto dir = TempPath("lorvex-targets");
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string source = (VolumeDir() / "ntfs-small.img").string();
    platform::RawVolumeSystem system({source});
    const auto options = [&](const std::string& output, const std::string& exportPath,
                             const std::string& picture) {
        cli::Options o;
        if (!output.empty()) {
            o.outputPath = output;
        }
        if (!exportPath.empty()) {
            o.exportPath = exportPath;
        }
        if (!picture.empty()) {
            o.mapPngPath = picture;
        }
        return o;
    };
    {
        cli::OutputTargets targets(system);
        EXPECT_EQ(targets.Open(options((dir / "nosuch" / "out").string(), "", "")), 1);
    }
    {
        cli::OutputTargets targets(system);
        EXPECT_EQ(targets.Open(options(source, "", "")), 1);
    }
    const std::string same = (dir / "same").string();
    {
        cli::OutputTargets targets(system);
        EXPECT_EQ(targets.Open(options("", same, same)), 2);
        EXPECT_FALSE(std::filesystem::exists(same));
    }
    const std::string kept = (dir / "kept").string();
    std::ofstream(kept) << "";
    const std::string written = (dir / "written").string();
    const std::string listing = (dir / "listing").string();
    {
        cli::OutputTargets targets(system);
        ASSERT_EQ(targets.Open(options(listing, written, kept)), 0);
        ASSERT_NE(targets.ExportFd(), -1);
        ASSERT_NE(targets.Listing(), stdout);
        EXPECT_EQ(write(targets.ExportFd(), "x", 1), 1);
        EXPECT_EQ(targets.Close(1), 1);
    }
    EXPECT_TRUE(std::filesystem::exists(kept));
    EXPECT_TRUE(std::filesystem::exists(written));
    EXPECT_FALSE(std::filesystem::exists(listing));
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace lorvex::test

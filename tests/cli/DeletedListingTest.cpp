// lorvex-scan --deleted and the body file's deleted lines, hard links and
// named streams, read back by a JSON parser and held against the independent
// reader's listings of the same volumes (skipped where it is not installed).
#include "support/ScanRun.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

namespace lorvex::test {
namespace {

using nlohmann::json;

std::filesystem::path DeletedImage() {
    return VolumeDir() / "deleted.img";
}

std::string Scan(const std::filesystem::path& image, const std::string& args) {
    const auto o = RunProgram(LORVEX_SCAN, Quote(image) + " " + args);
    EXPECT_EQ(o.status, 0) << args << ": " << o.err;
    return o.out;
}

bool HaveIndependentReader() {
    return RunCommand("command -v fls && command -v ifind").find("ifind") != std::string::npos;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, separator)) {
        fields.push_back(field);
    }
    if (!line.empty() && line.back() == separator) {
        fields.emplace_back();
    }
    return fields;
}

class DeletedVolume : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(DeletedImage())) {
            GTEST_SKIP() << "no " << DeletedImage() << " (tools/make-deleted-volume)";
        }
    }
    static std::string Reader(const std::string& tool, const std::filesystem::path& image,
                              const std::string& operand = "") {
        return RunCommand("TZ=UTC " + tool + " " + Quote(image) + " " + operand + " 2>/dev/null");
    }
    // The drive's rows of --deleted as one JSON document, by record.
    static json Document(const std::filesystem::path& image) {
        return json::parse(Scan(image, "--deleted --format json"))["drives"][0];
    }
};

// The tests that hold the listing against the independent reader.
class DeletedListing : public DeletedVolume {
  protected:
    void SetUp() override {
        DeletedVolume::SetUp();
        if (!IsSkipped() && !HaveIndependentReader()) {
            GTEST_SKIP() << "fls or ifind missing";
        }
    }
};

// "$OrphanFiles/a/b" as the listing shows it: "\$### ORPHAN ###\a\b".
std::string OurPath(std::string path) {
    if (path.starts_with("$OrphanFiles/")) {
        path = "$### ORPHAN ###/" + path.substr(13);
    }
    path = "\\" + path;
    std::ranges::replace(path, '/', '\\');
    return path;
}

// Every deleted file the independent reader lists (its own names for empty
// reserved records aside) is a row of its record, reached by that path
// through one of its names, with the named stream the line names; and the
// JSON, JSON Lines, CSV and text listings have the same rows.
TEST_F(DeletedListing, EveryDeletedFileTheIndependentReaderListsIsARowWithItsPath) {
    const json drive = Document(DeletedImage());
    std::map<std::int64_t, json> rows;
    for (const json& row : drive["deleted"]) {
        rows[row["record"].get<std::int64_t>()] = row;
    }
    int seen = 0;
    for (const std::string& line : Lines(Reader("fls -rd -p", DeletedImage()))) {
        const auto star = line.find("* ");
        const auto tab = line.find('\t');
        if (star == std::string::npos || tab == std::string::npos ||
            line.find("OrphanFile-") != std::string::npos) {
            continue;
        }
        SCOPED_TRACE(line);
        std::string path = line.substr(tab + 1);
        std::string stream;
        if (const auto colon = path.find(':', path.rfind('/') + 1); colon != std::string::npos) {
            stream = path.substr(colon + 1);
            path.resize(colon);
        }
        const auto row = rows.find(std::stoll(line.substr(star + 2)));
        ASSERT_NE(row, rows.end());
        std::set<std::string> paths{row->second["path"].get<std::string>()};
        for (const json& other : row->second["other_paths"]) {
            paths.insert(other.get<std::string>());
        }
        EXPECT_TRUE(paths.contains(OurPath(path)));
        EXPECT_EQ(row->second["type"], line.starts_with("-/d") ? "directory" : "file");
        if (!stream.empty()) {
            std::set<std::string> streams;
            for (const json& s : row->second["streams"]) {
                streams.insert(s["name"].get<std::string>());
            }
            EXPECT_TRUE(streams.contains(stream));
        }
        ++seen;
    }
    EXPECT_GE(seen, 12);

    const json& summary = drive["deleted_summary"];
    EXPECT_EQ(summary["entries"], rows.size());
    EXPECT_EQ(summary["broken_records"], 0);
    EXPECT_GT(summary["free_records"].get<std::int64_t>(), summary["empty_records"].get<int>());

    // JSON Lines: the same objects, the drive first.
    const auto jsonl = Lines(Scan(DeletedImage(), "--deleted --format jsonl"));
    ASSERT_EQ(jsonl.size(), drive["deleted"].size());
    for (std::size_t i = 0; i < jsonl.size(); ++i) {
        json line = json::parse(jsonl[i]);
        EXPECT_EQ(line["drive"], "C:");
        line.erase("drive");
        EXPECT_EQ(line, drive["deleted"][i]);
    }
    // CSV: a header, then one row per entry with the scalar fields; none of
    // the paths here holds a comma or a quote.
    const auto csv = Lines(Scan(DeletedImage(), "--deleted --format csv"));
    ASSERT_EQ(csv.size(), drive["deleted"].size() + 1);
    const auto header = Split(csv[0], ',');
    EXPECT_EQ(header.front(), "drive");
    EXPECT_EQ(header.back(), "path");
    for (std::size_t i = 1; i < csv.size(); ++i) {
        const json& row = drive["deleted"][i - 1];
        const auto cells = Split(csv[i], ',');
        ASSERT_EQ(cells.size(), header.size()) << csv[i];
        for (std::size_t c = 1; c < header.size(); ++c) {
            ASSERT_TRUE(row.contains(header[c])) << header[c];
            const json& value = row[header[c]];
            EXPECT_EQ(cells[c], value.is_string() ? value.get<std::string>()
                                : value.is_null() ? ""
                                                  : value.dump())
                << header[c];
        }
    }
    // Text: a line per entry, its path after its fields, then the counts.
    const auto text = Lines(Scan(DeletedImage(), "--deleted"));
    ASSERT_EQ(text.size(), drive["deleted"].size() + 1);
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        const json& row = drive["deleted"][i];
        const auto fields = Split(text[i], '\t');
        EXPECT_EQ(fields.front(), std::to_string(row["record"].get<std::int64_t>()));
        EXPECT_EQ(fields[header.size() - 2], row["path"]) << text[i];
        EXPECT_EQ(fields.size(), header.size() - 1 + row["stream_count"].get<std::size_t>() +
                                     row["other_paths"].size());
    }
    EXPECT_TRUE(text.back().starts_with(std::to_string(rows.size()) + " deleted entries: "))
        << text.back();
}

// A piece overwritten by a live file names the record the independent
// reader finds at its first and last cluster; the counts of recoverable and
// overwritten clusters are the sums of the pieces.
TEST_F(DeletedListing, OverwrittenPiecesNameTheRecordTheIndependentReaderFindsThere) {
    int checked = 0;
    const json drive = Document(DeletedImage());
    for (const json& row : drive["deleted"]) {
        std::int64_t recoverable = 0;
        std::int64_t overwritten = 0;
        std::vector<json> runs(row["runs"].begin(), row["runs"].end());
        for (const json& stream : row["streams"]) {
            runs.insert(runs.end(), stream["runs"].begin(), stream["runs"].end());
        }
        for (const json& run : runs) {
            const std::string state = run["state"];
            const std::int64_t length = run["length"];
            recoverable += state == "free" ? length : 0;
            overwritten += state == "overwritten" || state == "claimed" ? length : 0;
            EXPECT_EQ(run.contains("overwritten_by"), state == "overwritten" || state == "claimed");
            if (state != "overwritten") {
                continue;
            }
            const std::int64_t lcn = run["lcn"];
            for (const std::int64_t at : {lcn, lcn + length - 1}) {
                SCOPED_TRACE(std::to_string(row["record"].get<std::int64_t>()) + " at " +
                             std::to_string(at));
                const std::string owner = Reader("ifind -d " + std::to_string(at), DeletedImage());
                ASSERT_FALSE(owner.empty());
                EXPECT_EQ(std::stoll(owner), run["overwritten_by"].get<std::int64_t>());
                ++checked;
            }
        }
        EXPECT_EQ(row["recoverable_clusters"], recoverable);
        EXPECT_EQ(row["overwritten_clusters"], overwritten);
    }
    EXPECT_GE(checked, 6);
}

// A body file's line: name, inode field, mode, size and the four times.
struct BodyLine {
    std::string name;
    std::string inode;
    std::string mode;
    std::string size;
    std::vector<std::string> times;
};

// The lines of a body file by name; `drive` is the prefix of its names.
std::map<std::string, BodyLine> BodyLines(const std::string& text, const std::string& drive) {
    std::map<std::string, BodyLine> lines;
    for (const std::string& line : Lines(text)) {
        const auto f = Split(line, '|');
        EXPECT_EQ(f.size(), 11U) << line;
        if (f.size() != 11 || !f[1].starts_with(drive)) {
            continue;
        }
        std::string name = f[1].substr(drive.size());
        if (name.starts_with("/$### ORPHAN ###/")) {
            name = "/$OrphanFiles/" + name.substr(17);
        }
        lines[name] = {name, f[2], f[3], f[6], {f.begin() + 7, f.end()}};
    }
    return lines;
}

// The deleted entries' lines are the independent reader's: the same names
// marked "(deleted)", the same inode field (record, type and id), mode and
// times, and the size of every stream. Its $FILE_NAME lines' size is the
// size of the attribute, where ours is the file's.
TEST_F(DeletedListing, TheBodyFileOfTheDeletedEntriesIsTheIndependentReaders) {
    const auto ours = BodyLines(Scan(DeletedImage(), "--deleted --format bodyfile"), "C:");
    auto theirs = BodyLines(Reader("fls -m / -r -d", DeletedImage()), "");
    std::erase_if(theirs, [](const auto& line) {
        return line.first.find("OrphanFile-") != std::string::npos;
    });
    ASSERT_GE(theirs.size(), 24U);
    std::set<std::string> names;
    for (const auto& [name, line] : ours) {
        names.insert(name);
    }
    for (const auto& [name, line] : theirs) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(ours.contains(name));
        const BodyLine& our = ours.at(name);
        EXPECT_EQ(our.inode, line.inode);
        EXPECT_EQ(our.mode, line.mode);
        EXPECT_EQ(our.times, line.times);
        if (name.find("($FILE_NAME)") == std::string::npos && line.mode[2] != 'd') {
            EXPECT_EQ(our.size, line.size);
        }
        names.erase(name);
    }
    EXPECT_TRUE(names.empty()) << "not the independent reader's: " << *names.begin();

    // Both timelines together are the live one and the deleted one.
    EXPECT_EQ(Scan(DeletedImage(), "--files --deleted --format bodyfile"),
              Scan(DeletedImage(), "--format bodyfile") +
                  Scan(DeletedImage(), "--deleted --format bodyfile"));
}

// A live file's other names (hard links) and named streams have their lines
// as the independent reader has them, with the times and the inode field
// of the same file, those whose $FILE_NAME stands in an extension record
// included (the demo volume has a file of 41 names, most of them there).
TEST_F(DeletedListing, TheBodyFileNamesEveryHardLinkAndStreamOfAFile) {
    const auto demo = VolumeDir() / "demo.img";
    if (!std::filesystem::exists(demo)) {
        GTEST_SKIP() << "no " << demo;
    }
    const auto ours = BodyLines(Scan(demo, "--format bodyfile"), "C:");
    const auto theirs = BodyLines(Reader("fls -m / -r", demo), "");
    int links = 0;
    int streams = 0;
    int spread = 0; // files whose content stands in an extension record
    for (const auto& [name, line] : ours) {
        SCOPED_TRACE(name);
        const bool stream = name.find(':', name.rfind('/')) != std::string::npos;
        if (name.starts_with("/$") || name.find("($FILE_NAME)") != std::string::npos ||
            !theirs.contains(name)) {
            continue;
        }
        // The inode field names the same attribute: across a file's records
        // its ids are numbered as the independent reader numbers them.
        EXPECT_EQ(line.inode, theirs.at(name).inode);
        EXPECT_EQ(line.times, theirs.at(name).times);
        streams += stream ? 1 : 0;
        spread += line.inode.ends_with("-144-7") || line.inode.ends_with("-144-10") ? 1 : 0;
    }
    EXPECT_GE(spread, 3);
    // Each name of a file has the times and id of its own $FILE_NAME.
    std::set<std::string> nameIds;
    for (const auto& [name, line] : ours) {
        if (line.inode.starts_with("2901-48-")) {
            nameIds.insert(line.inode + " " + line.times[1]);
        }
    }
    EXPECT_EQ(nameIds.size(), 2U);
    // Every stream and every name of a file that the independent reader
    // lists twice or more is ours too.
    std::map<std::string, int> namesOf;
    for (const auto& [name, line] : theirs) {
        namesOf[line.inode] += 1;
    }
    int mostNames = 0;
    for (const auto& [inode, count] : namesOf) {
        mostNames = std::max(mostNames, inode.ends_with("-128-2") ? count : 0);
    }
    EXPECT_GE(mostNames, 40);
    for (const auto& [name, line] : theirs) {
        SCOPED_TRACE(name);
        const bool stream = name.find(':', name.rfind('/')) != std::string::npos;
        if (name.starts_with("/$") || name.find("(deleted") != std::string::npos) {
            continue;
        }
        if (stream && line.inode.find("-128-") != std::string::npos) {
            EXPECT_TRUE(ours.contains(name));
        } else if (namesOf[line.inode] > 1 && line.inode.ends_with("-128-2")) {
            EXPECT_TRUE(ours.contains(name));
            ++links;
        }
    }
    EXPECT_GE(streams, 5);
    EXPECT_GE(links, 40);
}

// A free record whose update sequence is broken is counted in the summary,
// not listed.
TEST_F(DeletedVolume, ABrokenFreeRecordIsCountedNotListed) {
    const json before = Document(DeletedImage());
    std::string image = ReadFile(DeletedImage());
    const std::int64_t small =
        std::stoll(ReadFacts(DeletedImage().string() + ".facts").at("small_record"));
    // Its record, found by its own number in its header (at 0x2C).
    std::size_t at = 0;
    for (; at + 1024 <= image.size(); at += 1024) {
        if (image.compare(at, 4, "FILE") == 0 &&
            static_cast<std::uint8_t>(image[at + 0x2C]) == small && image[at + 0x2D] == 0) {
            break;
        }
    }
    ASSERT_LT(at + 1024, image.size());
    image[at + 510] ^= 0x5A;
    const auto copy = TempPath("deleted-listing-torn.img");
    std::ofstream(copy, std::ios::binary)
        .write(image.data(), static_cast<std::streamsize>(image.size()));
    const json after = Document(copy);
    std::filesystem::remove(copy);
    EXPECT_EQ(after["deleted_summary"]["broken_records"], 1);
    EXPECT_EQ(after["deleted"].size() + 1, before["deleted"].size());
    for (const json& row : after["deleted"]) {
        EXPECT_NE(row["record"], small);
    }
}

} // namespace
} // namespace lorvex::test

// The arguments of lorvex-scan read and checked without a scan: every
// refusal with the words and the exit status the program gives, which of
// several refusals a run gets, and what the options come to when accepted.
#include "cli/Options.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace lorvex::test {
namespace {

using cli::EarlyExit;
using cli::Options;
using records::Format;

std::variant<Options, EarlyExit> Parse(const std::vector<std::string>& words) {
    const std::vector<std::string_view> args(words.begin(), words.end());
    return cli::ParseOptions(args);
}

// The refusal of `words`: its text on standard error and its status.
EarlyExit Refusal(const std::vector<std::string>& words) {
    auto parsed = Parse(words);
    EXPECT_TRUE(std::holds_alternative<EarlyExit>(parsed));
    return std::holds_alternative<EarlyExit>(parsed) ? std::get<EarlyExit>(parsed) : EarlyExit{};
}

Options Accepted(const std::vector<std::string>& words) {
    auto parsed = Parse(words);
    EXPECT_TRUE(std::holds_alternative<Options>(parsed))
        << (std::holds_alternative<EarlyExit>(parsed) ? std::get<EarlyExit>(parsed).err : "");
    return std::holds_alternative<Options>(parsed) ? std::move(std::get<Options>(parsed))
                                                   : Options{};
}

std::string Usage(const std::string& message) {
    return "lorvex-scan: " + message + "\nTry 'lorvex-scan --help'.\n";
}

class OptionFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = TempPath("lorvex-options");
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string File(const std::string& name, const std::string& text) {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
    std::filesystem::path dir_;
};

TEST(Options, EachWrongWordIsRefusedWithItsUsageLine) {
    const std::string oneTable = " writes one table: ask for one of --files, --cluster-map, "
                                 "--owner, --fragmented, --info, --check, --damage";
    const struct {
        std::vector<std::string> words;
        std::string says;
    } cases[] = {
        {{"--drive"}, "--drive needs a drive letter or a drive number"},
        {{"--drive", "0", "x"}, "--drive needs a drive letter or a drive number"},
        {{"--drive", "xy", "x"}, "--drive needs a drive letter or a drive number"},
        {{"--drive", "C:x", "x"}, "--drive needs a drive letter or a drive number"},
        {{"--drive", "99999999999999999999", "x"},
         "--drive needs a drive letter or a drive number"},
        {{"--export"}, "--export needs a file name"},
        {{"-o"}, "--output needs a file name (- for standard output)"},
        {{"--output"}, "--output needs a file name (- for standard output)"},
        {{"--format"}, "--format needs one of text, json, jsonl, csv, bodyfile"},
        {{"--format", "xml", "x"}, "--format needs one of text, json, jsonl, csv, bodyfile"},
        {{"--format", "JSON", "x"}, "--format needs one of text, json, jsonl, csv, bodyfile"},
        {{"--map-png"}, "--map-png needs a file name"},
        {{"--map-size"}, "--map-size needs a size, WIDTHxHEIGHT"},
        {{"--owner"}, "--owner needs one or more cluster numbers"},
        {{"--owner", "x"}, "--owner needs one or more cluster numbers"},
        {{"--owner", "-1", "x"}, "--owner needs one or more cluster numbers"},
        {{"--owner", "9223372036854775808", "x"}, "--owner needs one or more cluster numbers"},
        {{"--damage"}, "--damage needs a file name"},
        {{"--sector-size"}, "--sector-size needs a size in bytes, 1 to 1048576"},
        {{"--sector-size", "0"}, "--sector-size needs a size in bytes, 1 to 1048576"},
        {{"--sector-size", "1048577"}, "--sector-size needs a size in bytes, 1 to 1048576"},
        {{"--sector-size", "4k"}, "--sector-size needs a size in bytes, 1 to 1048576"},
        {{"--as"}, "--as needs one of auto, raw, container"},
        {{"--as", "Raw", "x"}, "--as needs one of auto, raw, container"},
        {{"--unlock"}, "--unlock needs a key file"},
        {{"--nosuch", "x"}, "unknown option '--nosuch'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--as", "raw"}, "--as says how to read the SOURCEs named; name one"},
        {{"--sector-size", "512", "x"},
         "--sector-size is for the list of --damage; give --damage too"},
        {{"--export", "e", "--format", "json", "x"},
         "--export writes the file table in its one text format; --format is for the listings: "
         "for the file table as json, use --files --format json (with -o FILE)"},
        {{"--format", "bodyfile", "--check", "x"},
         "--format bodyfile writes the file table (--files) and nothing else"},
        {{"--format", "bodyfile", "--files", "--owner", "1", "x"},
         "--format bodyfile writes the file table (--files) and nothing else"},
        {{"--format", "bodyfile", "--deleted", "--check", "x"},
         "--format bodyfile writes the file table (--files) and nothing else"},
        {{"--format", "csv", "--deleted", "--files", "x"}, "--format csv" + oneTable},
        {{"--format", "csv", "--files", "--check", "x"}, "--format csv" + oneTable},
        {{"--format", "jsonl", "--info", "--fragmented", "x"}, "--format jsonl" + oneTable},
        {{"--export", "-", "--files", "--format", "json", "x"},
         "--export - and the JSON listing would share standard output; give one of them a file"},
        {{"--export", "-", "--files", "--format", "csv", "-o", "-", "x"},
         "--export - and the CSV listing would share standard output; give one of them a file"},
        {{"--map-size", "800x600", "x"},
         "--map-size is the size of the --map-png picture; give --map-png too"},
        {{"--map-png", "-", "x"}, "--map-png writes a file, not standard output"},
        {{"--map-png", "m.png", "--info", "x"}, "--map-png draws a scan, and --info does not scan"},
    };
    for (const auto& c : cases) {
        std::string words;
        for (const auto& w : c.words) {
            words += w + " ";
        }
        SCOPED_TRACE(words);
        const EarlyExit refused = Refusal(c.words);
        EXPECT_EQ(refused.err, Usage(c.says));
        EXPECT_EQ(refused.status, 2);
        EXPECT_TRUE(refused.out.empty());
        EXPECT_EQ(refused.outUse, nullptr);
    }
#ifdef LORVEX_MAP_PICTURE
    EXPECT_EQ(Refusal({"--map-size", "10x10", "--map-png", "m.png", "x"}).err,
              Usage("--map-size '10x10': give WIDTHxHEIGHT in pixels, from 320x240 to "
                    "8192x8192, e.g. 1024x768"));
#else
    EXPECT_EQ(Refusal({"--map-png", "m.png", "x"}).err,
              Usage("--map-png is not available: this lorvex-scan was built without Qt"));
#endif
}

// The words are read in their order: the first wrong one, or the help or the
// version, ends the reading; then the checks come in the order they always
// have, which decides the refusal a run with several faults gets.
TEST(Options, TheFirstFaultInTheirOrderIsTheOneSaid) {
    EXPECT_EQ(Refusal({"--bogus", "--help"}).err, Usage("unknown option '--bogus'"));
    const EarlyExit help = Refusal({"--help", "--bogus"});
    EXPECT_EQ(help.status, 0);
    EXPECT_STREQ(help.outUse, "the help");
    EXPECT_TRUE(help.out.starts_with("Usage: lorvex-scan [OPTION]... SOURCE...\n"));
    EXPECT_TRUE(help.out.ends_with("found problems or --damage found files on bad areas.\n"));
    EXPECT_TRUE(help.err.empty());
    EXPECT_EQ(Refusal({"-h"}).out, help.out);
    const EarlyExit version = Refusal({"--version", "--help"});
    EXPECT_STREQ(version.outUse, "the version");
    EXPECT_EQ(version.out, std::string("lorvex-scan ") + LORVEX_VERSION + "\n");
    // A value is taken whatever it looks like.
    EXPECT_EQ(Accepted({"--export", "--help", "x"}).exportPath, "--help");
    // --as before --sector-size, both before the combinations of listings.
    EXPECT_EQ(Refusal({"--as", "raw", "--sector-size", "512"}).err,
              Usage("--as says how to read the SOURCEs named; name one"));
    EXPECT_EQ(Refusal({"--sector-size", "512", "--format", "csv", "--files", "--check", "x"}).err,
              Usage("--sector-size is for the list of --damage; give --damage too"));
    EXPECT_EQ(Refusal({"--map-size", "1x1", "--format", "csv", "--files", "--check", "x"}).err,
              Usage("--format csv writes one table: ask for one of --files, --cluster-map, "
                    "--owner, --fragmented, --info, --check, --damage"));
}

// The damage map and the key file are read before the combinations are
// checked, each where it always was: a map that does not read fails the
// run with status 1 before a refused format, the key file after the
// export's check.
TEST_F(OptionFiles, TheDamageMapAndTheKeyFileAreReadInTheirTurn) {
    const std::string missing = (dir_ / "nosuch").string();
    EarlyExit refused =
        Refusal({"--damage", missing, "--format", "csv", "--files", "--check", "x"});
    EXPECT_EQ(refused.err, "lorvex-scan: " + missing + ": No such file or directory\n");
    EXPECT_EQ(refused.status, 1);
    refused = Refusal({"--unlock", missing, "--export", "e", "--format", "csv", "x"});
    EXPECT_EQ(refused.status, 2) << refused.err;
    refused = Refusal({"--unlock", missing, "--format", "csv", "--files", "--check", "x"});
    EXPECT_EQ(refused.err, "lorvex-scan: " + missing + ": No such file or directory\n");
    EXPECT_EQ(refused.status, 1);
    refused = Refusal({"--unlock", File("empty.txt", ""), "x"});
    EXPECT_NE(refused.err.find("empty.txt: empty\n"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.status, 1);
    refused = Refusal({"--damage",
                       File("bad.map", "# Mapfile\n0x0 + 1\n0x2000 0x1000 -\n"
                                       "0x1000 0x1000 -\n"),
                       "x"});
    EXPECT_NE(refused.err.find("bad.map: "), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("line 4"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.status, 1);

    const Options damage =
        Accepted({"--damage", File("sectors.txt", "7\n3\n"), "--sector-size", "512", "x"});
    EXPECT_EQ(damage.sectorSize, 512U);
    EXPECT_TRUE(damage.damage.Error.empty());
    EXPECT_EQ(damage.damage.Listed, 2U);
    const Options key = Accepted({"--unlock", File("pw.txt", "anaconda\n"), "--info", "x"});
    EXPECT_EQ(key.unlockPath, (dir_ / "pw.txt").string());
}

TEST(Options, AcceptedArgumentsComeToTheirOptions) {
    Options o = Accepted({"a.img", "-", "b.img"});
    EXPECT_EQ(o.sources, (std::vector<std::string>{"a.img", "-", "b.img"}));
    EXPECT_TRUE(o.summary);
    EXPECT_EQ(o.format, Format::Text);
    EXPECT_EQ(o.Listings(), 1);
    // A drive by letter in its forms, or by position.
    for (const char* drive : {"d", "D", "d:", "D:\\", "d:/"}) {
        EXPECT_EQ(Accepted({"--drive", drive, "x"}).drive, 'D') << drive;
    }
    EXPECT_EQ(Accepted({"--drive", "12", "x"}).driveIndex, 12U);
    // --owner takes every number after it; what follows is a source.
    o = Accepted({"--owner", "0", "5", "17", "x", "9"});
    EXPECT_EQ(o.owners, (std::vector<std::int64_t>{0, 5, 17}));
    EXPECT_EQ(o.sources, (std::vector<std::string>{"x", "9"}));
    EXPECT_FALSE(o.summary);
    // The cluster map alone is CSV; with another listing, text.
    EXPECT_EQ(Accepted({"--cluster-map", "x"}).format, Format::Csv);
    EXPECT_EQ(Accepted({"--cluster-map", "--files", "x"}).format, Format::Text);
    // A body file alone means the file table.
    o = Accepted({"--format", "bodyfile", "x"});
    EXPECT_TRUE(o.files);
    EXPECT_EQ(o.format, Format::Bodyfile);
    // With --deleted, the deleted entries' lines alone or beside the live.
    o = Accepted({"--deleted", "--format", "bodyfile", "x"});
    EXPECT_TRUE(o.deleted && !o.files && !o.summary);
    o = Accepted({"--files", "--deleted", "--format", "bodyfile", "x"});
    EXPECT_TRUE(o.deleted && o.files);
    // An export or a picture alone is no summary.
    EXPECT_FALSE(Accepted({"--export", "-", "x"}).summary);
    EXPECT_TRUE(Accepted({"--export", "-", "x"}).ExportToStdout());
    EXPECT_TRUE(Accepted({"--files", "-o", "-", "--format", "json", "x"}).ListingsToStdout());
    EXPECT_FALSE(Accepted({"--files", "-o", "l.txt", "x"}).ListingsToStdout());
    // --export - beside a text listing, or a JSON one written to a file.
    Accepted({"--export", "-", "--files", "x"});
    Accepted({"--export", "-", "--files", "--format", "json", "-o", "l.json", "x"});
    EXPECT_EQ(Accepted({"--as", "container", "x"}).readAs, platform::ReadAs::Container);
    EXPECT_TRUE(Accepted({"--allow-outside-extents", "x"}).allowOutsideExtents);
#ifdef LORVEX_MAP_PICTURE
    o = Accepted({"--map-png", "m.png", "--map-size", "800x600", "x"});
    EXPECT_EQ(o.mapWidth, 800);
    EXPECT_EQ(o.mapHeight, 600);
    EXPECT_FALSE(o.summary);
#endif
}

// What the streams are checked against before anything is opened: every
// word that is no option nor an option's value.
TEST(Options, NamedFilesAreTheWordsThatAreNoOptions) {
    const std::vector<std::string_view> args{"--drive", "c",  "a.img",    "-o",      "out.txt",
                                             "--files", "-",  "--unlock", "key.txt", "--format",
                                             "json",    "-x", "b.img"};
    EXPECT_EQ(cli::NamedFiles(args), (std::vector<std::string>{"a.img", "-", "key.txt", "b.img"}));
}

} // namespace
} // namespace lorvex::test

#include "cli/Options.h"

#include "ondisk/Printable.h"
#ifdef LORVEX_MAP_PICTURE
#include "mappicture/MapPictureFile.h"
#endif

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace lorvex::cli {

namespace {

constexpr const char* kUsage =
    "Usage: lorvex-scan [OPTION]... SOURCE...\n"
    "Scan an NTFS volume of an image file, a whole-disk image, a disk image in an\n"
    "EnCase (.E01, the first segment), VHD, VHDX, VMDK or qcow2 container, or a\n"
    "block device, as the Lorvex window does, and print what it found. Each\n"
    "source becomes one drive per partition, C: onwards; with no source, the NTFS\n"
    "partitions of this machine are the drives. Without --drive every NTFS drive\n"
    "is scanned in turn. Nothing is ever written to a source.\n"
    "\n"
    "Actions (without one, a summary of the scan is printed):\n"
    "  --files           list every entry of the file table\n"
    "  --cluster-map     list every run of clusters of the volume in cluster order,\n"
    "                    free ones too: first_lcn,count,kind,record,attribute,path\n"
    "                    (CSV unless --format says otherwise)\n"
    "  --owner LCN...    name what occupies each cluster (the numbers that follow)\n"
    "  --fragmented      list the fragmented entries, most fragmented first\n"
    "  --info            print the drives' volume information without scanning\n"
    "  --check           check the volume's consistency: one line per problem,\n"
    "                    KIND FIRST_LCN COUNT and then, tab-separated, the record\n"
    "                    number and path of every record concerned; then a summary.\n"
    "                    KIND is owned-free (a file's clusters free in the bitmap),\n"
    "                    unowned-used (set in the bitmap, no file's: lost clusters),\n"
    "                    cross-linked (claimed twice), beyond-end (a run past the\n"
    "                    volume's end), bad-cluster (in $BadClus), mirror-differs\n"
    "                    (an $MFT record unlike its $MFTMirr copy) or bad-record (an\n"
    "                    in-use record whose update sequence fails)\n"
    "  --damage FILE     name the files on the bad areas of a damaged disk: FILE is\n"
    "                    a GNU ddrescue mapfile (positions in bytes of the SOURCE,\n"
    "                    every status but + counts as bad) or, with --sector-size,\n"
    "                    a list of bad sector numbers, one a line. One line per hit:\n"
    "                    file, record, path, attribute, first byte, byte count and\n"
    "                    status; and per $MFT record on a bad area: record, record\n"
    "                    number, the path of its file (or (free)) and status\n"
    "  --export FILE     write the file table with attributes and data runs to FILE\n"
    "                    (- for standard output), as the window exports it\n"
    "  --extract RECORD[:STREAM]\n"
    "                    write the data of the file of record RECORD, in use or\n"
    "                    deleted, to the -o FILE (- for standard output): its\n"
    "                    unnamed stream, or the one named STREAM; sparse and\n"
    "                    compressed parts as the file reads. Ranges a deleted\n"
    "                    file's clusters now hold of other files, or that cannot\n"
    "                    be read (written as zeros), are named on standard error\n"
    "                    and, with --format json, in an object on standard output\n"
    "  --map-png FILE    draw the scanned volume's cluster map, the whole volume in\n"
    "                    view, with a title and a legend, into the PNG file FILE;\n"
    "                    needs no display\n"
    "\n"
    "Options:\n"
    "  --format FORMAT   how listings and the summary are written: text (the\n"
    "                    default), json (one document), jsonl (one object a line),\n"
    "                    csv (RFC 4180, with a header row; one action at a time),\n"
    "                    bodyfile (the file table as a timeline body file)\n"
    "  -o, --output FILE write the listings to FILE instead of standard output (-)\n"
    "  --unlock FILE     unlock the BitLocker drives of the sources with the key in\n"
    "                    FILE: a password or a 48-digit recovery password on one\n"
    "                    line, or a startup key (.BEK) file; a volume whose\n"
    "                    protection is suspended opens without one\n"
    "  --drive DRIVE     the drive to scan when the sources give several: its letter\n"
    "                    (C, c or C:) or its position in the list --info prints (1,\n"
    "                    2, ...); drives past Z: have no letter, only a position\n"
    "  --as HOW          how each SOURCE is read: auto (the default: through the\n"
    "                    container its content names when that opens, else as it\n"
    "                    is, when it reads as a volume or a disk), raw (as it is,\n"
    "                    whatever container signature it carries) or container\n"
    "                    (through its container only). The summary and --info say\n"
    "                    how a source was read, and name a second reading it allows\n"
    "  --sector-size N   read the --damage FILE as a list of bad sectors of N bytes\n"
    "  --allow-outside-extents\n"
    "                    read the files a VMDK names outside its descriptor's folder\n"
    "                    (an absolute path, another folder, a block device, another\n"
    "                    file than itself); such a VMDK is refused without it\n"
    "  --map-size WxH    the size of the --map-png picture in pixels (default\n"
    "                    1024x768, from 320x240 to 8192x8192)\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n"
    "\n"
    "Exit status: 0 on success; 1 when a source cannot be read or is not NTFS (a\n"
    "BitLocker drive without its key, or with a key that does not unlock it), an\n"
    "output cannot be written, a cluster asked for lies beyond its volume, or\n"
    "--check could not read what it checks; 2 on a usage error; 3 when --check\n"
    "found problems or --damage found files on bad areas.\n";

EarlyExit Usage(const std::string& message) {
    return {{}, nullptr, "lorvex-scan: " + message + "\nTry 'lorvex-scan --help'.\n", 2};
}

EarlyExit Failure(const std::string& message) {
    return {{}, nullptr, "lorvex-scan: " + message + "\n", 1};
}

std::optional<Format> ParseFormat(std::string_view text) {
    if (text == "text") {
        return Format::Text;
    }
    if (text == "json") {
        return Format::Json;
    }
    if (text == "jsonl") {
        return Format::JsonLines;
    }
    if (text == "csv") {
        return Format::Csv;
    }
    if (text == "bodyfile") {
        return Format::Bodyfile;
    }
    return std::nullopt;
}

bool ParseNumber(std::string_view text, std::int64_t& number) {
    if (text.empty()) {
        return false;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || value > (INT64_MAX - (c - '0')) / 10) {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    number = value;
    return true;
}

// The options as read, with what only their checks need.
struct Reading {
    Options options;
    std::optional<Format> format;
    std::string_view formatWord;
    std::optional<std::string> mapSizeText;
};

// The options whose value is a name, and what each says when it has none.
struct NameOption {
    std::string_view word;
    std::string_view shortWord;
    const char* needs;
    std::optional<std::string>& (*field)(Reading&);
};
constexpr NameOption kNameOptions[] = {
    {"--export", "", "--export needs a file name",
     [](Reading& r) -> std::optional<std::string>& { return r.options.exportPath; }},
    {"--output", "-o", "--output needs a file name (- for standard output)",
     [](Reading& r) -> std::optional<std::string>& { return r.options.outputPath; }},
    {"--map-png", "", "--map-png needs a file name",
     [](Reading& r) -> std::optional<std::string>& { return r.options.mapPngPath; }},
    {"--map-size", "", "--map-size needs a size, WIDTHxHEIGHT",
     [](Reading& r) -> std::optional<std::string>& { return r.mapSizeText; }},
    {"--damage", "", "--damage needs a file name",
     [](Reading& r) -> std::optional<std::string>& { return r.options.damagePath; }},
    {"--unlock", "", "--unlock needs a key file",
     [](Reading& r) -> std::optional<std::string>& { return r.options.unlockPath; }},
};

struct FlagOption {
    std::string_view word;
    bool Options::*field;
};
constexpr FlagOption kFlagOptions[] = {
    {"--fragmented", &Options::fragmented},
    {"--check", &Options::check},
    {"--files", &Options::files},
    {"--cluster-map", &Options::clusterMap},
    {"--info", &Options::info},
    {"--allow-outside-extents", &Options::allowOutsideExtents},
};

// "d", "D", "d:", "D:" and the root "D:\" all name drive D:; a number is
// a position in the list of drives.
std::optional<EarlyExit> ReadDrive(std::string_view value, Options& options) {
    std::int64_t index = 0;
    if (value.size() == 3 && value[1] == ':' && (value[2] == '\\' || value[2] == '/')) {
        value.remove_suffix(1);
    }
    if ((value.size() == 1 || (value.size() == 2 && value[1] == ':')) &&
        std::isalpha(static_cast<unsigned char>(value[0]))) {
        options.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
    } else if (ParseNumber(value, index) && index > 0) {
        options.driveIndex = static_cast<std::size_t>(index);
    } else {
        return Usage("--drive needs a drive letter or a drive number");
    }
    return std::nullopt;
}

// RECORD or RECORD:STREAM.
std::optional<EarlyExit> ReadExtract(std::string_view value, Options& options) {
    const std::size_t colon = value.find(':');
    std::int64_t record = 0;
    if (!ParseNumber(value.substr(0, colon), record)) {
        return Usage("--extract needs a record number, and a stream name after a colon: "
                     "RECORD or RECORD:STREAM");
    }
    options.extractRecord = record;
    options.extractStream = colon == std::string_view::npos ? "" : value.substr(colon + 1);
    return std::nullopt;
}

// The option at args[i] that takes words after it; `i` is left on the last
// word it took. Nullopt when it is none of them or was read.
std::optional<EarlyExit> ReadValued(std::span<const std::string_view> args, std::size_t& i,
                                    Reading& reading, bool& known) {
    const std::string_view arg = args[i];
    const std::string_view value = i + 1 < args.size() ? args[i + 1] : "";
    Options& options = reading.options;
    known = true;
    if (arg == "--drive") {
        ++i;
        return ReadDrive(value, options);
    }
    if (arg == "--format") {
        reading.format = ParseFormat(value);
        reading.formatWord = value;
        ++i;
        if (!reading.format) {
            return Usage("--format needs one of text, json, jsonl, csv, bodyfile");
        }
        return std::nullopt;
    }
    if (arg == "--owner") {
        std::int64_t lcn = 0;
        const std::size_t before = options.owners.size();
        while (i + 1 < args.size() && ParseNumber(args[i + 1], lcn)) {
            options.owners.push_back(lcn);
            ++i;
        }
        if (options.owners.size() == before) {
            return Usage("--owner needs one or more cluster numbers");
        }
        return std::nullopt;
    }
    if (arg == "--extract") {
        ++i;
        return ReadExtract(value, options);
    }
    if (arg == "--sector-size") {
        std::int64_t size = 0;
        if (i + 1 >= args.size() || !ParseNumber(value, size) || size <= 0 || size > (1 << 20)) {
            return Usage("--sector-size needs a size in bytes, 1 to 1048576");
        }
        options.sectorSize = static_cast<std::uint32_t>(size);
        ++i;
        return std::nullopt;
    }
    if (arg == "--as") {
        using platform::ReadAs;
        if (value != "auto" && value != "raw" && value != "container") {
            return Usage("--as needs one of auto, raw, container");
        }
        options.readAs = value == "raw"         ? ReadAs::Raw
                         : value == "container" ? ReadAs::Container
                                                : ReadAs::Auto;
        ++i;
        return std::nullopt;
    }
    for (const NameOption& option : kNameOptions) {
        if (arg == option.word || (!option.shortWord.empty() && arg == option.shortWord)) {
            if (i + 1 >= args.size()) {
                return Usage(option.needs);
            }
            option.field(reading) = std::string(args[++i]);
            return std::nullopt;
        }
    }
    known = false;
    return std::nullopt;
}

// Every word in its order: the first refusal, or the help or the version
// where they come, ends the reading.
std::optional<EarlyExit> ReadWords(std::span<const std::string_view> args, Reading& reading) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") {
            return EarlyExit{kUsage, "the help", {}, 0};
        }
        if (arg == "--version") {
            return EarlyExit{
                std::string("lorvex-scan ") + LORVEX_VERSION + "\n", "the version", {}, 0};
        }
        bool known = false;
        if (auto refused = ReadValued(args, i, reading, known)) {
            return refused;
        }
        if (known) {
            continue;
        }
        const auto flag = std::find_if(std::begin(kFlagOptions), std::end(kFlagOptions),
                                       [arg](const FlagOption& f) { return f.word == arg; });
        if (flag != std::end(kFlagOptions)) {
            reading.options.*(flag->field) = true;
        } else if (arg.starts_with("-") && arg != "-") {
            return Usage("unknown option '" + std::string(arg) + "'");
        } else {
            reading.options.sources.emplace_back(arg);
        }
    }
    return std::nullopt;
}

// The damage map and the key file, read now, not after a long scan: a FIFO
// or a device is refused before anything waits on it. The key itself never
// appears in a message.
std::optional<EarlyExit> ReadDamage(Options& options) {
    options.damage = ntfs::ReadDamageFile(*options.damagePath, options.sectorSize);
    if (!options.damage.Error.empty()) {
        return Failure(*options.damagePath + ": " + options.damage.Error);
    }
    return std::nullopt;
}

std::optional<EarlyExit> ReadKey(Options& options) {
    std::string why;
    if (!platform::ReadKeyFile(*options.unlockPath, options.key, why)) {
        return Failure(ondisk::Printable(*options.unlockPath) + ": " + why);
    }
    return std::nullopt;
}

// The actions and formats asked for together, and the format they come to.
std::optional<EarlyExit> CheckListings(Reading& reading) {
    Options& options = reading.options;
    // A body file is the file table's; asked for alone, it means --files.
    if (reading.format == Format::Bodyfile && options.Listings() == 0) {
        options.files = true;
    }
    options.summary = options.Listings() == 0 && !options.exportPath && !options.mapPngPath &&
                      !options.extractRecord;
    const Format format = reading.format.value_or(
        options.clusterMap && options.Listings() == 1 ? Format::Csv : Format::Text);
    options.format = format;
    if (format == Format::Bodyfile && (options.Listings() != 1 || !options.files)) {
        return Usage("--format bodyfile writes the file table (--files) and nothing else");
    }
    if ((format == Format::Csv || format == Format::JsonLines) && options.Listings() > 1) {
        return Usage(std::string("--format ") + (format == Format::Csv ? "csv" : "jsonl") +
                     " writes one table: ask for one of --files, --cluster-map, --owner, "
                     "--fragmented, --info, --check, --damage");
    }
    if (options.ExportToStdout() && options.ListingsToStdout() && options.Listings() > 0 &&
        format != Format::Text) {
        return Usage("--export - and the " + std::string(format == Format::Csv ? "CSV" : "JSON") +
                     " listing would share standard output; give one of them a file");
    }
    return std::nullopt;
}

// The extraction writes one file's bytes and nothing else there.
std::optional<EarlyExit> CheckExtract(const Options& options) {
    if (!options.extractRecord) {
        return std::nullopt;
    }
    if (options.Listings() > 0 || options.exportPath || options.mapPngPath) {
        return Usage("--extract writes one stream; ask for no other action with it");
    }
    if (!options.outputPath) {
        return Usage("--extract needs -o FILE, where the stream goes (- for standard output)");
    }
    if (options.format != Format::Text && options.format != Format::Json) {
        return Usage("--extract lists its ranges as text or --format json");
    }
    if (options.format == Format::Json && options.ListingsToStdout()) {
        return Usage("--extract -o - and the JSON object would share standard output; give "
                     "the stream a file");
    }
    return std::nullopt;
}

std::optional<EarlyExit> CheckMapPicture(Reading& reading) {
    Options& options = reading.options;
    if (reading.mapSizeText) {
        if (!options.mapPngPath) {
            return Usage("--map-size is the size of the --map-png picture; give --map-png too");
        }
#ifdef LORVEX_MAP_PICTURE
        const auto size = mappicture::ParsePictureSize(*reading.mapSizeText);
        if (!size) {
            return Usage("--map-size '" + *reading.mapSizeText +
                         "': give WIDTHxHEIGHT in pixels, " + mappicture::PictureSizeLimits() +
                         ", e.g. 1024x768");
        }
        options.mapWidth = size->width;
        options.mapHeight = size->height;
#endif
    }
    if (options.mapPngPath) {
#ifndef LORVEX_MAP_PICTURE
        return Usage("--map-png is not available: this lorvex-scan was built without Qt");
#else
        if (*options.mapPngPath == "-") {
            return Usage("--map-png writes a file, not standard output");
        }
        if (options.info) {
            return Usage("--map-png draws a scan, and --info does not scan");
        }
#endif
    }
    return std::nullopt;
}

// The checks in the order the program has always made them: which refusal
// a run gets when several apply is part of what it says.
std::optional<EarlyExit> Check(Reading& reading) {
    Options& options = reading.options;
    if (options.readAs != platform::ReadAs::Auto && options.sources.empty()) {
        return Usage("--as says how to read the SOURCEs named; name one");
    }
    if (options.sectorSize != 0 && !options.damagePath) {
        return Usage("--sector-size is for the list of --damage; give --damage too");
    }
    if (options.damagePath) {
        if (auto failed = ReadDamage(options)) {
            return failed;
        }
    }
    // The export has one format, the window's; a --format with nothing else
    // to list would be ignored without a word.
    if (options.exportPath && reading.format && *reading.format != Format::Text &&
        options.Listings() == 0) {
        const std::string word(reading.formatWord);
        return Usage("--export writes the file table in its one text format; --format is for "
                     "the listings: for the file table as " +
                     word + ", use --files --format " + word + " (with -o FILE)");
    }
    if (options.unlockPath) {
        if (auto failed = ReadKey(options)) {
            return failed;
        }
    }
    if (auto refused = CheckListings(reading)) {
        return refused;
    }
    if (auto refused = CheckExtract(reading.options)) {
        return refused;
    }
    return CheckMapPicture(reading);
}

// The words that take the next one as their value, whether or not they
// take it.
bool TakesValue(std::string_view arg) {
    for (const std::string_view word :
         {"--drive", "--export", "--output", "-o", "--format", "--map-png", "--map-size",
          "--damage", "--sector-size", "--as", "--extract"}) {
        if (arg == word) {
            return true;
        }
    }
    return false;
}

} // namespace

std::variant<Options, EarlyExit> ParseOptions(std::span<const std::string_view> args) {
    Reading reading;
    if (auto exit = ReadWords(args, reading)) {
        return std::move(*exit);
    }
    if (auto refused = Check(reading)) {
        return std::move(*refused);
    }
    return std::move(reading.options);
}

std::vector<std::string> NamedFiles(std::span<const std::string_view> args) {
    std::vector<std::string> named;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (TakesValue(args[i])) {
            ++i;
        } else if (!args[i].starts_with("-") || args[i] == "-") {
            named.emplace_back(args[i]);
        }
    }
    return named;
}

} // namespace lorvex::cli

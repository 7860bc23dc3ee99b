#pragma once

#include "ntfs/DamageMap.h"
#include "platform/BitLockerKey.h"
#include "platform/SourceProbe.h"
#include "records/Record.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// What a run of lorvex-scan is asked to do, read from its arguments and
// checked before any source is opened: every refusal of the arguments comes
// from here, with the words and the exit status the program gives.
namespace lorvex::cli {

using records::Format;

struct Options {
    std::vector<std::string> sources;
    platform::ReadAs readAs = platform::ReadAs::Auto;
    char drive = 0;             // a letter, or
    std::size_t driveIndex = 0; // a 1-based position in the list of drives
    std::optional<std::string> exportPath;
    std::optional<std::string> mapPngPath;
    std::int32_t mapWidth = 1024;
    std::int32_t mapHeight = 768;
    std::optional<std::string> outputPath; // the listings' target; standard output without
    Format format = Format::Text;
    std::vector<std::int64_t> owners;
    bool fragmented = false;
    bool info = false;
    bool files = false;
    bool check = false;
    std::optional<std::string> damagePath;
    std::uint32_t sectorSize = 0; // 0: --damage reads a ddrescue mapfile
    ntfs::TDamageMap damage;      // read from damagePath
    bool clusterMap = false;
    bool allowOutsideExtents = false;
    bool summary = false; // no other action asks for anything printed
    // --extract RECORD[:STREAM]: the stream (UTF-8; empty for the unnamed
    // one) of a record, written to -o.
    std::optional<std::int64_t> extractRecord;
    std::string extractStream;
    std::optional<std::string> unlockPath;
    platform::BitLockerKey key; // read from unlockPath, never shown

    // The actions whose output is a listing (or the summary, one record).
    [[nodiscard]] int Listings() const {
        return (owners.empty() ? 0 : 1) + (fragmented ? 1 : 0) + (files ? 1 : 0) +
               (clusterMap ? 1 : 0) + (summary ? 1 : 0) + (info ? 1 : 0) + (check ? 1 : 0) +
               (damagePath ? 1 : 0);
    }
    [[nodiscard]] bool ListingsToStdout() const { return !outputPath || *outputPath == "-"; }
    [[nodiscard]] bool ExportToStdout() const { return exportPath && *exportPath == "-"; }
};

// A run that ends before anything is opened: the help or the version for
// standard output, or a refusal for standard error, and the exit status.
struct EarlyExit {
    std::string out;
    // What `out` is ("the help", "the version"): standard output is checked
    // for it before a word goes there. Null when `out` is empty.
    const char* outUse = nullptr;
    std::string err; // whole lines
    int status = 0;
};

// The arguments after the program's name, read and checked in their order;
// the damage map and the key file they name are read too. Either the
// options of the run or how it ends.
std::variant<Options, EarlyExit> ParseOptions(std::span<const std::string_view> args);

// The arguments that name files (the sources, and whatever else is no
// option nor an option's value): before the sources are opened they are all
// a run knows of them, and even the help is not written into one.
std::vector<std::string> NamedFiles(std::span<const std::string_view> args);

} // namespace lorvex::cli

// lorvex-scan: what Lorvex sees of a volume, at a shell. It opens a source as
// the window does, runs the same scan, and prints or exports the result.
#include "cli/Listings.h"
#include "cli/Record.h"
#include "map/ClusterRuns.h"
#include "ntfs/Attributes.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/DamageMap.h"
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/Health.h"
#include "ntfs/NTFSVolume.h"
#include "ntfs/NumberFormat.h"
#include "ntfs/ScanStages.h"
#include "ondisk/FveMetadata.h"
#include "ondisk/Printable.h"
#include "ondisk/Utf16.h"
#include "platform/BitLockerKey.h"
#include "platform/OpenFiles.h"
#include "platform/RawVolumeSystem.h"
#include "platform/SourceBytes.h"
#ifdef LORVEX_MAP_PICTURE
#include "mappicture/MapPictureFile.h"
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using lorvex::cli::Format;
using lorvex::cli::Output;
using lorvex::cli::Record;
using lorvex::cli::RecordWriter;
using lorvex::ntfs::TClusterArray;
using lorvex::ntfs::TFileIDs;
using lorvex::ntfs::TNTFSVolume;
using lorvex::platform::RawVolumeSystem;
using Clock = std::chrono::steady_clock;

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

struct Options {
    std::vector<std::string> sources;
    lorvex::platform::ReadAs readAs = lorvex::platform::ReadAs::Auto;
    char drive = 0;             // a letter, or
    std::size_t driveIndex = 0; // a 1-based position in the list of drives
    std::optional<std::string> exportPath;
    int exportFd = -1; // the export target, opened and checked before the scan
    std::optional<std::string> mapPngPath;
    int mapPngFd = -1; // the picture's target, opened and checked as the export's
    std::optional<std::string> mapSizeText;
    std::int32_t mapWidth = 1024;
    std::int32_t mapHeight = 768;
    std::optional<std::string> outputPath; // the listings' target; standard output without
    int outputFd = -1;
    std::optional<Format> format;
    std::vector<std::int64_t> owners;
    bool fragmented = false;
    bool info = false;
    bool files = false;
    bool check = false;
    std::optional<std::string> damagePath;
    std::uint32_t sectorSize = 0; // 0: --damage reads a ddrescue mapfile
    lorvex::ntfs::TDamageMap damage;
    bool clusterMap = false;
    bool allowOutsideExtents = false;
    bool summary = false; // no other action asks for anything printed
    std::optional<std::string> unlockPath;
    lorvex::platform::BitLockerKey key; // read from unlockPath, never shown
    // Per drive: why its BitLocker volume did not open with the key given.
    std::vector<std::string> lockedWhy;

    // The actions whose output is a listing (or the summary, one record).
    [[nodiscard]] int Listings() const {
        return (owners.empty() ? 0 : 1) + (fragmented ? 1 : 0) + (files ? 1 : 0) +
               (clusterMap ? 1 : 0) + (summary ? 1 : 0) + (info ? 1 : 0) + (check ? 1 : 0) +
               (damagePath ? 1 : 0);
    }
};

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

int UsageError(const std::string& message) {
    std::fprintf(stderr, "lorvex-scan: %s\nTry 'lorvex-scan --help'.\n", message.c_str());
    return 2;
}

// Every write to standard output is checked here, once at the end: a write
// that failed leaves the stream's error flag set, and the last of the buffer
// goes out (or fails) when the stream is closed. A full disk or a closed pipe
// must not pass for a finished listing. Returns the exit status.
bool gStdoutFailureReported = false;

int FinishOutput(int status) {
    errno = 0;
    const bool failed = std::ferror(stdout) != 0;
    const bool closeFailed = std::fclose(stdout) != 0;
    if ((failed || closeFailed) && !gStdoutFailureReported) {
        const int error = errno != 0 ? errno : EIO;
        std::fprintf(stderr, "lorvex-scan: standard output: %s\n", std::strerror(error));
        return status == 0 ? 1 : status;
    }
    return failed || closeFailed ? std::max(status, 1) : status;
}

// Standard output and error were opened by whoever started us, and may be a
// source or lie on one (`>> image`, `1<> image`): each is checked as an
// output file is, by `check` (the write check of a name, against what is
// protected at the time), before a word goes to it. Standard error always;
// standard output when `outputUse` names what would be written there. A
// stream refused is never written to (standard error is pointed at the null
// device, so that nothing reaches it later either); the refusal is said on
// the other stream where that one may be written. Returns false then.
using WriteCheck = std::function<lorvex::platform::WriteTarget(const std::string&)>;

bool StandardStreamsClear(const WriteCheck& check, const char* outputUse, const char* outputHint) {
    const auto clear = [&check](const char* name) {
        const auto target = check(name);
        if (target.fd >= 0) {
            close(target.fd);
        }
        // A stream that is closed, or open for reading only, reaches
        // nothing: its writes fail and are reported as they fail.
        return !target.refused;
    };
    if (!clear("/dev/stderr")) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDERR_FILENO);
            close(null);
        }
        if (clear("/dev/stdout")) {
            std::printf("lorvex-scan: standard error is a source, lies on a source or is a "
                        "device: nothing is written there, and nothing is done\n");
        }
        return false;
    }
    if (outputUse != nullptr && !clear("/dev/stdout")) {
        std::fprintf(stderr,
                     "lorvex-scan: standard output is a source, lies on a source or is a "
                     "device: %s is never written there%s%s\n",
                     outputUse, outputHint != nullptr ? "; write it to a file with " : "",
                     outputHint != nullptr ? outputHint : "");
        return false;
    }
    return true;
}

bool ParseLcn(std::string_view text, std::int64_t& lcn) {
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
    lcn = value;
    return true;
}

// Shows the running stage and its percentage on a terminal, at most ten times
// a second; nothing at all when stderr is a file or a pipe.
class ProgressLine {
  public:
    explicit ProgressLine(const TNTFSVolume& volume)
        : volume_(volume), enabled_(isatty(STDERR_FILENO) == 1) {}
    ~ProgressLine() { Clear(); }

    void Stage(std::string_view title) {
        title_ = title;
        Draw(true);
    }
    void Tick() { Draw(false); }
    void Clear() {
        if (enabled_ && drawn_) {
            std::fprintf(stderr, "\r\033[K");
            drawn_ = false;
        }
    }

  private:
    void Draw(bool force) {
        if (!enabled_) {
            return;
        }
        const auto now = Clock::now();
        if (!force && now - last_ < std::chrono::milliseconds(100)) {
            return;
        }
        last_ = now;
        const int percent = static_cast<int>(volume_.FProgress + 0.5);
        constexpr int kWidth = 30;
        const int filled = percent * kWidth / 100;
        std::fprintf(stderr, "\r\033[K%-28.*s [%.*s%*s] %3d%%", static_cast<int>(title_.size()),
                     title_.data(), filled, "##############################", kWidth - filled, "",
                     percent);
        std::fflush(stderr);
        drawn_ = true;
    }

    const TNTFSVolume& volume_;
    bool enabled_;
    bool drawn_ = false;
    std::string_view title_;
    Clock::time_point last_{};
};

// printf into the output's buffer, so that text and records keep their order.
__attribute__((format(printf, 2, 3))) void Appendf(Output& out, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof(line)) {
        out.Append(std::string_view(line, static_cast<std::size_t>(n)));
        return;
    }
    std::string longer(static_cast<std::size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(longer.data(), longer.size(), format, args);
    va_end(args);
    longer.pop_back();
    out.Append(longer);
}

// "C:  /path/disk.img (partition 2)"
std::string DriveTitle(const RawVolumeSystem::Drive& drive) {
    std::string title = drive.Name() + "  " + lorvex::ondisk::Printable(drive.region.path);
    if (drive.region.partition > 0) {
        title += " (partition " + std::to_string(drive.region.partition) + ")";
    }
    return title;
}

// What a BitLocker drive that stays locked says at the shell: why, and what
// would open it.
std::string LockedText(RawVolumeSystem& system, std::size_t index, const Options& options) {
    std::string why;
    const auto volume = system.BitLocker(index, why);
    if (!volume) {
        return "encrypted with BitLocker, but " + why;
    }
    if (!options.lockedWhy[index].empty()) {
        return "encrypted with BitLocker: " + options.lockedWhy[index];
    }
    if (!why.empty()) {
        return "encrypted with BitLocker, and not opened: " + why;
    }
    return "encrypted with BitLocker (" + volume->ProtectorList() +
           "): give its key with --unlock FILE";
}

// The state of a BitLocker drive as --info gives it.
std::string BitLockerState(RawVolumeSystem& system, std::size_t index, const Options& options) {
    if (const auto* access = system.Unlocked(index)) {
        return "unlocked with its " + access->protector;
    }
    std::string why;
    system.BitLocker(index, why);
    if (!options.lockedWhy[index].empty()) {
        return "locked: " + options.lockedWhy[index];
    }
    if (!why.empty()) {
        return "locked: " + why;
    }
    return "locked (give its key with --unlock FILE)";
}

// The protectors with their ids: "password 3e55195c-..., recovery password ...".
std::string ProtectorIds(const lorvex::platform::BitLockerVolume& volume) {
    std::string text;
    for (const auto& p : volume.protectors()) {
        text += (text.empty() ? "" : ", ") + lorvex::ondisk::ProtectionName(p.protection) + " " +
                lorvex::ondisk::FormatGuid(p.id);
    }
    return text;
}

void PrintBitLocker(Output& out, RawVolumeSystem& system, std::size_t index,
                    const Options& options) {
    std::string why;
    const auto volume = system.BitLocker(index, why);
    if (!volume) {
        Appendf(out, "  BitLocker          %s\n", why.c_str());
        return;
    }
    const auto* access = system.Unlocked(index);
    Appendf(out, "  BitLocker          %s, %s\n",
            lorvex::ondisk::MethodName(volume->method()).c_str(),
            BitLockerState(system, index, options).c_str());
    Appendf(out, "  BitLocker id       %s\n",
            lorvex::ondisk::FormatGuid(volume->volumeId()).c_str());
    Appendf(out, "  protectors         %s\n", ProtectorIds(*volume).c_str());
    if (access != nullptr) {
        Appendf(out, "  decrypted by       %s\n", access->reader.c_str());
    }
    for (const auto& note : volume->notes()) {
        Appendf(out, "  BitLocker note     %s\n", note.c_str());
    }
}

// The same as fields of the volume's record, null for a drive that is no
// BitLocker volume, so that a table of several drives keeps its columns.
void AddBitLocker(Record& row, RawVolumeSystem& system, std::size_t index, const Options& options) {
    std::string why;
    const auto volume = system.drives()[index].region.fileSystem == "BitLocker"
                            ? system.BitLocker(index, why)
                            : nullptr;
    if (!volume) {
        row.AddNull("bitlocker_cipher");
        row.AddNull("bitlocker_id");
        row.AddNull("bitlocker_protectors");
        if (system.drives()[index].region.fileSystem == "BitLocker") {
            row.Add("bitlocker_state", why);
        } else {
            row.AddNull("bitlocker_state");
        }
        row.AddNull("bitlocker_reader");
        return;
    }
    const auto* access = system.Unlocked(index);
    row.Add("bitlocker_cipher", lorvex::ondisk::MethodName(volume->method()));
    row.Add("bitlocker_id", lorvex::ondisk::FormatGuid(volume->volumeId()));
    row.Add("bitlocker_protectors", ProtectorIds(*volume));
    row.Add("bitlocker_state", BitLockerState(system, index, options));
    if (access != nullptr) {
        row.Add("bitlocker_reader", access->reader);
    } else {
        row.AddNull("bitlocker_reader");
    }
}

void PrintInfo(Output& out, TNTFSVolume& volume, RawVolumeSystem& system,
               const RawVolumeSystem::Drive& drive, const Options& options) {
    Appendf(out, "%s\n", DriveTitle(drive).c_str());
    Appendf(out, "  read as            %s\n", drive.region.reading.Text().c_str());
    // Every file a container reads, so that what the evidence points at is
    // seen.
    for (const auto& file : drive.region.containerFiles) {
        Appendf(out, "    reads            %s\n", file.c_str());
    }
    if (drive.region.fileSystem == "BitLocker") {
        PrintBitLocker(out, system, static_cast<std::size_t>(&drive - system.drives().data()),
                       options);
    }
    Appendf(out, "  file system        %s\n", volume.FFileSystem.c_str());
    Appendf(out, "  label              %s\n",
            lorvex::ondisk::Printable(volume.FVolumeName).c_str());
    Appendf(out, "  serial             %s\n", volume.FSerial.c_str());
    if (volume.FTotalClusters == 0) {
        Appendf(out, "\n");
        return;
    }
    Appendf(out, "  device path        %s\n", volume.FVolumePath.c_str());
    Appendf(out, "  sectors            %" PRId64 " of %u bytes\n", volume.FNumberSectors,
            volume.FBytesPerSector);
    Appendf(out, "  clusters           %" PRId64 " of %u bytes, %" PRId64 " free\n",
            volume.FTotalClusters, volume.FBytesPerCluster, volume.FFreeClusters);
    Appendf(out, "  file records       %u bytes, last in use %" PRId64 "\n",
            volume.FBytesPerFileRecordSegment, volume.GetLastRecordNumber());
    Appendf(out,
            "  $MFT               cluster %" PRId64 ", mirror at %" PRId64 ", %" PRId64
            " bytes valid\n",
            volume.FMftStartLcn, volume.FMft2StartLcn, volume.FMftValidDataLength);
    Appendf(out, "  MFT zone           clusters %" PRId64 " to %" PRId64 "\n", volume.FMftZoneStart,
            volume.FMftZoneEnd);
    Appendf(out, "  flags              %s\n\n", volume.FFileSystemFlags.c_str());
}

// The health report as text: one line per problem, its claimants after it,
// then a summary line; as records, a row per problem. Returns the exit
// status: 0 consistent, 3 problems, 1 when part of the volume could not be
// checked and nothing was found.
int WriteHealth(Output& out, RecordWriter* records, Record& row,
                const lorvex::ntfs::THealthReport& report, const TFileIDs& fileIds) {
    using lorvex::ntfs::THealthKind;
    std::u16string path;
    std::string claimants;
    if (records != nullptr) {
        records->BeginTable("check");
    }
    for (const auto& problem : report.Problems) {
        const auto kind = lorvex::ntfs::HealthKindName(problem.Kind);
        if (records != nullptr) {
            row.Clear();
            row.Add("kind", kind);
            row.Add("first_lcn", problem.FirstLCN);
            row.Add("count", problem.Count);
            claimants.clear();
            for (const auto& claimant : report.ClaimantsOf(problem)) {
                // Appended piece by piece: GCC 12 at -O3 warns falsely
                // (-Wrestrict) on a literal + std::string.
                if (!claimants.empty()) {
                    claimants.push_back(' ');
                }
                claimants.append(std::to_string(claimant.RecordNo));
            }
            row.Add("claimant_records", claimants);
            auto& list = row.AddList("claimants");
            list.Clear();
            for (const auto& claimant : report.ClaimantsOf(problem)) {
                Record& item = list.Add();
                item.Add("record", claimant.RecordNo);
                path.clear();
                if (claimant.FileIndex >= 0) {
                    // A list, which only JSON shows: its paths are exact.
                    fileIds.GetExactPath(claimant.FileIndex, path);
                    item.Add("path", lorvex::ondisk::ToUtf8(path));
                } else {
                    item.AddNull("path");
                }
            }
            records->Row(row);
            continue;
        }
        Appendf(out, "%.*s %" PRId64 " %" PRId64, static_cast<int>(kind.size()), kind.data(),
                problem.FirstLCN, problem.Count);
        for (const auto& claimant : report.ClaimantsOf(problem)) {
            path.clear();
            if (claimant.FileIndex >= 0) {
                fileIds.GetPath(claimant.FileIndex, path);
            }
            Appendf(out, "\t%" PRId64 "\t%s", claimant.RecordNo,
                    claimant.FileIndex >= 0 ? lorvex::ondisk::ToUtf8(path).c_str()
                                            : "(not readable)");
        }
        Appendf(out, "\n");
        out.Step();
    }
    std::string unchecked;
    const auto note = [&unchecked](bool checked, const char* what) {
        if (!checked) {
            unchecked += unchecked.empty() ? "; not checked: " : ", ";
            unchecked += what;
        }
    };
    note(report.BitmapChecked, "the allocation bitmap");
    note(report.RecordsChecked, "the $MFT's bitmap");
    note(report.MirrorChecked, "$MFTMirr");
    if (records != nullptr) {
        records->EndTable();
        if (!unchecked.empty()) {
            out.Flush();
            std::fprintf(stderr, "lorvex-scan: %s\n", unchecked.c_str() + 2);
        }
    } else {
        const auto counts = report.CountByKind();
        Appendf(out, "%zu problems:", report.Problems.size());
        for (std::size_t k = 0; k < counts.size(); ++k) {
            const auto name = lorvex::ntfs::HealthKindName(static_cast<THealthKind>(k));
            Appendf(out, "%s %.*s %zu", k == 0 ? "" : ",", static_cast<int>(name.size()),
                    name.data(), counts[k]);
        }
        Appendf(out, "%s\n", unchecked.c_str());
    }
    if (!report.Problems.empty()) {
        return 3;
    }
    return unchecked.empty() ? 0 : 1;
}

// The files, attributes and byte ranges on the bad areas, then the $MFT
// records on them, then a summary; as records, a row for each. Returns the
// exit status: 0 when nothing lies on a bad area, 3 when something does.
int WriteDamage(Output& out, RecordWriter* records, Record& row,
                const lorvex::ntfs::TDamageMap& map, const lorvex::ntfs::TDamageReport& report,
                const TFileIDs& fileIds, lorvex::cli::SourceTexts texts) {
    const bool exact = texts == lorvex::cli::SourceTexts::Exact;
    std::u16string path;
    const auto pathOf = [&](std::int32_t index) {
        path.clear();
        if (index >= 0) {
            lorvex::cli::GetEntryPath(fileIds, index, texts, path);
        }
        return lorvex::ondisk::ToUtf8(path);
    };
    if (records != nullptr) {
        records->BeginTable("damage");
    }
    for (const auto& hit : report.Hits) {
        std::string attribute = lorvex::ntfs::AttributeTypeName(hit.AttrType);
        if (!hit.AttrName.empty()) {
            attribute += ":";
            if (exact) {
                lorvex::ondisk::AppendUtf8(hit.AttrName, attribute);
            } else {
                lorvex::ondisk::AppendPrintableName(hit.AttrName, attribute);
            }
        }
        if (records != nullptr) {
            row.Clear();
            row.Add("kind", std::string_view("file"));
            row.Add("record", hit.RecordNo);
            row.Add("path", pathOf(hit.FileIndex));
            row.Add("attribute", attribute);
            row.Add("first_byte", hit.FirstByte);
            row.Add("byte_count", hit.ByteCount);
            row.AddPlain("status", std::string_view(&hit.Status, 1));
            records->Row(row);
            continue;
        }
        Appendf(out, "file\t%" PRId64 "\t%s\t%s\t%" PRId64 "\t%" PRId64 "\t%c\n", hit.RecordNo,
                pathOf(hit.FileIndex).c_str(), attribute.c_str(), hit.FirstByte, hit.ByteCount,
                hit.Status);
    }
    for (const auto& record : report.Records) {
        if (records != nullptr) {
            row.Clear();
            row.Add("kind", std::string_view("record"));
            row.Add("record", record.RecordNo);
            if (record.FileIndex >= 0) {
                row.Add("path", pathOf(record.FileIndex));
            } else {
                row.AddNull("path");
            }
            row.AddNull("attribute");
            row.AddNull("first_byte");
            row.AddNull("byte_count");
            row.AddPlain("status", std::string_view(&record.Status, 1));
            records->Row(row);
            continue;
        }
        Appendf(out, "record\t%" PRId64 "\t%s\t%c\n", record.RecordNo,
                record.FileIndex >= 0 ? pathOf(record.FileIndex).c_str() : "(free)", record.Status);
    }
    std::uint64_t clusters = 0;
    for (const auto& area : report.Clusters) {
        clusters += area.Length;
    }
    if (records != nullptr) {
        records->EndTable();
    } else {
        Appendf(out,
                "%" PRIu64 " lines read (%" PRIu64 " %s): %zu bad areas, %" PRIu64
                " clusters of the volume on them: %zu hits, %zu $MFT records\n",
                map.Lines, map.Listed, map.SectorList ? "sectors" : "blocks", map.Areas.size(),
                clusters, report.Hits.size(), report.Records.size());
    }
    out.Flush();
    for (const auto& note : map.Notes) {
        std::fprintf(stderr, "lorvex-scan: the damage map: %s\n",
                     lorvex::ondisk::Printable(note).c_str());
    }
    return report.Hits.empty() && report.Records.empty() ? 0 : 3;
}

// Where and how the listings are written, shared by every drive of a run.
struct Listing {
    Output& out;
    Format format = Format::Text;
    RecordWriter* writer = nullptr; // null for the text of the summary and
                                    // the listings that have one, and for
                                    // the body file
    bool severalDrives = false;
    Record label;
    Record row;
};

// "0.25 GB" as the summary's first line writes sizes.
std::string Gigabytes(std::int64_t clusters, std::uint32_t bytesPerCluster) {
    return lorvex::ntfs::FormatFixed2(static_cast<double>(clusters) * bytesPerCluster / 1024 /
                                      1024 / 1024) +
           " GB";
}

// What a scan builds; main owns it so that it outlives the scan to the end.
struct ScanTables {
    TFileIDs fileIds;
    TClusterArray clusters;
#ifdef LORVEX_MAP_PICTURE
    std::unique_ptr<lorvex::map::TMapModel> model;
#endif
};

#ifdef LORVEX_MAP_PICTURE
// Writes all of `bytes` into `fd` and closes it; the errno of the first
// failure, 0 when every byte reached the file.
int WriteAndClose(int fd, std::string_view bytes) {
    int error = 0;
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            error = written < 0 ? errno : ENOSPC;
            break;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    return error;
}

// The map picture of a finished scan into its checked target.
int WriteMapPicture(const RawVolumeSystem::Drive& drive, const TNTFSVolume& volume,
                    const Options& options, const ScanTables& tables) {
    const std::string& path = *options.mapPngPath;
    if (!tables.model) {
        close(options.mapPngFd);
        std::fprintf(stderr, "lorvex-scan: %s: the size of drive %s could not be read\n",
                     path.c_str(), drive.Name().c_str());
        return 1;
    }
    std::string name = drive.Name() + " " + lorvex::ondisk::Printable(drive.region.path);
    if (drive.region.partition > 0) {
        name += " (partition " + std::to_string(drive.region.partition) + ")";
    }
    if (!volume.FVolumeName.empty()) {
        name += " \"" + lorvex::ondisk::Printable(volume.FVolumeName) + "\"";
    }
    const auto picture = lorvex::mappicture::EncodeMapPng(
        *tables.model, {options.mapWidth, options.mapHeight}, 0,
        lorvex::mappicture::PictureTitle(name, volume.FTotalClusters, volume.FBytesPerCluster));
    if (picture.png.empty()) {
        close(options.mapPngFd);
        std::fprintf(stderr, "lorvex-scan: %s: %s\n", path.c_str(), picture.error.c_str());
        return 1;
    }
    if (const int error = WriteAndClose(options.mapPngFd, picture.png); error != 0) {
        std::fprintf(stderr, "lorvex-scan: %s: %s\n", path.c_str(),
                     lorvex::ntfs::RuntimeErrorText(error).c_str());
        return 1;
    }
    return 0;
}
#endif

// The listings of a finished scan of one drive. Returns the exit status.
int WriteListings(RawVolumeSystem& system, const RawVolumeSystem::Drive& drive, TNTFSVolume& volume,
                  const Options& options, const ScanTables& tables,
                  const std::vector<lorvex::cli::StageSeconds>& times, Listing& listing) {
    const TFileIDs& fileIds = tables.fileIds;
    const TClusterArray& clusters = tables.clusters;
    Output& out = listing.out;
    RecordWriter* writer = listing.writer;
    // The summary and the listings that had a text before there were
    // formats keep it; in the other formats they are records too.
    RecordWriter* records = listing.format == Format::Text ? nullptr : writer;
    Record& row = listing.row;
    const lorvex::cli::SourceTexts texts = lorvex::cli::SourceTextsOf(listing.format);
    int status = 0;

    if (listing.severalDrives && listing.format == Format::Text) {
        Appendf(out, "== %s ==\n", DriveTitle(drive).c_str());
    }
    if (writer != nullptr) {
        writer->BeginDrive(listing.label);
    }

    std::vector<std::uint8_t> bitmap;
    lorvex::map::TVolumeLayout layout;
    if (!options.owners.empty() || options.clusterMap) {
        bitmap = lorvex::cli::ReadBitmap(system, drive.Root(), volume.FTotalClusters);
        // The zone as the map paints it (BuildScannedModel): [start, end).
        layout = {volume.FTotalClusters, bitmap, volume.FMftZoneStart, volume.FMftZoneEnd,
                  volume.FReserved};
    }

    if (options.summary) {
        const auto counts = lorvex::cli::CountFragmented(fileIds);
        if (records != nullptr) {
            lorvex::cli::FillSummary(row, volume, fileIds, clusters, counts, times, texts);
            records->Section("summary", row);
        } else {
            std::string first = lorvex::ntfs::VolumeSummaryText(
                volume.FTotalClusters, volume.FBytesPerCluster, volume.FDrive + "\\");
            while (!first.empty() && first.back() == ' ') {
                first.pop_back();
            }
            const std::int64_t used = volume.FTotalClusters - volume.FFreeClusters;
            Appendf(out, "%s\n", first.c_str());
            Appendf(out, "label              %s\n",
                    lorvex::ondisk::Printable(volume.FVolumeName).c_str());
            Appendf(out, "read as            %s\n", drive.region.reading.Text().c_str());
            Appendf(out, "free space         %s clusters (%s)\n",
                    lorvex::ntfs::FormatGrouped(static_cast<double>(volume.FFreeClusters)).c_str(),
                    Gigabytes(volume.FFreeClusters, volume.FBytesPerCluster).c_str());
            Appendf(out, "used space         %s clusters (%s)\n",
                    lorvex::ntfs::FormatGrouped(static_cast<double>(used)).c_str(),
                    Gigabytes(used, volume.FBytesPerCluster).c_str());
            Appendf(out, "file-table entries %d\n", fileIds.FCount);
            Appendf(out, "extents            %zu\n", clusters.size());
            Appendf(out,
                    "fragmented         %" PRId64 " (files %" PRId64 ", directories %" PRId64
                    ", system %" PRId64,
                    counts.total, counts.files, counts.directories, counts.system);
            if (counts.other > 0) {
                Appendf(out, ", other %" PRId64, counts.other);
            }
            Appendf(out, ")\nstages\n");
            double total = 0;
            for (const auto& t : times) {
                Appendf(out, "  %-28.*s %9.3f s\n", static_cast<int>(t.title.size()),
                        t.title.data(), t.seconds);
                total += t.seconds;
            }
            Appendf(out, "  %-28s %9.3f s\n", "total", total);
        }
    }

    if (!options.owners.empty()) {
        if (records != nullptr) {
            records->BeginTable("owners");
        }
        for (const std::int64_t lcn : options.owners) {
            if (lcn >= volume.FTotalClusters) {
                // Said where it is asked, after the answers before it.
                out.Flush();
                std::fprintf(stderr,
                             "lorvex-scan: cluster %" PRId64 " is beyond drive %s (its last "
                             "cluster is %" PRId64 ")\n",
                             lcn, drive.Name().c_str(), volume.FTotalClusters - 1);
                status = 1;
                continue;
            }
            lorvex::cli::FillOwner(row, lcn, volume, fileIds, clusters, layout, texts);
            if (records != nullptr) {
                records->Row(row);
                continue;
            }
            // "LCN<TAB>description<TAB>type": the owner's entry type, or what
            // the map shows where no entry holds the cluster.
            const std::string_view type =
                row.Text("type").empty() ? row.Text("kind") : row.Text("type");
            Appendf(out, "%" PRId64 "\t%s\t%.*s\n", lcn,
                    std::string(row.Text("description")).c_str(), static_cast<int>(type.size()),
                    type.data());
        }
        if (records != nullptr) {
            records->EndTable();
        }
    }

    if (options.fragmented) {
        lorvex::ntfs::TCardinalArray order;
        TNTFSVolume::GetBaseIDOrder(fileIds, order);
        if (records != nullptr) {
            records->BeginTable("fragmented");
        }
        for (const auto& fragmentRow : lorvex::ntfs::FragmentationRows(fileIds, order)) {
            lorvex::cli::FillFragmentRow(row, fileIds, fragmentRow, texts);
            if (records != nullptr) {
                records->Row(row);
            } else {
                // The columns it always had, and the type after them.
                Appendf(out, "%" PRId64 "\t%s\t%u\t%s\n", fragmentRow.BaseID,
                        std::string(row.Text("path")).c_str(), fragmentRow.Fragments,
                        std::string(row.Text("type")).c_str());
                out.Step();
            }
            if (out.Failed()) {
                break;
            }
        }
        if (records != nullptr) {
            records->EndTable();
        }
    }

    if (options.check) {
        const auto words =
            lorvex::ntfs::ReadBitmapWords(system, drive.Root(), volume.FTotalClusters);
        const auto report = lorvex::ntfs::CheckVolumeHealth(
            volume, system, fileIds, clusters, {words, words.empty() ? 0 : volume.FTotalClusters});
        // The other actions still run; the check's verdict is the exit status.
        status = std::max(status, WriteHealth(out, records, row, report, fileIds));
    }
    if (options.damagePath) {
        // Positions are bytes of the drive's source: what lies past its end
        // is set aside, with a note.
        lorvex::ntfs::TDamageMap damage = options.damage;
        int err = 0;
        std::string why;
        const int fd = lorvex::platform::OpenSourceReadOnly(drive.region.path, err, why);
        bool sized = false;
        const std::uint64_t size = fd >= 0 ? lorvex::platform::SourceSize(fd, sized) : 0;
        if (fd >= 0) {
            close(fd);
        }
        if (sized) {
            lorvex::ntfs::ClipToSource(damage, size);
        }
        const auto report =
            lorvex::ntfs::ResolveDamage(volume, fileIds, clusters, damage, drive.region.offset);
        status = std::max(status, WriteDamage(out, records, row, damage, report, fileIds, texts));
    }

    if (options.files) {
        lorvex::cli::WriteFileTable(out, writer, listing.format, volume, fileIds, drive.Name());
    }

    if (options.clusterMap) {
        std::u16string path;
        writer->BeginTable("cluster_map");
        lorvex::map::ForEachClusterRun(
            layout, fileIds, clusters, [&](const lorvex::map::TClusterRun& run) {
                if (!out.Failed()) {
                    lorvex::cli::FillClusterRun(row, run, fileIds, path, texts);
                    writer->Row(row);
                }
            });
        writer->EndTable();
    }

    if (writer != nullptr) {
        writer->EndDrive();
    }
    if (listing.severalDrives && listing.format == Format::Text) {
        Appendf(out, "\n");
    }
    out.Step();
    return status;
}

// What Scan returns for a drive that is not NTFS among several.
constexpr int kLeftOut = -1;

int Scan(RawVolumeSystem& system, const RawVolumeSystem::Drive& drive, const Options& options,
         ScanTables& tables, Listing& listing) {
    TNTFSVolume volume(system, drive.Root());
    if (volume.FFileSystem == "BitLocker") {
        const auto index = static_cast<std::size_t>(&drive - system.drives().data());
        listing.out.Flush();
        std::fprintf(stderr, "lorvex-scan: %s (drive %s): %s%s\n", drive.region.path.c_str(),
                     drive.Name().c_str(), LockedText(system, index, options).c_str(),
                     listing.severalDrives ? "; left out" : "");
        // A key that was given and did not open it is an error even among
        // several drives.
        return listing.severalDrives && options.lockedWhy[index].empty() ? kLeftOut : 1;
    }
    if (volume.FFileSystem != "NTFS" || volume.FTotalClusters == 0) {
        const std::string what = volume.FFileSystem.empty()     ? "no file system recognised"
                                 : volume.FFileSystem == "NTFS" ? "NTFS, but damaged beyond reading"
                                                                : volume.FFileSystem + ", not NTFS";
        listing.out.Flush();
        std::fprintf(stderr, "lorvex-scan: %s (drive %s): %s%s\n",
                     lorvex::ondisk::Printable(drive.region.path).c_str(), drive.Name().c_str(),
                     what.c_str(), listing.severalDrives ? "; left out" : "");
        // Of several drives, one that is not NTFS is only left out.
        return listing.severalDrives && volume.FFileSystem != "NTFS" ? kLeftOut : 1;
    }

    TFileIDs& fileIds = tables.fileIds;
    TClusterArray& clusters = tables.clusters;
    std::vector<lorvex::cli::StageSeconds> times;
    ProgressLine progress(volume);
    auto stageStart = Clock::now();
    lorvex::ntfs::ScanObserver observer;
    const auto closeStage = [&] {
        if (!times.empty()) {
            times.back().seconds = std::chrono::duration<double>(Clock::now() - stageStart).count();
        }
    };
    observer.stageStarted = [&](std::string_view title) {
        closeStage();
        times.push_back({title, 0});
        stageStart = Clock::now();
        progress.Stage(title);
    };
    observer.processEvents = [&] { progress.Tick(); };
#ifdef LORVEX_MAP_PICTURE
    // The map is in FileIndex order only while the clusters are painted.
    if (options.mapPngPath) {
        observer.paint = [&] {
            tables.model = lorvex::mappicture::BuildScannedModel(
                system, drive.Root(), volume.FMftZoneStart, volume.FMftZoneEnd, fileIds, clusters,
                volume.FReserved);
        };
    }
#endif
    lorvex::ntfs::RunScanStages(volume, fileIds, clusters, observer);
    closeStage();
    progress.Clear();

    if (fileIds.FCount == 0) {
        listing.out.Flush();
        std::fprintf(stderr, "lorvex-scan: %s (drive %s): no file records could be read\n",
                     lorvex::ondisk::Printable(drive.region.path).c_str(), drive.Name().c_str());
        return 1;
    }

#ifdef LORVEX_MAP_PICTURE
    if (options.mapPngPath) {
        if (const int status = WriteMapPicture(drive, volume, options, tables); status != 0) {
            return status;
        }
    }
#endif
    if (options.exportPath) {
        const bool toStdout = *options.exportPath == "-";
        listing.out.Flush();
        const auto result = toStdout
                                ? lorvex::ntfs::ExportFileTable(volume, fileIds, stdout)
                                : lorvex::ntfs::ExportFileTable(volume, fileIds, options.exportFd);
        if (!result.ok) {
            // Standard output is named as every other failed write to it is.
            if (toStdout) {
                std::fprintf(stderr, "lorvex-scan: standard output: %s\n",
                             std::strerror(result.error));
                gStdoutFailureReported = true;
            } else {
                std::fprintf(stderr, "lorvex-scan: %s: %s\n", options.exportPath->c_str(),
                             result.message.c_str());
            }
            return 1;
        }
    }
    if (options.Listings() == 0) {
        return 0;
    }
    lorvex::cli::FillDriveLabel(listing.label, drive, lorvex::cli::SourceTextsOf(listing.format));
    return WriteListings(system, drive, volume, options, tables, times, listing);
}

} // namespace

int main(int argc, char** argv) {
    // A set of a thousand segments needs a descriptor for each.
    lorvex::platform::RaiseOpenFileLimit();
    Options options;
    // Before the sources are opened they are only names, and even a usage
    // error or the help must not be written into one of them.
    std::vector<std::string> named;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--drive" || arg == "--export" || arg == "--output" || arg == "-o" ||
            arg == "--format" || arg == "--map-png" || arg == "--map-size" || arg == "--damage" ||
            arg == "--sector-size" || arg == "--as") {
            ++i;
        } else if (!arg.starts_with("-") || arg == "-") {
            named.emplace_back(arg);
        }
    }
    const WriteCheck checkNamed = [&named](const std::string& name) {
        return lorvex::platform::OpenWriteTarget(name, named);
    };
    if (!StandardStreamsClear(checkNamed, nullptr, nullptr)) {
        return 1;
    }
    std::string_view formatWord;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "--version") {
            if (!StandardStreamsClear(checkNamed, arg == "--version" ? "the version" : "the help",
                                      nullptr)) {
                return 1;
            }
            if (arg == "--version") {
                std::printf("lorvex-scan %s\n", LORVEX_VERSION);
            } else {
                std::fputs(kUsage, stdout);
            }
            return FinishOutput(0);
        }
        if (arg == "--drive") {
            std::string_view value = i + 1 < argc ? argv[i + 1] : "";
            std::int64_t index = 0;
            // "d", "D", "d:", "D:" and the root "D:\" all name drive D:.
            if (value.size() == 3 && value[1] == ':' && (value[2] == '\\' || value[2] == '/')) {
                value.remove_suffix(1);
            }
            if ((value.size() == 1 || (value.size() == 2 && value[1] == ':')) &&
                std::isalpha(static_cast<unsigned char>(value[0]))) {
                options.drive =
                    static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
            } else if (ParseLcn(value, index) && index > 0) {
                options.driveIndex = static_cast<std::size_t>(index);
            } else {
                return UsageError("--drive needs a drive letter or a drive number");
            }
            ++i;
        } else if (arg == "--export") {
            if (i + 1 >= argc) {
                return UsageError("--export needs a file name");
            }
            options.exportPath = argv[++i];
        } else if (arg == "--output" || arg == "-o") {
            if (i + 1 >= argc) {
                return UsageError("--output needs a file name (- for standard output)");
            }
            options.outputPath = argv[++i];
        } else if (arg == "--format") {
            const std::string_view value = i + 1 < argc ? argv[i + 1] : "";
            options.format = ParseFormat(value);
            formatWord = value;
            if (!options.format) {
                return UsageError("--format needs one of text, json, jsonl, csv, bodyfile");
            }
            ++i;
        } else if (arg == "--map-png") {
            if (i + 1 >= argc) {
                return UsageError("--map-png needs a file name");
            }
            options.mapPngPath = argv[++i];
        } else if (arg == "--map-size") {
            if (i + 1 >= argc) {
                return UsageError("--map-size needs a size, WIDTHxHEIGHT");
            }
            options.mapSizeText = argv[++i];
        } else if (arg == "--owner") {
            std::int64_t lcn = 0;
            const std::size_t before = options.owners.size();
            while (i + 1 < argc && ParseLcn(argv[i + 1], lcn)) {
                options.owners.push_back(lcn);
                ++i;
            }
            if (options.owners.size() == before) {
                return UsageError("--owner needs one or more cluster numbers");
            }
        } else if (arg == "--fragmented") {
            options.fragmented = true;
        } else if (arg == "--check") {
            options.check = true;
        } else if (arg == "--damage") {
            if (i + 1 >= argc) {
                return UsageError("--damage needs a file name");
            }
            options.damagePath = argv[++i];
        } else if (arg == "--sector-size") {
            std::int64_t size = 0;
            if (i + 1 >= argc || !ParseLcn(argv[i + 1], size) || size <= 0 || size > (1 << 20)) {
                return UsageError("--sector-size needs a size in bytes, 1 to 1048576");
            }
            options.sectorSize = static_cast<std::uint32_t>(size);
            ++i;
        } else if (arg == "--files") {
            options.files = true;
        } else if (arg == "--cluster-map") {
            options.clusterMap = true;
        } else if (arg == "--info") {
            options.info = true;
        } else if (arg == "--allow-outside-extents") {
            options.allowOutsideExtents = true;
        } else if (arg == "--as") {
            const std::string_view how = i + 1 < argc ? argv[i + 1] : "";
            using lorvex::platform::ReadAs;
            if (how != "auto" && how != "raw" && how != "container") {
                return UsageError("--as needs one of auto, raw, container");
            }
            options.readAs = how == "raw"         ? ReadAs::Raw
                             : how == "container" ? ReadAs::Container
                                                  : ReadAs::Auto;
            ++i;
        } else if (arg == "--unlock") {
            if (i + 1 >= argc) {
                return UsageError("--unlock needs a key file");
            }
            options.unlockPath = argv[++i];
        } else if (arg.starts_with("-") && arg != "-") {
            return UsageError("unknown option '" + std::string(arg) + "'");
        } else {
            options.sources.emplace_back(arg);
        }
    }

    if (options.readAs != lorvex::platform::ReadAs::Auto && options.sources.empty()) {
        return UsageError("--as says how to read the SOURCEs named; name one");
    }
    if (options.sectorSize != 0 && !options.damagePath) {
        return UsageError("--sector-size is for the list of --damage; give --damage too");
    }
    if (options.damagePath) {
        // Read and checked now, not after a long scan.
        options.damage = lorvex::ntfs::ReadDamageFile(*options.damagePath, options.sectorSize);
        if (!options.damage.Error.empty()) {
            std::fprintf(stderr, "lorvex-scan: %s: %s\n", options.damagePath->c_str(),
                         options.damage.Error.c_str());
            return 1;
        }
    }
    // The export has one format, the window's; a --format with nothing else
    // to list would be ignored without a word.
    if (options.exportPath && options.format && *options.format != Format::Text &&
        options.Listings() == 0) {
        const std::string word(formatWord);
        return UsageError("--export writes the file table in its one text format; --format is "
                          "for the listings: for the file table as " +
                          word + ", use --files --format " + word + " (with -o FILE)");
    }
    if (options.unlockPath) {
        // Read now: a FIFO or a device is refused before anything waits on
        // it. The key itself never appears in a message.
        std::string why;
        if (!lorvex::platform::ReadKeyFile(*options.unlockPath, options.key, why)) {
            std::fprintf(stderr, "lorvex-scan: %s: %s\n",
                         lorvex::ondisk::Printable(*options.unlockPath).c_str(), why.c_str());
            return 1;
        }
    }
    // A body file is the file table's; asked for alone, it means --files.
    if (options.format == Format::Bodyfile && options.Listings() == 0) {
        options.files = true;
    }
    options.summary = options.Listings() == 0 && !options.exportPath && !options.mapPngPath;
    const Format format = options.format.value_or(
        options.clusterMap && options.Listings() == 1 ? Format::Csv : Format::Text);
    if (format == Format::Bodyfile && (options.Listings() != 1 || !options.files)) {
        return UsageError("--format bodyfile writes the file table (--files) and nothing else");
    }
    if ((format == Format::Csv || format == Format::JsonLines) && options.Listings() > 1) {
        return UsageError(std::string("--format ") + (format == Format::Csv ? "csv" : "jsonl") +
                          " writes one table: ask for one of --files, --cluster-map, --owner, "
                          "--fragmented, --info, --check, --damage");
    }
    const bool listingsToStdout = !options.outputPath || *options.outputPath == "-";
    if (options.exportPath && *options.exportPath == "-" && listingsToStdout &&
        options.Listings() > 0 && format != Format::Text) {
        return UsageError("--export - and the " +
                          std::string(format == Format::Csv ? "CSV" : "JSON") +
                          " listing would share standard output; give one of them a file");
    }

    if (options.mapSizeText) {
        if (!options.mapPngPath) {
            return UsageError(
                "--map-size is the size of the --map-png picture; give --map-png too");
        }
#ifdef LORVEX_MAP_PICTURE
        const auto size = lorvex::mappicture::ParsePictureSize(*options.mapSizeText);
        if (!size) {
            return UsageError("--map-size '" + *options.mapSizeText +
                              "': give WIDTHxHEIGHT in pixels, " +
                              lorvex::mappicture::PictureSizeLimits() + ", e.g. 1024x768");
        }
        options.mapWidth = size->width;
        options.mapHeight = size->height;
#endif
    }
    if (options.mapPngPath) {
#ifndef LORVEX_MAP_PICTURE
        return UsageError("--map-png is not available: this lorvex-scan was built without Qt");
#endif
        if (*options.mapPngPath == "-") {
            return UsageError("--map-png writes a file, not standard output");
        }
        if (options.info) {
            return UsageError("--map-png draws a scan, and --info does not scan");
        }
    }

    std::unique_ptr<RawVolumeSystem> system =
        options.sources.empty()
            ? RawVolumeSystem::ForMachine()
            : std::make_unique<RawVolumeSystem>(
                  options.sources, options.readAs,
                  lorvex::platform::ContainerOptions{options.allowOutsideExtents});
    if (options.unlockPath) {
        system->Protect(*options.unlockPath);
    }
    // Now that every file the sources read is known (a container's
    // segments and extents too), the standard streams are checked again.
    const bool exportToStdout = options.exportPath && *options.exportPath == "-";
    const WriteCheck checkSources = [&system](const std::string& name) {
        return lorvex::platform::OpenWriteTargetFor(*system, name);
    };
    if (!StandardStreamsClear(checkSources,
                              exportToStdout                               ? "the export"
                              : listingsToStdout && options.Listings() > 0 ? "the listing"
                                                                           : nullptr,
                              exportToStdout ? "--export FILE" : "-o FILE")) {
        return 1;
    }
    for (const auto& problem : system->problems()) {
        // A source's texts in it are escaped already; anything else that is
        // not printable is, here.
        std::fprintf(stderr, "lorvex-scan: %s\n", lorvex::ondisk::Printable(problem).c_str());
    }
    if (!options.allowOutsideExtents && !system->problems().empty()) {
        for (const auto& source : options.sources) {
            std::string files;
            for (const auto& file : lorvex::platform::ContainerImage::OutsideFiles(source)) {
                files += (files.empty() ? "" : ", ") + file;
            }
            if (!files.empty()) {
                // The names are the descriptor's, written by whoever made it.
                std::fprintf(stderr, "lorvex-scan: %s: --allow-outside-extents reads %s too\n",
                             lorvex::ondisk::Printable(source).c_str(),
                             lorvex::ondisk::Printable(files).c_str());
            }
        }
    }
    // A source whose bytes allow a reading other than the one taken is said
    // so whatever the action, once, with the way to take the other.
    for (std::size_t i = 0; i < system->drives().size(); ++i) {
        const auto& region = system->drives()[i].region;
        const auto& reading = region.reading;
        if ((i == 0 || system->drives()[i - 1].region.path != region.path) && !reading.asked &&
            (!reading.other.empty() || !reading.passedOver.empty())) {
            std::fprintf(stderr, "lorvex-scan: %s: read as %s%s\n",
                         lorvex::ondisk::Printable(region.path).c_str(), reading.Text().c_str(),
                         reading.other.empty() ? "" : " (--as raw reads it so)");
        }
    }
    if (system->drives().empty()) {
        if (options.sources.empty()) {
            std::fprintf(stderr, "lorvex-scan: no NTFS volume found on this machine\n");
        }
        return 1;
    }

    // The drives to read: the one --drive names, else all of them.
    const auto& drives = system->drives();
    std::vector<const RawVolumeSystem::Drive*> chosen;
    if (options.driveIndex != 0) {
        if (options.driveIndex > drives.size()) {
            std::fprintf(stderr, "lorvex-scan: no drive %zu (the sources give %zu drives)\n",
                         options.driveIndex, drives.size());
            return 1;
        }
        chosen.push_back(&drives[options.driveIndex - 1]);
    } else if (options.drive != 0) {
        for (const auto& drive : drives) {
            if (drive.letter == options.drive) {
                chosen.push_back(&drive);
            }
        }
        if (chosen.empty()) {
            const char last = drives.size() >= 24 ? 'Z' : drives.back().letter;
            std::fprintf(stderr, "lorvex-scan: no drive %c: (the sources give C: to %c:)\n",
                         options.drive, last);
            return 1;
        }
    } else {
        for (const auto& drive : drives) {
            chosen.push_back(&drive);
        }
    }
    // An export or a picture is of one volume: with several, one is chosen.
    if (chosen.size() > 1 && !options.info && (options.exportPath || options.mapPngPath)) {
        std::fprintf(stderr,
                     "lorvex-scan: the sources give %zu drives, and %s is of one; choose it with "
                     "--drive:\n",
                     drives.size(), options.exportPath ? "--export" : "--map-png");
        for (const auto& drive : drives) {
            TNTFSVolume volume(*system, drive.Root());
            std::fprintf(
                stderr, "  %zu. %s  %s%s  %s %s\n",
                static_cast<std::size_t>(&drive - drives.data()) + 1, drive.Name().c_str(),
                lorvex::ondisk::Printable(drive.region.path).c_str(),
                drive.region.partition > 0 ? (" #" + std::to_string(drive.region.partition)).c_str()
                                           : "",
                volume.FFileSystem.c_str(), lorvex::ondisk::Printable(volume.FVolumeName).c_str());
        }
        return 2;
    }
    // BitLocker drives are unlocked with the key given before anything reads
    // them.
    options.lockedWhy.assign(drives.size(), {});
    if (options.unlockPath) {
        bool any = false;
        for (const auto* drive : chosen) {
            if (drive->region.fileSystem != "BitLocker") {
                continue;
            }
            any = true;
            const auto index = static_cast<std::size_t>(drive - drives.data());
            std::string why;
            if (system->Unlock(index, options.key, why) !=
                lorvex::platform::BitLockerVolume::UnlockStatus::Unlocked) {
                options.lockedWhy[index] = why;
            }
        }
        if (!any) {
            std::fprintf(stderr, "lorvex-scan: %s: no BitLocker drive to unlock\n",
                         lorvex::ondisk::Printable(*options.unlockPath).c_str());
        }
    }
    // A source named but unreadable is an error; a device of the machine
    // that does not answer is only left out.
    if (!options.info && !options.sources.empty() && !system->problems().empty()) {
        return 1;
    }

    // The targets are opened and checked now, not after a long scan, and
    // the check is of the file opened, which is the file written.
    std::vector<std::string> created;
    const auto removeCreated = [&] {
        // A run that failed before writing leaves no empty file of ours.
        for (const auto& path : created) {
            struct stat after {};
            if (stat(path.c_str(), &after) == 0 && after.st_size == 0) {
                unlink(path.c_str());
            }
        }
    };
    const auto openTarget = [&](const std::string& path, const char* what, int& fd) {
        struct stat before {};
        const bool isNew = stat(path.c_str(), &before) != 0;
        const auto target = lorvex::platform::OpenWriteTargetFor(*system, path);
        if (target.fd < 0) {
            // Creating a file fails this way only for want of its folder.
            const std::string reason = target.error == ENOENT ? std::string("folder not found")
                                       : target.error == EISDIR
                                           ? std::string("a folder; give the name of a file in it")
                                           : lorvex::ntfs::RuntimeErrorText(target.error);
            std::fprintf(stderr, "lorvex-scan: %s: %s%s%s%s\n", path.c_str(), reason.c_str(),
                         target.refused ? " (a source, on a source or a device: " : "",
                         target.refused ? what : "", target.refused ? " never writes there)" : "");
            return false;
        }
        if (isNew) {
            created.push_back(path);
        }
        fd = target.fd;
        return true;
    };
    if (options.exportPath && *options.exportPath != "-" &&
        !openTarget(*options.exportPath, "the export", options.exportFd)) {
        return 1;
    }
    if (!listingsToStdout && !openTarget(*options.outputPath, "the listing", options.outputFd)) {
        removeCreated();
        return 1;
    }
    if (options.mapPngPath) {
        if (!openTarget(*options.mapPngPath, "the map picture", options.mapPngFd)) {
            removeCreated();
            return 1;
        }
        // Two writers into one file would leave neither whole.
        struct stat exportFile {};
        struct stat pictureFile {};
        if (options.exportFd >= 0 && fstat(options.exportFd, &exportFile) == 0 &&
            fstat(options.mapPngFd, &pictureFile) == 0 && exportFile.st_dev == pictureFile.st_dev &&
            exportFile.st_ino == pictureFile.st_ino) {
            std::fprintf(stderr,
                         "lorvex-scan: %s: the export and the map picture name the same file\n",
                         options.mapPngPath->c_str());
            removeCreated();
            return 2;
        }
    }

    std::FILE* target = stdout;
    if (!listingsToStdout) {
        target = fdopen(options.outputFd, "wb");
        if (target == nullptr) {
            std::fprintf(stderr, "lorvex-scan: %s: %s\n", options.outputPath->c_str(),
                         std::strerror(errno));
            removeCreated();
            return 1;
        }
    }
    int status = 0;
    {
        Output out(target);
        const auto writer = lorvex::cli::MakeWriter(format, out);
        Listing listing{out, format, nullptr, chosen.size() > 1, {}, {}};
        listing.writer = writer.get(); // null for the body file

        if (options.info) {
            for (const auto* drive : chosen) {
                TNTFSVolume volume(*system, drive->Root());
                if (format == Format::Text) {
                    PrintInfo(out, volume, *system, *drive, options);
                } else {
                    const auto texts = lorvex::cli::SourceTextsOf(format);
                    lorvex::cli::FillDriveLabel(listing.label, *drive, texts);
                    listing.writer->BeginDrive(listing.label);
                    lorvex::cli::FillVolume(listing.row, volume, texts);
                    AddBitLocker(listing.row, *system,
                                 static_cast<std::size_t>(drive - drives.data()), options);
                    listing.writer->Section("volume", listing.row);
                    listing.writer->EndDrive();
                }
            }
            // A key given that opened nothing fails the run as a scan's does.
            const bool refused = std::any_of(options.lockedWhy.begin(), options.lockedWhy.end(),
                                             [](const std::string& why) { return !why.empty(); });
            status = system->problems().empty() && !refused ? 0 : 1;
        } else {
            int scanned = 0;
            for (const auto* drive : chosen) {
                auto tables = std::make_unique<ScanTables>();
                int driveStatus = 1;
                try {
                    driveStatus = Scan(*system, *drive, options, *tables, listing);
                } catch (const std::bad_alloc&) {
                    // The scan empties its tables before this comes up; the
                    // rest of what a listing builds is freed here.
                    *tables = ScanTables();
                    out.Flush();
                    std::fprintf(stderr, "lorvex-scan: not enough memory to scan %s (drive %s)\n",
                                 lorvex::ondisk::Printable(drive->region.path).c_str(),
                                 drive->Name().c_str());
                }
                if (driveStatus != kLeftOut) {
                    ++scanned;
                    status = std::max(status, driveStatus);
                }
                if (out.Failed()) {
                    break;
                }
                // The next drive's scan needs the room; the last drive's
                // tables are left to the end of the process (below).
                if (drive != chosen.back()) {
                    tables.reset();
                } else {
                    static_cast<void>(tables.release());
                }
            }
            if (scanned == 0) {
                status = 1;
            }
        }
        if (listing.writer != nullptr) {
            listing.writer->Finish();
        }
        if (!out.Flush()) {
            if (listingsToStdout) {
                // Named as every other failed write to standard output is.
                std::fprintf(stderr, "lorvex-scan: standard output: %s\n",
                             std::strerror(out.Error()));
                gStdoutFailureReported = true;
            } else {
                std::fprintf(stderr, "lorvex-scan: %s: %s\n", options.outputPath->c_str(),
                             lorvex::ntfs::RuntimeErrorText(out.Error()).c_str());
            }
            status = 1;
        }
    }
    if (!listingsToStdout) {
        errno = 0;
        if (std::fclose(target) != 0 && status == 0) {
            std::fprintf(stderr, "lorvex-scan: %s: %s\n", options.outputPath->c_str(),
                         lorvex::ntfs::RuntimeErrorText(errno != 0 ? errno : EIO).c_str());
            status = 1;
        }
    }
    if (status != 0) {
        removeCreated();
    }
    status = FinishOutput(status);
    // The tables of a large volume hold millions of small allocations; the
    // kernel takes them back at once, where freeing them one by one would
    // add a tenth to the run.
    std::fflush(stderr);
    std::_Exit(status);
}

// lorvex-scan: what Lorvex sees of a volume, at a shell. It opens a source as
// the window does, runs the same scan, and prints or exports the result.
#include "ntfs/ClusterMap.h"
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/NTFSVolume.h"
#include "ntfs/ScanStages.h"
#include "ondisk/Utf16.h"
#include "platform/RawVolumeSystem.h"
#ifdef LORVEX_MAP_PICTURE
#include "mappicture/MapPictureFile.h"
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

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
    "partitions of this machine are the drives. Nothing is ever written to a\n"
    "source.\n"
    "\n"
    "Actions (without one, a summary of the scan is printed):\n"
    "  --export FILE     write the file table with attributes and data runs to FILE\n"
    "                    (- for standard output)\n"
    "  --owner LCN...    name what occupies each cluster (the numbers that follow)\n"
    "  --fragmented      list the fragmented files, most fragmented first\n"
    "  --info            print the drives' volume information without scanning\n"
    "  --map-png FILE    draw the scanned volume's cluster map, the whole volume in\n"
    "                    view, with a title and a legend, into the PNG file FILE;\n"
    "                    needs no display\n"
    "\n"
    "Options:\n"
    "  --drive DRIVE     the drive to scan when the sources give several: its letter\n"
    "                    (C or C:) or its position in the list --info prints (1, 2,\n"
    "                    ...); drives past Z: have no letter, only a position\n"
    "  --map-size WxH    the size of the --map-png picture in pixels (default\n"
    "                    1024x768, from 320x240 to 8192x8192)\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 1 when a source cannot be read or is not NTFS or\n"
    "an output cannot be written, 2 on a usage error.\n";

struct Options {
    std::vector<std::string> sources;
    char drive = 0;             // a letter, or
    std::size_t driveIndex = 0; // a 1-based position in the list of drives
    std::optional<std::string> exportPath;
    int exportFd = -1; // the export target, opened and checked before the scan
    std::optional<std::string> mapPngPath;
    int mapPngFd = -1; // the picture's target, opened and checked as the export's
    std::optional<std::string> mapSizeText;
    std::int32_t mapWidth = 1024;
    std::int32_t mapHeight = 768;
    std::vector<std::int64_t> owners;
    bool fragmented = false;
    bool info = false;
};

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

struct StageTime {
    std::string_view title;
    double seconds = 0;
};

void PrintInfo(TNTFSVolume& volume, const RawVolumeSystem::Drive& drive) {
    std::printf("%s  %s", volume.FDrive.c_str(), drive.region.path.c_str());
    if (drive.region.partition > 0) {
        std::printf(" (partition %d)", drive.region.partition);
    }
    std::printf("\n");
    if (!drive.region.container.empty()) {
        const std::size_t files = drive.region.containerFiles.size();
        std::printf("  container          %s, %zu file%s\n", drive.region.container.c_str(), files,
                    files == 1 ? "" : "s");
    }
    std::printf("  file system        %s\n", volume.FFileSystem.c_str());
    std::printf("  label              %s\n", volume.FVolumeName.c_str());
    std::printf("  serial             %s\n", volume.FSerial.c_str());
    if (volume.FTotalClusters == 0) {
        std::printf("\n");
        return;
    }
    std::printf("  device path        %s\n", volume.FVolumePath.c_str());
    std::printf("  sectors            %" PRId64 " of %u bytes\n", volume.FNumberSectors,
                volume.FBytesPerSector);
    std::printf("  clusters           %" PRId64 " of %u bytes, %" PRId64 " free\n",
                volume.FTotalClusters, volume.FBytesPerCluster, volume.FFreeClusters);
    std::printf("  file records       %u bytes, last in use %" PRId64 "\n",
                volume.FBytesPerFileRecordSegment, volume.GetLastRecordNumber());
    std::printf("  $MFT               cluster %" PRId64 ", mirror at %" PRId64 ", %" PRId64
                " bytes valid\n",
                volume.FMftStartLcn, volume.FMft2StartLcn, volume.FMftValidDataLength);
    std::printf("  MFT zone           clusters %" PRId64 " to %" PRId64 "\n", volume.FMftZoneStart,
                volume.FMftZoneEnd);
    std::printf("  flags              %s\n\n", volume.FFileSystemFlags.c_str());
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
    std::string name = drive.Name() + " " + drive.region.path;
    if (drive.region.partition > 0) {
        name += " (partition " + std::to_string(drive.region.partition) + ")";
    }
    if (!volume.FVolumeName.empty()) {
        name += " \"" + volume.FVolumeName + "\"";
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

int Scan(RawVolumeSystem& system, const RawVolumeSystem::Drive& drive, const Options& options,
         ScanTables& tables) {
    TNTFSVolume volume(system, drive.Root());
    if (options.info) {
        PrintInfo(volume, drive);
        return 0;
    }
    if (volume.FFileSystem != "NTFS" || volume.FTotalClusters == 0) {
        const std::string what = volume.FFileSystem.empty()     ? "no file system recognised"
                                 : volume.FFileSystem == "NTFS" ? "NTFS, but damaged beyond reading"
                                                                : volume.FFileSystem + ", not NTFS";
        std::fprintf(stderr, "lorvex-scan: %s (drive %s): %s\n", drive.region.path.c_str(),
                     drive.Name().c_str(), what.c_str());
        return 1;
    }

    TFileIDs& fileIds = tables.fileIds;
    TClusterArray& clusters = tables.clusters;
    std::vector<StageTime> times;
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
                system, drive.Root(), volume.FMftZoneStart, volume.FMftZoneEnd, fileIds, clusters);
        };
    }
#endif
    lorvex::ntfs::RunScanStages(volume, fileIds, clusters, observer);
    closeStage();
    progress.Clear();

    if (fileIds.FCount == 0) {
        std::fprintf(stderr, "lorvex-scan: %s (drive %s): no file records could be read\n",
                     drive.region.path.c_str(), drive.Name().c_str());
        return 1;
    }

    bool acted = false;
#ifdef LORVEX_MAP_PICTURE
    if (options.mapPngPath) {
        acted = true;
        if (const int status = WriteMapPicture(drive, volume, options, tables); status != 0) {
            return status;
        }
    }
#endif
    if (options.exportPath) {
        acted = true;
        const bool toStdout = *options.exportPath == "-";
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
    if (!options.owners.empty()) {
        acted = true;
        std::string text;
        for (const std::int64_t lcn : options.owners) {
            volume.DescribeCluster(clusters, fileIds, text, true, lcn);
            std::printf("%" PRId64 "\t%s\n", lcn, text.c_str());
        }
    }
    if (options.fragmented) {
        acted = true;
        lorvex::ntfs::TCardinalArray order;
        TNTFSVolume::GetBaseIDOrder(fileIds, order);
        for (const auto& row : lorvex::ntfs::FragmentationRows(fileIds, order)) {
            std::printf("%" PRId64 "\t%s\t%u\n", row.BaseID,
                        lorvex::ondisk::ToUtf8(row.Path).c_str(), row.Fragments);
        }
    }
    if (!acted) {
        std::int64_t fragmented = 0;
        for (int i = 0; i < fileIds.FCount; ++i) {
            const auto& entry = fileIds.FItems[static_cast<std::size_t>(i)];
            fragmented += entry.Fragmented && entry.FileID == entry.BaseID ? 1 : 0;
        }
        std::printf("%s\n",
                    lorvex::ntfs::VolumeSummaryText(volume.FTotalClusters, volume.FBytesPerCluster,
                                                    volume.FDrive + "\\")
                        .c_str());
        std::printf("label              %s\n", volume.FVolumeName.c_str());
        std::printf("file-table entries %d\n", fileIds.FCount);
        std::printf("extents            %zu\n", clusters.size());
        std::printf("fragmented files   %" PRId64 "\n", fragmented);
        std::printf("stages\n");
        double total = 0;
        for (const auto& t : times) {
            std::printf("  %-28.*s %9.3f s\n", static_cast<int>(t.title.size()), t.title.data(),
                        t.seconds);
            total += t.seconds;
        }
        std::printf("  %-28s %9.3f s\n", "total", total);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return FinishOutput(0);
        }
        if (arg == "--version") {
            std::printf("lorvex-scan %s\n", LORVEX_VERSION);
            return FinishOutput(0);
        }
        if (arg == "--drive") {
            const std::string_view value = i + 1 < argc ? argv[i + 1] : "";
            std::int64_t index = 0;
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
            while (i + 1 < argc && ParseLcn(argv[i + 1], lcn)) {
                options.owners.push_back(lcn);
                ++i;
            }
            if (options.owners.empty()) {
                return UsageError("--owner needs one or more cluster numbers");
            }
        } else if (arg == "--fragmented") {
            options.fragmented = true;
        } else if (arg == "--info") {
            options.info = true;
        } else if (arg.starts_with("-") && arg != "-") {
            return UsageError("unknown option '" + std::string(arg) + "'");
        } else {
            options.sources.emplace_back(arg);
        }
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
        options.sources.empty() ? RawVolumeSystem::ForMachine()
                                : std::make_unique<RawVolumeSystem>(options.sources);
    for (const auto& problem : system->problems()) {
        std::fprintf(stderr, "lorvex-scan: %s\n", problem.c_str());
    }
    if (system->drives().empty()) {
        if (options.sources.empty()) {
            std::fprintf(stderr, "lorvex-scan: no NTFS volume found on this machine\n");
        }
        return 1;
    }

    const auto& drives = system->drives();
    if (options.info) {
        for (const auto& drive : drives) {
            const auto index = static_cast<std::size_t>(&drive - drives.data()) + 1;
            if ((options.drive == 0 && options.driveIndex == 0) || drive.letter == options.drive ||
                index == options.driveIndex) {
                TNTFSVolume volume(*system, drive.Root());
                PrintInfo(volume, drive);
            }
        }
        return FinishOutput(system->problems().empty() ? 0 : 1);
    }
    const RawVolumeSystem::Drive* chosen = nullptr;
    if (options.driveIndex != 0) {
        if (options.driveIndex > drives.size()) {
            std::fprintf(stderr, "lorvex-scan: no drive %zu (the sources give %zu drives)\n",
                         options.driveIndex, drives.size());
            return 1;
        }
        chosen = &drives[options.driveIndex - 1];
    } else if (options.drive != 0) {
        for (const auto& drive : drives) {
            if (drive.letter == options.drive) {
                chosen = &drive;
            }
        }
        if (chosen == nullptr) {
            const char last = drives.size() >= 24 ? 'Z' : drives.back().letter;
            std::fprintf(stderr, "lorvex-scan: no drive %c: (the sources give C: to %c:)\n",
                         options.drive, last);
            return 1;
        }
    } else if (drives.size() == 1) {
        chosen = &drives.front();
    } else {
        std::fprintf(stderr, "lorvex-scan: the sources give %zu drives; choose one with --drive:\n",
                     drives.size());
        for (const auto& drive : drives) {
            TNTFSVolume volume(*system, drive.Root());
            std::fprintf(stderr, "  %zu. %s  %s%s  %s %s\n",
                         static_cast<std::size_t>(&drive - drives.data()) + 1, drive.Name().c_str(),
                         drive.region.path.c_str(),
                         drive.region.partition > 0
                             ? (" #" + std::to_string(drive.region.partition)).c_str()
                             : "",
                         volume.FFileSystem.c_str(), volume.FVolumeName.c_str());
        }
        return 2;
    }
    // A source named but unreadable is an error; a device of the machine
    // that does not answer is only left out.
    if (!options.sources.empty() && !system->problems().empty()) {
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
            std::fprintf(stderr, "lorvex-scan: %s: %s%s%s%s\n", path.c_str(),
                         lorvex::ntfs::RuntimeErrorText(target.error).c_str(),
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
    ScanTables tables;
    int status = 1;
    try {
        status = Scan(*system, *chosen, options, tables);
    } catch (const std::bad_alloc&) {
        // The scan empties its tables before this comes up; the rest of what
        // a listing builds is freed here.
        tables = ScanTables();
        std::fprintf(stderr, "lorvex-scan: not enough memory to scan %s (drive %s)\n",
                     chosen->region.path.c_str(), chosen->Name().c_str());
        status = 1;
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

// lorvex-scan: what Lorvex sees of a volume, at a shell.
#include "ntfs/NTFSVolume.h"
#include "platform/RawVolumeSystem.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using lorvex::ntfs::TNTFSVolume;
using lorvex::platform::RawVolumeSystem;

constexpr const char* kUsage =
    "Usage: lorvex-scan [OPTION]... [SOURCE]...\n"
    "Show the NTFS volumes of image files, whole-disk images or block devices.\n"
    "Each source becomes one drive per partition, C: onwards; with no source,\n"
    "the NTFS partitions of this machine are shown. Nothing is ever written.\n"
    "\n"
    "  --drive LETTER  show only this drive\n"
    "  --help          show this help and exit\n"
    "  --version       show the version and exit\n";

void PrintDrive(RawVolumeSystem& system, const RawVolumeSystem::Drive& drive) {
    TNTFSVolume volume(system, std::string(1, drive.letter));
    std::printf("%s  %s", volume.FDrive.c_str(), drive.region.path.c_str());
    if (drive.region.partition > 0) {
        std::printf(" (partition %d)", drive.region.partition);
    }
    std::printf("\n");
    if (volume.FFileSystem.empty()) {
        std::printf("  no file system recognised\n\n");
        return;
    }
    std::printf("  file system        %s\n", volume.FFileSystem.c_str());
    std::printf("  label              %s\n", volume.FVolumeName.c_str());
    std::printf("  serial             %s\n", volume.FSerial.c_str());
    if (volume.FTotalClusters == 0) {
        std::printf("  (no NTFS volume data: not NTFS, or damaged)\n\n");
        return;
    }
    std::printf("  device path        %s\n", volume.FVolumePath.c_str());
    std::printf("  sectors            %lld of %u bytes\n",
                static_cast<long long>(volume.FNumberSectors), volume.FBytesPerSector);
    std::printf("  clusters           %lld of %u bytes, %lld free\n",
                static_cast<long long>(volume.FTotalClusters), volume.FBytesPerCluster,
                static_cast<long long>(volume.FFreeClusters));
    std::printf("  file records       %u bytes, last in use %lld\n",
                volume.FBytesPerFileRecordSegment,
                static_cast<long long>(volume.GetLastRecordNumber()));
    std::printf("  $MFT               cluster %lld, mirror at %lld, %lld bytes valid\n",
                static_cast<long long>(volume.FMftStartLcn),
                static_cast<long long>(volume.FMft2StartLcn),
                static_cast<long long>(volume.FMftValidDataLength));
    std::printf("  MFT zone           clusters %lld to %lld\n",
                static_cast<long long>(volume.FMftZoneStart),
                static_cast<long long>(volume.FMftZoneEnd));
    std::printf("  flags              %s\n\n", volume.FFileSystemFlags.c_str());
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> sources;
    char only = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("lorvex-scan %s\n", LORVEX_VERSION);
            return 0;
        }
        if (arg == "--drive") {
            if (i + 1 >= argc || std::strlen(argv[i + 1]) == 0) {
                std::fprintf(stderr, "lorvex-scan: --drive needs a drive letter\n");
                return 2;
            }
            only = static_cast<char>(std::toupper(static_cast<unsigned char>(argv[++i][0])));
            continue;
        }
        if (arg.starts_with("--")) {
            std::fprintf(stderr, "lorvex-scan: unknown option '%s'\nTry 'lorvex-scan --help'.\n",
                         argv[i]);
            return 2;
        }
        sources.emplace_back(arg);
    }

    std::unique_ptr<RawVolumeSystem> system = sources.empty()
                                                  ? RawVolumeSystem::ForMachine()
                                                  : std::make_unique<RawVolumeSystem>(sources);
    for (const auto& problem : system->problems()) {
        std::fprintf(stderr, "lorvex-scan: %s\n", problem.c_str());
    }
    if (system->drives().empty()) {
        std::fprintf(stderr, "lorvex-scan: no drives to show\n");
        return 1;
    }
    bool shown = false;
    for (const auto& drive : system->drives()) {
        if (only == 0 || drive.letter == only) {
            PrintDrive(*system, drive);
            shown = true;
        }
    }
    if (!shown) {
        std::fprintf(stderr, "lorvex-scan: no drive %c:\n", only);
        return 1;
    }
    return system->problems().empty() ? 0 : 1;
}

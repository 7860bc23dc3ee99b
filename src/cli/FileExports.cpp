#include "cli/FileExports.h"

#include "cli/StandardStreams.h"
#include "ntfs/Export.h"
#include "ondisk/Printable.h"
#ifdef LORVEX_MAP_PICTURE
#include "map/MapModel.h"
#include "mappicture/MapPictureFile.h"
#endif

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace lorvex::cli {

int WriteExport(const ScannedDrive& scan, const Options& options, const OutputTargets& targets,
                Output& out) {
    const bool toStdout = options.ExportToStdout();
    out.Flush();
    const auto result = toStdout
                            ? ntfs::ExportFileTable(scan.volume, scan.fileIds, stdout)
                            : ntfs::ExportFileTable(scan.volume, scan.fileIds, targets.ExportFd());
    if (result.ok) {
        return 0;
    }
    // Standard output is named as every other failed write to it is.
    if (toStdout) {
        ReportStandardOutputFailure(result.error);
    } else {
        std::fprintf(stderr, "lorvex-scan: %s: %s\n", options.exportPath->c_str(),
                     result.message.c_str());
    }
    return 1;
}

#ifdef LORVEX_MAP_PICTURE

namespace {

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

} // namespace

bool MapPicturesDrawn() {
    return true;
}

int CheckMapPicture(const Options& options) {
    if (!options.mapPngPath) {
        return 0;
    }
    if (const auto why = mappicture::MapPngUnavailable()) {
        std::fprintf(stderr, "lorvex-scan: %s: %s\n", options.mapPngPath->c_str(), why->c_str());
        return 1;
    }
    return 0;
}

std::shared_ptr<map::TMapModel> BuildMapModel(const ScannedDrive& scan, bool shareBitmap) {
    return mappicture::BuildScannedModel(
        scan.system, scan.drive.Root(), scan.volume.geometry().mftZoneStart,
        scan.volume.geometry().mftZoneEnd, scan.fileIds, scan.clusters, scan.volume.reserved(),
        shareBitmap ? std::optional(scan.bitmap.Bytes()) : std::nullopt);
}

int WriteMapPicture(const ScannedDrive& scan, const std::shared_ptr<map::TMapModel>& model,
                    const Options& options, const OutputTargets& targets) {
    const std::string& path = *options.mapPngPath;
    const platform::RawVolumeSystem::Drive& drive = scan.drive;
    if (!model) {
        close(targets.MapPngFd());
        std::fprintf(stderr, "lorvex-scan: %s: the size of drive %s could not be read\n",
                     path.c_str(), drive.Name().c_str());
        return 1;
    }
    std::string name = drive.Name() + " " + ondisk::Printable(drive.region.path);
    if (drive.region.partition > 0) {
        name += " (partition " + std::to_string(drive.region.partition) + ")";
    }
    if (!scan.volume.information().label.empty()) {
        name += " \"" + ondisk::Printable(scan.volume.information().label) + "\"";
    }
    const auto picture = mappicture::EncodeMapPng(
        *model, {options.mapWidth, options.mapHeight}, 0,
        mappicture::PictureTitle(name, scan.volume.geometry().totalClusters,
                                 scan.volume.geometry().bytesPerCluster));
    if (picture.png.empty()) {
        close(targets.MapPngFd());
        std::fprintf(stderr, "lorvex-scan: %s: %s\n", path.c_str(), picture.error.c_str());
        return 1;
    }
    if (const int error = WriteAndClose(targets.MapPngFd(), picture.png); error != 0) {
        std::fprintf(stderr, "lorvex-scan: %s: %s\n", path.c_str(),
                     ntfs::RuntimeErrorText(error).c_str());
        return 1;
    }
    return 0;
}

#else

bool MapPicturesDrawn() {
    return false;
}

int CheckMapPicture(const Options& /*options*/) {
    return 0; // the options refuse --map-png
}

std::shared_ptr<map::TMapModel> BuildMapModel(const ScannedDrive& /*scan*/, bool /*shareBitmap*/) {
    return nullptr;
}

int WriteMapPicture(const ScannedDrive& /*scan*/, const std::shared_ptr<map::TMapModel>& /*model*/,
                    const Options& /*options*/, const OutputTargets& /*targets*/) {
    return 1;
}

#endif

} // namespace lorvex::cli

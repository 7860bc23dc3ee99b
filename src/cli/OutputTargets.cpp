#include "cli/OutputTargets.h"

#include "ntfs/Export.h"
#include "platform/RawVolumeSystem.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace lorvex::cli {

bool OutputTargets::OpenOne(const std::string& path, const char* what, int& fd) {
    struct stat before {};
    const bool isNew = stat(path.c_str(), &before) != 0;
    const auto target = platform::OpenWriteTargetFor(api_, path);
    if (target.fd < 0) {
        // Creating a file fails this way only for want of its folder.
        const std::string reason = target.error == ENOENT ? std::string("folder not found")
                                   : target.error == EISDIR
                                       ? std::string("a folder; give the name of a file in it")
                                       : ntfs::RuntimeErrorText(target.error);
        std::fprintf(stderr, "lorvex-scan: %s: %s%s%s%s\n", path.c_str(), reason.c_str(),
                     target.refused ? " (a source, on a source or a device: " : "",
                     target.refused ? what : "", target.refused ? " never writes there)" : "");
        return false;
    }
    if (isNew) {
        created_.push_back(path);
    }
    fd = target.fd;
    return true;
}

int OutputTargets::Open(const Options& options) {
    if (options.exportPath && !options.ExportToStdout() &&
        !OpenOne(*options.exportPath, "the export", exportFd_)) {
        return 1;
    }
    int outputFd = -1;
    if (!options.ListingsToStdout() &&
        !OpenOne(*options.outputPath, options.extractRecord ? "the extraction" : "the listing",
                 outputFd)) {
        RemoveCreated();
        return 1;
    }
    if (options.mapPngPath) {
        if (!OpenOne(*options.mapPngPath, "the map picture", mapPngFd_)) {
            RemoveCreated();
            return 1;
        }
        // Two writers into one file would leave neither whole.
        struct stat exportFile {};
        struct stat pictureFile {};
        if (exportFd_ >= 0 && fstat(exportFd_, &exportFile) == 0 &&
            fstat(mapPngFd_, &pictureFile) == 0 && exportFile.st_dev == pictureFile.st_dev &&
            exportFile.st_ino == pictureFile.st_ino) {
            std::fprintf(stderr,
                         "lorvex-scan: %s: the export and the map picture name the same file\n",
                         options.mapPngPath->c_str());
            RemoveCreated();
            return 2;
        }
    }
    if (outputFd >= 0) {
        outputPath_ = *options.outputPath;
        listing_ = fdopen(outputFd, "wb");
        if (listing_ == nullptr) {
            std::fprintf(stderr, "lorvex-scan: %s: %s\n", outputPath_.c_str(),
                         std::strerror(errno));
            RemoveCreated();
            return 1;
        }
    }
    return 0;
}

int OutputTargets::Close(int status) {
    if (listing_ != stdout && listing_ != nullptr) {
        errno = 0;
        if (std::fclose(listing_) != 0 && status == 0) {
            std::fprintf(stderr, "lorvex-scan: %s: %s\n", outputPath_.c_str(),
                         ntfs::RuntimeErrorText(errno != 0 ? errno : EIO).c_str());
            status = 1;
        }
        listing_ = nullptr;
    }
    if (status != 0) {
        RemoveCreated();
    }
    return status;
}

void OutputTargets::RemoveCreated() const {
    for (const auto& path : created_) {
        struct stat after {};
        if (stat(path.c_str(), &after) == 0 && after.st_size == 0) {
            unlink(path.c_str());
        }
    }
}

} // namespace lorvex::cli

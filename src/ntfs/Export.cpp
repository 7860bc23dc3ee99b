#include "ntfs/Export.h"

#include "ntfs/Attributes.h"
#include "ntfs/Formatters.h"

#include <cerrno>
#include <unistd.h>
#include <vector>

namespace lorvex::ntfs {

std::string RuntimeErrorText(int error) {
    switch (error) {
    case ENOENT:
        return "File not found";
    case ENOTDIR:
        return "Path not found";
    case EMFILE:
    case ENFILE:
        return "Too many open files";
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return "File access denied";
    case ENOSPC:
    case EDQUOT:
        return "Disk full";
    case ENAMETOOLONG:
    case EINVAL:
        return "Invalid filename";
    default:
        return "I/O error " + std::to_string(error);
    }
}

namespace {

ExportResult Failed(int error) {
    return {false, error, RuntimeErrorText(error)};
}

} // namespace

ExportResult ExportFileTable(TNTFSVolume& volume, const TFileIDs& fileIds, std::FILE* out) {
    // Each entry's block is gathered and written in one piece: a million
    // entries make a few million lines, and one write per line was most of
    // the export's time.
    std::string block;
    const LineSink sink = [&block](std::string_view line) {
        block.append(line);
        block.append("\r\n");
    };
    volume.OpenVolume();
    TAttributes attributes;
    TDataRuns runs;
    int error = 0;
    for (int i = 0; i < fileIds.FCount && error == 0; ++i) {
        block.clear();
        sink(fileIds.ItemToStr(i, true));
        AppendAttributeSection(volume, attributes, runs,
                               fileIds.FItems[static_cast<std::size_t>(i)].FileID, sink);
        sink("");
        errno = 0;
        if (std::fwrite(block.data(), 1, block.size(), out) != block.size()) {
            error = errno != 0 ? errno : EIO;
        }
    }
    volume.CloseVolume();
    // A full disk often shows only when the buffer goes out.
    errno = 0;
    if (error == 0 && std::fflush(out) != 0) {
        error = errno != 0 ? errno : EIO;
    }
    return error == 0 ? ExportResult{} : Failed(error);
}

ExportResult ExportFileTable(TNTFSVolume& volume, const TFileIDs& fileIds, int fd) {
    errno = 0;
    std::FILE* out = fdopen(fd, "wb");
    if (out == nullptr) {
        const int error = errno != 0 ? errno : EIO;
        ::close(fd);
        return Failed(error);
    }
    // Written a mebibyte at a time: the default buffer of a few kilobytes
    // made the export of a million entries a quarter of a million writes.
    // (The C library takes a size only with a buffer of the caller's.)
    std::vector<char> buffer(std::size_t{1} << 20);
    std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());
    ExportResult result = ExportFileTable(volume, fileIds, out);
    errno = 0;
    if (std::fclose(out) != 0 && result.ok) {
        result = Failed(errno != 0 ? errno : EIO);
    }
    return result;
}

} // namespace lorvex::ntfs

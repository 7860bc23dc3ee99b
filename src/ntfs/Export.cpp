#include "ntfs/Export.h"

#include "ntfs/Attributes.h"
#include "ntfs/EntryBlocks.h"
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

namespace {

// Ends the walk of the blocks at the first write that fails.
struct WriteFailed {
    int error = 0;
};

// Entry `i`'s block of the export: its line, its attribute section and an
// empty line, appended to `text`.
template <AttributeReader Reader>
void AppendEntry(Reader& reader, const TFileIDs& fileIds, int i, TAttributes& attributes,
                 TDataRuns& runs, std::u16string& path, std::string& text) {
    fileIds.AppendItemText(i, true, text, path);
    text.append("\r\n");
    EmitAttributeSection(reader, attributes, runs, fileIds[static_cast<std::size_t>(i)].FileID,
                         [&text](std::string_view tabs, const auto& write) {
                             text.append(tabs);
                             write(text);
                             text.append("\r\n");
                         });
    text.append("\r\n");
}

int Write(std::string_view text, std::FILE* out) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

// The export of a table in record order from the volume layer's blocks of
// records: the blocks are formatted side by side on every core and written
// in order, a block's text in one write.
int ExportInBlocks(RecordReader& records, const platform::FileRecordBlocks& blocks,
                   const TFileIDs& fileIds, std::FILE* out) {
    TEntryBlockWalk walk;
    walk.format = [&](BlockAttributeReader& reader, int from, int to, std::string& text) {
        thread_local TAttributes attributes;
        thread_local TDataRuns runs;
        thread_local std::u16string path;
        for (int i = from; i < to; ++i) {
            AppendEntry(reader, fileIds, i, attributes, runs, path, text);
        }
    };
    walk.write = [&](std::string_view text) {
        if (const int error = Write(text, out); error != 0) {
            throw WriteFailed{error};
        }
    };
    try {
        WalkEntryBlocks(records, blocks, fileIds, walk);
    } catch (const WriteFailed& failed) {
        return failed.error;
    }
    return 0;
}

} // namespace

ExportResult ExportFileTable(NtfsVolume& volume, const TFileIDs& fileIds, std::FILE* out) {
    RecordReader records = volume.OpenRecordReader();
    int error = 0;
    const auto blocks =
        !fileIds.empty() && InRecordOrder(fileIds) ? records.OpenRecordBlocks() : nullptr;
    if (blocks) {
        error = ExportInBlocks(records, *blocks, fileIds, out);
    } else {
        // Each entry's block is gathered and written in one piece: a million
        // entries make a few million lines, and one write per line was most
        // of the export's time.
        std::string text;
        std::u16string path;
        TAttributes attributes;
        TDataRuns runs;
        for (int i = 0; i < fileIds.size() && error == 0; ++i) {
            text.clear();
            AppendEntry(records, fileIds, i, attributes, runs, path, text);
            error = Write(text, out);
        }
    }
    // A full disk often shows only when the buffer goes out.
    errno = 0;
    if (error == 0 && std::fflush(out) != 0) {
        error = errno != 0 ? errno : EIO;
    }
    return error == 0 ? ExportResult{} : Failed(error);
}

ExportResult ExportFileTable(NtfsVolume& volume, const TFileIDs& fileIds, int fd) {
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

#include "ntfs/Export.h"

#include "ntfs/Attributes.h"
#include "ntfs/Formatters.h"
#include "ntfs/RecordBlocks.h"
#include "ondisk/ByteReader.h"

#include <algorithm>
#include <mutex>

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

// The attribute readers of the section, answered from a block of records in
// hand instead of a query per record.
class BlockAttributeReader {
  public:
    BlockAttributeReader(const TRecordBlock& block, const AttributeListReader& lists)
        : FBlock(block), FLists(lists) {}

    void GetAttributes(TAttributes& attributes, std::int64_t recordNo) {
        attributes.Clear();
        FSpans.clear();
        FSpansOf = recordNo;
        if (const auto record = Record(recordNo); !record.empty()) {
            AppendRecordAttributes(record, attributes, FLists, &FSpans);
        }
    }
    void GetDataRuns(int attrIndex, TDataRuns& runs, std::int64_t recordNo) {
        runs.Clear();
        // The attributes just listed are where the section asks for runs:
        // their bytes are at hand without walking the record again.
        if (recordNo == FSpansOf) {
            if (attrIndex >= 0 && static_cast<std::size_t>(attrIndex) < FSpans.size() &&
                ondisk::ByteReader(FSpans[static_cast<std::size_t>(attrIndex)])
                        .u8(ondisk::attr::kNonResident)
                        .value_or(0) != 0) {
                AppendAttributeRuns(FSpans[static_cast<std::size_t>(attrIndex)], runs);
            }
        } else if (const auto record = Record(recordNo); !record.empty()) {
            AppendRecordDataRuns(record, attrIndex, runs);
        }
    }

  private:
    // The record, valid and in use, or nothing (as a failed query gives).
    [[nodiscard]] std::span<const std::byte> Record(std::int64_t recordNo) const {
        if (recordNo < FBlock.First ||
            recordNo - FBlock.First >= static_cast<std::int64_t>(FBlock.Count())) {
            return {};
        }
        const auto i = static_cast<std::size_t>(recordNo - FBlock.First);
        const auto record = FBlock.Record(i);
        return FBlock.Readable[i] != 0 && IsValidRecord(record) ? record
                                                                : std::span<const std::byte>{};
    }

    const TRecordBlock& FBlock;
    const AttributeListReader& FLists;
    std::vector<std::span<const std::byte>> FSpans;
    std::int64_t FSpansOf = -1;
};

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
    EmitAttributeSection(reader, attributes, runs,
                         fileIds.FItems[static_cast<std::size_t>(i)].FileID,
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

// Whether the entries name records in strictly rising order, as a scan
// leaves them: then each block of records holds a run of entries.
bool InRecordOrder(const TFileIDs& fileIds) {
    for (int i = 0; i < fileIds.FCount; ++i) {
        const std::int64_t id = fileIds.FItems[static_cast<std::size_t>(i)].FileID;
        if (id < 0 || (i > 0 && id <= fileIds.FItems[static_cast<std::size_t>(i) - 1].FileID)) {
            return false;
        }
    }
    return true;
}

// The export of a table in record order from the volume layer's blocks of
// records: the blocks are formatted side by side on every core and written
// in order, a block's text in one write.
int ExportInBlocks(TNTFSVolume& volume, const platform::FileRecordBlocks& blocks,
                   const TFileIDs& fileIds, std::FILE* out) {
    const auto begin = fileIds.FItems.begin();
    const auto end = begin + fileIds.FCount;
    const std::int64_t last = fileIds.FItems[static_cast<std::size_t>(fileIds.FCount) - 1].FileID;
    // The volume reads the rare non-resident attribute lists, one thread at
    // a time.
    std::mutex volumeMutex;
    const AttributeListReader lists = [&](std::span<const std::byte> attribute) {
        const std::lock_guard lock(volumeMutex);
        return ReadAttributeListValue(volume, attribute);
    };
    std::vector<std::string> texts(RecordBlockCount(last, blocks.recordSize()));
    TRecordBlockWalk walk;
    walk.visit = [&](std::size_t index, const TRecordBlock& block) {
        const auto byId = [](const TFileID& e, std::int64_t id) { return e.FileID < id; };
        const auto from = std::lower_bound(begin, end, block.First, byId);
        const auto to = std::lower_bound(
            from, end, block.First + static_cast<std::int64_t>(block.Count()), byId);
        thread_local TAttributes attributes;
        thread_local TDataRuns runs;
        thread_local std::u16string path;
        BlockAttributeReader reader(block, lists);
        std::string& text = texts[index];
        for (auto it = from; it != to; ++it) {
            AppendEntry(reader, fileIds, static_cast<int>(it - begin), attributes, runs, path,
                        text);
        }
    };
    walk.inOrder = [&](std::size_t index) {
        const std::string text = std::move(texts[index]);
        if (const int error = Write(text, out); error != 0) {
            throw WriteFailed{error};
        }
    };
    try {
        WalkRecordBlocks(blocks, last, ScanThreads(), walk);
    } catch (const WriteFailed& failed) {
        return failed.error;
    }
    return 0;
}

} // namespace

ExportResult ExportFileTable(TNTFSVolume& volume, const TFileIDs& fileIds, std::FILE* out) {
    volume.OpenVolume();
    int error = 0;
    const auto blocks =
        fileIds.FCount > 0 && InRecordOrder(fileIds) ? volume.OpenRecordBlocks() : nullptr;
    if (blocks) {
        error = ExportInBlocks(volume, *blocks, fileIds, out);
    } else {
        // Each entry's block is gathered and written in one piece: a million
        // entries make a few million lines, and one write per line was most
        // of the export's time.
        std::string text;
        std::u16string path;
        TAttributes attributes;
        TDataRuns runs;
        for (int i = 0; i < fileIds.FCount && error == 0; ++i) {
            text.clear();
            AppendEntry(volume, fileIds, i, attributes, runs, path, text);
            error = Write(text, out);
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

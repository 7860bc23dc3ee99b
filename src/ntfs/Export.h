#pragma once

#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"

#include <cstdio>
#include <string>

namespace lorvex::ntfs {

// The outcome of an export: empty on success, else the runtime's text for
// the system error that ended it ("File access denied", "Disk full", ...).
struct ExportResult {
    bool ok = true;
    int error = 0; // errno
    std::string message;
};

// Writes the whole file table: per entry its line, its attribute section and
// an empty line, every line ending in CR LF. The window's export and the
// command-line scanner both write through this. A write that fails ends the
// export at once; what was written stays written.
ExportResult ExportFileTable(NtfsVolume& volume, const TFileIDs& fileIds, std::FILE* out);

// Exports into `fd`, a file opened for writing and already checked not to
// reach a source (the volume layer's OpenWriteTarget); closes it.
ExportResult ExportFileTable(NtfsVolume& volume, const TFileIDs& fileIds, int fd);

// The runtime's text for an I/O error number: "File not found", "File
// access denied", "Disk full", ..., "I/O error %d" for the rest.
std::string RuntimeErrorText(int error);

} // namespace lorvex::ntfs

#pragma once

#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "records/Record.h"
#include "volume/VolumeApi.h"

#include <QString>

#include <optional>
#include <span>
#include <string>

// The file table as File > Export writes it: in every format lorvex-scan
// writes it in, and byte for byte as lorvex-scan writes it, so that a table
// exported from the window and one from a script compare equal.
namespace lorvex::ui {

struct ExportFormat {
    QString filter; // the save dialog's name filter, "JSON (*.json)"
    QString suffix; // of the file's name, without its dot
    // The listing's format (lorvex-scan --files --format); none for the
    // export's own text (lorvex-scan --export).
    std::optional<records::Format> listing;
};

// The export's text first, then the listings.
std::span<const ExportFormat> ExportFormats();
// The format whose name filter is `filter`; the export's text for another.
const ExportFormat& ExportFormatOf(const QString& filter);
// `name` with the suffix of `format`: a suffix of another format is
// replaced, any other kept and the format's added.
QString WithExportSuffix(const QString& name, const ExportFormat& format);

// Writes the file table of the drive at `root` in `format` into `fd`, a file
// opened for writing and already checked not to reach a source
// (platform::OpenWriteTargetFor); closes it. The drive is named in a
// listing as lorvex-scan names it, from what `api` knows of it.
ntfs::ExportResult ExportFileTableAs(const ExportFormat& format, const platform::VolumeApi& api,
                                     const std::string& root, ntfs::NtfsVolume& volume,
                                     const ntfs::TFileIDs& fileIds, int fd);

} // namespace lorvex::ui

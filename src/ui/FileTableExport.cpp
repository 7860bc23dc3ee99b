#include "ui/FileTableExport.h"

#include "platform/RawVolumeSystem.h"
#include "records/Fields.h"
#include "records/FileTableListing.h"

#include <QFileInfo>

#include <array>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace lorvex::ui {

namespace {

using records::Format;

const std::array<ExportFormat, 6>& Formats() {
    static const std::array<ExportFormat, 6> formats{{
        {"Export text (*.txt)", "txt", std::nullopt},
        {"Tab-separated text (*.tsv)", "tsv", Format::Text},
        {"JSON (*.json)", "json", Format::Json},
        {"JSON Lines (*.jsonl)", "jsonl", Format::JsonLines},
        {"CSV (*.csv)", "csv", Format::Csv},
        {"Body file (*.body)", "body", Format::Bodyfile},
    }};
    return formats;
}

// The drive's label as lorvex-scan gives it: from the source it lies on,
// when the volume layer is one of sources; else by its root alone.
void FillLabel(records::Record& label, const platform::VolumeApi& api, const std::string& root,
               records::SourceTexts texts) {
    if (const auto* raw = dynamic_cast<const platform::RawVolumeSystem*>(&api)) {
        for (const auto& drive : raw->drives()) {
            if (drive.Root() == root) {
                const std::string name = drive.Name();
                const std::string readAs = drive.region.reading.Text();
                records::FillDriveLabel(
                    label, {name, drive.region.path, drive.region.partition, readAs}, texts);
                return;
            }
        }
    }
    std::string_view name = root;
    if (name.ends_with('\\')) {
        name.remove_suffix(1);
    }
    records::FillDriveLabel(label, {name, {}, 0, {}}, texts);
}

ntfs::ExportResult Failed(int error) {
    return {false, error, ntfs::RuntimeErrorText(error)};
}

ntfs::ExportResult WriteListing(Format format, const records::Record& label,
                                ntfs::NtfsVolume& volume, const ntfs::TFileIDs& fileIds, int fd) {
    errno = 0;
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        const int error = errno != 0 ? errno : EIO;
        ::close(fd);
        return Failed(error);
    }
    int error = 0;
    {
        records::Output out(file);
        records::WriteDriveFileTable(out, format, label, volume, fileIds);
        if (!out.Flush()) {
            error = out.Error();
        }
    }
    errno = 0;
    if (std::fclose(file) != 0 && error == 0) {
        error = errno != 0 ? errno : EIO;
    }
    return error == 0 ? ntfs::ExportResult{} : Failed(error);
}

} // namespace

std::span<const ExportFormat> ExportFormats() {
    return Formats();
}

const ExportFormat& ExportFormatOf(const QString& filter) {
    for (const ExportFormat& format : Formats()) {
        if (format.filter == filter) {
            return format;
        }
    }
    return Formats().front();
}

QString WithExportSuffix(const QString& name, const ExportFormat& format) {
    const QString suffix = QFileInfo(name).suffix();
    for (const ExportFormat& other : Formats()) {
        if (!suffix.isEmpty() && other.suffix == suffix) {
            return name.left(name.size() - suffix.size()) + format.suffix;
        }
    }
    return name + "." + format.suffix;
}

ntfs::ExportResult ExportFileTableAs(const ExportFormat& format, const platform::VolumeApi& api,
                                     const std::string& root, ntfs::NtfsVolume& volume,
                                     const ntfs::TFileIDs& fileIds, int fd) {
    if (!format.listing) {
        return ntfs::ExportFileTable(volume, fileIds, fd);
    }
    records::Record label;
    FillLabel(label, api, root, records::SourceTextsOf(*format.listing));
    return WriteListing(*format.listing, label, volume, fileIds, fd);
}

} // namespace lorvex::ui

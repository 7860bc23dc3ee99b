// The main window's reports (F1 to F3) and its Tools windows.
//
// Every one of them reads the result of the last completed scan, and does
// nothing while the window has none (before a scan and while one runs).
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/Formatters.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/NumberFormat.h"
#include "platform/RawVolumeSystem.h"
#include "ui/FileTableExport.h"
#include "ui/FindWindow.h"
#include "ui/FragmentationWindow.h"
#include "ui/InfoWindow.h"
#include "ui/MainWindow.h"
#include "ui/ShownText.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>

#include <cerrno>
#include <memory>
#include <span>
#include <vector>

namespace lorvex::ui {

namespace {

QString Decimal(std::int64_t value) {
    return QString::fromStdString(ntfs::FormatDecimal(value));
}

QString SizeLine(const char* label, std::int64_t bytes) {
    const double kb = static_cast<double>(bytes) / 1024.0;
    return QString("%1: %2 B = %3 KB = %4 MB")
        .arg(QString::fromLatin1(label), Decimal(bytes),
             QString::fromStdString(ntfs::FormatFixed2(kb)),
             QString::fromStdString(ntfs::FormatFixed2(kb / 1024.0)));
}

// The ten summary lines that open the report on one file-table entry.
void AppendSummary(Tfrm_Info& info, const ntfs::TFileIDs& table, std::int64_t index) {
    const ntfs::TFileID& e = table[static_cast<std::size_t>(index)];
    info.AppendLine("File ID: " + Decimal(e.FileID));
    info.AppendLine("Base ID: " + Decimal(e.BaseID));
    info.AppendLine("File Name: " + QString::fromStdU16String(table.Path(static_cast<int>(index))));
    info.AppendLine(SizeLine("Real File Size", e.Size));
    info.AppendLine(SizeLine("Allocated File Size", e.AllocatedSize));
    info.AppendLine(SizeLine("Used File Size", e.DiskSize));
    info.AppendLine("Type: " + QString::fromStdString(ntfs::FileTypeToStr(e.FileType)));
    info.AppendLine("Flags: " + QString::fromStdString(ntfs::FormatHex8(e.Flags)) + ": " +
                    QString::fromStdString(ntfs::FileFlagsToStr(e.Flags)));
    info.AppendLine("Fragmented: " + QString::fromStdString(ntfs::YesNoToStr(e.Fragmented)) + " (" +
                    Decimal(e.Fragments) + ")");
    info.AppendLine("Attributes:");
}

void AppendSection(Tfrm_Info& info, ntfs::RecordReader& records, ntfs::TAttributes& attributes,
                   ntfs::TDataRuns& runs, std::int64_t recordNo) {
    ntfs::AppendAttributeSection(
        records, attributes, runs, recordNo, [&info](std::string_view line) {
            info.AppendLine(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
        });
}

// One line of the dump: the offset, sixteen bytes in hex, the same bytes as
// Latin-1 characters, those without a glyph of their own (the control codes
// of both halves and DEL) shown as dots.
QString HexDumpLine(std::uint64_t offset, std::span<const std::byte> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    QString line;
    line.reserve(85);
    for (int shift = 60; shift >= 0; shift -= 4) {
        line += QChar(kDigits[(offset >> shift) & 0xF]);
    }
    line += ':';
    for (const std::byte b : bytes) {
        const auto v = static_cast<unsigned>(b);
        line += ' ';
        line += QChar(kDigits[v >> 4]);
        line += QChar(kDigits[v & 0xF]);
    }
    line += "  |";
    for (const std::byte b : bytes) {
        const auto v = static_cast<char16_t>(b);
        line += v < 0x20 || (v >= 0x7F && v <= 0x9F) ? QChar('.') : QChar(v);
    }
    line += '|';
    return line;
}

// The hex dump of cluster `lcn` of the scanned volume into `info`, which
// steps to the neighbouring clusters of the same volume for as long as that
// scan lives. A cluster outside the volume leaves `info` as it was.
void WriteHexDump(Tfrm_Info& info, const std::shared_ptr<const TScanResult>& scan,
                  std::int64_t lcn) {
    ntfs::NtfsVolume& volume = *scan->volume;
    if (lcn < 0 || lcn >= volume.geometry().totalClusters) {
        return;
    }
    info.ClearReport();
    info.SetReportCaption("Hex Dump for Cluster " + Decimal(lcn));
    const std::uint32_t size = volume.geometry().bytesPerCluster;
    std::vector<std::byte> buffer(size);
    volume.ReadCluster(buffer, lcn);
    auto offset = static_cast<std::uint64_t>(lcn) * size;
    for (std::size_t at = 0; at + 16 <= buffer.size(); at += 16, offset += 16) {
        info.AppendLine(HexDumpLine(offset, std::span(buffer).subspan(at, 16)));
    }
    info.SetHexDumpCluster(lcn, volume.geometry().totalClusters);
    const std::int64_t owner = ntfs::FindClusterOwner(scan->clusters, lcn);
    if (owner >= 0 && owner < scan->fileIds.size()) {
        info.SetReportFile(owner);
    }
    info.OnHexDump = [weak = std::weak_ptr<const TScanResult>(scan)](Tfrm_Info& window,
                                                                     std::int64_t next) {
        if (const std::shared_ptr<const TScanResult> held = weak.lock()) {
            WriteHexDump(window, held, next);
        }
    };
    info.ShowReport();
}

} // namespace

bool MainWindow::CursorInsideScannedVolume() const {
    return FScan && cursor_ >= 0 && cursor_ < FTotalClusters;
}

void MainWindow::ShowClusterDetails() {
    if (frm_Info == nullptr || !CanReport(false)) {
        return;
    }
    frm_Info->ClearReport();
    frm_Info->SetReportCaption("File Info for Cluster " + Decimal(cursor_));
    // A cluster no file owns empties an open report; the status bar says why.
    if (!CanReport(true)) {
        return;
    }
    // The whole cluster number: cut to 32 bits it would name a cluster of
    // another file on a volume of more than 2^32 clusters.
    const std::shared_ptr<const TScanResult> scan = FScan; // as in ShowBaseInfo
    const std::int64_t owner = ntfs::FindClusterOwner(scan->clusters, cursor_);
    if (owner < 0 || owner >= scan->fileIds.size()) {
        return;
    }
    const ntfs::TFileID& entry = scan->fileIds[static_cast<std::size_t>(owner)];
    frm_Info->SetReportFile(owner);
    AppendSummary(*frm_Info, scan->fileIds, owner);
    ntfs::TAttributes attributes;
    ntfs::TDataRuns runs;
    ntfs::RecordReader records = scan->volume->OpenRecordReader();
    AppendSection(*frm_Info, records, attributes, runs, entry.FileID);
    frm_Info->ShowReport();
}

void MainWindow::ShowHexDump() {
    if (frm_Info == nullptr || !CanReport(false)) {
        return;
    }
    WriteHexDump(*frm_Info, FScan, cursor_);
}

void MainWindow::ShowBaseInfo(std::int64_t BaseID) {
    // The record comes from the caller, not from the map: where the mouse
    // last was has no bearing on it. It reads the volume, which the
    // scanning thread alone reads while it runs.
    if (!FScan || frm_Info == nullptr || IsScanning()) {
        return;
    }
    frm_Info->ClearReport();
    frm_Info->SetReportCaption("File Info for Base ID " + Decimal(BaseID));
    ntfs::TItemIDArray items;
    // Held for the report: a box the reader shows while it reads lets events
    // through, and the result must outlive them.
    const std::shared_ptr<const TScanResult> scan = FScan;
    ntfs::GetRecordsOfBase(scan->fileIds, items, BaseID);
    if (items.empty()) {
        return;
    }
    const std::int32_t base = scan->fileIds.IndexOfID(BaseID);
    frm_Info->SetReportFile(base >= 0 ? base : items.front());
    ntfs::TAttributes attributes;
    ntfs::TDataRuns runs;
    ntfs::RecordReader records = scan->volume->OpenRecordReader();
    for (const std::int64_t position : items) {
        const ntfs::TFileID& entry = scan->fileIds[static_cast<std::size_t>(position)];
        AppendSummary(*frm_Info, scan->fileIds, position);
        AppendSection(*frm_Info, records, attributes, runs, entry.FileID);
        frm_Info->AppendLine(QString());
    }
    frm_Info->ShowReport();
}

void MainWindow::Export1Click() {
    if (FDriveRoot.empty() || !FScan) {
        return;
    }
    // Named after the drive, in the folder the last dialog was in; the name
    // follows the format chosen.
    const QString drive = QString::fromStdString(FDriveRoot).remove(':').remove('\\');
    QFileDialog sav(this, "Export", LastFolder());
    sav.setObjectName("sav");
    sav.setAcceptMode(QFileDialog::AcceptSave);
    QStringList filters;
    for (const ExportFormat& format : ExportFormats()) {
        filters << format.filter;
    }
    sav.setNameFilters(filters);
    const ExportFormat& first = ExportFormats().front();
    sav.selectFile(drive + "-files." + first.suffix);
    sav.setDefaultSuffix(first.suffix);
    connect(&sav, &QFileDialog::filterSelected, &sav, [&sav](const QString& filter) {
        const ExportFormat& format = ExportFormatOf(filter);
        sav.setDefaultSuffix(format.suffix);
        // The name typed so far (none: the folder alone) takes the suffix.
        const QStringList chosen = sav.selectedFiles();
        if (!chosen.isEmpty() && !QFileInfo(chosen.first()).isDir()) {
            sav.selectFile(QFileInfo(WithExportSuffix(chosen.first(), format)).fileName());
        }
    });
    sav.setOption(QFileDialog::DontConfirmOverwrite);
    if (sav.exec() != QDialog::Accepted || sav.selectedFiles().isEmpty()) {
        return;
    }
    RememberFolder(sav.selectedFiles().first());
    ExportTo(sav.selectedFiles().first(), ExportFormatOf(sav.selectedNameFilter()));
}

void MainWindow::ExportTo(const QString& path) {
    ExportTo(path, ExportFormats().front());
}

void MainWindow::ExportTo(const QString& path, const ExportFormat& format) {
    if (FDriveRoot.empty() || !FScan) {
        return;
    }
    const std::string target = QFile::encodeName(path).toStdString();
    // Checked on the opened file, not its name: pointed at the image being
    // shown (by any name, or inside a mount of it), the export would destroy
    // the volume it reads.
    const platform::WriteTarget out = platform::OpenWriteTargetFor(FApi, target);
    const ntfs::ExportResult result =
        out.fd < 0
            ? ntfs::ExportResult{false, out.error, ntfs::RuntimeErrorText(out.error)}
            : ExportFileTableAs(format, FApi, FDriveRoot, *FScan->volume, FScan->fileIds, out.fd);
    if (!result.ok) {
        ShowNotice(QStringLiteral("Lorvex"),
                   QString("Cannot export to %1: %2")
                       .arg(ShownText(path), QString::fromStdString(result.message)));
        return;
    }
    // Where it went and how much, where the user looks; no box to dismiss.
    FHoverText = QString("Exported %1 entries of %2 to %3")
                     .arg(FScan->fileIds.size())
                     .arg(QString::fromStdString(FDriveRoot), ShownText(path));
    FHoverLabel->SetFullText(FHoverText);
}

void MainWindow::mnuFindClick() {
    if (!FScan || frmFind == nullptr) {
        return;
    }
    frmFind->FollowScan(FScan);
    frmFind->ShowList();
}

void MainWindow::FragmentationList1Click() {
    if (FDriveRoot.empty() || !FScan || frm_Fragmentation == nullptr) {
        return;
    }
    frm_Fragmentation->Fill(FScan);
    frm_Fragmentation->ShowList();
}

} // namespace lorvex::ui

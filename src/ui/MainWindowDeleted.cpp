// The main window's deleted remains: the deleted entries of the scan it
// shows, read off its thread the first time View > Deleted Remains or Tools
// > Deleted Files asks for them, drawn over the map and listed. They belong
// to that scan: another scan shown reads its own, and nothing read for one
// acts on another.
// Before Qt's headers, whose emit macro its templates would meet.
#include "ntfs/Formatters.h"
#include "ui/MainWindow.h"

#include "map/DeletedOverlay.h"
#include "ntfs/Export.h"
#include "ntfs/NumberFormat.h"
#include "ntfs/RecordTimes.h"
#include "platform/RawVolumeSystem.h"
#include "ui/DeletedFilesWindow.h"
#include "ui/DeletedWalk.h"
#include "ui/InfoWindow.h"
#include "ui/ShownText.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QTimer>

namespace lorvex::ui {

namespace {

QString Decimal(std::int64_t value) {
    return QString::fromStdString(ntfs::FormatDecimal(value));
}

QString EntryPath(const DeletedScan& deleted, std::size_t entry, const ntfs::TFileIDs& live) {
    return QString::fromStdU16String(deleted.entries.Path(entry, 0, live));
}

} // namespace

void MainWindow::BuildDeleted() {
    frm_Deleted = new DeletedFilesWindow(this);
    ConnectList(*frm_Deleted);
    frm_Deleted->OnShowOnMap = [this](const DeletedScan& deleted, std::size_t entry) {
        ShowDeletedOnMap(deleted, entry);
    };
    frm_Deleted->OnDetails = [this](const DeletedScan& deleted, std::size_t entry) {
        ShowDeletedReport(deleted, entry);
    };
    frm_Deleted->OnSaveFile = [this](const DeletedScan& deleted, std::size_t entry) {
        SaveDeletedFile(deleted, entry);
    };
    deletedWalk_ = new DeletedWalkController(FApi, this);
    // The status bar is made after the menus: its parts are looked up as
    // the walk reports.
    connect(deletedWalk_, &DeletedWalkController::stageStarted, this,
            [this](const QString& title) { progressTitle_->setText(title); });
    connect(deletedWalk_, &DeletedWalkController::progressChanged, this,
            [this](int percent) { progressBar_->setValue(percent); });
    connect(deletedWalk_, &DeletedWalkController::finished, this, &MainWindow::DeletedWalkEnded);
    connect(deletedWalk_, &DeletedWalkController::failed, this, [this](const QString& why) {
        const QString text = QString("The deleted entries of %1 could not be read: %2")
                                 .arg(QString::fromStdString(FDriveRoot), why);
        DeletedWalkStopped(text);
        ShowNotice("Deleted Files", text);
    });
    connect(deletedWalk_, &DeletedWalkController::cancelled, this, [this] {
        if (!savingTo_.isEmpty()) {
            DeletedSaveCancelled();
            return;
        }
        DeletedWalkStopped("Reading the deleted entries was cancelled; choose Tools > Deleted "
                           "Files to read them again.");
    });
    connect(deletedWalk_, &DeletedWalkController::saved, this, &MainWindow::DeletedSaved);
}

std::shared_ptr<const DeletedScan> MainWindow::DeletedOfShownScan() const {
    return FScan && deleted_ && deleted_->scan.lock() == FScan ? deleted_ : nullptr;
}

bool MainWindow::DeletedIsShown(const DeletedScan& deleted) {
    if (FScan && deleted.scan.lock() == FScan) {
        return true;
    }
    TellInStatusBar(QString("The entry belongs to drive %1 as it was scanned then, which is no "
                            "longer shown.")
                        .arg(deleted.drive));
    return false;
}

bool MainWindow::DeletedWalkBusy() const {
    return deletedWalk_ != nullptr && deletedWalk_->Busy();
}

bool MainWindow::CancelDeletedWalk() {
    if (!DeletedWalkBusy()) {
        return false;
    }
    deletedWalk_->Cancel();
    return true;
}

void MainWindow::RequestDeleted() {
    const bool wanted = Action(ActionId::kDeletedRemains)->isChecked() || frm_Deleted->isVisible();
    if (!wanted || !FScan || IsScanning()) {
        // A scan running now asks again as it hands over its result.
        return;
    }
    if (const auto deleted = DeletedOfShownScan()) {
        if (frm_Deleted->isVisible() && frm_Deleted->Entries() != deleted) {
            frm_Deleted->Fill(FScan, deleted);
        }
        UpdateOverlay();
        return;
    }
    if (frm_Deleted->isVisible()) {
        frm_Deleted->ShowMessage(QString("Reading the deleted entries of %1...")
                                     .arg(QString::fromStdString(FDriveRoot)));
    }
    deletedWalk_->Start(FDriveRoot, FScan);
    BeginWork(QString::fromStdString(FDriveRoot));
}

void MainWindow::EndDeletedWork() {
    progressDelay_->stop();
    progressArea_->hide();
    UpdateCommands();
    // A mark given while the walk ran waited for it.
    if (FMarkText != markAtStart_) {
        ApplyMark(FMarkText);
    }
}

void MainWindow::DeletedWalkEnded(std::shared_ptr<const DeletedScan> deleted) {
    EndDeletedWork();
    if (deleted->scan.lock() != FScan) {
        return;
    }
    deleted_ = std::move(deleted);
    RequestDeleted();
    if (Action(ActionId::kDeletedRemains)->isChecked()) {
        UpdateHover();
    }
}

void MainWindow::DeletedWalkStopped(const QString& why) {
    EndDeletedWork();
    // Nothing half-read stays: no overlay waits for it, the list says why.
    Action(ActionId::kDeletedRemains)->setChecked(false);
    if (frm_Deleted->isVisible()) {
        frm_Deleted->ShowMessage(why);
    }
    TellInStatusBar(why);
}

void MainWindow::DeletedFollowScan() {
    if (deleted_ && deleted_->scan.lock() != FScan) {
        deleted_.reset();
    }
    if (!FScan || !(Action(ActionId::kDeletedRemains)->isChecked() || frm_Deleted->isVisible())) {
        return;
    }
    // After the work that handed over the scan has ended.
    QTimer::singleShot(0, this, [this] { RequestDeleted(); });
}

void MainWindow::SetDeletedRemains(bool on) {
    if (Action(ActionId::kDeletedRemains)->isChecked() != on) {
        Action(ActionId::kDeletedRemains)->setChecked(on); // comes back here through toggled
        return;
    }
    if (on && !FScan) {
        Action(ActionId::kDeletedRemains)->setChecked(false);
        TellInStatusBar("Scan the drive first: the deleted remains are read against its scan.");
        return;
    }
    if (on && !DeletedOfShownScan()) {
        RequestDeleted();
        return;
    }
    UpdateOverlay();
    UpdateHover();
}

void MainWindow::DeletedFilesClick() {
    if (!FScan || IsScanning()) {
        Beep();
        return;
    }
    frm_Deleted->ShowList();
    RequestDeleted();
}

void MainWindow::AppendDeletedOverlay(std::vector<map::TOverlaySpan>& spans) const {
    const auto deleted = DeletedOfShownScan();
    if (deleted && Action(ActionId::kDeletedRemains)->isChecked()) {
        const std::vector<map::TOverlaySpan> remains = map::DeletedOverlaySpans(deleted->entries);
        spans.insert(spans.end(), remains.begin(), remains.end());
    }
}

QString MainWindow::DeletedHoverNote(std::int64_t lcn) const {
    const auto deleted = DeletedOfShownScan();
    if (!deleted || !Action(ActionId::kDeletedRemains)->isChecked()) {
        return {};
    }
    return DeletedClusterNote(*deleted, FScan->fileIds, lcn);
}

void MainWindow::ShowDeletedOnMap(const DeletedScan& deleted, std::size_t entry) {
    if (!DeletedIsShown(deleted)) {
        return;
    }
    if (!FModel || IsScanning() || entry >= deleted.entries.entries().size()) {
        Beep();
        return;
    }
    ShowExtentsOnMap(map::DeletedEntrySpans(deleted.entries, entry),
                     EntryPath(deleted, entry, FScan->fileIds) + " (deleted)");
}

void MainWindow::ShowDeletedReport(const DeletedScan& deleted, std::size_t entry) {
    if (!DeletedIsShown(deleted) || frm_Info == nullptr || IsScanning() ||
        entry >= deleted.entries.entries().size()) {
        return;
    }
    const ntfs::DeletedEntry& e = deleted.entries.entries()[entry];
    frm_Info->ClearReport();
    frm_Info->SetReportCaption("File Info for Deleted Record " + Decimal(e.record));
    // Not a file of the scan's table: the report has none to show on the map.
    frm_Info->SetReportFile(-1);
    frm_Info->AppendLine("File ID: " + Decimal(e.record) + " (deleted: the record is free)");
    frm_Info->AppendLine("Base ID: " + Decimal(e.record));
    frm_Info->AppendLine("File Name: " + EntryPath(deleted, entry, FScan->fileIds));
    frm_Info->AppendLine("Real File Size: " + Decimal(e.size) + " B");
    frm_Info->AppendLine("Allocated File Size: " + Decimal(e.allocated) + " B");
    frm_Info->AppendLine(QString("Type: %1, deleted").arg(e.directory ? "Directory" : "File"));
    frm_Info->AppendLine(
        "Deleted: " + QString::fromStdString(ntfs::NtfsTimeToIso8601(e.deletedTime)) +
        " (the record's last change)");
    frm_Info->AppendLine(QString("Clusters: %1 still hold its data, %2 are overwritten")
                             .arg(Decimal(e.recoverableClusters), Decimal(e.overwrittenClusters)));
    frm_Info->AppendLine("Attributes:");
    ntfs::TAttributes attributes;
    ntfs::TDataRuns runs;
    ntfs::RecordReader records = FScan->volume->OpenRecordReader();
    records.ListFreeRecords(true);
    ntfs::AppendAttributeSection(
        records, attributes, runs, e.record, [this](std::string_view line) {
            frm_Info->AppendLine(
                QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
        });
    frm_Info->ShowReport();
}

void MainWindow::SaveDeletedFile(const DeletedScan& deleted, std::size_t entry) {
    if (!DeletedIsShown(deleted) || IsScanning() || entry >= deleted.entries.entries().size()) {
        return;
    }
    const QString shown = EntryPath(deleted, entry, FScan->fileIds);
    if (deleted.entries.entries()[entry].directory) {
        TellInStatusBar(shown + " is a directory: it has no data to save.");
        return;
    }
    const QString name = shown.section('\\', -1);
    const QString path =
        QFileDialog::getSaveFileName(this, "Save File As", QDir(LastFolder()).filePath(name));
    if (!path.isEmpty()) {
        SaveDeletedFileTo(deleted, entry, path);
    }
}

bool MainWindow::SaveDeletedFileTo(const DeletedScan& deleted, std::size_t entry,
                                   const QString& path) {
    const auto shownDeleted = DeletedOfShownScan();
    if (!DeletedIsShown(deleted) || shownDeleted.get() != &deleted || IsScanning() ||
        entry >= deleted.entries.entries().size()) {
        return false;
    }
    // Checked on the opened file, not its name, as the export is: the data
    // never lands on a source.
    const platform::WriteTarget target =
        platform::OpenWriteTargetFor(FApi, QFile::encodeName(path).toStdString());
    if (target.fd < 0) {
        ShowNotice("Save File As",
                   QString("Cannot save to %1: %2")
                       .arg(ShownText(path),
                            QString::fromStdString(ntfs::RuntimeErrorText(target.error))));
        return false;
    }
    RememberFolder(path);
    savingTo_ = path;
    deletedWalk_->StartSave(FDriveRoot, shownDeleted, entry, target.fd, path);
    BeginWork(QString::fromStdString(FDriveRoot));
    return true;
}

void MainWindow::DeletedSaveCancelled() {
    // What was written is part of a file: it goes, as the user asked.
    QFile::remove(savingTo_);
    const QString path = savingTo_;
    savingTo_.clear();
    EndDeletedWork();
    TellInStatusBar(
        QString("Saving %1 was cancelled; the part written is removed.").arg(ShownText(path)));
}

void MainWindow::DeletedSaved(std::shared_ptr<const DeletedSave> save) {
    savingTo_.clear();
    EndDeletedWork();
    const ntfs::ExtractionResult& result = save->result;
    if (!save->failure.isEmpty() || result.status != ntfs::ExtractionStatus::kDone) {
        QFile::remove(save->path);
        const QString why = !save->failure.isEmpty() ? save->failure
                            : result.status == ntfs::ExtractionStatus::kSinkFailed
                                ? QString::fromStdString(
                                      ntfs::RuntimeErrorText(save->error != 0 ? save->error : EIO))
                                : QString::fromStdString(result.reason);
        ShowNotice(
            "Save File As",
            QString("Cannot save %1 to %2: %3").arg(save->entryPath, ShownText(save->path), why));
        return;
    }
    const auto deleted = DeletedOfShownScan();
    QString text = QString("Saved %1 bytes of %2 (deleted) to %3")
                       .arg(Decimal(static_cast<std::int64_t>(result.written)), save->entryPath,
                            ShownText(save->path));
    QStringList ranges;
    for (const ntfs::OverwrittenRange& range : result.overwritten) {
        const QString owner =
            deleted && FScan ? DeletedOwnerText(*deleted, range.state == ntfs::PieceState::kClaimed,
                                                range.owner, FScan->fileIds)
                             : QString("record %1").arg(range.owner);
        ranges << QString("bytes %1-%2 overwritten by %3")
                      .arg(range.offset)
                      .arg(range.offset + range.length - 1)
                      .arg(owner);
    }
    for (const ntfs::UnreadRange& range : result.unread) {
        ranges << QString("bytes %1-%2 not read (zeros): %3")
                      .arg(range.offset)
                      .arg(range.offset + range.length - 1)
                      .arg(QString::fromStdString(range.reason));
    }
    TellInStatusBar(text + (ranges.isEmpty() ? QString(".") : "; " + ranges.join("; ")));
    if (!ranges.isEmpty()) {
        // Bytes of other files in what was saved are worth a word the user
        // cannot miss.
        ShowNotice("Save File As", text + ", where:\n" + ranges.join("\n"));
    }
}

} // namespace lorvex::ui

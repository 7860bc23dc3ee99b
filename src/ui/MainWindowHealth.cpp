// The main window's volume check and damage map: the lists, the overlay and
// the count in the status bar. The core finds the problems and the files on
// bad areas; this only words and shows them.
#include "ui/MainWindow.h"

#include "ntfs/Attributes.h"
#include "ntfs/FileTable.h"
#include "ntfs/Health.h"
#include "ui/CellMap.h"
#include "ui/ProblemListWindow.h"
#include "ui/ShownText.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>

#include <algorithm>

namespace lorvex::ui {

namespace {

std::uint8_t OverlayIndex(ntfs::THealthKind kind) {
    switch (kind) {
    case ntfs::THealthKind::OwnedFree:
        return map::kOverlayOwnedFree;
    case ntfs::THealthKind::UnownedUsed:
        return map::kOverlayUnownedUsed;
    case ntfs::THealthKind::CrossLinked:
        return map::kOverlayCrossLinked;
    default:
        return map::kOverlayBeyondEnd;
    }
}

QString StatusWords(char status) {
    switch (status) {
    case '-':
        return "bad";
    case '/':
        return "not scraped";
    case '*':
        return "not trimmed";
    case '?':
        return "not tried";
    case 'B':
        return "bad sector";
    default:
        return QString(QChar(status));
    }
}

QString PathOf(const ntfs::TFileIDs& fileIds, std::int32_t index) {
    return index >= 0 ? QString::fromStdU16String(fileIds.Path(index)) : QString();
}

} // namespace

void MainWindow::UpdateHealth() {
    if (FHealthLabel == nullptr || frm_Health == nullptr) {
        return;
    }
    if (!FScan) {
        FHealthLabel->clear();
        frm_Health->Fill(nullptr, {}, "Scan the drive to check it.");
        UpdateOverlay();
        return;
    }
    const ntfs::THealthReport& report = FScan->health;
    std::vector<ProblemRow> rows;
    rows.reserve(report.Problems.size());
    for (const auto& problem : report.Problems) {
        QStringList who;
        for (const auto& c : report.ClaimantsOf(problem)) {
            who << (c.FileIndex >= 0
                        ? QString("%1 %2").arg(c.RecordNo).arg(PathOf(FScan->fileIds, c.FileIndex))
                        : QString("%1 (not readable)").arg(c.RecordNo));
        }
        const std::string_view kind = ntfs::HealthKindName(problem.Kind);
        rows.push_back({QString::fromUtf8(kind.data(), static_cast<qsizetype>(kind.size())),
                        problem.FirstLCN, problem.Count, who.join("; "),
                        ntfs::IsClusterKind(problem.Kind)
                            ? OverlayColour(OverlayIndex(problem.Kind))
                            : QRgb{0}});
    }
    const auto counts = report.CountByKind();
    QStringList parts;
    for (std::size_t k = 0; k < counts.size(); ++k) {
        if (counts[k] != 0) {
            const std::string_view name = ntfs::HealthKindName(static_cast<ntfs::THealthKind>(k));
            parts << QString("%1 %2").arg(counts[k]).arg(
                QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
        }
    }
    QStringList unchecked;
    if (!report.BitmapChecked) {
        unchecked << "the allocation bitmap";
    }
    if (!report.RecordsChecked) {
        unchecked << "the $MFT's bitmap";
    }
    if (!report.MirrorChecked) {
        unchecked << "$MFTMirr";
    }
    QString summary =
        report.Problems.empty()
            ? QString("No problems found.")
            : QString("%1 problems: %2.").arg(report.Problems.size()).arg(parts.join(", "));
    if (!unchecked.isEmpty()) {
        summary += QString(" Not checked (could not be read): %1.").arg(unchecked.join(", "));
    }
    frm_Health->Fill(FScan, rows, summary);
    FHealthLabel->setText(report.Problems.empty()
                              ? (unchecked.isEmpty() ? QString("Volume check: no problems")
                                                     : QString("Volume check: not all checked"))
                              : QString("Volume check: %1 problem%2")
                                    .arg(report.Problems.size())
                                    .arg(report.Problems.size() == 1 ? "" : "s"));
    UpdateOverlay();
}

void MainWindow::UpdateOverlay() {
    if (Action(ActionId::kHealthOverlay) == nullptr ||
        Action(ActionId::kDamageOverlay) == nullptr) {
        return;
    }
    std::vector<map::TOverlaySpan> spans;
    AppendDeletedOverlay(spans);
    if (FScan && Action(ActionId::kHealthOverlay)->isChecked()) {
        for (const auto& span : ntfs::HealthMapSpans(FScan->health, FScan->clusters,
                                                     FScan->volume->geometry().totalClusters)) {
            spans.push_back({span.First, span.Count, OverlayIndex(span.Kind)});
        }
    }
    if (Action(ActionId::kDamageOverlay)->isChecked()) {
        for (const auto& area : FDamageReport.Clusters) {
            spans.push_back({static_cast<std::int64_t>(area.First),
                             static_cast<std::int64_t>(area.Length), map::kOverlayBadArea});
        }
    }
    FView.SetOverlay(std::move(spans));
    DrawMap();
}

void MainWindow::SetHealthOverlay(bool on) {
    if (Action(ActionId::kHealthOverlay)->isChecked() != on) {
        Action(ActionId::kHealthOverlay)->setChecked(on); // comes back here through toggled
        return;
    }
    UpdateOverlay();
}

void MainWindow::SetDamageOverlay(bool on) {
    if (Action(ActionId::kDamageOverlay)->isChecked() != on) {
        Action(ActionId::kDamageOverlay)->setChecked(on);
        return;
    }
    UpdateOverlay();
}

void MainWindow::VolumeCheckClick() {
    if (!FScan || IsScanning()) {
        Beep();
        return;
    }
    frm_Health->ShowList();
}

void MainWindow::ShowClusterRange(std::int64_t first, std::int64_t count) {
    if (!FModel || FView.TotalClusters() == 0 || IsScanning()) {
        Beep();
        return;
    }
    // A range past the end is shown by the volume's last cluster, where the
    // run that reaches it leaves the map.
    const std::int64_t total = FView.TotalClusters();
    const std::int64_t from = std::clamp<std::int64_t>(first, 0, total - 1);
    const std::int64_t to =
        std::clamp<std::int64_t>(first + std::max<std::int64_t>(count, 1), from + 1, total);
    FShownExtents = {{from, to}};
    FShownName =
        QString("Clusters %1-%2").arg(first).arg(first + std::max<std::int64_t>(count, 1) - 1);
    FShownExtent = 0;
    FLitOwner = -1;
    FView.SetHighlight(FShownExtents);
    raise();
    activateWindow();
    StepExtent(0);
}

void MainWindow::mnuLoadDamageMapClick() {
    if (!FScan || IsScanning()) {
        Beep();
        return;
    }
    const QString path = QFileDialog::getOpenFileName(
        this, "Load Damage Map", QString(),
        "Rescue mapfiles and bad-sector lists (*.map *.log *.txt *.mapfile);;All files (*)");
    if (path.isEmpty()) {
        return;
    }
    std::uint32_t sectorSize = 0;
    std::string why;
    const auto sectorList = ntfs::DamageFileLooksLikeSectorList(path.toStdString(), why);
    if (!sectorList) {
        ShowNotice("Load Damage Map",
                   QString("%1 cannot be read: %2.")
                       .arg(QFileInfo(path).fileName(), QString::fromStdString(why)));
        return;
    }
    if (*sectorList) {
        bool ok = false;
        const int size = QInputDialog::getInt(
            this, "Load Damage Map", "The file lists sector numbers. How many bytes is a sector?",
            512, 1, 1 << 20, 1, &ok);
        if (!ok) {
            return;
        }
        sectorSize = static_cast<std::uint32_t>(size);
    }
    LoadDamageMap(path, sectorSize);
}

bool MainWindow::LoadDamageMap(const QString& path, std::uint32_t sectorSize) {
    const QString caption = "Load Damage Map";
    // Shown in the list's summary line as well as in messages.
    const QString name = ShownText(QFileInfo(path).fileName());
    if (!FScan || IsScanning()) {
        ShowNotice(caption, "Scan the drive first: the damage map names the files the scan found.");
        return false;
    }
    // Read a piece at a time: a list of every sector of a large disk is
    // kept as the areas it merges to.
    ntfs::TDamageMap parsed = ntfs::ReadDamageFile(path.toStdString(), sectorSize);
    if (!parsed.Error.empty()) {
        ShowNotice(caption, QString("%1 is not a damage map that can be read: %2.")
                                .arg(name, QString::fromStdString(parsed.Error)));
        return false;
    }
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    if (FSourceHooks.placement && FSourceHooks.placement(FDriveRoot, offset, size)) {
        ntfs::ClipToSource(parsed, size);
    }
    FDamageMap = std::move(parsed);
    FDamageOffset = offset;
    FDamageName = name;
    FDamageRoot = FDriveRoot;
    UpdateDamage();
    SetDamageOverlay(true);
    frm_Damage->ShowList();
    return true;
}

void MainWindow::UpdateDamage() {
    if (frm_Damage == nullptr) {
        return;
    }
    if (!FScan || FDamageName.isEmpty()) {
        FDamageReport = {};
        frm_Damage->Fill(nullptr, {},
                         FDamageName.isEmpty()
                             ? QString("No damage map loaded.")
                             : QString("Scan the drive to read %1 against it.").arg(FDamageName));
        UpdateOverlay();
        return;
    }
    FDamageReport = ntfs::ResolveDamage(*FScan->volume, FScan->fileIds, FScan->clusters, FDamageMap,
                                        FDamageOffset);
    std::vector<ProblemRow> rows;
    for (const auto& hit : FDamageReport.Hits) {
        QString attribute = QString::fromStdString(ntfs::AttributeTypeName(hit.AttrType));
        if (!hit.AttrName.empty()) {
            attribute += ":" + ShownName(hit.AttrName);
        }
        rows.push_back({"file", hit.FirstLCN, hit.Clusters,
                        QString("%1 %2 %3, bytes %4-%5 (%6)")
                            .arg(hit.RecordNo)
                            .arg(PathOf(FScan->fileIds, hit.FileIndex), attribute)
                            .arg(hit.FirstByte)
                            .arg(hit.FirstByte + hit.ByteCount - 1)
                            .arg(StatusWords(hit.Status)),
                        OverlayColour(map::kOverlayBadArea)});
    }
    for (const auto& record : FDamageReport.Records) {
        rows.push_back({"$MFT record", record.LCN, 1,
                        record.FileIndex >= 0 ? QString("record %1 of %2 cannot be read (%3)")
                                                    .arg(record.RecordNo)
                                                    .arg(PathOf(FScan->fileIds, record.FileIndex),
                                                         StatusWords(record.Status))
                                              : QString("record %1, not in use (%2)")
                                                    .arg(record.RecordNo)
                                                    .arg(StatusWords(record.Status)),
                        OverlayColour(map::kOverlayBadArea)});
    }
    std::int64_t clusters = 0;
    for (const auto& area : FDamageReport.Clusters) {
        clusters += static_cast<std::int64_t>(area.Length);
    }
    QString summary = QString("%1: %2 lines read (%3 %4), %5 bad areas, %6 clusters of this volume "
                              "on them; %7 stretches of files and %8 $MFT records on them.")
                          .arg(FDamageName)
                          .arg(FDamageMap.Lines)
                          .arg(FDamageMap.Listed)
                          .arg(FDamageMap.SectorList ? "sectors" : "blocks")
                          .arg(FDamageMap.Areas.size())
                          .arg(clusters)
                          .arg(FDamageReport.Hits.size())
                          .arg(FDamageReport.Records.size());
    for (const auto& note : FDamageMap.Notes) {
        summary += " " + QString::fromStdString(note) + ".";
    }
    frm_Damage->Fill(FScan, rows, summary);
    UpdateOverlay();
}

} // namespace lorvex::ui

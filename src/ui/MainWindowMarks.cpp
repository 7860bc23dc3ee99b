// Files lit on the main window's map: the files Tools > Mark whitens, gone
// to one after another, and a file shown on the map in magenta with its
// extents stepped through.
#include "ui/MainWindow.h"

#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ui/CellMap.h"

#include <QInputDialog>
#include <QLabel>

#include <algorithm>
#include <limits>
#include <vector>

namespace lorvex::ui {

void MainWindow::mnuMarkClick() {
    bool ok = false;
    const QString answer =
        QInputDialog::getText(this, "Mark file", "Enter file name or part of path to mark",
                              QLineEdit::Normal, FMarkText, &ok);
    const QString text = ok ? answer : FMarkText;
    if (text == FMarkText) {
        return;
    }
    ApplyMark(text);
}

void MainWindow::ApplyMark(const QString& text) {
    FMarkText = text;
    // During a scan the text waits for the painting stage.
    if (!FScan || IsScanning()) {
        return;
    }
    RepaintScannedCells();
    RenderMapBitmap();
    RenderOverview();
    CountMarks();
}

void MainWindow::ClearMark() {
    if (!FMarkText.isEmpty()) {
        ApplyMark(QString());
    }
}

void MainWindow::CountMarks() {
    FMarked.clear();
    FMarkedCount = 0;
    FNextMarked = 0;
    if (!FScan || FMarkText.isEmpty()) {
        FMarkLabel->clear();
        return;
    }
    const ntfs::TFileIDs& table = FScan->fileIds;
    const std::u16string mark = FMarkText.toStdU16String();
    const std::size_t count = table.items().size();
    constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::max();
    std::vector<std::int64_t> first(count, kNone);
    for (const ntfs::TClusterEntry& extent : FScan->clusters) {
        if (extent.FileIndex < count && extent.Length > 0) {
            first[extent.FileIndex] = std::min(first[extent.FileIndex], extent.LCN);
        }
    }
    std::u16string path;
    for (std::size_t i = 0; i < count; ++i) {
        if (map::EntryPaintState(table, i, mark, ContainsCaseless, path) == csMarked) {
            ++FMarkedCount;
            // Only a file with clusters of its own can be gone to.
            if (first[i] != kNone) {
                FMarked.push_back(static_cast<std::int64_t>(i));
            }
        }
    }
    std::stable_sort(FMarked.begin(), FMarked.end(), [&first](std::int64_t a, std::int64_t b) {
        return first[static_cast<std::size_t>(a)] < first[static_cast<std::size_t>(b)];
    });
    FMarkLabel->setText(FMarkedCount == 1 ? QString("1 file marked")
                                          : QString("%1 files marked").arg(FMarkedCount));
}

void MainWindow::NextMarkedFile() {
    if (FMarked.empty()) {
        Beep();
        return;
    }
    const std::size_t at = FNextMarked % FMarked.size();
    FNextMarked = at + 1;
    ShowOnMap(FMarked[at]);
}

std::vector<map::TClusterSpan> MainWindow::FileExtents(std::int64_t fileIndex) const {
    std::vector<map::TClusterSpan> spans;
    if (!FScan || fileIndex < 0 || fileIndex >= FScan->fileIds.size()) {
        return spans;
    }
    // Every record of the file: the entries that share its base record.
    const ntfs::TFileIDs& table = FScan->fileIds;
    const std::int64_t base = table[static_cast<std::size_t>(fileIndex)].BaseID;
    std::vector<char> member(static_cast<std::size_t>(table.size()), 0);
    for (std::size_t i = 0; i < member.size(); ++i) {
        member[i] = table[i].BaseID == base ? 1 : 0;
    }
    member[static_cast<std::size_t>(fileIndex)] = 1;
    for (const ntfs::TClusterEntry& extent : FScan->clusters) {
        if (extent.FileIndex < member.size() && member[extent.FileIndex] != 0 &&
            extent.Length > 0) {
            spans.push_back({extent.LCN, ntfs::ExtentEnd(extent.LCN, extent.Length)});
        }
    }
    std::sort(
        spans.begin(), spans.end(),
        [](const map::TClusterSpan& a, const map::TClusterSpan& b) { return a.begin < b.begin; });
    return spans;
}

void MainWindow::ShowOnMap(std::int64_t fileIndex) {
    // A list or report of an earlier scan can name an entry this one lacks.
    if (!FScan || !FModel || IsScanning() || fileIndex < 0 || fileIndex >= FScan->fileIds.size()) {
        Beep();
        return;
    }
    ShowExtentsOnMap(FileExtents(fileIndex),
                     QString::fromStdU16String(FScan->fileIds.Path(static_cast<int>(fileIndex))));
}

void MainWindow::ShowExtentsOnMap(std::vector<map::TClusterSpan> extents, const QString& name) {
    FShownExtents = std::move(extents);
    FShownName = name;
    FShownExtent = 0;
    FLitOwner = -1;
    FView.SetHighlight(FShownExtents);
    raise();
    activateWindow();
    if (FShownExtents.empty()) {
        DrawMap();
        FHoverText = FShownName + " has no clusters of its own: it lives in its record.";
        FHoverLabel->SetFullText(FHoverText);
        return;
    }
    StepExtent(0);
}

void MainWindow::StepExtent(int direction) {
    if (FShownExtents.empty()) {
        return;
    }
    const auto n = static_cast<std::int64_t>(FShownExtents.size());
    FShownExtent = static_cast<std::size_t>(
        ((static_cast<std::int64_t>(FShownExtent) + direction) % n + n) % n);
    const map::TClusterSpan extent = FShownExtents[FShownExtent];
    GoToCluster(extent.begin);
    FHoverText = QString("%1: extent %2 of %3, clusters %4-%5")
                     .arg(FShownName)
                     .arg(FShownExtent + 1)
                     .arg(n)
                     .arg(extent.begin)
                     .arg(extent.end - 1);
    FHoverLabel->SetFullText(FHoverText);
}

void MainWindow::ClearHighlight() {
    FShownExtents.clear();
    FLitOwner = -1;
    FView.SetHighlight({});
    DrawMap();
}

} // namespace lorvex::ui

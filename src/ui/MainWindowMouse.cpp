// The main window's pointer, wheel and keys over the map: what lies under
// the pointer (in the status bar and the zoom window), the overview strip
// clicked, scrolling, the map's context menu and F1 to F3.
#include "ui/MainWindow.h"

#include "ntfs/NtfsVolume.h"
#include "ui/CellMap.h"
#include "ui/HelpWindow.h"
#include "ui/MainWindowShared.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>

#include <algorithm>
#include <string>

namespace lorvex::ui {

using namespace mainwindow;

namespace {

constexpr int kWheelNotch = 120;
// A notch of the wheel moves this part of the rows in view, at least one.
constexpr std::int64_t kWheelShare = 10;
// How many clusters of a summary pixel are searched for one of the kind it
// shows, for the reports to act on.
constexpr std::int64_t kPickSearch = std::int64_t{1} << 16;

QString SpanText(map::TClusterSpan span) {
    if (map::SpanLength(span) <= 1) {
        return QString("Cluster %1").arg(span.begin);
    }
    return QString("Clusters %1-%2").arg(span.begin).arg(span.end - 1);
}

} // namespace

void MainWindow::FormMouseMove(std::int32_t X, std::int32_t Y) {
    FMouseX = X;
    FMouseY = Y;
    FHoverOnOverview = FModel != nullptr && X >= OverviewLeft();
    // The view's pixels are the screen's; the pointer's are the window's.
    const std::int32_t mapWidth = FView.CellsPerRow() * FView.RowPixels();
    if (!FHoverOnOverview && ToView(X) >= mapWidth) {
        FMouseX = static_cast<std::int32_t>((mapWidth - 1) / MapRatio());
    }
    UpdateHover();
}

void MainWindow::FormMouseDown(std::int32_t X, std::int32_t Y) {
    if (FModel && X >= OverviewLeft()) {
        OverviewClicked(X - OverviewLeft(), Y);
        return;
    }
    // A click on the map puts the cursor on the cluster the reports would
    // name there.
    FormMouseMove(X, Y);
    if (FModel && map::SpanLength(FHoverSpan) > 0) {
        cursor_ = FHoverLCN;
        FSurface->update();
    }
}

void MainWindow::OverviewClicked(std::int32_t x, std::int32_t y) {
    if (FOverviewBitmap.isNull()) {
        return;
    }
    const map::TClusterSpan span =
        map::OverviewSpan(FView.TotalClusters(), kOverviewWidth, FOverviewBitmap.height(),
                          std::clamp(x, 0, kOverviewWidth - 1), y);
    if (map::SpanLength(span) == 0) {
        return;
    }
    ScrollToRow(FView.RowOf(span.begin + map::SpanLength(span) / 2) - FView.FullRows() / 2);
}

void MainWindow::FormMouseWheel(std::int32_t WheelDelta) {
    // A notch moves a tenth of the rows in view at every zoom; the small
    // steps of a touchpad add up to notches.
    FWheelRest += WheelDelta;
    const int notches = FWheelRest / kWheelNotch;
    FWheelRest -= notches * kWheelNotch;
    if (notches != 0) {
        const std::int64_t step = std::max<std::int64_t>(1, FView.FullRows() / kWheelShare);
        ScrollByRows(-notches * step);
        return;
    }
    UpdateHover();
}

std::uint8_t MainWindow::SpanState(map::TClusterSpan span) const {
    if (!FModel || map::SpanLength(span) == 0) {
        return csBeyondEnd;
    }
    std::uint8_t state = csBeyondEnd;
    FModel->SummaryRow(span.begin, map::SpanLength(span), 1, &state);
    return state;
}

std::int64_t MainWindow::PickCluster(map::TClusterSpan span, std::uint8_t shown) const {
    if (!FModel || map::SpanLength(span) <= 1) {
        return span.begin;
    }
    const std::int64_t found = FModel->FindState(span.begin, span.end, shown, kPickSearch);
    return found >= 0 ? found : span.begin;
}

std::uint8_t MainWindow::LocateHover() {
    FHoverSpan = {};
    if (FHoverOnOverview && FModel && !FOverviewBitmap.isNull()) {
        FHoverSpan = map::OverviewSpan(FView.TotalClusters(), kOverviewWidth,
                                       FOverviewBitmap.height(), FMouseX - OverviewLeft(), FMouseY);
        FHoverSpan.end = std::min(FHoverSpan.end, FView.TotalClusters());
    } else if (FModel) {
        FHoverSpan = FView.SpanAt(ToView(FMouseX), ToView(FMouseY));
    }
    const std::uint8_t shown = SpanState(FHoverSpan);
    if (map::SpanLength(FHoverSpan) > 0) {
        const std::int64_t lcn = PickCluster(FHoverSpan, shown);
        FHoverLCN = lcn >= FTotalClusters ? FTotalClusters - 1 : lcn;
    } else {
        FHoverLCN = CellToLCN(FMouseX, FMouseY);
    }
    return shown;
}

void MainWindow::LightHoveredOwner() {
    if (Action(ActionId::kLightOwner)->isChecked() && FScan && !IsScanning() &&
        map::SpanLength(FHoverSpan) > 0) {
        const std::int64_t owner = ntfs::FindClusterOwner(FScan->clusters, FHoverLCN);
        if (owner != FLitOwner) {
            FLitOwner = owner;
            FView.SetHighlight(owner >= 0 ? FileExtents(owner) : FShownExtents);
            DrawMap();
        }
    }
}

void MainWindow::UpdateHover() {
    const std::uint8_t shown = LocateHover();
    QString name;
    if (FScan) {
        std::string text;
        FScan->volume->DescribeCluster(FScan->clusters, FScan->fileIds, text, true, FHoverLCN);
        name = QString::fromStdString(text) + DeletedHoverNote(FHoverLCN);
    } else {
        name = "Volume not scanned!";
    }
    // A pixel of many clusters says which and what most of them are before
    // naming the one the reports would show.
    QString summary;
    const std::int64_t clusters = map::SpanLength(FHoverSpan);
    if (clusters > 1) {
        summary = SpanText(FHoverSpan) + ": " +
                  (shown == csMarked ? QString("holds a marked file")
                                     : "mostly " + QString::fromUtf8(map::StateName(shown)));
    }
    if (clusters == 0) {
        FHoverText.clear();
    } else if (clusters > 1) {
        FHoverText =
            summary + (FScan ? "; cluster " + QString::number(FHoverLCN) + ": " + name : QString());
    } else {
        FHoverText =
            SpanText(FHoverSpan) + " at byte " +
            QString::number(FHoverSpan.begin * static_cast<std::int64_t>(FBytesPerCluster)) + " (" +
            QString::fromUtf8(map::StateName(shown)) + ")" + (FScan ? ": " + name : QString());
    }
    LightHoveredOwner();
    if (FHoverLabel->FullText() != FHoverText) {
        FHoverLabel->SetFullText(FHoverText);
    }

    if (frm_Help == nullptr) {
        return;
    }
    frm_Help->lbl_LCN->setText(QString::number(FHoverLCN));
    ShowZoomPicture();
    if (!summary.isEmpty()) {
        name = summary + "\n" + name;
    }
    // Moving within one file gives the same text; laying it out again on
    // every move would cost more than everything else here.
    if (frm_Help->lbl_Name->toPlainText() != name) {
        frm_Help->lbl_Name->setPlainText(name);
    }
}

QString MainWindow::HoverText() const {
    return FHoverText;
}

bool MainWindow::FormKeyDown(int Key) {
    switch (Key) {
    case Qt::Key_F1:
        ShowClusterDetails();
        return true;
    case Qt::Key_F2:
        ShowHexDump();
        return true;
    case Qt::Key_F3: {
        if (!FScan) {
            return true;
        }
        const std::int64_t owner = ntfs::FindClusterOwner(FScan->clusters, cursor_);
        if (owner < 0 || owner >= FScan->fileIds.size()) {
            return true;
        }
        ShowBaseInfo(FScan->fileIds[static_cast<std::size_t>(owner)].BaseID);
        return true;
    }
    default:
        break;
    }
    if (!FModel) {
        return false;
    }
    const std::int64_t page = std::max<std::int64_t>(1, FView.FullRows() - 1);
    switch (Key) {
    case Qt::Key_PageDown:
        ScrollByRows(page);
        return true;
    case Qt::Key_PageUp:
        ScrollByRows(-page);
        return true;
    case Qt::Key_Home:
        GoToCluster(0);
        return true;
    case Qt::Key_End:
        GoToCluster(FView.TotalClusters() - 1);
        return true;
    case Qt::Key_Down:
        ScrollByRows(1);
        return true;
    case Qt::Key_Up:
        ScrollByRows(-1);
        return true;
    case Qt::Key_Right:
        ScrollByRows(std::max<std::int64_t>(1, FView.FullRows() / kWheelShare));
        return true;
    case Qt::Key_Left:
        ScrollByRows(-std::max<std::int64_t>(1, FView.FullRows() / kWheelShare));
        return true;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        ZoomStep(1, FMouseY);
        return true;
    case Qt::Key_Minus:
        ZoomStep(-1, FMouseY);
        return true;
    default:
        return false;
    }
}

void MainWindow::ShowMapMenu(QPoint at) {
    if (!FModel) {
        return;
    }
    // The menu acts on what it was opened over: the cursor goes there.
    FormMouseMove(at.x(), at.y());
    if (map::SpanLength(FHoverSpan) > 0) {
        cursor_ = FHoverLCN;
        FSurface->update();
    }
    QMenu menu(this);
    const bool scanned = FScan != nullptr && !IsScanning();
    const std::int64_t owner = scanned ? ntfs::FindClusterOwner(FScan->clusters, cursor_) : -1;
    menu.addAction("Show on map", [this, owner] { ShowOnMap(owner); })->setEnabled(owner >= 0);
    menu.addAction("Details\tF1", [this] { ShowClusterDetails(); })->setEnabled(scanned);
    menu.addAction("Hex Dump\tF2", [this] { ShowHexDump(); })->setEnabled(scanned);
    menu.addAction("Base Info\tF3", [this] { FormKeyDown(Qt::Key_F3); })->setEnabled(owner >= 0);
    menu.addSeparator();
    menu.addAction("Copy Cluster Number",
                   [this] { QGuiApplication::clipboard()->setText(QString::number(cursor_)); });
    menu.exec(FSurface->mapToGlobal(at));
}

} // namespace lorvex::ui

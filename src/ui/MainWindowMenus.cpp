// The main window's overlay and View menu, and the legend below the map with
// its two palettes.
#include "ui/MainWindow.h"

#include "ui/CellMap.h"
#include "ui/ProblemListWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QToolBar>

namespace lorvex::ui {

void MainWindow::BuildOverlayLists() {
    frm_Health = new ProblemListWindow(this, "frm_Health", "Volume Check", "Records");
    ConnectList(*frm_Health);
    frm_Health->OnShowOnMap = [this](std::int64_t first, std::int64_t count) {
        ShowClusterRange(first, count);
    };
    frm_Damage = new ProblemListWindow(this, "frm_Damage", "Damage Map", "What lies there");
    ConnectList(*frm_Damage);
    frm_Damage->OnShowOnMap = [this](std::int64_t first, std::int64_t count) {
        ShowClusterRange(first, count);
    };
}

void MainWindow::LightOwnerChanged() {
    FLitOwner = -1;
    FView.SetHighlight(FShownExtents);
    DrawMap();
}

void MainWindow::FillViewMenu() {
    QMenu* view = Menu(MenuId::kView);
    view->clear();
    for (QAction* level : FZoomLevels->actions()) {
        FZoomLevels->removeAction(level);
        if (level != Action(ActionId::kActualSize) && level != Action(ActionId::kFit)) {
            level->deleteLater();
        }
    }
    const map::TMapScale fit = FView.FitScale();
    const auto addLevel = [&](const QString& caption, map::TMapScale scale) {
        QAction* item = view->addAction(caption);
        item->setCheckable(true);
        item->setData(QVariant::fromValue(
            QPoint(scale.cellPixels, static_cast<int>(scale.clustersPerPixel))));
        item->setEnabled(FModel != nullptr);
        FZoomLevels->addAction(item);
        connect(item, &QAction::triggered, this, [this, scale] { SetZoom(scale); });
    };
    for (const CommandEntry& entry : ActionTable()) {
        if (entry.menu != MenuId::kView) {
            continue;
        }
        if (entry.separatorBefore) {
            view->addSeparator();
        }
        // The zoom levels the volume allows, around one cluster per pixel.
        if (entry.id == ActionId::kActualSize) {
            for (std::int32_t p = map::kLargestCell; p > 1; p /= 2) {
                addLevel(QString("%1 Pixels per Cluster").arg(p), {p, 1});
            }
        }
        view->addAction(Action(entry.id));
        if (entry.id == ActionId::kActualSize) {
            for (std::int64_t k = 2; k < fit.clustersPerPixel; k *= 2) {
                addLevel(QString("%1 Clusters per Pixel").arg(k), {1, k});
            }
        }
        if (entry.id == ActionId::kActualSize || entry.id == ActionId::kFit) {
            FZoomLevels->addAction(Action(entry.id));
        }
    }
    TickZoomLevel();
    view->addSeparator();
    if (FLegend != nullptr) {
        view->addAction(FLegend->toggleViewAction());
    }
    view->addMenu(Menu(MenuId::kPalette));
    UpdateCommands();
}

// --- The legend --------------------------------------------------------------

void MainWindow::BuildLegend() {
    FLegend = new QToolBar("Legend", this);
    FLegend->setObjectName("Legend");
    FLegend->setMovable(true);
    FLegend->setToolTip(
        "What each colour means. Where a pixel stands for several clusters it shows the kind\n"
        "that covers most of them, except that a marked file always shows: a pixel with any\n"
        "marked cluster is white. A tie goes to the rarer kind: marked, paging file,\n"
        "fragmented, system file, directory, MFT zone, used, free. A file shown on the map\n"
        "is lit in magenta at every zoom.");
    QFont small = FLegend->font();
    small.setPixelSize(11);
    for (const map::TLegendEntry& entry : map::kLegend) {
        auto* item = new QWidget(FLegend);
        item->setObjectName(QString("Legend%1").arg(static_cast<int>(entry.state)));
        auto* row = new QHBoxLayout(item);
        row->setContentsMargins(1, 0, 3, 0);
        row->setSpacing(2);
        auto* swatch = new QLabel(item);
        swatch->setObjectName("swatch");
        // The words of the saved picture's legend and of the manual.
        auto* name = new QLabel(
            QString::fromUtf8(entry.label.data(), static_cast<qsizetype>(entry.label.size())),
            item);
        name->setFont(small);
        row->addWidget(swatch);
        row->addWidget(name);
        FLegend->addWidget(item);
    }
    addToolBar(Qt::BottomToolBarArea, FLegend);
    UpdateLegend();
}

void MainWindow::UpdateLegend() {
    for (const map::TLegendEntry& entry : map::kLegend) {
        auto* item =
            FLegend->findChild<QWidget*>(QString("Legend%1").arg(static_cast<int>(entry.state)));
        auto* swatch = item != nullptr ? item->findChild<QLabel*>("swatch") : nullptr;
        if (swatch == nullptr) {
            continue;
        }
        swatch->setPixmap(LegendSwatch(FPalette[entry.state]));
    }
}

void MainWindow::SetSafePalette(bool safe) {
    const Palette& palette = safe ? map::SafeCellPalette() : CellPalette();
    FSafePalette = safe;
    FPalette = QList<QRgb>(palette.begin(), palette.end());
    FScreenColours.clear();
    UpdateLegend();
    RenderOverview();
    DrawMap();
    Action(safe ? ActionId::kSafePalette : ActionId::kStandardPalette)->setChecked(true);
}

} // namespace lorvex::ui

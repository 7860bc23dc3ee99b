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

void MainWindow::BuildOverlayActions() {
    mnuHealthOverlay = new QAction("&Health Overlay", this);
    mnuHealthOverlay->setObjectName("mnuHealthOverlay");
    mnuHealthOverlay->setCheckable(true);
    mnuHealthOverlay->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    connect(mnuHealthOverlay, &QAction::toggled, this, [this](bool on) { SetHealthOverlay(on); });
    mnuDamageOverlay = new QAction("&Damage Overlay", this);
    mnuDamageOverlay->setObjectName("mnuDamageOverlay");
    mnuDamageOverlay->setCheckable(true);
    mnuDamageOverlay->setChecked(true);
    connect(mnuDamageOverlay, &QAction::toggled, this, [this](bool on) { SetDamageOverlay(on); });
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

void MainWindow::BuildViewMenu() {
    mnuView = menuBar()->addMenu("&View");
    mnuView->setObjectName("mnuView");
    mnuZoomIn = new QAction("Zoom &In", this);
    mnuZoomIn->setObjectName("mnuZoomIn");
    mnuZoomIn->setShortcuts(
        {QKeySequence::ZoomIn, QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal)});
    connect(mnuZoomIn, &QAction::triggered, this, [this] { ZoomStep(1, FMouseY); });
    mnuZoomOut = new QAction("Zoom &Out", this);
    mnuZoomOut->setObjectName("mnuZoomOut");
    mnuZoomOut->setShortcut(QKeySequence::ZoomOut);
    connect(mnuZoomOut, &QAction::triggered, this, [this] { ZoomStep(-1, FMouseY); });
    mnuActualSize = new QAction("One &Cluster per Pixel", this);
    mnuActualSize->setObjectName("mnuActualSize");
    mnuActualSize->setCheckable(true);
    mnuActualSize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
    connect(mnuActualSize, &QAction::triggered, this, [this] { SetZoom({}); });
    mnuFit = new QAction("&Fit volume", this);
    mnuFit->setObjectName("mnuFit");
    mnuFit->setCheckable(true);
    mnuFit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    connect(mnuFit, &QAction::triggered, this, [this] { ZoomToFit(); });
    mnuGoTo = new QAction("&Go to Cluster...", this);
    mnuGoTo->setObjectName("mnuGoTo");
    mnuGoTo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
    connect(mnuGoTo, &QAction::triggered, this, [this] { mnuGoToClick(); });
    mnuNextExtent = new QAction("&Next Extent", this);
    mnuNextExtent->setObjectName("mnuNextExtent");
    mnuNextExtent->setShortcut(QKeySequence(Qt::Key_F6));
    connect(mnuNextExtent, &QAction::triggered, this, [this] { StepExtent(1); });
    mnuPreviousExtent = new QAction("&Previous Extent", this);
    mnuPreviousExtent->setObjectName("mnuPreviousExtent");
    mnuPreviousExtent->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F6));
    connect(mnuPreviousExtent, &QAction::triggered, this, [this] { StepExtent(-1); });
    mnuClearHighlight = new QAction("C&lear Highlight", this);
    mnuClearHighlight->setObjectName("mnuClearHighlight");
    connect(mnuClearHighlight, &QAction::triggered, this, [this] { ClearHighlight(); });
    mnuLightOwner = new QAction("Light the Owner's F&ragments", this);
    mnuLightOwner->setObjectName("mnuLightOwner");
    mnuLightOwner->setCheckable(true);
    connect(mnuLightOwner, &QAction::toggled, this, [this] {
        FLitOwner = -1;
        FView.SetHighlight(FShownExtents);
        DrawMap();
    });
    // View > Palette: today's colours, or colours that stay apart for the
    // common kinds of colour blindness.
    mnuPalette = new QMenu("Pal&ette", this);
    mnuPalette->setObjectName("mnuPalette");
    auto* palettes = new QActionGroup(this);
    QAction* standard = mnuPalette->addAction("&Standard");
    standard->setCheckable(true);
    standard->setChecked(true);
    palettes->addAction(standard);
    connect(standard, &QAction::triggered, this, [this] { SetSafePalette(false); });
    mnuSafePalette = mnuPalette->addAction("&Colour-blind safe");
    mnuSafePalette->setObjectName("mnuSafePalette");
    mnuSafePalette->setCheckable(true);
    palettes->addAction(mnuSafePalette);
    connect(mnuSafePalette, &QAction::triggered, this, [this] { SetSafePalette(true); });
    // The shortcuts work with the menu closed, from any part of the window.
    addActions({mnuZoomIn, mnuZoomOut, mnuActualSize, mnuFit, mnuGoTo, mnuNextExtent,
                mnuPreviousExtent, mnuHealthOverlay});
    FZoomLevels = new QActionGroup(this);
    FZoomLevels->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    connect(mnuView, &QMenu::aboutToShow, this, [this] { FillViewMenu(); });
    FillViewMenu();
}

void MainWindow::FillViewMenu() {
    mnuView->clear();
    for (QAction* level : FZoomLevels->actions()) {
        FZoomLevels->removeAction(level);
        if (level != mnuActualSize && level != mnuFit) {
            level->deleteLater();
        }
    }
    mnuView->addAction(mnuZoomIn);
    mnuView->addAction(mnuZoomOut);
    mnuView->addSeparator();
    const map::TMapScale fit = FView.FitScale();
    const auto addLevel = [&](const QString& caption, map::TMapScale scale) {
        QAction* item = mnuView->addAction(caption);
        item->setCheckable(true);
        item->setData(QVariant::fromValue(
            QPoint(scale.cellPixels, static_cast<int>(scale.clustersPerPixel))));
        item->setEnabled(FModel != nullptr);
        FZoomLevels->addAction(item);
        connect(item, &QAction::triggered, this, [this, scale] { SetZoom(scale); });
    };
    for (std::int32_t p = map::kLargestCell; p > 1; p /= 2) {
        addLevel(QString("%1 Pixels per Cluster").arg(p), {p, 1});
    }
    mnuView->addAction(mnuActualSize);
    FZoomLevels->addAction(mnuActualSize);
    for (std::int64_t k = 2; k < fit.clustersPerPixel; k *= 2) {
        addLevel(QString("%1 Clusters per Pixel").arg(k), {1, k});
    }
    mnuView->addAction(mnuFit);
    FZoomLevels->addAction(mnuFit);
    TickZoomLevel();
    mnuView->addSeparator();
    mnuView->addAction(mnuGoTo);
    mnuView->addAction(mnuNextExtent);
    mnuView->addAction(mnuPreviousExtent);
    mnuView->addAction(mnuClearHighlight);
    mnuView->addAction(mnuLightOwner);
    mnuView->addSeparator();
    mnuView->addAction(mnuHealthOverlay);
    mnuView->addAction(mnuDamageOverlay);
    mnuView->addAction(mnuDeletedRemains);
    mnuDamageOverlay->setEnabled(FModel != nullptr && !FDamageName.isEmpty());
    mnuView->addSeparator();
    if (FLegend != nullptr) {
        mnuView->addAction(FLegend->toggleViewAction());
    }
    mnuView->addMenu(mnuPalette);
    // Their shortcuts work with the menu closed, so they stay enabled; with
    // no map they do nothing.
    for (QAction* item : {mnuZoomIn, mnuZoomOut, mnuActualSize, mnuFit, mnuGoTo}) {
        item->setEnabled(true);
    }
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
    const QList<QAction*> choices = mnuPalette->actions();
    choices[safe ? 1 : 0]->setChecked(true);
}

} // namespace lorvex::ui

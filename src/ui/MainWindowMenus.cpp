// The main window's menus and actions, which of them are enabled, and the
// legend below the map with its two palettes.
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

namespace {

QString ShortLegendName(std::uint8_t state, const QString& full) {
    switch (state) {
    case csUsed:
        return "used/file";
    case csFragmented:
        return "fragmented";
    case csSystem:
        return "system";
    case csPagefile:
        return "paging";
    case csMarked:
        return "marked";
    case csBeyondEnd:
        return "past the end";
    default:
        return full;
    }
}

} // namespace

void MainWindow::BuildMenus() {
    BuildFileMenu();
    // The captions are the window's own; the ampersands only underline the
    // letters that open them with Alt.
    mnuDrive = menuBar()->addMenu("&Drive");
    mnuDrive->setObjectName("mnuDrive");
    mnuScan = menuBar()->addAction("&Scan!");
    mnuScan->setShortcut(QKeySequence(Qt::Key_F5));
    mnuScan->setObjectName("mnuScan");
    connect(mnuScan, &QAction::triggered, this, [this] { mnuScanClick(); });
    BuildToolsMenu();
    BuildOverlayActions();
    BuildViewMenu();
    Quit1 = menuBar()->addAction("&Quit!");
    Quit1->setObjectName("Quit1");
    connect(Quit1, &QAction::triggered, this, [this] { Quit1Click(); });
}

void MainWindow::BuildFileMenu() {
    mnuFile = menuBar()->addMenu("&File");
    mnuFile->setObjectName("mnuFile");
    mnuOpen = mnuFile->addAction("&Open Image...");
    mnuOpen->setObjectName("mnuOpen");
    mnuOpen->setShortcut(QKeySequence::Open);
    connect(mnuOpen, &QAction::triggered, this, [this] { mnuOpenClick(); });
    // Evidence can carry a container's signature it is not; the user can
    // always have the bytes read as they are.
    mnuOpenRaw = mnuFile->addAction("Open as Ra&w Image...");
    mnuOpenRaw->setObjectName("mnuOpenRaw");
    connect(mnuOpenRaw, &QAction::triggered, this, [this] { mnuOpenClick(true); });
    mnuRecent = mnuFile->addMenu("Open &Recent");
    mnuRecent->setObjectName("mnuRecent");
    connect(mnuRecent, &QMenu::aboutToShow, this, [this] { FillRecentMenu(); });
    mnuSavePicture = mnuFile->addAction("Save Map &Picture...");
    mnuSavePicture->setObjectName("mnuSavePicture");
    mnuSavePicture->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    connect(mnuSavePicture, &QAction::triggered, this, [this] { mnuSaveMapPictureClick(); });
    mnuLoadDamageMap = mnuFile->addAction("Load &Damage Map...");
    mnuLoadDamageMap->setObjectName("mnuLoadDamageMap");
    connect(mnuLoadDamageMap, &QAction::triggered, this, [this] { mnuLoadDamageMapClick(); });
    mnuFile->addSeparator();
    mnuQuitFile = mnuFile->addAction("&Quit");
    mnuQuitFile->setObjectName("mnuQuitFile");
    mnuQuitFile->setShortcut(QKeySequence::Quit);
    connect(mnuQuitFile, &QAction::triggered, this, [this] { Quit1Click(); });
}

void MainWindow::BuildToolsMenu() {
    mnuTools = menuBar()->addMenu("&Tools");
    mnuTools->setObjectName("mnuTools");
    Export1 = mnuTools->addAction("&Export...");
    Export1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    Export1->setObjectName("Export1");
    connect(Export1, &QAction::triggered, this, [this] { Export1Click(); });
    Zoom1 = mnuTools->addAction("&Zoom");
    Zoom1->setObjectName("Zoom1");
    Zoom1->setCheckable(true);
    connect(Zoom1, &QAction::triggered, this, [this] { Zoom1Click(); });
    mnuFind = mnuTools->addAction("&Find...");
    mnuFind->setShortcut(QKeySequence::Find);
    mnuFind->setObjectName("mnuFind");
    connect(mnuFind, &QAction::triggered, this, [this] { mnuFindClick(); });
    mnuMark = mnuTools->addAction("&Mark...");
    mnuMark->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    mnuMark->setObjectName("mnuMark");
    connect(mnuMark, &QAction::triggered, this, [this] { mnuMarkClick(); });
    mnuClearMark = mnuTools->addAction("Clear Mar&k");
    mnuClearMark->setObjectName("mnuClearMark");
    connect(mnuClearMark, &QAction::triggered, this, [this] { ClearMark(); });
    mnuNextMarked = mnuTools->addAction("&Next Marked File");
    mnuNextMarked->setObjectName("mnuNextMarked");
    mnuNextMarked->setShortcut(QKeySequence(Qt::Key_F7));
    connect(mnuNextMarked, &QAction::triggered, this, [this] { NextMarkedFile(); });
    FragmentationList1 = mnuTools->addAction("Fragmentation &List");
    FragmentationList1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    FragmentationList1->setObjectName("FragmentationList1");
    connect(FragmentationList1, &QAction::triggered, this, [this] { FragmentationList1Click(); });
    mnuVolumeCheck = mnuTools->addAction("&Volume Check");
    mnuVolumeCheck->setObjectName("mnuVolumeCheck");
    connect(mnuVolumeCheck, &QAction::triggered, this, [this] { VolumeCheckClick(); });
}

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
    mnuLightOwner = new QAction("Light the &Owner's Fragments", this);
    mnuLightOwner->setObjectName("mnuLightOwner");
    mnuLightOwner->setCheckable(true);
    connect(mnuLightOwner, &QAction::toggled, this, [this] {
        FLitOwner = -1;
        FView.SetHighlight(FShownExtents);
        DrawMap();
    });
    // View > Palette: today's colours, or colours that stay apart for the
    // common kinds of colour blindness.
    mnuPalette = new QMenu("&Palette", this);
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

void MainWindow::UpdateCommands() {
    const bool idle = !IsScanning();
    for (QAction* item : mnuDrive->actions()) {
        item->setEnabled(idle);
    }
    mnuScan->setEnabled(idle);
    mnuOpen->setEnabled(idle && static_cast<bool>(FSourceHooks.open));
    mnuOpenRaw->setEnabled(mnuOpen->isEnabled());
    mnuRecent->setEnabled(idle && static_cast<bool>(FSourceHooks.open));
    // The commands that read a scan's tables wait for one to have ended.
    const bool scanned = idle && FScan != nullptr;
    Export1->setEnabled(scanned);
    FragmentationList1->setEnabled(scanned);
    mnuFind->setEnabled(scanned);
    mnuVolumeCheck->setEnabled(scanned);
    mnuLoadDamageMap->setEnabled(scanned);
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
        // Short names, so that all nine fit the window's designed width; the
        // full name is the item's tooltip.
        const QString full =
            QString::fromUtf8(entry.label.data(), static_cast<qsizetype>(entry.label.size()));
        auto* name = new QLabel(ShortLegendName(entry.state, full), item);
        name->setFont(small);
        item->setToolTip(full);
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

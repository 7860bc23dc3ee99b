// The main window's map: the surface it is drawn on, the model painted,
// one screen of it drawn at the zoom in view, the overview strip and the
// scroll bar, zoom and navigation, and the whole map saved as a picture.
#include "ui/MainWindow.h"

#include "mappicture/MapPicture.h"
#include "ntfs/NtfsVolume.h"
#include "ui/CellMap.h"
#include "ui/HelpWindow.h"
#include "ui/MainWindowShared.h"
#include "ui/PictureFile.h"

#include <QAction>
#include <QActionGroup>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QToolBar>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

namespace lorvex::ui {

using namespace mainwindow;

namespace {

constexpr int kScrollerWidth = 16;
// The scroll bar stands this far from the right edge: itself, a gap of one
// pixel, the overview strip and one more pixel.
constexpr int kScrollerFromRight = kClientWidth - 640;
// The scroll bar's range when the view has more rows than it can count.
constexpr std::int64_t kScrollerSteps = std::int64_t{1} << 30;
constexpr QRgb kGridColour = 0xFF505050U;
// Cells smaller than this get arms on the cursor's frame, and how long.
constexpr int kCursorArmsBelow = 6;
constexpr int kCursorArm = 5;

// The map is drawn straight on the window between the menu and the status
// bar; this is that surface, handing its events to the window's handlers.
class TMapSurface final : public QWidget {
  public:
    explicit TMapSurface(MainWindow& form) : QWidget(&form), FForm(form) {
        setObjectName("MapSurface");
        setMouseTracking(true);
        setFocusPolicy(Qt::StrongFocus);
    }

  protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        FForm.FormPaint(painter);
    }
    void resizeEvent(QResizeEvent* /*event*/) override { FForm.FormResize(); }
    void mouseMoveEvent(QMouseEvent* event) override {
        const QPoint p = event->position().toPoint();
        if ((event->buttons() & Qt::LeftButton) != 0 && p.x() >= FForm.OverviewLeft()) {
            FForm.FormMouseDown(p.x(), p.y());
        }
        FForm.FormMouseMove(p.x(), p.y());
    }
    void contextMenuEvent(QContextMenuEvent* event) override { FForm.ShowMapMenu(event->pos()); }
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) {
            const QPoint p = event->position().toPoint();
            FForm.FormMouseDown(p.x(), p.y());
        }
    }
    void wheelEvent(QWheelEvent* event) override {
        if ((event->modifiers() & Qt::ControlModifier) != 0) {
            const int turn = event->angleDelta().y();
            if (turn != 0) {
                FForm.ZoomStep(turn > 0 ? 1 : -1,
                               static_cast<std::int32_t>(event->position().toPoint().y()));
            }
        } else {
            FForm.FormMouseWheel(event->angleDelta().y());
        }
        event->accept();
    }

  private:
    MainWindow& FForm;
};

} // namespace

void MainWindow::BuildMapArea() {
    FSurface = new TMapSurface(*this);
    setCentralWidget(FSurface);
    BuildZoomDock();
    // The legend names the overlay's colours and the shown file's while
    // they are on the map.
    for (std::uint8_t index = map::kHighlightIndex; index <= map::kOverlayLast; ++index) {
        auto* item = new QWidget(FLegend);
        item->setObjectName(QString("Legend%1").arg(index));
        auto* row = new QHBoxLayout(item);
        row->setContentsMargins(1, 0, 3, 0);
        row->setSpacing(2);
        auto* swatch = new QLabel(item);
        swatch->setPixmap(LegendSwatch(OverlayColour(index)));
        row->addWidget(swatch);
        auto* name = new QLabel(OverlayName(index), item);
        // In the kinds' size (BuildLegend), so that the overlays shown fit
        // beside them.
        QFont small = name->font();
        small.setPixelSize(11);
        name->setFont(small);
        row->addWidget(name);
        overlayLegend_.push_back(FLegend->addWidget(item));
        overlayLegend_.back()->setVisible(false);
    }
    scroller = new QScrollBar(Qt::Vertical, FSurface);
    scroller->setObjectName("scroller");
    scroller->setSingleStep(1);
    scroller->setRange(0, 0);
    scroller->installEventFilter(this);
    connect(scroller, &QScrollBar::valueChanged, this, [this] { scrollerChange(); });
}

void MainWindow::PaintClusters(const ntfs::TClusterArray& byOwner) {
    if (!FScan || !FModel) {
        return;
    }
    map::TMapInput input;
    input.mftZoneStart = FScan->volume->geometry().mftZoneStart;
    input.mftZoneEnd = FScan->volume->geometry().mftZoneEnd;
    input.fileIds = &FScan->fileIds;
    input.clusters = &byOwner;
    input.reserved = FScan->volume->reserved();
    input.markText = FMarkText.toStdU16String();
    input.contains = ContainsCaseless;
    FModel->Paint(input);
}

void MainWindow::RepaintScannedCells() {
    if (!FScan) {
        return;
    }
    // Painting walks the map in owner order. The result keeps cluster order
    // for every view that holds it, so the walk has a copy of its own, for
    // as long as it lasts (a mark changes seldom).
    ntfs::TClusterArray byOwner = FScan->clusters;
    ntfs::SortClustersByFileIndex(byOwner);
    PaintClusters(byOwner);
}

void MainWindow::RenderMapBitmap() {
    if (!FModel) {
        return;
    }
    if (viewDrive_ != FDriveRoot) {
        viewDrive_ = FDriveRoot;
        fitted_ = true;
        cursor_ = 0;
    }
    FView.SetTotalClusters(FModel->TotalClusters());
    SetViewArea();
    cursor_ = std::clamp<std::int64_t>(cursor_, 0, std::max<std::int64_t>(FTotalClusters - 1, 0));
    if (fitted_) {
        FView.SetScale(FView.FitScale());
    }
    // Every rebuild returns the view to the top of the volume.
    FView.SetTopRow(0);
    DrawMap();
}

void MainWindow::RenderOverview() {
    if (!FModel) {
        return;
    }
    const int height = scroller->height();
    FOverviewBitmap = QImage(kOverviewWidth, height, QImage::Format_RGB32);
    if (FOverviewBitmap.isNull()) {
        FSurface->update();
        return;
    }
    const QRgb blank = FSurface->palette().color(FSurface->backgroundRole()).rgb();
    const std::vector<std::uint32_t> pixels =
        map::OverviewPixels(*FModel, kOverviewWidth, height, blank,
                            FSafePalette ? map::SafeCellPalette() : map::CellPalette());
    for (int y = 0; y < height; ++y) {
        std::memcpy(FOverviewBitmap.scanLine(y),
                    pixels.data() + static_cast<std::size_t>(y) * kOverviewWidth,
                    kOverviewWidth * sizeof(std::uint32_t));
    }
    FSurface->update();
}

void MainWindow::DrawMap() {
    if (!FModel) {
        return;
    }
    FCellsPerRow = FView.CellsPerRow();
    if (FScreenColours.isEmpty()) {
        FScreenColours = FPalette;
    }
    FScreenColours[map::kGridIndex] = kGridColour;
    FScreenColours[map::kBackgroundIndex] =
        FSurface->palette().color(FSurface->backgroundRole()).rgb();
    FScreenColours[map::kHighlightIndex] = OverlayColour(map::kHighlightIndex);
    OverlayColours(FScreenColours, FPalette, !FView.Overlay().empty());
    if (FScreen.width() != FView.Width() || FScreen.height() != FView.Height()) {
        FScreen = QImage(FView.Width(), FView.Height(), QImage::Format_Indexed8);
    }
    if (!FScreen.isNull()) {
        // Drawn over the map area of the window, a pixel of the picture to
        // a pixel of the screen.
        FScreen.setDevicePixelRatio(MapRatio());
        FScreen.setColorTable(FScreenColours);
        FView.Render(*FModel, FScreen.bits(), static_cast<std::size_t>(FScreen.bytesPerLine()));
    }
    SyncScroller();
    TickZoomLevel();
    ShowOverlayLegend();
    FSurface->update();
}

void MainWindow::ShowOverlayLegend() {
    std::array<bool, map::kOverlayLast - map::kHighlightIndex + 1> shown{};
    shown[0] = !FView.Highlight().empty();
    for (const map::TOverlaySpan& span : FView.Overlay()) {
        shown[span.index - map::kHighlightIndex] = true;
    }
    for (std::size_t i = 0; i < shown.size() && i < overlayLegend_.size(); ++i) {
        overlayLegend_[i]->setVisible(shown[i]);
    }
}

void MainWindow::TickZoomLevel() {
    if (FZoomLevels == nullptr) {
        return;
    }
    const map::TMapScale now = FView.Scale();
    for (QAction* level : FZoomLevels->actions()) {
        bool on = false;
        if (level == Action(ActionId::kFit)) {
            on = fitted_;
        } else if (level == Action(ActionId::kActualSize)) {
            on = !fitted_ && now == map::TMapScale{};
        } else {
            const QPoint scale = level->data().toPoint();
            on = !fitted_ && now == map::TMapScale{scale.x(), scale.y()};
        }
        level->setChecked(on);
    }
}

void MainWindow::SyncScroller() {
    const std::int64_t most = FView.MaxTopRow();
    const std::int64_t page = std::max<std::int64_t>(0, FView.FullRows() - 1);
    const bool scaled = most > kScrollerSteps;
    const auto toBar = [&](std::int64_t rows) {
        return static_cast<int>(scaled ? std::llround(static_cast<double>(rows) * kScrollerSteps /
                                                      static_cast<double>(most))
                                       : rows);
    };
    FSyncingScroller = true;
    scroller->setRange(0, toBar(most));
    scroller->setPageStep(std::max(toBar(page), page > 0 ? 1 : 0));
    scroller->setSingleStep(std::max(toBar(1), 1));
    scroller->setValue(toBar(FView.TopRow()));
    FSyncingScroller = false;
}

void MainWindow::FormResize() {
    // The scroll bar is anchored to the top, right and bottom edges.
    scroller->setGeometry(FSurface->width() - kScrollerFromRight, 0, kScrollerWidth,
                          scroller->height());
    FViewRight = scroller->x() - 2;
    // The surface ends where the status bar begins: its height is the
    // client height less the status bar's.
    FViewBottom = FSurface->height() - 1;
    scroller->resize(kScrollerWidth, std::max(FViewBottom, 0));
    // A fitted view fits again; any other keeps its scale and first row.
    if (FModel) {
        SetViewArea();
        if (fitted_) {
            FView.SetScale(FView.FitScale());
            FView.SetTopRow(0);
        }
        DrawMap();
    }
    RenderOverview();
}

std::int32_t MainWindow::OverviewLeft() const {
    return scroller->x() + scroller->width() + 1;
}

void MainWindow::FormPaint(QPainter& painter) {
    if (FDriveRoot.empty() || !FModel) {
        return;
    }
    if (!FScreen.isNull()) {
        painter.drawImage(QPoint(0, 0), FScreen);
        PaintCursor(painter);
    }
    if (!FOverviewBitmap.isNull()) {
        const int left = OverviewLeft();
        painter.drawImage(QPoint(left, 0), FOverviewBitmap);
        // The part of the volume in view, framed in exclusive-or so that
        // the frame shows on every colour.
        const auto [top, bottom] = map::OverviewRows(FView.TotalClusters(), kOverviewWidth,
                                                     FOverviewBitmap.height(), FView.Visible());
        if (top <= bottom) {
            painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
            painter.setPen(QColor(0xFF, 0xFF, 0xFF));
            painter.drawRect(QRect(left, top, kOverviewWidth - 1, bottom - top));
            painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        }
    }
}

void MainWindow::PaintCursor(QPainter& painter) const {
    const auto at = FView.PixelOf(cursor_);
    if (!at) {
        return;
    }
    // A white ring around the cell and a black one around that show on
    // every colour of both palettes; on cells too small to see a ring
    // around, arms reach out from it, in black and white too.
    // In the screen's pixels, as the view counts them; the rings and arms
    // keep their width in the window's.
    const qreal ratio = MapRatio();
    painter.save();
    painter.scale(1.0 / ratio, 1.0 / ratio);
    const int t = std::max(1, static_cast<int>(std::lround(ratio)));
    const auto [x, y] = *at;
    const int p = FView.RowPixels();
    if (p < kCursorArmsBelow * t) {
        const int arm = kCursorArm * t;
        const int mid = p / 2;
        for (const QRect& bar : {QRect(x - 2 * t - arm, y + mid - t, arm, 3 * t),
                                 QRect(x + p + 2 * t, y + mid - t, arm, 3 * t),
                                 QRect(x + mid - t, y - 2 * t - arm, 3 * t, arm),
                                 QRect(x + mid - t, y + p + 2 * t, 3 * t, arm)}) {
            painter.fillRect(bar, Qt::black);
            painter.fillRect(bar.width() == 3 * t ? bar.adjusted(t, 0, -t, 0)
                                                  : bar.adjusted(0, t, 0, -t),
                             Qt::white);
        }
    }
    // Filled one side at a time: a stroked rectangle can leave its corner
    // pixel out.
    const auto ring = [&painter, t](const QRect& box, Qt::GlobalColor colour) {
        painter.fillRect(box.left(), box.top(), box.width(), t, colour);
        painter.fillRect(box.left(), box.bottom() - t + 1, box.width(), t, colour);
        painter.fillRect(box.left(), box.top(), t, box.height(), colour);
        painter.fillRect(box.right() - t + 1, box.top(), t, box.height(), colour);
    };
    ring(QRect(x - 2 * t, y - 2 * t, p + 4 * t, p + 4 * t), Qt::black);
    ring(QRect(x - t, y - t, p + 2 * t, p + 2 * t), Qt::white);
    painter.restore();
}

void MainWindow::scrollerChange() {
    if (FDriveRoot.empty() || FSyncingScroller || !FModel) {
        return;
    }
    const std::int64_t most = FView.MaxTopRow();
    const std::int64_t value = scroller->value();
    FView.SetTopRow(most > kScrollerSteps ? std::llround(static_cast<double>(value) *
                                                         static_cast<double>(most) / kScrollerSteps)
                                          : value);
    DrawMap();
}

QRgb MainWindow::SurfacePixel(std::int32_t x, std::int32_t y) const {
    const QRgb background = FSurface->palette().color(FSurface->backgroundRole()).rgb();
    if (FDriveRoot.empty() || !FModel || x < 0 || y < 0) {
        return background;
    }
    if (ToView(x) < FScreen.width() && ToView(y) < FScreen.height()) {
        return FScreenColours[FScreen.constScanLine(ToView(y))[ToView(x)]];
    }
    const int left = OverviewLeft();
    if (x >= left && x - left < FOverviewBitmap.width() && y < FOverviewBitmap.height()) {
        QRgb colour = FOverviewBitmap.pixel(x - left, y);
        const auto [top, bottom] = map::OverviewRows(FView.TotalClusters(), kOverviewWidth,
                                                     FOverviewBitmap.height(), FView.Visible());
        const bool frame = top <= bottom && y >= top && y <= bottom &&
                           (y == top || y == bottom || x == left || x == left + kOverviewWidth - 1);
        if (frame) {
            colour ^= 0x00FFFFFFU;
        }
        return colour;
    }
    return background;
}

QRgb MainWindow::ViewPixel(std::int32_t x, std::int32_t y) const {
    if (FModel && x >= 0 && y >= 0 && x < FScreen.width() && y < FScreen.height()) {
        return FScreenColours[FScreen.constScanLine(y)[x]];
    }
    const qreal ratio = MapRatio();
    return SurfacePixel(static_cast<std::int32_t>(std::floor(x / ratio)),
                        static_cast<std::int32_t>(std::floor(y / ratio)));
}

qreal MainWindow::MapRatio() const {
    return FSurface != nullptr ? FSurface->devicePixelRatioF() : 1.0;
}

std::int32_t MainWindow::ToView(std::int32_t x) const {
    return static_cast<std::int32_t>(std::floor(x * MapRatio()));
}

void MainWindow::SetViewArea() {
    // The view counts the screen's pixels: at a scale of 2 a cell can be
    // one of them, and the fitted volume fills the map as it does at 1.
    FView.SetArea(std::max(ToView(FViewRight + 1), 0), std::max(ToView(FViewBottom + 1), 0));
}

std::int64_t MainWindow::CellToLCN(std::int32_t X, std::int32_t Y) const {
    const map::TClusterSpan span = FView.SpanAt(ToView(X), ToView(Y));
    const std::int64_t lcn = map::SpanLength(span) > 0 ? span.begin : FView.TotalClusters();
    return lcn >= FTotalClusters ? FTotalClusters - 1 : lcn;
}

// --- Zoom and navigation -----------------------------------------------------

void MainWindow::SetZoom(map::TMapScale scale) {
    ZoomAroundRow(scale, FMouseY);
}

void MainWindow::ZoomAroundRow(map::TMapScale scale, std::int32_t y) {
    if (!FModel) {
        return;
    }
    fitted_ = false;
    FView.ZoomAround(scale, ToView(y));
    DrawMap();
    UpdateHover();
}

void MainWindow::ZoomStep(int direction, std::int32_t y) {
    const map::TMapScale next = direction > 0 ? FView.ZoomedIn() : FView.ZoomedOut();
    if (next == FView.FitScale()) {
        // Stepped onto the fit: the view fits from now on, as after Fit.
        ZoomToFit();
        return;
    }
    ZoomAroundRow(next, y);
}

void MainWindow::ZoomToFit() {
    if (!FModel) {
        return;
    }
    fitted_ = true;
    FView.SetScale(FView.FitScale());
    FView.SetTopRow(0);
    DrawMap();
    UpdateHover();
}

void MainWindow::ScrollToRow(std::int64_t row) {
    if (!FModel) {
        return;
    }
    FView.SetTopRow(row);
    DrawMap();
    UpdateHover();
}

void MainWindow::ScrollByRows(std::int64_t rows) {
    ScrollToRow(FView.TopRow() + rows);
}

void MainWindow::GoToCluster(std::int64_t lcn) {
    if (!FModel || FView.TotalClusters() == 0) {
        return;
    }
    cursor_ = std::clamp<std::int64_t>(lcn, 0, FView.TotalClusters() - 1);
    FView.KeepInView(cursor_);
    DrawMap();
    ShowCursorAsHover();
}

void MainWindow::ShowCursorAsHover() {
    if (const auto at = FView.PixelOf(cursor_)) {
        const std::int32_t p = FView.RowPixels();
        const qreal ratio = MapRatio();
        FMouseX = static_cast<std::int32_t>((at->first + p / 2) / ratio);
        FMouseY = static_cast<std::int32_t>((at->second + p / 2) / ratio);
        FHoverOnOverview = false;
        UpdateHover();
    }
    FHoverLCN = cursor_;
    if (frm_Help != nullptr) {
        frm_Help->lbl_LCN->setText(QString::number(FHoverLCN));
    }
}

void MainWindow::mnuGoToClick() {
    if (!FModel) {
        return;
    }
    bool ok = false;
    const QString answer =
        QInputDialog::getText(this, "Go to Cluster",
                              QString("Cluster number (0 to %1), or a byte offset with its unit\n"
                                      "(4096 B, 512 KiB, 2 GiB); 0x reads hexadecimal:")
                                  .arg(FView.TotalClusters() - 1),
                              QLineEdit::Normal, QString(), &ok);
    if (!ok || answer.trimmed().isEmpty()) {
        return;
    }
    const std::optional<std::int64_t> lcn =
        map::ParseClusterOrOffset(answer.toStdString(), FBytesPerCluster);
    if (!lcn || *lcn >= FView.TotalClusters()) {
        ShowNotice("Go to Cluster",
                   lcn ? QString("The volume has no cluster %1: its last is %2.")
                             .arg(*lcn)
                             .arg(FView.TotalClusters() - 1)
                       : QString("\"%1\" is neither a cluster number nor a byte offset.")
                             .arg(answer.trimmed()));
        return;
    }
    GoToCluster(*lcn);
}

// --- The map as a picture ----------------------------------------------------

void MainWindow::mnuSaveMapPictureClick() {
    if (!FModel) {
        return;
    }
    QString name = QString::fromStdString(FDriveRoot).remove(':').remove('\\');
    const QString path = QFileDialog::getSaveFileName(
        this, "Save Map Picture", (name.isEmpty() ? QString("map") : name + "-map") + ".png",
        "PNG pictures (*.png)");
    if (!path.isEmpty()) {
        SaveMapPicture(path, QSize(1600, 1000));
    }
}

bool MainWindow::SaveMapPicture(const QString& path, QSize size) {
    if (!FModel) {
        return false;
    }
    mappicture::TMapPictureOptions options;
    options.size = size;
    options.viewClusters = FView.TotalClusters();
    const QString title =
        windowTitle().section(QString::fromUtf8(" \u2014 "), 0, 0) + "   " + StatusText().trimmed();
    options.title = title.toStdString();
    // In the colours the window shows, with what it lights.
    map::Palette palette = CellPalette();
    std::copy_n(FPalette.begin(), std::min<qsizetype>(FPalette.size(), map::kGridIndex),
                palette.begin());
    options.palette = &palette;
    options.highlight = FView.Highlight();
    options.overlay = FView.Overlay();
    const QString why = WritePicture(FApi, path, mappicture::RenderMapPicture(*FModel, options));
    if (!why.isEmpty()) {
        ShowNotice(kAppCaption, QString("Cannot save %1: %2").arg(path, why));
        return false;
    }
    return true;
}

} // namespace lorvex::ui

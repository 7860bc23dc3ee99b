// The zoom window: the "Zoom" dock, shown and hidden from Tools > Zoom,
// and its picture of the cells around the pointer.
#include "ui/MainWindow.h"

#include "ui/HelpWindow.h"
#include "ui/MainWindowShared.h"
#include "ui/ZoomPicture.h"

#include <QAction>
#include <QDockWidget>
#include <QLayout>

#include <array>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

namespace lorvex::ui {

namespace {

// A dock inside the window, or floating over it only: a floating dock is a
// tool window of the main window's, never above other programs. Closing it
// takes the check mark off Tools > Zoom.
class ZoomDock final : public QDockWidget {
  public:
    ZoomDock(QWidget* parent, std::function<void()> closed)
        : QDockWidget("Zoom", parent), closed_(std::move(closed)) {
        setObjectName("ZoomDock");
        setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                    QDockWidget::DockWidgetFloatable);
        setAllowedAreas(Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea);
    }

  protected:
    void closeEvent(QCloseEvent* event) override {
        QDockWidget::closeEvent(event);
        closed_();
    }

  private:
    std::function<void()> closed_;
};

} // namespace

void MainWindow::BuildZoomDock() {
    FZoomDock = new ZoomDock(this, [this] { Action(ActionId::kZoomWindow)->setChecked(false); });
    addDockWidget(Qt::LeftDockWidgetArea, FZoomDock);
    FZoomDock->hide();
}

void MainWindow::AttachZoom() {
    if (frm_Help == nullptr) {
        return;
    }
    FZoomDock->setWidget(frm_Help);
    connect(frm_Help, &Tfrm_Help::closed, this, [this] {
        Action(ActionId::kZoomWindow)->setChecked(false);
        FZoomDock->hide();
    });
    Action(ActionId::kZoomWindow)->setChecked(true);
    PlaceZoomWindow();
}

void MainWindow::MakeRoomForZoomDock() {
    // The window grows by the dock, so that the map keeps its designed
    // size beside it; the dock's width is known once it is polished.
    layout()->activate();
    const int missing = mainwindow::kClientWidth - centralWidget()->width();
    if (missing > 0 && FZoomDock->isVisible() && !FZoomDock->isFloating()) {
        resize(width() + missing, height());
    }
}

void MainWindow::Zoom1Click() {
    PlaceZoomWindow();
}

bool MainWindow::ZoomWindowDocked() const {
    return frm_Help != nullptr && FZoomDock->widget() == frm_Help && !FZoomDock->isFloating();
}

void MainWindow::PlaceZoomWindow() {
    if (frm_Help == nullptr) {
        return;
    }
    const bool wanted = Action(ActionId::kZoomWindow)->isChecked();
    if (wanted) {
        frm_Help->show();
    }
    FZoomDock->setVisible(wanted);
}

void MainWindow::ShowZoomPicture() {
    // The 9 x 9 cells around the pointer: pixels of the surface, a cell's
    // width apart when cells are magnified.
    // On the map they are the screen's pixels, as the view counts them.
    const std::int32_t step = FHoverOnOverview ? 1 : FView.RowPixels();
    const std::int32_t mx = FHoverOnOverview ? FMouseX : ToView(FMouseX);
    const std::int32_t my = FHoverOnOverview ? FMouseY : ToView(FMouseY);
    const std::int32_t cx = FHoverOnOverview ? mx : mx / step * step + step / 2;
    const std::int32_t cy = FHoverOnOverview ? my : my / step * step + step / 2;
    std::array<std::uint32_t, 81> block{};
    for (int dy = 0; dy < kZoomCells; ++dy) {
        for (int dx = 0; dx < kZoomCells; ++dx) {
            const std::int32_t x = cx + (dx - 4) * step;
            const std::int32_t y = cy + (dy - 4) * step;
            block[static_cast<std::size_t>(dy * kZoomCells + dx)] =
                FHoverOnOverview ? SurfacePixel(x, y) : ViewPixel(x, y);
        }
    }
    const std::vector<std::uint32_t> pixels = BuildZoomPixels(block, 0xFFFFFFFFU);
    QImage picture(kZoomSize, kZoomSize, QImage::Format_RGB32);
    for (int y = 0; y < kZoomSize; ++y) {
        std::memcpy(picture.scanLine(y), pixels.data() + static_cast<std::size_t>(y) * kZoomSize,
                    kZoomSize * sizeof(std::uint32_t));
    }
    frm_Help->SetZoomPicture(picture);
}

} // namespace lorvex::ui

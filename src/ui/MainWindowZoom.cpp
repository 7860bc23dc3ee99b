// The zoom window: shown and hidden from Tools > Zoom, kept beside the main
// window or docked inside it when the screen has no room, and its picture
// of the cells around the pointer.
#include "ui/MainWindow.h"

#include "ui/HelpWindow.h"
#include "ui/ZoomPicture.h"

#include <QAction>
#include <QMoveEvent>
#include <QScreen>

#include <array>
#include <cstring>
#include <vector>

namespace lorvex::ui {

void MainWindow::Zoom1Click() {
    if (frm_Help == nullptr) {
        return;
    }
    if (Zoom1->isChecked()) {
        frm_Help->show();
        PlaceZoomWindow();
    } else {
        frm_Help->hide();
        FZoomDock->hide();
    }
}

bool MainWindow::ZoomWindowDocked() const {
    return frm_Help != nullptr && frm_Help->parentWidget() == FZoomDock;
}

void MainWindow::PlaceZoomWindow() {
    if (frm_Help == nullptr) {
        return;
    }
    const bool wanted = Zoom1->isChecked();
    const QScreen* display = screen();
    const QRect room = display != nullptr ? display->availableGeometry() : QRect();
    const QRect frame = frameGeometry();
    // The zoom window's frame as it floats: its own size and the title bar
    // and borders the desktop gives a tool window.
    const QSize size(174 + (frame.width() - width()), 198 + (frame.height() - height()));
    const bool leftFits = frame.left() - size.width() >= room.left();
    const bool rightFits = frame.right() + size.width() <= room.right();
    const bool dock = !room.isEmpty() && !leftFits && !rightFits;
    if (dock != ZoomWindowDocked()) {
        const bool visible = frm_Help->isVisible() || wanted;
        if (dock) {
            frm_Help->setParent(FZoomDock, Qt::Widget);
            frm_Help->move(0, 0);
            FZoomDock->setFixedWidth(frm_Help->width());
        } else {
            frm_Help->setParent(this, Qt::Tool | Qt::WindowStaysOnTopHint);
        }
        frm_Help->setVisible(visible);
    }
    FZoomDock->setVisible(dock && wanted);
    if (!dock && frm_Help->isVisible()) {
        const int x = leftFits || room.isEmpty() ? frame.left() - frm_Help->frameGeometry().width()
                                                 : frame.right() + 1;
        frm_Help->move(x, frame.top());
    }
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    PlaceZoomWindow();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    PlaceZoomWindow();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        PlaceZoomWindow();
    }
}

void MainWindow::ShowZoomPicture() {
    // The 9 x 9 cells around the pointer: pixels of the surface, a cell's
    // width apart when cells are magnified.
    const std::int32_t step = FHoverOnOverview ? 1 : FView.RowPixels();
    const std::int32_t cx = FHoverOnOverview ? FMouseX : FMouseX / step * step + step / 2;
    const std::int32_t cy = FHoverOnOverview ? FMouseY : FMouseY / step * step + step / 2;
    std::array<std::uint32_t, 81> block{};
    for (int dy = 0; dy < kZoomCells; ++dy) {
        for (int dx = 0; dx < kZoomCells; ++dx) {
            block[static_cast<std::size_t>(dy * kZoomCells + dx)] =
                SurfacePixel(cx + (dx - 4) * step, cy + (dy - 4) * step);
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

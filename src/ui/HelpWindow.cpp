#include "ui/HelpWindow.h"

#include "ui/ZoomPicture.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QVBoxLayout>

namespace lorvex::ui {

namespace {

constexpr int kClientWidth = 174;
constexpr int kClientHeight = 198;
constexpr int kMargin = 8;

} // namespace

Tfrm_Help::Tfrm_Help(QWidget* mainWindow) : QWidget(mainWindow) {
    setObjectName("frm_Help");
    setWindowTitle("Zoom");
    // Laid out rather than placed, in the desktop's own font: the panel
    // grows with its dock and a larger font never cuts a label off.
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    grid->setHorizontalSpacing(6);
    auto* lcnRow = new QHBoxLayout;
    lcnRow->addWidget(new QLabel("LCN:", this));
    lbl_LCN = new QLabel("...", this);
    lbl_LCN->setObjectName("lbl_LCN");
    lbl_LCN->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lcnRow->addWidget(lbl_LCN, 1);
    grid->addLayout(lcnRow, 0, 0, 1, 2);
    imgZoom = new QLabel(this);
    imgZoom->setObjectName("imgZoom");
    imgZoom->setFixedSize(kZoomSize, kZoomSize);
    grid->addWidget(imgZoom, 1, 0, Qt::AlignTop);
    auto* keys = new QVBoxLayout;
    keys->setSpacing(0);
    for (const char* key : {"F1 .. Details", "F2 .. Hex dump", "F3 .. Base Info"}) {
        keys->addWidget(new QLabel(key, this));
    }
    keys->addStretch(1);
    grid->addLayout(keys, 1, 1);
    lbl_Name = new QPlainTextEdit(this);
    lbl_Name->setObjectName("lbl_Name");
    lbl_Name->setReadOnly(true);
    lbl_Name->setFrameShape(QFrame::NoFrame);
    // The name takes the room the dock gives it rather than widening it.
    lbl_Name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
    grid->addWidget(lbl_Name, 2, 0, 1, 2);
    grid->setRowStretch(2, 1);
    grid->setColumnStretch(1, 1);
    resize(kClientWidth, kClientHeight);
}

void Tfrm_Help::SetZoomPicture(const QImage& picture) {
    imgZoom->setPixmap(QPixmap::fromImage(picture));
}

QImage Tfrm_Help::ZoomPicture() const {
    return imgZoom->pixmap().toImage();
}

void Tfrm_Help::closeEvent(QCloseEvent* event) {
    emit closed();
    QWidget::closeEvent(event);
}

} // namespace lorvex::ui

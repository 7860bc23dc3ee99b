#include "ui/HelpWindow.h"

#include <QCloseEvent>
#include <QFont>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>

namespace lorvex::ui {

namespace {

constexpr int kClientWidth = 174;
constexpr int kClientHeight = 198;
constexpr QRect kNameRect(8, 112, 161, 73);

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y) {
    auto* label = new QLabel(text, parent);
    label->move(x, y);
    label->adjustSize();
    return label;
}

} // namespace

Tfrm_Help::Tfrm_Help(QWidget* mainWindow)
    : QWidget(mainWindow, Qt::Tool | Qt::WindowStaysOnTopHint) {
    setObjectName("frm_Help");
    setWindowTitle(QString());
    resize(kClientWidth, kClientHeight);
    // The labels are placed for a small dialog font; a desktop's larger
    // default would cut "F2 .. Hex dump" off at the window's edge.
    QFont small = font();
    small.setPixelSize(11);
    setFont(small);

    MakeLabel(this, "LCN:", 8, 8);
    lbl_LCN = new QLabel("...", this);
    lbl_LCN->setObjectName("lbl_LCN");
    lbl_LCN->setGeometry(40, 8, 113, 13);
    imgZoom = new QLabel(this);
    imgZoom->setObjectName("imgZoom");
    imgZoom->setGeometry(8, 32, 73, 73);
    MakeLabel(this, "F1 .. Details", 87, 32);
    MakeLabel(this, "F2 .. Hex dump", 87, 43);
    MakeLabel(this, "F3 .. Base Info", 87, 54);
    lbl_Name = new QPlainTextEdit(this);
    lbl_Name->setObjectName("lbl_Name");
    lbl_Name->setReadOnly(true);
    lbl_Name->setFrameShape(QFrame::NoFrame);
    lbl_Name->setGeometry(kNameRect);
}

void Tfrm_Help::SetZoomPicture(const QImage& picture) {
    imgZoom->setPixmap(QPixmap::fromImage(picture));
}

QImage Tfrm_Help::ZoomPicture() const {
    return imgZoom->pixmap().toImage();
}

void Tfrm_Help::showEvent(QShowEvent* event) {
    // Docked in the main window it stands where the main window puts it.
    if (QWidget* main = parentWidget(); main != nullptr && isWindow()) {
        move(main->x() - frameGeometry().width(), main->y());
    }
    QWidget::showEvent(event);
}

void Tfrm_Help::closeEvent(QCloseEvent* event) {
    emit closed();
    QWidget::closeEvent(event);
}

void Tfrm_Help::resizeEvent(QResizeEvent* event) {
    // The name box is anchored on all four sides: it keeps its margins.
    lbl_Name->setGeometry(kNameRect.x(), kNameRect.y(),
                          width() - (kClientWidth - kNameRect.width()),
                          height() - (kClientHeight - kNameRect.height()));
    QWidget::resizeEvent(event);
}

} // namespace lorvex::ui

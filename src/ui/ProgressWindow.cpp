#include "ui/ProgressWindow.h"

#include <QMouseEvent>
#include <QProgressBar>

namespace lorvex::ui {

Tfrm_Progress::Tfrm_Progress(QWidget* mainWindow)
    : QWidget(mainWindow,
              Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("frm_Progress");
    setWindowTitle("frm_Progress");
    setFixedSize(243, 35);
    progress = new QProgressBar(this);
    progress->setObjectName("progress");
    progress->setGeometry(8, 8, 225, 17);
    progress->setRange(0, 100);
    progress->setTextVisible(false);
}

void Tfrm_Progress::ResetProgress() {
    progress->setValue(0);
}

void Tfrm_Progress::ShowCentred() {
    if (QWidget* main = parentWidget()) {
        const QRect frame = main->frameGeometry();
        move(frame.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
    }
    show();
}

void Tfrm_Progress::mouseDoubleClickEvent(QMouseEvent* event) {
    hide();
    event->accept();
}

} // namespace lorvex::ui

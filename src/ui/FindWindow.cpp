#include "ui/FindWindow.h"

#include <QFont>

namespace lorvex::ui {

TfrmFind::TfrmFind(QWidget* mainWindow) : QWidget(mainWindow, Qt::Window) {
    setObjectName("frmFind");
    setWindowTitle("Fast Find");
    resize(677, 396);
    QFont font("Tahoma");
    font.setPixelSize(11);
    setFont(font);
}

} // namespace lorvex::ui

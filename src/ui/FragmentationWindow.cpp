#include "ui/FragmentationWindow.h"

#include <QFont>

namespace lorvex::ui {

Tfrm_Fragmentation::Tfrm_Fragmentation(QWidget* mainWindow) : QWidget(mainWindow, Qt::Window) {
    setObjectName("frm_Fragmentation");
    setWindowTitle("Fragmentation List");
    resize(603, 345);
    QFont font("Tahoma");
    font.setPixelSize(11);
    setFont(font);
}

} // namespace lorvex::ui

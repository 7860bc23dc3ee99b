#include "ui/InfoWindow.h"

#include <QFont>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QVBoxLayout>

namespace lorvex::ui {

Tfrm_Info::Tfrm_Info(QWidget* mainWindow) : QWidget(mainWindow, Qt::Window) {
    setObjectName("frm_Info");
    resize(702, 371);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QFont font("Courier New");
    font.setStyleHint(QFont::TypeWriter);
    font.setPixelSize(11);
    Memo1->setFont(font);
    // The standard tab stops of a text box: every eight average characters.
    Memo1->setTabStopDistance(8 * Memo1->fontMetrics().horizontalAdvance(QChar('x')));
    // Anchored on all four sides: left 8, top 8, and 689 x 353 of 702 x 371.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 5, 10);
    layout->addWidget(Memo1);
}

void Tfrm_Info::ClearReport() {
    Memo1->clear();
}

void Tfrm_Info::SetReportCaption(const QString& caption) {
    setWindowTitle(caption);
}

void Tfrm_Info::AppendLine(const QString& line) {
    Memo1->appendPlainText(line);
}

void Tfrm_Info::ShowReport() {
    // Appending leaves the view at the last line; a report is read from its
    // first.
    Memo1->moveCursor(QTextCursor::Start);
    Memo1->ensureCursorVisible();
    if (!isVisible()) {
        if (QWidget* main = parentWidget()) {
            move(main->frameGeometry().center() -
                 QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
        }
    }
    show();
    raise();
    activateWindow();
}

void Tfrm_Info::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace lorvex::ui

#include "ui/ElidedLabel.h"

#include <QFontMetrics>
#include <QResizeEvent>

namespace lorvex::ui {

namespace {

constexpr int kLeastChars = 16;

} // namespace

ElidedLabel::ElidedLabel(QWidget* parent, Qt::TextElideMode mode) : QLabel(parent), mode_(mode) {
    // It takes the room it is given rather than widening the window, and
    // keeps enough for a few words when others want the room.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setMinimumWidth(fontMetrics().averageCharWidth() * kLeastChars);
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::SetFullText(const QString& text) {
    if (text == full_) {
        return;
    }
    full_ = text;
    Elide();
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    Elide();
}

void ElidedLabel::Elide() {
    const int room = contentsRect().width();
    const QString shown = fontMetrics().elidedText(full_, mode_, room);
    setText(shown);
    setToolTip(shown == full_ ? QString() : full_);
}

} // namespace lorvex::ui

#pragma once

#include <QLabel>
#include <QString>

namespace lorvex::ui {

// A one-line label for texts longer than the room it has (a path in the
// status bar beside the progress area): cut in the middle by default, so
// that both the start and the end of a path show, with the whole text as
// its tooltip while it is cut.
class ElidedLabel final : public QLabel {
  public:
    explicit ElidedLabel(QWidget* parent, Qt::TextElideMode mode = Qt::ElideMiddle);

    void SetFullText(const QString& text);
    [[nodiscard]] const QString& FullText() const { return full_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void Elide();

    Qt::TextElideMode mode_;
    QString full_;
};

} // namespace lorvex::ui

#pragma once

#include <QWidget>

class QProgressBar;

namespace lorvex::ui {

// The small window a scan names its stages in: the stage is its title, the
// bar the reader's progress as the main window's timer last copied it.
class Tfrm_Progress : public QWidget {
    Q_OBJECT

  public:
    explicit Tfrm_Progress(QWidget* mainWindow);

    void ResetProgress();
    // Shows the window centred on the main window, without making it modal.
    void ShowCentred();

    QProgressBar* progress = nullptr;

  protected:
    // FormDblClick: the user may put the window away; the scan goes on.
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};

} // namespace lorvex::ui

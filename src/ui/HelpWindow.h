#pragma once

#include <QWidget>

class QImage;
class QLabel;
class QPlainTextEdit;

namespace lorvex::ui {

// The zoom panel, shown in the main window's "Zoom" dock: the hovered
// cluster's number, the magnified cells around it, the function keys, and
// the owner of the cluster.
class Tfrm_Help : public QWidget {
    Q_OBJECT

  public:
    explicit Tfrm_Help(QWidget* mainWindow);

    void SetZoomPicture(const QImage& picture);
    // The picture last shown, for whoever needs to look at it.
    [[nodiscard]] QImage ZoomPicture() const;

    QLabel* lbl_LCN = nullptr;
    QLabel* imgZoom = nullptr;
    QPlainTextEdit* lbl_Name = nullptr;

  signals:
    // The panel was closed.
    void closed();

  protected:
    void closeEvent(QCloseEvent* event) override;
};

} // namespace lorvex::ui

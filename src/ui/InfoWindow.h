#pragma once

#include <QWidget>

class QPlainTextEdit;

namespace lorvex::ui {

// The report window that the cluster details, hex dump and base info
// reports write into: one read-only text, replaced by every report.
class Tfrm_Info : public QWidget {
    Q_OBJECT

  public:
    explicit Tfrm_Info(QWidget* mainWindow);

    // What every report does with the window.
    void ClearReport();
    void SetReportCaption(const QString& caption);
    void AppendLine(const QString& line);
    // Not modal. A window already on screen stays where it is and comes
    // forward; a hidden one opens centred on the main window.
    void ShowReport();

    QPlainTextEdit* Memo1 = nullptr;

  protected:
    // FormKeyPress: Escape puts the window away.
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace lorvex::ui

#pragma once

#include <QWidget>

namespace lorvex::ui {

// The list of fragmented files, most fragmented first. Its list and its
// filling come with the reports.
class Tfrm_Fragmentation : public QWidget {
    Q_OBJECT

  public:
    explicit Tfrm_Fragmentation(QWidget* mainWindow);
};

} // namespace lorvex::ui

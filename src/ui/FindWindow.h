#pragma once

#include <QWidget>

namespace lorvex::ui {

// Fast Find: searches the file table of the current scan by path or by
// record number. Its controls and search come with the reports.
//
// The file table belongs to the scanning thread while a scan runs (the main
// window's FScanned is false then): a search must not read it before
// FScanned is true again.
class TfrmFind : public QWidget {
    Q_OBJECT

  public:
    explicit TfrmFind(QWidget* mainWindow);
};

} // namespace lorvex::ui

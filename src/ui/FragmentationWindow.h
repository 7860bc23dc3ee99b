#pragma once

#include "ntfs/ClusterMap.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QTreeWidget;

namespace lorvex::ui {

// The list of fragmented files, most fragmented first.
class Tfrm_Fragmentation : public QWidget {
    Q_OBJECT

  public:
    explicit Tfrm_Fragmentation(QWidget* mainWindow);

    // Replaces the list with `rows`, which come most fragmented first.
    void Fill(const std::vector<ntfs::TFragmentationRow>& rows);
    // Not modal; centred on the main window when it was hidden.
    void ShowList();
    // The selected row's base record goes to OnBaseInfo; without a selected
    // row nothing happens.
    void lv_FragmentsDblClick();

    // Column 0, hidden, carries each row's base record number.
    QTreeWidget* lv_Fragments = nullptr;
    std::function<void(std::int64_t baseId)> OnBaseInfo;
};

} // namespace lorvex::ui

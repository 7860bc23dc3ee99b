#pragma once

#include "ui/ListWindow.h"

#include <QRgb>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QLabel;
class QTreeWidget;

namespace lorvex::ui {

// One row of a problem list: what it is, where on the volume, and who it
// concerns, as the window that fills the list words them.
struct ProblemRow {
    QString kind;
    std::int64_t firstLcn = 0;
    std::int64_t count = 0;
    QString detail;
    // The colour the map's overlay shows it in; 0 for none.
    QRgb colour = 0;
};

// A list of cluster ranges with a problem (the volume check, the damage
// map): kind, first cluster, count and who is concerned. Enter, a double
// click or a row's "Show on map" goes to the row's clusters on the map.
class ProblemListWindow : public ListWindow {
    Q_OBJECT

  public:
    // `detailTitle` heads the last column.
    ProblemListWindow(QWidget* mainWindow, const QString& objectName, const QString& title,
                      const QString& detailTitle);

    // Replaces the rows with those found on `scan` (none: no scan to check),
    // in the order given; `summary` is shown above them.
    void Fill(const std::shared_ptr<const TScanResult>& scan, const std::vector<ProblemRow>& rows,
              const QString& summary);
    // The main window fills the list from every scan it shows; a scan it
    // did not fill it from takes the rows and the summary away.
    void FollowScan(const std::shared_ptr<const TScanResult>& scan) override;

    QTreeWidget* lv_Problems = nullptr;
    QLabel* lbSummary = nullptr;
    std::function<void(std::int64_t firstLcn, std::int64_t count)> OnShowOnMap;

  protected:
    void ShowRowOnMap(int row) override;
    [[nodiscard]] std::vector<int> CopiedColumns() const override;
};

} // namespace lorvex::ui

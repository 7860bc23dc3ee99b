#pragma once

#include <QRgb>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QTreeWidget;

namespace lorvex::ui {

// One row of a problem list: what it is, where on the volume, and who it
// concerns, as the window that fills the list words them.
struct TProblemRow {
    QString Kind;
    std::int64_t FirstLCN = 0;
    std::int64_t Count = 0;
    QString Detail;
    // The colour the map's overlay shows it in; 0 for none.
    QRgb Colour = 0;
};

// A list of cluster ranges with a problem (the volume check, the damage
// map): kind, first cluster, count and who is concerned. Enter, a double
// click or a row's "Show on map" goes to the row's clusters on the map;
// Ctrl+C copies the selected rows as tab-separated text.
class Tfrm_ProblemList : public QWidget {
    Q_OBJECT

  public:
    // `detailTitle` heads the last column.
    Tfrm_ProblemList(QWidget* mainWindow, const QString& objectName, const QString& title,
                     const QString& detailTitle);

    // Replaces the rows, in the order given; `summary` is shown above them.
    void Fill(const std::vector<TProblemRow>& rows, const QString& summary);
    // Not modal; centred on the main window when it was hidden.
    void ShowList();
    // The current row's clusters go to OnShowOnMap.
    void ShowSelectedOnMap();
    void CopySelectedRows();

    QTreeWidget* lv_Problems = nullptr;
    QLabel* lbSummary = nullptr;
    QMenu* mnuRow = nullptr;
    QAction* actShowOnMap = nullptr;
    QAction* actCopyRow = nullptr;
    std::function<void(std::int64_t firstLCN, std::int64_t count)> OnShowOnMap;

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace lorvex::ui

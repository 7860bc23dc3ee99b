// What every list window shares, as a user meets it: a list belongs to the
// drive it was made for and never acts on another, Fast Find counts files,
// the selected row stays readable and the current row shows while the list
// has the keyboard, and the keyboard opens the row menu.
#include "ntfs/FileTable.h"
#include "support/Volumes.h"
#include "ui/FindWindow.h"
#include "ui/FragmentationWindow.h"
#include "ui/InfoWindow.h"
#include "ui/ProblemListWindow.h"
#include "ui/ScannedWindows.h"
#include "ui/UiTestSupport.h"

#include <QAbstractItemView>
#include <QAction>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTableView>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <map>

namespace {

using lorvex::ui::ActionId;

using lorvex::test::Scanned;
using lorvex::test::WindowsPath;
namespace fs = std::filesystem;

// The texts of column `c` of `model`, top to bottom.
QStringList Column(const QAbstractItemModel& model, int c) {
    QStringList texts;
    for (int r = 0; r < model.rowCount(); ++r) {
        texts << model.index(r, c).data().toString();
    }
    return texts;
}

// The row of `model` whose column `c` reads `text`, or -1.
int RowOf(const QAbstractItemModel& model, int c, const QString& text) {
    return static_cast<int>(Column(model, c).indexOf(text));
}

// The pixels of `cell` of `view` as drawn: the colour most of them have
// (the cell's background) and how many stand out from it by far (text).
struct CellPixels {
    QRgb background = 0;
    int standingOut = 0;
};

CellPixels Pixels(QAbstractItemView& view, const QModelIndex& cell) {
    const QImage image = view.viewport()->grab().toImage();
    // Inside the grid lines and the focus outline.
    const QRect r = view.visualRect(cell).adjusted(2, 2, -2, -2) & image.rect();
    std::map<QRgb, int> counts;
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            ++counts[image.pixel(x, y)];
        }
    }
    CellPixels pixels;
    int most = 0;
    for (const auto& [colour, count] : counts) {
        if (count > most) {
            most = count;
            pixels.background = colour;
        }
    }
    for (const auto& [colour, count] : counts) {
        const int distance = std::abs(qGray(colour) - qGray(pixels.background));
        pixels.standingOut += distance > 80 ? count : 0;
    }
    return pixels;
}

// Whether the row `row` of `view` looks different with the list holding the
// keyboard and without it.
bool FocusShows(QAbstractItemView& view, int row) {
    view.setFocus();
    if (!QTest::qWaitFor([&view] { return view.hasFocus(); }, 1000)) {
        return false;
    }
    const QRect r = view.visualRect(view.model()->index(row, 0))
                        .united(view.visualRect(view.model()->index(row, 1)));
    const QImage focused = view.viewport()->grab(r).toImage();
    view.clearFocus();
    const QImage unfocused = view.viewport()->grab(r).toImage();
    return focused != unfocused;
}

class ListWindowTest : public QObject {
    Q_OBJECT

  private:
    fs::path demo_ = lorvex::test::VolumeDir() / "demo.img";
    fs::path other_ = lorvex::test::VolumeDir() / "ntfs-4k.img";
    std::map<std::string, std::string> facts_;

  private slots:
    void initTestCase() {
        if (!fs::exists(demo_) || !fs::exists(other_)) {
            QSKIP("the test volumes have not been generated");
        }
        facts_ = lorvex::test::ReadFacts(lorvex::test::VolumeDir() / "demo.img.facts");
        QVERIFY(!facts_.empty());
    }

    // Open one image, open the lists, open a second image: the lists are
    // the second drive's, and nothing made for the first reaches it.
    void listsMadeForOneDriveNeitherActOnNorNameTheNext() {
        Scanned s(demo_);
        lorvex::ui::FragmentationWindow& fragments = s.windows->frm_Fragmentation;
        lorvex::ui::FindWindow& find = s.windows->frmFind;
        s.form.Action(ActionId::kFragmentationList)->trigger();
        s.form.Action(ActionId::kFind)->trigger();
        QVERIFY(lorvex::test::SearchEnded(find));
        QTest::keyClicks(find.edtContains, "s");
        QVERIFY(lorvex::test::SearchEnded(find));
        QVERIFY(find.lstFiles->model()->rowCount() > 5);
        // A row menu opened on a file of C: only.
        QTreeWidget& lv = *fragments.lv_Fragments;
        const QString pst = WindowsPath(facts_.at("fragmented_1_path"));
        const int pstRow = RowOf(*lv.model(), 1, pst);
        QVERIFY(pstRow >= 0);
        lv.scrollToItem(lv.topLevelItem(pstRow));
        lv.setCurrentItem(lv.topLevelItem(pstRow));
        QTest::keyClick(&lv, Qt::Key_F10, Qt::ShiftModifier);
        QVERIFY(fragments.mnuRow->isVisible());

        // A report of a file of C:, kept on screen.
        fragments.actDetails->trigger();
        lorvex::ui::Tfrm_Info* kept = s.windows->frm_Info.KeepOpen();
        QVERIFY(kept != nullptr);
        QVERIFY(kept->actShowOnMap->isEnabled());

        QVERIFY(s.form.OpenSources({QString::fromStdString(other_.string())}));
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        QCOMPARE(s.form.Scan()->volume->drive(), std::string("D:"));
        const lorvex::ntfs::TFileIDs& table = s.form.Scan()->fileIds;

        // The report stays to be read, but no longer shows its file on D:'s
        // map.
        QCOMPARE(kept->windowTitle(), "File Info for Base ID " +
                                          QString::fromStdString(facts_.at("fragmented_1_record")));
        QVERIFY(!kept->actShowOnMap->isEnabled());
        kept->ShowOnMap();
        QVERIFY(s.form.View().Highlight().empty());

        // The menu went with the rows; its Show on map lights nothing and
        // says why.
        QVERIFY(!fragments.mnuRow->isVisible());
        fragments.actShowOnMap->trigger();
        QVERIFY(s.form.View().Highlight().empty());
        QCOMPARE(s.form.HoverText(),
                 QString("The row belongs to drive C:, which is no longer shown."));

        // The Fragmentation List is D:'s: every row names the D: file its
        // base record is, and shows it on the map.
        QVERIFY(lv.topLevelItemCount() > 0);
        QVERIFY(!Column(*lv.model(), 1).contains(pst));
        for (int i = 0; i < lv.topLevelItemCount(); ++i) {
            const int index = table.IndexOfID(lv.topLevelItem(i)->text(0).toLongLong());
            QVERIFY(index >= 0);
            QCOMPARE(lv.topLevelItem(i)->text(1), QString::fromStdU16String(table.Path(index)));
        }
        QTreeWidgetItem* first = lv.topLevelItem(0);
        lv.setCurrentItem(first);
        QTest::keyClick(&lv, Qt::Key_Menu);
        QVERIFY(fragments.mnuRow->isVisible());
        fragments.actShowOnMap->trigger();
        fragments.mnuRow->hide();
        QVERIFY(!s.form.View().Highlight().empty());
        QVERIFY2(s.form.HoverText().startsWith(first->text(1) + ": extent 1 of "),
                 qPrintable(s.form.HoverText()));

        // Fast Find searched D: for the same text: its rows are D:'s files,
        // as many as it says it found.
        QCOMPARE(find.edtContains->text(), QString("s"));
        QTRY_VERIFY(!find.IsSearching() && !find.StatusText().isEmpty());
        QAbstractItemModel& grid = *find.lstFiles->model();
        const int rows = find.FileIndexOfRow(0) < 0 ? 0 : grid.rowCount();
        QVERIFY(rows > 5);
        QVERIFY(!Column(grid, 2).contains(pst));
        QCOMPARE(find.StatusText(),
                 rows == 1 ? QString("1 file found.") : QString("%1 files found.").arg(rows));
        for (int r = 0; r < rows; ++r) {
            QCOMPARE(
                grid.index(r, 2).data().toString(),
                QString::fromStdU16String(table.Path(static_cast<int>(find.FileIndexOfRow(r)))));
        }

        // Every list names D: or nothing.
        for (const lorvex::ui::ListWindow* list : s.form.findChildren<lorvex::ui::ListWindow*>()) {
            QVERIFY2(list->OriginDrive().isEmpty() || list->OriginDrive() == "D:",
                     qPrintable(list->objectName()));
        }

        // A list put away while another drive is chosen keeps no rows of the
        // drive it was made for.
        fragments.hide();
        s.form.DriveActions().first()->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QCOMPARE(s.form.Scan()->volume->drive(), std::string("C:"));
        QCOMPARE(lv.topLevelItemCount(), 0);
        s.form.Action(ActionId::kFragmentationList)->trigger();
        QVERIFY(Column(*lv.model(), 1).contains(pst));
    }

    // Fast Find counts and lists files: the extension records of a file
    // that has them are neither rows nor counted.
    void fastFindCountsFilesNotRecords() {
        Scanned s(demo_);
        lorvex::ui::FindWindow& find = s.windows->frmFind;
        s.form.Action(ActionId::kFind)->trigger();
        QVERIFY(lorvex::test::SearchEnded(find));
        QAbstractItemModel& grid = *find.lstFiles->model();
        const QString ost = WindowsPath(facts_.at("attrlist_runs_path"));
        const QString record = QString::fromStdString(facts_.at("attrlist_runs_record"));
        QTest::keyClicks(find.edtContains, ost.section('\\', -1));
        QVERIFY(lorvex::test::SearchEnded(find));
        QCOMPARE(find.StatusText(), QString("1 file found."));
        QCOMPARE(grid.rowCount(), 1);
        QCOMPARE(grid.index(0, 0).data().toString(), record);
        QCOMPARE(grid.index(0, 2).data().toString(), ost);
        // Its runs lie in its extension records: the file is fragmented.
        QCOMPARE(grid.index(0, 3).data().toString(), QString("YES"));

        // Every file: none of the extension records the volume is known to
        // have is a row, and the count is the rows'.
        find.edtContains->clear();
        QVERIFY(lorvex::test::SearchEnded(find));
        QVERIFY(!find.IsSearching());
        const QStringList items = Column(grid, 0);
        QCOMPARE(find.StatusText(), QLocale(QLocale::English, QLocale::UnitedStates)
                                            .toString(static_cast<int>(items.size())) +
                                        " files found.");
        QCOMPARE(items.size(), Column(grid, 1).size());
        for (const char* key : {"mft_extension_records", "attrlist_names_extension_records",
                                "attrlist_runs_extension_records"}) {
            const QStringList extensions = QString::fromStdString(facts_.at(key)).split(',');
            QVERIFY(!extensions.isEmpty());
            for (const QString& extension : extensions) {
                QVERIFY2(!items.contains(extension), qPrintable(extension));
            }
        }
        QCOMPARE(Column(grid, 2).count(WindowsPath(facts_.at("attrlist_names_path"))), 1);
        for (int r = 0; r < grid.rowCount(); ++r) {
            QCOMPARE(grid.index(r, 0).data(), grid.index(r, 1).data());
        }
    }

    // The selected row is drawn in the highlight with its text readable,
    // and the current row shows while the list has the keyboard, in each
    // kind of list.
    void selectedRowStaysReadableAndFocusShows() {
        Scanned s(demo_);
        s.form.Action(ActionId::kFragmentationList)->trigger();
        s.form.Action(ActionId::kFind)->trigger();
        s.windows->frmFind.btnFind->click();
        QVERIFY(lorvex::test::SearchEnded(s.windows->frmFind));
        s.form.Action(ActionId::kVolumeCheck)->trigger();
        lorvex::ui::ProblemListWindow& health = *s.form.frm_Health;
        health.Fill(nullptr, {{"kind", 10, 2, "some detail", 0}, {"kind", 20, 3, "more detail", 0}},
                    "Two rows.");
        for (QAbstractItemView* view :
             {static_cast<QAbstractItemView*>(s.windows->frm_Fragmentation.lv_Fragments),
              static_cast<QAbstractItemView*>(s.windows->frmFind.lstFiles),
              static_cast<QAbstractItemView*>(health.lv_Problems)}) {
            const QString name = view->objectName();
            view->window()->raise();
            view->window()->activateWindow();
            QVERIFY2(QTest::qWaitForWindowActive(view->window()), qPrintable(name));
            QVERIFY2(view->model()->rowCount() > 1, qPrintable(name));
            const int nameColumn = view == s.windows->frmFind.lstFiles ? 2 : 1;
            const QModelIndex cell = view->model()->index(1, nameColumn);
            view->selectionModel()->setCurrentIndex(view->model()->index(0, 0),
                                                    QItemSelectionModel::NoUpdate);
            view->clearSelection();
            const CellPixels plain = Pixels(*view, cell);
            view->selectionModel()->select(cell, QItemSelectionModel::ClearAndSelect |
                                                     QItemSelectionModel::Rows);
            const CellPixels selected = Pixels(*view, cell);
            QVERIFY2(selected.background != plain.background, qPrintable(name));
            QVERIFY2(plain.standingOut > 20, qPrintable(name));
            QVERIFY2(selected.standingOut > plain.standingOut / 2, qPrintable(name));
            QVERIFY2(FocusShows(*view, 0), qPrintable(name));
        }
    }

    // Shift+F10 and the Menu key open the row menu at the current row, in
    // each kind of list, and its commands act on that row.
    void keyboardOpensTheRowMenuAtTheCurrentRow() {
        Scanned s(demo_);
        const QString record = QString::fromStdString(facts_.at("fragmented_1_record"));
        const std::int64_t index = s.form.Scan()->fileIds.IndexOfID(record.toLongLong());
        QList<std::int64_t> shown;

        lorvex::ui::FindWindow& find = s.windows->frmFind;
        find.OnShowOnMap = [&shown](std::int64_t i) { shown << i; };
        s.form.Action(ActionId::kFind)->trigger();
        QVERIFY(lorvex::test::SearchEnded(find));
        find.rdo_ID->click();
        QVERIFY(lorvex::test::SearchEnded(find));
        QTest::keyClicks(find.edtContains, record);
        QVERIFY(lorvex::test::SearchEnded(find));
        QCOMPARE(find.lstFiles->model()->rowCount(), 1);
        find.lstFiles->setFocus();
        find.lstFiles->setCurrentIndex(find.lstFiles->model()->index(0, 2));
        QTest::keyClick(find.lstFiles, Qt::Key_F10, Qt::ShiftModifier);
        QVERIFY(find.mnuRow->isVisible());
        find.actShowOnMap->trigger();
        find.mnuRow->hide();
        QCOMPARE(shown, QList<std::int64_t>{index});

        lorvex::ui::FragmentationWindow& fragments = s.windows->frm_Fragmentation;
        fragments.OnShowOnMap = [&shown](std::int64_t i) { shown << i; };
        s.form.Action(ActionId::kFragmentationList)->trigger();
        QTreeWidget& lv = *fragments.lv_Fragments;
        const int row = RowOf(*lv.model(), 0, record);
        QVERIFY(row > 0);
        // Current but not selected: the menu selects it, so that Copy row
        // copies the row the menu is for.
        lv.clearSelection();
        lv.setCurrentItem(lv.topLevelItem(row), 0, QItemSelectionModel::NoUpdate);
        QTest::keyClick(&lv, Qt::Key_Menu);
        QVERIFY(fragments.mnuRow->isVisible());
        QVERIFY(lv.topLevelItem(row)->isSelected());
        fragments.actDetails->trigger();
        fragments.mnuRow->hide();
        QCOMPARE(s.windows->frm_Info.windowTitle(), "File Info for Base ID " + record);
        fragments.actShowOnMap->trigger();
        QCOMPARE(shown, (QList<std::int64_t>{index, index}));

        // No row current and none selected: no menu.
        fragments.mnuRow->hide();
        lv.setCurrentItem(nullptr);
        lv.clearSelection();
        QTest::keyClick(&lv, Qt::Key_F10, Qt::ShiftModifier);
        QVERIFY(!fragments.mnuRow->isVisible());
    }
};

} // namespace

QTEST_MAIN(ListWindowTest)
#include "ListWindowTest.moc"

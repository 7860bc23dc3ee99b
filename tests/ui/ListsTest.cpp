// Fast Find and the Fragmentation List as a user works them: columns that
// show their contents whole, sorting by any title, the keys, the clipboard
// and a row's context menu, over the demo volume on the offscreen platform.
#include "ntfs/FileTable.h"
#include "support/Volumes.h"
#include "ui/FindWindow.h"
#include "ui/FragmentationWindow.h"
#include "ui/InfoWindow.h"
#include "ui/ScannedWindows.h"
#include "ui/UiTestSupport.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace {

using lorvex::ui::ActionId;

using lorvex::test::Scanned;
namespace fs = std::filesystem;

// Every column of `view` at least as wide as Qt itself measures its title
// and its cells (the rows on screen), and the title not cut.
void CheckColumnsFit(QAbstractItemView& view, QHeaderView& header) {
    for (int c = 0; c < header.count(); ++c) {
        if (header.isSectionHidden(c)) {
            continue;
        }
        const QString title = view.model()->headerData(c, Qt::Horizontal).toString();
        QVERIFY2(header.sectionSize(c) >= header.sectionSizeHint(c), qPrintable(title));
        QVERIFY2(header.sectionSize(c) > header.fontMetrics().horizontalAdvance(title),
                 qPrintable(title));
        QVERIFY2(header.sectionSize(c) >= view.sizeHintForColumn(c), qPrintable(title));
    }
}

// The texts of column `c` of `model`, top to bottom.
QStringList Column(const QAbstractItemModel& model, int c) {
    QStringList texts;
    for (int r = 0; r < model.rowCount(); ++r) {
        texts << model.index(r, c).data().toString();
    }
    return texts;
}

// Whether `texts` run in `order`, as numbers or case-insensitively.
bool Sorted(const QStringList& texts, bool numbers, Qt::SortOrder order) {
    for (int i = 1; i < texts.size(); ++i) {
        const int step = numbers ? (texts[i - 1].toLongLong() < texts[i].toLongLong()   ? -1
                                    : texts[i - 1].toLongLong() > texts[i].toLongLong() ? 1
                                                                                        : 0)
                                 : texts[i - 1].compare(texts[i], Qt::CaseInsensitive);
        if (order == Qt::AscendingOrder ? step > 0 : step < 0) {
            return false;
        }
    }
    return true;
}

void ClickTitle(QHeaderView& header, int section) {
    const QPoint at(header.sectionViewportPosition(section) + header.sectionSize(section) / 2,
                    header.height() / 2);
    QTest::mouseClick(header.viewport(), Qt::LeftButton, {}, at);
}

void RightClick(QAbstractItemView& view, const QPoint& at) {
    QTest::mouseClick(view.viewport(), Qt::RightButton, {}, at);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, at, view.viewport()->mapToGlobal(at));
    QApplication::sendEvent(view.viewport(), &menu);
}

class ListsTest : public QObject {
    Q_OBJECT

  private:
    fs::path demo_ = lorvex::test::VolumeDir() / "demo.img";
    std::map<std::string, std::string> facts_;

  private slots:
    void initTestCase() {
        if (!fs::exists(demo_)) {
            QSKIP("the test volumes have not been generated");
        }
        facts_ = lorvex::test::ReadFacts(lorvex::test::VolumeDir() / "demo.img.facts");
        QVERIFY(!facts_.empty());
    }

    void fragmentationListOpensFittedAndSortsByEachTitle() {
        Scanned s(demo_);
        lorvex::ui::FragmentationWindow& list = s.windows->frm_Fragmentation;
        s.form.Action(ActionId::kFragmentationList)->trigger();
        QVERIFY(list.isVisible());
        QTreeWidget& lv = *list.lv_Fragments;
        QHeaderView& header = *lv.header();
        CheckColumnsFit(lv, header);
        // The names whole, at every row, and the window's width used.
        for (int i = 0; i < lv.topLevelItemCount(); ++i) {
            const QString name = lv.topLevelItem(i)->text(1);
            QVERIFY2(lv.columnWidth(1) > lv.fontMetrics().horizontalAdvance(name),
                     qPrintable(name));
        }
        // The columns fill the list, and the names take no more than the
        // longest needs.
        QCoreApplication::processEvents();
        int longest = 0;
        for (int i = 0; i < lv.topLevelItemCount(); ++i) {
            longest = std::max(longest, lv.sizeHintForIndex(lv.model()->index(i, 1)).width());
        }
        QVERIFY(lv.columnWidth(1) + lv.columnWidth(2) >= lv.viewport()->width());
        QVERIFY(lv.columnWidth(1) <=
                std::max(longest + 2, lv.viewport()->width() - lv.columnWidth(2)));

        QAbstractItemModel& model = *lv.model();
        const QStringList filled = Column(model, 0);
        QCOMPARE(header.sortIndicatorSection(), 2);
        QVERIFY(Sorted(Column(model, 2), true, Qt::DescendingOrder));
        ClickTitle(header, 2);
        QCOMPARE(header.sortIndicatorOrder(), Qt::AscendingOrder);
        QVERIFY(Sorted(Column(model, 2), true, Qt::AscendingOrder));
        ClickTitle(header, 1);
        QVERIFY(Sorted(Column(model, 1), false, Qt::AscendingOrder));
        ClickTitle(header, 1);
        QVERIFY(Sorted(Column(model, 1), false, Qt::DescendingOrder));
        QVERIFY(Column(model, 0) != filled);
        // Back to the most fragmented first: the rows as they came, equal
        // counts in the order of their base records.
        ClickTitle(header, 2);
        ClickTitle(header, 2);
        QCOMPARE(header.sortIndicatorOrder(), Qt::DescendingOrder);
        QCOMPARE(Column(model, 0), filled);
        // Filled again, the list keeps the order chosen.
        ClickTitle(header, 1);
        s.form.Action(ActionId::kFragmentationList)->trigger();
        QVERIFY(Sorted(Column(model, 1), false, Qt::AscendingOrder));
        QCOMPARE(model.rowCount(), filled.size());
    }

    void fragmentationListKeysClipboardAndMenu() {
        Scanned s(demo_);
        lorvex::ui::FragmentationWindow& list = s.windows->frm_Fragmentation;
        QList<std::int64_t> shown;
        list.OnShowOnMap = [&shown](std::int64_t index) { shown << index; };
        s.form.Action(ActionId::kFragmentationList)->trigger();
        QTreeWidget& lv = *list.lv_Fragments;
        const QString record = QString::fromStdString(facts_.at("fragmented_1_record"));
        QTreeWidgetItem* pst = nullptr;
        for (int i = 0; i < lv.topLevelItemCount(); ++i) {
            if (lv.topLevelItem(i)->text(0) == record) {
                pst = lv.topLevelItem(i);
            }
        }
        QVERIFY(pst != nullptr);
        QVERIFY(lv.indexOfTopLevelItem(pst) > 0);

        // Enter opens the current row's base record.
        lv.setCurrentItem(pst);
        QTest::keyClick(&lv, Qt::Key_Return);
        lorvex::ui::Tfrm_Info& info = s.windows->frm_Info;
        QVERIFY(info.isVisible());
        QCOMPARE(info.windowTitle(), "File Info for Base ID " + record);
        info.hide();

        // Ctrl+C: the selected rows, top to bottom, whatever the order of
        // selecting.
        QTreeWidgetItem* top = lv.topLevelItem(0);
        lv.setCurrentItem(pst);
        lv.setCurrentItem(top, 0, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QCOMPARE(lv.selectedItems().size(), 2);
        QApplication::clipboard()->clear();
        QTest::keyClick(&lv, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), top->text(1) + '\t' + top->text(2) + '\n' +
                                                        pst->text(1) + '\t' + pst->text(2) + '\n');

        // The context menu of a row acts on that row.
        lv.scrollToItem(pst);
        RightClick(lv, lv.visualItemRect(pst).center());
        QVERIFY(list.mnuRow->isVisible());
        list.actShowOnMap->trigger();
        list.mnuRow->hide();
        QCOMPARE(shown, QList<std::int64_t>{s.form.Scan()->fileIds.IndexOfID(record.toLongLong())});
        list.actCopyPath->trigger();
        QVERIFY(QApplication::clipboard()->text().contains(pst->text(1) + '\n'));
        list.actDetails->trigger();
        QCOMPARE(info.windowTitle(), "File Info for Base ID " + record);
        // Off the rows there is no menu.
        list.mnuRow->hide();
        RightClick(lv, QPoint(5, lv.viewport()->height() - 2));
        QVERIFY(lv.topLevelItemCount() * 30 > lv.viewport()->height() || !list.mnuRow->isVisible());

        QTest::keyClick(&lv, Qt::Key_Escape);
        QVERIFY(!list.isVisible());
    }

    void fastFindOpensReadyToTypeAndFitsItsColumns() {
        Scanned s(demo_);
        lorvex::ui::FindWindow& find = s.windows->frmFind;
        s.form.Action(ActionId::kFind)->trigger();
        QVERIFY(lorvex::test::SearchEnded(find));
        QVERIFY(find.isVisible());
        QCOMPARE(find.focusWidget(), find.edtContains);
        QHeaderView& header = *find.lstFiles->horizontalHeader();
        // Before a search only the titles count.
        CheckColumnsFit(*find.lstFiles, header);
        find.btnFind->click();
        QVERIFY(lorvex::test::SearchEnded(find));
        CheckColumnsFit(*find.lstFiles, header);
        // The greatest numbers, sorted to the top, fit too.
        ClickTitle(header, 0);
        ClickTitle(header, 0);
        QCOMPARE(header.sortIndicatorOrder(), Qt::DescendingOrder);
        CheckColumnsFit(*find.lstFiles, header);
        QAbstractItemModel& grid = *find.lstFiles->model();
        const QFontMetrics metrics = find.lstFiles->fontMetrics();
        for (int c = 0; c < grid.columnCount(); ++c) {
            for (const QString& text : Column(grid, c)) {
                QVERIFY2(find.lstFiles->columnWidth(c) > metrics.horizontalAdvance(text),
                         qPrintable(text));
            }
        }

        // Names that leave room: the columns fill the grid, and none lies
        // off to the side.
        QTest::keyClicks(find.edtContains, "alice");
        QVERIFY(lorvex::test::SearchEnded(find));
        QCoreApplication::processEvents();
        CheckColumnsFit(*find.lstFiles, header);
        QCOMPARE(find.lstFiles->horizontalScrollBar()->maximum(), 0);
        int sum = 0;
        for (int c = 0; c < grid.columnCount(); ++c) {
            sum += find.lstFiles->columnWidth(c);
        }
        QCOMPARE(sum, find.lstFiles->viewport()->width());

        QTest::keyClick(find.edtContains, Qt::Key_Escape);
        QVERIFY(!find.isVisible());
    }

    void fastFindSortsByEachTitle() {
        Scanned s(demo_);
        lorvex::ui::FindWindow& find = s.windows->frmFind;
        s.form.Action(ActionId::kFind)->trigger();
        QVERIFY(lorvex::test::SearchEnded(find));
        QTest::keyClicks(find.edtContains, "alice");
        QVERIFY(lorvex::test::SearchEnded(find));
        QAbstractItemModel& grid = *find.lstFiles->model();
        QHeaderView& header = *find.lstFiles->horizontalHeader();
        QVERIFY(grid.rowCount() > 20);
        const QStringList found = Column(grid, 2);
        for (int c = 0; c < grid.columnCount(); ++c) {
            const bool numbers = c < 2;
            ClickTitle(header, c);
            QVERIFY2(Sorted(Column(grid, c), numbers, Qt::AscendingOrder),
                     qPrintable(QString::number(c)));
            ClickTitle(header, c);
            QVERIFY2(Sorted(Column(grid, c), numbers, Qt::DescendingOrder),
                     qPrintable(QString::number(c)));
            QStringList same = Column(grid, 2);
            same.sort();
            QStringList expected = found;
            expected.sort();
            QCOMPARE(same, expected);
        }
        // Numbers as numbers: 11 before 100, where text would put it after.
        find.rdo_ID->click();
        QVERIFY(lorvex::test::SearchEnded(find));
        QTest::keyClicks(find.edtContains, "1");
        QVERIFY(lorvex::test::SearchEnded(find));
        if (header.sortIndicatorSection() != 0 ||
            header.sortIndicatorOrder() != Qt::AscendingOrder) {
            ClickTitle(header, 0);
        }
        QCOMPARE(Column(grid, 0).mid(0, 3), (QStringList{"1", "10", "11"}));
        QVERIFY(Column(grid, 0).indexOf("100") > Column(grid, 0).indexOf("19"));
        find.rdo_Name->click();
        QVERIFY(lorvex::test::SearchEnded(find));
        QTest::keyClicks(find.edtContains, "alice");
        QVERIFY(lorvex::test::SearchEnded(find));

        // A new search keeps the order chosen.
        ClickTitle(header, 2);
        QCOMPARE(header.sortIndicatorSection(), 2);
        QTest::keyClicks(find.edtContains, "\\");
        QVERIFY(lorvex::test::SearchEnded(find));
        QVERIFY(!find.IsSearching());
        QVERIFY(Sorted(Column(grid, 2), false, header.sortIndicatorOrder()));
    }

    void fastFindKeysClipboardAndMenu() {
        Scanned s(demo_);
        lorvex::ui::FindWindow& find = s.windows->frmFind;
        QList<std::int64_t> shown;
        find.OnShowOnMap = [&shown](std::int64_t index) { shown << index; };
        s.form.Action(ActionId::kFind)->trigger();
        QVERIFY(lorvex::test::SearchEnded(find));
        find.rdo_ID->click();
        QVERIFY(lorvex::test::SearchEnded(find));
        const QString record = QString::fromStdString(facts_.at("fragmented_1_record"));
        QTest::keyClicks(find.edtContains, record.left(2));
        QVERIFY(lorvex::test::SearchEnded(find));
        QAbstractItemModel& grid = *find.lstFiles->model();
        const int row = static_cast<int>(Column(grid, 0).indexOf(record));
        QVERIFY(row > 2);
        const std::int64_t index = s.form.Scan()->fileIds.IndexOfID(record.toLongLong());
        QCOMPARE(find.FileIndexOfRow(row), index);

        // Enter opens the current row's base record.
        find.lstFiles->setFocus();
        find.lstFiles->setCurrentIndex(grid.index(row, 2));
        QTest::keyClick(find.lstFiles, Qt::Key_Return);
        lorvex::ui::Tfrm_Info& info = s.windows->frm_Info;
        QVERIFY(info.isVisible());
        QCOMPARE(info.windowTitle(), "File Info for Base ID " + record);
        info.hide();

        // Ctrl+C: whole rows, every column.
        find.lstFiles->clearSelection();
        find.lstFiles->selectRow(0);
        find.lstFiles->selectionModel()->select(grid.index(2, 0), QItemSelectionModel::Select |
                                                                      QItemSelectionModel::Rows);
        QApplication::clipboard()->clear();
        QTest::keyClick(find.lstFiles, Qt::Key_C, Qt::ControlModifier);
        QString rows;
        for (const int r : {0, 2}) {
            QStringList cells;
            for (int c = 0; c < 5; ++c) {
                cells << grid.index(r, c).data().toString();
            }
            rows += cells.join('\t') + '\n';
        }
        QCOMPARE(QApplication::clipboard()->text(), rows);
        QCOMPARE(rows.count('\t'), 8);

        // The context menu acts on the row clicked.
        find.lstFiles->scrollTo(grid.index(row, 2));
        RightClick(*find.lstFiles, find.lstFiles->visualRect(grid.index(row, 2)).center());
        QVERIFY(find.mnuRow->isVisible());
        find.actShowOnMap->trigger();
        find.mnuRow->hide();
        QCOMPARE(shown, QList<std::int64_t>{index});
        find.actCopyPath->trigger();
        QCOMPARE(QApplication::clipboard()->text(), grid.index(row, 2).data().toString() + '\n');
        QVERIFY(QApplication::clipboard()->text().startsWith("\\"));
        find.actCopyRow->trigger();
        QVERIFY(QApplication::clipboard()->text().startsWith(record + '\t'));
        find.actDetails->trigger();
        QCOMPARE(info.windowTitle(), "File Info for Base ID " + record);

        // The empty row of a search without a match has no menu.
        find.edtContains->setText("4x");
        QVERIFY(lorvex::test::SearchEnded(find));
        find.mnuRow->hide();
        RightClick(*find.lstFiles, find.lstFiles->visualRect(grid.index(0, 2)).center());
        QVERIFY(!find.mnuRow->isVisible());
        QCOMPARE(find.FileIndexOfRow(0), -1);

        QTest::keyClick(find.lstFiles, Qt::Key_Escape);
        QVERIFY(!find.isVisible());
    }

    // A name's control characters and backslashes are escaped in the rows,
    // and the search matches the paths as shown: a name that holds a path
    // is not found by the path it imitates.
    void fastFindShowsAndMatchesNamesEscaped() {
        auto scan = std::make_shared<lorvex::ui::TScanResult>();
        lorvex::ntfs::TFileIDs& table = scan->fileIds;
        lorvex::ntfs::TFileInfo info;
        info.ParentID = lorvex::ntfs::kRootDirectory;
        for (const std::u16string& name :
             {std::u16string(u"\\."), std::u16string(u"\\Windows\\System32\\evil.dll"),
              std::u16string(u"\\line\nbreak\u009B2J\x1B]0;t\x07")}) {
            table.Add(name, lorvex::ntfs::kTypeFile, info, false, 5 + table.size(),
                      5 + table.size());
        }
        table.BuildPaths();
        QWidget main;
        lorvex::ui::FindWindow find(&main);
        find.FollowScan(scan);
        find.rdo_Name->setChecked(true);
        find.RunSearch();
        QVERIFY(lorvex::test::SearchEnded(find));
        const QStringList names = Column(*find.lstFiles->model(), 2);
        QVERIFY(names.contains("\\Windows\\u{5c}System32\\u{5c}evil.dll"));
        QVERIFY(names.contains("\\line\\u{a}break\\u{9b}2J\\u{1b}]0;t\\u{7}"));
        for (const QString& name : names) {
            for (const QChar c : name) {
                QVERIFY2(c.unicode() >= 0x20 && (c.unicode() < 0x7F || c.unicode() > 0x9F),
                         qPrintable(name));
            }
        }
        find.edtContains->setText("\\Windows\\System32");
        find.RunSearch();
        QVERIFY(lorvex::test::SearchEnded(find));
        QCOMPARE(find.FileIndexOfRow(0), -1);
        find.edtContains->setText("u{5c}System32");
        find.RunSearch();
        QVERIFY(lorvex::test::SearchEnded(find));
        QCOMPARE(find.FileIndexOfRow(0), 1);
    }
};

} // namespace

QTEST_MAIN(ListsTest)
#include "ListsTest.moc"

// The reports, the Tools windows and the export, driven as a user drives them
// on the offscreen platform over the demo volume.
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"
#include "ui/FileTableExport.h"
#include "ui/FindModel.h"
#include "ui/FindWindow.h"
#include "ui/FragmentationWindow.h"
#include "ui/InfoWindow.h"
#include "ui/LorvexWindows.h"
#include "ui/ScannedWindows.h"
#include "ui/UiTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QMap>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSettings>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCursor>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>
#include <functional>
#include <limits>
#include <memory>

namespace {

using lorvex::ui::ActionId;

using lorvex::platform::RawVolumeSystem;
using lorvex::test::Scanned;
using lorvex::ui::MainWindow;
using lorvex::ui::TLorvexWindows;
namespace fs = std::filesystem;

using lorvex::test::WindowsPath;

class ReportsTest : public QObject {
    Q_OBJECT

  private:
    fs::path demo_ = lorvex::test::VolumeDir() / "demo.img";
    std::map<std::string, std::string> facts_;

    // The status bar after an export of the demo volume to `path`.
    static void SaidWhereAndHowMany(const Scanned& s, const QString& path) {
        QCOMPARE(s.form.HoverText(), QString("Exported %1 entries of C:\\ to %2")
                                         .arg(s.form.Scan()->fileIds.size())
                                         .arg(path));
    }

    // What lorvex-scan writes to `path` with `args` then `path` and the demo
    // volume; empty when it fails.
    std::string ScannerWrites(const QStringList& args, const QString& path) const {
        QProcess scanner;
        scanner.start(QString::fromLocal8Bit(qgetenv("LORVEX_SCAN")),
                      args + QStringList{path, QString::fromStdString(demo_.string())});
        if (!scanner.waitForFinished(120000) || scanner.exitStatus() != QProcess::NormalExit ||
            scanner.exitCode() != 0) {
            return {};
        }
        return lorvex::test::ReadFile(path.toStdString());
    }

  private slots:
    void initTestCase() {
        if (!fs::exists(demo_)) {
            QSKIP("the test volumes have not been generated");
        }
        facts_ = lorvex::test::ReadFacts(lorvex::test::VolumeDir() / "demo.img.facts");
        QVERIFY(!facts_.empty());
    }

    void exportNeverWritesOverTheImageItShows() {
        Scanned s(demo_);
        const auto size = fs::file_size(demo_);
        const auto time = fs::last_write_time(demo_);
        s.form.ExportTo(QString::fromStdString(demo_.string()));
        QCOMPARE(s.messages,
                 QStringList{"Lorvex: Cannot export to " + QString::fromStdString(demo_.string()) +
                             ": File access denied"});
        QCOMPARE(fs::file_size(demo_), size);
        QVERIFY(fs::last_write_time(demo_) == time);
    }

    void exportIsTheScannersAndOutlivesAFullDisk() {
        Scanned s(demo_);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());

        s.form.ExportTo("/dev/full");
        QCOMPARE(s.messages, QStringList{"Lorvex: Cannot export to /dev/full: Disk full"});
        s.form.ExportTo(dir.filePath("no such directory/table.txt"));
        QCOMPARE(s.messages.last(), "Lorvex: Cannot export to " +
                                        dir.filePath("no such directory/table.txt") +
                                        ": File not found");

        // After the failures an export works, and twice to one name
        // replaces the file.
        const QString mine = dir.filePath("table.txt");
        s.form.ExportTo(mine);
        s.form.ExportTo(mine);
        // Said in the status bar, with where and how many.
        QCOMPARE(s.messages.size(), 2);
        SaidWhereAndHowMany(s, mine);

        const std::string exported = lorvex::test::ReadFile(mine.toStdString());
        QVERIFY(exported.size() > 100000);
        QVERIFY(exported == ScannerWrites({"--export"}, dir.filePath("scanner.txt")));
        QVERIFY(exported.starts_with("Item:0 Base:0 Name:\\$MFT Type:SYSFILE\r\n"));
    }

    // Every format of the export: chosen by the dialog's file type, the
    // file named after it, and the bytes lorvex-scan writes for the drive.
    void exportWritesEveryFormatAsTheScannerDoes_data() {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("scannerArgs");
        const QStringList files{"--files", "--format"};
        QTest::newRow("export text") << "Export text (*.txt)"
                                     << "C-files.txt" << QStringList{"--export"};
        QTest::newRow("tab-separated") << "Tab-separated text (*.tsv)"
                                       << "C-files.tsv" << files + QStringList{"text", "-o"};
        QTest::newRow("json") << "JSON (*.json)"
                              << "C-files.json" << files + QStringList{"json", "-o"};
        QTest::newRow("json lines") << "JSON Lines (*.jsonl)"
                                    << "C-files.jsonl" << files + QStringList{"jsonl", "-o"};
        QTest::newRow("csv") << "CSV (*.csv)"
                             << "C-files.csv" << files + QStringList{"csv", "-o"};
        QTest::newRow("body file") << "Body file (*.body)"
                                   << "C-files.body" << files + QStringList{"bodyfile", "-o"};
    }

    void exportWritesEveryFormatAsTheScannerDoes() {
        QFETCH(QString, filter);
        QFETCH(QString, name);
        QFETCH(QStringList, scannerArgs);
        Scanned s(demo_);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());

        // Through the dialog, as a user picks the file's type.
        QString offered;
        QString named;
        QTimer::singleShot(0, [&] {
            const auto answer = [&](const auto& self) -> void {
                auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                if (dialog == nullptr) {
                    QTimer::singleShot(10, [self] { self(self); });
                    return;
                }
                auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
                auto* types = dialog->findChild<QComboBox*>("fileTypeCombo");
                offered = edit->text();
                const int row = types->findText(filter);
                for (int i = types->currentIndex(); i < row; ++i) {
                    QTest::keyClick(types, Qt::Key_Down);
                }
                named = edit->text();
                dialog->selectFile(dir.filePath(named));
                QMetaObject::invokeMethod(dialog, "accept");
            };
            answer(answer);
        });
        s.form.Action(ActionId::kExport)->trigger();
        QCOMPARE(offered, QString("C-files.txt"));
        QCOMPARE(named, name);
        const QString mine = dir.filePath(name);
        QVERIFY(s.messages.isEmpty());
        SaidWhereAndHowMany(s, mine);

        const std::string exported = lorvex::test::ReadFile(mine.toStdString());
        QVERIFY(exported.size() > 10000);
        QVERIFY(exported == ScannerWrites(scannerArgs, dir.filePath("scanner")));

        // A failure names the file, and the image shown is never written.
        const auto& format = lorvex::ui::ExportFormatOf(filter);
        s.form.ExportTo("/dev/full", format);
        QCOMPARE(s.messages, QStringList{"Lorvex: Cannot export to /dev/full: Disk full"});
        const auto size = fs::file_size(demo_);
        const auto time = fs::last_write_time(demo_);
        s.form.ExportTo(QString::fromStdString(demo_.string()), format);
        QCOMPARE(s.messages.size(), 2);
        QVERIFY(s.messages.last().endsWith(": File access denied"));
        QCOMPARE(fs::file_size(demo_), size);
        QVERIFY(fs::last_write_time(demo_) == time);
    }

    void clusterReportGivesTheOwnersTenLinesAndRuns() {
        Scanned s(demo_);
        const std::int64_t record = std::stoll(facts_.at("fragmented_1_record"));
        const std::int32_t index = s.form.Scan()->fileIds.IndexOfID(record);
        const lorvex::ntfs::TFileID& e = s.form.Scan()->fileIds[static_cast<std::size_t>(index)];
        QStringList runs;
        for (const auto& extent : s.form.Scan()->clusters) {
            if (static_cast<std::int32_t>(extent.FileIndex) == index) {
                runs << QString("\t\tLCN:%1 LEN:%2 ").arg(extent.LCN).arg(extent.Length);
            }
        }
        QCOMPARE(runs.size(), 60);
        std::int64_t inFile = -1;
        for (const auto& extent : s.form.Scan()->clusters) {
            if (static_cast<std::int32_t>(extent.FileIndex) == index) {
                inFile = extent.LCN + extent.Length - 1;
            }
        }
        s.HoverOver(inFile);
        s.Press(Qt::Key_F1);
        lorvex::ui::Tfrm_Info& info = s.windows->frm_Info;
        QVERIFY(info.isVisible());
        QCOMPARE(info.windowTitle(), QString("File Info for Cluster %1").arg(inFile));
        const QStringList lines = s.ReportLines();
        auto sizes = [](const char* label, std::int64_t bytes) {
            return QString("%1: %2 B = %3 KB = %4 MB")
                .arg(label)
                .arg(bytes)
                .arg(static_cast<double>(bytes) / 1024, 0, 'f', 2)
                .arg(static_cast<double>(bytes) / 1024 / 1024, 0, 'f', 2);
        };
        QCOMPARE(lines.mid(0, 10),
                 (QStringList{
                     QString("File ID: %1").arg(record), QString("Base ID: %1").arg(record),
                     "File Name: " + WindowsPath(facts_.at("fragmented_1_path")),
                     sizes("Real File Size", e.Size), sizes("Allocated File Size", e.AllocatedSize),
                     sizes("Used File Size", e.DiskSize), "Type: FILE",
                     QString("Flags: %1: ARCHIVE").arg(0x20, 8, 16, QChar('0')),
                     "Fragmented: YES (60)", "Attributes:"}));
        QCOMPARE(e.Flags, 0x20U);
        QVERIFY(e.Size > 1024 * 1024);
        QCOMPARE(
            lines.filter(QRegularExpression("^\t\\$DATA\\(\\d+\\)  \\(nonresident\\)$")).size(), 1);
        QStringList shown = lines.filter(QRegularExpression("^\t\tLCN:"));
        // The map holds the runs in cluster order, the report in run-list
        // order.
        shown.sort();
        runs.sort();
        QCOMPARE(shown, runs);
        QVERIFY(!lines.last().isEmpty());
        // The report opens at its first line.
        QCOMPARE(info.Memo1->verticalScrollBar()->value(), 0);

        // Another cluster replaces everything; a free one empties the open
        // window but leaves it on screen; Escape puts it away.
        s.HoverOver(0);
        s.Press(Qt::Key_F1);
        QCOMPARE(info.windowTitle(), QString("File Info for Cluster 0"));
        QCOMPARE(s.ReportLines().at(2), QString("File Name: \\$Boot"));
        QVERIFY(!s.ReportLines().contains("Fragmented: YES (60)"));
        const std::int64_t free = s.FirstFreeCluster();
        QVERIFY(free > 0);
        s.HoverOver(free);
        s.Press(Qt::Key_F1);
        QVERIFY(info.isVisible());
        QCOMPARE(info.windowTitle(), QString("File Info for Cluster %1").arg(free));
        QVERIFY(info.Memo1->toPlainText().isEmpty());
        QVERIFY(info.Memo1->isReadOnly());
        QCOMPARE(info.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        QTest::keyClick(&info, Qt::Key_Escape);
        QVERIFY(!info.isVisible());
    }

    void hexDumpOfClusterZeroIsTheBootSector() {
        Scanned s(demo_);
        s.HoverOver(0);
        s.Press(Qt::Key_F2);
        lorvex::ui::Tfrm_Info& info = s.windows->frm_Info;
        QVERIFY(info.isVisible());
        QCOMPARE(info.windowTitle(), QString("Hex Dump for Cluster 0"));
        const QStringList lines = s.ReportLines();
        QCOMPARE(lines.size(), 4096 / 16);
        const std::string boot = lorvex::test::ReadRange(demo_, 0, 4096);
        QCOMPARE(boot.size(), std::size_t{4096});
        for (int n = 0; n < lines.size(); ++n) {
            QString want = QString("%1:").arg(n * 16, 16, 16, QChar('0')).toUpper();
            QString chars;
            for (int i = 0; i < 16; ++i) {
                const unsigned b =
                    static_cast<unsigned char>(boot[static_cast<std::size_t>(n * 16 + i)]);
                want += QString(" %1").arg(b, 2, 16, QChar('0')).toUpper();
                chars += b < 0x20 || (b >= 0x7F && b <= 0x9F) ? QChar(u'.')
                                                              : QChar(static_cast<char16_t>(b));
            }
            want += "  |" + chars + "|";
            QCOMPARE(lines[n].size(), 85);
            QCOMPARE(lines[n], want);
        }
        QVERIFY(lines[0].startsWith("0000000000000000: EB 52 90 4E 54 46 53 20 20 20 20"));
        QVERIFY(lines[0].contains("|\u00EBR.NTFS    ....."));
        QVERIFY(lines.last().startsWith("0000000000000FF0:"));

        // Further on the offset counts bytes of the volume.
        s.HoverOver(300);
        s.Press(Qt::Key_F2);
        QVERIFY(s.ReportLines().first().startsWith("000000000012C000:"));
    }

    void baseInfoGivesOneBlockPerRecordOfTheBase() {
        Scanned s(demo_);
        const std::int64_t base = std::stoll(facts_.at("attrlist_names_record"));
        QStringList records{QString::number(base)};
        for (const QString& r :
             QString::fromStdString(facts_.at("attrlist_names_extension_records")).split(',')) {
            records << r;
        }
        const std::int32_t index = s.form.Scan()->fileIds.IndexOfID(base);
        std::int64_t lcn = -1;
        for (const auto& extent : s.form.Scan()->clusters) {
            if (static_cast<std::int32_t>(extent.FileIndex) == index) {
                lcn = extent.LCN;
            }
        }
        QVERIFY(lcn >= 0);
        s.HoverOver(lcn);
        s.Press(Qt::Key_F3);
        lorvex::ui::Tfrm_Info& info = s.windows->frm_Info;
        QVERIFY(info.isVisible());
        QCOMPARE(info.windowTitle(), QString("File Info for Base ID %1").arg(base));
        const QStringList lines = s.ReportLines();
        QStringList ids, bases;
        for (const QString& line : lines) {
            if (line.startsWith("File ID: ")) {
                ids << line.mid(9);
            } else if (line.startsWith("Base ID: ")) {
                bases << line.mid(9);
            }
        }
        QCOMPARE(ids, records);
        QCOMPARE(bases, QStringList(records.size(), QString::number(base)));
        // Each block closes with an empty line, the report with the last.
        QCOMPARE(lines.count(QString()), records.size());
        QVERIFY(lines.last().isEmpty());
        const qsizetype second = lines.indexOf("File ID: " + records[1]);
        QVERIFY(second > 0);
        QVERIFY(lines[second - 1].isEmpty());
        // The base record's attribute list names its extension records.
        const QString path = "File Name: " + WindowsPath(facts_.at("attrlist_names_path"));
        QCOMPARE(lines.count(path), records.size());
        QVERIFY(
            lines.contains(QRegularExpression("^\t\\$ATTRIBUTE_LIST\\(\\d+\\)  \\(resident\\)$")) ||
            lines.contains(
                QRegularExpression("^\t\\$ATTRIBUTE_LIST\\(\\d+\\)  \\(nonresident\\)$")));

        // F3 over a free cluster leaves the open report as it was.
        const std::int64_t free = s.FirstFreeCluster();
        QVERIFY(free > 0);
        s.HoverOver(free);
        s.Press(Qt::Key_F3);
        QVERIFY(info.isVisible());
        QCOMPARE(s.ReportLines(), lines);

        // The record comes from the caller: with the mouse over a cell past
        // the volume's end the report still opens.
        info.hide();
        s.form.FHoverLCN = s.form.FTotalClusters + 5;
        s.form.ShowBaseInfo(base);
        QVERIFY(info.isVisible());
        QCOMPARE(s.ReportLines(), lines);

        // An unknown base record empties the window without showing it.
        info.hide();
        s.form.ShowBaseInfo(-7);
        QCOMPARE(info.windowTitle(), QString("File Info for Base ID -7"));
        QVERIFY(info.Memo1->toPlainText().isEmpty());
        QVERIFY(!info.isVisible());
    }

    void fragmentationListRanksByTheRunsOfWholeFiles() {
        Scanned s(demo_);
        lorvex::ui::FragmentationWindow& list = s.windows->frm_Fragmentation;
        s.form.Action(ActionId::kFragmentationList)->trigger();
        QVERIFY(list.isVisible());
        QTreeWidget& lv = *list.lv_Fragments;
        QVERIFY(lv.isColumnHidden(0));
        QCOMPARE(lv.headerItem()->text(1), QString("File Name"));
        QCOMPARE(lv.headerItem()->text(2), QString("Fragments"));
        QVERIFY(lv.columnWidth(2) >= std::max(70, lv.header()->sectionSizeHint(2)));
        QMap<qint64, int> byBase;
        int previous = std::numeric_limits<int>::max();
        for (int i = 0; i < lv.topLevelItemCount(); ++i) {
            const QTreeWidgetItem* row = lv.topLevelItem(i);
            const int fragments = row->text(2).toInt();
            // Numerically: 900 above 61 above 60, where text would put 61
            // above 60 above 900.
            QVERIFY2(fragments <= previous, qPrintable(row->text(1)));
            QVERIFY(fragments > 1);
            previous = fragments;
            QVERIFY(!byBase.contains(row->text(0).toLongLong()));
            byBase[row->text(0).toLongLong()] = fragments;
        }
        for (const char* name :
             {"fragmented_1", "fragmented_2", "fragmented_3", "fragmented_4", "fragmented_5"}) {
            const std::string key(name);
            QCOMPARE(byBase.value(std::stoll(facts_.at(key + "_record"))),
                     std::stoi(facts_.at(key + "_runs")));
        }
        // A file whose runs are spread over its extension records counts
        // them all under its base record, and its extension records have no
        // rows of their own.
        const qint64 spread = std::stoll(facts_.at("attrlist_runs_record"));
        QVERIFY(byBase.value(spread) >= std::stoi(facts_.at("attrlist_runs_runs")));
        for (const QString& extension :
             QString::fromStdString(facts_.at("attrlist_runs_extension_records")).split(',')) {
            QVERIFY(!byBase.contains(extension.toLongLong()));
        }
        QVERIFY(lv.topLevelItem(0)->text(0).toLongLong() == spread);

        // Again: the same list, not a doubled one.
        const int rows = lv.topLevelItemCount();
        s.form.Action(ActionId::kFragmentationList)->trigger();
        QCOMPARE(lv.topLevelItemCount(), rows);

        // Without a current or a selected row, Enter opens nothing; a double
        // click opens the base info of the row clicked.
        lv.setCurrentItem(nullptr);
        lv.clearSelection();
        list.OpenActiveRow();
        QVERIFY(!s.windows->frm_Info.isVisible());
        QTreeWidgetItem* pst = nullptr;
        for (int i = 0; i < lv.topLevelItemCount(); ++i) {
            if (lv.topLevelItem(i)->text(0) ==
                QString::fromStdString(facts_.at("fragmented_1_record"))) {
                pst = lv.topLevelItem(i);
            }
        }
        QVERIFY(pst != nullptr);
        QCOMPARE(pst->text(1), WindowsPath(facts_.at("fragmented_1_path")));
        lv.scrollToItem(pst);
        QTest::mouseClick(lv.viewport(), Qt::LeftButton, {}, lv.visualItemRect(pst).center());
        QTest::mouseDClick(lv.viewport(), Qt::LeftButton, {}, lv.visualItemRect(pst).center());
        QVERIFY(s.windows->frm_Info.isVisible());
        QCOMPARE(s.windows->frm_Info.windowTitle(),
                 "File Info for Base ID " +
                     QString::fromStdString(facts_.at("fragmented_1_record")));
    }

    void fastFindMatchesNamesAndLeadingDigitsAndRestartsOnTyping() {
        Scanned s(demo_);
        lorvex::ui::FindWindow& find = s.windows->frmFind;
        s.form.Action(ActionId::kFind)->trigger();
        QVERIFY(lorvex::test::SearchEnded(find));
        QVERIFY(find.isVisible());
        QAbstractItemModel& grid = *find.lstFiles->model();
        const lorvex::ntfs::TFileIDs& table = s.form.Scan()->fileIds;
        auto column = [&](int c) {
            QStringList texts;
            for (int r = 0; r < grid.rowCount(); ++r) {
                texts << grid.index(r, c).data().toString();
            }
            return texts;
        };

        // Every file for an empty text, with the count grouped: a file is
        // its base record, whatever extension records it has.
        int files = 0;
        for (int i = 0; i < table.size(); ++i) {
            files += table[static_cast<std::size_t>(i)].BaseID ==
                             table[static_cast<std::size_t>(i)].FileID
                         ? 1
                         : 0;
        }
        QVERIFY(files > 1000 && files < table.size());
        find.btnFind->click();
        QVERIFY(lorvex::test::SearchEnded(find));
        QCOMPARE(grid.rowCount(), files);
        QCOMPARE(grid.headerData(2, Qt::Horizontal).toString(), QString("Name"));
        QCOMPARE(find.StatusText(),
                 QLocale(QLocale::English, QLocale::UnitedStates).toString(files) +
                     " files found.");

        // Names in any case.
        QTest::keyClicks(find.edtContains, "MSVCRT.DLL");
        QVERIFY(lorvex::test::SearchEnded(find));
        const QString dll = WindowsPath(facts_.at("attrlist_names_path"));
        // Once, though its attributes fill five extension records.
        QCOMPARE(column(2).count(dll), 1);
        for (const QString& name : column(2)) {
            QVERIFY2(name.contains("msvcrt.dll", Qt::CaseInsensitive), qPrintable(name));
        }

        // Leading digits of the record number.
        find.rdo_ID->click();
        QVERIFY(lorvex::test::SearchEnded(find));
        QVERIFY(find.edtContains->text().isEmpty());
        QCOMPARE(grid.rowCount(), files);
        QTest::keyClicks(find.edtContains, "12");
        QVERIFY(lorvex::test::SearchEnded(find));
        const QStringList ids = column(0);
        for (const char* id : {"12", "120", "125", "129", "1200", "1299"}) {
            QVERIFY2(ids.contains(id), id);
        }
        for (const QString& id : ids) {
            QVERIFY2(id.startsWith("12"), qPrintable(id));
        }
        QVERIFY(!ids.contains("1") && !ids.contains("112"));
        find.edtContains->setText(QString::fromStdString(facts_.at("fragmented_1_record")));
        QVERIFY(lorvex::test::SearchEnded(find));
        QCOMPARE(find.StatusText(), QString("1 file found."));
        QCOMPARE(grid.rowCount(), 1);

        // The row's base record opens in the report window.
        find.lstFiles->setCurrentIndex(grid.index(0, 2));
        find.OpenActiveRow();
        QCOMPARE(s.windows->frm_Info.windowTitle(),
                 "File Info for Base ID " +
                     QString::fromStdString(facts_.at("fragmented_1_record")));
        s.windows->frm_Info.hide();

        // No match: one empty row, and a double click on it does nothing.
        find.edtContains->setText("4x");
        QVERIFY(lorvex::test::SearchEnded(find));
        QCOMPARE(find.StatusText(), QString("0 files found."));
        QCOMPARE(grid.rowCount(), 1);
        QVERIFY(grid.index(0, 1).data().toString().isEmpty());
        find.lstFiles->setCurrentIndex(grid.index(0, 1));
        find.OpenActiveRow();
        QVERIFY(!s.windows->frm_Info.isVisible());

        // A key typed while the search runs starts it over with the whole
        // text: the list holds only what matches that, from the table's start.
        find.rdo_Name->click();
        QVERIFY(lorvex::test::SearchEnded(find));
        // The key comes at a later turn of the event loop, after entries that match the first
        // text but not the whole one.
        bool typedDuringSearch = false;
        std::function<void(int)> typeLater = [&](int pumps) {
            if (pumps > 0) {
                QTimer::singleShot(0, find.edtContains, [&, pumps] { typeLater(pumps - 1); });
                return;
            }
            typedDuringSearch = find.IsSearching();
            find.edtContains->insert("\\config");
        };
        typeLater(30);
        find.edtContains->setText("System32");
        QVERIFY(lorvex::test::SearchEnded(find));
        QVERIFY(typedDuringSearch);
        QCOMPARE(find.edtContains->text(), QString("System32\\config"));
        QVERIFY(!find.IsSearching());
        QStringList expected;
        for (int i = 0; i < table.size(); ++i) {
            const QString name = QString::fromStdU16String(table.Path(i));
            if (lorvex::ui::IsFileEntry(table, i) &&
                name.contains("system32\\config", Qt::CaseInsensitive)) {
                expected << name;
            }
        }
        QVERIFY(expected.size() > 1);
        QCOMPARE(column(2), expected);

        // Shown again, the box is empty and every entry listed.
        find.hide();
        s.form.Action(ActionId::kFind)->trigger();
        QVERIFY(lorvex::test::SearchEnded(find));
        QVERIFY(find.edtContains->text().isEmpty());
        QCOMPARE(grid.rowCount(), files);

        // A scan that starts while a search runs: once the new scan is
        // handed over, the rows of the one before are forgotten and the new
        // scan is searched again for the same text, and only it.
        bool scannedDuringSearch = false;
        QTimer::singleShot(0, &s.form, [&s, &find, &scannedDuringSearch] {
            scannedDuringSearch = find.IsSearching();
            s.form.Action(ActionId::kScan)->trigger();
            QVERIFY(s.form.IsScanning());
        });
        const lorvex::ui::TScanResult* before = s.form.Scan();
        find.edtContains->setText("a");
        QTRY_VERIFY(scannedDuringSearch);
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.Scan() != before);
        QTRY_VERIFY(!find.IsSearching() && find.StatusText().endsWith(" files found."));
        QVERIFY(s.form.IsScanned());
        QVERIFY(grid.rowCount() > 100);
        QCOMPARE(find.StatusText(),
                 QLocale(QLocale::English, QLocale::UnitedStates).toString(grid.rowCount()) +
                     " files found.");
        for (const QString& name : column(2)) {
            QVERIFY2(name.contains('a', Qt::CaseInsensitive), qPrintable(name));
        }
    }

    void reportSavesAsUtf8WithLineFeedsButNeverOverASource() {
        Scanned s(demo_);
        lorvex::ui::Tfrm_Info& info = s.windows->frm_Info;
        QStringList notices;
        info.OnNotice = [&notices](const QString& caption, const QString& text) {
            notices << caption + ": " + text;
        };
        // The boot sector's dump holds bytes past ASCII, which UTF-8 writes
        // in two bytes each.
        s.HoverOver(0);
        s.Press(Qt::Key_F2);
        QCOMPARE(info.actSaveAs->shortcut(), QKeySequence(QKeySequence::Save));
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString path = dir.filePath("dump.txt");
        QVERIFY(info.SaveTo(path));
        QVERIFY(notices.isEmpty());
        const std::string saved = lorvex::test::ReadFile(path.toStdString());
        QVERIFY(saved.find('\r') == std::string::npos);
        QVERIFY(saved.ends_with("|\n"));
        QCOMPARE(QString::fromUtf8(saved.data(), static_cast<qsizetype>(saved.size())),
                 s.ReportLines().join('\n') + '\n');
        QVERIFY(saved.starts_with("0000000000000000: EB 52 90 4E 54 46 53 20 20 20 20 00 02 08 00 "
                                  "00  |\xC3\xABR.NTFS    .....|\n"));

        // Over the image shown, or into nowhere: refused, said so, and
        // the image keeps every byte.
        const auto size = fs::file_size(demo_);
        const auto time = fs::last_write_time(demo_);
        QVERIFY(!info.SaveTo(QString::fromStdString(demo_.string())));
        QVERIFY(!info.SaveTo(dir.filePath("no such directory/dump.txt")));
        QCOMPARE(notices,
                 (QStringList{"Save Report: File access denied", "Save Report: File not found"}));
        QCOMPARE(fs::file_size(demo_), size);
        QVERIFY(fs::last_write_time(demo_) == time);
        QVERIFY(!info.SaveTo("/dev/full"));
        QCOMPARE(notices.last(), QString("Save Report: Disk full"));
    }

    void reportCopiesTheSelectionOrTheWholeText() {
        Scanned s(demo_);
        lorvex::ui::Tfrm_Info& info = s.windows->frm_Info;
        s.HoverOver(0);
        s.Press(Qt::Key_F1);
        QVERIFY(info.isVisible());
        QApplication::clipboard()->clear();
        QTest::keyClick(info.Memo1, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), s.ReportLines().join('\n') + '\n');

        QTextCursor cursor = info.Memo1->textCursor();
        cursor.movePosition(QTextCursor::Start);
        cursor.movePosition(QTextCursor::EndOfLine, QTextCursor::KeepAnchor);
        info.Memo1->setTextCursor(cursor);
        QTest::keyClick(info.Memo1, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), s.ReportLines().first());
        info.actCopy->trigger();
        QCOMPARE(QApplication::clipboard()->text(), s.ReportLines().first());
    }

    void keptReportStaysWhileTheNextOpensApart() {
        Scanned s(demo_);
        lorvex::ui::Tfrm_Info& info = s.windows->frm_Info;
        QList<std::int64_t> shown;
        info.OnShowOnMap = [&shown](std::int64_t index) { shown << index; };
        const std::int64_t record = std::stoll(facts_.at("fragmented_1_record"));
        const std::int32_t index = s.form.Scan()->fileIds.IndexOfID(record);
        s.form.ShowBaseInfo(record);
        QVERIFY(info.isVisible());
        QVERIFY(info.actShowOnMap->isEnabled());
        info.actShowOnMap->trigger();
        QCOMPARE(shown, QList<std::int64_t>{index});
        const QStringList report = s.ReportLines();
        const QString caption = info.windowTitle();

        QPointer<lorvex::ui::Tfrm_Info> kept = info.KeepOpen();
        QVERIFY(kept);
        QVERIFY(kept->isVisible());
        QVERIFY(kept->IsKept());
        QVERIFY(!kept->actKeepOpen->isVisible());
        QCOMPARE(kept->windowTitle(), caption);
        QCOMPARE(kept->Memo1->toPlainText().split('\n'), report);
        QVERIFY(!info.isVisible());
        QVERIFY(info.Memo1->toPlainText().isEmpty());

        // The next report goes to the report window, beside the kept one,
        // whose file still goes to the main window's hook.
        s.HoverOver(0);
        s.Press(Qt::Key_F2);
        QVERIFY(info.isVisible());
        QCOMPARE(info.windowTitle(), QString("Hex Dump for Cluster 0"));
        QVERIFY(info.pos() != kept->pos());
        QCOMPARE(kept->windowTitle(), caption);
        QCOMPARE(kept->Memo1->toPlainText().split('\n'), report);
        kept->actShowOnMap->trigger();
        QCOMPARE(shown, (QList<std::int64_t>{index, index}));
        // A hex dump shows the file its cluster belongs to: the boot file.
        info.actShowOnMap->trigger();
        QCOMPARE(shown.last(), std::int64_t{s.form.Scan()->fileIds.IndexOfID(7)});

        // Escape closes the kept window for good; the report window only
        // hides.
        QTest::keyClick(kept->Memo1, Qt::Key_Escape);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!kept);
        QTest::keyClick(info.Memo1, Qt::Key_Escape);
        QVERIFY(!info.isVisible());
        QCOMPARE(info.windowTitle(), QString("Hex Dump for Cluster 0"));
    }

    void hexDumpStepsThroughTheVolumesClusters() {
        Scanned s(demo_);
        lorvex::ui::Tfrm_Info& info = s.windows->frm_Info;
        const auto firstLine = [this](std::int64_t lcn) {
            const std::string bytes =
                lorvex::test::ReadRange(demo_, static_cast<std::uint64_t>(lcn) * 4096, 16);
            if (bytes.size() != 16) {
                return QString("(cluster %1 not read)").arg(lcn);
            }
            QString line = QString("%1:").arg(lcn * 4096, 16, 16, QChar('0')).toUpper();
            for (const char b : bytes) {
                line +=
                    QString(" %1").arg(static_cast<unsigned char>(b), 2, 16, QChar('0')).toUpper();
            }
            return line;
        };
        s.HoverOver(0);
        s.Press(Qt::Key_F2);
        QVERIFY(info.actNextCluster->isVisible());
        QVERIFY(!info.actPreviousCluster->isEnabled());
        // Before the first cluster there is nothing to step to.
        QTest::keyClick(info.Memo1, Qt::Key_PageUp);
        QCOMPARE(info.windowTitle(), QString("Hex Dump for Cluster 0"));
        QTest::keyClick(info.Memo1, Qt::Key_PageDown);
        QCOMPARE(info.windowTitle(), QString("Hex Dump for Cluster 1"));
        QCOMPARE(info.HexDumpCluster(), 1);
        QVERIFY(s.ReportLines().first().startsWith(firstLine(1)));
        QCOMPARE(s.ReportLines().size(), 256);
        info.actNextCluster->trigger();
        info.actNextCluster->trigger();
        QCOMPARE(info.windowTitle(), QString("Hex Dump for Cluster 3"));
        QVERIFY(s.ReportLines().first().startsWith(firstLine(3)));
        QTest::keyClick(info.Memo1, Qt::Key_PageUp);
        QCOMPARE(info.windowTitle(), QString("Hex Dump for Cluster 2"));
        QVERIFY(s.ReportLines().first().startsWith(firstLine(2)));

        // At the volume's last cluster, Next stays there.
        const std::int64_t last = s.form.FTotalClusters - 1;
        s.HoverOver(last);
        s.Press(Qt::Key_F2);
        QCOMPARE(info.windowTitle(), QString("Hex Dump for Cluster %1").arg(last));
        QVERIFY(!info.actNextCluster->isEnabled());
        QTest::keyClick(info.Memo1, Qt::Key_PageDown);
        QCOMPARE(info.HexDumpCluster(), last);
        QVERIFY(s.ReportLines().first().startsWith(firstLine(last)));

        // A kept dump steps on its own, leaving the report window be.
        lorvex::ui::Tfrm_Info* kept = info.KeepOpen();
        QVERIFY(kept != nullptr);
        QTest::keyClick(kept->Memo1, Qt::Key_PageUp);
        QCOMPARE(kept->windowTitle(), QString("Hex Dump for Cluster %1").arg(last - 1));
        QVERIFY(!info.isVisible());

        // Other reports page through their text as before.
        s.HoverOver(0);
        s.Press(Qt::Key_F1);
        QVERIFY(!info.actNextCluster->isVisible());
        QCOMPARE(info.HexDumpCluster(), -1);
        QTest::keyClick(info.Memo1, Qt::Key_PageDown);
        QCOMPARE(info.windowTitle(), QString("File Info for Cluster 0"));
        kept->close();
    }
};

} // namespace

int main(int argc, char** argv) {
    return lorvex::test::RunWindowTest<ReportsTest>(argc, argv, "LorvexReportTests");
}
#include "ReportsTest.moc"

// The reports, the Tools windows and the export, driven as a user drives them
// on the offscreen platform over the demo volume.
#include "ntfs/FileTable.h"
#include "ntfs/NTFSVolume.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"
#include "ui/InfoWindow.h"
#include "ui/LorvexWindows.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <memory>

namespace {

using lorvex::platform::RawVolumeSystem;
using lorvex::ui::TForm1;
using lorvex::ui::TLorvexWindows;
namespace fs = std::filesystem;

// The demo volume as drive C:, scanned, with the message boxes recorded.
struct Scanned {
    explicit Scanned(const fs::path& demo)
        : system(std::make_unique<RawVolumeSystem>(std::vector<std::string>{demo.string()})),
          windows(std::make_unique<TLorvexWindows>(*system)), form(windows->Form1) {
        lorvex::ui::TUserNotices notices;
        notices.beep = [] {};
        notices.message = [this](const QString& caption, const QString& text) {
            messages << caption + ": " + text;
        };
        form.SetUserNotices(notices);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.mnuDrive->actions().first()->trigger();
        QVERIFY(form.FScanned);
    }

    // Puts the mouse over a cluster, scrolling it into view first.
    void HoverOver(std::int64_t lcn) const {
        const auto row = static_cast<int>(lcn / form.FCellsPerRow);
        form.scroller->setValue(row);
        const QPoint at(static_cast<int>(lcn % form.FCellsPerRow), row - form.scroller->value());
        QWidget* surface = form.MapSurface();
        QMouseEvent move(QEvent::MouseMove, QPointF(at), surface->mapToGlobal(QPointF(at)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(surface, &move);
        QCOMPARE(form.FHoverLCN, lcn);
    }
    void Press(Qt::Key key) const { QTest::keyClick(form.MapSurface(), key); }

    [[nodiscard]] QStringList ReportLines() const {
        return windows->frm_Info.Memo1->toPlainText().split('\n');
    }

    std::unique_ptr<RawVolumeSystem> system;
    std::unique_ptr<TLorvexWindows> windows;
    TForm1& form;
    QStringList messages;
};

class ReportsTest : public QObject {
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

    void exportIsTheScannersAndOutlivesAFullDisk() {
        Scanned s(demo_);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());

        s.form.ExportTo("/dev/full");
        QCOMPARE(s.messages, QStringList{"Lorvex: Disk full"});
        s.form.ExportTo(dir.filePath("no such directory/table.txt"));
        QCOMPARE(s.messages.last(), QString("Lorvex: File not found"));

        // After the failures an export works, and twice to one name
        // replaces the file.
        const QString mine = dir.filePath("table.txt");
        s.form.ExportTo(mine);
        s.form.ExportTo(mine);
        QCOMPARE(s.messages.size(), 4);
        QCOMPARE(s.messages.last(), QString("Lorvex: OK"));

        const QString theirs = dir.filePath("scanner.txt");
        QProcess scanner;
        scanner.start(QString::fromLocal8Bit(qgetenv("LORVEX_SCAN")),
                      {"--export", theirs, QString::fromStdString(demo_.string())});
        QVERIFY(scanner.waitForFinished(120000));
        QCOMPARE(scanner.exitCode(), 0);
        const std::string exported = lorvex::test::ReadFile(mine.toStdString());
        QVERIFY(exported.size() > 100000);
        QVERIFY(exported == lorvex::test::ReadFile(theirs.toStdString()));
        QVERIFY(exported.starts_with("Item:0 Base:0 Name:\\$MFT Type:SYSFILE\r\n"));
    }
};

} // namespace

QTEST_MAIN(ReportsTest)
#include "ReportsTest.moc"

// The windows as a user meets them, on the offscreen platform: the drive
// menu, a scan with its progress in the status bar, the map and the zoom window, the
// mark, resizing and the wheel, and what goes wrong on the way.
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/NumberFormat.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "support/CellReference.h"
#include "support/Decoys.h"
#include "support/FakeVolumeApi.h"
#include "support/Volumes.h"
#include "ui/CellMap.h"
#include "ui/HelpWindow.h"
#include "ui/LorvexWindows.h"
#include "ui/ScanController.h"
#include "ui/UiTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolBar>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <stdexcept>

namespace {

using lorvex::ui::ActionId;
using lorvex::ui::MenuId;

using lorvex::platform::RawVolumeSystem;
using lorvex::ui::MainWindow;
using lorvex::ui::TLorvexWindows;
namespace fs = std::filesystem;

using lorvex::test::WindowsPath;
using lorvex::test::WorkEnded;

QStringList Titles(const QSignalSpy& spy) {
    QStringList titles;
    for (const QList<QVariant>& args : spy) {
        titles << args.at(0).toString();
    }
    return titles;
}

// One set of windows over a set of sources, recording what would beep or
// open a message box.
struct Session {
    explicit Session(const std::vector<std::string>& sources)
        : system(std::make_unique<RawVolumeSystem>(sources)),
          windows(std::make_unique<TLorvexWindows>(*system)), form(windows->Form1) {
        lorvex::ui::TUserNotices notices;
        notices.beep = [this] { ++beeps; };
        notices.message = [this](const QString& caption, const QString& text) {
            messages << caption + ": " + text;
        };
        form.SetUserNotices(notices);
        // The Zoom panel floats, so that the map has the window's designed
        // width to itself.
        form.findChild<QDockWidget*>("ZoomDock")->setFloating(true);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
    }

    QAction* Drive(char letter) const {
        return form.findChild<QAction*>(QString("DRIVE_") + QChar(letter));
    }
    QString ZoomName() const { return windows->frm_Help.lbl_Name->toPlainText(); }
    QString ZoomLCN() const { return windows->frm_Help.lbl_LCN->text(); }

    // The window pixel that shows a cluster, scrolling it into view first.
    QPoint PointOf(std::int64_t lcn) const {
        const lorvex::map::TMapView& view = form.View();
        const std::int64_t cell = lcn / view.Scale().clustersPerPixel;
        const std::int64_t row = cell / view.CellsPerRow();
        if (row < view.TopRow() || row >= view.TopRow() + view.FullRows()) {
            form.ScrollToRow(row);
        }
        const int p = view.RowPixels();
        return {static_cast<int>(cell % view.CellsPerRow()) * p,
                static_cast<int>(row - view.TopRow()) * p};
    }
    // The palette index the screen shows at a pixel.
    int ScreenIndex(QPoint at) const { return form.FScreen.pixelIndex(at); }
    std::uint8_t StateOf(std::int64_t lcn) const { return form.Model()->StateAt(lcn); }
    // A move straight to the surface: the platform drops a synthetic move
    // to where the pointer already is, as it is when a new window opens
    // under it.
    void Hover(QPoint at) const {
        QWidget* surface = form.MapSurface();
        QMouseEvent move(QEvent::MouseMove, QPointF(at), surface->mapToGlobal(QPointF(at)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(surface, &move);
    }
    // What the window's scans say as their stages begin.
    lorvex::ui::ScanController* Scanner() const {
        return form.findChild<lorvex::ui::ScanController*>();
    }
    QWidget* ProgressArea() const { return form.findChild<QWidget*>("ProgressArea"); }
    bool IsHeldOff() const {
        bool off = !form.Action(ActionId::kScan)->isEnabled() &&
                   !form.Action(ActionId::kExport)->isEnabled() &&
                   !form.Action(ActionId::kFragmentationList)->isEnabled();
        for (QAction* item : form.DriveActions()) {
            off = off && !item->isEnabled();
        }
        return off;
    }

    std::unique_ptr<RawVolumeSystem> system;
    std::unique_ptr<TLorvexWindows> windows;
    MainWindow& form;
    int beeps = 0;
    QStringList messages;
};

// The file-table index of a record, and one cluster of each of its extents.
std::vector<std::int64_t> ClustersOfRecord(const MainWindow& form, std::int64_t record) {
    const std::int32_t index = form.Scan()->fileIds.IndexOfID(record);
    std::vector<std::int64_t> lcns;
    for (const auto& extent : form.Scan()->clusters) {
        if (static_cast<std::int32_t>(extent.FileIndex) == index) {
            lcns.push_back(extent.LCN + extent.Length / 2);
        }
    }
    return lcns;
}

// Answers the next modal input box once it is up.
void AnswerInputBox(const QString& text, bool accept, QString* seenTitle, QString* seenPreset) {
    QTimer::singleShot(0, [=] {
        auto* box = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            AnswerInputBox(text, accept, seenTitle, seenPreset);
            return;
        }
        *seenTitle = box->windowTitle() + "|" + box->labelText();
        *seenPreset = box->textValue();
        box->setTextValue(text);
        accept ? box->accept() : box->reject();
    });
}

// A scan held at one of its stages until the test lets it go on: the
// window's work lasts as long as the test needs.
struct HeldScan {
    std::promise<void> release;
    std::shared_future<void> released{release.get_future().share()};
    std::shared_ptr<std::atomic<bool>> reached = std::make_shared<std::atomic<bool>>(false);
    void HoldAt(MainWindow& form, std::string_view held) {
        form.SetScanProbe([released = released, reached = reached, held](std::string_view stage) {
            if (stage == held) {
                reached->store(true);
                released.wait();
            }
        });
    }
    void Release() { release.set_value(); }
};

class MainWindowTest : public QObject {
    Q_OBJECT

  private:
    fs::path demo_ = lorvex::test::VolumeDir() / "demo.img";
    fs::path small_ = lorvex::test::VolumeDir() / "ntfs-4k.img";
    fs::path fat_ = lorvex::test::VolumeDir() / "fat.img";
    std::map<std::string, std::string> facts_;

    std::vector<std::string> Sources() const {
        return {demo_.string(), small_.string(), fat_.string()};
    }

  private slots:
    void initTestCase() {
        if (!fs::exists(demo_) || !fs::exists(small_) || !fs::exists(fat_)) {
            QSKIP("the test volumes have not been generated");
        }
        facts_ = lorvex::test::ReadFacts(lorvex::test::VolumeDir() / "demo.img.facts");
        QVERIFY(!facts_.empty());
    }

    void startsWithFiveWindowsAndTheFixedDrives() {
        Session s(Sources());
        TLorvexWindows& w = *s.windows;
        QCOMPARE(s.form.windowTitle(), QString("Lorvex"));
        QCOMPARE(s.form.centralWidget()->width(), 690);
        QCOMPARE(s.form.centralWidget()->height() + s.form.sb->height(), 536);
        QCOMPARE(s.form.sb->height(), 22);
        QCOMPARE(s.form.scroller->x(), 640);
        QCOMPARE(s.form.FViewRight, 638);
        QCOMPARE(s.form.FViewBottom, 513);
        QCOMPARE(w.frm_Info.size(), QSize(702, 371));
        QCOMPARE(w.frmFind.windowTitle(), QString("Fast Find"));
        QCOMPARE(w.frmFind.size(), QSize(677, 396));
        QCOMPARE(w.frm_Fragmentation.windowTitle(), QString("Fragmentation List"));
        QCOMPARE(w.frm_Fragmentation.size(), QSize(603, 345));
        for (QWidget* other :
             std::initializer_list<QWidget*>{&w.frm_Info, &w.frmFind, &w.frm_Fragmentation}) {
            QVERIFY2(!other->isVisible(), qPrintable(other->objectName()));
        }
        QCOMPARE(s.windows->frm_Help.lbl_LCN->text(), QString("..."));
        QVERIFY(!s.ProgressArea()->isVisible());

        QStringList captions;
        for (QAction* item : s.form.DriveActions()) {
            captions << item->objectName() + "=" + item->text();
        }
        QCOMPARE(captions,
                 (QStringList{"DRIVE_C=C: Demo", "DRIVE_D=D: Lorvex4K", "DRIVE_E=E: LORVEXFAT"}));

        // Before any drive: "Scan!" changes nothing and the zoom window only
        // knows that nothing is scanned.
        QSignalSpy titles(s.Scanner(), &lorvex::ui::ScanController::stageStarted);
        s.form.Action(ActionId::kScan)->trigger();
        QVERIFY(!s.form.IsScanning());
        QCOMPARE(titles.count(), 0);
        QVERIFY(s.form.StatusText().isEmpty());
        QVERIFY(!s.form.Model());
        QVERIFY(s.form.Action(ActionId::kZoomWindow)->isChecked());
        QVERIFY(w.frm_Help.isVisible());
        s.Hover({10, 10});
        QCOMPARE(s.ZoomName(), QString("Volume not scanned!"));
    }

    void drivesPastZAreInTheDriveMenu() {
        // 26 drives: C: to Z:, then two known only by their volume names.
        const std::vector<std::string> sources(26, small_.string());
        Session s(sources);
        const QList<QAction*> items = s.form.DriveActions();
        QCOMPARE(items.size(), 26);
        QCOMPARE(items[23]->text(), QString("Z: Lorvex4K"));
        const QString last = items.back()->text();
        QVERIFY2(last.startsWith("\\\\?\\Volume{") && last.endsWith("} Lorvex4K"),
                 qPrintable(last));
        QVERIFY(items[24]->text() != last);
        items.back()->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        QVERIFY(s.form.FDriveRoot.starts_with("\\\\?\\Volume{"));
        QVERIFY(s.form.Scan()->fileIds.size() > 1000);
    }

    void choosingADriveScansItStageByStage() {
        Session s(Sources());
        TLorvexWindows& w = *s.windows;
        QSignalSpy titles(s.Scanner(), &lorvex::ui::ScanController::stageStarted);
        QString hoverDuringScan;
        bool commandsHeldOff = false;
        connect(s.Scanner(), &lorvex::ui::ScanController::stageStarted, this,
                [&](const QString& title) {
                    if (title !=
                        QString::fromUtf8(lorvex::ntfs::kStageEnumeratingClusters.data())) {
                        return;
                    }
                    // No drive was shown before: none is until the scan ends.
                    s.Hover({5, 1});
                    hoverDuringScan = s.ZoomName();
                    // Another drive, "Scan!" and the Tools commands that read
                    // the tables are held off while they are being built.
                    commandsHeldOff = s.IsHeldOff();
                    s.Drive('D')->trigger();
                    s.form.mnusubDriveClick(s.Drive('D'));
                    s.form.mnuScanClick();
                    s.form.ScanVolume();
                });

        s.Drive('C')->trigger();
        QVERIFY(s.form.IsScanning());
        QVERIFY(WorkEnded(s.form));

        QCOMPARE(Titles(titles),
                 (QStringList{"enumerating files", "parsing directories",
                              "calculating real file size", "enumerating clusters",
                              "getting fragments", "painting clusters", "sorting clusters"}));
        QVERIFY(commandsHeldOff);
        QCOMPARE(hoverDuringScan, QString("Volume not scanned!"));
        QVERIFY(s.form.IsScanned());
        QVERIFY(!s.form.IsScanning());
        QVERIFY(!s.ProgressArea()->isVisible());
        QVERIFY(s.Drive('D')->isEnabled());
        QCOMPARE(s.form.FDriveRoot, std::string("C:\\"));
        QCOMPARE(s.form.FTotalClusters, std::stoll(facts_.at("total_clusters")));
        QCOMPARE(s.form.Scan()->volume->drive(), std::string("C:"));
        QVERIFY(s.messages.isEmpty());
        QCOMPARE(s.beeps, 0);

        if (lorvex::ntfs::NumberFormat::FromLocale("en_US.UTF-8")) {
            QCOMPARE(s.form.StatusText(), QString("65,535 clusters (0.25 GB) on drive C:\\ "));
        }
        QVERIFY(w.frm_Help.isVisible());
        QVERIFY(s.form.Action(ActionId::kZoomWindow)->isChecked());

        // At one cluster a pixel, 65,535 clusters in rows of 639: 102 full rows and 357 cells, then
        // the colour of the end, then the window below.
        s.form.Action(ActionId::kActualSize)->trigger();
        QCOMPARE(s.form.FCellsPerRow, 639);
        QCOMPARE(s.form.View().RowCount(), 103);
        QCOMPARE(s.form.FScreen.format(), QImage::Format_Indexed8);
        QCOMPARE(s.form.FScreen.size(), QSize(639, 514));
        for (int x = 0; x < 639; ++x) {
            const bool beyond = s.ScreenIndex({x, 102}) == lorvex::ui::csBeyondEnd;
            QVERIFY2(beyond == (x >= 357), qPrintable(QString::number(x)));
        }
        QCOMPARE(s.form.FOverviewBitmap.size(), QSize(32, 513));
        QCOMPARE(s.form.SurfacePixel(3, 0), s.form.FPalette[s.StateOf(3)]);
        QCOMPARE(s.form.SurfacePixel(400, 102), qRgb(236, 233, 216));
        QCOMPARE(s.form.SurfacePixel(400, 103),
                 s.form.MapSurface()->palette().color(QPalette::Window).rgb());

        // Closing the zoom window takes the check mark off "Zoom"; "Zoom"
        // brings it back.
        w.frm_Help.close();
        QVERIFY(!s.form.Action(ActionId::kZoomWindow)->isChecked());
        s.form.Action(ActionId::kZoomWindow)->trigger();
        QVERIFY(w.frm_Help.isVisible());
        s.form.Action(ActionId::kZoomWindow)->trigger();
        QVERIFY(!w.frm_Help.isVisible());
    }

    void hoverNamesTheOwnerTheZoneOrFreeSpace() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        const MainWindow& f = s.form;

        const auto lcns = ClustersOfRecord(f, std::stoll(facts_.at("fragmented_1_record")));
        QCOMPARE(lcns.size(), std::size_t{60});
        const QString pst = WindowsPath(facts_.at("fragmented_1_path")) + "::$DATA";
        for (const std::int64_t lcn : {lcns.front(), lcns[30], lcns.back()}) {
            s.Hover(s.PointOf(lcn));
            QCOMPARE(s.ZoomLCN(), QString::number(lcn));
            QCOMPARE(s.ZoomName(), pst);
            QCOMPARE(f.FHoverLCN, lcn);
        }
        // The zoom shows the hovered cell in the middle, eight times over.
        const QImage zoom = s.windows->frm_Help.ZoomPicture();
        QCOMPARE(zoom.size(), QSize(73, 73));
        QCOMPARE(zoom.pixel(33, 33), qRgb(255, 0, 0));
        QCOMPARE(zoom.pixel(36, 36), qRgb(255, 0, 0));
        QCOMPARE(zoom.pixel(35, 36), qRgb(0, 255, 255)); // the cross, inverted

        // A directory's index.
        const std::int32_t root = f.Scan()->fileIds.IndexOfID(lorvex::ntfs::kRootDirectory);
        const auto index =
            std::find_if(f.Scan()->clusters.begin(), f.Scan()->clusters.end(), [&](const auto& e) {
                return static_cast<std::int32_t>(e.FileIndex) == root && e.AttrType == 0xA0;
            });
        QVERIFY(index != f.Scan()->clusters.end());
        s.Hover(s.PointOf(index->LCN));
        QCOMPARE(s.ZoomName(),
                 QString::fromStdU16String(f.Scan()->fileIds.Path(root)) + "::$INDEX_ALLOCATION");

        // Unowned clusters, inside the MFT zone and outside it.
        std::int64_t zone = -1, free = -1;
        for (std::int64_t lcn = 0; lcn < f.FTotalClusters && (zone < 0 || free < 0); ++lcn) {
            if (lorvex::ntfs::FindClusterOwner(f.Scan()->clusters, lcn) != -1) {
                continue;
            }
            const bool inZone = f.Scan()->volume->geometry().mftZoneStart <= lcn &&
                                lcn < f.Scan()->volume->geometry().mftZoneEnd;
            if (inZone && zone < 0) {
                zone = lcn;
                QCOMPARE(s.StateOf(lcn), std::uint8_t{lorvex::ui::csMFTZone});
            } else if (!inZone && lcn != f.Scan()->volume->geometry().mftZoneEnd && free < 0 &&
                       s.StateOf(lcn) == lorvex::ui::csFree) {
                free = lcn;
            }
        }
        QVERIFY(zone >= 0);
        QVERIFY(free >= 0);
        s.Hover(s.PointOf(zone));
        QCOMPARE(s.ZoomName(), QString("MFT Zone"));
        s.Hover(s.PointOf(free));
        QCOMPARE(s.ZoomName(), QString("FREE"));

        // Below the last row: the last cluster; right of the map: the last
        // cell of the row.
        s.form.Action(ActionId::kActualSize)->trigger();
        s.form.ScrollToRow(0);
        s.Hover({5, 300});
        QCOMPARE(f.FHoverLCN, f.FTotalClusters - 1);
        s.Hover({655, 4});
        QCOMPARE(f.FHoverLCN, 4 * 639 + 638);
        // Over the overview strip: the clusters of that pixel of the strip,
        // 65,535 / (32 x 513) = 3 of them.
        s.Hover({f.OverviewLeft() + 13, 4});
        QCOMPARE(f.FHoverLCN / 3, (4 * 32 + 13));
        QVERIFY2(f.HoverText().startsWith(
                     QString("Clusters %1-%2: ").arg((4 * 32 + 13) * 3).arg((4 * 32 + 13) * 3 + 2)),
                 qPrintable(f.HoverText()));
    }

    void markRecoloursAFileWhiteAndAnEmptyMarkRestoresIt() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        const auto lcns = ClustersOfRecord(s.form, std::stoll(facts_.at("fragmented_1_record")));
        const auto pagefile = ClustersOfRecord(s.form, std::stoll(facts_.at("pagefile_record")));
        QVERIFY(!pagefile.empty());
        QCOMPARE(s.StateOf(pagefile.front()), std::uint8_t{lorvex::ui::csPagefile});
        const auto colourOf = [&](std::int64_t lcn) { return s.ScreenIndex(s.PointOf(lcn)); };
        // What the scan handed over stays as it was, for every view holding it.
        const lorvex::ntfs::TClusterArray handed = s.form.Scan()->clusters;

        QString title, preset;
        AnswerInputBox("ALICE.PST", true, &title, &preset);
        s.form.Action(ActionId::kMark)->trigger();
        QVERIFY(s.form.Scan()->clusters.size() == handed.size());
        QVERIFY(std::equal(handed.begin(), handed.end(), s.form.Scan()->clusters.begin(),
                           [](const auto& a, const auto& b) {
                               return a.LCN == b.LCN && a.Length == b.Length &&
                                      a.FileIndex == b.FileIndex;
                           }));
        QCOMPARE(title, QString("Mark file|Enter file name or part of path to mark"));
        QCOMPARE(preset, QString());
        for (const std::int64_t lcn : lcns) {
            QCOMPARE(s.StateOf(lcn), std::uint8_t{lorvex::ui::csMarked});
            QCOMPARE(colourOf(lcn), int{lorvex::ui::csMarked});
        }
        QCOMPARE(s.form.FPalette[lorvex::ui::csMarked], qRgb(255, 255, 255));
        QCOMPARE(s.StateOf(pagefile.front()), std::uint8_t{lorvex::ui::csPagefile});
        // The map is back in cluster order for the lookups.
        s.Hover(s.PointOf(lcns[3]));
        QCOMPARE(s.ZoomName(), WindowsPath(facts_.at("fragmented_1_path")) + "::$DATA");

        // Cancel, or the same text again, paints nothing.
        const std::size_t painted = s.form.Model()->RangeCount();
        const lorvex::map::TMapModel* model = s.form.Model();
        AnswerInputBox("other", false, &title, &preset);
        s.form.Action(ActionId::kMark)->trigger();
        QCOMPARE(preset, QString("ALICE.PST"));
        AnswerInputBox("ALICE.PST", true, &title, &preset);
        s.form.Action(ActionId::kMark)->trigger();
        QCOMPARE(s.form.Model(), model);
        QCOMPARE(s.form.Model()->RangeCount(), painted);

        AnswerInputBox("", true, &title, &preset);
        s.form.Action(ActionId::kMark)->trigger();
        for (const std::int64_t lcn : lcns) {
            QCOMPARE(s.StateOf(lcn), std::uint8_t{lorvex::ui::csFragmented});
            QCOMPARE(colourOf(lcn), int{lorvex::ui::csFragmented});
        }
    }

    void resizeRebuildsThePictureAndTheWheelMovesATenthOfTheViewANotch() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        MainWindow& f = s.form;
        f.Action(ActionId::kActualSize)->trigger();

        const int menu = f.height() - f.centralWidget()->height() - f.sb->height();
        // The Zoom dock beside the map takes this much of the window's width.
        const int side = f.width() - f.centralWidget()->width();
        f.resize(side + 300, menu + 22 + 250);
        QTRY_COMPARE(f.centralWidget()->height(), 250);
        QCOMPARE(f.FCellsPerRow, 249);
        QCOMPARE(f.FViewBottom, 249);
        const int rows = (65535 + 248) / 249;
        QCOMPARE(f.View().RowCount(), rows);
        QCOMPARE(f.FScreen.width(), 249);
        QCOMPARE(f.scroller->maximum(), rows - 249 - 1);
        QCOMPARE(f.scroller->pageStep(), 249);
        QCOMPARE(f.FOverviewBitmap.height(), 249);

        const QPoint at(10, 20);
        s.Hover(at);
        QCOMPARE(f.FHoverLCN, 10 + 20 * 249);
        const auto wheel = [&](int delta) {
            QWheelEvent event(QPointF(at), f.MapSurface()->mapToGlobal(QPointF(at)), QPoint(),
                              QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                              false);
            QApplication::sendEvent(f.MapSurface(), &event);
        };
        // A notch is a tenth of the 100 rows in view, at the top or not.
        f.resize(side + 300, menu + 22 + 100);
        QTRY_COMPARE(f.FViewBottom, 99);
        wheel(120); // away from the user at the top: stays
        QCOMPARE(f.scroller->value(), 0);
        wheel(-120);
        QCOMPARE(f.scroller->value(), 10);
        QCOMPARE(f.FHoverLCN, 10 + 30 * 249);
        QCOMPARE(s.ZoomLCN(), QString::number(10 + 30 * 249));
        wheel(-60); // half a notch waits for the other half
        QCOMPARE(f.scroller->value(), 10);
        wheel(-60);
        QCOMPARE(f.scroller->value(), 20);
        wheel(-240);
        QCOMPARE(f.scroller->value(), 40);
        QCOMPARE(f.SurfacePixel(0, 0), f.FPalette[s.StateOf(40 * 249)]);
        wheel(-120 * 100); // past the end: the last row at the bottom
        QCOMPARE(f.scroller->value(), rows - 100);

        f.resize(side + 400, menu + 22 + 250);
        QTRY_COMPARE(f.FCellsPerRow, 349);
        QCOMPARE(f.scroller->value(), 0);
        QCOMPARE(f.FScreen.width(), 349);
        QCOMPARE(s.ScreenIndex({5, 1}), int{s.StateOf(349 + 5)});
    }

    // At one pixel a cluster in the window's designed size, what the window
    // paints is the one-byte-per-cluster map it first had, pixel for pixel.
    void theDefaultViewIsTheFullResolutionPicturePixelForPixel() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        MainWindow& f = s.form;
        f.Action(ActionId::kActualSize)->trigger();
        lorvex::reference::TCellArray cells(f.Model()->TotalClusters());
        QVERIFY(lorvex::reference::ReadBitmapCells(*s.system, "C:\\", cells));
        lorvex::ntfs::TClusterArray byOwner = f.Scan()->clusters;
        lorvex::ntfs::SortClustersByFileIndex(byOwner);
        lorvex::reference::TPaintInput in;
        in.mftZoneStart = f.Scan()->volume->geometry().mftZoneStart;
        in.mftZoneEnd = f.Scan()->volume->geometry().mftZoneEnd;
        in.fileIds = &f.Scan()->fileIds;
        in.clusters = &byOwner;
        lorvex::reference::PaintCells(cells, in);

        QCOMPARE(f.MapSurface()->size(), QSize(690, 514));
        const QImage painted =
            f.MapSurface()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QRgb window = f.MapSurface()->palette().color(QPalette::Window).rgb();
        std::vector<std::uint8_t> row(639);
        int differing = 0;
        for (int y = 0; y < 514; ++y) {
            const bool mapRow = y < 103;
            if (mapRow) {
                lorvex::reference::FillMapRow(cells, std::int64_t{y} * 639, 639, row.data());
            }
            for (int x = 0; x < 639; ++x) {
                // The cursor's frame and arms on cluster 0 are not the map's.
                if (x < 8 && y < 8) {
                    continue;
                }
                const QRgb want = mapRow ? f.FPalette[row[static_cast<std::size_t>(x)]] : window;
                differing += (painted.pixel(x, y) & 0xFFFFFFU) != (want & 0xFFFFFFU) ? 1 : 0;
            }
        }
        QCOMPARE(differing, 0);
    }

    void zoomAndNavigationFromTheKeysTheWheelTheStripAndGoTo() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        MainWindow& f = s.form;
        QWidget* surface = f.MapSurface();
        const lorvex::map::TMapView& view = f.View();
        QVERIFY(f.Fitted());
        f.Action(ActionId::kActualSize)->trigger();
        QCOMPARE(view.Scale(), lorvex::map::TMapScale{});

        // Ctrl and the wheel zoom around the pointer; + and - step.
        const auto wheel = [&](QPoint at, int delta, Qt::KeyboardModifiers mods) {
            QWheelEvent event(QPointF(at), surface->mapToGlobal(QPointF(at)), QPoint(),
                              QPoint(0, delta), Qt::NoButton, mods, Qt::NoScrollPhase, false);
            QApplication::sendEvent(surface, &event);
        };
        s.Hover({100, 50});
        const std::int64_t under = f.FHoverLCN;
        wheel({100, 50}, 120, Qt::ControlModifier);
        QCOMPARE(view.Scale(), (lorvex::map::TMapScale{2, 1}));
        // The whole volume fits at this size: the view is at its top.
        QVERIFY(under > 0);
        QCOMPARE(view.TopRow(), 0);
        QTest::keyClick(surface, Qt::Key_Plus);
        QTest::keyClick(surface, Qt::Key_Plus);
        QTest::keyClick(surface, Qt::Key_Plus);
        QTest::keyClick(surface, Qt::Key_Plus); // past the largest cell: stays
        QCOMPARE(view.Scale(), (lorvex::map::TMapScale{16, 1}));
        // Magnified cells: the zoom window shows nine cells, not nine pixels
        // of one cell.
        s.Hover({16 * 4 + 3, 16 * 4 + 3});
        const QImage zoom = s.windows->frm_Help.ZoomPicture();
        QCOMPARE(zoom.pixel(4, 4), f.SurfacePixel(3, 3));
        QCOMPARE(zoom.pixel(8 + 4, 4), f.SurfacePixel(16 + 3, 3));
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(surface, Qt::Key_Minus);
        }
        // The whole volume fits at a pixel a cluster: out stops there.
        QCOMPARE(view.Scale(), lorvex::map::TMapScale{});

        // In a smaller window, 100 rows of 249: the fit is 3 clusters a
        // pixel, and a summary pixel is named with its range and the kind
        // that wins there.
        const int menu = f.height() - f.centralWidget()->height() - f.sb->height();
        // The Zoom dock beside the map takes this much of the window's width.
        const int side = f.width() - f.centralWidget()->width();
        f.resize(side + 300, menu + 22 + 100);
        QTRY_COMPARE(f.FViewBottom, 99);
        f.Action(ActionId::kFit)->trigger();
        QCOMPARE(view.Scale(), (lorvex::map::TMapScale{1, 3}));
        QCOMPARE(lorvex::map::SpanLength(view.Visible()), f.Model()->TotalClusters());
        QTest::keyClick(surface, Qt::Key_Minus);
        QCOMPARE(view.Scale(), (lorvex::map::TMapScale{1, 3}));
        s.Hover({10, 10});
        const std::int64_t first = (10 * 249 + 10) * 3;
        QVERIFY2(f.HoverText().startsWith(QString("Clusters %1-%2: ").arg(first).arg(first + 2)),
                 qPrintable(f.HoverText()));
        QVERIFY(first <= f.FHoverLCN && f.FHoverLCN < first + 3);
        QCOMPARE(s.ZoomName().section('\n', 0, 0), f.HoverText().section(';', 0, 0));

        // The keys move through the taller map of a pixel a cluster.
        f.Action(ActionId::kActualSize)->trigger();
        QCOMPARE(view.Scale(), lorvex::map::TMapScale{});
        const std::int64_t last = view.MaxTopRow();
        QCOMPARE(last, (65535 + 248) / 249 - 100);
        // Zoomed around the pointer, the view left the top.
        QCOMPARE(view.TopRow(), 20);
        QTest::keyClick(surface, Qt::Key_Home);
        QCOMPARE(view.TopRow(), 0);
        QTest::keyClick(surface, Qt::Key_PageDown);
        QCOMPARE(view.TopRow(), 99);
        QTest::keyClick(surface, Qt::Key_Down);
        QCOMPARE(view.TopRow(), 100);
        QTest::keyClick(surface, Qt::Key_PageUp);
        QCOMPARE(view.TopRow(), 1);
        QTest::keyClick(surface, Qt::Key_End);
        QCOMPARE(view.TopRow(), last);
        QCOMPARE(f.scroller->value(), static_cast<int>(last));
        QTest::keyClick(surface, Qt::Key_Home);
        QCOMPARE(view.TopRow(), 0);
        QTest::keyClick(surface, Qt::Key_Up); // at the top: stays
        QCOMPARE(view.TopRow(), 0);

        // The overview strip: a click moves the view there, and the frame
        // on the strip follows.
        const QPoint bottomOfStrip(f.OverviewLeft() + 16, 98);
        QTest::mouseClick(surface, Qt::LeftButton, {}, bottomOfStrip);
        QCOMPARE(view.TopRow(), last);
        const auto [top, bottom] = lorvex::map::OverviewRows(
            view.TotalClusters(), 32, f.FOverviewBitmap.height(), view.Visible());
        QVERIFY(top <= bottom && bottom == f.FOverviewBitmap.height() - 1);
        QCOMPARE(f.SurfacePixel(f.OverviewLeft(), top),
                 f.FOverviewBitmap.pixel(0, top) ^ 0x00FFFFFFU);

        // Go to: a cluster, a byte offset, and what is neither.
        QString title, preset;
        AnswerInputBox("40000", true, &title, &preset);
        f.Action(ActionId::kGoTo)->trigger();
        QVERIFY2(title.startsWith("Go to Cluster|"), qPrintable(title));
        QCOMPARE(f.FHoverLCN, 40000);
        QCOMPARE(s.ZoomLCN(), QString("40000"));
        QVERIFY(view.Visible().begin <= 40000 && 40000 < view.Visible().end);
        AnswerInputBox("4096 KiB", true, &title, &preset);
        f.Action(ActionId::kGoTo)->trigger();
        QCOMPARE(f.FHoverLCN, 4096 * 1024 / f.FBytesPerCluster);
        AnswerInputBox("lots", true, &title, &preset);
        f.Action(ActionId::kGoTo)->trigger();
        AnswerInputBox("99999999", true, &title, &preset);
        f.Action(ActionId::kGoTo)->trigger();
        QCOMPARE(s.messages,
                 (QStringList{"Go to Cluster: \"lots\" is neither a cluster number nor a byte "
                              "offset.",
                              "Go to Cluster: The volume has no cluster 99999999: its last is "
                              "65534."}));
        QCOMPARE(f.FHoverLCN, 4096 * 1024 / f.FBytesPerCluster);
    }

    // File > Open adds a source as the next drive and scans it; what cannot
    // be opened is said in the window, and so is a machine with no volume.
    void openingASourceAddsItsDrivesAndScansTheFirst() {
        Session s({small_.string()});
        MainWindow& f = s.form;
        QCOMPARE(f.DriveActions().size(), 1);
        // Nothing to read the tables of yet.
        QVERIFY(!f.Action(ActionId::kExport)->isEnabled());
        QVERIFY(!f.Action(ActionId::kFind)->isEnabled());
        QVERIFY(!f.Action(ActionId::kFragmentationList)->isEnabled());
        QVERIFY(f.Action(ActionId::kOpen)->isEnabled());

        // Through the dialog, as a user opens it.
        QTimer::singleShot(0, [this] {
            const auto answer = [this](const auto& self) -> void {
                auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                if (dialog == nullptr) {
                    QTimer::singleShot(10, [self] { self(self); });
                    return;
                }
                dialog->selectFile(QString::fromStdString(demo_.string()));
                QMetaObject::invokeMethod(dialog, "accept");
            };
            answer(answer);
        });
        f.Action(ActionId::kOpen)->trigger();
        QVERIFY(WorkEnded(f));
        QCOMPARE(f.DriveActions().size(), 2);
        QCOMPARE(f.FDriveRoot, std::string("D:\\"));
        QVERIFY(f.IsScanned());
        QCOMPARE(f.windowTitle(),
                 QString::fromUtf8("D:\\ (demo.img) read as raw volume image \u2014 Lorvex"));
        QVERIFY(f.Action(ActionId::kExport)->isEnabled() &&
                f.Action(ActionId::kFind)->isEnabled() &&
                f.Action(ActionId::kFragmentationList)->isEnabled());
        QCOMPARE(QSettings().value("recentSources").toStringList().value(0),
                 QFileInfo(QString::fromStdString(demo_.string())).absoluteFilePath());

        QVERIFY(!f.OpenSources({"/nonexistent/lorvex.img"}));
        QCOMPARE(s.messages.size(), 1);
        QVERIFY2(s.messages.front().startsWith("Lorvex: Cannot open /nonexistent/lorvex.img: "),
                 qPrintable(s.messages.front()));
        QCOMPARE(f.FDriveRoot, std::string("D:\\")); // the shown drive stays
        // A file name that would set the terminal's title is shown escaped.
        QVERIFY(!f.OpenSources({QString::fromUtf8("/nonexistent/lorvex\x1B]0;x\x07\u0085.img")}));
        QCOMPARE(s.messages.size(), 2);
        QVERIFY2(s.messages.back().startsWith(
                     "Lorvex: Cannot open /nonexistent/lorvex\\u{1b}]0;x\\u{7}\\u{85}.img: "),
                 qPrintable(s.messages.back()));

        // A window over a machine without volumes says what to do.
        lorvex::test::FakeVolumeApi none;
        TLorvexWindows empty(none);
        QStringList said;
        lorvex::ui::TUserNotices notices;
        notices.message = [&said](const QString&, const QString& text) { said << text; };
        empty.Form1.SetUserNotices(notices);
        QVERIFY(!empty.Form1.Action(ActionId::kOpen)->isEnabled()); // nothing to open sources with
        // Said in the status bar, with no box to stop the user on every start.
        empty.Form1.ShowStartupProblems({}, true);
        QCOMPARE(said.size(), 0);
        QVERIFY2(empty.Form1.StatusText().startsWith("No NTFS volume was found on this machine"),
                 qPrintable(empty.Form1.StatusText()));
        QVERIFY(empty.Form1.StatusText().contains("File > Open Image"));
    }

    // A VMDK whose descriptor names a file outside its folder is opened only
    // after the window asks, and only when the user says yes.
    void aVmdkReadingOutsideItsFolderIsOpenedOnlyWhenTheUserSaysSo() {
        const fs::path dir = lorvex::test::TempPath("lorvex-window-outside");
        fs::create_directories(dir / "disk");
        const fs::path data = dir / "data.img";
        // An NTFS volume: a source with none would be no drive, asked or not.
        QVERIFY(lorvex::test::MakeNtfsFile(data, 4 << 20, (4 << 20) / 512 - 1, "Outside"));
        const fs::path descriptor = dir / "disk" / "outside.vmdk";
        std::ofstream(descriptor) << "# Disk DescriptorFile\nversion=1\nCID=12345678\n"
                                     "parentCID=ffffffff\ncreateType=\"monolithicFlat\"\n\n"
                                     "# Extent description\nRW 8192 FLAT \""
                                  << data.string()
                                  << "\" 0\n\n# The Disk Data Base\n#DDB\n\n"
                                     "ddb.virtualHWVersion = \"4\"\n";
        Session s({small_.string()});
        QStringList asked;
        bool answer = false;
        lorvex::ui::TUserNotices notices;
        notices.message = [&s](const QString& caption, const QString& text) {
            s.messages << caption + ": " + text;
        };
        notices.ask = [&](const QString&, const QString& question) {
            asked << question;
            return answer;
        };
        s.form.SetUserNotices(notices);
        const QString path = QString::fromStdString(descriptor.string());

        QVERIFY(!s.form.OpenSources({path}));
        QCOMPARE(asked.size(), 1);
        QVERIFY2(asked.front().contains(QString::fromStdString(data.string())),
                 qPrintable(asked.front()));
        QCOMPARE(s.form.DriveActions().size(), 1);
        QCOMPARE(s.messages.size(), 1);
        QVERIFY2(s.messages.front().contains("outside the descriptor's folder"),
                 qPrintable(s.messages.front()));

        answer = true;
        s.messages.clear();
        QVERIFY(s.form.OpenSources({path}));
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QCOMPARE(asked.size(), 2);
        QCOMPARE(s.form.DriveActions().size(), 2);
        // What it reads is a source: nothing is written there.
        QVERIFY(s.system->OpenWriteTarget(data.string()).refused);
    }

    // A raw volume whose last sector is a VHD footer reads two ways: opened,
    // the title names both; File > Open as Raw Image reads the volume its
    // bytes hold, and Open Recent opens it again so.
    void openAsRawImageReadsTheBytesAsTheyAre() {
        const fs::path dir =
            fs::temp_directory_path() / ("lorvex-window-raw-" + std::to_string(getpid()));
        fs::create_directories(dir);
        const fs::path decoy = dir / "decoy.img";
        QVERIFY(lorvex::test::MakeNtfsFile(decoy, 16 << 20, 30000, "Decoyed"));
        QVERIFY(lorvex::test::PutVhdFooter(decoy));
        const QString path = QString::fromStdString(decoy.string());
        Session s({small_.string()});
        MainWindow& f = s.form;
        QVERIFY(f.Action(ActionId::kOpenRaw)->isEnabled());

        // Read through the VHD, the disk holds nothing: it becomes no drive,
        // and the window says what else the file reads as.
        QVERIFY(!f.OpenSources({path}));
        QCOMPARE(s.messages.size(), 1);
        QCOMPARE(s.messages.front(),
                 "Lorvex: Cannot open " + path +
                     ": no file system recognised; it also reads as a raw NTFS volume image: "
                     "File > Open as Raw Image reads it so");
        QCOMPARE(f.DriveActions().size(), 1);
        QCOMPARE(s.form.windowTitle(), QString("Lorvex"));

        QTimer::singleShot(0, [path] {
            const auto answer = [path](const auto& self) -> void {
                auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                if (dialog == nullptr) {
                    QTimer::singleShot(10, [self] { self(self); });
                    return;
                }
                QCOMPARE(dialog->windowTitle(), QString("Open as Raw Image"));
                dialog->selectFile(path);
                QMetaObject::invokeMethod(dialog, "accept");
            };
            answer(answer);
        });
        f.Action(ActionId::kOpenRaw)->trigger();
        QVERIFY(lorvex::test::WorkEnded(f));
        QCOMPARE(f.FDriveRoot, std::string("D:\\"));
        QVERIFY(f.IsScanned());
        QVERIFY(f.Scan()->fileIds.size() > 0);
        const QString rawTitle =
            QString::fromUtf8("E:\\ (decoy.img) read as raw volume image, as asked: it also "
                              "carries a VHD or VHDX signature \u2014 Lorvex")
                .replace("E:", "D:");
        QCOMPARE(f.windowTitle(), rawTitle);

        Q_EMIT f.Menu(MenuId::kRecent)->aboutToShow();
        const QList<QAction*> recent = f.Menu(MenuId::kRecent)->actions();
        QVERIFY(!recent.isEmpty());
        QCOMPARE(recent.front()->text(), QFileInfo(path).absoluteFilePath() + " (raw)");
        recent.front()->trigger();
        QVERIFY(lorvex::test::WorkEnded(f));
        QCOMPARE(f.FDriveRoot, std::string("E:\\"));
        QCOMPARE(f.windowTitle(), QString(rawTitle).replace("D:", "E:"));
        QCOMPARE(s.messages.size(), 1);
        fs::remove_all(dir);
    }

    // The files a VMDK names are its writer's: the question shows them
    // escaped.
    void theFilesAVmdkNamesAreAskedAboutEscaped() {
        const fs::path dir = lorvex::test::TempPath("lorvex-window-outside-names");
        fs::create_directories(dir / "disk");
        const fs::path data = dir / "data\x1B]0;title\x07.img";
        std::ofstream(data, std::ios::binary) << std::string(1 << 20, '\0');
        const fs::path descriptor = dir / "disk" / "outside.vmdk";
        std::ofstream(descriptor) << "# Disk DescriptorFile\nversion=1\nCID=12345678\n"
                                     "parentCID=ffffffff\ncreateType=\"monolithicFlat\"\n\n"
                                     "# Extent description\nRW 2048 FLAT \""
                                  << data.string()
                                  << "\" 0\n\n# The Disk Data Base\n#DDB\n\n"
                                     "ddb.virtualHWVersion = \"4\"\n";
        Session s({small_.string()});
        QStringList asked;
        lorvex::ui::TUserNotices notices;
        notices.message = [&s](const QString& caption, const QString& text) {
            s.messages << caption + ": " + text;
        };
        notices.ask = [&asked](const QString&, const QString& question) {
            asked << question;
            return false;
        };
        s.form.SetUserNotices(notices);
        QVERIFY(!s.form.OpenSources({QString::fromStdString(descriptor.string())}));
        QCOMPARE(asked.size(), 1);
        QVERIFY2(asked.front().contains("data\\u{1b}]0;title\\u{7}.img"),
                 qPrintable(asked.front()));
        QVERIFY(!asked.front().contains(QChar(0x1B)));
        QCOMPARE(s.messages.size(), 1);
        QVERIFY(!s.messages.front().contains(QChar(0x1B)));
        fs::remove_all(dir);
    }

    // Show on map lights exactly the clusters of the file's extents, at
    // every zoom, steps through them, and comes from the lists' hook too.
    void showOnMapLightsTheFilesExtentsAndStepsThroughThem() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        MainWindow& f = s.form;
        const std::int32_t index =
            f.Scan()->fileIds.IndexOfID(std::stoll(facts_.at("fragmented_1_record")));
        std::vector<std::pair<std::int64_t, std::int64_t>> extents;
        for (const auto& e : f.Scan()->clusters) {
            if (static_cast<std::int32_t>(e.FileIndex) == index) {
                extents.emplace_back(e.LCN, e.Length);
            }
        }
        std::sort(extents.begin(), extents.end());
        QVERIFY(extents.size() > 1);
        const auto lit = [&](std::int64_t lcn) {
            return std::any_of(extents.begin(), extents.end(), [lcn](const auto& e) {
                return lcn >= e.first && lcn < e.first + e.second;
            });
        };

        s.windows->frm_Fragmentation.OnShowOnMap(index);
        QCOMPARE(f.FHoverLCN, extents.front().first);
        QVERIFY2(f.HoverText().contains(QString("extent 1 of %1").arg(extents.size())),
                 qPrintable(f.HoverText()));
        for (const lorvex::map::TMapScale scale :
             {lorvex::map::TMapScale{}, lorvex::map::TMapScale{8, 1}}) {
            f.SetZoom(scale);
            f.GoToCluster(extents.front().first);
            const lorvex::map::TMapView& view = f.View();
            const int p = scale.cellPixels;
            for (int y = 0; y < view.Height(); y += p) {
                for (int x = 0; x < view.CellsPerRow() * p; x += p) {
                    const lorvex::map::TClusterSpan span = view.SpanAt(x, y);
                    if (lorvex::map::SpanLength(span) == 0) {
                        continue;
                    }
                    QCOMPARE(s.ScreenIndex({x, y}) == lorvex::map::kHighlightIndex,
                             lit(span.begin));
                }
            }
        }
        f.SetZoom({});
        QTest::keyClick(f.MapSurface(), Qt::Key_F6);
        QCOMPARE(f.FHoverLCN, extents[1].first);
        QTest::keyClick(f.MapSurface(), Qt::Key_F6, Qt::ShiftModifier);
        QTest::keyClick(f.MapSurface(), Qt::Key_F6, Qt::ShiftModifier);
        QCOMPARE(f.FHoverLCN, extents.back().first); // round the end
        f.Action(ActionId::kClearHighlight)->trigger();
        QVERIFY(f.View().Highlight().empty());
        // An index the scan does not have lights nothing.
        f.ShowOnMap(f.Scan()->fileIds.size() + 5);
        QCOMPARE(s.beeps, 1);
        QVERIFY(f.View().Highlight().empty());

        // Mark: how many, step through them, clear.
        QString title, preset;
        AnswerInputBox("alice", true, &title, &preset);
        f.Action(ActionId::kMark)->trigger();
        QVERIFY(f.MarkedCount() > 1);
        QCOMPARE(f.findChild<QLabel*>("MarkLabel")->text(),
                 QString("%1 files marked").arg(f.MarkedCount()));
        f.Action(ActionId::kNextMarked)->trigger();
        QVERIFY(!f.View().Highlight().empty());
        QCOMPARE(f.Model()->StateAt(f.FHoverLCN), std::uint8_t{lorvex::ui::csMarked});
        f.Action(ActionId::kClearMark)->trigger();
        QCOMPARE(f.MarkedCount(), 0);
        QVERIFY(f.findChild<QLabel*>("MarkLabel")->text().isEmpty());
        QVERIFY(f.Model()->StateAt(f.FHoverLCN) != lorvex::ui::csMarked);

        // The other palette colours the map and the legend alike.
        f.Action(ActionId::kClearHighlight)->trigger();
        f.SetSafePalette(true);
        QCOMPARE(f.SurfacePixel(f.FMouseX, f.FMouseY),
                 lorvex::map::SafeCellPalette()[f.Model()->StateAt(f.FHoverLCN)]);
        f.SetSafePalette(false);
        QCOMPARE(f.SurfacePixel(f.FMouseX, f.FMouseY),
                 lorvex::map::CellPalette()[f.Model()->StateAt(f.FHoverLCN)]);
        int kinds = 0;
        auto* legend = f.findChild<QToolBar*>("Legend");
        for (QAction* entry : legend->actions()) {
            const QWidget* item = legend->widgetForAction(entry);
            kinds += item != nullptr && item->objectName().mid(6).toInt() < lorvex::map::kGridIndex;
        }
        QCOMPARE(kinds, 9);

        // The map picture: written in the palette shown, and never over a
        // source.
        const fs::path picture = lorvex::test::TempPath("lorvex-map-picture.png");
        f.SetSafePalette(true);
        QVERIFY(f.SaveMapPicture(QString::fromStdString(picture.string()), QSize(800, 600)));
        f.SetSafePalette(false);
        const QImage saved =
            QImage(QString::fromStdString(picture.string())).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(saved.size(), QSize(800, 600));
        const QRgb safeFragmented = lorvex::map::SafeCellPalette()[lorvex::ui::csFragmented];
        bool inSafeColours = false;
        for (int y = 0; y < saved.height() && !inSafeColours; ++y) {
            for (int x = 0; x < saved.width() && !inSafeColours; ++x) {
                inSafeColours = saved.pixel(x, y) == safeFragmented;
            }
        }
        QVERIFY(inSafeColours);
        fs::remove(picture);
        const auto before = fs::file_size(demo_);
        const auto stamp = fs::last_write_time(demo_);
        QVERIFY(!f.SaveMapPicture(QString::fromStdString(demo_.string()), QSize(800, 600)));
        QCOMPARE(fs::file_size(demo_), before);
        QCOMPARE(fs::last_write_time(demo_), stamp);
        QVERIFY2(s.messages.back().startsWith("Lorvex: Cannot save "),
                 qPrintable(s.messages.back()));
    }

    // Shrunk to a few pixels, zoomed past both ends, moved past both ends:
    // a map or nothing, never a fault or a picture of stale memory.
    void aWindowOfAFewPixelsStillDrawsAndNavigates() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        MainWindow& f = s.form;
        QWidget* surface = f.MapSurface();
        const int menu = f.height() - f.centralWidget()->height() - f.sb->height();
        // The Zoom dock beside the map takes this much of the window's width.
        const int side = f.width() - f.centralWidget()->width();
        for (const QSize size : {QSize(52, 3), QSize(60, 8), QSize(120, 40), QSize(51, 1)}) {
            f.resize(side + size.width(), menu + 22 + size.height());
            QTest::qWait(20);
            for (const Qt::Key key :
                 {Qt::Key_Plus, Qt::Key_Plus, Qt::Key_Plus, Qt::Key_Plus, Qt::Key_Plus, Qt::Key_End,
                  Qt::Key_PageDown, Qt::Key_Minus, Qt::Key_Minus, Qt::Key_Minus, Qt::Key_Minus,
                  Qt::Key_Minus, Qt::Key_Minus, Qt::Key_Home, Qt::Key_PageUp}) {
                QTest::keyClick(surface, key);
                const lorvex::map::TMapView& view = f.View();
                QVERIFY(view.Width() == 0 || view.Height() == 0 ||
                        view.Scale().cellPixels <= std::min(view.Width(), view.Height()));
                QVERIFY(view.TopRow() >= 0 && view.TopRow() <= view.MaxTopRow());
                if (view.Width() > 0 && view.Height() > 0) {
                    QCOMPARE(f.FScreen.size(), QSize(view.Width(), view.Height()));
                } else {
                    QVERIFY(f.FScreen.isNull());
                }
                for (int y = 0; y < f.FScreen.height(); ++y) {
                    for (int x = 0; x < f.FScreen.width(); ++x) {
                        const int index = f.FScreen.pixelIndex(x, y);
                        QVERIFY2(index >= 1 && index <= lorvex::map::kBackgroundIndex,
                                 qPrintable(QString("%1 at %2,%3").arg(index).arg(x).arg(y)));
                    }
                }
            }
            f.Action(ActionId::kFit)->trigger();
            if (f.View().CellsPerRow() > 0) {
                QCOMPARE(lorvex::map::SpanLength(f.View().Visible()), f.Model()->TotalClusters());
            }
            s.Hover({1, 0});
            s.Hover({f.OverviewLeft() + 1, 0});
        }
    }

    // Docked left of the map at any size, maximised too; never over the map.
    void theZoomWindowStaysDockedBesideTheMap() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        MainWindow& f = s.form;
        auto& zoom = s.windows->frm_Help;
        QVERIFY(zoom.isVisible());
        f.findChild<QDockWidget*>("ZoomDock")->setFloating(false);
        QVERIFY(f.ZoomWindowDocked());
        f.setGeometry(f.screen()->availableGeometry());
        QTest::qWait(100);
        QVERIFY(f.ZoomWindowDocked());
        const QRect zoomArea(zoom.mapToGlobal(QPoint(0, 0)), zoom.size());
        const QRect mapArea(f.MapSurface()->mapToGlobal(QPoint(0, 0)), f.MapSurface()->size());
        QVERIFY(!zoomArea.intersects(mapArea));
        // Zoom off and on again keeps it docked; the map takes the room.
        const int beside = f.MapSurface()->width();
        f.Action(ActionId::kZoomWindow)->trigger();
        QVERIFY(!zoom.isVisible());
        QTRY_VERIFY(f.MapSurface()->width() > beside);
        f.Action(ActionId::kZoomWindow)->trigger();
        QVERIFY(zoom.isVisible());
        QVERIFY(f.ZoomWindowDocked());
    }

    // The progress shows in the status bar once the work has lasted half a
    // second: the stage, a bar and Cancel; it goes when the work ends.
    void theStatusBarShowsTheStageAndCancelWhileWorkLasts() {
        Session s(Sources());
        HeldScan held;
        held.HoldAt(s.form, lorvex::ntfs::kStageEnumeratingFiles);
        QWidget* area = s.ProgressArea();
        s.Drive('D')->trigger();
        // The call returns at once: the scan goes on from the event loop.
        QVERIFY(s.form.IsScanning());
        QVERIFY(!area->isVisible());
        QTRY_VERIFY(held.reached->load());
        QTRY_VERIFY_WITH_TIMEOUT(area->isVisible(), 3000);
        QCOMPARE(area->findChild<QLabel*>("ProgressTitle")->text(), QString("enumerating files"));
        auto* cancel = area->findChild<QPushButton*>("ProgressCancel");
        QVERIFY(cancel != nullptr && cancel->isVisible());
        QCOMPARE(cancel->text(), QString("Cancel"));
        QVERIFY(area->findChild<QProgressBar*>("ProgressBar")->isVisible());
        // The window goes on answering meanwhile.
        s.Hover({3, 3});
        QCOMPARE(s.ZoomName(), QString("Volume not scanned!"));

        held.Release();
        QVERIFY(WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        QVERIFY(!area->isVisible());
        QCOMPARE(s.form.FDriveRoot, std::string("D:\\"));
    }

    // Cancel on another drive's scan leaves the drive shown as it was: its
    // title, map, result and status; the cancelled thread's result never
    // arrives.
    void cancellingAnotherDriveLeavesTheOneShownAsItWas() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(WorkEnded(s.form));
        const QString title = s.form.windowTitle();
        const QString status = s.form.StatusText();
        const lorvex::ui::TScanResult* scan = s.form.Scan();
        const lorvex::map::TMapModel* model = s.form.Model();
        const QImage screen = s.form.FScreen.copy();
        const std::int64_t total = s.form.FTotalClusters;

        HeldScan held;
        held.HoldAt(s.form, lorvex::ntfs::kStageEnumeratingClusters);
        s.Drive('D')->trigger();
        QVERIFY(s.form.IsScanning());
        QTRY_VERIFY(held.reached->load());
        QTRY_VERIFY_WITH_TIMEOUT(s.ProgressArea()->isVisible(), 3000);
        QTest::mouseClick(s.ProgressArea()->findChild<QPushButton*>("ProgressCancel"),
                          Qt::LeftButton);
        QVERIFY(!s.form.IsScanning());
        QVERIFY(!s.ProgressArea()->isVisible());
        QVERIFY(!s.IsHeldOff());

        const auto same = [&] {
            QCOMPARE(s.form.windowTitle(), title);
            QCOMPARE(s.form.FDriveRoot, std::string("C:\\"));
            QCOMPARE(s.form.FTotalClusters, total);
            QCOMPARE(s.form.Scan(), scan);
            QCOMPARE(s.form.Model(), model);
            QCOMPARE(s.form.StatusText(), status);
            QVERIFY(s.form.FScreen == screen);
            QVERIFY(s.form.Action(ActionId::kFind)->isEnabled());
        };
        same();
        held.Release();
        QTRY_VERIFY(s.form.findChildren<QThread*>().isEmpty());
        QTest::qWait(50);
        same();
        QVERIFY(s.messages.isEmpty());
    }

    // Cancel while another drive's map is still being read (the bitmap of a
    // large drive takes a while) leaves the drive shown as it was, by the
    // status bar's Cancel and by Escape alike; the map read to its end is
    // dropped.
    void cancellingAMapLoadLeavesTheDriveShownAsItWas() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(WorkEnded(s.form));
        const QString title = s.form.windowTitle();
        const QString status = s.form.StatusText();
        const lorvex::ui::TScanResult* scan = s.form.Scan();
        const lorvex::map::TMapModel* model = s.form.Model();
        const QImage screen = s.form.FScreen.copy();
        for (const bool byEscape : {false, true}) {
            HeldScan held;
            held.HoldAt(s.form, lorvex::ui::kStageReadingMap);
            s.Drive('D')->trigger();
            QTRY_VERIFY(held.reached->load());
            QVERIFY(s.form.IsScanning() && s.IsHeldOff());
            if (byEscape) {
                QTest::keyClick(s.form.MapSurface(), Qt::Key_Escape);
            } else {
                QTRY_VERIFY_WITH_TIMEOUT(s.ProgressArea()->isVisible(), 3000);
                QTest::mouseClick(s.ProgressArea()->findChild<QPushButton*>("ProgressCancel"),
                                  Qt::LeftButton);
            }
            QVERIFY(!s.form.IsScanning());
            QVERIFY(!s.ProgressArea()->isVisible());
            held.Release();
            QTRY_VERIFY(s.form.findChildren<QThread*>().isEmpty());
            QTest::qWait(50);
            QCOMPARE(s.form.windowTitle(), title);
            QCOMPARE(s.form.FDriveRoot, std::string("C:\\"));
            QCOMPARE(s.form.Scan(), scan);
            QCOMPARE(s.form.Model(), model);
            QCOMPARE(s.form.StatusText(), status);
            QVERIFY(s.form.FScreen == screen);
            QVERIFY(s.form.Action(ActionId::kFind)->isEnabled() && s.Drive('D')->isEnabled());
        }
        QVERIFY(s.messages.isEmpty());
    }

    // Beside the progress area the hover text keeps room for a few words;
    // a long one is cut in the middle to the room it has, so that the end
    // of a path still shows, and is whole in its tooltip; with room again
    // it shows whole.
    void theHoverTextKeepsRoomBesideTheProgress() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(WorkEnded(s.form));
        auto* label = s.form.findChild<QLabel*>("HoverLabel");
        QVERIFY(label != nullptr);
        HeldScan held;
        held.HoldAt(s.form, lorvex::ntfs::kStageEnumeratingFiles);
        s.form.Action(ActionId::kScan)->trigger();
        QTRY_VERIFY(held.reached->load());
        QTRY_VERIFY_WITH_TIMEOUT(s.ProgressArea()->isVisible(), 3000);
        // The volume check's word of the scan before gives way meanwhile.
        auto* health = s.form.findChild<QLabel*>("HealthLabel");
        QVERIFY(health != nullptr);
        QVERIFY(!health->isVisible());
        s.Hover({10, 10});
        const QString full = s.form.HoverText();
        QVERIFY(!full.isEmpty());
        const QFontMetrics metrics = label->fontMetrics();
        QVERIFY(label->minimumWidth() >= metrics.averageCharWidth() * 10);
        QTRY_VERIFY(label->width() >= label->minimumWidth());
        const QString shown = label->text();
        if (metrics.horizontalAdvance(full) > label->contentsRect().width()) {
            QVERIFY2(shown.contains(QChar(0x2026)) && shown.size() > 2, qPrintable(shown));
            QCOMPARE(shown.front(), full.front());
            QCOMPARE(shown.back(), full.back());
            QVERIFY(metrics.horizontalAdvance(shown) <= label->contentsRect().width());
            QCOMPARE(label->toolTip(), full);
        } else {
            QCOMPARE(shown, full);
        }
        held.Release();
        QVERIFY(WorkEnded(s.form));
        QVERIFY(health->isVisible());
        s.form.resize(1400, s.form.height());
        s.Hover({10, 10});
        QTRY_COMPARE(label->text(), s.form.HoverText());
        QVERIFY(label->toolTip().isEmpty());
    }

    // Escape cancels too; a drive scanned again keeps its last result.
    void escapeCancelsARescanAndTheDriveKeepsItsResult() {
        Session s(Sources());
        s.Drive('D')->trigger();
        QVERIFY(WorkEnded(s.form));
        const lorvex::ui::TScanResult* scan = s.form.Scan();
        const std::int64_t files = scan->fileIds.size();
        HeldScan held;
        held.HoldAt(s.form, lorvex::ntfs::kStageParsingDirectories);
        s.form.Action(ActionId::kScan)->trigger();
        QTRY_VERIFY(held.reached->load());
        QTest::keyClick(s.form.MapSurface(), Qt::Key_Escape);
        QVERIFY(!s.form.IsScanning());
        QCOMPARE(s.form.Scan(), scan);
        QCOMPARE(s.form.Scan()->fileIds.size(), files);
        QCOMPARE(s.form.FDriveRoot, std::string("D:\\"));
        held.Release();
        QTRY_VERIFY(s.form.findChildren<QThread*>().isEmpty());

        // The next scan runs whole and replaces it.
        s.form.SetScanProbe({});
        s.form.Action(ActionId::kScan)->trigger();
        QVERIFY(WorkEnded(s.form));
        QVERIFY(s.form.Scan() != nullptr && s.form.Scan() != scan);
        QCOMPARE(s.form.Scan()->fileIds.size(), files);
    }

    void aFatDriveBeepsAndShowsError() {
        Session s(Sources());
        s.Drive('C')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        QSignalSpy titles(s.Scanner(), &lorvex::ui::ScanController::stageStarted);
        s.Drive('E')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QCOMPARE(s.beeps, 1);
        QCOMPARE(s.form.StatusText(), QString("*ERROR*"));
        // The window says why, as the command line does.
        QCOMPARE(s.messages.size(), 1);
        QVERIFY2(
            s.messages.front().startsWith(
                "Lorvex: Drive E:\\ (fat.img) read as raw volume image cannot be shown: FAT") &&
                s.messages.front().endsWith(", not NTFS."),
            qPrintable(s.messages.front()));
        QCOMPARE(s.form.windowTitle(), QString("Lorvex"));
        QVERIFY(!s.form.Action(ActionId::kExport)->isEnabled() &&
                !s.form.Action(ActionId::kFind)->isEnabled());
        QVERIFY(s.form.FDriveRoot.empty());
        QVERIFY(!s.form.Model());
        QVERIFY(!s.form.IsScanned());
        QCOMPARE(titles.count(), 0);
        QVERIFY(s.form.FScreen.isNull());
        QVERIFY(s.form.FOverviewBitmap.isNull());
        QCOMPARE(s.form.SurfacePixel(3, 3),
                 s.form.MapSurface()->palette().color(QPalette::Window).rgb());
        s.Hover({3, 3});
        QCOMPARE(s.ZoomName(), QString("Volume not scanned!"));
        // "Scan!" now has no drive.
        s.form.Action(ActionId::kScan)->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QCOMPARE(titles.count(), 0);
    }

    void anErrorInAStageEndsTheWorkAndHidesTheProgress() {
        Session s(Sources());
        s.form.SetScanProbe([](std::string_view stage) {
            if (stage == lorvex::ntfs::kStageCalculatingSizes) {
                throw std::runtime_error("stage failed on purpose");
            }
        });
        QSignalSpy titles(s.Scanner(), &lorvex::ui::ScanController::stageStarted);
        s.Drive('D')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QCOMPARE(Titles(titles).last(), QString("calculating real file size"));
        QCOMPARE(s.messages, QStringList{"Lorvex: stage failed on purpose"});
        QVERIFY(!s.form.IsScanned());
        QVERIFY(!s.form.IsScanning());
        QVERIFY(!s.ProgressArea()->isVisible());
        QVERIFY(s.form.Action(ActionId::kScan)->isEnabled());
        s.Hover({3, 3});
        QCOMPARE(s.ZoomName(), QString("Volume not scanned!"));

        // The next scan runs whole.
        s.form.SetScanProbe({});
        s.form.Action(ActionId::kScan)->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
    }

    void scanAfterAFailedRereadPaintsNoMissingCells() {
        const fs::path copy = lorvex::test::TempPath("lorvex-window-reread.img");
        fs::copy_file(lorvex::test::VolumeDir() / "ntfs-small.img", copy,
                      fs::copy_options::overwrite_existing);
        {
            Session s({copy.string()});
            s.Drive('C')->trigger();
            QVERIFY(lorvex::test::WorkEnded(s.form));
            QVERIFY(s.form.IsScanned());
            const QString status = s.form.StatusText();

            // The volume loses its boot sector between two scans.
            {
                std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
                const std::string zeros(512, '\0');
                f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
            }
            fs::last_write_time(copy, fs::file_time_type::clock::now() + std::chrono::seconds(2));
            s.form.Action(ActionId::kScan)->trigger();
            QVERIFY(lorvex::test::WorkEnded(s.form));
            QVERIFY(!s.form.Model());
            QVERIFY(!s.form.IsScanning());
            QCOMPARE(s.form.StatusText(), status);
            QCOMPARE(s.form.SurfacePixel(3, 3),
                     s.form.MapSurface()->palette().color(QPalette::Window).rgb());
            s.Hover({3, 3});
            QVERIFY(!s.ZoomName().isEmpty());
        }
        fs::remove(copy);
    }

    // A scan the window lets go of never reaches it, even while its thread
    // still runs and another scan starts and ends meanwhile; the next scan's
    // result is the one the window shows.
    void aScanLetGoOfNeverReachesTheWindowAndTheNextOneDoes() {
        Session s(Sources());
        // C:'s thread is held at the start of one of its stages until the
        // end of the test's second scan.
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        s.form.SetScanProbe([released](std::string_view stage) {
            if (stage == lorvex::ntfs::kStageEnumeratingClusters) {
                released.wait();
            }
        });
        QSignalSpy titles(s.Scanner(), &lorvex::ui::ScanController::stageStarted);
        bool heldOffBeforeCancel = false;
        auto once = connect(s.Scanner(), &lorvex::ui::ScanController::stageStarted, this,
                            [&](const QString& title) {
                                if (title == "enumerating clusters") {
                                    heldOffBeforeCancel = s.IsHeldOff();
                                    s.form.CancelScan();
                                }
                            });
        s.Drive('C')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        disconnect(once);
        QVERIFY(heldOffBeforeCancel);
        QVERIFY(!s.form.IsScanning());
        QVERIFY(!s.form.IsScanned());
        QVERIFY(s.form.Scan() == nullptr);
        QVERIFY(s.form.FDriveRoot.empty());
        QVERIFY(!s.ProgressArea()->isVisible());
        QVERIFY(!s.IsHeldOff());
        QVERIFY(s.Drive('D')->isEnabled());
        s.Hover({5, 1});
        QCOMPARE(s.ZoomName(), QString("Volume not scanned!"));

        titles.clear();
        s.form.SetScanProbe({});
        s.Drive('D')->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        const lorvex::ui::TScanResult* second = s.form.Scan();
        QCOMPARE(second->volume->drive(), std::string("D:"));
        QCOMPARE(second->fileIds.IndexOfID(lorvex::ntfs::kRootDirectory), 5);
        const auto files = second->fileIds.size();

        // C:'s thread goes on, stops at its next record and ends; whatever
        // it sends is let through here.
        release.set_value();
        QTRY_VERIFY(s.form.findChildren<QThread*>().isEmpty());
        QTest::qWait(50);
        QCOMPARE(s.form.Scan(), second);
        QCOMPARE(s.form.Scan()->fileIds.size(), files);
        QCOMPARE(s.form.FDriveRoot, std::string("D:\\"));
        QCOMPARE(Titles(titles),
                 (QStringList{"enumerating files", "parsing directories",
                              "calculating real file size", "enumerating clusters",
                              "getting fragments", "painting clusters", "sorting clusters"}));
        QVERIFY(!s.ProgressArea()->isVisible());
        QVERIFY(s.messages.isEmpty());
        s.Hover({5, 1});
        QVERIFY(s.ZoomName() != QString("Volume not scanned!"));
        QVERIFY(!s.ZoomName().isEmpty());
    }

    // Closing the main window (or "Quit!") while a scan runs, at a stage of
    // the reader or as the painting begins, ends the scan; the windows then
    // go at once.
    void closingTheWindowDuringAScanEndsIt() {
        for (const char* stage : {"enumerating files", "enumerating clusters", "painting clusters",
                                  "parsing directories"}) {
            auto s = std::make_unique<Session>(Sources());
            bool closed = false;
            connect(s->Scanner(), &lorvex::ui::ScanController::stageStarted, this,
                    [&](const QString& title) {
                        if (title == stage && !closed) {
                            closed = true;
                            if (title == "parsing directories") {
                                s->form.Action(ActionId::kQuit)->trigger();
                            } else {
                                s->form.close();
                            }
                        }
                    });
            s->Drive('C')->trigger();
            QVERIFY(WorkEnded(s->form));
            QVERIFY2(closed, stage);
            QCOMPARE(s->form.isVisible(), std::string_view(stage) == "parsing directories");
            QVERIFY(!s->form.IsScanning());
            QVERIFY(!s->form.IsScanned());
            QVERIFY(!s->ProgressArea()->isVisible());
            QVERIFY(s->messages.isEmpty());

            QElapsedTimer teardown;
            teardown.start();
            s.reset();
            QVERIFY2(teardown.elapsed() < 5000, stage);
        }
    }

    // A volume that claims 2^31 clusters of 512 bytes (1 TiB) over 4 MiB of
    // source: the map has cells, and picture rows, only for the 8192
    // clusters the source holds, and the rest of its last row is beyond the
    // end. Sized from the claim, the cells and the picture took 4 GiB.
    // The reader's own message (the file system refusing the query for the
    // last record) reaches the window from the scanning thread, which does
    // not wait for it to be read.
    void aRefusedRecordQueryIsSaidWhileTheScanGoesOn() {
        lorvex::test::FakeVolumeApi api;
        lorvex::test::FakeVolumeData data;
        data.totalClusters = 8192;
        data.numberSectors = data.totalClusters;
        data.bytesPerCluster = 512;
        api.AddNtfsDrive('C', data).recordQueryError = lorvex::platform::error::kFileCorrupt;
        TLorvexWindows windows(api);
        MainWindow& form = windows.Form1;
        QStringList messages;
        lorvex::ui::TUserNotices notices;
        notices.beep = [] {};
        notices.message = [&messages](const QString& caption, const QString& text) {
            messages << caption + ":" + text;
        };
        form.SetUserNotices(notices);
        form.OpenDrive("C:\\", false);
        QVERIFY(WorkEnded(form));
        QTRY_VERIFY(messages.contains("error:1392"));
        QCOMPARE(messages.count("error:1392"), 1);
        QVERIFY(form.IsScanned());
    }

    void aClaimBeyondTheSourceGetsCellsOnlyForWhatItHolds() {
        lorvex::test::FakeVolumeApi api;
        lorvex::test::FakeVolumeData data;
        data.totalClusters = std::int64_t{1} << 31;
        data.numberSectors = data.totalClusters;
        data.bytesPerCluster = 512;
        api.AddNtfsDrive('C', data).imageSize = std::int64_t{4} << 20;
        TLorvexWindows windows(api);
        MainWindow& form = windows.Form1;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QStringList messages;
        lorvex::ui::TUserNotices notices;
        notices.beep = [] {};
        notices.message = [&messages](const QString&, const QString& text) { messages << text; };
        form.SetUserNotices(notices);
        form.OpenDrive("C:\\", false);
        QVERIFY(WorkEnded(form));
        QCOMPARE(form.FTotalClusters, data.totalClusters);
        QVERIFY(form.Model());
        QCOMPARE(form.Model()->TotalClusters(), std::int64_t{8192});
        form.RenderMapBitmap();
        form.SetZoom({});
        QVERIFY(form.FCellsPerRow > 0);
        const std::int32_t rows = (8192 + form.FCellsPerRow - 1) / form.FCellsPerRow;
        QCOMPARE(form.View().RowCount(), rows);
        const std::int32_t lastInRow = 8191 % form.FCellsPerRow;
        if (lastInRow + 1 < form.FCellsPerRow) {
            QCOMPARE(form.FScreen.pixelIndex(lastInRow + 1, rows - 1),
                     static_cast<int>(lorvex::ui::csBeyondEnd));
        }
        QVERIFY(form.FScreen.pixelIndex(lastInRow, rows - 1) !=
                static_cast<int>(lorvex::ui::csBeyondEnd));
    }
};

} // namespace

int main(int argc, char** argv) {
    return lorvex::test::RunWindowTest<MainWindowTest>(argc, argv, "LorvexWindowTests");
}

#include "MainWindowTest.moc"

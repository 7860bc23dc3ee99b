#include "ui/screenshot/Screenshot.h"

#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "ui/BitLockerDialog.h"
#include "ui/DeletedFilesWindow.h"
#include "ui/DeletedWalk.h"
#include "ui/FindWindow.h"
#include "ui/HelpPages.h"
#include "ui/LorvexWindows.h"
#include "ui/PictureFile.h"
#include "ui/ProblemListWindow.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <QToolBar>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace lorvex::ui {

namespace {

int Fail(const QString& message) {
    std::fprintf(stderr, "lorvex-screenshot: %s\n", message.toLocal8Bit().constData());
    return 1;
}

// Lets the windows paint and the window system answer for a while.
void Settle(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

// The scan runs on from the event loop; its end is waited for.
void WaitForScan(MainWindow& form) {
    if (form.IsScanning()) {
        QEventLoop scanning;
        QObject::connect(&form, &MainWindow::ScanFinished, &scanning, &QEventLoop::quit);
        scanning.exec();
    }
}

// Work that emits no ScanFinished (the walk of the deleted entries) is
// waited for until the window says it is over, a minute at most.
void WaitForWork(MainWindow& form) {
    QElapsedTimer timer;
    timer.start();
    while (form.IsScanning() && timer.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

// The first cluster of a deleted entry's data that another file took, else
// of one that still holds its data; -1 when there is neither.
std::int64_t DeletedCluster(const ntfs::DeletedEntries& deleted) {
    std::int64_t kept = -1;
    for (const ntfs::DeletedEntry& entry : deleted.entries()) {
        for (const ntfs::DeletedStream& stream : deleted.Streams(entry)) {
            for (const ntfs::DeletedPiece& piece : deleted.Pieces(stream)) {
                if (piece.state == ntfs::PieceState::kOverwritten) {
                    return piece.lcn;
                }
                if (piece.state == ntfs::PieceState::kFree && kept < 0) {
                    kept = piece.lcn;
                }
            }
        }
    }
    return kept;
}

// A cluster in the middle of the file's middle extent: inside a run of its
// own colour, with neighbours of the same file around it.
std::int64_t ClusterOfFile(const MainWindow& form, const std::u16string& path) {
    const ntfs::TFileIDs& table = form.Scan()->fileIds;
    std::int64_t index = -1;
    std::u16string entryPath;
    for (std::int32_t i = 0; i < table.size(); ++i) {
        table.GetPath(i, entryPath);
        if (entryPath == path) {
            index = i;
            break;
        }
    }
    if (index < 0) {
        return -1;
    }
    std::vector<const ntfs::TClusterEntry*> extents;
    for (const ntfs::TClusterEntry& extent : form.Scan()->clusters) {
        if (extent.FileIndex == static_cast<std::uint32_t>(index)) {
            extents.push_back(&extent);
        }
    }
    if (extents.empty()) {
        return -1;
    }
    const ntfs::TClusterEntry& middle = *extents[extents.size() / 2];
    return middle.LCN + middle.Length / 2;
}

// Every picture goes through the volume layer's check: a folder given on
// the command line can hold a source under any name.
bool SavePicture(const platform::VolumeApi& api, const QDir& dir, const QString& name,
                 const QImage& picture) {
    const QString path = dir.filePath(name);
    const QString why = WritePicture(api, path, picture);
    if (!why.isEmpty()) {
        std::fprintf(stderr, "lorvex: screenshot: %s: %s\n", path.toLocal8Bit().constData(),
                     why.toLocal8Bit().constData());
        return false;
    }
    return true;
}

// A locked BitLocker drive: the Drive menu that marks it, the dialog that
// asks for its key after a wrong one, and the message when none is given.
int TakeBitLockerScreenshots(MainWindow& form, const QString& folder) {
    const QDir dir(folder);
    bool ok = true;
    // The screen as it shows the window, the menu or dialog over it.
    const auto save = [&](const QString& name) {
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect frame = form.frameGeometry();
            ok = SavePicture(
                     form.Api(), dir, name,
                     screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
                         .toImage()) &&
                 ok;
        }
    };
    Settle(300);
    form.menuBar()->setActiveAction(form.Menu(MenuId::kDrive)->menuAction());
    Settle(500);
    save("bitlocker-drive-menu.png");
    form.Menu(MenuId::kDrive)->hide();
    form.menuBar()->setActiveAction(nullptr);
    Settle(300);
    // The dialog is modal: it is filled in and pictured from the event loop
    // it runs, and the message after it likewise.
    QTimer::singleShot(500, &form, [&] {
        auto* dialog = qobject_cast<TBitLockerDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            ok = false;
            return;
        }
        dialog->KeyField()->setText("not the password");
        dialog->TryText(dialog->KeyField()->text());
        Settle(300);
        save("bitlocker-unlock.png");
        QTimer::singleShot(500, &form, [&] {
            save("bitlocker-locked.png");
            if (QWidget* box = QApplication::activeModalWidget()) {
                box->close();
            }
        });
        dialog->reject();
    });
    form.DriveActions().front()->trigger();
    Settle(200);
    if (!ok) {
        return Fail("cannot take the BitLocker pictures into " + folder);
    }
    std::printf("wrote bitlocker-drive-menu, bitlocker-unlock and bitlocker-locked .png into %s\n",
                folder.toLocal8Bit().constData());
    return 0;
}

// The pictures of one run over a scanned drive, each method a group of
// them taken in the order TakeScreenshots calls them. A picture that
// cannot be written is told at once and the run goes on.
class ScreenshotRun {
  public:
    ScreenshotRun(TLorvexWindows& windows, const QString& folder, std::int64_t lcn)
        : windows_(windows), form_(windows.Form1), dir_(folder), lcn_(lcn) {}

    [[nodiscard]] bool Ok() const { return ok_; }

    void Save(const QString& name, const QImage& picture) {
        ok_ = SavePicture(form_.Api(), dir_, name, picture) && ok_;
    }

    // Puts the pointer on the cluster's pixel: the real pointer, so that
    // the window hears of it as it would from a hand; a window system that
    // ignores the request still gets the move.
    QPoint Hover(std::int64_t cluster) {
        form_.GoToCluster(cluster);
        const QPoint at(form_.FMouseX, form_.FMouseY);
        QCursor::setPos(form_.MapSurface()->mapToGlobal(at));
        Settle(300);
        if (form_.FHoverLCN != cluster) {
            form_.FormMouseMove(at.x(), at.y());
            Settle(100);
        }
        return at;
    }

    // The map as the window opens, then the whole volume and the cells
    // around the hovered cluster magnified, with the pointer on it.
    void Views(const QString& suffix) {
        const QPoint at = Hover(lcn_);
        std::printf("hovered cluster %lld at (%d, %d) in a %dx%d window: %s\n",
                    static_cast<long long>(form_.FHoverLCN), at.x(), at.y(), form_.width(),
                    form_.height(),
                    windows_.frm_Help.lbl_Name->toPlainText().toLocal8Bit().constData());
        Save("main" + suffix + ".png", form_.grab().toImage());
        Save("zoom" + suffix + ".png", windows_.frm_Help.grab().toImage());
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            Save("screen" + suffix + ".png", screen->grabWindow(0).toImage());
        }
        form_.ZoomToFit();
        form_.FormMouseMove(form_.FMouseX, form_.FMouseY);
        Settle(200);
        Save("zoom-fit" + suffix + ".png", form_.grab().toImage());
        form_.SetZoom({8, 1});
        Hover(lcn_);
        Save("zoom-in" + suffix + ".png", form_.grab().toImage());
        // Back to the view the window opens with, as a user finds it.
        form_.ZoomToFit();
        Hover(lcn_);
    }

    // The legend, and the hovered file lit on the map.
    void LegendAndShownFile() {
        if (auto* legend = form_.findChild<QToolBar*>("Legend")) {
            Save("legend.png", legend->grab().toImage());
        }
        const std::int64_t owner = ntfs::FindClusterOwner(form_.Scan()->clusters, lcn_);
        form_.SetZoom({4, 1});
        form_.ShowOnMap(owner);
        Settle(200);
        Save("show-on-map.png", form_.grab().toImage());
        form_.ClearHighlight();
        // Back to the view the window opens with, as a user finds it.
        form_.ZoomToFit();
        Hover(lcn_);
    }

    // The reports of the hovered cluster and the two Tools lists, each
    // window alone.
    void ReportsAndLists() {
        form_.ShowClusterDetails();
        Settle(200);
        Save("report.png", windows_.frm_Info.grab().toImage());
        form_.ShowHexDump();
        Settle(200);
        Save("hexdump.png", windows_.frm_Info.grab().toImage());
        windows_.frm_Info.hide();
        form_.mnuFindClick();
        windows_.frmFind.edtContains->setText("alice");
        Settle(200);
        Save("find.png", windows_.frmFind.grab().toImage());
        windows_.frmFind.hide();
        form_.FragmentationList1Click();
        Settle(200);
        Save("fragmentation.png", windows_.frm_Fragmentation.grab().toImage());
        windows_.frm_Fragmentation.hide();
        // Help > Keys and Mouse, and About Lorvex.
        const auto page = [this](void (*show)(QWidget*), const char* name, const QString& file) {
            show(&form_);
            Settle(200);
            if (auto* shown = form_.findChild<QWidget*>(name); shown != nullptr) {
                Save(file, shown->grab().toImage());
                shown->hide();
            }
        };
        page(&ShowKeysAndMouse, "KeysAndMouse", "keys.png");
        page(&ShowAbout, "AboutLorvex", "about.png");
    }

    // The volume check over the map and as a list, when there is anything
    // to show; false when there is not.
    bool Health() {
        const ntfs::THealthReport& health = form_.Scan()->health;
        if (health.Problems.empty()) {
            return false;
        }
        form_.SetHealthOverlay(true);
        form_.SetZoom({8, 1});
        Hover(std::max<std::int64_t>(health.Problems.front().FirstLCN, 0));
        Save("health.png", form_.grab().toImage());
        form_.ZoomToFit();
        Settle(200);
        Save("health-fit.png", form_.grab().toImage());
        form_.VolumeCheckClick();
        Settle(200);
        Save("volume-check.png", form_.frm_Health->grab().toImage());
        form_.frm_Health->hide();
        form_.SetHealthOverlay(false);
        // Back to the view the window opens with, as a user finds it.
        form_.ZoomToFit();
        return true;
    }

    // The deleted remains over the map (cells of 8 pixels, around a
    // deleted file's cluster that another file took, the legend naming the
    // two colours) and the Deleted Files list; false when the drive has no
    // deleted entry.
    bool Deleted() {
        form_.SetDeletedRemains(true);
        WaitForWork(form_);
        const auto deleted = form_.DeletedOfShownScan();
        const std::int64_t cluster = deleted ? DeletedCluster(deleted->entries) : -1;
        if (cluster < 0) {
            form_.SetDeletedRemains(false);
            return false;
        }
        form_.SetZoom({8, 1});
        Hover(cluster);
        Save("deleted.png", form_.grab().toImage());
        form_.DeletedFilesClick();
        Settle(300);
        Save("deleted-files.png", form_.frm_Deleted->grab().toImage());
        form_.frm_Deleted->hide();
        form_.SetDeletedRemains(false);
        // Back to the view the window opens with, as a user finds it.
        form_.ZoomToFit();
        return true;
    }

    // The Damage Map list of `damageMap` and its bad areas on the map; false
    // with what the window would have said when it refuses the file.
    bool Damage(const QString& damageMap, QString& refused) {
        // What the window would say in a message box is said here instead:
        // nobody is there to close one.
        TUserNotices notices;
        notices.message = [&refused](const QString&, const QString& text) { refused = text; };
        form_.SetUserNotices(notices);
        const bool loaded = form_.LoadDamageMap(damageMap, 0);
        form_.SetUserNotices({});
        if (!loaded) {
            return false;
        }
        Settle(200);
        Save("damage.png", form_.frm_Damage->grab().toImage());
        form_.frm_Damage->hide();
        // Around the first stretch of a file of the user's (past the system
        // files), where one can see what it hit.
        const auto& hits = form_.DamageReport().Hits;
        const auto user = std::find_if(hits.begin(), hits.end(), [](const ntfs::TDamageHit& h) {
            return h.RecordNo >= ntfs::kFirstUserRecord;
        });
        if (user != hits.end() || !hits.empty()) {
            form_.SetZoom({8, 1});
            Hover(user != hits.end() ? user->FirstLCN : hits.front().FirstLCN);
        }
        Save("damage-map.png", form_.grab().toImage());
        form_.SetDamageOverlay(false);
        // Back to the view the window opens with, as a user finds it.
        form_.ZoomToFit();
        return true;
    }

    // Maximised, as the desktop makes it: a desktop without a window
    // manager leaves the window as it is, and the pictures say so.
    void Maximise() {
        const QSize before = form_.size();
        form_.showMaximized();
        QElapsedTimer waited;
        waited.start();
        while (form_.size() == before && waited.elapsed() < 3000) {
            Settle(50);
        }
        Settle(300);
        if (form_.size() == before) {
            std::printf("the desktop did not maximise the window; the -max pictures show it "
                        "as it stayed\n");
        }
    }

    // The cursor after Go to: the cluster drawn on the map and named.
    void CursorAfterGoTo(std::int64_t lcn) {
        form_.GoToCluster(lcn);
        Settle(200);
        Save("go-to.png", form_.grab().toImage());
    }

    // A rescan held at its first stage for a moment (the work's progress
    // shows after half a second): the stage, the bar and Cancel in the
    // status bar, as a long scan shows them.
    void ScanInProgress() {
        auto release = std::make_shared<std::atomic<bool>>(false);
        form_.SetScanProbe([release](std::string_view stage) {
            if (stage == ntfs::kStageEnumeratingFiles) {
                for (int i = 0; i < 300 && !release->load(); ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
        });
        form_.Action(ActionId::kScan)->trigger();
        Settle(1200);
        Save("scanning.png", form_.grab().toImage());
        release->store(true);
        WaitForScan(form_);
        form_.SetScanProbe({});
        Settle(200);
    }

    // A source that is not NTFS, when one was given after the first: the
    // message the window shows of it, over the window, as the screen has it.
    // False when there is no such source.
    bool NotNtfsMessage(const QStringList& problems) {
        if (problems.isEmpty()) {
            return false;
        }
        form_.showNormal();
        Settle(300);
        QTimer::singleShot(500, &form_, [&] {
            if (QScreen* screen = QGuiApplication::primaryScreen()) {
                Save("error.png", screen->grabWindow(0).toImage());
            }
            if (QWidget* box = QApplication::activeModalWidget()) {
                box->close();
            }
        });
        form_.ShowStartupProblems(problems, false);
        Settle(200);
        return true;
    }

  private:
    TLorvexWindows& windows_;
    MainWindow& form_;
    const QDir dir_;
    const std::int64_t lcn_;
    bool ok_ = true;
};

} // namespace

int TakeScreenshots(TLorvexWindows& windows, const QString& folder, const QString& hoverPath,
                    const QString& damageMap, const QStringList& problems) {
    MainWindow& form = windows.Form1;
    if (!QDir().mkpath(folder)) {
        return Fail("cannot create " + folder);
    }
    const QList<QAction*> drives = form.DriveActions();
    if (drives.isEmpty()) {
        return Fail("no drive to choose");
    }
    if (drives.front()->text().contains("[BitLocker, locked]")) {
        return TakeBitLockerScreenshots(form, folder);
    }
    Settle(300);
    drives.front()->trigger();
    WaitForScan(form);
    if (!form.IsScanned()) {
        return Fail("the scan of " + drives.front()->text() + " did not finish");
    }

    QString path = hoverPath;
    path.replace('/', '\\');
    const std::int64_t lcn = ClusterOfFile(form, path.toStdU16String());
    if (lcn < 0) {
        return Fail("no cluster of " + hoverPath + " on the volume");
    }
    ScreenshotRun run(windows, folder, lcn);
    run.Views(QString());
    run.LegendAndShownFile();
    run.ReportsAndLists();
    QStringList extras;
    if (run.Health()) {
        extras << "health"
               << "health-fit"
               << "volume-check";
    }
    if (run.Deleted()) {
        extras << "deleted"
               << "deleted-files";
    }
    if (!damageMap.isEmpty()) {
        QString refused;
        if (!run.Damage(damageMap, refused)) {
            return Fail(refused);
        }
        extras << "damage"
               << "damage-map";
    }
    run.CursorAfterGoTo(lcn);
    run.ScanInProgress();
    run.Hover(lcn);
    run.Maximise();
    run.Views("-max");
    const bool error = run.NotNtfsMessage(problems);
    if (!run.Ok()) {
        return Fail("cannot write the pictures into " + folder);
    }
    std::printf("wrote main, zoom, screen, zoom-fit and zoom-in (each also -max: maximised), "
                "legend, show-on-map, report, hexdump, find, fragmentation, keys, about, go-to, "
                "scanning%s%s .png "
                "into %s\n",
                extras.isEmpty() ? "" : (", " + extras.join(", ")).toLocal8Bit().constData(),
                error ? " and error" : "", folder.toLocal8Bit().constData());
    return 0;
}

} // namespace lorvex::ui

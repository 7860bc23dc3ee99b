#include "ui/Screenshot.h"

#include "ntfs/FileTable.h"
#include "ntfs/NTFSVolume.h"
#include "platform/RawVolumeSystem.h"
#include "ui/BitLockerDialog.h"
#include "ui/FindWindow.h"
#include "ui/LorvexWindows.h"
#include "ui/PictureFile.h"
#include "ui/ProblemListWindow.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
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
#include <cstdio>

namespace lorvex::ui {

namespace {

int Fail(const QString& message) {
    std::fprintf(stderr, "lorvex: screenshot: %s\n", message.toLocal8Bit().constData());
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

// A cluster in the middle of the file's middle extent: inside a run of its
// own colour, with neighbours of the same file around it.
std::int64_t ClusterOfFile(const TForm1& form, const std::u16string& path) {
    const ntfs::TFileIDs& table = form.Scan()->fileIds;
    std::int64_t index = -1;
    std::u16string entryPath;
    for (std::int32_t i = 0; i < table.FCount; ++i) {
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
int TakeBitLockerScreenshots(TForm1& form, const QString& folder) {
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
    form.menuBar()->setActiveAction(form.mnuDrive->menuAction());
    Settle(500);
    save("bitlocker-drive-menu.png");
    form.mnuDrive->hide();
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
    form.mnuDrive->actions().front()->trigger();
    Settle(200);
    if (!ok) {
        return Fail("cannot take the BitLocker pictures into " + folder);
    }
    std::printf("wrote bitlocker-drive-menu, bitlocker-unlock and bitlocker-locked .png into %s\n",
                folder.toLocal8Bit().constData());
    return 0;
}

} // namespace

int TakeScreenshots(TLorvexWindows& windows, const QString& folder, const QString& hoverPath,
                    const QString& damageMap) {
    TForm1& form = windows.Form1;
    if (!QDir().mkpath(folder)) {
        return Fail("cannot create " + folder);
    }
    const QList<QAction*> drives = form.mnuDrive->actions();
    if (drives.isEmpty()) {
        return Fail("no drive to choose");
    }
    if (drives.front()->text().contains("[BitLocker, locked]")) {
        return TakeBitLockerScreenshots(form, folder);
    }
    Settle(300);
    drives.front()->trigger();
    if (!form.IsScanned()) {
        return Fail("the scan of " + drives.front()->text() + " did not finish");
    }

    QString path = hoverPath;
    path.replace('/', '\\');
    std::int64_t lcn = ClusterOfFile(form, path.toStdU16String());
    if (lcn < 0) {
        return Fail("no cluster of " + hoverPath + " on the volume");
    }
    const QDir dir(folder);
    bool ok = true;
    const auto save = [&](const QString& name, const QImage& picture) {
        ok = SavePicture(form.Api(), dir, name, picture) && ok;
    };
    // Puts the pointer on the cluster's pixel: the real pointer, so that
    // the window hears of it as it would from a hand; a window system that
    // ignores the request still gets the move.
    const auto hover = [&](std::int64_t cluster) {
        form.GoToCluster(cluster);
        const QPoint at(form.FMouseX, form.FMouseY);
        QCursor::setPos(form.MapSurface()->mapToGlobal(at));
        Settle(300);
        if (form.FHoverLCN != cluster) {
            form.FormMouseMove(at.x(), at.y());
            Settle(100);
        }
        return at;
    };
    // The map as the window opens, then the whole volume and the cells
    // around the hovered cluster magnified, with the pointer on it.
    const auto views = [&](const QString& suffix) {
        const QPoint at = hover(lcn);
        std::printf("hovered cluster %lld at (%d, %d) in a %dx%d window: %s\n",
                    static_cast<long long>(form.FHoverLCN), at.x(), at.y(), form.width(),
                    form.height(),
                    windows.frm_Help.lbl_Name->toPlainText().toLocal8Bit().constData());
        save("main" + suffix + ".png", form.grab().toImage());
        save("zoom" + suffix + ".png", windows.frm_Help.grab().toImage());
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            save("screen" + suffix + ".png", screen->grabWindow(0).toImage());
        }
        form.ZoomToFit();
        form.FormMouseMove(form.FMouseX, form.FMouseY);
        Settle(200);
        save("zoom-fit" + suffix + ".png", form.grab().toImage());
        form.SetZoom({8, 1});
        hover(lcn);
        save("zoom-in" + suffix + ".png", form.grab().toImage());
        form.SetZoom({});
        hover(lcn);
    };
    views(QString());

    // The legend, and the hovered file lit on the map.
    if (auto* legend = form.findChild<QToolBar*>("Legend")) {
        save("legend.png", legend->grab().toImage());
    }
    const std::int64_t owner = ntfs::TNTFSVolume::FindClusterOwner(form.Scan()->clusters, lcn);
    form.SetZoom({4, 1});
    form.ShowOnMap(owner);
    Settle(200);
    save("show-on-map.png", form.grab().toImage());
    form.ClearHighlight();
    form.SetZoom({});
    hover(lcn);

    // The reports of the hovered cluster and the two Tools lists, each
    // window alone.
    form.ShowClusterDetails();
    Settle(200);
    save("report.png", windows.frm_Info.grab().toImage());
    form.ShowHexDump();
    Settle(200);
    save("hexdump.png", windows.frm_Info.grab().toImage());
    windows.frm_Info.hide();
    form.mnuFindClick();
    windows.frmFind.edtContains->setText("alice");
    Settle(200);
    save("find.png", windows.frmFind.grab().toImage());
    windows.frmFind.hide();
    form.FragmentationList1Click();
    Settle(200);
    save("fragmentation.png", windows.frm_Fragmentation.grab().toImage());
    windows.frm_Fragmentation.hide();

    // The volume check over the map and as a list, when there is anything
    // to show; then a damage map's list and its bad areas.
    QStringList extras;
    const ntfs::THealthReport& health = form.Scan()->health;
    if (!health.Problems.empty()) {
        form.SetHealthOverlay(true);
        form.SetZoom({8, 1});
        hover(std::max<std::int64_t>(health.Problems.front().FirstLCN, 0));
        save("health.png", form.grab().toImage());
        form.ZoomToFit();
        Settle(200);
        save("health-fit.png", form.grab().toImage());
        form.VolumeCheckClick();
        Settle(200);
        save("volume-check.png", form.frm_Health->grab().toImage());
        form.frm_Health->hide();
        form.SetHealthOverlay(false);
        form.SetZoom({});
        extras << "health"
               << "health-fit"
               << "volume-check";
    }
    if (!damageMap.isEmpty()) {
        // What the window would say in a message box is said here instead:
        // nobody is there to close one.
        QString refused;
        TUserNotices notices;
        notices.message = [&refused](const QString&, const QString& text) { refused = text; };
        form.SetUserNotices(notices);
        const bool loaded = form.LoadDamageMap(damageMap, 0);
        form.SetUserNotices({});
        if (!loaded) {
            return Fail(refused);
        }
        Settle(200);
        save("damage.png", form.frm_Damage->grab().toImage());
        form.frm_Damage->hide();
        // Around the first stretch of a file of the user's (past the system
        // files), where one can see what it hit.
        const auto& hits = form.DamageReport().Hits;
        const auto user = std::find_if(hits.begin(), hits.end(), [](const ntfs::TDamageHit& h) {
            return h.RecordNo >= ntfs::kFirstUserRecord;
        });
        if (user != hits.end() || !hits.empty()) {
            form.SetZoom({8, 1});
            hover(user != hits.end() ? user->FirstLCN : hits.front().FirstLCN);
        }
        save("damage-map.png", form.grab().toImage());
        form.SetDamageOverlay(false);
        form.SetZoom({});
        extras << "damage"
               << "damage-map";
    }
    hover(lcn);

    // Maximised, as the desktop makes it: a desktop without a window
    // manager leaves the window as it is, and the pictures say so.
    const QSize before = form.size();
    form.showMaximized();
    QElapsedTimer waited;
    waited.start();
    while (form.size() == before && waited.elapsed() < 3000) {
        Settle(50);
    }
    Settle(300);
    if (form.size() == before) {
        std::printf("the desktop did not maximise the window; the -max pictures show it "
                    "as it stayed\n");
    }
    views("-max");
    // A drive that is not NTFS, when one was given after the first: the
    // message the window shows, over the window, as the screen has it.
    const QList<QAction*> all = form.mnuDrive->actions();
    if (all.size() > 1) {
        form.showNormal();
        Settle(300);
        QTimer::singleShot(500, &form, [&] {
            if (QScreen* screen = QGuiApplication::primaryScreen()) {
                save("error.png", screen->grabWindow(0).toImage());
            }
            if (QWidget* box = QApplication::activeModalWidget()) {
                box->close();
            }
        });
        all.back()->trigger();
        Settle(200);
    }
    if (!ok) {
        return Fail("cannot write the pictures into " + folder);
    }
    std::printf("wrote main, zoom, screen, zoom-fit and zoom-in (each also -max: maximised), "
                "legend, show-on-map, report, hexdump, find, fragmentation%s%s .png into %s\n",
                extras.isEmpty() ? "" : (", " + extras.join(", ")).toLocal8Bit().constData(),
                all.size() > 1 ? " and error" : "", folder.toLocal8Bit().constData());
    return 0;
}

} // namespace lorvex::ui

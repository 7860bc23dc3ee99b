#include "ui/Screenshot.h"

#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "platform/RawVolumeSystem.h"
#include "ui/FindWindow.h"
#include "ui/LorvexWindows.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScreen>
#include <QScrollBar>

#include <cstdio>
#include <unistd.h>

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

// Writes a picture through the volume layer's check, as the export does:
// a folder given on the command line can hold a source under any name.
bool SavePicture(const platform::VolumeApi& api, const QDir& dir, const QString& name,
                 const QImage& picture) {
    const std::string path = QFile::encodeName(dir.filePath(name)).toStdString();
    const platform::WriteTarget target = platform::OpenWriteTargetFor(api, path);
    if (target.fd < 0) {
        std::fprintf(stderr, "lorvex: screenshot: %s: %s\n", path.c_str(),
                     ntfs::RuntimeErrorText(target.error).c_str());
        return false;
    }
    QFile file;
    if (!file.open(target.fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(target.fd);
        return false;
    }
    return picture.save(&file, "PNG") && file.flush();
}

} // namespace

int TakeScreenshots(TLorvexWindows& windows, const QString& folder, const QString& hoverPath) {
    TForm1& form = windows.Form1;
    if (!QDir().mkpath(folder)) {
        return Fail("cannot create " + folder);
    }
    const QList<QAction*> drives = form.mnuDrive->actions();
    if (drives.isEmpty()) {
        return Fail("no drive to choose");
    }
    Settle(300);
    drives.front()->trigger();
    if (!form.IsScanned()) {
        return Fail("the scan of " + drives.front()->text() + " did not finish");
    }

    QString path = hoverPath;
    path.replace('/', '\\');
    const std::int64_t lcn = ClusterOfFile(form, path.toStdU16String());
    if (lcn < 0) {
        return Fail("no cluster of " + hoverPath + " on the volume");
    }
    form.GoToCluster(lcn);
    const QPoint at(form.FMouseX, form.FMouseY);

    // The real pointer, so that the window hears of it as it would from a
    // hand; a window system that ignores the request still gets the move.
    QCursor::setPos(form.MapSurface()->mapToGlobal(at));
    Settle(300);
    const bool byPointer = form.FHoverLCN == lcn;
    if (!byPointer) {
        form.FormMouseMove(at.x(), at.y());
        Settle(100);
    }
    std::printf("hovered cluster %lld at (%d, %d)%s: %s\n", static_cast<long long>(form.FHoverLCN),
                at.x(), at.y(), byPointer ? "" : " (the pointer did not move; handed over)",
                windows.frm_Help.lbl_Name->toPlainText().toLocal8Bit().constData());

    const QDir dir(folder);
    bool ok = SavePicture(form.Api(), dir, "main.png", form.grab().toImage());
    ok = SavePicture(form.Api(), dir, "zoom.png", windows.frm_Help.grab().toImage()) && ok;
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        ok = SavePicture(form.Api(), dir, "screen.png", screen->grabWindow(0).toImage()) && ok;
    }

    // The reports of the hovered cluster and the two Tools lists, each
    // window alone.
    form.ShowClusterDetails();
    Settle(200);
    ok = SavePicture(form.Api(), dir, "report.png", windows.frm_Info.grab().toImage()) && ok;
    form.ShowHexDump();
    Settle(200);
    ok = SavePicture(form.Api(), dir, "hexdump.png", windows.frm_Info.grab().toImage()) && ok;
    windows.frm_Info.hide();
    form.mnuFindClick();
    windows.frmFind.edtContains->setText("alice");
    Settle(200);
    ok = SavePicture(form.Api(), dir, "find.png", windows.frmFind.grab().toImage()) && ok;
    windows.frmFind.hide();
    form.FragmentationList1Click();
    Settle(200);
    ok = SavePicture(form.Api(), dir, "fragmentation.png",
                     windows.frm_Fragmentation.grab().toImage()) &&
         ok;
    windows.frm_Fragmentation.hide();
    if (!ok) {
        return Fail("cannot write the pictures into " + folder);
    }
    std::printf("wrote main.png, zoom.png, screen.png, report.png, hexdump.png, find.png and "
                "fragmentation.png into %s\n",
                folder.toLocal8Bit().constData());
    return 0;
}

} // namespace lorvex::ui

// The main window's sources: images opened from the File menu, the recent
// ones, dropped files, and what went wrong before the window opened.
#include "ui/MainWindow.h"

#include "ui/MainWindowShared.h"
#include "ui/ShownText.h"

#include <QAction>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QSettings>
#include <QTimer>
#include <QUrl>

#include <algorithm>

#include <unistd.h>

namespace lorvex::ui {

using namespace mainwindow;

bool MainWindow::OpenSources(const QStringList& paths, bool raw) {
    if (!FSourceHooks.open || IsScanning() || paths.isEmpty()) {
        return false;
    }
    const qsizetype before = DriveActions().size();
    QStringList problems;
    for (const QString& path : paths) {
        QString problem = FSourceHooks.open(path, raw, false);
        // The files a VMDK names outside its folder are chosen by whoever
        // made the evidence: they are read only when the user says so.
        const QStringList outside = problem.isEmpty() || !FSourceHooks.outsideFiles
                                        ? QStringList()
                                        : FSourceHooks.outsideFiles(path);
        if (!outside.isEmpty() &&
            Ask(kAppCaption,
                QString("%1 is a VMDK that would read these files, which lie outside its "
                        "folder or are not its own:\n\n%2\n\nWhoever made the image chose these "
                        "names; they may be this machine's own disks or files. Read them as part "
                        "of the image?")
                    .arg(path, outside.join("\n")))) {
            problem = FSourceHooks.open(path, raw, true);
        }
        if (problem.contains("ermission denied")) {
            problem += " (reading a disk needs root, or membership of the disk group)";
        }
        if (problem.isEmpty()) {
            RememberSource(QFileInfo(path).absoluteFilePath(), raw);
        } else {
            problems << QString("%1: %2").arg(path, problem);
        }
    }
    BuildDriveMenu();
    if (!problems.isEmpty()) {
        ShowNotice(kAppCaption, "Cannot open " + problems.join("\n"));
    }
    const QList<QAction*> drives = DriveActions();
    if (drives.size() <= before) {
        return false;
    }
    drives[before]->trigger();
    return true;
}

void MainWindow::mnuOpenClick(bool raw) {
    if (!FSourceHooks.open || IsScanning()) {
        return;
    }
    // The volume layer knows a container by its content, not its name; the
    // names here only narrow the list. "All files" stays for the rest.
    const QStringList paths = QFileDialog::getOpenFileNames(
        this, raw ? "Open as Raw Image" : "Open Image", LastFolder(),
        "Disk and volume images (*.img *.raw *.dd *.bin *.iso *.ntfs *.E01 *.e01 *.vhd *.VHD "
        "*.vhdx *.VHDX *.vmdk *.VMDK *.qcow2 *.qcow);;"
        "EnCase, VHD, VHDX, VMDK and qcow2 images (*.E01 *.e01 *.vhd *.VHD *.vhdx *.VHDX *.vmdk "
        "*.VMDK *.qcow2 *.qcow);;"
        "Raw images (*.img *.raw *.dd *.bin *.iso *.ntfs);;All files (*)");
    if (!paths.isEmpty()) {
        RememberFolder(paths.front());
    }
    OpenSources(paths, raw);
}

void MainWindow::FillRecentMenu() {
    Menu(MenuId::kRecent)->clear();
    const QStringList recent = QSettings().value("recentSources").toStringList();
    const QStringList raw = QSettings().value("recentRawSources").toStringList();
    for (const QString& path : recent) {
        const bool asRaw = raw.contains(path);
        QAction* item = Menu(MenuId::kRecent)->addAction(ShownText(asRaw ? path + " (raw)" : path));
        connect(item, &QAction::triggered, this,
                [this, path, asRaw] { OpenSources({path}, asRaw); });
    }
    if (recent.isEmpty()) {
        Menu(MenuId::kRecent)->addAction("(none)")->setEnabled(false);
    }
}

void MainWindow::RememberSource(const QString& path, bool raw) {
    QSettings settings;
    QStringList recent = settings.value("recentSources").toStringList();
    recent.removeAll(path);
    recent.prepend(path);
    while (recent.size() > 10) {
        recent.removeLast();
    }
    settings.setValue("recentSources", recent);
    // Opened again as it was opened last.
    QStringList rawOnes = settings.value("recentRawSources").toStringList();
    rawOnes.removeAll(path);
    if (raw) {
        rawOnes.append(path);
    }
    rawOnes.erase(std::remove_if(rawOnes.begin(), rawOnes.end(),
                                 [&recent](const QString& p) { return !recent.contains(p); }),
                  rawOnes.end());
    settings.setValue("recentRawSources", rawOnes);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && FSourceHooks.open && !IsScanning()) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            paths << url.toLocalFile();
        }
    }
    event->acceptProposedAction();
    // After the drop has ended: the scan pumps events of its own.
    QTimer::singleShot(0, this, [this, paths] { OpenSources(paths); });
}

void MainWindow::ShowStartupProblems(const QStringList& problems, bool noSources) {
    QString text;
    if (!problems.isEmpty()) {
        QStringList said = problems;
        for (QString& problem : said) {
            if (problem.contains("ermission denied")) {
                problem += " (reading a disk needs root, or membership of the disk group)";
            }
        }
        text = "Cannot open " + said.join("\n");
    }
    const bool none = DriveActions().isEmpty();
    if (none && noSources) {
        // Started with no source on a machine without NTFS: nothing went
        // wrong that a box must stop the user for; the status bar says it.
        SetStatusText("No NTFS volume was found on this machine" +
                      QString(::geteuid() == 0 ? QString()
                                               : " (reading its disks needs root, or "
                                                 "membership of the disk group)") +
                      "; open an image file with File > Open Image.");
        return;
    }
    if (none) {
        if (!text.isEmpty()) {
            text += "\n\n";
        }
        text += "No drive to show. Open an image with File > Open Image.";
    }
    if (!text.isEmpty()) {
        ShowNotice(kAppCaption, text);
    }
}

} // namespace lorvex::ui

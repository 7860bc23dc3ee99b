// The sources a window opens: the File menu's dialogs, the recent sources,
// dropped files and the problems of the start.
#include "ui/SourcesController.h"

#include "ui/ShownText.h"

#include <QAction>
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

namespace {

constexpr const char* kCaption = "Lorvex";

QString WithPermissionHint(QString problem) {
    if (problem.contains("ermission denied")) {
        problem += " (reading a disk needs root, or membership of the disk group)";
    }
    return problem;
}

} // namespace

SourcesController::SourcesController(QWidget& window, Host host, const TSourceHooks& hooks)
    : QObject(&window), window_(window), host_(std::move(host)), hooks_(hooks) {
}

bool SourcesController::CanOpen() const {
    return hooks_.open && !host_.busy();
}

bool SourcesController::Open(const QStringList& paths, bool raw) {
    if (!CanOpen() || paths.isEmpty()) {
        return false;
    }
    const qsizetype before = host_.drives().size();
    QStringList problems;
    for (const QString& path : paths) {
        QString problem = hooks_.open(path, raw, false);
        // The files a VMDK names outside its folder are chosen by whoever
        // made the evidence: they are read only when the user says so.
        const QStringList outside =
            problem.isEmpty() || !hooks_.outsideFiles ? QStringList() : hooks_.outsideFiles(path);
        if (!outside.isEmpty() &&
            host_.ask(kCaption,
                      QString("%1 is a VMDK that would read these files, which lie outside its "
                              "folder or are not its own:\n\n%2\n\nWhoever made the image chose "
                              "these names; they may be this machine's own disks or files. Read "
                              "them as part of the image?")
                          .arg(path, outside.join("\n")))) {
            problem = hooks_.open(path, raw, true);
        }
        problem = WithPermissionHint(problem);
        if (problem.isEmpty()) {
            RememberSource(QFileInfo(path).absoluteFilePath(), raw);
        } else {
            problems << QString("%1: %2").arg(path, problem);
        }
    }
    const QList<QAction*> drives = host_.rebuildDrives();
    if (!problems.isEmpty()) {
        host_.notice(kCaption, "Cannot open " + problems.join("\n"));
    }
    if (drives.size() <= before) {
        return false;
    }
    drives[before]->trigger();
    return true;
}

void SourcesController::AskAndOpen(bool raw) {
    if (!CanOpen()) {
        return;
    }
    // The volume layer knows a container by its content, not its name; the
    // names here only narrow the list. "All files" stays for the rest.
    const QStringList paths = QFileDialog::getOpenFileNames(
        &window_, raw ? "Open as Raw Image" : "Open Image", host_.lastFolder(),
        "Disk and volume images (*.img *.raw *.dd *.bin *.iso *.ntfs *.E01 *.e01 *.vhd *.VHD "
        "*.vhdx *.VHDX *.vmdk *.VMDK *.qcow2 *.qcow);;"
        "EnCase, VHD, VHDX, VMDK and qcow2 images (*.E01 *.e01 *.vhd *.VHD *.vhdx *.VHDX *.vmdk "
        "*.VMDK *.qcow2 *.qcow);;"
        "Raw images (*.img *.raw *.dd *.bin *.iso *.ntfs);;All files (*)");
    if (!paths.isEmpty()) {
        host_.rememberFolder(paths.front());
    }
    Open(paths, raw);
}

void SourcesController::FillRecentMenu(QMenu& menu) {
    menu.clear();
    const QStringList recent = QSettings().value("recentSources").toStringList();
    const QStringList raw = QSettings().value("recentRawSources").toStringList();
    for (const QString& path : recent) {
        const bool asRaw = raw.contains(path);
        QAction* item = menu.addAction(ShownText(asRaw ? path + " (raw)" : path));
        connect(item, &QAction::triggered, this, [this, path, asRaw] { Open({path}, asRaw); });
    }
    if (recent.isEmpty()) {
        menu.addAction("(none)")->setEnabled(false);
    }
}

void SourcesController::RememberSource(const QString& path, bool raw) {
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

bool SourcesController::TakesDrop(const QMimeData& data) const {
    return data.hasUrls() && CanOpen();
}

void SourcesController::Drop(const QMimeData& data) {
    QStringList paths;
    for (const QUrl& url : data.urls()) {
        if (url.isLocalFile()) {
            paths << url.toLocalFile();
        }
    }
    // After the drop has ended: the scan pumps events of its own.
    QTimer::singleShot(0, this, [this, paths] { Open(paths, false); });
}

void SourcesController::ShowStartupProblems(const QStringList& problems, bool noSources) {
    QString text;
    if (!problems.isEmpty()) {
        QStringList said = problems;
        for (QString& problem : said) {
            problem = WithPermissionHint(problem);
        }
        text = "Cannot open " + said.join("\n");
    }
    const bool none = host_.drives().isEmpty();
    if (none && noSources) {
        // Started with no source on a machine without NTFS: nothing went
        // wrong that a box must stop the user for; the status bar says it.
        host_.status("No NTFS volume was found on this machine" +
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
        host_.notice(kCaption, text);
    }
}

} // namespace lorvex::ui

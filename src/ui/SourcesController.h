#pragma once

#include "ui/BitLockerDialog.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <string>

class QAction;
class QMenu;
class QMimeData;
class QWidget;

namespace lorvex::ui {

// What the window asks of the program about its sources.
struct TSourceHooks {
    // Adds a source, read through the container its content names or, with
    // `raw`, as the bytes it holds: empty on success, else why it cannot be
    // opened. With `allowOutsideExtents`, a VMDK reads the files it names
    // outside its descriptor's folder too.
    std::function<QString(const QString& path, bool raw, bool allowOutsideExtents)> open;
    // The files a source reads only when outside extents are allowed.
    std::function<QStringList(const QString& path)> outsideFiles;
    // The source (and partition) a drive's root lies on and how it was
    // read, for the title: "(disk.img, partition 2) read as raw disk image".
    std::function<QString(const std::string& root)> describe;
    // The other reading a drive's source allows, when it allows one:
    // "decoy.img also reads as a raw NTFS volume image"; empty otherwise.
    std::function<QString(const std::string& root)> otherReading;
    // Where a drive's volume begins in its source and how large the source
    // is, in bytes: a damage map's positions are the source's. False when
    // it cannot be told.
    std::function<bool(const std::string& root, std::uint64_t& offset, std::uint64_t& size)>
        placement;
    // Closes a drive: it leaves the Drive menu. False when it cannot.
    std::function<bool(const std::string& root)> close = nullptr;
    // BitLocker: what a drive's BitLocker volume is (bitLocker false for any
    // other drive), and its unlocking with a key: empty when the key opened
    // it, else why not.
    std::function<TBitLockerFacts(const std::string& root)> bitlocker = nullptr;
    std::function<QString(const std::string& root, const platform::BitLockerKey& key)> unlock =
        nullptr;
};

// The window's sources: images opened from the File menu or dropped on the
// window, the recent ones (kept in the user's settings), and what went
// wrong before the window opened. It opens through the program's hooks and
// leaves the drives they add to the window.
class SourcesController final : public QObject {
    Q_OBJECT

  public:
    // What it asks of the window it serves.
    struct Host {
        // Work on a drive runs: nothing opens meanwhile.
        std::function<bool()> busy;
        std::function<bool(const QString& caption, const QString& question)> ask;
        std::function<void(const QString& caption, const QString& text)> notice;
        std::function<void(const QString& text)> status;
        // The drives the hooks opened, made into the Drive menu's items.
        std::function<QList<QAction*>()> rebuildDrives;
        std::function<QList<QAction*>()> drives;
        // The folder a file dialog opens in, and the one to remember.
        std::function<QString()> lastFolder;
        std::function<void(const QString& file)> rememberFolder;
    };

    SourcesController(QWidget& window, Host host, const TSourceHooks& hooks);

    // Opens image files or devices as more drives and chooses the first
    // new drive; `raw` reads them as the bytes they hold. Problems are shown
    // in one message. False when none opened.
    bool Open(const QStringList& paths, bool raw);
    // File > Open Image (or Open as Raw Image): the dialog, then Open.
    void AskAndOpen(bool raw);
    // File > Open Recent, filled as it opens, newest first.
    void FillRecentMenu(QMenu& menu);
    // Files dragged over the window are taken while sources can be opened.
    [[nodiscard]] bool TakesDrop(const QMimeData& data) const;
    void Drop(const QMimeData& data);
    void ShowStartupProblems(const QStringList& problems, bool noSources);

  private:
    [[nodiscard]] bool CanOpen() const;
    // Puts a source first in Open Recent, with the way it was read.
    static void RememberSource(const QString& path, bool raw);

    QWidget& window_;
    Host host_;
    const TSourceHooks& hooks_;
};

} // namespace lorvex::ui

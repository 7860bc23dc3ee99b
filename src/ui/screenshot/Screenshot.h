#pragma once

#include <QString>
#include <QStringList>

namespace lorvex::ui {

class TLorvexWindows;

// Uses the windows as a person would for a picture of them: chooses the
// first drive, lets the scan finish, puts the mouse on a cluster of the file
// at `hoverPath` ("/Users/alice/mail.pst" or with backslashes), and writes
// main.png (the main window), zoom.png (the zoom window), screen.png (the
// whole screen), report.png and hexdump.png (the cluster report and the hex
// dump of that cluster), find.png and fragmentation.png (Fast Find and the
// Fragmentation List) into `folder`. When the volume check finds problems,
// also health.png (the health overlay around the first of them, cells of 8
// pixels), health-fit.png (the whole volume) and volume-check.png (the list);
// When the drive has deleted entries, deleted.png (the Deleted Remains
// overlay around one, cells of 8 pixels, with the legend) and
// deleted-files.png (the Deleted Files list). With a `damageMap`, damage.png (the Damage Map list)
// and damage-map.png (its bad areas over the whole volume). When the first drive is a locked
// BitLocker drive, bitlocker-drive-menu.png (the Drive menu that marks it),
// bitlocker-unlock.png (the dialog asking for its key, after a wrong one) and
// bitlocker-locked.png (the message once it is given up) instead. Returns the
// program's exit status.
// go-to.png shows the cursor after Go to; scanning.png a rescan in progress,
// with its stage, bar and Cancel in the status bar.
// keys.png and about.png are the Help menu's Keys and Mouse and About pages;
// error.png shows the message of the first of `problems` (the sources the
// window could not open) over the window.
int TakeScreenshots(TLorvexWindows& windows, const QString& folder, const QString& hoverPath,
                    const QString& damageMap = QString(), const QStringList& problems = {});

} // namespace lorvex::ui

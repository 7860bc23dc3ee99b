#pragma once

#include <QString>

namespace lorvex::ui {

class TLorvexWindows;

// Uses the windows as a person would for a picture of them: chooses the
// first drive, lets the scan finish, puts the mouse on a cluster of the file
// at `hoverPath` ("/Users/alice/mail.pst" or with backslashes), and writes
// main.png (the main window), zoom.png (the zoom window), screen.png (the
// whole screen), report.png and hexdump.png (the cluster report and the hex
// dump of that cluster), find.png and fragmentation.png (Fast Find and the
// Fragmentation List) into `folder`. Returns the program's exit status.
int TakeScreenshots(TLorvexWindows& windows, const QString& folder, const QString& hoverPath);

} // namespace lorvex::ui

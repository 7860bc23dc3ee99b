#pragma once

#include <QString>

namespace lorvex::ui {

class TLorvexWindows;

// Uses the windows as a person would for a picture of them: chooses the
// first drive, lets the scan finish, puts the mouse on a cluster of the file
// at `hoverPath` ("/Users/alice/mail.pst" or with backslashes), and writes
// main.png (the main window), zoom.png (the zoom window) and screen.png (the
// whole screen) into `folder`. Returns the program's exit status.
int TakeScreenshots(TLorvexWindows& windows, const QString& folder, const QString& hoverPath);

} // namespace lorvex::ui

#pragma once

#include <QString>

class QWidget;

namespace lorvex::ui {

// "Lorvex 0.1.0" and the versions of Qt and of the libraries the sources
// are read through, one a line: what `lorvex --version` prints.
[[nodiscard]] QString VersionText();

// The Help menu's pages, each a window of its own over `parent`, shown again
// (not made anew) when asked for twice.
// The keys and the mouse, one page.
void ShowKeysAndMouse(QWidget* parent);
// The manual, read-only; false when no copy of it is found.
bool ShowManual(QWidget* parent);
// The version, the licence and the libraries in use.
void ShowAbout(QWidget* parent);

// Where the manual lies: beside the installed program, else in the tree it
// was built from; empty when neither has it.
[[nodiscard]] QString ManualPath();

} // namespace lorvex::ui

// What the main window keeps from one run to the next in the user's
// settings: its place, size and docks, the palette, and the folder the last
// file dialog was in.
#include "ui/MainWindow.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace lorvex::ui {

namespace {

constexpr const char* kGeometry = "window/geometry";
constexpr const char* kState = "window/state";
constexpr const char* kSafePalette = "view/safePalette";
constexpr const char* kLastFolder = "dialogs/lastFolder";

} // namespace

void MainWindow::RestoreSettings() {
    const QSettings settings;
    // A first run keeps the designed size and place.
    if (const QByteArray geometry = settings.value(kGeometry).toByteArray(); !geometry.isEmpty()) {
        geometryRestored_ = restoreGeometry(geometry);
    }
    if (const QByteArray state = settings.value(kState).toByteArray(); !state.isEmpty()) {
        restoreState(state);
    }
    if (settings.value(kSafePalette, false).toBool()) {
        SetSafePalette(true);
    }
}

void MainWindow::SaveSettings() const {
    QSettings settings;
    settings.setValue(kGeometry, saveGeometry());
    settings.setValue(kState, saveState());
    settings.setValue(kSafePalette, FSafePalette);
}

QString MainWindow::LastFolder() const {
    const QString folder = QSettings().value(kLastFolder).toString();
    // A folder since gone leaves the dialog where it would open anyway.
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QDir::homePath();
}

void MainWindow::RememberFolder(const QString& file) {
    QSettings().setValue(kLastFolder, QFileInfo(file).absolutePath());
}

} // namespace lorvex::ui

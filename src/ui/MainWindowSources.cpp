// The main window's sources, opened by its SourcesController: what the
// controller asks of the window, and the window's own entry points.
#include "ui/MainWindow.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>

namespace lorvex::ui {

void MainWindow::BuildSources() {
    SourcesController::Host host;
    host.busy = [this] { return IsScanning(); };
    host.ask = [this](const QString& caption, const QString& question) {
        return Ask(caption, question);
    };
    host.notice = [this](const QString& caption, const QString& text) {
        ShowNotice(caption, text);
    };
    host.status = [this](const QString& text) { SetStatusText(text); };
    host.rebuildDrives = [this] {
        BuildDriveMenu();
        return DriveActions();
    };
    host.drives = [this] { return DriveActions(); };
    host.lastFolder = [this] { return LastFolder(); };
    host.rememberFolder = [this](const QString& file) { RememberFolder(file); };
    sources_ = new SourcesController(*this, std::move(host), FSourceHooks);
}

bool MainWindow::OpenSources(const QStringList& paths, bool raw) {
    return sources_->Open(paths, raw);
}

void MainWindow::ShowStartupProblems(const QStringList& problems, bool noSources) {
    sources_->ShowStartupProblems(problems, noSources);
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (sources_->TakesDrop(*event->mimeData())) {
        event->acceptProposedAction();
    }
}

void MainWindow::dropEvent(QDropEvent* event) {
    sources_->Drop(*event->mimeData());
    event->acceptProposedAction();
}

} // namespace lorvex::ui

// lorvex-screenshot: the windows as a user gets them, as pictures. Opens the
// sources as lorvex does, chooses the first drive, scans it, hovers a cluster
// of one file and saves a picture of every window into a folder. A tool of
// the project's own (tools/screenshot runs it); lorvex holds none of it.
#include "platform/OpenFiles.h"
#include "ui/LorvexWindows.h"
#include "ui/Startup.h"
#include "ui/screenshot/Screenshot.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kUsage =
    "Usage: lorvex-screenshot DIR [--hover-file PATH] [--damage-map FILE] SOURCE...\n"
    "Choose the first drive, scan it, hover a cluster of the file PATH\n"
    "(default /pagefile.sys), save pictures of the windows (main.png, zoom.png,\n"
    "screen.png, zoom-fit.png, zoom-in.png, also maximised, the reports, the\n"
    "lists) into DIR, and quit. With a ddrescue mapfile, also the pictures of\n"
    "the Damage Map list and its bad areas.\n";

bool TakesValue(std::string_view arg) {
    return arg == "--hover-file" || arg == "--damage-map";
}

struct Options {
    QString folder;
    QString hoverFile = "/pagefile.sys";
    QString damageMap;
    std::vector<std::string> sources;
};

// False on a usage error, said.
bool ParseArguments(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (TakesValue(arg)) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "lorvex-screenshot: %s needs a value\n", argv[i]);
                return false;
            }
            (arg == "--hover-file" ? options.hoverFile : options.damageMap) =
                QString::fromLocal8Bit(argv[++i]);
        } else if (arg.starts_with("-") && arg != "-") {
            std::fprintf(stderr, "lorvex-screenshot: unknown option '%s'\n", argv[i]);
            return false;
        } else if (options.folder.isEmpty()) {
            options.folder = QString::fromLocal8Bit(argv[i]);
        } else {
            options.sources.emplace_back(arg);
        }
    }
    if (options.sources.empty()) {
        std::fputs(kUsage, stderr);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    lorvex::platform::RaiseOpenFileLimit();
    lorvex::ui::SilenceStreamsOnNamedSources(argc, argv, TakesValue);
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        return 2;
    }
    const lorvex::ui::StartedSources started = lorvex::ui::StartSources(options.sources);
    QApplication app(argc, argv);
    // Settings of a new user's, kept nowhere: every run pictures the windows
    // as they first open, and none changes what a user's window remembers.
    const QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settings.path());
    QApplication::setOrganizationName("Lorvex");
    QApplication::setApplicationName("Lorvex");
    const QStringList problems = lorvex::ui::SayStartupProblems(started, false);

    lorvex::ui::TLorvexWindows windows(*started.system);
    windows.Form1.show();
    int status = 0;
    QTimer::singleShot(0, &windows.Form1, [&] {
        status = lorvex::ui::TakeScreenshots(windows, options.folder, options.hoverFile,
                                             options.damageMap, problems);
        QApplication::exit(status);
    });
    const int loop = QApplication::exec();
    return status != 0 ? status : loop;
}

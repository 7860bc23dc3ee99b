// lorvex: the window. Each source named on the command line becomes one
// drive per partition, C: onwards; with none, the machine's NTFS partitions
// are the drives.
#include "platform/OpenFiles.h"
#include "ui/HelpPages.h"
#include "ui/LorvexWindows.h"
#include "ui/Startup.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kUsage =
    "Usage: lorvex [SOURCE]...\n"
    "Show NTFS volumes of image files, whole-disk images, disk images in EnCase\n"
    "(.E01), VHD, VHDX, VMDK or qcow2 containers, or block devices at the level\n"
    "of their clusters. Each source becomes one drive per partition, C:\n"
    "onwards, and the first is scanned at once; with no source, the NTFS\n"
    "partitions of this machine are the drives. Nothing is ever written to a\n"
    "source.\n"
    "\n"
    "  --help              show this help and exit\n"
    "  --version           show the version of Lorvex and of the libraries it\n"
    "                      uses, and exit\n";

bool HasDisplay() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

bool TakesValue(std::string_view) {
    return false;
}

// The sources into `sources`; the program's exit status when it ends here
// (the help, a usage error).
std::optional<int> ParseArguments(int argc, char** argv, std::vector<std::string>& sources) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::fputs(lorvex::ui::VersionText().toLocal8Bit().constData(), stdout);
            return 0;
        }
        if (arg.starts_with("-") && arg != "-") {
            std::fprintf(stderr, "lorvex: unknown option '%s'\nTry 'lorvex --help'.\n", argv[i]);
            return 2;
        }
        sources.emplace_back(arg);
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    // A set of a thousand segments needs a descriptor for each.
    lorvex::platform::RaiseOpenFileLimit();
    lorvex::ui::SilenceStreamsOnNamedSources(argc, argv, TakesValue);
    std::vector<std::string> sources;
    if (const std::optional<int> status = ParseArguments(argc, argv, sources)) {
        return *status;
    }
    if (!HasDisplay()) {
        std::fprintf(stderr, "lorvex: no display to open the window on (DISPLAY is not set).\n"
                             "Run it in a desktop session or under xvfb-run; lorvex-scan scans "
                             "a volume without one.\n");
        return 1;
    }

    const lorvex::ui::StartedSources started = lorvex::ui::StartSources(sources);
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Lorvex");
    QApplication::setApplicationName("Lorvex");
    const QStringList problems = lorvex::ui::SayStartupProblems(started, sources.empty());

    lorvex::ui::TLorvexWindows windows(*started.system);
    windows.Form1.show();
    // Once the window is on screen: what could not be opened, then the first
    // drive of the sources named, chosen and scanned.
    QTimer::singleShot(0, &windows.Form1, [&] {
        const bool opened =
            !started.outside.isEmpty() && windows.Form1.OpenSources(started.outside);
        windows.Form1.ShowStartupProblems(problems, sources.empty());
        if (!sources.empty() && !opened) {
            windows.Form1.ChooseFirstDrive();
        }
    });
    return QApplication::exec();
}

// lorvex: the window. Each source named on the command line becomes one
// drive per partition, C: onwards; with none, the machine's NTFS partitions
// are the drives.
#include "platform/OpenFiles.h"
#include "platform/RawVolumeSystem.h"
#include "ui/HelpPages.h"
#include "ui/LorvexWindows.h"
#include "ui/Screenshot.h"

#include <QApplication>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
    "  --screenshot DIR    choose the first drive, scan it, hover a cluster of the\n"
    "                      file given with --hover-file, save pictures of the\n"
    "                      windows (main.png, zoom.png, screen.png, zoom-fit.png,\n"
    "                      zoom-in.png, also maximised, the reports, the lists)\n"
    "                      into DIR, and quit\n"
    "  --hover-file PATH   the file for --screenshot, e.g. /pagefile.sys\n"
    "  --damage-map FILE   a ddrescue mapfile for --screenshot to load, for the\n"
    "                      pictures of the Damage Map list and its bad areas\n"
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

// What the command line asks for.
struct Options {
    std::vector<std::string> sources;
    QString screenshotDir;
    QString hoverFile = "/pagefile.sys";
    QString damageMap;
};

// Before the sources are opened they are only names; nothing, not even a
// usage error or the help, is written into one of them.
void SilenceStreamsOnNamedSources(int argc, char** argv) {
    std::vector<std::string> named;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--screenshot" || arg == "--hover-file" || arg == "--damage-map") {
            ++i;
        } else if (!arg.starts_with("-") || arg == "-") {
            named.emplace_back(arg);
        }
    }
    lorvex::platform::SilenceStreamsOnSources([&named](const std::string& name) {
        return lorvex::platform::OpenWriteTarget(name, named);
    });
}

// The options and sources into `options`; the program's exit status when it
// ends here (the help, a usage error).
std::optional<int> ParseArguments(int argc, char** argv, Options& options) {
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
        if (arg == "--screenshot" || arg == "--hover-file" || arg == "--damage-map") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "lorvex: %s needs a value\n", argv[i]);
                return 2;
            }
            (arg == "--screenshot"   ? options.screenshotDir
             : arg == "--hover-file" ? options.hoverFile
                                     : options.damageMap) = QString::fromLocal8Bit(argv[++i]);
        } else if (arg.starts_with("-") && arg != "-") {
            std::fprintf(stderr, "lorvex: unknown option '%s'\nTry 'lorvex --help'.\n", argv[i]);
            return 2;
        } else {
            options.sources.emplace_back(arg);
        }
    }
    return std::nullopt;
}

// The sources that are VMDKs reading files outside their folder: asked about
// once the window is up, and opened again if the user allows it.
QStringList SourcesReadingOutside(const std::vector<std::string>& sources) {
    QStringList outside;
    for (const auto& source : sources) {
        if (!lorvex::platform::ContainerImage::OutsideFiles(source).empty()) {
            outside << QFile::decodeName(source.c_str());
        }
    }
    return outside;
}

// Silences the standard streams that lie on an opened source, and says so in
// words for the message of the sources that could not be opened.
QStringList SilenceStreamsOnOpenedSources(lorvex::platform::RawVolumeSystem& system) {
    QStringList problems;
    for (const auto& stream :
         lorvex::platform::SilenceStreamsOnSources([&system](const std::string& name) {
             return lorvex::platform::OpenWriteTargetFor(system, name);
         })) {
        // Said with the sources that could not be opened ("Cannot open ...").
        problems << QString::fromStdString(stream) +
                        ": it is a source or lies on one, so nothing is written there";
    }
    return problems;
}

} // namespace

int main(int argc, char** argv) {
    // A set of a thousand segments needs a descriptor for each.
    lorvex::platform::RaiseOpenFileLimit();
    SilenceStreamsOnNamedSources(argc, argv);
    Options options;
    if (const std::optional<int> status = ParseArguments(argc, argv, options)) {
        return *status;
    }
    const std::vector<std::string>& sources = options.sources;
    if (!HasDisplay()) {
        std::fprintf(stderr, "lorvex: no display to open the window on (DISPLAY is not set).\n"
                             "Run it in a desktop session or under xvfb-run; lorvex-scan scans "
                             "a volume without one.\n");
        return 1;
    }

    // The sources before the application: Qt may print as it starts, and
    // a stream on a source (a container's segment, say) is silenced first.
    std::unique_ptr<lorvex::platform::RawVolumeSystem> system =
        sources.empty() ? lorvex::platform::RawVolumeSystem::ForMachine()
                        : std::make_unique<lorvex::platform::RawVolumeSystem>(sources);
    const QStringList outside = SourcesReadingOutside(sources);
    // A source the window cannot show is said once and is no drive.
    std::vector<std::string> refused;
    for (const lorvex::ui::RefusedSource& source : lorvex::ui::CloseSourcesWithoutNtfs(*system)) {
        refused.push_back(source.source + ": " + source.why);
    }
    QStringList problems = SilenceStreamsOnOpenedSources(*system);
    QApplication app(argc, argv);
    QApplication::setOrganizationName("Lorvex");
    QApplication::setApplicationName("Lorvex");
    std::vector<std::string> said = system->problems();
    said.insert(said.end(), refused.begin(), refused.end());
    for (const auto& problem : said) {
        const bool asked = std::any_of(outside.begin(), outside.end(), [&](const QString& path) {
            return problem.starts_with(QFile::encodeName(path).toStdString() + ": ");
        });
        if (!asked) {
            std::fprintf(stderr, "lorvex: %s\n", problem.c_str());
            problems << QString::fromLocal8Bit(problem.c_str());
        }
    }
    if (system->drives().empty() && sources.empty()) {
        std::fprintf(stderr, "lorvex: no NTFS volume found on this machine\n");
    }

    lorvex::ui::TLorvexWindows windows(*system);
    windows.Form1.show();
    if (options.screenshotDir.isEmpty()) {
        // Once the window is on screen: what could not be opened, then the
        // first drive of the sources named, chosen and scanned.
        QTimer::singleShot(0, &windows.Form1, [&] {
            const bool opened = !outside.isEmpty() && windows.Form1.OpenSources(outside);
            windows.Form1.ShowStartupProblems(problems, sources.empty());
            if (!sources.empty() && !opened) {
                windows.Form1.ChooseFirstDrive();
            }
        });
    }
    if (!options.screenshotDir.isEmpty()) {
        int status = 0;
        QTimer::singleShot(0, &windows.Form1, [&] {
            status = lorvex::ui::TakeScreenshots(windows, options.screenshotDir, options.hoverFile,
                                                 options.damageMap, problems);
            QApplication::exit(status);
        });
        const int loop = QApplication::exec();
        return status != 0 ? status : loop;
    }
    return QApplication::exec();
}

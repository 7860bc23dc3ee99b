#include "ui/Startup.h"

#include "platform/ContainerImage.h"
#include "platform/OpenFiles.h"
#include "platform/WriteTarget.h"
#include "ui/LorvexWindows.h"

#include <QFile>

#include <algorithm>
#include <cstdio>

namespace lorvex::ui {

void SilenceStreamsOnNamedSources(int argc, char** argv, bool (*takesValue)(std::string_view)) {
    std::vector<std::string> named;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (takesValue(arg)) {
            ++i;
        } else if (!arg.starts_with("-") || arg == "-") {
            named.emplace_back(arg);
        }
    }
    platform::SilenceStreamsOnSources(
        [&named](const std::string& name) { return platform::OpenWriteTarget(name, named); });
}

StartedSources StartSources(const std::vector<std::string>& sources) {
    StartedSources started;
    started.system = sources.empty() ? platform::RawVolumeSystem::ForMachine()
                                     : std::make_unique<platform::RawVolumeSystem>(sources);
    for (const auto& source : sources) {
        if (!platform::ContainerImage::OutsideFiles(source).empty()) {
            started.outside << QFile::decodeName(source.c_str());
        }
    }
    started.problems = started.system->problems();
    // A source the window cannot show is said once and is no drive.
    for (const RefusedSource& source : CloseSourcesWithoutNtfs(*started.system)) {
        started.problems.push_back(source.source + ": " + source.why);
    }
    for (const auto& stream : platform::SilenceStreamsOnSources([&](const std::string& name) {
             return platform::OpenWriteTargetFor(*started.system, name);
         })) {
        // Said with the sources that could not be opened ("Cannot open ...").
        started.silenced << QString::fromStdString(stream) +
                                ": it is a source or lies on one, so nothing is written there";
    }
    return started;
}

QStringList SayStartupProblems(const StartedSources& started, bool noSources) {
    QStringList problems = started.silenced;
    for (const auto& problem : started.problems) {
        const bool asked =
            std::any_of(started.outside.begin(), started.outside.end(), [&](const QString& path) {
                return problem.starts_with(QFile::encodeName(path).toStdString() + ": ");
            });
        if (!asked) {
            std::fprintf(stderr, "lorvex: %s\n", problem.c_str());
            problems << QString::fromLocal8Bit(problem.c_str());
        }
    }
    if (started.system->drives().empty() && noSources) {
        std::fprintf(stderr, "lorvex: no NTFS volume found on this machine\n");
    }
    return problems;
}

} // namespace lorvex::ui

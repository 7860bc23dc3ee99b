#pragma once

#include "platform/RawVolumeSystem.h"

#include <QStringList>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

// How the window's programs (lorvex and the screenshot run) open the sources
// named on their command lines, before and after the application is made.
namespace lorvex::ui {

// Before the sources are opened they are only names; nothing, not even a
// usage error or the help, is written into one of them. `takesValue` says
// which options are followed by a value that is no source.
void SilenceStreamsOnNamedSources(int argc, char** argv, bool (*takesValue)(std::string_view));

// The sources, opened before the application: Qt may print as it starts, and
// a stream on a source (a container's segment, say) is silenced first.
struct StartedSources {
    std::unique_ptr<platform::RawVolumeSystem> system;
    // The VMDKs reading files outside their folder: asked about once the
    // window is up, and opened again if the user allows it.
    QStringList outside;
    // What could not be opened or shown, and the streams silenced because
    // they lie on a source, each said once; not yet written anywhere.
    std::vector<std::string> problems;
    QStringList silenced;
};
// With no source, the machine's NTFS partitions are the drives.
StartedSources StartSources(const std::vector<std::string>& sources);

// Writes the problems not asked about (`outside`) to stderr, and returns
// them with the silenced streams for the window to say. Needs the
// application for its texts.
QStringList SayStartupProblems(const StartedSources& started, bool noSources);

} // namespace lorvex::ui

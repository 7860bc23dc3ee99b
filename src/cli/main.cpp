// lorvex-scan: what Lorvex sees of a volume, at a shell. It opens a source as
// the window does, runs the same scan, and prints or exports the result.
#include "cli/Drives.h"
#include "cli/FileExports.h"
#include "cli/Options.h"
#include "cli/OutputTargets.h"
#include "cli/Run.h"
#include "cli/StandardStreams.h"
#include "platform/OpenFiles.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace cli = lorvex::cli;

int main(int argc, char** argv) {
    // A set of a thousand segments needs a descriptor for each.
    lorvex::platform::RaiseOpenFileLimit();
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    // Before the sources are opened they are only names, and even a usage
    // error or the help must not be written into one of them.
    const auto named = cli::NamedFiles(args);
    const cli::WriteCheck checkNamed = [&named](const std::string& name) {
        return lorvex::platform::OpenWriteTarget(name, named);
    };
    if (!cli::StandardStreamsClear(checkNamed, nullptr, nullptr)) {
        return 1;
    }
    auto parsed = cli::ParseOptions(args);
    if (const auto* exit = std::get_if<cli::EarlyExit>(&parsed)) {
        return cli::EndEarly(*exit, checkNamed);
    }
    const cli::Options& options = std::get<cli::Options>(parsed);

    cli::DriveSet drives{cli::OpenSources(options), {}, {}};
    if (!cli::StreamsClearOfSources(*drives.system, options)) {
        return 1;
    }
    if (const int status = cli::ReportSources(*drives.system, options); status != 0) {
        return status;
    }
    if (const int status = cli::ChooseDrives(drives, options); status != 0) {
        return status;
    }
    if (const int status = cli::CheckMapPicture(options); status != 0) {
        return status;
    }
    cli::OutputTargets targets(*drives.system);
    if (const int status = targets.Open(options); status != 0) {
        return status;
    }

    const int status = cli::FinishOutput(targets.Close(cli::WriteRun(drives, options, targets)));
    // The tables of a large volume hold millions of small allocations; the
    // kernel takes them back at once, where freeing them one by one would
    // add a tenth to the run.
    std::fflush(stderr);
    std::_Exit(status);
}

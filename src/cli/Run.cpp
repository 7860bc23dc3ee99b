#include "cli/Run.h"

#include "cli/Extraction.h"
#include "cli/InfoListing.h"
#include "cli/Scan.h"
#include "cli/StandardStreams.h"
#include "ntfs/Export.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <variant>

namespace lorvex::cli {

// The help or the version on standard output, once it is known not to reach
// a named file; or a refusal of the arguments on standard error.
int EndEarly(const EarlyExit& exit, const WriteCheck& check) {
    if (exit.outUse == nullptr) {
        std::fputs(exit.err.c_str(), stderr);
        return exit.status;
    }
    if (!StandardStreamsClear(check, exit.outUse, nullptr)) {
        return 1;
    }
    std::fputs(exit.out.c_str(), stdout);
    return FinishOutput(exit.status);
}

// Now that every file the sources read is known (a container's segments and
// extents too), the standard streams are checked again, for what would go
// to standard output.
bool StreamsClearOfSources(const platform::RawVolumeSystem& system, const Options& options) {
    const WriteCheck check = [&system](const std::string& name) {
        return platform::OpenWriteTargetFor(system, name);
    };
    const bool exportToStdout = options.ExportToStdout();
    if (options.extractRecord) {
        const bool streamOut = options.ListingsToStdout();
        return StandardStreamsClear(check,
                                    streamOut                        ? "the extraction"
                                    : options.format == Format::Json ? "the listing"
                                                                     : nullptr,
                                    "-o FILE");
    }
    return StandardStreamsClear(check,
                                exportToStdout ? "the export"
                                : options.ListingsToStdout() && options.Listings() > 0
                                    ? "the listing"
                                    : nullptr,
                                exportToStdout ? "--export FILE" : "-o FILE");
}

int WriteRun(DriveSet& drives, const Options& options, const OutputTargets& targets) {
    if (options.extractRecord) {
        return WriteExtraction(drives, options, targets);
    }
    int status = 0;
    Output out(targets.Listing());
    const auto writer = MakeWriter(options.format, out, drives.chosen.size() > 1 && !options.info);
    Listing listing{out, *writer, options.format, {}, {}};
    status =
        options.info ? WriteInfo(drives, listing) : ScanDrives(drives, options, targets, listing);
    writer->Finish();
    if (!out.Flush()) {
        if (options.ListingsToStdout()) {
            // Named as every other failed write to standard output is.
            ReportStandardOutputFailure(out.Error());
        } else {
            std::fprintf(stderr, "lorvex-scan: %s: %s\n", options.outputPath->c_str(),
                         ntfs::RuntimeErrorText(out.Error()).c_str());
        }
        status = 1;
    }
    return status;
}

} // namespace lorvex::cli

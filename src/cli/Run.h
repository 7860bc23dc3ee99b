#pragma once

#include "cli/Drives.h"
#include "cli/Options.h"
#include "cli/OutputTargets.h"
#include "cli/StandardStreams.h"

// The steps of a run of lorvex-scan that main takes in turn.
namespace lorvex::cli {

// The help or the version on standard output, once it is known not to
// reach a named file (`check`); or a refusal of the arguments on standard
// error. Returns the exit status.
int EndEarly(const EarlyExit& exit, const WriteCheck& check);

// Now that every file the sources read is known (a container's segments and
// extents too), the standard streams are checked again, for what would go
// to standard output.
bool StreamsClearOfSources(const platform::RawVolumeSystem& system, const Options& options);

// From the drives chosen and the targets opened: the listings' output and
// writer, --info or the scans, and the listings' last bytes written.
// Returns the exit status.
int WriteRun(DriveSet& drives, const Options& options, const OutputTargets& targets);

} // namespace lorvex::cli

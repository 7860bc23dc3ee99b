#pragma once

#include "cli/Drives.h"
#include "cli/Options.h"
#include "cli/OutputTargets.h"

namespace lorvex::cli {

// --extract: the stream of one record of the one drive chosen written to
// the -o target; the ranges of it that are other files' now or could not be
// read named on standard error, and with --format json in an object on
// standard output. Returns the exit status: 1 when the stream could not be
// written, or was written with ranges that could not be read.
int WriteExtraction(DriveSet& drives, const Options& options, const OutputTargets& targets);

} // namespace lorvex::cli

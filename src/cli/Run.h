#pragma once

#include "cli/Drives.h"
#include "cli/Options.h"
#include "cli/OutputTargets.h"

#include <span>
#include <string_view>

namespace lorvex::cli {

// A whole run of lorvex-scan from its arguments (those after the program's
// name) to its exit status: the arguments read, the standard streams and
// the sources checked, the drives chosen, the targets opened, each drive
// scanned (or its information given) and what was asked written.
int RunScan(std::span<const std::string_view> args);

// The part of it from the drives chosen and the targets opened: the
// listings' output and writer, --info or the scans, and the listings' last
// bytes written. Returns the exit status.
int WriteRun(DriveSet& drives, const Options& options, const OutputTargets& targets);

} // namespace lorvex::cli

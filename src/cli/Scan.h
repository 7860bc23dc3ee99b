#pragma once

#include "cli/Drives.h"
#include "cli/Listings.h"
#include "cli/Options.h"
#include "cli/OutputTargets.h"

// The scan of each drive chosen, as the window scans, and then what the run
// asks of it: the map picture, the export and the listings.
namespace lorvex::cli {

// Scans the chosen drives in turn, writing through `listing`. Returns the
// exit status: the worst of the drives', 1 when none could be scanned. A
// drive that is not NTFS among several is only left out.
int ScanDrives(DriveSet& drives, const Options& options, const OutputTargets& targets,
               Listing& listing);

} // namespace lorvex::cli

#pragma once

#include "cli/Drives.h"
#include "cli/Listings.h"

// --info: the volume information of each drive chosen, without a scan.
namespace lorvex::cli {

// The volume's facts, as --info prints them.
void FillVolume(Record& record, const ntfs::NtfsVolume& volume, SourceTexts texts);

// A section per drive chosen. Returns the exit status: 1 when a source
// could not be read or a key given opened nothing.
int WriteInfo(DriveSet& drives, Listing& listing);

} // namespace lorvex::cli

#pragma once

#include "cli/Listings.h"
#include "ntfs/Health.h"

// --check: the volume's consistency, a row per problem and, in the text,
// the count of each kind under them.
namespace lorvex::cli {

// Problem `problem` of `report`, with the record number and path of every
// record concerned (as `texts` says; null where it is not readable).
void FillProblem(Record& row, const ntfs::THealthProblem& problem,
                 const ntfs::THealthReport& report, const ntfs::TFileIDs& fileIds,
                 SourceTexts texts);

// Checks the scanned drive and writes what was found. Returns the exit
// status: 0 consistent, 3 problems, 1 when part of the volume could not be
// checked and nothing was found.
int WriteCheck(const ScannedDrive& scan, Listing& listing);

} // namespace lorvex::cli

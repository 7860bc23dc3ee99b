#pragma once

#include "cli/Listings.h"
#include "ntfs/DeletedEntries.h"

#include <cstddef>

// --deleted: a row per deleted entry (a free $MFT record that still reads as
// a file), with what its clusters are now; under them, the counts of the
// walk. With the body file, the timeline lines of the deleted entries.
namespace lorvex::cli {

// Entry `index` of `deleted` as a row: record, type, size, the times
// (deleted_time is the record's last change), the clusters recoverable and
// overwritten, the number of names and of named streams, run_list (the
// pieces of the unnamed stream flattened for the flat formats), the pieces
// as a list of runs, the other names' paths, the named streams, and the
// path through the preferred name last. The text format alone also shows
// each named stream as "path:stream" (stream_paths).
void FillDeletedRow(Record& row, const ntfs::DeletedEntries& deleted, std::size_t index,
                    const ntfs::TFileIDs& live);

// The counts of the walk: the entries, the records read, the free ones,
// those holding nothing of a file, those whose update sequence is broken
// (not entries), and the extension records joined to an entry and left
// stray.
void FillDeletedCounts(Record& row, const ntfs::DeletedEntries& deleted);

// The body file's lines of the deleted entries, each name and named stream
// marked " (deleted)" as other timeline tools mark them.
void WriteDeletedTimeline(const ScannedDrive& scan, const ntfs::DeletedEntries& deleted,
                          Listing& listing);

// Walks the drive's free records, cuts their runs by the scan's clusters and
// writes what it found in the listing's format. Stops at the first write
// that fails.
void WriteDeleted(const ScannedDrive& scan, Listing& listing);

} // namespace lorvex::cli

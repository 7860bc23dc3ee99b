#pragma once

#include "records/Record.h"

#include <memory>

// The text format: what lorvex-scan has always printed without --format.
// Each listing has its own lines, laid out from its records by the table's
// or the section's key:
//   summary     the volume in a few lines, then the stages and their times
//   volume      --info: the drive's title and its facts, a line each
//   owners      LCN, description, the owner's type (or what the map shows)
//   fragmented  record, path, fragments, type
//   check       KIND FIRST_LCN COUNT, then record and path of each claimant;
//               its footer the count of each kind and what was not checked
//   damage      kind, record, path, attribute, first byte, byte count and
//               status; its footer what the map held and what lay on it
//   deleted     the fields joined by tabs, then the paths of the other
//               names and of the named streams; its footer the walk's counts
// Any other table (the file table, the cluster map) is its fields joined by
// tabs. Texts end at a NUL, as they always have.
namespace lorvex::records {

// With `driveHeadings` each drive's listings come after "== TITLE ==" and
// before an empty line.
std::unique_ptr<RecordWriter> MakeTextWriter(Output& out, bool driveHeadings);

} // namespace lorvex::records

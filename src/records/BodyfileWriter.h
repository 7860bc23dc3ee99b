#pragma once

#include "records/Record.h"

#include <memory>

// The body file: the file table as a timeline, one line per row of
// BodyfileRows (FileTableListing.h), its fields separated by '|':
//   0|NAME|RECORD[-TYPE-ID]|MODE|0|0|SIZE|ATIME|MTIME|CTIME|CRTIME
// NAME is the drive ("C:") and the row's path as shown, whose separators
// become slashes; a slash and a '|' inside a name are escaped as what is not
// printable is (\u{2f}, \u{7c}); the $FILE_NAME times' line adds
// " ($FILE_NAME)", a deleted entry's " (deleted)" after that. Sections and the other tables have no
// place in it.
namespace lorvex::records {

std::unique_ptr<RecordWriter> MakeBodyfileWriter(Output& out);

} // namespace lorvex::records

#pragma once

#include "ntfs/FileTable.h"
#include "records/Record.h"

#include <cstdint>
#include <string>
#include <string_view>

// The fields that every listing of the file system shares, whoever writes
// it (lorvex-scan's listings, the window's export): how the texts of the
// source are written, the names of types, and the label of a drive. Their
// field names are the ones the manual page documents.
namespace lorvex::records {

// How a listing writes the texts that come from the source (names, paths,
// labels, and the paths of its sources): the JSON formats give them exactly,
// escaped as JSON escapes (JsonText.h); text, CSV and the body file show
// them with what is not printable escaped (ondisk/Printable.h).
enum class SourceTexts : std::uint8_t { Exact, Shown };
SourceTexts SourceTextsOf(Format format);
// Entry `index`'s path, exact or as shown (TFileIDs::GetPath), as `texts`
// says.
void GetEntryPath(const ntfs::TFileIDs& fileIds, int index, SourceTexts texts,
                  std::u16string& path);
// A text of the source other than a name (a label, a source's path), as
// `texts` says.
std::string SourceText(std::string_view text, SourceTexts texts);

// The name of an attribute type without building it: the known ones are
// constants, another is built in `room`.
std::string_view AttributeTypeText(std::uint32_t code, std::string& room);

// "file", "directory", "system", "system-directory" (record 11, $Extend)
// or "unknown".
std::string_view EntryTypeName(std::uint8_t fileType);

// What names a drive in a listing: its name ("C:"), the source it lies on,
// its partition there (0 for a source that is one volume) and how the
// source was read.
struct DriveLabel {
    std::string_view name;
    std::string_view source;
    int partition = 0;
    std::string_view readAs;
};
// The label's fields: "drive", "source", "partition", "read_as".
void FillDriveLabel(Record& record, const DriveLabel& drive, SourceTexts texts);

} // namespace lorvex::records

#pragma once

#include "cli/Record.h"
#include "cli/VolumeBitmap.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "platform/RawVolumeSystem.h"

#include <cstdint>
#include <string>
#include <string_view>

// What every listing of lorvex-scan shares: where it goes, what it is made
// from, and how it writes the texts of the source. Each listing has a unit
// of its own (SummaryListing, EntryListings, FileTableListing, InfoListing,
// CheckListing, DamageListing) that builds its records and writes them
// through the run's writer, whatever the format. Their field names are the
// ones the manual page documents; every row of a table has the same fields
// in the same order, and a text field that may hold tabs (a path) comes
// last.
namespace lorvex::cli {

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

// "drive", "source", "partition" (0 for a source that is one volume),
// "read_as".
void FillDriveLabel(Record& record, const platform::RawVolumeSystem::Drive& drive,
                    SourceTexts texts);

// Where the listings of a run go: one output and one writer for every drive,
// and a row whose room every listing reuses.
struct Listing {
    Output& out;
    RecordWriter& writer;
    Format format = Format::Text;
    Record row;
    Record label;
    [[nodiscard]] SourceTexts Texts() const { return SourceTextsOf(format); }
};

// A drive scanned: what its listings are made from.
struct ScannedDrive {
    platform::RawVolumeSystem& system;
    const platform::RawVolumeSystem::Drive& drive;
    ntfs::NtfsVolume& volume;
    const ntfs::TFileIDs& fileIds;
    const ntfs::TClusterArray& clusters; // in LCN order
    VolumeBitmap& bitmap;
};

} // namespace lorvex::cli

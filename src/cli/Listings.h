#pragma once

#include "cli/VolumeBitmap.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "platform/RawVolumeSystem.h"
#include "records/Fields.h"

#include <cstdint>
#include <string>
#include <string_view>

// What every listing of lorvex-scan shares: where it goes and what it is
// made from; how it writes the texts of the source is records/Fields.h's.
// Each listing has a unit of its own (SummaryListing, EntryListings,
// records/FileTableListing, InfoListing, CheckListing, DamageListing) that
// builds its records and writes them through the run's writer, whatever the
// format. Their field names are the ones the manual page documents; every
// row of a table has the same fields in the same order, and a text field
// that may hold tabs (a path) comes last.
namespace lorvex::cli {

// The records and their writers, under the names the listings use.
using records::Format;
using records::Output;
using records::Record;
using records::RecordWriter;
using records::SourceTexts;

// The label of `drive` (records::FillDriveLabel): "drive", "source",
// "partition", "read_as".
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

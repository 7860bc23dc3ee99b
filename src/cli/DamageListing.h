#pragma once

#include "cli/Listings.h"
#include "ntfs/DamageMap.h"

// --damage: the files, attributes and byte ranges on the bad areas of a
// damaged disk, then the $MFT records on them; in the text, what the map
// held and what lay on it under them.
namespace lorvex::cli {

void FillDamageHit(Record& row, const ntfs::TDamageHit& hit, const ntfs::TFileIDs& fileIds,
                   SourceTexts texts);
void FillDamagedRecord(Record& row, const ntfs::TDamagedRecord& record,
                       const ntfs::TFileIDs& fileIds, SourceTexts texts);

// The bad areas of `map` (bytes of the drive's source) on the scanned
// drive; what lies past the source's end is set aside, with a note.
// Returns the exit status: 0 when nothing lies on a bad area, 3 when
// something does.
int WriteDamage(const ScannedDrive& scan, const ntfs::TDamageMap& map, Listing& listing);

} // namespace lorvex::cli

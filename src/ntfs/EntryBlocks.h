#pragma once

#include "ntfs/Attributes.h"
#include "ntfs/FileRecords.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordBlocks.h"
#include "volume/VolumeApi.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The writers of the whole file table (the export, lorvex-scan's listings)
// format their entries a block of records at a time on every core, from the
// block in hand, and write the blocks' texts in record order.

namespace lorvex::ntfs {

// The attribute readers of the section, answered from a block of records in
// hand instead of a query per record.
// The attribute list and extension records of the file whose base record
// is numbered `base` (CopyFileExtensions): copies, as they come from a
// reader shared by the walk's threads.
using ExtensionReader = std::function<FileExtensions(std::int64_t base)>;

class BlockAttributeReader {
  public:
    BlockAttributeReader(const TRecordBlock& block, const AttributeListReader& lists,
                         const ExtensionReader& extensions)
        : FBlock(block), FLists(lists), FExtensions(extensions) {}

    void GetAttributes(TAttributes& attributes, std::int64_t recordNo);
    void GetDataRuns(int attrIndex, TDataRuns& runs, std::int64_t recordNo);

    // The record, valid and in use, or nothing (as a failed query gives).
    [[nodiscard]] std::span<const std::byte> Record(std::int64_t recordNo) const;
    // The extension records of a base record, wherever they lie: the rare
    // file with an attribute list reads them through the volume.
    [[nodiscard]] const ExtensionReader& Extensions() const { return FExtensions; }

  private:
    const TRecordBlock& FBlock;
    const AttributeListReader& FLists;
    const ExtensionReader& FExtensions;
    std::vector<std::span<const std::byte>> FSpans;
    std::int64_t FSpansOf = -1;
};

// Whether the entries name records in strictly rising order, as a scan
// leaves them: then each block of records holds a run of entries.
bool InRecordOrder(const TFileIDs& fileIds);

struct TEntryBlockWalk {
    // Appends the text of entries [from, to), the entries of one block of
    // records, to `text`; runs on the walk's threads, blocks side by side.
    std::function<void(BlockAttributeReader& reader, int from, int to, std::string& text)> format;
    // Takes the text of each block in turn, in record order, one at a time;
    // it may throw to end the walk.
    std::function<void(std::string_view text)> write;
};

// Walks the blocks of `blocks` that hold the entries of `fileIds` (not empty,
// InRecordOrder) on ScanThreads() threads. `records` reads the rare
// non-resident attribute lists and extension records, one thread at a time. An exception from
// either function ends the walk and goes on to the caller.
void WalkEntryBlocks(RecordReader& records, const platform::FileRecordBlocks& blocks,
                     const TFileIDs& fileIds, const TEntryBlockWalk& walk);

} // namespace lorvex::ntfs

#include "ntfs/EntryBlocks.h"

#include "ondisk/Attribute.h"

#include <algorithm>
#include <mutex>
#include <utility>

namespace lorvex::ntfs {

void BlockAttributeReader::GetAttributes(TAttributes& attributes, std::int64_t recordNo) {
    attributes.Clear();
    FSpans.clear();
    FSpansOf = recordNo;
    if (const auto record = Record(recordNo); !record.empty()) {
        AppendRecordAttributes(record, attributes, FLists, &FSpans);
    }
}

void BlockAttributeReader::GetDataRuns(int attrIndex, TDataRuns& runs, std::int64_t recordNo) {
    runs.Clear();
    // The attributes just listed are where the section asks for runs: their
    // bytes are at hand without walking the record again.
    if (recordNo == FSpansOf) {
        if (attrIndex >= 0 && static_cast<std::size_t>(attrIndex) < FSpans.size() &&
            !ondisk::IsResident(FSpans[static_cast<std::size_t>(attrIndex)])) {
            AppendAttributeRuns(FSpans[static_cast<std::size_t>(attrIndex)], runs);
        }
    } else if (const auto record = Record(recordNo); !record.empty()) {
        AppendRecordDataRuns(record, attrIndex, runs);
    }
}

std::span<const std::byte> BlockAttributeReader::Record(std::int64_t recordNo) const {
    if (recordNo < FBlock.First ||
        recordNo - FBlock.First >= static_cast<std::int64_t>(FBlock.Count())) {
        return {};
    }
    const auto i = static_cast<std::size_t>(recordNo - FBlock.First);
    const auto record = FBlock.Record(i);
    return FBlock.Readable[i] != 0 && IsValidRecord(record) ? record : std::span<const std::byte>{};
}

bool InRecordOrder(const TFileIDs& fileIds) {
    for (int i = 0; i < fileIds.size(); ++i) {
        const std::int64_t id = fileIds[static_cast<std::size_t>(i)].FileID;
        if (id < 0 || (i > 0 && id <= fileIds[static_cast<std::size_t>(i) - 1].FileID)) {
            return false;
        }
    }
    return true;
}

void WalkEntryBlocks(RecordReader& records, const platform::FileRecordBlocks& blocks,
                     const TFileIDs& fileIds, const TEntryBlockWalk& walk) {
    const auto begin = fileIds.begin();
    const auto end = fileIds.end();
    const std::int64_t last = fileIds.items().back().FileID;
    std::mutex volumeMutex;
    const AttributeListReader lists = [&](std::span<const std::byte> attribute) {
        const std::lock_guard lock(volumeMutex);
        return ReadAttributeListValue(attribute, [&records](auto runList, auto buffer) {
            return records.ReadRunData(runList, buffer);
        });
    };
    const ExtensionReader extensions = [&](std::int64_t base) {
        const std::lock_guard lock(volumeMutex);
        const auto record = records.ReadInUse(base);
        return record ? CopyFileExtensions(records, *record) : FileExtensions{};
    };
    std::vector<std::string> texts(RecordBlockCount(last, blocks.recordSize()));
    // The room of texts written, for the blocks after them: a block's text
    // is a mebibyte or so, and fresh room for each cost as much again in
    // copies and page faults as it grew.
    std::mutex spareMutex;
    std::vector<std::string> spare;
    TRecordBlockWalk blockWalk;
    blockWalk.visit = [&](std::size_t index, const TRecordBlock& block) {
        const auto byId = [](const TFileID& e, std::int64_t id) { return e.FileID < id; };
        const auto from = std::lower_bound(begin, end, block.First, byId);
        const auto to = std::lower_bound(
            from, end, block.First + static_cast<std::int64_t>(block.Count()), byId);
        // The text grows in a string of this thread's own and joins the
        // others once done: strings side by side in `texts` share cache
        // lines, and appending to neighbours on two cores cost the export a
        // fifth more CPU time.
        std::string text;
        {
            const std::lock_guard lock(spareMutex);
            if (!spare.empty()) {
                text.swap(spare.back());
                spare.pop_back();
            }
        }
        BlockAttributeReader reader(block, lists, extensions);
        walk.format(reader, static_cast<int>(from - begin), static_cast<int>(to - begin), text);
        texts[index] = std::move(text);
    };
    // A block's text is a few hundred KiB: 16 of them waiting for their
    // turn let the other threads go on while the one that holds the turn's
    // block is off its core on a busy machine.
    blockWalk.ahead = 16;
    blockWalk.inOrder = [&](std::size_t index) {
        std::string text = std::move(texts[index]);
        walk.write(text);
        text.clear();
        const std::lock_guard lock(spareMutex);
        spare.push_back(std::move(text));
    };
    WalkRecordBlocks(blocks, last, ScanThreads(), blockWalk);
}

} // namespace lorvex::ntfs

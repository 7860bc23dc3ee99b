#include "cli/Extraction.h"

#include "ntfs/DeletedEntries.h"
#include "ntfs/Export.h"
#include "ntfs/ScanStages.h"
#include "ntfs/StreamExtraction.h"
#include "ondisk/Printable.h"
#include "ondisk/Utf16.h"
#include "records/JsonText.h"

#include <cerrno>
#include <cstdio>
#include <memory>

namespace lorvex::cli {

namespace {

void Say(const Drive& drive, const std::string& text) {
    std::fprintf(stderr, "lorvex-scan: %s (drive %s): %s\n",
                 ondisk::Printable(drive.region.path).c_str(), drive.Name().c_str(), text.c_str());
}

std::string Bytes(std::uint64_t offset, std::uint64_t length) {
    return "bytes " + std::to_string(offset) + " to " + std::to_string(offset + length - 1) + " (" +
           std::to_string(length) + ")";
}

// A deleted file's clusters as they are now: which other files own or claim
// them. It takes a scan of the volume.
struct DeletedState {
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    ntfs::DeletedEntries deleted;
};

std::unique_ptr<DeletedState> CutDeleted(ntfs::NtfsVolume& volume) {
    auto state = std::make_unique<DeletedState>();
    ntfs::RunScanStages(volume, state->fileIds, state->clusters, {});
    state->deleted = ntfs::CollectDeletedEntries(volume);
    ntfs::CutDeletedRuns(state->deleted, state->fileIds, state->clusters,
                         volume.geometry().totalClusters);
    return state;
}

bool IsFreeRecord(ntfs::NtfsVolume& volume, std::int64_t number) {
    auto records = volume.OpenRecordReader();
    const auto record = records.Read(number);
    return record && record->valid() && !record->inUse();
}

void SayRanges(const Drive& drive, std::int64_t record, const ntfs::ExtractionResult& result) {
    const std::string what = "record " + std::to_string(record) + ": ";
    for (const auto& range : result.overwritten) {
        Say(drive, what + Bytes(range.offset, range.length) +
                       (range.state == ntfs::PieceState::kOverwritten
                            ? " lie in clusters record " + std::to_string(range.owner) +
                                  " owns now: they hold its data, not this file's"
                            : " lie in clusters deleted record " + std::to_string(range.owner) +
                                  " claims too, deleted later: they hold its data"));
    }
    for (const auto& range : result.unread) {
        Say(drive, what + Bytes(range.offset, range.length) +
                       " could not be read and are written as zeros: " + range.reason);
    }
}

std::string RangesJson(const Options& options, const ntfs::ExtractionResult& result) {
    records::JsonMembers json;
    std::string out;
    json.Begin("{", false);
    json.Add("record", *options.extractRecord);
    json.Add("stream", options.extractStream);
    json.AddBool("deleted", result.deleted);
    json.Add("size", result.size);
    json.Add("written", result.written);
    // Each range with its offset and length first, then what `rest` adds.
    const auto list = [&json](std::string_view key, const auto& ranges, const auto& rest) {
        json.BeginList(key);
        for (const auto& range : ranges) {
            json.BeginItem();
            json.Add("offset", range.offset);
            json.Add("length", range.length);
            rest(range);
            json.EndItem();
        }
        json.EndList();
    };
    list("overwritten", result.overwritten, [&json](const ntfs::OverwrittenRange& range) {
        json.Add("owner", range.owner);
        json.AddPlain("state", ntfs::PieceStateName(range.state));
    });
    list("unread", result.unread,
         [&json](const ntfs::UnreadRange& range) { json.Add("reason", range.reason); });
    json.End("}\n", out);
    return out;
}

} // namespace

int WriteExtraction(DriveSet& drives, const Options& options, const OutputTargets& targets) {
    if (drives.chosen.size() != 1) {
        std::fprintf(stderr,
                     "lorvex-scan: --extract reads one drive, and the sources give %zu: "
                     "choose one with --drive\n",
                     drives.chosen.size());
        return 2;
    }
    const Drive& drive = *drives.chosen.front();
    ntfs::NtfsVolume volume(*drives.system, drive.Root());
    const ntfs::VolumeGeometry& geometry = volume.geometry();
    if (volume.information().fileSystemName != "NTFS" || geometry.totalClusters == 0) {
        Say(drive, "not an NTFS volume that can be read");
        return 1;
    }
    const std::int64_t record = *options.extractRecord;
    ntfs::ExtractionOptions extraction;
    // A stream larger than its volume is a sparse file or a damaged record:
    // nothing a recovery writes out whole.
    extraction.limit = static_cast<std::uint64_t>(geometry.totalClusters) *
                       static_cast<std::uint64_t>(geometry.bytesPerCluster);
    std::unique_ptr<DeletedState> state;
    if (IsFreeRecord(volume, record)) {
        state = CutDeleted(volume);
        extraction.deleted = &state->deleted;
    }
    std::FILE* out = targets.Listing();
    const ntfs::ByteSink sink = [out](std::span<const std::byte> bytes) {
        return bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    };
    const auto result = ntfs::ExtractStream(
        volume, *drives.system, record, ondisk::FromUtf8(options.extractStream), sink, extraction);
    if (result.status == ntfs::ExtractionStatus::kTooLarge) {
        Say(drive, "record " + std::to_string(record) + ": the stream claims " +
                       std::to_string(result.size) + " bytes, more than its volume holds (" +
                       std::to_string(extraction.limit) + "): nothing was written");
        return 1;
    }
    if (result.status == ntfs::ExtractionStatus::kSinkFailed) {
        std::fprintf(stderr, "lorvex-scan: %s: %s\n",
                     options.ListingsToStdout() ? "standard output"
                                                : ondisk::Printable(*options.outputPath).c_str(),
                     ntfs::RuntimeErrorText(errno != 0 ? errno : EIO).c_str());
        return 1;
    }
    if (result.status != ntfs::ExtractionStatus::kDone) {
        Say(drive, result.reason);
        return 1;
    }
    SayRanges(drive, record, result);
    if (options.format == Format::Json) {
        std::fputs(RangesJson(options, result).c_str(), stdout);
    }
    return result.unread.empty() ? 0 : 1;
}

} // namespace lorvex::cli

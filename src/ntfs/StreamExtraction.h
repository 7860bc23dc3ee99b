#pragma once

#include "ntfs/DeletedEntries.h"
#include "ntfs/NtfsVolume.h"
#include "ondisk/NonResident.h"
#include "ondisk/StreamReader.h"
#include "volume/VolumeApi.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A file's stream, of a live file or of a deleted entry, written out whole
// as its records lay it out: a resident value as it stands; a non-resident
// one by its runs across the base and extension records, sparse runs as
// zeros, compressed units (LZNT1) decompressed, nothing past the data size
// and zeros past the initialized size. Nothing is written to the volume.
namespace lorvex::ntfs {

// Takes the stream's bytes in order, each call the ones after the last;
// false when it could not keep them (a full disk), which ends the
// extraction.
using ByteSink = std::function<bool(std::span<const std::byte> bytes)>;

inline constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();

struct ExtractionOptions {
    // The most bytes the caller wants written: a stream whose data size is
    // larger is refused before a byte is written (kTooLarge), whatever its
    // runs hold. A damaged record can claim 2^60 bytes of a sparse run.
    std::uint64_t limit = kNoLimit;
    // Checked between pieces of work; set from another thread to end the
    // extraction (kStopped) with what was written so far.
    const std::atomic<bool>* stop = nullptr;
    // The percentage of the stream written (may be empty).
    ProgressReport progress;
    // The deleted entries of the volume, cut by CutDeletedRuns: a deleted
    // entry's ranges that other files own or claim now are reported
    // (ExtractionResult::overwritten). Without it they are not known, and
    // none is reported. May be null.
    const DeletedEntries* deleted = nullptr;
};

enum class ExtractionStatus : std::uint8_t {
    kDone,       // the whole stream was written (unread ranges as zeros)
    kNoRecord,   // the record is past the table, unreadable or no file record
    kDirectory,  // the record is a directory's
    kNotAFile,   // neither in use nor a deleted file: an extension record,
                 // or a free record that holds no file
    kNoStream,   // the file has no $DATA stream of that name
    kTooLarge,   // the data size is past ExtractionOptions::limit
    kDamaged,    // the stream's header cannot be trusted (a negative size,
                 // a compression unit no volume has)
    kSinkFailed, // the sink refused bytes
    kStopped,    // the stop flag was set
};

// Bytes [offset, offset + length) of the stream, as it was written, lie in
// clusters that another file owns or claims now: they are that file's
// bytes, not this one's.
struct OverwrittenRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::int64_t owner = kNoOwner;               // DeletedPiece::overwrittenBy
    PieceState state = PieceState::kOverwritten; // kOverwritten or kClaimed
};

// Bytes of the stream that could not be read, written as zeros so that the
// rest keeps its offsets: a compression unit that does not decompress, runs
// off the volume, a short read, or a part of the stream no run covers.
struct UnreadRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::string reason; // in a user's words
};

struct ExtractionResult {
    ExtractionStatus status = ExtractionStatus::kDone;
    // What went wrong, in a user's words, when the status is not kDone.
    std::string reason;
    bool deleted = false;   // the record is a deleted entry's
    std::uint64_t size = 0; // the bytes the stream has (its data size)
    std::uint64_t written = 0;
    std::vector<OverwrittenRange> overwritten; // in offset order
    std::vector<UnreadRange> unread;           // in offset order
};

// Where a stream's bytes lie, as its records say.
struct StreamLayout {
    bool resident = false;
    std::vector<std::byte> value; // a resident stream's value
    // A non-resident stream's: its extents in VCN order and the sizes from
    // the header of its piece at VCN 0.
    std::vector<ondisk::Extent> extents;
    std::int64_t dataSize = 0;
    std::int64_t allocatedSize = 0;
    std::int64_t initializedSize = 0;
    // Clusters per compression unit of a compressed stream; 0 when the
    // stream is not compressed.
    std::uint32_t compressionUnit = 0;
};

// The layout of stream `stream` (empty: the unnamed $DATA) of record
// `record`, a live file's base record or a deleted entry's, read from that
// record and the extension records its attribute list names (for a deleted
// entry, only the free ones that are still its own). On failure `result`
// holds the status and the reason and nothing is returned.
std::optional<StreamLayout> FindStreamLayout(RecordReader& records, const VolumeGeometry& geometry,
                                             std::int64_t record, std::u16string_view stream,
                                             ExtractionResult& result);

// Writes the stream `layout` describes to `sink`, reading its clusters
// through `read`: at most layout.dataSize bytes, never a byte off the
// volume. Fills the result's status, size, written and unread ranges.
ExtractionResult WriteStream(const StreamLayout& layout, const ondisk::StreamVolume& volume,
                             const ondisk::ClusterReader& read, const ByteSink& sink,
                             const ExtractionOptions& options = {});

// The whole extraction: stream `stream` (empty: the unnamed $DATA) of
// record `record` of `volume`, whose device is read through `api`, a live
// file or a deleted entry, written to `sink`. May run on a worker thread:
// it opens readers of its own and touches nothing shared but `options`.
ExtractionResult ExtractStream(NtfsVolume& volume, platform::VolumeApi& api, std::int64_t record,
                               std::u16string_view stream, const ByteSink& sink,
                               const ExtractionOptions& options = {});

// The ranges of the stream named `stream` of deleted entry `index` of
// `deleted` whose pieces are kOverwritten or kClaimed, in bytes, clipped to
// `size`.
std::vector<OverwrittenRange> OverwrittenRanges(const DeletedEntries& deleted, std::size_t index,
                                                std::u16string_view stream,
                                                std::int64_t bytesPerCluster, std::uint64_t size);

} // namespace lorvex::ntfs

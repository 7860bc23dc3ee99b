#pragma once

#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What was on the volume and is deleted now: every free $MFT record that
// still reads as a file record, with its names, times, sizes and streams
// (CollectDeletedEntries), and what its clusters are now, cut by the live
// cluster map (CutDeletedRuns, DeletedClusters.cpp).
namespace lorvex::ntfs {

// What a piece of a deleted stream's run is now.
enum class PieceState : std::uint8_t {
    kFree,        // no live file owns it: it still holds the deleted bytes
    kOverwritten, // a live file owns it now (overwrittenBy: its base record)
    // Free, but also claimed by a file deleted after this one, whose bytes
    // it holds now (overwrittenBy: that deleted record). Of all the deleted
    // files that claim a free cluster, only the one deleted last keeps it
    // kFree: a file deleted earlier could only have its clusters written
    // again by the ones that came after.
    kClaimed,
    kSparse,    // holds nothing on the disk
    kBeyondEnd, // not on the volume: before cluster 0 or past its last cluster
    // Not cut: the deleted runs of the volume claim the live files' clusters
    // so many times over that cutting them all would have no end (damage;
    // see CutDeletedRuns). Counted neither recoverable nor overwritten.
    kUnchecked,
};

// The text a listing shows for a state: "free", "overwritten", "claimed",
// "sparse", "beyond-end", "unchecked".
std::string_view PieceStateName(PieceState state);

inline constexpr std::int64_t kNoOwner = -1;

// A stretch of a deleted stream's clusters in one state. A sparse piece has
// lcn -1.
struct DeletedPiece {
    std::int64_t vcn = 0;
    std::int64_t lcn = 0;
    std::int64_t length = 0;
    std::int64_t overwrittenBy = kNoOwner;
    PieceState state = PieceState::kFree;
};

// One name of a deleted entry: a hard link, or its DOS name.
struct DeletedName {
    std::int64_t parent = 0;          // the 48-bit record number
    std::uint16_t parentSequence = 0; // the reference's sequence number
    std::uint8_t nameSpace = 0;
    std::uint32_t first = 0; // into the name pool
    std::uint32_t length = 0;
};

// One $DATA stream of a deleted entry, unnamed or named. A resident value
// is whole: it stands in the record and is read again from there
// (ReadResidentValue), so it costs no memory here.
struct DeletedStream {
    std::uint32_t nameFirst = 0; // into the name pool; length 0 for unnamed
    std::uint32_t nameLength = 0;
    bool resident = false;
    std::int64_t size = 0;
    std::int64_t allocated = 0;
    std::int64_t initialized = 0;
    std::int64_t valueRecord = 0; // resident: where the value stands
    std::uint32_t valueOffset = 0;
    std::uint32_t firstPiece = 0; // into the piece pool
    std::uint32_t pieceCount = 0;
};

// How a deleted entry's path begins.
enum class PathStart : std::uint8_t {
    kLive,    // its parent is a live directory: the live table's path
    kDeleted, // its parent is a deleted directory of this list
    kOrphan,  // its parent is gone: kOrphanMarker
};

// One deleted file or directory: a free base record and the free extension
// records joined to it.
struct DeletedEntry {
    std::int64_t record = 0;
    std::uint16_t sequence = 0; // the record's own, as it is now
    bool directory = false;
    // $STANDARD_INFORMATION's times (100 ns since 1601); deletedTime is its
    // record-changed time, the last the record was written.
    std::int64_t creationTime = 0;
    std::int64_t modificationTime = 0;
    std::int64_t accessTime = 0;
    std::int64_t deletedTime = 0;
    // The unnamed $DATA's; 0 when it has none.
    std::int64_t size = 0;
    std::int64_t allocated = 0;
    std::int64_t initialized = 0;
    std::uint32_t firstName = 0; // in the name pool (Names); the preferred name first
    std::uint32_t nameCount = 0;
    std::uint32_t firstStream = 0; // in the stream pool (Streams); the unnamed one first
    std::uint32_t streamCount = 0;
    // The clusters of all its streams by state: kFree, and kOverwritten
    // with kClaimed.
    std::int64_t recoverableClusters = 0;
    std::int64_t overwrittenClusters = 0;
};

// Counts of what the walk found beside the entries.
struct DeletedWalkCounts {
    // The records that read as file records; those the $MFT's bitmap marks
    // in use are the scan's and count without being read again.
    std::int64_t recordsRead = 0;
    std::int64_t freeRecords = 0;
    // Free base records that hold nothing of a file (no attribute beyond
    // $STANDARD_INFORMATION): made ahead of use, never a file's. Not
    // entries.
    std::int64_t emptyRecords = 0;
    // Free records that start with the signature but whose update sequence
    // is broken: torn or damaged, nothing in them is trusted.
    std::int64_t brokenRecords = 0;
    std::int64_t joinedExtensions = 0;
    // Free extension records whose base is not a deleted entry of the same
    // file (reused, in use, or gone): nothing to join them to.
    std::int64_t strayExtensions = 0;
};

// The deleted entries of one volume, in record order; the names, streams
// and pieces of all of them in pools, so that an entry costs about what a
// live file-table entry does.
class DeletedEntries {
  public:
    [[nodiscard]] std::span<const DeletedEntry> entries() const { return entries_; }
    [[nodiscard]] const DeletedWalkCounts& counts() const { return counts_; }
    [[nodiscard]] std::span<const DeletedName> Names(const DeletedEntry& entry) const;
    [[nodiscard]] std::span<const DeletedStream> Streams(const DeletedEntry& entry) const;
    [[nodiscard]] std::span<const DeletedPiece> Pieces(const DeletedStream& stream) const;
    [[nodiscard]] std::u16string_view NameOf(const DeletedName& name) const;
    [[nodiscard]] std::u16string_view NameOf(const DeletedStream& stream) const;
    // The index of the entry of record `record`, or nothing.
    [[nodiscard]] std::optional<std::size_t> IndexOf(std::int64_t record) const;

    // The path of entry `index` through its name `nameIndex` (0: the
    // preferred one), shown as the live table shows paths (its names
    // escaped, kOrphanMarker for an orphan), built when asked for. `live`
    // is the file table of the same volume with its paths built.
    [[nodiscard]] std::u16string Path(std::size_t index, std::size_t nameIndex,
                                      const TFileIDs& live) const;
    // How the path of that name begins.
    [[nodiscard]] PathStart StartOf(const DeletedName& name) const;

    // The deleted entries whose pieces lie on cluster `lcn`, by index,
    // ascending; after CutDeletedRuns.
    [[nodiscard]] std::vector<std::size_t> EntriesClaiming(std::int64_t lcn) const;

  private:
    friend class DeletedCollector;
    friend void CutDeletedRuns(DeletedEntries& deleted, const TFileIDs& live,
                               const TClusterArray& clusters, std::int64_t totalClusters);
    // One piece on the volume in the claim index.
    struct Claim {
        std::int64_t lcn = 0;
        std::int64_t end = 0;
        std::size_t entry = 0;
    };
    // The parent chain's next deleted directory for `name`, or nothing.
    [[nodiscard]] std::optional<std::size_t> DeletedParent(const DeletedName& name) const;
    std::u16string_view Pooled(std::uint32_t first, std::uint32_t length) const;

    std::vector<DeletedEntry> entries_;
    std::vector<DeletedName> names_;
    std::vector<DeletedStream> streams_;
    std::vector<DeletedPiece> pieces_;
    std::u16string namePool_;
    // The parents that are in use, with the sequence number their record
    // has now: an in-use parent of another sequence is a reused record.
    std::vector<std::pair<std::int64_t, std::uint16_t>> liveParents_;
    std::int64_t recordCount_ = 0;
    DeletedWalkCounts counts_;
    // Every piece on the volume, by LCN, with the largest end so far: the
    // index EntriesClaiming walks.
    std::vector<Claim> claims_;
    std::vector<std::int64_t> claimEndSoFar_;
};

// Walks every record number of the $MFT (up to the volume's record count)
// and keeps every free record that still reads as a file record as a
// deleted entry; its runs stay uncut (one kFree piece per run) until
// CutDeletedRuns. `progress` (may be empty) gets the percentage done every
// few thousand records; an exception it throws ends the walk and goes on to
// the caller, which is how a caller stops it half-way.
DeletedEntries CollectDeletedEntries(NtfsVolume& volume, const ProgressReport& progress = {});

// Cuts every run of the deleted entries by what its clusters are now:
// `clusters` is the live cluster map of `live`, in LCN order
// (RunScanStages leaves it so), `totalClusters` the volume's. Fills the
// per-entry counts and the claim index. The pieces are held to 16 per live
// extent and deleted run (and at least 2^20); past that a run's rest is
// one kUnchecked piece.
void CutDeletedRuns(DeletedEntries& deleted, const TFileIDs& live, const TClusterArray& clusters,
                    std::int64_t totalClusters);

// The resident value of a deleted stream as its record holds it now;
// empty for a non-resident stream or when the record no longer holds it.
std::vector<std::byte> ReadResidentValue(RecordReader& records, const DeletedStream& stream);

} // namespace lorvex::ntfs

#pragma once

#include "ntfs/ClusterMap.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace lorvex::platform {
class VolumeApi;
} // namespace lorvex::platform

// The volume's health: where the allocation bitmap and the files disagree,
// which records of the $MFT cannot be read or differ from their mirror, and
// which clusters the file system itself has marked bad.
namespace lorvex::ntfs {

class TFileIDs;
class NtfsVolume;

enum class THealthKind : std::uint8_t {
    // Claimed by an allocated run of a record in use, free in the bitmap.
    OwnedFree,
    // Set in the bitmap, claimed by no record in use (lost clusters).
    UnownedUsed,
    // Claimed more than once: by two records, or twice by one.
    CrossLinked,
    // A run's clusters past the volume's last one (or before its first).
    BeyondEnd,
    // Clusters the file system keeps in $BadClus:$Bad.
    BadCluster,
    // An $MFT record that its copy in $MFTMirr does not match; the range is
    // where the $MFT record lies.
    MirrorDiffers,
    // A record the $MFT's bitmap marks in use whose update sequence (or
    // signature) fails, so that no reader sees it; the range is where it lies.
    BadRecord,
};
inline constexpr std::size_t kHealthKindCount = 7;

// "owned-free", "unowned-used", "cross-linked", "beyond-end", "bad-cluster",
// "mirror-differs", "bad-record".
std::string_view HealthKindName(THealthKind kind);

// Whether a kind is a disagreement over clusters (the first four), which the
// map shows, rather than a fact about records.
constexpr bool IsClusterKind(THealthKind kind) {
    return kind <= THealthKind::BeyondEnd;
}

// A record that claims a problem's clusters, or the record a problem is about.
struct THealthClaimant {
    std::int64_t RecordNo = 0;
    std::int32_t FileIndex = -1; // into the scan's table; -1 when the record is not in it
    std::uint32_t AttrType = 0;  // 0 for a record problem
};

struct THealthProblem {
    THealthKind Kind = THealthKind::OwnedFree;
    std::int64_t FirstLCN = 0;
    std::int64_t Count = 0;
    std::uint32_t FirstClaimant = 0; // into THealthReport::Claimants
    std::uint32_t ClaimantCount = 0;
};

struct THealthReport {
    // Sorted by first cluster, then kind.
    std::vector<THealthProblem> Problems;
    std::vector<THealthClaimant> Claimants;
    // What could not be checked, so that "no problems" is never claimed for
    // it: the allocation bitmap, the $MFT's bitmap, the mirror.
    bool BitmapChecked = false;
    bool RecordsChecked = false;
    bool MirrorChecked = false;

    [[nodiscard]] std::span<const THealthClaimant> ClaimantsOf(const THealthProblem& p) const {
        return std::span(Claimants).subspan(p.FirstClaimant, p.ClaimantCount);
    }
    // The problems of each kind, in THealthKind order.
    [[nodiscard]] std::vector<std::size_t> CountByKind() const;
};

// The allocation bitmap as 64-bit words, cluster 0 in bit 0 of word 0. It
// may cover fewer clusters than the volume (`clusters`); past them nothing
// is compared.
struct TBitmapWords {
    std::span<const std::uint64_t> Words;
    std::int64_t Clusters = 0;
};

// The cluster checks (owned-free, unowned-used, cross-linked, beyond-end):
// one walk of the map, in LCN order, against the bitmap a word at a time.
// It holds nothing per cluster: its own memory is the extents that overlap
// the position it has reached, and the problems it finds. Appends to
// `report`; sets BitmapChecked when the bitmap covers any cluster.
void CheckClusters(const TClusterArray& byLcn, const TFileIDs& fileIds, std::int64_t totalClusters,
                   TBitmapWords bitmap, THealthReport& report);

// The record checks (bad-record, mirror-differs, bad-cluster), reading the
// $MFT, $MFTMirr and $BadClus through `api` by the runs their records give.
// The records of the table are the ones the file system reads; only the
// in-use records missing from it are read again.
void CheckRecords(NtfsVolume& volume, platform::VolumeApi& api, const TFileIDs& fileIds,
                  THealthReport& report);

// Both, with the problems sorted. `byLcn` is the scan's map in LCN order.
THealthReport CheckVolumeHealth(NtfsVolume& volume, platform::VolumeApi& api,
                                const TFileIDs& fileIds, const TClusterArray& byLcn,
                                TBitmapWords bitmap);

// Where the map shows each cluster problem: its own range, and for a run past
// the end the part of that run still on the volume (its clusters past the
// end have no place on the map). Sorted by first cluster.
struct THealthSpan {
    std::int64_t First = 0;
    std::int64_t Count = 0;
    THealthKind Kind = THealthKind::OwnedFree;
};
std::vector<THealthSpan> HealthMapSpans(const THealthReport& report, const TClusterArray& byLcn,
                                        std::int64_t totalClusters);

// Reads the volume's allocation bitmap into words, for a caller that holds
// no map model. Empty when it cannot be read.
std::vector<std::uint64_t> ReadBitmapWords(platform::VolumeApi& api, std::string_view driveRoot,
                                           std::int64_t totalClusters);

} // namespace lorvex::ntfs

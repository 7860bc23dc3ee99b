#pragma once

#include "map/CellStates.h"
#include "ntfs/ClusterMap.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lorvex::ntfs {
class TFileIDs;
} // namespace lorvex::ntfs

// A model of a volume's clusters whose size follows the painted extents
// rather than the clusters: the allocation bitmap at one bit per cluster,
// the painted extents resolved into ranges, and counts per block of clusters
// for the zoomed-out views. It answers, cluster for cluster, what one byte
// per cluster filled from the bitmap and painted entry by entry would hold,
// and what a pixel covering many clusters shows.
namespace lorvex::map {

// Whether `text` contains `part`, regardless of case.
using TContainsCaseless = bool (*)(std::u16string_view text, std::u16string_view part);

// The comparison used when none is given: folds the letters of ASCII,
// Latin-1, and the basic Greek and Cyrillic alphabets. The window passes
// its toolkit's full Unicode folding instead.
bool ContainsCaselessSimple(std::u16string_view text, std::u16string_view part);

// The state a file-table entry paints its extents with, or 0 for an entry
// that is not painted (any type but FILE, DIRECTORY and SYSFILE). `markText`
// empty marks nothing. Marked beats paging file beats fragmented beats plain.
// `path` is room for the entry's path, reused from entry to entry.
std::uint8_t EntryPaintState(const ntfs::TFileIDs& table, std::size_t index,
                             std::u16string_view markText, TContainsCaseless contains,
                             std::u16string& path);

// What a model is built from.
struct TMapInput {
    std::int64_t totalClusters = 0;
    // One bit per cluster, least significant bit first; set is csUsed, clear
    // csFree. It may be shorter than the volume, or empty when it could not
    // be read: the clusters it does not cover are csFree. Bits past the
    // volume's end are ignored.
    std::span<const std::uint8_t> bitmap;
    // Instead of `bitmap`, when set: called once with the model's own
    // bitmap, (totalClusters + 7) / 8 bytes of zeros, to write the bits into,
    // so that a volume's bitmap is held once rather than twice while the
    // model is built.
    std::function<void(std::span<std::uint8_t> bits)> fillBitmap;
    // [start, end): painted csMFTZone under every entry.
    std::int64_t mftZoneStart = 0;
    std::int64_t mftZoneEnd = 0;
    const ntfs::TFileIDs* fileIds = nullptr;
    const ntfs::TClusterArray* clusters = nullptr; // in FileIndex order
    // Painted csSystem over everything: clusters the layer beneath the file
    // system keeps (BitLocker's), whatever file holds them.
    std::span<const ntfs::TReservedRun> reserved = {};
    std::u16string markText;
    TContainsCaseless contains = nullptr; // ContainsCaselessSimple when empty
};

// The model. Building it paints the MFT zone, then every painted entry in
// table order, later entries winning where extents overlap, exactly as the
// one-byte-per-cluster cells are painted; extents are clipped to the volume.
//
// Zoomed-out views (SummaryRow): a pixel covering the clusters [s, s + k)
// shows
//   - csBeyondEnd when none of them lies on the volume;
//   - csMarked when any of them on the volume is marked, so that a marked
//     file stays visible at every zoom;
//   - otherwise the state held by most of its clusters on the volume (the
//     clusters before 0 or past the end are not counted), a tie going to the
//     state that comes first in kVolumeStates.
// The counts are exact at every zoom, whatever the alignment of s and k.
class TMapModel {
  public:
    // Clusters per block of the count table.
    static constexpr std::int64_t kBlockClusters = 4096;
    // How many clusters of each state, in kVolumeStates order.
    using TCounts = std::array<std::uint64_t, kVolumeStateCount>;

    // Throws std::bad_alloc when the model cannot be held (or the total is
    // negative, or past 2^40 clusters, a bitmap of 128 GiB), so that the
    // caller can report it. A volume of 0 clusters gives a model in which
    // every cluster is beyond the end.
    explicit TMapModel(const TMapInput& input);

    // The bitmap and its ranks, which never change once built: models of
    // one volume painted from different scans share them.
    struct TBits;
    [[nodiscard]] std::shared_ptr<const TBits> SharedBits() const { return FBits; }
    // A model of the volume `bits` came from, painted from the zone, table,
    // map and mark of `paint` (its bitmap and total are not read). A scan
    // builds its model this way on its own thread while the window goes on
    // drawing from the model it has, and the volume's bitmap is held once.
    TMapModel(std::shared_ptr<const TBits> bits, const TMapInput& paint);

    [[nodiscard]] std::int64_t TotalClusters() const { return FTotalClusters; }

    // The state of cluster `lcn`: csBeyondEnd for a cluster before 0 or past
    // the end.
    [[nodiscard]] std::uint8_t StateAt(std::int64_t lcn) const;

    // The states of the clusters [first, first + count) into `out` (count
    // bytes), one byte per cluster as a view of one pixel per cluster or a
    // magnified view draws them.
    void States(std::int64_t first, std::size_t count, std::uint8_t* out) const;

    // `pixels` summary pixels into `out`: pixel i covers the clusters
    // [first + i * k, first + (i + 1) * k) and shows what the class comment
    // says. A k below 2 gives States.
    void SummaryRow(std::int64_t first, std::int64_t k, std::size_t pixels,
                    std::uint8_t* out) const;

    // The counts of the clusters [0, x) for every x of `xs` (ascending,
    // each clamped to the volume) into `out`, one walk along the volume.
    void CountsBefore(std::span<const std::int64_t> xs, TCounts* out) const;

    // The first cluster of [first, end) on the volume whose state is
    // `state`, looking at no more than `most` clusters; -1 when none is
    // found. Bounded so that a pointer over a pixel of billions of clusters
    // costs what a pointer over a few does.
    [[nodiscard]] std::int64_t FindState(std::int64_t first, std::int64_t end, std::uint8_t state,
                                         std::int64_t most) const;

    // Paints again from the zone, table, map and mark of `input`, keeping
    // the bitmap the model holds (the input's bitmap and total are not
    // read): a new mark text repaints the model this way.
    void Paint(const TMapInput& input);

    // The bytes the model holds, and the painted ranges it keeps.
    [[nodiscard]] std::size_t MemoryBytes() const;
    [[nodiscard]] std::size_t RangeCount() const { return FRanges.size(); }

  private:
    // A run of clusters that shows one painted state, in 8 bytes: the first
    // cluster in 40 bits, the length in 16 (a longer run takes several), the
    // state in 8. A run of a plain file's state over clusters the bitmap
    // already marks used is not kept: the bitmap says the same.
    struct TRange {
        static constexpr std::int64_t kLongest = (std::int64_t{1} << 16) - 1;
        std::uint64_t Bits = 0;
        TRange(std::int64_t first, std::int64_t length, std::uint8_t state)
            : Bits((static_cast<std::uint64_t>(first) << 24) |
                   (static_cast<std::uint64_t>(length) << 8) | state) {}
        [[nodiscard]] std::int64_t First() const { return static_cast<std::int64_t>(Bits >> 24); }
        [[nodiscard]] std::int64_t Length() const {
            return static_cast<std::int64_t>((Bits >> 8) & kLongest);
        }
        [[nodiscard]] std::uint8_t State() const { return static_cast<std::uint8_t>(Bits); }
        [[nodiscard]] std::int64_t End() const { return First() + Length(); }
        // Length() + by at most kLongest.
        void Grow(std::int64_t by) { Bits += static_cast<std::uint64_t>(by) << 8; }
    };
    class TCursor;

    // Hands out memory on cache-line boundaries and leaves it uninitialised,
    // so that a group of the bitmap is one line and the bitmap is written
    // once, by the copy from the input.
    static void* AllocateLines(std::size_t bytes);
    static void FreeLines(void* p, std::size_t bytes);
    template <class T> struct TLineAllocator {
        using value_type = T;
        TLineAllocator() = default;
        template <class U> TLineAllocator(const TLineAllocator<U>& /*other*/) {}
        T* allocate(std::size_t n) {
            if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
                throw std::bad_alloc();
            }
            return static_cast<T*>(AllocateLines(n * sizeof(T)));
        }
        void deallocate(T* p, std::size_t n) { FreeLines(p, n * sizeof(T)); }
        template <class U> void construct(U* p) { ::new (static_cast<void*>(p)) U; }
        template <class U, class... A> void construct(U* p, A&&... args) {
            ::new (static_cast<void*>(p)) U(std::forward<A>(args)...);
        }
        bool operator==(const TLineAllocator& /*other*/) const { return true; }
    };

    static std::shared_ptr<const TBits> BuildBitmap(const TMapInput& input);
    void BuildRanges(const TMapInput& input, TContainsCaseless contains);
    void BuildCounts();
    // The set bits before group g's first cluster, g in [0, groups].
    [[nodiscard]] std::uint64_t GroupRank(std::size_t g) const;
    // The set bits among the clusters [0, lcn), lcn in [0, total].
    [[nodiscard]] std::uint64_t Rank(std::int64_t lcn) const;
    // The set bits among the clusters [from, to), counted word by word.
    [[nodiscard]] std::uint64_t CountBits(std::int64_t from, std::int64_t to) const;
    // The first range whose end lies after `lcn`.
    [[nodiscard]] std::size_t RangeAfter(std::int64_t lcn) const;

    std::int64_t FTotalClusters = 0;
    std::shared_ptr<const TBits> FBits;
    std::vector<TRange> FRanges;
    // The counts of each state before every block boundary (kVolumeStates
    // order), and the first range ending after it.
    std::vector<TCounts> FBlockCounts;
    std::vector<std::uint32_t> FBlockRanges;
};

struct TMapModel::TBits {
    std::int64_t TotalClusters = 0;
    // The bitmap, cleared past the end and padded to whole groups of 512
    // clusters (one cache line each).
    std::vector<std::uint64_t, TLineAllocator<std::uint64_t>> Words;
    // Set bits before every 65536 clusters, and before every group counted
    // from the last 65536-cluster boundary.
    std::vector<std::uint64_t> RankHigh;
    std::vector<std::uint16_t> RankLow;
};

} // namespace lorvex::map

#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace lorvex::ondisk {

// The fixed fields of a non-resident attribute's header (offsets in
// ondisk::attr) and where its run list lies.
struct NonResidentHeader {
    std::int64_t lowestVcn = 0;
    std::int64_t highestVcn = 0;
    std::int64_t allocatedSize = 0;
    std::int64_t dataSize = 0;
    std::int64_t initializedSize = 0;
    std::span<const std::byte> runList; // to the attribute's end (RunListBytes)
};

// The header of a non-resident attribute; nothing for a resident one and for
// one too short to hold the non-resident header, which is damage.
std::optional<NonResidentHeader> DecodeNonResident(std::span<const std::byte> attribute);

// A stretch of a non-resident stream: `length` clusters from `vcn` lie at
// `lcn` (nowhere when sparse, and then they read as zeros).
struct Extent {
    std::int64_t vcn = 0;
    std::int64_t lcn = 0;
    std::int64_t length = 0;
    bool sparse = false;
};

// True when `length` clusters from cluster `first` have byte offsets, the
// first byte's to the end's, that all fit in a signed 64-bit number: a read
// that works out a position in bytes can never wrap. A sparse run of 2^52
// clusters of 4 KiB is 2^64 bytes, which wraps to 0, and a read that finds 0
// bytes left in its extent would never move on. Both sides of a run are held
// to it: its VCNs when it becomes an extent, its LCNs when it is read.
constexpr bool RunBytesFit(std::int64_t first, std::int64_t length, std::int64_t bytesPerCluster) {
    if (bytesPerCluster <= 0 || first < 0 || length < 0) {
        return false;
    }
    const std::int64_t maxClusters = std::numeric_limits<std::int64_t>::max() / bytesPerCluster;
    return first <= maxClusters && length <= maxClusters - first;
}

// Why AppendExtents stopped.
enum class ExtentsEnd {
    Complete,       // the run list ended on its zero byte, every run taken
    RunListDamaged, // the run list is damaged (DecodeRunList's status)
    OutOfRange,     // a run of no clusters, or one whose bytes break RunBytesFit
};

// Appends the extents of one piece of a stream, whose run list starts at VCN
// `lowestVcn`, to `out`. It stops at the first run of no clusters or whose
// VCNs break RunBytesFit, and at damage in the run list; the extents before
// stay. A negative lowest VCN gives none.
ExtentsEnd AppendExtents(std::span<const std::byte> runList, std::int64_t lowestVcn,
                         std::int64_t bytesPerCluster, std::vector<Extent>& out);

// The same for the piece a non-resident header describes.
inline ExtentsEnd AppendExtents(const NonResidentHeader& piece, std::int64_t bytesPerCluster,
                                std::vector<Extent>& out) {
    return AppendExtents(piece.runList, piece.lowestVcn, bytesPerCluster, out);
}

} // namespace lorvex::ondisk

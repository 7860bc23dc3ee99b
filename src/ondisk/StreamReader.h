#pragma once

#include "ondisk/NonResident.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace lorvex::ondisk {

// Reads `out.size()` bytes of the volume from byte `offset` into `out` and
// says how many it read; fewer than asked where the volume cannot be read.
using ClusterReader = std::function<std::size_t(std::uint64_t offset, std::span<std::byte> out)>;

// The volume a stream's clusters lie on.
struct StreamVolume {
    std::int64_t bytesPerCluster = 0;
    std::int64_t totalClusters = 0;
};

// The extent of `extents` (in VCN order) that holds cluster `vcn` of the
// stream, or nullptr.
const Extent* FindExtent(std::span<const Extent> extents, std::int64_t vcn);

// Reads bytes [pos, pos + out.size()) of the stream laid out by `extents`
// (in VCN order, as AppendExtents makes them), writing nowhere but `out`.
// Sparse extents read as zeros. Returns how many bytes from the start of
// `out` it delivered: all of them, or fewer when a byte lies in no extent,
// in an extent not wholly on the volume (or whose LCNs break RunBytesFit),
// or where `read` comes back short.
std::size_t ReadStream(std::span<const Extent> extents, const StreamVolume& volume,
                       std::uint64_t pos, std::span<std::byte> out, const ClusterReader& read);

} // namespace lorvex::ondisk

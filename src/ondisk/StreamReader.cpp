#include "ondisk/StreamReader.h"

#include <algorithm>

namespace lorvex::ondisk {

namespace {

bool OnVolume(const Extent& e, const StreamVolume& volume) {
    return e.lcn >= 0 && e.lcn < volume.totalClusters && e.length <= volume.totalClusters - e.lcn &&
           RunBytesFit(e.lcn, e.length, volume.bytesPerCluster);
}

} // namespace

const Extent* FindExtent(std::span<const Extent> extents, std::int64_t vcn) {
    // The last extent that starts at or before `vcn`.
    auto it = std::upper_bound(extents.begin(), extents.end(), vcn,
                               [](std::int64_t v, const Extent& e) { return v < e.vcn; });
    if (it == extents.begin()) {
        return nullptr;
    }
    --it;
    // AppendExtents makes no extent before VCN 0 or of no clusters; one made
    // elsewhere is not trusted to hold anything.
    return it->vcn >= 0 && it->length > 0 && vcn - it->vcn < it->length ? &*it : nullptr;
}

std::size_t ReadStream(std::span<const Extent> extents, const StreamVolume& volume,
                       std::uint64_t pos, std::span<std::byte> out, const ClusterReader& read) {
    if (volume.bytesPerCluster <= 0) {
        return 0;
    }
    const auto cluster = static_cast<std::uint64_t>(volume.bytesPerCluster);
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t at = pos + done;
        if (at < pos) {
            return done;
        }
        const auto vcn = static_cast<std::int64_t>(at / cluster);
        const Extent* e = FindExtent(extents, vcn);
        // Extents made elsewhere than AppendExtents are held to the rule too.
        if (e == nullptr || !RunBytesFit(e->vcn, e->length, volume.bytesPerCluster)) {
            return done;
        }
        const std::uint64_t into = at - static_cast<std::uint64_t>(e->vcn) * cluster;
        const std::uint64_t left = static_cast<std::uint64_t>(e->length) * cluster - into;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, out.size() - done));
        const auto piece = out.subspan(done, n);
        if (e->sparse) {
            std::fill(piece.begin(), piece.end(), std::byte{0});
        } else {
            if (!OnVolume(*e, volume)) {
                return done;
            }
            const std::size_t got =
                read(static_cast<std::uint64_t>(e->lcn) * cluster + into, piece);
            if (got < n) {
                return done + got;
            }
        }
        done += n;
    }
    return done;
}

} // namespace lorvex::ondisk

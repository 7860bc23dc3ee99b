// A compressed stream written out from hostile clusters: the input is a
// volume of 512-byte clusters whose first byte says how many clusters of a
// 16-cluster compression unit lie on the disk (the rest a hole) and how
// initialized the stream is; each unit's LZNT1 chunks are the input's own
// bytes. Nothing may be written past the data size, and the decompressor
// may write nowhere but its unit, whatever the chunks claim.
#include "ntfs/Lznt1.h"
#include "ntfs/StreamExtraction.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

using namespace lorvex;

namespace {

constexpr std::int64_t kCluster = 512;
constexpr std::int64_t kUnit = 16;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::span<const std::byte> input(reinterpret_cast<const std::byte*>(data), size);
    const auto flags = std::to_integer<unsigned>(input[0]);
    const std::vector<std::byte> disk(input.begin() + 1, input.end());
    const std::int64_t clusters =
        std::max<std::int64_t>(1, static_cast<std::int64_t>(disk.size()) / kCluster);

    // Units of `stored` clusters on the disk, in turn from cluster 0, each
    // followed by its hole; the last unit's clusters wrap to the start.
    const std::int64_t stored = 1 + (flags & 0x0F);
    ntfs::StreamLayout layout;
    layout.compressionUnit = kUnit;
    const std::int64_t units = 1 + clusters / stored;
    for (std::int64_t u = 0; u < units; ++u) {
        const std::int64_t lcn = (u * stored) % clusters;
        layout.extents.push_back({u * kUnit, lcn, std::min(stored, clusters - lcn), false});
        const std::int64_t taken = layout.extents.back().length;
        if (taken < kUnit) {
            layout.extents.push_back({u * kUnit + taken, -1, kUnit - taken, true});
        }
    }
    layout.dataSize = units * kUnit * kCluster - (flags >> 4);
    layout.initializedSize = layout.dataSize - (flags & 0x30) * kCluster;
    layout.allocatedSize = units * kUnit * kCluster;

    const ondisk::ClusterReader read = [&disk](std::uint64_t at, std::span<std::byte> out) {
        if (at >= disk.size()) {
            return std::size_t{0};
        }
        const auto n = std::min<std::size_t>(out.size(), disk.size() - at);
        std::copy_n(disk.begin() + static_cast<std::ptrdiff_t>(at), n, out.begin());
        return n;
    };
    std::uint64_t written = 0;
    const ntfs::ByteSink sink = [&written](std::span<const std::byte> bytes) {
        written += bytes.size();
        return true;
    };
    const auto result = ntfs::WriteStream(layout, {kCluster, clusters}, read, sink);
    if (result.status == ntfs::ExtractionStatus::kDone &&
        written != static_cast<std::uint64_t>(layout.dataSize)) {
        std::abort();
    }

    // The decompressor alone, into a unit of any size up to 64 KiB: an
    // overrun is AddressSanitizer's to see.
    std::vector<std::byte> unit(std::to_integer<std::size_t>(input[1]) * 256);
    std::string why;
    const auto produced = ntfs::DecompressLznt1(input.subspan(2), unit, why);
    if (produced && *produced > unit.size()) {
        std::abort();
    }
    return 0;
}

#include "ondisk/StreamReader.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace lorvex::ondisk {
namespace {

constexpr std::int64_t kCluster = 512;

// A volume of 64 clusters whose every byte is its cluster number, read
// through the reader the stream reader is given; `limit` makes reads past
// that byte of the volume come back short.
class Volume {
  public:
    explicit Volume(std::uint64_t limit = std::numeric_limits<std::uint64_t>::max())
        : bytes_(64 * kCluster), limit_(limit) {
        for (std::size_t i = 0; i < bytes_.size(); ++i) {
            bytes_[i] = static_cast<std::byte>(i / kCluster);
        }
    }
    ClusterReader Reader() {
        return [this](std::uint64_t at, std::span<std::byte> out) -> std::size_t {
            ++reads;
            const std::uint64_t end = std::min<std::uint64_t>(bytes_.size(), limit_);
            if (at >= end) {
                return 0;
            }
            const std::size_t n = std::min<std::size_t>(out.size(), end - at);
            std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at), n, out.begin());
            return n;
        };
    }
    int reads = 0;

  private:
    std::vector<std::byte> bytes_;
    std::uint64_t limit_;
};

constexpr StreamVolume kVolume{kCluster, 64};

TEST(StreamReader, ReadsAcrossExtentsWithSparseOnesAsZeros) {
    Volume v;
    const std::vector<Extent> extents{{0, 10, 2, false}, {2, 0, 1, true}, {3, 40, 1, false}};
    std::vector<std::byte> out(3 * kCluster + 8, std::byte{0xA5});
    // From the middle of the first cluster to the middle of the last.
    const auto span = std::span(out).first(3 * kCluster);
    EXPECT_EQ(ReadStream(extents, kVolume, kCluster / 2, span, v.Reader()), span.size());
    EXPECT_EQ(out[0], std::byte{10});
    EXPECT_EQ(out[kCluster / 2], std::byte{11});
    EXPECT_EQ(out[3 * kCluster / 2], std::byte{0});
    EXPECT_EQ(out[5 * kCluster / 2], std::byte{40});
    // Nothing past the span; one read per stretch on the volume.
    EXPECT_EQ(out[3 * kCluster], std::byte{0xA5});
    EXPECT_EQ(v.reads, 2);
    // An extent found by any of its clusters, and none in a gap.
    EXPECT_EQ(FindExtent(extents, 1), &extents[0]);
    EXPECT_EQ(FindExtent(extents, 4), nullptr);
}

TEST(StreamReader, DeliversTheBytesBeforeWhatItCannotRead) {
    Volume v;
    std::vector<std::byte> out(4 * kCluster);
    // A gap after the first cluster.
    EXPECT_EQ(ReadStream(std::vector<Extent>{{0, 1, 1, false}, {2, 2, 1, false}}, kVolume, 0, out,
                         v.Reader()),
              static_cast<std::size_t>(kCluster));
    // An extent that reaches past the volume's last cluster is read nowhere.
    EXPECT_EQ(ReadStream(std::vector<Extent>{{0, 1, 1, false}, {1, 63, 2, false}}, kVolume, 0, out,
                         v.Reader()),
              static_cast<std::size_t>(kCluster));
    EXPECT_EQ(ReadStream(std::vector<Extent>{{0, -1, 1, false}}, kVolume, 0, out, v.Reader()), 0U);
    // A volume that claims more clusters than 64-bit offsets reach.
    const StreamVolume huge{kCluster, std::numeric_limits<std::int64_t>::max()};
    EXPECT_EQ(
        ReadStream(std::vector<Extent>{{0, std::numeric_limits<std::int64_t>::max() / 2, 1, false}},
                   huge, 0, out, v.Reader()),
        0U);
    // A read that comes back short delivers what it got.
    Volume cut(5 * kCluster + 100);
    EXPECT_EQ(ReadStream(std::vector<Extent>{{0, 4, 4, false}}, kVolume, 0, out, cut.Reader()),
              static_cast<std::size_t>(kCluster + 100));
}

TEST(StreamReader, TrustsNoExtentItWasGivenBlindly) {
    Volume v;
    std::vector<std::byte> out(kCluster);
    // Extents whose VCNs have no byte offset are never read, sparse or not.
    const std::int64_t far = std::numeric_limits<std::int64_t>::max() / kCluster;
    EXPECT_EQ(ReadStream(std::vector<Extent>{{0, 0, far + 1, true}}, kVolume, 0, out, v.Reader()),
              0U);
    EXPECT_EQ(ReadStream(std::vector<Extent>{{-4, 1, 8, false}}, kVolume, 0, out, v.Reader()), 0U);
    EXPECT_EQ(ReadStream(std::vector<Extent>{{0, 1, 1, false}}, {0, 64}, 0, out, v.Reader()), 0U);
    EXPECT_EQ(v.reads, 0);
}

} // namespace
} // namespace lorvex::ondisk

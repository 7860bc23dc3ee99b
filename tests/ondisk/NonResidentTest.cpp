#include "ondisk/NonResident.h"

#include "ondisk/Attribute.h"
#include "ondisk/Bytes.h"

#include <gtest/gtest.h>

#include <limits>

namespace lorvex::ondisk {
namespace {

using test::Bytes;
using test::Put;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(NonResidentHeader, DecodesItsFieldsAndRefusesWhatIsNoSuchHeader) {
    std::vector<std::byte> a(0x48, std::byte{0});
    Put(a, attr::kNonResident, 1, 1);
    Put(a, attr::kLowestVcn, 2, 8);
    Put(a, attr::kHighestVcn, 9, 8);
    Put(a, attr::kRunListOffset, 0x40, 2);
    Put(a, attr::kAllocatedSize, 0x8000, 8);
    Put(a, attr::kDataSize, 0x7001, 8);
    Put(a, attr::kInitializedSize, 0x7000, 8);
    const auto h = DecodeNonResident(a);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->lowestVcn, 2);
    EXPECT_EQ(h->highestVcn, 9);
    EXPECT_EQ(h->allocatedSize, 0x8000);
    EXPECT_EQ(h->dataSize, 0x7001);
    EXPECT_EQ(h->initializedSize, 0x7000);
    EXPECT_EQ(h->runList.size(), 8U);
    EXPECT_EQ(h->runList.data(), a.data() + 0x40);

    // Shorter than its fixed fields: damage, not a header of zeros.
    EXPECT_FALSE(DecodeNonResident(std::span(a).first(0x38)));
    // A resident attribute has none.
    Put(a, attr::kNonResident, 0, 1);
    EXPECT_FALSE(DecodeNonResident(a));
}

TEST(RunBytesFit, HoldsEveryByteAndTheEndOfARunToSigned64Bits) {
    const std::int64_t most = kMax / 4096; // clusters of 4 KiB with an offset
    EXPECT_TRUE(RunBytesFit(0, most, 4096));
    EXPECT_FALSE(RunBytesFit(0, most + 1, 4096));
    EXPECT_TRUE(RunBytesFit(most - 10, 10, 4096));
    EXPECT_FALSE(RunBytesFit(most - 10, 11, 4096));
    // 2^52 clusters of 4 KiB are 2^64 bytes, which would wrap to 0.
    EXPECT_FALSE(RunBytesFit(0, std::int64_t{1} << 52, 4096));
    EXPECT_FALSE(RunBytesFit(-1, 1, 4096));
    EXPECT_FALSE(RunBytesFit(0, -1, 4096));
    EXPECT_FALSE(RunBytesFit(0, 1, 0));
    // Near the top, one more cluster never overflows the sum.
    EXPECT_FALSE(RunBytesFit(kMax, kMax, 512));
}

TEST(AppendExtents, GivesEachRunItsVcnsFromTheLowestOn) {
    // 4 clusters at 100, 2 sparse, 3 at 98.
    const auto runs = Bytes({0x11, 0x04, 0x64, 0x01, 0x02, 0x11, 0x03, 0xFE, 0x00});
    std::vector<Extent> out{{0, 7, 5, false}};
    ASSERT_EQ(AppendExtents(runs, 5, 4096, out), ExtentsEnd::Complete);
    ASSERT_EQ(out.size(), 4U);
    EXPECT_EQ(out[1].vcn, 5);
    EXPECT_EQ(out[1].lcn, 100);
    EXPECT_EQ(out[2].vcn, 9);
    EXPECT_TRUE(out[2].sparse);
    EXPECT_EQ(out[3].vcn, 11);
    EXPECT_EQ(out[3].lcn, 98);
    EXPECT_EQ(out[3].length, 3);
}

TEST(AppendExtents, StopsAtTheFirstRunTheStreamCannotHoldKeepingThoseBefore) {
    std::vector<Extent> out;
    // A sparse run of 2^52 clusters after one real one: 2^64 bytes of 4 KiB.
    const auto wraps = Bytes({0x11, 0x01, 0x0A, 0x07, 0, 0, 0, 0, 0, 0, 0x10, 0x00});
    EXPECT_EQ(AppendExtents(wraps, 0, 4096, out), ExtentsEnd::OutOfRange);
    EXPECT_EQ(out.size(), 1U);
    // The same clusters of 512 bytes are 2^61 bytes: they fit.
    out.clear();
    EXPECT_EQ(AppendExtents(wraps, 0, 512, out), ExtentsEnd::Complete);
    EXPECT_EQ(out.size(), 2U);
    // A run of no clusters.
    out.clear();
    EXPECT_EQ(AppendExtents(Bytes({0x11, 0x01, 0x0A, 0x10, 0x05, 0x00}), 0, 4096, out),
              ExtentsEnd::OutOfRange);
    EXPECT_EQ(out.size(), 1U);
    // A lowest VCN before the stream, or past what its bytes can reach.
    out.clear();
    EXPECT_EQ(AppendExtents(Bytes({0x11, 0x01, 0x0A, 0x00}), -1, 4096, out),
              ExtentsEnd::OutOfRange);
    EXPECT_EQ(AppendExtents(Bytes({0x11, 0x01, 0x0A, 0x00}), kMax / 4096, 4096, out),
              ExtentsEnd::OutOfRange);
    EXPECT_TRUE(out.empty());
    // A damaged run list keeps what came before the damage and says so.
    EXPECT_EQ(AppendExtents(Bytes({0x11, 0x01, 0x0A, 0x21, 0x01}), 0, 4096, out),
              ExtentsEnd::RunListDamaged);
    EXPECT_EQ(out.size(), 1U);
}

} // namespace
} // namespace lorvex::ondisk

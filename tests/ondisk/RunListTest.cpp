#include "ondisk/RunList.h"

#include "ondisk/Bytes.h"

#include <gtest/gtest.h>

namespace lorvex::ondisk {
namespace {

using test::Bytes;

TEST(RunList, DecodesLengthsOffsetsAndSparseRuns) {
    // One byte of length, two of offset: $18 clusters at $5634.
    auto one = DecodeRunList(Bytes({0x21, 0x18, 0x34, 0x56, 0x00}));
    ASSERT_EQ(one.status, RunListStatus::Ok);
    ASSERT_EQ(one.runs.size(), 1U);
    EXPECT_EQ(one.runs[0].lcn, 0x5634);
    EXPECT_EQ(one.runs[0].length, 0x18);
    EXPECT_FALSE(one.runs[0].sparse);

    // 100, then an offset of -1 (one byte $FF), then a sparse run, then +2
    // counted from the run before the sparse one.
    auto chain = DecodeRunList(
        Bytes({0x11, 0x05, 0x64, 0x11, 0x03, 0xFF, 0x01, 0x07, 0x11, 0x01, 0x02, 0x00}));
    ASSERT_EQ(chain.status, RunListStatus::Ok);
    ASSERT_EQ(chain.runs.size(), 4U);
    EXPECT_EQ(chain.runs[0].lcn, 100);
    EXPECT_EQ(chain.runs[1].lcn, 99);
    EXPECT_TRUE(chain.runs[2].sparse);
    EXPECT_EQ(chain.runs[2].lcn, 99);
    EXPECT_EQ(chain.runs[2].length, 7);
    EXPECT_EQ(chain.runs[3].lcn, 101);

    // Eight-byte fields are whole 64-bit values.
    auto wide = DecodeRunList(Bytes({0x88, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0}));
    ASSERT_EQ(wide.status, RunListStatus::Ok);
    EXPECT_EQ(wide.runs[0].lcn, std::int64_t{1} << 56);
}

TEST(RunList, StopsOnDamageKeepingWhatCameBefore) {
    auto noEnd = DecodeRunList(Bytes({0x11, 0x05, 0x64}));
    EXPECT_EQ(noEnd.status, RunListStatus::Truncated);
    EXPECT_EQ(noEnd.runs.size(), 1U);

    auto fieldPastEnd = DecodeRunList(Bytes({0x11, 0x05, 0x64, 0x33, 0x01}));
    EXPECT_EQ(fieldPastEnd.status, RunListStatus::Truncated);
    EXPECT_EQ(fieldPastEnd.runs.size(), 1U);

    auto tooWide = DecodeRunList(Bytes({0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0}));
    EXPECT_EQ(tooWide.status, RunListStatus::BadField);
    EXPECT_TRUE(tooWide.runs.empty());

    auto negativeLength = DecodeRunList(Bytes({0x08, 0, 0, 0, 0, 0, 0, 0, 0x80, 0}));
    EXPECT_EQ(negativeLength.status, RunListStatus::BadField);

    // Two offsets near the top of the range cannot be added.
    auto overflow =
        DecodeRunList(Bytes({0x81, 1,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x81,
                             1,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0}));
    EXPECT_EQ(overflow.status, RunListStatus::Overflow);
    EXPECT_EQ(overflow.runs.size(), 1U);

    EXPECT_EQ(DecodeRunList({}).status, RunListStatus::Truncated);
}

} // namespace
} // namespace lorvex::ondisk

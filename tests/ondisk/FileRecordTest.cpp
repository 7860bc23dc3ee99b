#include "ondisk/FileRecord.h"

#include "ondisk/Bytes.h"

#include <gtest/gtest.h>

namespace lorvex::ondisk {
namespace {

using test::Put;

// A record of `size` bytes protected by an update sequence at 0x30.
std::vector<std::byte> Protected(std::size_t size, std::uint16_t usn) {
    std::vector<std::byte> rec(size, std::byte{0x11});
    rec[0] = std::byte{'F'};
    rec[1] = std::byte{'I'};
    rec[2] = std::byte{'L'};
    rec[3] = std::byte{'E'};
    const std::size_t strides = size / 512;
    Put(rec, record::kUsaOffset, 0x30, 2);
    Put(rec, record::kUsaCount, strides + 1, 2);
    Put(rec, 0x30, usn, 2);
    for (std::size_t i = 0; i < strides; ++i) {
        Put(rec, 0x32 + 2 * i, 0xA000 + i, 2); // the saved sector tails
        Put(rec, (i + 1) * 512 - 2, usn, 2);
    }
    return rec;
}

TEST(Fixups, RestoreEveryStrideOfSmallAndLargeRecords) {
    for (std::size_t size : {1024U, 4096U}) {
        auto rec = Protected(size, 0x0007);
        ASSERT_EQ(ApplyFixups(rec), FixupResult::Ok) << size;
        for (std::size_t i = 0; i < size / 512; ++i) {
            EXPECT_EQ(std::to_integer<int>(rec[(i + 1) * 512 - 2]), static_cast<int>(i)) << i;
            EXPECT_EQ(std::to_integer<int>(rec[(i + 1) * 512 - 1]), 0xA0);
        }
    }
}

TEST(Fixups, RefuseTornAndImpossibleSequences) {
    auto torn = Protected(1024, 0x0007);
    Put(torn, 1022, 0x0008, 2);
    EXPECT_EQ(ApplyFixups(torn), FixupResult::Torn);

    auto wrongCount = Protected(1024, 0x0007);
    Put(wrongCount, record::kUsaCount, 5, 2);
    EXPECT_EQ(ApplyFixups(wrongCount), FixupResult::BadHeader);

    // An array that would reach past the first stride cannot be trusted.
    auto outside = Protected(1024, 0x0007);
    Put(outside, record::kUsaOffset, 508, 2);
    EXPECT_EQ(ApplyFixups(outside), FixupResult::BadHeader);

    std::vector<std::byte> odd(1000, std::byte{0});
    EXPECT_EQ(ApplyFixups(odd), FixupResult::BadHeader);
    EXPECT_EQ(ApplyFixups({}), FixupResult::BadHeader);
}

} // namespace
} // namespace lorvex::ondisk

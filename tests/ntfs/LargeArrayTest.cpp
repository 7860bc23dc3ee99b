// The room of the scan's large arrays: taken from the system aligned for
// huge pages and given back whole, and the pages prepared or given back
// ahead of the writers without touching what the arrays hold.
#include "ntfs/LargeArray.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace lorvex::ntfs {
namespace {

std::size_t Page() {
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Whether every page of [at, at + bytes) is mapped (mincore refuses a range
// with a page that is not).
bool Mapped(const void* at, std::size_t bytes) {
    std::vector<unsigned char> pages((bytes + Page() - 1) / Page());
    return mincore(const_cast<void*>(at), bytes, pages.data()) == 0;
}

TEST(LargeArray, RoomIsAlignedForHugePagesZeroUntilWrittenAndGivenBackWhole) {
    for (const std::size_t bytes :
         {kLargeArrayBytes, kHugePageBytes, 5 * kHugePageBytes + 4097, 3 * kHugePageBytes}) {
        SCOPED_TRACE(bytes);
        auto* room = static_cast<unsigned char*>(AllocateLargeBlock(bytes));
        ASSERT_NE(room, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(room) % kHugePageBytes, 0U);
        EXPECT_EQ(room[0], 0);
        EXPECT_EQ(room[bytes - 1], 0);
        room[0] = 1;
        room[bytes - 1] = 2;
        // Given back to the last huge page it was rounded up to.
        const std::size_t whole = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
        ASSERT_TRUE(Mapped(room, whole));
        FreeLargeBlock(room, bytes);
        EXPECT_FALSE(Mapped(room, Page()));
        EXPECT_FALSE(Mapped(room + whole - Page(), Page()));
    }
    EXPECT_THROW(static_cast<void>(AllocateLargeBlock(0)), std::bad_alloc);
}

// A vector that grows from the heap into room of its own and back keeps its
// elements, whichever way each room is given back.
TEST(LargeArray, AVectorKeepsItsElementsAcrossTheSizeWhereItsRoomChanges) {
    std::vector<std::uint64_t, LargeArrayAllocator<std::uint64_t>> values;
    const std::size_t many = 3 * kLargeArrayBytes / sizeof(std::uint64_t);
    for (std::size_t i = 0; i < many; ++i) {
        values.push_back(i * 7);
    }
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(values.data()) % kHugePageBytes, 0U);
    values.resize(100);
    values.shrink_to_fit();
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(values[i], i * 7);
    }
}

TEST(LargeArray, PreparingKeepsTheBytesAndReleasingGivesBackOnlyWholePages) {
    const std::size_t bytes = 3 * kHugePageBytes;
    auto* room = static_cast<unsigned char*>(AllocateLargeBlock(bytes));
    const std::size_t page = Page();
    std::memset(room + 1000, 0xAB, 3 * page);
    // Unaligned at both ends, over bytes written and bytes not yet touched.
    PrepareLargeRoom(room + 1500, 2 * kHugePageBytes + 77);
    for (std::size_t i = 1000; i < 1000 + 3 * page; ++i) {
        ASSERT_EQ(room[i], 0xAB) << i;
    }
    EXPECT_EQ(room[999], 0);
    EXPECT_EQ(room[1000 + 3 * page], 0);
    EXPECT_EQ(room[2 * kHugePageBytes], 0);

    // [1100, 1100 + 2 pages) holds one whole page, the second one: only it
    // goes, and the bytes on either side stay.
    ReleaseLargeRoom(room + 1100, 2 * page);
    EXPECT_EQ(room[1000], 0xAB);
    EXPECT_EQ(room[page - 1], 0xAB);
    EXPECT_EQ(room[page], 0);
    EXPECT_EQ(room[2 * page - 1], 0);
    EXPECT_EQ(room[2 * page], 0xAB);
    EXPECT_EQ(room[1000 + 3 * page - 1], 0xAB);
    // Less than a page: nothing goes.
    ReleaseLargeRoom(room + 2 * page + 1, page - 2);
    EXPECT_EQ(room[2 * page + 1], 0xAB);
    FreeLargeBlock(room, bytes);
}

} // namespace
} // namespace lorvex::ntfs

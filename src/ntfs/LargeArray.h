#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>

// Room for the scan's large, long-lived arrays (the file table, the runs it
// keeps, the cluster map, the blocks of records being read). A million-file
// volume needs well over a hundred MiB of them; taken a 4 KiB page at a time,
// every page costs a fault on first touch, and on a virtual machine the
// faults alone cost more than filling the arrays. From a MiB up the room is
// taken straight from the system, 2 MiB aligned and marked for huge pages: a
// fault per 2 MiB instead of one per 4 KiB, and the pages come zeroed, so
// nothing has to fill them first. (The room a huge page leaves unused at the
// end of a shorter array is then at most what the array itself holds.)

namespace lorvex::ntfs {

// The size from which an array gets room of its own, marked for huge pages.
inline constexpr std::size_t kLargeArrayBytes = std::size_t{1} << 20;
// The size of a huge page, and the alignment of the room given.
inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// `bytes` (more than 0) of fresh room, 2 MiB aligned and marked for huge
// pages where the system offers them; every byte reads 0 until written.
// std::bad_alloc when the system refuses.
void* AllocateLargeBlock(std::size_t bytes);
// Gives back room from AllocateLargeBlock, with the size it was asked for.
void FreeLargeBlock(void* block, std::size_t bytes) noexcept;

// Has the system give the pages of the bytes [at, at + bytes) of a large
// array's room now, on the calling thread, leaving what they hold as it is:
// a thread with work to spread takes the faults that the thread about to
// write there, one that works alone, would take. Does nothing where the
// system cannot.
void PrepareLargeRoom(const void* at, std::size_t bytes) noexcept;
// Gives the whole pages inside [at, at + bytes) of a large array's room back
// to the system; they read 0 when next touched. For room that was prepared
// but is not used after all.
void ReleaseLargeRoom(const void* at, std::size_t bytes) noexcept;

// The allocator of the large arrays: small arrays from the heap as usual,
// large ones from AllocateLargeBlock.
template <class T> class LargeArrayAllocator {
  public:
    using value_type = T;

    LargeArrayAllocator() noexcept = default;
    template <class U> LargeArrayAllocator(const LargeArrayAllocator<U>& /*other*/) noexcept {}

    [[nodiscard]] T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        if (n * sizeof(T) >= kLargeArrayBytes) {
            return static_cast<T*>(AllocateLargeBlock(n * sizeof(T)));
        }
        return std::allocator<T>().allocate(n);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) >= kLargeArrayBytes) {
            FreeLargeBlock(p, n * sizeof(T));
        } else {
            std::allocator<T>().deallocate(p, n);
        }
    }

    template <class U> bool operator==(const LargeArrayAllocator<U>& /*other*/) const noexcept {
        return true;
    }
};

} // namespace lorvex::ntfs

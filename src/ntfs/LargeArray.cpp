#include "ntfs/LargeArray.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace lorvex::ntfs {

namespace {

std::size_t HugePagesFor(std::size_t bytes) {
    return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

std::uintptr_t PageSize() {
    static const auto size = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    return size;
}

} // namespace

void* AllocateLargeBlock(std::size_t bytes) {
    if (bytes == 0 || bytes > std::numeric_limits<std::size_t>::max() / 2) {
        throw std::bad_alloc();
    }
    const std::size_t size = HugePagesFor(bytes);
    // The system aligns to its small pages only: a huge page more is asked
    // for, and what lies before and after the aligned room is given back.
    const std::size_t mapped = size + kHugePageBytes;
    void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    if (aligned > start) {
        munmap(raw, aligned - start);
    }
    if (const std::size_t after = start + mapped - (aligned + size); after > 0) {
        munmap(reinterpret_cast<void*>(aligned + size), after);
    }
    auto* block = reinterpret_cast<void*>(aligned);
    // Refused where the kernel has no huge pages: the room is still good,
    // in small pages.
    madvise(block, size, MADV_HUGEPAGE);
    return block;
}

void FreeLargeBlock(void* block, std::size_t bytes) noexcept {
    if (block != nullptr && bytes != 0) {
        munmap(block, HugePagesFor(bytes));
    }
}

void PrepareLargeRoom(const void* at, std::size_t bytes) noexcept {
    if (at == nullptr || bytes == 0) {
        return;
    }
    // The pages that hold any of the bytes; what they hold is not touched.
    const std::uintptr_t page = PageSize();
    const auto begin = reinterpret_cast<std::uintptr_t>(at) & ~(page - 1);
    const std::uintptr_t end =
        (reinterpret_cast<std::uintptr_t>(at) + bytes + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

void ReleaseLargeRoom(const void* at, std::size_t bytes) noexcept {
    if (at == nullptr) {
        return;
    }
    // Only the pages that lie wholly inside: the bytes before and after may
    // be in use.
    const std::uintptr_t page = PageSize();
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(at) + page - 1) & ~(page - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(at) + bytes) & ~(page - 1);
    if (end > begin) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
    }
}

} // namespace lorvex::ntfs

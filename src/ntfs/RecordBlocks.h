#pragma once

#include "volume/VolumeApi.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

// The walk of the whole file table a block of records at a time, on every
// core: the stages that visit every record (the enumeration, the export)
// read the $MFT in large sequential reads and parse the blocks in parallel,
// while the calling thread stays free to report progress.

namespace lorvex::ntfs {

// The bytes of one read, 1,024 records of 1 KiB: a block a thread stays in
// the core's own cache while it is parsed (4 MiB blocks cost a fifth more
// CPU time in the scan).
inline constexpr std::size_t kRecordBlockBytes = std::size_t{1} << 20;

// The threads a parallel stage runs on: the cores this process may use
// (taskset and cgroup limits included), at least 1.
unsigned ScanThreads();
// Makes ScanThreads answer `threads` (0: the cores again), for comparing a
// walk on one thread with a walk on several.
void SetScanThreads(unsigned threads);

// One block of records as read, update sequences applied.
struct TRecordBlock {
    std::int64_t First = 0;
    std::size_t RecordSize = 0;
    std::span<const std::byte> Bytes;
    // 1 for each record the file-record query would answer with for its own
    // number; the bytes of the others are undefined.
    std::span<const std::uint8_t> Readable;
    // Which of the walk's threads reads it, 0 to the thread count less 1:
    // where a visitor keeps room of its own per thread.
    unsigned Worker = 0;

    [[nodiscard]] std::size_t Count() const { return Readable.size(); }
    [[nodiscard]] std::span<const std::byte> Record(std::size_t i) const {
        return Bytes.subspan(i * RecordSize, RecordSize);
    }
};

// Records per block for records of `recordSize` bytes, and the number of
// blocks that cover records [0, last].
std::size_t RecordsPerBlock(std::size_t recordSize);
std::size_t RecordBlockCount(std::int64_t last, std::size_t recordSize);

struct TRecordBlockWalk {
    // Runs once for every block, on one of the threads, blocks side by side.
    std::function<void(std::size_t index, const TRecordBlock& block)> visit;
    // When set: runs after `visit` of block `index`, block after block in
    // order and one at a time (a worker waits its turn), for what must come
    // out in record order, such as the lines of an export.
    std::function<void(std::size_t index)> inOrder;
    // Runs on the calling thread every few milliseconds while the blocks are
    // worked on, with the fraction done; it may throw to stop the walk.
    std::function<void(double done)> tick;
    // With inOrder: how many blocks past the one whose turn it is a worker
    // may visit, 0 for twice the threads and two. Each is a result waiting
    // for its turn; the more there may be, the longer the other threads go
    // on while the one that holds the turn's block is not running (on a
    // machine that is busy with other work, for a time slice or more).
    std::size_t ahead = 0;
};

// Walks records [0, last] of `source` on `threads` threads (1 runs it all on
// the calling thread, tick included). An exception from any of the three
// functions stops the walk: the threads are joined and the first exception
// goes on to the caller.
void WalkRecordBlocks(const platform::FileRecordBlocks& source, std::int64_t last, unsigned threads,
                      const TRecordBlockWalk& walk);

} // namespace lorvex::ntfs

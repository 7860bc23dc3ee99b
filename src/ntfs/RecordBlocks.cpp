#include "ntfs/RecordBlocks.h"

#include "ntfs/LargeArray.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace lorvex::ntfs {

namespace {
std::atomic<unsigned> gThreads{0};
} // namespace

void SetScanThreads(unsigned threads) {
    gThreads = threads;
}

unsigned ScanThreads() {
    if (const unsigned threads = gThreads; threads != 0) {
        return threads;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        return static_cast<unsigned>(std::max(CPU_COUNT(&set), 1));
    }
    return std::max(std::thread::hardware_concurrency(), 1U);
}

std::size_t RecordsPerBlock(std::size_t recordSize) {
    return recordSize == 0 ? 1 : std::max<std::size_t>(kRecordBlockBytes / recordSize, 1);
}

std::size_t RecordBlockCount(std::int64_t last, std::size_t recordSize) {
    if (last < 0) {
        return 0;
    }
    const std::size_t per = RecordsPerBlock(recordSize);
    return (static_cast<std::size_t>(last) + per) / per;
}

namespace {

// One thread's reading room, reused from block to block.
class BlockReader {
  public:
    BlockReader(const platform::FileRecordBlocks& source, std::int64_t last, unsigned worker)
        : source_(source), last_(last), worker_(worker), size_(source.recordSize()),
          per_(RecordsPerBlock(size_)),
          room_(std::min(per_, static_cast<std::size_t>(std::max<std::int64_t>(last, 0)) + 1) *
                size_),
          bytes_(LargeArrayAllocator<std::byte>().allocate(room_), Room{room_}) {
        readable_.resize(per_);
    }

    TRecordBlock Read(std::size_t index) {
        const auto first = static_cast<std::int64_t>(index * per_);
        const auto count = static_cast<std::size_t>(
            std::min<std::int64_t>(last_ - first + 1, static_cast<std::int64_t>(per_)));
        const auto bytes = std::span(bytes_.get(), count * size_);
        const auto readable = std::span(readable_).first(count);
        source_.Read(first, bytes, readable);
        return {first, size_, bytes, readable, worker_};
    }

  private:
    // The reads fill the room; nothing else has to first. Large enough, it
    // is in huge pages: a fault or two instead of 256 for each thread.
    struct Room {
        std::size_t bytes = 0;
        void operator()(std::byte* p) const noexcept {
            LargeArrayAllocator<std::byte>().deallocate(p, bytes);
        }
    };

    const platform::FileRecordBlocks& source_;
    std::int64_t last_;
    unsigned worker_;
    std::size_t size_;
    std::size_t per_;
    std::size_t room_;
    std::unique_ptr<std::byte[], Room> bytes_;
    std::vector<std::uint8_t> readable_;
};

// On the calling thread: every tick after a block.
void WalkOnThisThread(const platform::FileRecordBlocks& source, std::int64_t last,
                      std::size_t blocks, const TRecordBlockWalk& walk,
                      const std::function<void(std::size_t done)>& tick) {
    BlockReader reader(source, last, 0);
    for (std::size_t i = 0; i < blocks; ++i) {
        walk.visit(i, reader.Read(i));
        if (walk.inOrder) {
            walk.inOrder(i);
        }
        tick(i + 1);
    }
}

// The walk on several threads, each taking the next block not yet taken.
class ParallelWalk {
  public:
    ParallelWalk(const platform::FileRecordBlocks& source, std::int64_t last, std::size_t blocks,
                 unsigned threads, const TRecordBlockWalk& walk)
        : source_(source), last_(last), blocks_(blocks), walk_(walk),
          visited_(walk.inOrder ? blocks : 0),
          // How far a worker may run ahead of the block whose turn it is:
          // enough that one slow block does not idle the other cores, few
          // enough that the results waiting for their turn stay a handful
          // of blocks.
          ahead_(walk.ahead != 0 ? walk.ahead : 2 * static_cast<std::size_t>(threads) + 2) {}

    // Starts up to `threads` workers; false when not one could be started.
    bool Start(unsigned threads) {
        running_ = threads;
        try {
            pool_.reserve(threads);
            for (unsigned t = 0; t < threads; ++t) {
                pool_.emplace_back([this, t] { Work(t); });
            }
        } catch (...) {
            // Fewer threads than asked for still finish the walk (short of
            // memory or of threads, the system may refuse new ones).
            const std::lock_guard lock(mutex_);
            running_ -= threads - static_cast<unsigned>(pool_.size());
        }
        return !pool_.empty();
    }

    // Ticks every 20 ms until the workers are done, then gives their first
    // failure to the caller.
    void Finish(const std::function<void(std::size_t done)>& tick) {
        try {
            for (;;) {
                {
                    std::unique_lock lock(mutex_);
                    if (finished_.wait_for(lock, std::chrono::milliseconds(20),
                                           [&] { return running_ == 0; })) {
                        break;
                    }
                }
                tick(done_);
            }
        } catch (...) {
            Fail(std::current_exception());
        }
        for (std::thread& t : pool_) {
            t.join();
        }
        if (failure_) {
            std::rethrow_exception(failure_);
        }
    }

  private:
    void Fail(std::exception_ptr e) {
        const std::lock_guard lock(mutex_);
        if (!failure_) {
            failure_ = std::move(e);
        }
        stop_ = true;
        advanced_.notify_all();
        finished_.notify_all();
    }

    // A worker does not wait for its block's turn: it marks the block
    // visited and goes on to the next, and whichever worker finds the turn's
    // block visited runs inOrder for it and for every visited block after it.
    void Commit(std::size_t i) {
        std::unique_lock lock(mutex_);
        visited_[i] = 1;
        if (committing_) {
            return; // the committing worker sees it before it stops
        }
        committing_ = true;
        while (turn_ < blocks_ && visited_[turn_] != 0 && !stop_) {
            const std::size_t index = turn_;
            lock.unlock();
            walk_.inOrder(index);
            lock.lock();
            ++turn_;
            advanced_.notify_all();
        }
        committing_ = false;
    }

    void Work(unsigned worker) {
        try {
            BlockReader reader(source_, last_, worker);
            for (;;) {
                const std::size_t i = next_.fetch_add(1);
                if (i >= blocks_ || stop_) {
                    break;
                }
                if (walk_.inOrder) {
                    std::unique_lock lock(mutex_);
                    advanced_.wait(lock, [&] { return i < turn_ + ahead_ || stop_; });
                    if (stop_) {
                        break;
                    }
                }
                walk_.visit(i, reader.Read(i));
                if (walk_.inOrder) {
                    Commit(i);
                }
                ++done_;
            }
        } catch (...) {
            Fail(std::current_exception());
        }
        const std::lock_guard lock(mutex_);
        --running_;
        finished_.notify_all();
    }

    const platform::FileRecordBlocks& source_;
    const std::int64_t last_;
    const std::size_t blocks_;
    const TRecordBlockWalk& walk_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> done_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable advanced_; // turn moved on, or stop
    std::condition_variable finished_; // a worker ended, or stop
    std::size_t turn_ = 0;             // the block whose inOrder runs next
    bool committing_ = false;          // a worker is running inOrder
    std::vector<std::uint8_t> visited_;
    const std::size_t ahead_;
    unsigned running_ = 0;
    std::exception_ptr failure_;
    std::vector<std::thread> pool_;
};

} // namespace

void WalkRecordBlocks(const platform::FileRecordBlocks& source, std::int64_t last, unsigned threads,
                      const TRecordBlockWalk& walk) {
    const std::size_t blocks = RecordBlockCount(last, source.recordSize());
    const std::function<void(std::size_t)> tick = [&](std::size_t done) {
        if (walk.tick) {
            walk.tick(blocks == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(blocks));
        }
    };
    if (threads <= 1 || blocks <= 1) {
        WalkOnThisThread(source, last, blocks, walk, tick);
        return;
    }
    ParallelWalk parallel(source, last, blocks, threads, walk);
    if (!parallel.Start(threads)) {
        // Not one thread: the walk runs here, as on one core.
        WalkOnThisThread(source, last, blocks, walk, tick);
        return;
    }
    parallel.Finish(tick);
    tick(blocks);
}

} // namespace lorvex::ntfs

#include "cli/RowPipeline.h"

#include <system_error>
#include <thread>

namespace lorvex::cli {

RowPipeline::RowPipeline(RecordWriter& writer) : writer_(writer) {
    try {
        thread_ = std::thread([this] { Write(); });
    } catch (const std::system_error&) {
        // No thread to be had (short of memory or of threads): the rows are
        // written as they are handed over, on the caller's thread.
    }
}

RowPipeline::~RowPipeline() {
    if (thread_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
}

Record& RowPipeline::Next() {
    if (batches_[filling_].count == kBatch) {
        HandOver();
    }
    Batch& batch = batches_[filling_];
    Record& row = batch.rows[batch.count++];
    row.Clear();
    return row;
}

void RowPipeline::HandOver() {
    if (!thread_.joinable()) {
        Batch& batch = batches_[filling_];
        for (std::size_t i = 0; i < batch.count; ++i) {
            writer_.Row(batch.rows[i]);
        }
        batch.count = 0;
        return;
    }
    std::unique_lock lock(mutex_);
    batches_[filling_].ready = true;
    changed_.notify_all();
    filling_ ^= 1;
    // The other batch is filled again once it is written.
    changed_.wait(lock, [this] { return !batches_[filling_].ready; });
    batches_[filling_].count = 0;
}

void RowPipeline::Finish() {
    if (batches_[filling_].count > 0) {
        HandOver();
    }
    if (!thread_.joinable()) {
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        done_ = true;
    }
    changed_.notify_all();
    thread_.join();
    if (failure_) {
        std::rethrow_exception(failure_);
    }
}

void RowPipeline::Write() {
    std::size_t next = 0;
    for (;;) {
        Batch& batch = batches_[next];
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return batch.ready || done_; });
            if (!batch.ready) {
                return;
            }
        }
        if (!failure_) {
            try {
                for (std::size_t i = 0; i < batch.count; ++i) {
                    writer_.Row(batch.rows[i]);
                }
            } catch (...) {
                // Handed to the building thread; the rows after it are
                // dropped.
                failure_ = std::current_exception();
            }
        }
        {
            const std::lock_guard lock(mutex_);
            batch.ready = false;
        }
        changed_.notify_all();
        next ^= 1;
    }
}

} // namespace lorvex::cli

#pragma once

#include "cli/Record.h"

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace lorvex::cli {

// Rows built on the caller's thread and written on a thread of their own,
// a batch at a time: reading a million records and writing their text take
// about as long as each other, and on two cores they overlap. The rows come
// out in the order they were built.
class RowPipeline {
  public:
    explicit RowPipeline(RecordWriter& writer);
    RowPipeline(const RowPipeline&) = delete;
    RowPipeline& operator=(const RowPipeline&) = delete;
    // Finishes, if Finish was not called (an exception on the way out).
    ~RowPipeline();

    // An empty record to fill: the next row.
    Record& Next();
    // Writes the rows still waiting and ends the writing thread; rethrows
    // what the writing threw (an allocation that failed).
    void Finish();

  private:
    static constexpr std::size_t kBatch = 1024;
    struct Batch {
        std::vector<Record> rows = std::vector<Record>(kBatch);
        std::size_t count = 0;
        bool ready = false; // handed to the writing thread, not yet written
    };
    void HandOver();
    void Write();

    RecordWriter& writer_;
    Batch batches_[2];
    std::size_t filling_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

} // namespace lorvex::cli

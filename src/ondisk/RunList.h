#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lorvex::ondisk {

// One run of a non-resident attribute with its absolute start cluster.
struct Run {
    std::int64_t lcn = 0;    // for a sparse run: the start cluster of the run before, or 0
    std::int64_t length = 0; // clusters
    bool sparse = false;
};

enum class RunListStatus {
    Ok,        // ended on its zero byte
    Truncated, // the bytes ended before the zero byte, or a field ran past them
    BadField,  // a length or offset field wider than 8 bytes, or a length < 0
    Overflow,  // the running start cluster left the signed 64-bit range
};

struct DecodedRuns {
    std::vector<Run> runs;
    RunListStatus status = RunListStatus::Ok;
};

// Decodes a run list, never reading past `bytes`. On damage it keeps the runs
// decoded before it and says why it stopped.
DecodedRuns DecodeRunList(std::span<const std::byte> bytes);

} // namespace lorvex::ondisk

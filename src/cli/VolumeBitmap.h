#pragma once

#include "volume/VolumeApi.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lorvex::cli {

// A drive's allocation bitmap, one bit per cluster, read once when an action
// first asks for it and then shared by every action that does (the owners,
// the cluster map, the check, the map picture): a large volume's bitmap is
// hundreds of megabytes of reading.
class VolumeBitmap {
  public:
    VolumeBitmap(platform::VolumeApi& api, std::string driveRoot, std::int64_t totalClusters)
        : api_(api), driveRoot_(std::move(driveRoot)), totalClusters_(totalClusters) {}

    // In 64-bit words, the bits past the last cluster clear; empty when the
    // bitmap cannot be read (every cluster then counts as free).
    std::span<const std::uint64_t> Words();
    // The same bits a byte at a time: (clusters + 7) / 8 of them, or none.
    std::span<const std::uint8_t> Bytes();
    [[nodiscard]] bool Read() const { return read_; }

  private:
    platform::VolumeApi& api_;
    std::string driveRoot_;
    std::int64_t totalClusters_;
    std::vector<std::uint64_t> words_;
    bool read_ = false;
};

} // namespace lorvex::cli

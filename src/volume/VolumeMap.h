#pragma once

#include "volume/VolumeApi.h"

#include <cstdint>
#include <span>
#include <string_view>

// The two volume queries that the map is drawn from before any scan: the
// volume's size and its allocation bitmap.
namespace lorvex::volume {

// The total clusters of the NTFS volume at a root path such as "C:\", 0 on
// any failure (no device path, not openable, not NTFS); `bytesPerCluster` is
// set only on success.
std::int64_t QueryClusterCount(platform::VolumeApi& api, std::string_view driveRoot,
                               std::uint32_t& bytesPerCluster);

// How many of the first `totalClusters` clusters the volume's source has
// bytes for (its size over the cluster size, rounded up), found by reading
// one sector at a cluster's start and halving: a few dozen reads for any
// volume. A boot sector can claim any size, and the map's model keeps one
// cell per cluster, so it is sized from this rather than from the claim;
// the clusters past it are drawn as beyond the end. 0 on any failure.
std::int64_t QueryClustersOnSource(platform::VolumeApi& api, std::string_view driveRoot,
                                   std::int64_t totalClusters, std::uint32_t bytesPerCluster);

// Reads the volume's allocation bitmap into `bits`, one bit per cluster
// from cluster 0, a few megabytes at a time so that no second copy of a
// large volume's bitmap is ever held. False when the bitmap cannot be had;
// the bytes of `bits` that the volume does not answer for keep what they
// held, so a short bitmap leaves the rest as the caller set it.
bool ReadVolumeBitmap(platform::VolumeApi& api, std::string_view driveRoot,
                      std::span<std::uint8_t> bits);

} // namespace lorvex::volume

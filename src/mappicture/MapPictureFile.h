#pragma once

#include "map/MapModel.h"
#include "ntfs/ClusterMap.h"
#include "volume/VolumeApi.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace lorvex::ntfs {
class TFileIDs;
} // namespace lorvex::ntfs

// The map picture as a file, for a program that has no window: nothing in
// this header needs Qt, so lorvex-scan includes it without becoming a Qt
// program.
namespace lorvex::mappicture {

struct TPictureSize {
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// "WIDTHxHEIGHT" (an upper-case X too), each side within the limits of
// MapPicture.h; empty for anything else: signs, spaces, a missing side, a
// number out of range.
std::optional<TPictureSize> ParsePictureSize(std::string_view text);

// What the limits are, for a message: "from 320x240 to 8192x8192".
std::string PictureSizeLimits();

// The title line: `name`, then the volume's clusters, their size and the
// volume's size, "C: demo.img: 12,800 clusters of 4,096 bytes, 50.0 MiB".
std::string PictureTitle(std::string_view name, std::int64_t totalClusters,
                         std::uint32_t bytesPerCluster);

// The model of a scanned volume as the window builds it: the clusters the
// source holds, its allocation bitmap read through the volume queries, the
// MFT zone, and the entries painted from `fileIds` and `clusters` (which
// must still be in FileIndex order, as during the scan's painting stage).
// Null when the volume's size cannot be queried; throws std::bad_alloc when
// the model cannot be held. With `bitmap`, the allocation bitmap a caller
// has read already for other uses (empty when it could not be read), the
// model is painted over that rather than reading it a second time.
std::unique_ptr<map::TMapModel>
BuildScannedModel(platform::VolumeApi& api, std::string_view driveRoot, std::int64_t mftZoneStart,
                  std::int64_t mftZoneEnd, const ntfs::TFileIDs& fileIds,
                  const ntfs::TClusterArray& clusters,
                  std::span<const ntfs::TReservedRun> reserved = {},
                  std::optional<std::span<const std::uint8_t>> bitmap = std::nullopt);

// The picture of `model` at the fit scale, `size` pixels, encoded as PNG.
// Creates the process's QGuiApplication on the offscreen platform when
// there is none, so that it runs without a display. `viewClusters` is the
// volume's own count of clusters (0: the model's).
struct TEncodedPicture {
    std::string png; // empty on failure
    std::string error;
};
TEncodedPicture EncodeMapPng(const map::TMapModel& model, TPictureSize size,
                             std::int64_t viewClusters, const std::string& title);

// The encoder lives in a module of its own, loaded when a picture is first
// asked for (EncodeMapPng says why when it cannot be), so that a program
// including this header starts without Qt. The module's one entry point,
// by name, gives the encoder.
using EncodeMapPngFunction = TEncodedPicture (*)(const map::TMapModel& model, TPictureSize size,
                                                 std::int64_t viewClusters,
                                                 const std::string& title);
using EncodeMapPngEntry = EncodeMapPngFunction (*)();
// Loads the encoder; why it cannot be, or nothing when it is loaded. For a
// program to say so before it does the work the picture is drawn from.
std::optional<std::string> MapPngUnavailable();
inline constexpr char kModuleEntry[] = "lorvex_map_png_encoder";

} // namespace lorvex::mappicture

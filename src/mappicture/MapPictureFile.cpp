#include "mappicture/MapPictureFile.h"

#include "mappicture/PictureLimits.h"
#include "ntfs/NumberFormat.h"
#include "volume/VolumeMap.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>

namespace lorvex::mappicture {

namespace {

// The module's file name, and where an installed program finds it: a path
// from the program's folder (the build says which).
constexpr const char* kModuleName = LORVEX_MAP_PNG_MODULE;
constexpr const char* kInstalledModuleDir = LORVEX_MAP_PNG_MODULE_DIR;

std::optional<std::int32_t> ParseSide(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    std::int32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string SizeText(double bytes) {
    static constexpr std::array<const char*, 6> kUnits = {"bytes", "KiB", "MiB",
                                                          "GiB",   "TiB", "PiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < kUnits.size()) {
        bytes /= 1024;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

// The encoder, from the module beside the program (the build tree) or where
// the program's libraries are installed. Loaded on first use: lorvex-scan
// starts without Qt, which it needs for nothing else.
EncodeMapPngFunction LoadEncoder(std::string& error) {
    static std::string failure;
    static const EncodeMapPngFunction encoder = [] {
        std::error_code ec;
        const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
        const std::filesystem::path dir = ec ? std::filesystem::path() : self.parent_path();
        for (const auto& candidate : {dir / kModuleName, dir / kInstalledModuleDir / kModuleName}) {
            void* module = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (module == nullptr) {
                const char* why = dlerror();
                failure += (failure.empty() ? "" : "; ") +
                           (why != nullptr ? std::string(why) : candidate.string());
                continue;
            }
            // Kept to the end of the process, as the application it makes is.
            const auto entry = reinterpret_cast<EncodeMapPngEntry>(dlsym(module, kModuleEntry));
            if (entry != nullptr) {
                return entry();
            }
            failure = candidate.string() + " has no " + kModuleEntry;
        }
        return EncodeMapPngFunction{nullptr};
    }();
    if (encoder == nullptr) {
        error = "the PNG encoder could not be loaded: " + failure;
    }
    return encoder;
}

} // namespace

std::optional<TPictureSize> ParsePictureSize(std::string_view text) {
    const auto x = text.find_first_of("xX");
    if (x == std::string_view::npos) {
        return std::nullopt;
    }
    const auto width = ParseSide(text.substr(0, x));
    const auto height = ParseSide(text.substr(x + 1));
    if (!width || !height || *width < kMinWidth || *height < kMinHeight || *width > kMaxSide ||
        *height > kMaxSide) {
        return std::nullopt;
    }
    return TPictureSize{*width, *height};
}

std::string PictureSizeLimits() {
    return "from " + std::to_string(kMinWidth) + "x" + std::to_string(kMinHeight) + " to " +
           std::to_string(kMaxSide) + "x" + std::to_string(kMaxSide);
}

std::string PictureTitle(std::string_view name, std::int64_t totalClusters,
                         std::uint32_t bytesPerCluster) {
    const double clusters = static_cast<double>(totalClusters);
    return std::string(name) + ": " + ntfs::FormatGrouped(clusters) +
           (totalClusters == 1 ? " cluster of " : " clusters of ") +
           ntfs::FormatGrouped(bytesPerCluster) + " bytes, " + SizeText(clusters * bytesPerCluster);
}

std::unique_ptr<map::TMapModel>
BuildScannedModel(platform::VolumeApi& api, std::string_view driveRoot, std::int64_t mftZoneStart,
                  std::int64_t mftZoneEnd, const ntfs::TFileIDs& fileIds,
                  const ntfs::TClusterArray& clusters, std::span<const ntfs::TReservedRun> reserved,
                  std::optional<std::span<const std::uint8_t>> bitmap) {
    std::uint32_t bytesPerCluster = 0;
    const std::int64_t total = volume::QueryClusterCount(api, driveRoot, bytesPerCluster);
    if (total == 0) {
        return nullptr;
    }
    // Sized from what the source holds, as the window sizes it: a boot
    // sector can claim any size.
    map::TMapInput input;
    input.totalClusters = volume::QueryClustersOnSource(api, driveRoot, total, bytesPerCluster);
    input.fillBitmap = [&](std::span<std::uint8_t> bits) {
        if (bitmap) {
            std::copy_n(bitmap->begin(), std::min(bits.size(), bitmap->size()), bits.begin());
        } else {
            volume::ReadVolumeBitmap(api, driveRoot, bits);
        }
    };
    input.mftZoneStart = mftZoneStart;
    input.mftZoneEnd = mftZoneEnd;
    input.fileIds = &fileIds;
    input.clusters = &clusters;
    input.reserved = reserved;
    return std::make_unique<map::TMapModel>(input);
}

std::optional<std::string> MapPngUnavailable() {
    std::string error;
    if (LoadEncoder(error) == nullptr) {
        return error;
    }
    return std::nullopt;
}

TEncodedPicture EncodeMapPng(const map::TMapModel& model, TPictureSize size,
                             std::int64_t viewClusters, const std::string& title) {
    std::string error;
    const EncodeMapPngFunction encoder = LoadEncoder(error);
    if (encoder == nullptr) {
        return {{}, error};
    }
    return encoder(model, size, viewClusters, title);
}

} // namespace lorvex::mappicture

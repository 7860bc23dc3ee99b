#pragma once

#include "volume/VolumeApi.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace lorvex::volume {

// A fixed drive that merely stands for a folder of another drive; such a
// drive is left out of the drive list.
inline constexpr std::uint32_t kDriveSubstituted = 7;

// The drive type of a root path such as "C:\", except that a substituted
// fixed drive reports kDriveSubstituted.
std::uint32_t GetRealDriveType(platform::VolumeApi& api, std::string_view rootPath);

// The device path "\\.\Volume{GUID}" (no trailing backslash) of the volume
// mounted at a root path, or an empty string.
std::string GetVolumeDevicePath(platform::VolumeApi& api, std::string_view rootPath);

// The label of the volume at a root path, or an empty string.
std::string GetVolumeLabel(platform::VolumeApi& api, std::string_view rootPath);

} // namespace lorvex::volume

#include "volume/VolumeUtils.h"

#include <utility>

namespace lorvex::volume {

namespace {

// A substituted drive's target names the folder in the object manager's
// "\??\" namespace; a real volume's target is a device such as
// "\Device\HarddiskVolume3".
constexpr std::string_view kSubstPrefix = "\\??\\";

} // namespace

std::uint32_t GetRealDriveType(platform::VolumeApi& api, std::string_view rootPath) {
    const std::uint32_t type = api.GetDriveType(rootPath);
    if (type != platform::drivetype::kFixed || rootPath.empty()) {
        return type;
    }
    const std::string deviceName{rootPath.front(), ':'};
    const auto target = api.QueryDosDevice(deviceName);
    if (!target || target->size() < kSubstPrefix.size()) {
        return platform::drivetype::kFixed;
    }
    return target->starts_with(kSubstPrefix) ? kDriveSubstituted : platform::drivetype::kFixed;
}

std::string GetVolumeDevicePath(platform::VolumeApi& api, std::string_view rootPath) {
    auto name = api.GetVolumeNameForVolumeMountPoint(rootPath);
    if (!name) {
        return {};
    }
    std::string path = std::move(*name);
    // The answer is a C string in a fixed buffer: whatever follows its zero
    // is not part of the name.
    if (const auto nul = path.find('\0'); nul != std::string::npos) {
        path.resize(nul);
    }
    // "\\?\Volume{GUID}\" names the volume's root directory; "\\.\Volume{GUID}"
    // without the backslash opens the volume device itself.
    if (path.size() > 2) {
        path[2] = '.';
    }
    if (!path.empty() && path.back() == '\\') {
        path.pop_back();
    }
    return path;
}

std::string GetVolumeLabel(platform::VolumeApi& api, std::string_view rootPath) {
    auto info = api.GetVolumeInformation(rootPath);
    return info ? std::move(info->label) : std::string{};
}

} // namespace lorvex::volume

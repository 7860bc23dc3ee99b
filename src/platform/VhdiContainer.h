#pragma once

#include "platform/ContainerFormats.h"

#include <string>
#include <vector>

// A VHD or VHDX disk opened through libvhdi; a differencing disk is refused,
// since its parent is not followed.
namespace lorvex::platform {

bool OpenVhdi(const std::string& path, OpenedContainer& out, std::string& why);

// The image and the parent it names, where the parent may be.
std::vector<std::string> VhdiNamedFiles(const std::string& path);

} // namespace lorvex::platform

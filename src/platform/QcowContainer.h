#pragma once

#include "platform/ContainerFormats.h"

#include <string>
#include <vector>

// A qcow2 image opened through libqcow; one with a backing file, or
// encrypted, is refused.
namespace lorvex::platform {

bool OpenQcow(const std::string& path, OpenedContainer& out, std::string& why);

// The image and the backing file it names, where that file may be.
std::vector<std::string> QcowNamedFiles(const std::string& path);

} // namespace lorvex::platform

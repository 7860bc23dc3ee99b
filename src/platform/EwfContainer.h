#pragma once

#include "platform/ContainerFormats.h"

#include <string>
#include <vector>

// An EnCase set opened through libewf: its segments found by the naming
// scheme of the first, checked to be files and to make a whole set.
namespace lorvex::platform {

// Opens the set whose first segment is `path`.
bool OpenEwf(const std::string& path, OpenedContainer& out, std::string& why);

// Every file in the folder of `first` that its naming scheme names, whether
// or not the set opens: each is as much the evidence as the first.
std::vector<std::string> EwfNamedFiles(const std::string& first);

} // namespace lorvex::platform

#pragma once

#include "platform/ContainerFormats.h"

#include <string>
#include <vector>

// A VMDK opened through libvmdk: its descriptor read from the checked file,
// every extent it names looked at before it is opened, and the extents
// handed to the library as open files, so that it opens no file by a name
// the evidence wrote.
namespace lorvex::platform {

bool OpenVmdk(const std::string& path, const ContainerOptions& options, OpenedContainer& out,
              std::string& why);

// Every file a VMDK names, readable or not: the descriptor, its extents
// (where they would be read from), and a delta's parent.
std::vector<std::string> VmdkNamedFiles(const std::string& path);

// The files a VMDK reads only when outside extents are allowed.
std::vector<std::string> VmdkOutsideFiles(const std::string& path);

} // namespace lorvex::platform

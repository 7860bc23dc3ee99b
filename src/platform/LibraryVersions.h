#pragma once

#include <string>
#include <vector>

namespace lorvex::platform {

// A library the volume layer reads sources through, and the version in use.
struct LibraryVersion {
    std::string name;
    std::string version;
};

// The versions of the libraries linked in, asked of each at run time where
// it has a call for it (the one loaded may be newer than the headers built
// against); libdeflate only names its headers' version.
[[nodiscard]] std::vector<LibraryVersion> LibraryVersions();

} // namespace lorvex::platform

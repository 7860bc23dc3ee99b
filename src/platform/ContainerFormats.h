#pragma once

#include "platform/ContainerImage.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lorvex::platform {

// What opening a container through its library found.
struct OpenedContainer {
    std::string format;
    std::uint64_t size = 0;
    std::vector<std::string> files;
    std::unique_ptr<ContainerDecoder> decoder;
    ContainerImage::DecoderFactory factory; // another handle on the same files
};

enum class ContainerFormat { None, EnCase, Vhd, Vmdk, Qcow };

// Which container format's signature `path` carries, by asking each library.
ContainerFormat RecogniseContainer(const std::string& path);

// Opens `path`, known to be in `format`, read-only through its library; false
// with the reason, for people, in `why`.
bool OpenContainer(const std::string& path, ContainerFormat format, const ContainerOptions& options,
                   OpenedContainer& out, std::string& why);

// Every file `path` in `format` names, whether or not it opens (see
// ContainerImage::NamedFiles).
std::vector<std::string> ContainerNamedFiles(const std::string& path, ContainerFormat format);

// The files it reads only when outside extents are allowed.
std::vector<std::string> ContainerOutsideFiles(const std::string& path, ContainerFormat format);

} // namespace lorvex::platform

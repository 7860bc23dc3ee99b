#include "platform/ContainerFormats.h"

#include "platform/EwfContainer.h"
#include "platform/QcowContainer.h"
#include "platform/VhdiContainer.h"
#include "platform/VmdkContainer.h"

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <sys/stat.h>

// Which container a file is, and its opening handed to the format's own
// file: EwfContainer, VhdiContainer, VmdkContainer, QcowContainer.
namespace lorvex::platform {

ContainerFormat RecogniseContainer(const std::string& path) {
    struct stat st {};
    // Containers are files; a block device is read as it is.
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return ContainerFormat::None;
    }
    if (libewf_check_file_signature(path.c_str(), nullptr) == 1) {
        return ContainerFormat::EnCase;
    }
    if (libqcow_check_file_signature(path.c_str(), nullptr) == 1) {
        return ContainerFormat::Qcow;
    }
    if (libvmdk_check_file_signature(path.c_str(), nullptr) == 1) {
        return ContainerFormat::Vmdk;
    }
    if (libvhdi_check_file_signature(path.c_str(), nullptr) == 1) {
        return ContainerFormat::Vhd;
    }
    return ContainerFormat::None;
}

bool OpenContainer(const std::string& path, ContainerFormat format, const ContainerOptions& options,
                   OpenedContainer& out, std::string& why) {
    switch (format) {
    case ContainerFormat::EnCase:
        return OpenEwf(path, out, why);
    case ContainerFormat::Vhd:
        return OpenVhdi(path, out, why);
    case ContainerFormat::Vmdk:
        return OpenVmdk(path, options, out, why);
    case ContainerFormat::Qcow:
        return OpenQcow(path, out, why);
    case ContainerFormat::None:
        break;
    }
    why = "not a container";
    return false;
}

std::vector<std::string> ContainerNamedFiles(const std::string& path, ContainerFormat format) {
    switch (format) {
    case ContainerFormat::EnCase:
        return EwfNamedFiles(path);
    case ContainerFormat::Vhd:
        return VhdiNamedFiles(path);
    case ContainerFormat::Vmdk:
        return VmdkNamedFiles(path);
    case ContainerFormat::Qcow:
        return QcowNamedFiles(path);
    case ContainerFormat::None:
        break;
    }
    return {path};
}

std::vector<std::string> ContainerOutsideFiles(const std::string& path, ContainerFormat format) {
    return format == ContainerFormat::Vmdk ? VmdkOutsideFiles(path) : std::vector<std::string>();
}

} // namespace lorvex::platform

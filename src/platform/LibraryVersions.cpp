#include "platform/LibraryVersions.h"

#include <blkid/blkid.h>
#include <libbde.h>
#include <libbfio.h>
#include <libdeflate.h>
#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>
#include <openssl/crypto.h>

namespace lorvex::platform {

namespace {

std::string Text(const char* version) {
    return version != nullptr ? std::string(version) : std::string("unknown");
}

} // namespace

std::vector<LibraryVersion> LibraryVersions() {
    const char* blkid = nullptr;
    blkid_get_library_version(&blkid, nullptr);
    return {
        {"libblkid", Text(blkid)},
        {"libewf", Text(libewf_get_version())},
        {"libvhdi", Text(libvhdi_get_version())},
        {"libvmdk", Text(libvmdk_get_version())},
        {"libqcow", Text(libqcow_get_version())},
        {"libbde", Text(libbde_get_version())},
        {"libbfio", Text(libbfio_get_version())},
        {"libdeflate", LIBDEFLATE_VERSION_STRING},
        {"OpenSSL", Text(OpenSSL_version(OPENSSL_VERSION_STRING))},
    };
}

} // namespace lorvex::platform

#include "platform/VhdiContainer.h"

#include "platform/ContainerSupport.h"
#include "platform/LibyalError.h"

#include <libvhdi.h>

#include <memory>

namespace lorvex::platform {

namespace {

std::string VhdiError(intptr_t*& e) {
    return TakeLibyalError<libvhdi_error_backtrace_sprint, libvhdi_error_free>(e);
}

// The calls of libvhdi that read an image.
struct VhdiLibrary {
    static constexpr auto Initialize = libvhdi_file_initialize;
    static constexpr auto OpenFile = libvhdi_file_open;
    static constexpr auto Close = libvhdi_file_close;
    static constexpr auto Free = libvhdi_file_free;
    static constexpr auto ReadAt = libvhdi_file_read_buffer_at_offset;
    static std::string Error(intptr_t*& e) { return VhdiError(e); }
    static constexpr int kOpenRead = LIBVHDI_OPEN_READ;
    static constexpr const char* kUndecodable = "its footer and headers do not decode: ";
};
using VhdiDecoder = LibyalFileDecoder<VhdiLibrary>;

// The parent a differencing disk names, as it names it; empty when none.
std::string VhdiParent(libvhdi_file_t* file) {
    return LibyalName<libvhdi_file_get_utf8_parent_filename_size,
                      libvhdi_file_get_utf8_parent_filename>(file);
}

} // namespace

bool OpenVhdi(const std::string& path, OpenedContainer& out, std::string& why) {
    auto decoder = VhdiDecoder::Open(path, why);
    if (!decoder) {
        return false;
    }
    libvhdi_error_t* error = nullptr;
    int type = 0;
    libvhdi_file_get_file_type(decoder->file(), &type, nullptr);
    out.format = type == LIBVHDI_FILE_TYPE_VHDX ? "VHDX" : "VHD";
    std::uint32_t disk = 0;
    if (libvhdi_file_get_disk_type(decoder->file(), &disk, &error) != 1) {
        why = "its disk type cannot be read: " + VhdiError(error);
        return false;
    }
    if (disk == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
        const std::string name = VhdiParent(decoder->file());
        const std::string parent = name.empty() ? std::string("its parent") : "'" + name + "'";
        why = "a differencing disk: its unchanged blocks live in " + parent +
              ", which is not followed; open a disk that holds all its blocks";
        return false;
    }
    size64_t media = 0;
    if (libvhdi_file_get_media_size(decoder->file(), &media, &error) != 1) {
        why = "the size of the disk it holds cannot be read: " + VhdiError(error);
        return false;
    }
    out.size = media;
    out.files = {path};
    out.factory = [path](std::string& reason) -> std::unique_ptr<ContainerDecoder> {
        return VhdiDecoder::Open(path, reason);
    };
    out.decoder = std::move(decoder);
    return true;
}

std::vector<std::string> VhdiNamedFiles(const std::string& path) {
    return ChainNamedFiles<VhdiDecoder, VhdiParent>(path);
}

} // namespace lorvex::platform

#include "platform/QcowContainer.h"

#include "platform/ContainerSupport.h"
#include "platform/LibyalError.h"

#include <libqcow.h>

#include <memory>

namespace lorvex::platform {

namespace {

std::string QcowError(intptr_t*& e) {
    return TakeLibyalError<libqcow_error_backtrace_sprint, libqcow_error_free>(e);
}

// The calls of libqcow that read an image.
struct QcowLibrary {
    static constexpr auto Initialize = libqcow_file_initialize;
    static constexpr auto OpenFile = libqcow_file_open;
    static constexpr auto Close = libqcow_file_close;
    static constexpr auto Free = libqcow_file_free;
    static constexpr auto ReadAt = libqcow_file_read_buffer_at_offset;
    static std::string Error(intptr_t*& e) { return QcowError(e); }
    static constexpr int kOpenRead = LIBQCOW_OPEN_READ;
    static constexpr const char* kUndecodable = "its header does not decode: ";
};
using QcowDecoder = LibyalFileDecoder<QcowLibrary>;

// The backing file an image names, as it names it; empty when none.
std::string QcowBacking(libqcow_file_t* file) {
    return LibyalName<libqcow_file_get_utf8_backing_filename_size,
                      libqcow_file_get_utf8_backing_filename>(file);
}

} // namespace

bool OpenQcow(const std::string& path, OpenedContainer& out, std::string& why) {
    auto decoder = QcowDecoder::Open(path, why);
    if (!decoder) {
        return false;
    }
    libqcow_error_t* error = nullptr;
    if (const std::string name = QcowBacking(decoder->file()); !name.empty()) {
        why = "has the backing file '" + name +
              "', which is not followed: the clusters it holds are not in this image";
        return false;
    }
    std::uint32_t method = LIBQCOW_ENCRYPTION_METHOD_NONE;
    if (libqcow_file_get_encryption_method(decoder->file(), &method, &error) != 1) {
        why = "its encryption cannot be read: " + QcowError(error);
        return false;
    }
    if (method != LIBQCOW_ENCRYPTION_METHOD_NONE) {
        why = std::string("encrypted (") +
              (method == LIBQCOW_ENCRYPTION_METHOD_LUKS ? "LUKS" : "AES") +
              "); encrypted images are not read";
        return false;
    }
    size64_t media = 0;
    if (libqcow_file_get_media_size(decoder->file(), &media, &error) != 1) {
        why = "the size of the disk it holds cannot be read: " + QcowError(error);
        return false;
    }
    out.format = "qcow2";
    out.size = media;
    out.files = {path};
    out.factory = [path](std::string& reason) -> std::unique_ptr<ContainerDecoder> {
        return QcowDecoder::Open(path, reason);
    };
    out.decoder = std::move(decoder);
    return true;
}

std::vector<std::string> QcowNamedFiles(const std::string& path) {
    return ChainNamedFiles<QcowDecoder, QcowBacking>(path);
}

} // namespace lorvex::platform

#include "platform/QcowContainer.h"

#include "platform/ContainerSupport.h"
#include "platform/LibyalError.h"

#include <libqcow.h>

#include <cstring>
#include <memory>

namespace lorvex::platform {

namespace {

std::string QcowError(intptr_t*& e) {
    return TakeLibyalError<libqcow_error_backtrace_sprint, libqcow_error_free>(e);
}

class QcowDecoder final : public ContainerDecoder {
  public:
    ~QcowDecoder() override {
        if (file_ != nullptr) {
            if (open_) {
                libqcow_file_close(file_, nullptr);
            }
            libqcow_file_free(&file_, nullptr);
        }
    }

    static std::unique_ptr<QcowDecoder> Open(const std::string& path, std::string& why) {
        auto d = std::make_unique<QcowDecoder>();
        libqcow_error_t* error = nullptr;
        if (libqcow_file_initialize(&d->file_, &error) != 1) {
            why = QcowError(error);
            return nullptr;
        }
        if (libqcow_file_open(d->file_, path.c_str(), LIBQCOW_OPEN_READ, &error) != 1) {
            why = "its header does not decode: " + QcowError(error);
            return nullptr;
        }
        d->open_ = true;
        d->path_ = path;
        return d;
    }

    libqcow_file_t* file() { return file_; }

    bool Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) override {
        libqcow_error_t* error = nullptr;
        const bool ok = ReadAll(
            [&](void* buffer, std::size_t n, std::uint64_t at) {
                return libqcow_file_read_buffer_at_offset(file_, buffer, n,
                                                          static_cast<off64_t>(at), &error);
            },
            offset, out);
        if (!ok) {
            why = WithFileSize(error != nullptr ? QcowError(error) : "the image ends early", path_);
        }
        return ok;
    }

  private:
    libqcow_file_t* file_ = nullptr;
    bool open_ = false;
    std::string path_;
};

// The backing file an image names, as it names it; empty when none.
std::string QcowBacking(libqcow_file_t* file) {
    std::size_t size = 0;
    if (libqcow_file_get_utf8_backing_filename_size(file, &size, nullptr) != 1 || size <= 1) {
        return {};
    }
    std::string name(size, '\0');
    if (libqcow_file_get_utf8_backing_filename(file, reinterpret_cast<std::uint8_t*>(name.data()),
                                               size, nullptr) != 1) {
        return {};
    }
    name.resize(std::strlen(name.c_str()));
    return name;
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

#include "platform/VhdiContainer.h"

#include "platform/ContainerSupport.h"
#include "platform/LibyalError.h"

#include <libvhdi.h>

#include <cstring>
#include <memory>

namespace lorvex::platform {

namespace {

std::string VhdiError(intptr_t*& e) {
    return TakeLibyalError<libvhdi_error_backtrace_sprint, libvhdi_error_free>(e);
}

class VhdiDecoder final : public ContainerDecoder {
  public:
    ~VhdiDecoder() override {
        if (file_ != nullptr) {
            if (open_) {
                libvhdi_file_close(file_, nullptr);
            }
            libvhdi_file_free(&file_, nullptr);
        }
    }

    static std::unique_ptr<VhdiDecoder> Open(const std::string& path, std::string& why) {
        auto d = std::make_unique<VhdiDecoder>();
        libvhdi_error_t* error = nullptr;
        if (libvhdi_file_initialize(&d->file_, &error) != 1) {
            why = VhdiError(error);
            return nullptr;
        }
        if (libvhdi_file_open(d->file_, path.c_str(), LIBVHDI_OPEN_READ, &error) != 1) {
            why = "its footer and headers do not decode: " + VhdiError(error);
            return nullptr;
        }
        d->open_ = true;
        d->path_ = path;
        return d;
    }

    libvhdi_file_t* file() { return file_; }

    bool Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) override {
        libvhdi_error_t* error = nullptr;
        const bool ok = ReadAll(
            [&](void* buffer, std::size_t n, std::uint64_t at) {
                return libvhdi_file_read_buffer_at_offset(file_, buffer, n,
                                                          static_cast<off64_t>(at), &error);
            },
            offset, out);
        if (!ok) {
            why = WithFileSize(error != nullptr ? VhdiError(error) : "the image ends early", path_);
        }
        return ok;
    }

  private:
    libvhdi_file_t* file_ = nullptr;
    bool open_ = false;
    std::string path_;
};

// The parent a differencing disk names, as it names it; empty when none.
std::string VhdiParent(libvhdi_file_t* file) {
    std::size_t size = 0;
    if (libvhdi_file_get_utf8_parent_filename_size(file, &size, nullptr) != 1 || size <= 1) {
        return {};
    }
    std::string name(size, '\0');
    if (libvhdi_file_get_utf8_parent_filename(file, reinterpret_cast<std::uint8_t*>(name.data()),
                                              size, nullptr) != 1) {
        return {};
    }
    name.resize(std::strlen(name.c_str()));
    return name;
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

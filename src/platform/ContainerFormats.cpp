#include "platform/ContainerFormats.h"

#include "platform/EwfDecoder.h"
#include "platform/LibyalError.h"

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace lorvex::platform {

namespace {

std::string EwfError(intptr_t*& e) {
    return TakeLibyalError<libewf_error_backtrace_sprint, libewf_error_free>(e);
}
std::string VhdiError(intptr_t*& e) {
    return TakeLibyalError<libvhdi_error_backtrace_sprint, libvhdi_error_free>(e);
}
std::string VmdkError(intptr_t*& e) {
    return TakeLibyalError<libvmdk_error_backtrace_sprint, libvmdk_error_free>(e);
}
std::string QcowError(intptr_t*& e) {
    return TakeLibyalError<libqcow_error_backtrace_sprint, libqcow_error_free>(e);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The library names the offset it could not read; beside the file's size it
// tells a table that points past the file from a read error.
std::string WithFileSize(std::string why, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        why += " (the file holds " + std::to_string(st.st_size) + " bytes)";
    }
    return why;
}

// A read that may come back short: the library is asked again for the rest,
// and a read that makes no progress is a failure of the whole range.
template <typename ReadAt>
bool ReadFully(ReadAt readAt, std::uint64_t offset, std::span<std::byte> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = readAt(out.data() + done, out.size() - done, offset + done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// ------------------------------------------------------------------ EnCase --

// The name the segment after `name` has: .E01 to .E99, then .EAA to .EZZ,
// then .FAA on (the same in lower case); empty when `name` follows no such
// scheme.
std::string NextSegmentName(const std::string& name) {
    if (name.size() < 4 || name[name.size() - 4] != '.') {
        return {};
    }
    std::string next = name;
    char* ext = next.data() + next.size() - 3;
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    const bool upper = ext[0] >= 'A' && ext[0] <= 'Z';
    if (digit(ext[1]) && digit(ext[2])) {
        if (ext[1] == '9' && ext[2] == '9') {
            ext[1] = ext[2] = upper ? 'A' : 'a';
        } else if (ext[2] == '9') {
            ++ext[1];
            ext[2] = '0';
        } else {
            ++ext[2];
        }
        return next;
    }
    if (!letter(ext[1]) || !letter(ext[2])) {
        return {};
    }
    for (int i = 2; i >= 0; --i) {
        const char last = upper ? 'Z' : 'z';
        if (ext[i] != last) {
            ++ext[i];
            return next;
        }
        ext[i] = upper ? 'A' : 'a';
    }
    return {};
}

bool OpenEwf(const std::string& path, OpenedContainer& out, std::string& why) {
    libewf_error_t* error = nullptr;
    char** globbed = nullptr;
    int count = 0;
    // The other segments are found by the naming scheme the first one
    // belongs to (.E01 .E02 ... .EAA ...), not by listing the directory.
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &globbed, &count, &error) !=
        1) {
        why = "cannot find its segment files: " + EwfError(error);
        return false;
    }
    std::vector<std::string> files(globbed, globbed + count);
    libewf_glob_free(globbed, count, nullptr);
    if (files.empty()) {
        why = "cannot find its segment files";
        return false;
    }
    auto decoder = EwfDecoder::Open(files, why);
    if (!decoder) {
        // A set with a segment missing opens no differently from one cut
        // short; name the next segment the naming scheme expects when it
        // is not there.
        why = "cannot open the segment set (" + std::to_string(files.size()) +
              (files.size() == 1 ? " segment" : " segments") + " found): " + why;
        return false;
    }
    if (decoder->Incomplete()) {
        // The library opens what it finds and counts the set as damaged
        // when the last segment found does not end it.
        const std::string& last = files.back();
        const std::string next = NextSegmentName(last);
        const std::string after = next.empty() ? std::string() : NextSegmentName(next);
        why = "the segment set is incomplete: " + std::to_string(files.size()) +
              (files.size() == 1 ? " segment" : " segments") + " found, and the last, " + last +
              ", does not end the set: ";
        if (!after.empty() && !Exists(next) && Exists(after)) {
            // The naming scheme goes on past a gap: the gap is the fault.
            why += "the segment after it, " + next + ", is missing (" +
                   std::filesystem::path(after).filename().string() + " is there)";
        } else if (!next.empty() && !Exists(next)) {
            why += "it is cut short, or the segment after it, " + next + ", is missing";
        } else {
            why += "it is cut short or damaged";
        }
        return false;
    }
    if (!decoder->Size(out.size, why)) {
        return false;
    }
    out.format = "EnCase";
    out.files = files;
    out.factory = [files](std::string& reason) -> std::unique_ptr<ContainerDecoder> {
        return EwfDecoder::Open(files, reason);
    };
    out.decoder = std::move(decoder);
    return true;
}

// --------------------------------------------------------------- VHD, VHDX --

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
            why = VhdiError(error);
            return nullptr;
        }
        d->open_ = true;
        d->path_ = path;
        return d;
    }

    libvhdi_file_t* file() { return file_; }

    bool Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) override {
        libvhdi_error_t* error = nullptr;
        const bool ok = ReadFully(
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
        why = VhdiError(error);
        return false;
    }
    if (disk == LIBVHDI_DISK_TYPE_DIFFERENTIAL) {
        std::size_t size = 0;
        std::string parent = "its parent";
        if (libvhdi_file_get_utf8_parent_filename_size(decoder->file(), &size, nullptr) == 1 &&
            size > 1) {
            std::string name(size, '\0');
            if (libvhdi_file_get_utf8_parent_filename(decoder->file(),
                                                      reinterpret_cast<std::uint8_t*>(name.data()),
                                                      size, nullptr) == 1) {
                name.resize(std::strlen(name.c_str()));
                parent = "'" + name + "'";
            }
        }
        why = "a differencing disk: its unchanged blocks live in " + parent +
              ", which is not followed; open a disk that holds all its blocks";
        return false;
    }
    size64_t media = 0;
    if (libvhdi_file_get_media_size(decoder->file(), &media, &error) != 1) {
        why = VhdiError(error);
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

// -------------------------------------------------------------------- VMDK --

class VmdkDecoder final : public ContainerDecoder {
  public:
    ~VmdkDecoder() override {
        if (handle_ != nullptr) {
            if (open_) {
                libvmdk_handle_close(handle_, nullptr);
            }
            libvmdk_handle_free(&handle_, nullptr);
        }
    }

    // Opens the descriptor alone; the extents follow in OpenExtents.
    static std::unique_ptr<VmdkDecoder> OpenDescriptor(const std::string& path, std::string& why) {
        auto d = std::make_unique<VmdkDecoder>();
        libvmdk_error_t* error = nullptr;
        if (libvmdk_handle_initialize(&d->handle_, &error) != 1) {
            why = VmdkError(error);
            return nullptr;
        }
        if (libvmdk_handle_open(d->handle_, path.c_str(), LIBVMDK_OPEN_READ, &error) != 1) {
            why = VmdkError(error);
            return nullptr;
        }
        d->open_ = true;
        // Extents are named relative to the descriptor, not to our working
        // directory.
        const std::string dir = std::filesystem::path(path).parent_path().string();
        if (!dir.empty() && libvmdk_handle_set_extent_data_files_path(d->handle_, dir.c_str(),
                                                                      dir.size(), &error) != 1) {
            why = VmdkError(error);
            return nullptr;
        }
        return d;
    }

    bool OpenExtents(std::string& why) {
        libvmdk_error_t* error = nullptr;
        if (libvmdk_handle_open_extent_data_files(handle_, &error) != 1) {
            why = VmdkError(error);
            return false;
        }
        return true;
    }

    static std::unique_ptr<VmdkDecoder> Open(const std::string& path, std::string& why) {
        auto d = OpenDescriptor(path, why);
        if (!d || !d->OpenExtents(why)) {
            return nullptr;
        }
        return d;
    }

    libvmdk_handle_t* handle() { return handle_; }

    bool Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) override {
        libvmdk_error_t* error = nullptr;
        const bool ok = ReadFully(
            [&](void* buffer, std::size_t n, std::uint64_t at) {
                return libvmdk_handle_read_buffer_at_offset(handle_, buffer, n,
                                                            static_cast<off64_t>(at), &error);
            },
            offset, out);
        if (!ok) {
            why = error != nullptr ? VmdkError(error) : "the image ends early";
        }
        return ok;
    }

  private:
    libvmdk_handle_t* handle_ = nullptr;
    bool open_ = false;
};

bool OpenVmdk(const std::string& path, OpenedContainer& out, std::string& why) {
    auto decoder = VmdkDecoder::OpenDescriptor(path, why);
    if (!decoder) {
        return false;
    }
    libvmdk_error_t* error = nullptr;
    std::uint32_t parentCid = 0xFFFFFFFFU;
    if (libvmdk_handle_get_parent_content_identifier(decoder->handle(), &parentCid, nullptr) == 1 &&
        parentCid != 0xFFFFFFFFU) {
        std::size_t size = 0;
        std::string parent = "its parent";
        if (libvmdk_handle_get_utf8_parent_filename_size(decoder->handle(), &size, nullptr) == 1 &&
            size > 1) {
            std::string name(size, '\0');
            if (libvmdk_handle_get_utf8_parent_filename(
                    decoder->handle(), reinterpret_cast<std::uint8_t*>(name.data()), size,
                    nullptr) == 1) {
                name.resize(std::strlen(name.c_str()));
                parent = "'" + name + "'";
            }
        }
        why = "a delta disk: its unchanged grains live in " + parent +
              ", which is not followed; open a disk that holds all its grains";
        return false;
    }
    // Name a missing extent ourselves: the library only says it could not
    // open "an extent data file".
    const std::filesystem::path dir = std::filesystem::path(path).parent_path();
    std::vector<std::string> files{path};
    int extents = 0;
    libvmdk_handle_get_number_of_extents(decoder->handle(), &extents, nullptr);
    for (int i = 0; i < extents; ++i) {
        libvmdk_extent_descriptor_t* extent = nullptr;
        if (libvmdk_handle_get_extent_descriptor(decoder->handle(), i, &extent, nullptr) != 1) {
            continue;
        }
        int type = 0;
        libvmdk_extent_descriptor_get_type(extent, &type, nullptr);
        std::size_t size = 0;
        std::string name;
        if (type != LIBVMDK_EXTENT_TYPE_ZERO &&
            libvmdk_extent_descriptor_get_utf8_filename_size(extent, &size, nullptr) == 1 &&
            size > 1) {
            name.assign(size, '\0');
            if (libvmdk_extent_descriptor_get_utf8_filename(
                    extent, reinterpret_cast<std::uint8_t*>(name.data()), size, nullptr) == 1) {
                name.resize(std::strlen(name.c_str()));
            } else {
                name.clear();
            }
        }
        libvmdk_extent_descriptor_free(&extent, nullptr);
        if (name.empty()) {
            continue;
        }
        const std::string full = (dir / name).string();
        if (!Exists(full)) {
            why = "the extent '" + name + "' that its descriptor names is missing (looked for " +
                  full + ")";
            return false;
        }
        if (full != path && std::filesystem::path(full) != std::filesystem::path(path)) {
            files.push_back(full);
        }
    }
    if (!decoder->OpenExtents(why)) {
        return false;
    }
    size64_t media = 0;
    if (libvmdk_handle_get_media_size(decoder->handle(), &media, &error) != 1) {
        why = VmdkError(error);
        return false;
    }
    out.format = "VMDK";
    out.size = media;
    out.files = std::move(files);
    out.factory = [path](std::string& reason) -> std::unique_ptr<ContainerDecoder> {
        return VmdkDecoder::Open(path, reason);
    };
    out.decoder = std::move(decoder);
    return true;
}

// ------------------------------------------------------------------- qcow2 --

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
            why = QcowError(error);
            return nullptr;
        }
        d->open_ = true;
        d->path_ = path;
        return d;
    }

    libqcow_file_t* file() { return file_; }

    bool Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) override {
        libqcow_error_t* error = nullptr;
        const bool ok = ReadFully(
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

bool OpenQcow(const std::string& path, OpenedContainer& out, std::string& why) {
    auto decoder = QcowDecoder::Open(path, why);
    if (!decoder) {
        return false;
    }
    libqcow_error_t* error = nullptr;
    std::size_t size = 0;
    if (libqcow_file_get_utf8_backing_filename_size(decoder->file(), &size, nullptr) == 1 &&
        size > 1) {
        std::string name(size, '\0');
        libqcow_file_get_utf8_backing_filename(
            decoder->file(), reinterpret_cast<std::uint8_t*>(name.data()), size, nullptr);
        name.resize(std::strlen(name.c_str()));
        why = "has the backing file '" + name +
              "', which is not followed: the clusters it holds are not in this image";
        return false;
    }
    std::uint32_t method = LIBQCOW_ENCRYPTION_METHOD_NONE;
    if (libqcow_file_get_encryption_method(decoder->file(), &method, &error) != 1) {
        why = QcowError(error);
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
        why = QcowError(error);
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

} // namespace

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

bool OpenContainer(const std::string& path, ContainerFormat format, OpenedContainer& out,
                   std::string& why) {
    switch (format) {
    case ContainerFormat::EnCase:
        return OpenEwf(path, out, why);
    case ContainerFormat::Vhd:
        return OpenVhdi(path, out, why);
    case ContainerFormat::Vmdk:
        return OpenVmdk(path, out, why);
    case ContainerFormat::Qcow:
        return OpenQcow(path, out, why);
    case ContainerFormat::None:
        break;
    }
    why = "not a container";
    return false;
}

} // namespace lorvex::platform

#include "platform/VmdkContainer.h"

#include "platform/ContainerSupport.h"
#include "platform/LibyalError.h"
#include "platform/NamedFile.h"

#include <libvmdk.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace lorvex::platform {

namespace {

std::string VmdkError(intptr_t*& e) {
    return TakeLibyalError<libvmdk_error_backtrace_sprint, libvmdk_error_free>(e);
}

// A sparse extent begins with one of these; its descriptor, when it has one,
// is embedded in it and names the extent, which is normally the file itself.
constexpr std::array<char, 4> kSparseMagic{'K', 'D', 'M', 'V'};
constexpr std::array<char, 4> kCowdMagic{'C', 'O', 'W', 'D'};

// Where an extent the descriptor names is read from, found without opening
// it. Not every name is read: the library is handed none of them, since it
// runs past the end of its buffer joining an absolute name to the folder.
struct VmdkExtent {
    std::string name; // as the descriptor writes it; empty for a zero extent
    std::string path; // where it is looked for, as its name leads
    std::string real; // the file that is, links followed
    dev_t dev = 0;    // and which file that was when it was looked at
    ino_t ino = 0;
    std::string outside; // why it is read only when allowed; empty when not
    std::string problem; // why it cannot be read at all
};

// Extents are named relative to their descriptor's folder, and the ones read
// without asking are the regular files directly in it (through a link or
// not). An absolute name, a name in another folder, a link out of the
// folder, a block device, or, for a descriptor embedded in a sparse extent,
// any file but the extent itself, could make the evidence read the
// examiner's own disks and files: read only when the user allows it.
VmdkExtent LocateExtent(const std::string& name, const std::string& descriptor,
                        const struct stat& self, bool embedded) {
    VmdkExtent e;
    e.name = name;
    const std::string dir = FolderOf(descriptor);
    const bool plain = name.find('/') == std::string::npos && name != "." && name != "..";
    e.path = name.front() == '/'
                 ? name
                 : (std::filesystem::path(descriptor).parent_path() / name).string();
    char resolved[PATH_MAX];
    struct stat st {};
    if (::realpath(e.path.c_str(), resolved) == nullptr || ::stat(resolved, &st) != 0) {
        const int err = errno;
        e.problem = err == ENOENT || err == ENOTDIR
                        ? "is missing (looked for " + e.path + ")"
                        : "cannot be looked at (" + e.path + "): " + std::strerror(err);
        return e;
    }
    const std::string real = resolved;
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        e.problem = "(" + real + ") is " + FileKind(st.st_mode) + ", not a file";
        return e;
    }
    if (InKernelFileSystem(real)) {
        e.problem = "(" + real + ") is a file of the kernel's own, not stored data";
        return e;
    }
    e.real = real;
    e.dev = st.st_dev;
    e.ino = st.st_ino;
    if (S_ISBLK(st.st_mode)) {
        e.outside = "(" + real + ") is a block device";
    } else if (!plain || FolderOf(real) != FollowLinks(dir)) {
        e.outside = "(" + real + ") lies outside the descriptor's folder";
    } else if (embedded && (st.st_dev != self.st_dev || st.st_ino != self.st_ino)) {
        e.outside = "(" + real + ") is another file than the image itself";
    }
    if (!e.outside.empty()) {
        e.path = real;
    }
    return e;
}

// "the extent 'x' that its descriptor names", or, for a descriptor embedded
// in a sparse extent, what it says in its own words.
std::string ExtentWords(const VmdkExtent& e, bool embedded) {
    return std::string(embedded ? "the data file '" : "the extent '") + e.name +
           (embedded ? "' that its embedded descriptor names" : "' that its descriptor names");
}

// The descriptor of a VMDK, read through the library from the checked file:
// a text descriptor, or a sparse extent with one embedded.
class VmdkDescriptor {
  public:
    VmdkDescriptor() = default;
    VmdkDescriptor(const VmdkDescriptor&) = delete;
    VmdkDescriptor& operator=(const VmdkDescriptor&) = delete;
    ~VmdkDescriptor() {
        if (handle_ != nullptr) {
            if (open_) {
                libvmdk_handle_close(handle_, nullptr);
            }
            libvmdk_handle_free(&handle_, nullptr);
        }
        // After the handle: the library reads through these until it is
        // closed.
        if (pool_ != nullptr) {
            libbfio_pool_free(&pool_, nullptr);
        }
        if (file_ != nullptr) {
            libbfio_handle_free(&file_, nullptr);
        }
    }

    bool Open(const std::string& path, std::string& why) {
        path_ = path;
        std::string reason;
        const int fd = OpenNamedFile(path, false, self_, reason);
        if (fd < 0) {
            why = "cannot be opened: " + reason;
            return false;
        }
        std::array<char, 4> magic{};
        embedded_ = ::pread(fd, magic.data(), magic.size(), 0) == 4 &&
                    (magic == kSparseMagic || magic == kCowdMagic);
        file_ = NamedFileHandle(fd, path, reason);
        if (file_ == nullptr) {
            why = "cannot be opened: " + reason;
            return false;
        }
        libvmdk_error_t* error = nullptr;
        if (libvmdk_handle_initialize(&handle_, &error) != 1) {
            why = "cannot be opened: " + VmdkError(error);
            return false;
        }
        if (libvmdk_handle_open_file_io_handle(handle_, file_, LIBVMDK_OPEN_READ, &error) != 1) {
            why = std::string(embedded_ ? "its header or embedded descriptor"
                                        : "its descriptor text") +
                  " is damaged or cut short: " + VmdkError(error);
            return false;
        }
        open_ = true;
        return true;
    }

    // Every extent the descriptor names, located but not opened.
    std::vector<VmdkExtent> Extents() const {
        std::vector<VmdkExtent> extents;
        int count = 0;
        if (libvmdk_handle_get_number_of_extents(handle_, &count, nullptr) != 1) {
            return extents;
        }
        for (int i = 0; i < count; ++i) {
            libvmdk_extent_descriptor_t* extent = nullptr;
            VmdkExtent e;
            if (libvmdk_handle_get_extent_descriptor(handle_, i, &extent, nullptr) != 1) {
                e.problem = "cannot be read from the descriptor";
                extents.push_back(std::move(e));
                continue;
            }
            int type = 0;
            libvmdk_extent_descriptor_get_type(extent, &type, nullptr);
            const std::string name =
                type == LIBVMDK_EXTENT_TYPE_ZERO
                    ? std::string()
                    : LibyalName<libvmdk_extent_descriptor_get_utf8_filename_size,
                                 libvmdk_extent_descriptor_get_utf8_filename>(extent);
            libvmdk_extent_descriptor_free(&extent, nullptr);
            if (type == LIBVMDK_EXTENT_TYPE_ZERO) {
                // The library reads no disk that has one beside extents
                // with files; said here rather than as its "invalid handle".
                e.problem = "is a zero extent (a run of the disk with no file behind it), which "
                            "the VMDK library does not read";
                extents.push_back(std::move(e));
            } else if (name.empty()) {
                e.problem = "has no file name";
                extents.push_back(std::move(e));
            } else {
                extents.push_back(LocateExtent(name, path_, self_, embedded_));
            }
        }
        return extents;
    }

    // Whether the disk is a delta, whose unchanged grains live in a parent;
    // `parent` then has the parent's name as the descriptor gives it.
    [[nodiscard]] bool Delta(std::string& parent) const {
        std::uint32_t parentCid = 0xFFFFFFFFU;
        if (libvmdk_handle_get_parent_content_identifier(handle_, &parentCid, nullptr) != 1 ||
            parentCid == 0xFFFFFFFFU) {
            return false;
        }
        parent = LibyalName<libvmdk_handle_get_utf8_parent_filename_size,
                            libvmdk_handle_get_utf8_parent_filename>(handle_);
        return true;
    }

    // Opens every extent of `extents` (as Extents located them, none with a
    // problem) into the library's pool: the library never opens a file by
    // a name itself.
    bool OpenExtents(const std::vector<VmdkExtent>& extents, bool allowOutside, std::string& why) {
        libbfio_error_t* error = nullptr;
        if (libbfio_pool_initialize(&pool_, static_cast<int>(extents.size()),
                                    LIBBFIO_POOL_UNLIMITED_NUMBER_OF_OPEN_HANDLES, &error) != 1) {
            libbfio_error_free(&error);
            why = "cannot set up reading its extents";
            return false;
        }
        for (std::size_t i = 0; i < extents.size(); ++i) {
            const VmdkExtent& e = extents[i];
            // The file opened is the one looked at, whatever became of the
            // name since.
            struct stat st {};
            std::string reason;
            int fd = OpenNamedFile(e.real, allowOutside, st, reason);
            if (fd >= 0 && (st.st_dev != e.dev || st.st_ino != e.ino)) {
                ::close(fd);
                fd = -1;
                reason = "it changed while it was being opened";
            }
            libbfio_handle_t* file = fd >= 0 ? NamedFileHandle(fd, e.real, reason) : nullptr;
            if (file == nullptr) {
                why = ExtentWords(e, embedded_) + " cannot be opened (" + e.path + "): " + reason;
                return false;
            }
            if (libbfio_pool_set_handle(pool_, static_cast<int>(i), file, LIBBFIO_OPEN_READ,
                                        &error) != 1) {
                libbfio_error_free(&error);
                libbfio_handle_free(&file, nullptr);
                why = "cannot set up reading its extents";
                return false;
            }
        }
        libvmdk_error_t* vmdkError = nullptr;
        if (libvmdk_handle_open_extent_data_files_file_io_pool(handle_, pool_, &vmdkError) != 1) {
            why =
                "its extents do not hold what its descriptor says they do: " + VmdkError(vmdkError);
            return false;
        }
        return true;
    }

    libvmdk_handle_t* handle() { return handle_; }
    [[nodiscard]] bool embedded() const { return embedded_; }

  private:
    std::string path_;
    struct stat self_ {};
    bool embedded_ = false;
    libbfio_handle_t* file_ = nullptr;
    libbfio_pool_t* pool_ = nullptr;
    libvmdk_handle_t* handle_ = nullptr;
    bool open_ = false;
};

// What a refusal of `extents` says, or empty when each can be read (those
// outside the descriptor's folder only when `allowOutside`).
std::string ExtentsRefusal(const std::vector<VmdkExtent>& extents, bool embedded,
                           bool allowOutside) {
    for (const VmdkExtent& e : extents) {
        if (!e.problem.empty()) {
            return (e.name.empty() ? std::string("an extent that its descriptor names")
                                   : ExtentWords(e, embedded)) +
                   " " + e.problem;
        }
    }
    if (allowOutside) {
        return {};
    }
    for (const VmdkExtent& e : extents) {
        if (!e.outside.empty()) {
            return ExtentWords(e, embedded) + " " + e.outside +
                   "; such a file is read only when outside extents are allowed";
        }
    }
    return {};
}

class VmdkDecoder final : public ContainerDecoder {
  public:
    // Opens the descriptor, looks at every extent it names and opens them;
    // `files` (when given) has every file read, the descriptor first.
    static std::unique_ptr<VmdkDecoder> Open(const std::string& path,
                                             const ContainerOptions& options, std::string& why,
                                             std::vector<std::string>* files = nullptr) {
        auto d = std::make_unique<VmdkDecoder>();
        if (!d->descriptor_.Open(path, why)) {
            return nullptr;
        }
        std::string parent;
        if (d->descriptor_.Delta(parent)) {
            why = "a delta disk: its unchanged grains live in " +
                  (parent.empty() ? std::string("its parent") : "'" + parent + "'") +
                  ", which is not followed; open a disk that holds all its grains";
            return nullptr;
        }
        const std::vector<VmdkExtent> extents = d->descriptor_.Extents();
        if (extents.empty()) {
            why = "its descriptor names no extent";
            return nullptr;
        }
        why = ExtentsRefusal(extents, d->descriptor_.embedded(), options.allowOutsideExtents);
        if (!why.empty() ||
            !d->descriptor_.OpenExtents(extents, options.allowOutsideExtents, why)) {
            return nullptr;
        }
        if (files != nullptr) {
            files->assign({path});
            for (const VmdkExtent& e : extents) {
                if (!e.name.empty() &&
                    std::find(files->begin(), files->end(), e.path) == files->end() &&
                    !SameFile(e.path, path)) {
                    files->push_back(e.path);
                }
            }
        }
        return d;
    }

    libvmdk_handle_t* handle() { return descriptor_.handle(); }

    bool Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) override {
        libvmdk_error_t* error = nullptr;
        const bool ok = ReadAll(
            [&](void* buffer, std::size_t n, std::uint64_t at) {
                return libvmdk_handle_read_buffer_at_offset(handle(), buffer, n,
                                                            static_cast<off64_t>(at), &error);
            },
            offset, out);
        if (!ok) {
            why = error != nullptr ? VmdkError(error) : "the image ends early";
        }
        return ok;
    }

  private:
    VmdkDescriptor descriptor_;
};

} // namespace

bool OpenVmdk(const std::string& path, const ContainerOptions& options, OpenedContainer& out,
              std::string& why) {
    std::vector<std::string> files;
    auto decoder = VmdkDecoder::Open(path, options, why, &files);
    if (!decoder) {
        return false;
    }
    libvmdk_error_t* error = nullptr;
    size64_t media = 0;
    if (libvmdk_handle_get_media_size(decoder->handle(), &media, &error) != 1) {
        why = "the size of the disk it holds cannot be read: " + VmdkError(error);
        return false;
    }
    out.format = "VMDK";
    out.size = media;
    out.files = std::move(files);
    out.factory = [path, options](std::string& reason) -> std::unique_ptr<ContainerDecoder> {
        return VmdkDecoder::Open(path, options, reason);
    };
    out.decoder = std::move(decoder);
    return true;
}

std::vector<std::string> VmdkNamedFiles(const std::string& path) {
    std::vector<std::string> files{path};
    VmdkDescriptor descriptor;
    std::string why;
    if (!descriptor.Open(path, why)) {
        return files;
    }
    for (const VmdkExtent& e : descriptor.Extents()) {
        if (!e.name.empty()) {
            files.push_back(e.path);
        }
    }
    std::string parent;
    if (descriptor.Delta(parent) && !parent.empty()) {
        files.push_back(parent.front() == '/'
                            ? parent
                            : (std::filesystem::path(FolderOf(path)) / parent).string());
    }
    return files;
}

std::vector<std::string> VmdkOutsideFiles(const std::string& path) {
    std::vector<std::string> files;
    VmdkDescriptor descriptor;
    std::string why;
    if (!descriptor.Open(path, why)) {
        return files;
    }
    std::string parent;
    if (descriptor.Delta(parent)) {
        return files;
    }
    const std::vector<VmdkExtent> extents = descriptor.Extents();
    // Allowing would not help a VMDK that is refused for another reason.
    if (!ExtentsRefusal(extents, descriptor.embedded(), true).empty()) {
        return files;
    }
    for (const VmdkExtent& e : extents) {
        if (!e.outside.empty()) {
            files.push_back(e.path);
        }
    }
    return files;
}

} // namespace lorvex::platform

#include "platform/ContainerFormats.h"

#include "platform/EwfDecoder.h"
#include "platform/LibyalError.h"
#include "platform/NamedFile.h"

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

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

// The path with every link followed; empty when it leads nowhere.
std::string CanonicalPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// The folder `path` lies in, "." for a bare name.
std::string FolderOf(const std::string& path) {
    const std::string dir = std::filesystem::path(path).parent_path().string();
    return dir.empty() ? std::string(".") : dir;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat x {};
    struct stat y {};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
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

// Whether the file name `name` is one the naming scheme of the segment
// `first` gives: the same stem, and an extension of the same case from the
// first one's letter on (.E01 to .E99, .EAA to .ZZZ; .e01, .s01, .L01 ...).
bool InSegmentScheme(const std::string& first, const std::string& name) {
    const std::size_t n = first.size();
    if (n < 4 || name.size() != n || first[n - 4] != '.' ||
        name.compare(0, n - 3, first, 0, n - 3) != 0) {
        return false;
    }
    const char* f = first.data() + n - 3;
    const char* e = name.data() + n - 3;
    const bool upper = std::isupper(static_cast<unsigned char>(f[0])) != 0;
    const auto letter = [upper](char c) {
        return upper ? (c >= 'A' && c <= 'Z') : (c >= 'a' && c <= 'z');
    };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (e[0] == f[0] && digit(e[1]) && digit(e[2])) {
        return true;
    }
    return letter(e[0]) && e[0] >= f[0] && letter(e[1]) && letter(e[2]);
}

// Every file in the folder of `first` that its naming scheme names, whether
// or not the set opens: each is as much the evidence as the first.
std::vector<std::string> EwfNamedFiles(const std::string& first) {
    std::vector<std::string> files{first};
    const std::filesystem::path path(first);
    const std::string dir = FolderOf(first);
    const std::string own = path.filename().string();
    DIR* folder = ::opendir(dir.c_str());
    if (folder == nullptr) {
        return files;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != own && InSegmentScheme(own, name)) {
            files.push_back((path.parent_path() / name).string());
        }
    }
    ::closedir(folder);
    std::sort(files.begin() + 1, files.end());
    return files;
}

// The library's search for the other segments opens every name it tries;
// a FIFO among them would hold it there for good. Each segment name the
// scheme gives is looked at first, up to the first that is not there.
bool CheckSegmentKinds(const std::string& first, std::string& why) {
    for (std::string name = first; !name.empty(); name = NextSegmentName(name)) {
        struct stat st {};
        if (::stat(name.c_str(), &st) != 0) {
            break;
        }
        if (!S_ISREG(st.st_mode)) {
            why = "the segment " + name + " is " + FileKind(st.st_mode) + ", not a file";
            return false;
        }
    }
    return true;
}

bool OpenEwf(const std::string& path, OpenedContainer& out, std::string& why) {
    libewf_error_t* error = nullptr;
    char** globbed = nullptr;
    int count = 0;
    if (!CheckSegmentKinds(path, why)) {
        return false;
    }
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

// Where a parent or backing file that `image` names may be: the name as it
// is (absolute, or from the image's folder), and the last part of it beside
// the image. Windows writes parents with backslashes and drive letters.
std::vector<std::string> ParentCandidates(const std::string& image, std::string name) {
    std::vector<std::string> candidates;
    if (name.empty()) {
        return candidates;
    }
    std::replace(name.begin(), name.end(), '\\', '/');
    const std::filesystem::path dir(FolderOf(image));
    candidates.push_back(name.front() == '/' ? name : (dir / name).string());
    const std::string last = std::filesystem::path(name).filename().string();
    if (!last.empty() && last != "." && last != "..") {
        candidates.push_back((dir / last).string());
    }
    return candidates;
}

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

// -------------------------------------------------------------------- VMDK --

// A sparse extent begins with one of these; its descriptor, when it has one,
// is embedded in it and names the extent, which is normally the file itself.
constexpr std::array<char, 4> kSparseMagic{'K', 'D', 'M', 'V'};
constexpr std::array<char, 4> kCowdMagic{'C', 'O', 'W', 'D'};

// A name the library holds, as UTF-8; empty when it has none.
template <typename Object, int (*GetSize)(Object*, std::size_t*, libvmdk_error_t**),
          int (*Get)(Object*, std::uint8_t*, std::size_t, libvmdk_error_t**)>
std::string VmdkName(Object* object) {
    std::size_t size = 0;
    if (GetSize(object, &size, nullptr) != 1 || size <= 1) {
        return {};
    }
    std::string name(size, '\0');
    if (Get(object, reinterpret_cast<std::uint8_t*>(name.data()), size, nullptr) != 1) {
        return {};
    }
    name.resize(std::strlen(name.c_str()));
    return name;
}

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
    } else if (!plain || FolderOf(real) != CanonicalPath(dir)) {
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
                    : VmdkName<libvmdk_extent_descriptor_t,
                               libvmdk_extent_descriptor_get_utf8_filename_size,
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
        parent = VmdkName<libvmdk_handle_t, libvmdk_handle_get_utf8_parent_filename_size,
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
        const bool ok = ReadFully(
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

// Every file a VMDK names, readable or not: the descriptor, its extents
// (where they would be read from), and a delta's parent.
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

// The files a VMDK reads only when outside extents are allowed.
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

// The image and the parent (VHD, VHDX) or backing file (qcow2) it names.
template <typename Decoder, std::string (*Parent)(decltype(std::declval<Decoder&>().file()))>
std::vector<std::string> ChainNamedFiles(const std::string& path) {
    std::vector<std::string> files{path};
    std::string why;
    if (const auto decoder = Decoder::Open(path, why)) {
        for (auto& candidate : ParentCandidates(path, Parent(decoder->file()))) {
            files.push_back(std::move(candidate));
        }
    }
    return files;
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
        return ChainNamedFiles<VhdiDecoder, VhdiParent>(path);
    case ContainerFormat::Vmdk:
        return VmdkNamedFiles(path);
    case ContainerFormat::Qcow:
        return ChainNamedFiles<QcowDecoder, QcowBacking>(path);
    case ContainerFormat::None:
        break;
    }
    return {path};
}

std::vector<std::string> ContainerOutsideFiles(const std::string& path, ContainerFormat format) {
    return format == ContainerFormat::Vmdk ? VmdkOutsideFiles(path) : std::vector<std::string>();
}

} // namespace lorvex::platform

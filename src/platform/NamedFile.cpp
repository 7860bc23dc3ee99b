#include "platform/NamedFile.h"

#include "platform/SourceBytes.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <linux/magic.h>
#include <memory>
#include <sys/vfs.h>
#include <unistd.h>

namespace lorvex::platform {

namespace {

// What the handle reads: the descriptor opened and checked, and what it was
// checked to be, so that a reopen (libbfio closes and opens its handles at
// will) reaches the same file or fails.
struct FileIo {
    int fd = -1;
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t mode = 0;
    off64_t offset = 0;

    FileIo() = default;
    FileIo(const FileIo&) = default;
    FileIo& operator=(const FileIo&) = delete;
    ~FileIo() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

FileIo* Io(intptr_t* io) {
    return reinterpret_cast<FileIo*>(io);
}

int FreeIo(intptr_t** io, libbfio_error_t** /*error*/) {
    if (io != nullptr && *io != nullptr) {
        delete Io(*io);
        *io = nullptr;
    }
    return 1;
}

int CloneIo(intptr_t** destination, intptr_t* source, libbfio_error_t** /*error*/) {
    if (destination == nullptr || source == nullptr) {
        return -1;
    }
    auto copy = std::make_unique<FileIo>(*Io(source));
    if (copy->fd >= 0) {
        copy->fd = fcntl(copy->fd, F_DUPFD_CLOEXEC, 0);
        if (copy->fd < 0) {
            return -1;
        }
    }
    *destination = reinterpret_cast<intptr_t*>(copy.release());
    return 1;
}

int OpenIo(intptr_t* io, int accessFlags, libbfio_error_t** /*error*/) {
    FileIo* file = Io(io);
    if (file == nullptr || (accessFlags & LIBBFIO_ACCESS_FLAG_WRITE) != 0) {
        return -1;
    }
    if (file->fd >= 0) {
        return 1;
    }
    struct stat st {};
    std::string why;
    const int fd = OpenNamedFile(file->path, S_ISBLK(file->mode), st, why);
    if (fd < 0) {
        return -1;
    }
    if (st.st_dev != file->dev || st.st_ino != file->ino) {
        ::close(fd);
        return -1;
    }
    file->fd = fd;
    file->offset = 0;
    return 1;
}

int CloseIo(intptr_t* io, libbfio_error_t** /*error*/) {
    FileIo* file = Io(io);
    if (file == nullptr) {
        return -1;
    }
    if (file->fd >= 0) {
        ::close(file->fd);
        file->fd = -1;
    }
    return 0;
}

ssize_t ReadIo(intptr_t* io, uint8_t* buffer, size_t size, libbfio_error_t** /*error*/) {
    FileIo* file = Io(io);
    if (file == nullptr || file->fd < 0 || buffer == nullptr) {
        return -1;
    }
    ssize_t n = 0;
    do {
        n = ::pread(file->fd, buffer, size, file->offset);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        file->offset += n;
    }
    return n;
}

ssize_t WriteIo(intptr_t* /*io*/, const uint8_t* /*buffer*/, size_t /*size*/,
                libbfio_error_t** /*error*/) {
    return -1;
}

int SizeIo(intptr_t* io, size64_t* size, libbfio_error_t** /*error*/) {
    FileIo* file = Io(io);
    if (file == nullptr || file->fd < 0 || size == nullptr) {
        return -1;
    }
    bool ok = false;
    *size = SourceSize(file->fd, ok);
    return ok ? 1 : -1;
}

off64_t SeekIo(intptr_t* io, off64_t offset, int whence, libbfio_error_t** error) {
    FileIo* file = Io(io);
    if (file == nullptr || file->fd < 0) {
        return -1;
    }
    off64_t base = 0;
    if (whence == SEEK_CUR) {
        base = file->offset;
    } else if (whence == SEEK_END) {
        size64_t size = 0;
        if (SizeIo(io, &size, error) != 1) {
            return -1;
        }
        base = static_cast<off64_t>(size);
    } else if (whence != SEEK_SET) {
        return -1;
    }
    if ((offset < 0 && base + offset < 0) ||
        (offset > 0 && base > std::numeric_limits<off64_t>::max() - offset)) {
        return -1;
    }
    file->offset = base + offset;
    return file->offset;
}

int ExistsIo(intptr_t* io, libbfio_error_t** /*error*/) {
    FileIo* file = Io(io);
    struct stat st {};
    return file != nullptr && (file->fd >= 0 || ::stat(file->path.c_str(), &st) == 0) ? 1 : 0;
}

int IsOpenIo(intptr_t* io, libbfio_error_t** /*error*/) {
    FileIo* file = Io(io);
    return file != nullptr && file->fd >= 0 ? 1 : 0;
}

} // namespace

std::string FileKind(mode_t mode) {
    if (S_ISREG(mode)) {
        return "a file";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO (named pipe)";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISLNK(mode)) {
        return "a symbolic link";
    }
    return "not a file";
}

bool InKernelFileSystem(const std::string& path) {
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0) {
        return false;
    }
    const auto type = static_cast<unsigned long>(fs.f_type);
    return type == PROC_SUPER_MAGIC || type == SYSFS_MAGIC || type == DEBUGFS_MAGIC ||
           type == TRACEFS_MAGIC || type == SECURITYFS_MAGIC;
}

int OpenNamedFile(const std::string& path, bool allowDevice, struct stat& st, std::string& why) {
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(before.st_mode) && !(allowDevice && S_ISBLK(before.st_mode))) {
        why = FileKind(before.st_mode) + ", not " +
              (allowDevice ? "a file or a block device" : "a file");
        return -1;
    }
    if (InKernelFileSystem(path)) {
        why = "a file of the kernel's own (/proc, /sys), not stored data";
        return -1;
    }
    // O_NONBLOCK: should a FIFO have taken the file's place since it was
    // looked at, the open does not wait for its writer; it is then refused
    // below, as anything but the file looked at is.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (fstat(fd, &st) != 0 || st.st_dev != before.st_dev || st.st_ino != before.st_ino ||
        (st.st_mode & S_IFMT) != (before.st_mode & S_IFMT)) {
        ::close(fd);
        why = "it changed while it was being opened";
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        why = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

libbfio_handle_t* NamedFileHandle(int fd, const std::string& path, std::string& why) {
    auto file = std::make_unique<FileIo>();
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    file->fd = fd;
    file->path = path;
    file->dev = st.st_dev;
    file->ino = st.st_ino;
    file->mode = st.st_mode;
    libbfio_handle_t* handle = nullptr;
    libbfio_error_t* error = nullptr;
    if (libbfio_handle_initialize(
            &handle, reinterpret_cast<intptr_t*>(file.get()), FreeIo, CloneIo, OpenIo, CloseIo,
            ReadIo, WriteIo, SeekIo, ExistsIo, IsOpenIo, SizeIo,
            LIBBFIO_FLAG_IO_HANDLE_MANAGED | LIBBFIO_FLAG_IO_HANDLE_CLONE_BY_FUNCTION,
            &error) != 1) {
        libbfio_error_free(&error);
        why = "cannot set up reading it";
        return nullptr; // `file` closes the descriptor
    }
    static_cast<void>(file.release()); // the handle owns it now
    return handle;
}

} // namespace lorvex::platform

#include "platform/SourceBytes.h"

#include "platform/VolumeApi.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lorvex::platform {

namespace {

std::uint32_t WindowsError(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return error::kFileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return error::kAccessDenied;
    case ENOMEM:
        return error::kNotEnoughMemory;
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
        return error::kNotReady;
    default:
        return error::kReadFault;
    }
}

} // namespace

std::uint64_t SourceSize(int fd, bool& ok) {
    ok = false;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return 0;
    }
    if (S_ISREG(st.st_mode)) {
        ok = true;
        return static_cast<std::uint64_t>(st.st_size);
    }
    if (S_ISBLK(st.st_mode)) {
        std::uint64_t bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) {
            ok = true;
            return bytes;
        }
    }
    return 0;
}

std::unique_ptr<SourceBytes> SourceBytes::Open(const std::string& path, std::uint64_t offset,
                                               std::uint64_t length, std::uint32_t& error) {
    // O_RDONLY is the whole of our promise never to write: no descriptor of
    // ours could carry a write even by mistake.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = WindowsError(errno);
        return nullptr;
    }
    std::unique_ptr<SourceBytes> src(new SourceBytes());
    src->fd_ = fd;
    bool ok = false;
    const std::uint64_t total = SourceSize(fd, ok);
    if (!ok) {
        error = error::kInvalidFunction;
        return nullptr;
    }
    src->offset_ = offset > total ? total : offset;
    src->length_ = length > total - src->offset_ ? total - src->offset_ : length;

    struct stat st {};
    fstat(fd, &st);
    // Image files are mapped. Devices are read with pread: a failing sector
    // of a damaged disk then answers EIO instead of killing us with SIGBUS.
    if (S_ISREG(st.st_mode) && src->length_ > 0) {
        const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
        const std::uint64_t start = src->offset_ / page * page;
        const std::uint64_t span = src->offset_ + src->length_ - start;
        void* map = mmap(nullptr, span, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(start));
        if (map != MAP_FAILED) {
            src->map_ = map;
            src->mapLength_ = span;
            src->region_ = static_cast<const std::byte*>(map) + (src->offset_ - start);
        }
    }
    error = error::kSuccess;
    return src;
}

SourceBytes::~SourceBytes() {
    if (map_ != nullptr) {
        munmap(map_, mapLength_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::size_t SourceBytes::Read(std::uint64_t offset, std::span<std::byte> out) const {
    if (offset >= length_ || out.empty()) {
        return 0;
    }
    const std::uint64_t avail = length_ - offset;
    const std::size_t want = out.size() < avail ? out.size() : static_cast<std::size_t>(avail);
    if (region_ != nullptr) {
        std::memcpy(out.data(), region_ + offset, want);
        return want;
    }
    std::size_t done = 0;
    while (done < want) {
        const ssize_t n = ::pread(fd_, out.data() + done, want - done,
                                  static_cast<off_t>(offset_ + offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

} // namespace lorvex::platform

#include "platform/SourceBytes.h"

#include "platform/OpenFiles.h"
#include "volume/VolumeApi.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
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

int OpenSourceReadOnly(const std::string& path, int& err, std::string& why) {
    // O_RDONLY is the whole of our promise never to write: no descriptor of
    // ours could carry a write even by mistake. O_NONBLOCK because opening a
    // FIFO for reading waits for a writer that may never come; the type is
    // known only once something is open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        err = errno;
        why = std::strerror(err);
        if (IsTooManyOpenFiles(err, why)) {
            why += "; " + TooManyOpenFilesNote();
        }
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        err = errno;
        why = std::strerror(err);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        ::close(fd);
        err = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        why = S_ISDIR(st.st_mode) ? "a directory, not an image file or a block device"
                                  : "not an image file or a block device";
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        err = errno;
        why = std::strerror(err);
        ::close(fd);
        return -1;
    }
    return fd;
}

std::unique_ptr<SourceBytes> SourceBytes::Open(const std::string& path, std::uint64_t offset,
                                               std::uint64_t length, std::uint32_t& error,
                                               std::shared_ptr<const ContainerImage> image,
                                               bool raw) {
    int err = 0;
    std::string why;
    const int fd = OpenSourceReadOnly(path, err, why);
    if (fd < 0) {
        error = err == ENODEV || err == EISDIR ? error::kInvalidFunction : WindowsError(err);
        return nullptr;
    }
    std::unique_ptr<SourceBytes> src(new SourceBytes());
    src->fd_ = fd;
    bool ok = false;
    std::uint64_t total = SourceSize(fd, ok);
    if (!ok) {
        error = error::kInvalidFunction;
        return nullptr;
    }
    std::string containerWhy;
    if (image) {
        src->image_ = std::move(image);
    } else if (!raw) {
        src->image_ = ContainerImage::Open(path, containerWhy);
    }
    if (src->image_) {
        total = src->image_->size();
    } else if (!containerWhy.empty()) {
        error = error::kFileCorrupt;
        return nullptr;
    }
    src->offset_ = offset > total ? total : offset;
    src->length_ = length > total - src->offset_ ? total - src->offset_ : length;
    // Image files too are read with pread, never mapped: a page that vanishes
    // under a map (the file cut short meanwhile, a network or FUSE file, a
    // failing disk beneath) kills the process with SIGBUS, where pread only
    // answers short or EIO.
    error = error::kSuccess;
    return src;
}

std::unique_ptr<SourceBytes> SourceBytes::Over(std::shared_ptr<const ContainerImage> image) {
    std::unique_ptr<SourceBytes> src(new SourceBytes());
    src->length_ = image->size();
    src->image_ = std::move(image);
    return src;
}

SourceBytes::~SourceBytes() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::size_t ReadFully(int fd, std::uint64_t at, std::span<std::byte> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n =
            ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(at + done));
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

std::size_t SourceBytes::ReadDirect(std::uint64_t at, std::span<std::byte> out) const {
    return ReadFully(fd_, at, out);
}

std::size_t SourceBytes::ReadCached(std::uint64_t at, std::span<std::byte> out) const {
    const std::lock_guard lock(mutex_);
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t pos = at + done;
        const std::uint64_t start = pos / kBlockSize * kBlockSize;
        Block* block = nullptr;
        Block* oldest = &blocks_.front();
        for (Block& b : blocks_) {
            if (b.start == start) {
                block = &b;
                break;
            }
            if (b.used < oldest->used) {
                oldest = &b;
            }
        }
        if (block == nullptr) {
            block = oldest;
            // Reads stop at the region's end, so the block need not go past it.
            const auto want = static_cast<std::size_t>(
                std::min<std::uint64_t>(kBlockSize, offset_ + length_ - start));
            if (block->room < want) {
                block->bytes = std::make_unique_for_overwrite<std::byte[]>(want);
                block->room = want;
            }
            block->start = start;
            block->valid = ReadDirect(start, std::span(block->bytes.get(), want));
        }
        block->used = ++clock_;
        const auto into = static_cast<std::size_t>(pos - start);
        if (into >= block->valid) {
            // The block stopped short of what we need: a bad sector inside it
            // need not be inside the bytes asked for, so ask for those alone.
            return done + ReadDirect(pos, out.subspan(done));
        }
        const std::size_t n = std::min(block->valid - into, out.size() - done);
        std::memcpy(out.data() + done, block->bytes.get() + into, n);
        done += n;
    }
    return done;
}

void SourceBytes::WillNeed(std::uint64_t offset, std::uint64_t length) const {
    // A container decodes ahead on its own, from the order of the reads.
    if (offset >= length_ || length == 0 || image_ || fd_ < 0) {
        return;
    }
    const std::uint64_t n = std::min(length, length_ - offset);
    (void)::posix_fadvise(fd_, static_cast<off_t>(offset_ + offset), static_cast<off_t>(n),
                          POSIX_FADV_WILLNEED);
}

std::size_t SourceBytes::Peek(std::uint64_t offset, std::span<std::byte> out) const {
    if (offset >= length_ || out.empty()) {
        return 0;
    }
    const std::uint64_t avail = length_ - offset;
    const std::size_t want = out.size() < avail ? out.size() : static_cast<std::size_t>(avail);
    return image_ ? image_->Read(offset_ + offset, out.first(want))
                  : ReadDirect(offset_ + offset, out.first(want));
}

std::size_t SourceBytes::Read(std::uint64_t offset, std::span<std::byte> out) const {
    if (offset >= length_ || out.empty()) {
        return 0;
    }
    const std::uint64_t avail = length_ - offset;
    const std::size_t want = out.size() < avail ? out.size() : static_cast<std::size_t>(avail);
    if (image_) {
        // The container keeps blocks of its own, sized for decoding.
        return image_->Read(offset_ + offset, out.first(want));
    }
    // Small reads (file records, index blocks, a cluster of the hex dump)
    // come in long runs of neighbours; one pread per record of a large $MFT
    // was most of a scan. Large reads gain nothing from the blocks.
    if (want >= kBlockSize) {
        return ReadDirect(offset_ + offset, out.first(want));
    }
    return ReadCached(offset_ + offset, out.first(want));
}

} // namespace lorvex::platform

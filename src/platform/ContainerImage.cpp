#include "platform/ContainerImage.h"

#include "platform/ContainerFormats.h"
#include "platform/OpenFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace lorvex::platform {

namespace {

// What a failure to open is called before the library has said which of
// its formats the file is in.
const char* KindName(ContainerFormat format) {
    switch (format) {
    case ContainerFormat::EnCase:
        return "EnCase image";
    case ContainerFormat::Vhd:
        return "VHD/VHDX image";
    case ContainerFormat::Vmdk:
        return "VMDK image";
    case ContainerFormat::Qcow:
        return "qcow2 image";
    case ContainerFormat::None:
        break;
    }
    return "image";
}

constexpr std::size_t kSector = 512;

} // namespace

ContainerImage::ContainerImage(std::string format, std::uint64_t size,
                               std::vector<std::string> files,
                               std::unique_ptr<ContainerDecoder> first, DecoderFactory factory)
    : format_(std::move(format)), size_(size), files_(std::move(files)),
      factory_(std::move(factory)) {
    if (first->concurrent()) {
        aheadThreads_ = kMaxAheadThreads;
    }
    slots_[0].decoder = std::move(first);
}

ContainerImage::~ContainerImage() {
    {
        const std::lock_guard lock(cacheMutex_);
        stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : ahead_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

bool ContainerImage::IsContainer(const std::string& path) {
    return RecogniseContainer(path) != ContainerFormat::None;
}

std::unique_ptr<ContainerImage> ContainerImage::Open(const std::string& path, std::string& why,
                                                     const ContainerOptions& options) {
    why.clear();
    const ContainerFormat format = RecogniseContainer(path);
    if (format == ContainerFormat::None) {
        return nullptr;
    }
    OpenedContainer opened;
    errno = 0;
    if (!OpenContainer(path, format, options, opened, why)) {
        // A set or a chain of a thousand files can meet the limit of open
        // files: say what it is, not only that it was met.
        if (IsTooManyOpenFiles(errno, why)) {
            why += "; " + TooManyOpenFilesNote();
        }
        why = std::string(KindName(format)) + ": " + why;
        return nullptr;
    }
    return std::unique_ptr<ContainerImage>(
        new ContainerImage(std::move(opened.format), opened.size, std::move(opened.files),
                           std::move(opened.decoder), std::move(opened.factory)));
}

std::vector<std::string> ContainerImage::NamedFiles(const std::string& path) {
    return ContainerNamedFiles(path, RecogniseContainer(path));
}

std::vector<std::string> ContainerImage::OutsideFiles(const std::string& path) {
    return ContainerOutsideFiles(path, RecogniseContainer(path));
}

std::unique_ptr<ContainerImage>
ContainerImage::FromDecoder(std::string format, std::uint64_t size, std::vector<std::string> files,
                            std::unique_ptr<ContainerDecoder> decoder, DecoderFactory factory) {
    return std::unique_ptr<ContainerImage>(new ContainerImage(
        std::move(format), size, std::move(files), std::move(decoder), std::move(factory)));
}

std::string ContainerImage::lastError() const {
    const std::lock_guard lock(cacheMutex_);
    return lastError_;
}

bool ContainerImage::Decode(std::uint64_t offset, std::span<std::byte> out) const {
    std::string why;
    bool ok = false;
    bool done = false;
    if (Slot& first = slots_[0]; first.decoder->concurrent()) {
        ok = first.decoder->Decode(offset, out, why);
        done = true;
    }
    // A free handle, opening the second one when the first is busy: the
    // second thread of the scan then decodes beside the first.
    for (std::size_t i = 0; i < slots_.size() && !done; ++i) {
        Slot& slot = slots_[i];
        std::unique_lock lock(slot.mutex, std::try_to_lock);
        if (!lock.owns_lock() || slot.failed) {
            continue;
        }
        if (!slot.decoder) {
            slot.decoder = factory_ ? factory_(why) : nullptr;
            if (!slot.decoder) {
                slot.failed = true;
                continue;
            }
        }
        ok = slot.decoder->Decode(offset, out, why);
        done = true;
    }
    if (!done) {
        Slot& slot = slots_[0];
        const std::lock_guard lock(slot.mutex);
        ok = slot.decoder->Decode(offset, out, why);
    }
    if (!ok) {
        const std::lock_guard lock(cacheMutex_);
        lastError_ = why;
    }
    return ok;
}

ContainerImage::Bytes ContainerImage::FindLocked(std::uint64_t start, bool touch) const {
    for (Block& b : blocks_) {
        if (b.start == start) {
            if (touch) {
                b.used = ++clock_;
            }
            return b.bytes;
        }
    }
    return nullptr;
}

void ContainerImage::KeepLocked(std::uint64_t start, Bytes bytes) const {
    Block* target = &blocks_.front();
    for (Block& b : blocks_) {
        if (b.start == start) {
            // The other thread decoded it meanwhile.
            target = &b;
            break;
        }
        if (b.used < target->used) {
            target = &b;
        }
    }
    // Nobody else holds the evicted block's bytes once the cache's is the
    // only reference (copies are made under this lock): its buffer serves
    // again.
    if (target->bytes && target->bytes != bytes && target->bytes.use_count() == 1 &&
        spare_.size() < kAhead + 2) {
        spare_.push_back(std::move(target->bytes));
    }
    target->start = start;
    target->bytes = std::move(bytes);
    target->used = ++clock_;
}

void ContainerImage::Keep(std::uint64_t start, Bytes bytes) const {
    const std::lock_guard lock(cacheMutex_);
    KeepLocked(start, std::move(bytes));
}

ContainerImage::Bytes ContainerImage::CachedBlock(std::uint64_t start) const {
    std::unique_lock lock(cacheMutex_);
    // A reader that walks on from one block to the next will want the
    // blocks after it: have them decoded while it parses this one. The file
    // enumeration walks the $MFT downwards, from its last record to 0.
    if (start != recent_.front()) {
        const auto seen = [this](std::uint64_t block) {
            return std::find(recent_.begin(), recent_.end(), block) != recent_.end();
        };
        if (start >= kBlockSize && seen(start - kBlockSize)) {
            QueueAheadLocked(start, true);
        } else if (start + kBlockSize < size_ && seen(start + kBlockSize)) {
            QueueAheadLocked(start, false);
        }
        auto end = std::find(recent_.begin(), recent_.end(), start);
        if (end == recent_.end()) {
            --end;
        }
        std::move_backward(recent_.begin(), end, end + 1);
        recent_.front() = start;
    }
    for (;;) {
        if (Bytes bytes = FindLocked(start, true)) {
            return bytes;
        }
        if (std::find(pending_.begin(), pending_.end(), start) == pending_.end()) {
            return nullptr;
        }
        changed_.wait(lock);
    }
}

void ContainerImage::QueueAheadLocked(std::uint64_t start, bool upwards) const {
    for (std::size_t k = 1; k <= kAhead; ++k) {
        const std::uint64_t step = k * kBlockSize;
        if (upwards ? start + step >= size_ : start < step) {
            break;
        }
        const std::uint64_t next = upwards ? start + step : start - step;
        if (FindLocked(next, false) ||
            std::find(pending_.begin(), pending_.end(), next) != pending_.end()) {
            continue;
        }
        queue_.push_back(next);
        pending_.push_back(next);
    }
    if (!ahead_[0].joinable() && !queue_.empty()) {
        for (std::size_t i = 0; i < aheadThreads_; ++i) {
            ahead_[i] = std::thread([this] { DecodeAhead(); });
        }
    }
    changed_.notify_all();
}

void ContainerImage::DecodeAhead() const {
    std::unique_lock lock(cacheMutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) {
            return;
        }
        const std::uint64_t start = queue_.front();
        queue_.pop_front();
        lock.unlock();
        Bytes fresh = NewBuffer();
        // A block that fails here is left to the reader, which decodes it
        // again and finds where the damage starts.
        const bool ok = Decode(start, std::span(fresh.get(), BlockBytes(start)));
        lock.lock();
        if (ok) {
            KeepLocked(start, std::move(fresh));
        }
        pending_.erase(std::find(pending_.begin(), pending_.end(), start));
        changed_.notify_all();
    }
}

ContainerImage::Bytes ContainerImage::NewBuffer() const {
    {
        const std::lock_guard lock(cacheMutex_);
        if (!spare_.empty()) {
            Bytes bytes = std::move(spare_.back());
            spare_.pop_back();
            return bytes;
        }
    }
    return std::make_shared_for_overwrite<std::byte[]>(kBlockSize);
}

std::size_t ContainerImage::BlockBytes(std::uint64_t start) const {
    return static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, size_ - start));
}

std::size_t ContainerImage::ReadUncached(std::uint64_t offset, std::span<std::byte> out) const {
    if (Decode(offset, out)) {
        return out.size();
    }
    // Find where the damage starts, a sector at a time, so that the bytes
    // before it still read, as they would from a disk with a bad sector.
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t pos = offset + done;
        const std::size_t n =
            std::min(out.size() - done, static_cast<std::size_t>(kSector - pos % kSector));
        if (!Decode(pos, out.subspan(done, n))) {
            break;
        }
        done += n;
    }
    return done;
}

std::size_t ContainerImage::Read(std::uint64_t offset, std::span<std::byte> out) const {
    if (offset >= size_ || out.empty()) {
        return 0;
    }
    const std::uint64_t avail = size_ - offset;
    const std::size_t want = out.size() < avail ? out.size() : static_cast<std::size_t>(avail);
    // The walk of the $MFT reads a mebibyte of records at a time on every
    // core. With a decoder that several threads share, such a read is
    // decoded straight into the reader's buffer on the reader's thread: the
    // walkers side by side keep the cores busy without threads decoding
    // ahead, and no byte is copied again out of the cache. A read that
    // fails goes the cached way, which finds where the damage starts.
    if (want >= kDirectRead && slots_[0].decoder->concurrent() && Decode(offset, out.first(want))) {
        return want;
    }
    std::size_t done = 0;
    while (done < want) {
        const std::uint64_t pos = offset + done;
        const std::uint64_t start = pos / kBlockSize * kBlockSize;
        const std::size_t valid = BlockBytes(start);
        const auto into = static_cast<std::size_t>(pos - start);
        const std::size_t n = std::min(valid - into, want - done);
        Bytes bytes = CachedBlock(start);
        if (!bytes) {
            Bytes fresh = NewBuffer();
            if (Decode(start, std::span(fresh.get(), valid))) {
                bytes = fresh;
                Keep(start, std::move(fresh));
            }
        }
        if (!bytes) {
            // Part of the block cannot be decoded; it need not be the part
            // asked for.
            const std::size_t got = ReadUncached(pos, out.subspan(done, n));
            done += got;
            if (got < n) {
                break;
            }
            continue;
        }
        std::memcpy(out.data() + done, bytes.get() + into, n);
        done += n;
    }
    return done;
}

} // namespace lorvex::platform

#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace lorvex::platform {

// How containers are opened.
struct ContainerOptions {
    // Read the files a VMDK names outside its descriptor's folder: an extent
    // named by an absolute path or in another folder, a link that leads out
    // of the folder, a block device, and the data file an embedded
    // descriptor names when it is not the image itself. Evidence chooses
    // these names; unless the user allows it, such a VMDK is refused.
    bool allowOutsideExtents = false;
};

// One open handle of a container library: decodes bytes of the disk the
// container holds. Not safe to use from two threads at once; ContainerImage
// guards it.
class ContainerDecoder {
  public:
    virtual ~ContainerDecoder() = default;
    // Fills `out` with the disk's bytes from `offset`, all of them or none:
    // false, with the library's reason in `why`, when any byte of the range
    // cannot be decoded.
    virtual bool Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) = 0;
    // Whether Decode may be called from several threads at once: the
    // decoder then guards its library handle itself, holding it for only
    // part of the work, and one handle serves every thread.
    [[nodiscard]] virtual bool concurrent() const { return false; }
};

// A disk held in a container format (an EnCase image set, a VHD or VHDX, a
// VMDK, a qcow2), recognised by its content and decoded through its library.
// Reads are cached in blocks: the scan reads the $MFT in long runs of a few
// MiB, from up to two threads, and decoding (decompressing, for EnCase) is the
// slow part, so every block is decoded once while it is in use, and a second
// library handle is opened for a second thread instead of queueing it behind
// the first (unless the decoder serves several threads itself). Once reads
// walk on from block to block, the next few blocks are decoded ahead on
// threads of the image's own, beside the reader's parsing: one, or two when
// the decoder serves several threads at once. Such a decoder (EnCase's) also
// decodes a long read straight into the reader's buffer, on the reader's
// thread, without the cache.
class ContainerImage {
  public:
    // Opens a new handle on the same files; nullptr with the reason in `why`.
    using DecoderFactory = std::function<std::unique_ptr<ContainerDecoder>(std::string& why)>;

    ContainerImage(const ContainerImage&) = delete;
    ContainerImage& operator=(const ContainerImage&) = delete;
    ~ContainerImage();

    // Whether `path` is a container at all: a regular file whose content
    // carries one of the formats' signatures. Names never count.
    static bool IsContainer(const std::string& path);

    // Opens the container at `path` read-only. nullptr with an empty `why`
    // when `path` is no container (a raw image or a device); nullptr with
    // the reason, for people, when it is one that cannot be read (a missing
    // segment or extent, a backing file, encryption, damage).
    static std::unique_ptr<ContainerImage> Open(const std::string& path, std::string& why,
                                                const ContainerOptions& options = {});

    // Every file the source at `path` names, whether or not it opens: the
    // source itself; for an EnCase set every file of its folder that the
    // set's segment naming gives; for a VMDK its descriptor and every extent
    // it names; the parent of a differencing VHD or VHDX, the backing file
    // of a qcow2, a delta VMDK's parent. None of them may be written to.
    static std::vector<std::string> NamedFiles(const std::string& path);

    // The files a VMDK at `path` reads only when outside extents are allowed
    // (see ContainerOptions); empty for any other source, and for a VMDK
    // that allowing them would not open either.
    static std::vector<std::string> OutsideFiles(const std::string& path);

    // The same cache over a decoder of another kind: a layer that decodes a
    // region of a source rather than a file (a BitLocker volume decrypted).
    static std::unique_ptr<ContainerImage> FromDecoder(std::string format, std::uint64_t size,
                                                       std::vector<std::string> files,
                                                       std::unique_ptr<ContainerDecoder> decoder,
                                                       DecoderFactory factory = nullptr);

    // "EnCase", "VHD", "VHDX", "VMDK" or "qcow2"; "BitLocker" for a
    // decrypted volume.
    [[nodiscard]] const std::string& format() const { return format_; }
    // The decoded disk's size in bytes.
    [[nodiscard]] std::uint64_t size() const { return size_; }
    // Every file the disk is read from: segments, extents, the descriptor.
    [[nodiscard]] const std::vector<std::string>& files() const { return files_; }

    // Copies up to out.size() bytes of the disk from `offset`; returns the
    // number copied: short at the end of the disk, or at the first byte that
    // cannot be decoded (a damaged chunk reads as a failure, never as
    // zeros). Safe to call from several threads at once.
    std::size_t Read(std::uint64_t offset, std::span<std::byte> out) const;

    // The library's reason for the last read that stopped short.
    [[nodiscard]] std::string lastError() const;

    static constexpr std::size_t kBlockSize = std::size_t{1} << 20;
    // Reads this long are decoded straight into the reader's buffer when
    // the decoder serves several threads at once (see Read).
    static constexpr std::size_t kDirectRead = std::size_t{256} << 10;
    // Two threads' reads of up to 8 MiB each, with room for the small reads
    // (index blocks, the bitmap) between them.
    static constexpr std::size_t kBlocks = 24;
    static constexpr std::size_t kMaxDecoders = 2;
    // Blocks decoded ahead of a reader that walks on, either way.
    static constexpr std::size_t kAhead = 4;
    static constexpr std::size_t kMaxAheadThreads = 2;

  private:
    ContainerImage(std::string format, std::uint64_t size, std::vector<std::string> files,
                   std::unique_ptr<ContainerDecoder> first, DecoderFactory factory);

    struct Block {
        std::uint64_t start = UINT64_MAX;
        std::uint64_t used = 0;
        std::shared_ptr<std::byte[]> bytes; // kBlockSize bytes, `size` of them decoded
    };
    // One library handle. The first is opened with the image; the second
    // only when a read finds the first busy.
    struct Slot {
        std::mutex mutex;
        std::unique_ptr<ContainerDecoder> decoder;
        bool failed = false; // could not be opened: not tried again
    };

    using Bytes = std::shared_ptr<std::byte[]>;

    bool Decode(std::uint64_t offset, std::span<std::byte> out) const;
    // With cacheMutex_ held: the cached bytes of a block, or null.
    Bytes FindLocked(std::uint64_t start, bool touch) const;
    void KeepLocked(std::uint64_t start, Bytes bytes) const;
    // The block's bytes from the cache, waiting for it when it is being
    // decoded ahead; null when it must be decoded now.
    Bytes CachedBlock(std::uint64_t start) const;
    void Keep(std::uint64_t start, Bytes bytes) const;
    // With cacheMutex_ held: queues the blocks after `start` (or before it,
    // for a reader walking downwards) for the thread that decodes ahead,
    // starting it the first time.
    void QueueAheadLocked(std::uint64_t start, bool upwards) const;
    void DecodeAhead() const;
    std::size_t BlockBytes(std::uint64_t start) const;
    // A block's buffer: one the cache let go of when there is one. Blocks
    // come and go a thousand times a GiB; fresh ones cost a page fault per
    // page and zeroing.
    Bytes NewBuffer() const;
    std::size_t ReadUncached(std::uint64_t offset, std::span<std::byte> out) const;

    std::string format_;
    std::uint64_t size_ = 0;
    std::vector<std::string> files_;
    DecoderFactory factory_;

    mutable std::mutex cacheMutex_; // everything below but slots_ and ahead_
    mutable std::array<Block, kBlocks> blocks_;
    mutable std::vector<Bytes> spare_; // buffers of blocks let go of, no longer read
    mutable std::uint64_t clock_ = 0;
    mutable std::string lastError_;
    // The last blocks reads began in, newest first: two threads each walking
    // on are both seen to.
    mutable std::array<std::uint64_t, 4> recent_{UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX};
    mutable std::deque<std::uint64_t> queue_;    // blocks to decode ahead
    mutable std::vector<std::uint64_t> pending_; // queued or being decoded ahead
    mutable std::condition_variable changed_;    // queue_ or pending_ changed, or stop_
    mutable bool stop_ = false;
    mutable std::array<Slot, kMaxDecoders> slots_;
    // Started on the first walk from block to block.
    mutable std::array<std::thread, kMaxAheadThreads> ahead_;
    std::size_t aheadThreads_ = 1;
};

} // namespace lorvex::platform

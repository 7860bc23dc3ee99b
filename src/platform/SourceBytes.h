#pragma once

#include "platform/ContainerImage.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace lorvex::platform {

// Reads `out` from `fd` at `at` until it is full, the file ends or a read
// fails (an interrupted one is tried again); the bytes read.
std::size_t ReadFully(int fd, std::uint64_t at, std::span<std::byte> out);

// A read-only window onto one region of a source (an image file, a disk in a
// container such as an EnCase set, a VHD(X), a VMDK or a qcow2, or a block
// device): a partition, or the whole source. Reads never leave the region and
// never leave the source, whatever a partition table claims.
class SourceBytes {
  public:
    SourceBytes(const SourceBytes&) = delete;
    SourceBytes& operator=(const SourceBytes&) = delete;
    ~SourceBytes();

    // Opens `path` read-only and limits reads to [offset, offset + length),
    // cut at the end of the source. A container is recognised by its content
    // and read through its library; offsets are then on the disk it holds.
    // errno-style failure in `error` (a Windows error number); nullptr on
    // failure. `image`, when given, is the container already open on `path`
    // and is read instead of opening it again. `raw` reads the source as the
    // bytes it holds, whatever container signature they carry: the reading
    // the probe chose for it (see ProbeSource).
    static std::unique_ptr<SourceBytes> Open(const std::string& path, std::uint64_t offset,
                                             std::uint64_t length, std::uint32_t& error,
                                             std::shared_ptr<const ContainerImage> image = nullptr,
                                             bool raw = false);

    // The whole of a decoded layer that is no file of its own (a BitLocker
    // volume, decrypted from a region of a source below it).
    static std::unique_ptr<SourceBytes> Over(std::shared_ptr<const ContainerImage> image);

    [[nodiscard]] std::uint64_t size() const { return length_; }

    // Copies up to out.size() bytes from `offset` of the region; returns the
    // number copied (short at the end of the region, or where the source
    // stopped answering: a read error, a file cut short meanwhile, a damaged
    // chunk of a container). Safe to call from several threads at once.
    std::size_t Read(std::uint64_t offset, std::span<std::byte> out) const;

    // As Read, but keeps no block of the source: a look at a boot sector of
    // a region that may never be read again costs those bytes alone.
    std::size_t Peek(std::uint64_t offset, std::span<std::byte> out) const;

    // Tells the kernel that [offset, offset + length) of the region is to be
    // read soon, so that the storage works on it while the caller parses
    // what it has; a hint, which may be ignored.
    void WillNeed(std::uint64_t offset, std::uint64_t length) const;

    // The size of one read-ahead block.
    static constexpr std::size_t kBlockSize = std::size_t{1} << 20;

  private:
    SourceBytes() = default;

    // One aligned block of the source as last read; `valid` bytes of it
    // (fewer than a block at the end of the source or after a short read).
    // Its room is never zeroed and never more than the region holds from
    // its start: a source opened for a few small reads (a probe, a small
    // volume) would otherwise fill megabytes it never reads.
    struct Block {
        std::uint64_t start = UINT64_MAX; // source offset, a multiple of kBlockSize
        std::size_t valid = 0;
        std::uint64_t used = 0; // the clock of its last use
        std::unique_ptr<std::byte[]> bytes;
        std::size_t room = 0; // the bytes `bytes` holds
    };
    static constexpr std::size_t kBlocks = 4;

    std::size_t ReadDirect(std::uint64_t at, std::span<std::byte> out) const;
    std::size_t ReadCached(std::uint64_t at, std::span<std::byte> out) const;

    int fd_ = -1; // -1 over a decoded layer
    // Set for a container or a decoded layer: reads go to it instead of fd_.
    std::shared_ptr<const ContainerImage> image_;
    std::uint64_t offset_ = 0;
    std::uint64_t length_ = 0;
    mutable std::mutex mutex_;
    mutable std::array<Block, kBlocks> blocks_;
    mutable std::uint64_t clock_ = 0;
};

// Opens a source for reading only: a regular file or a block device. Anything
// else (a FIFO, a character device, a socket, a directory) is refused before a
// read could block on it. The descriptor, or -1 with the errno in `err` and a
// text for people in `why`.
int OpenSourceReadOnly(const std::string& path, int& err, std::string& why);

// The size of a regular file or block device in bytes, or nullopt-like 0 with
// ok == false when it cannot be told.
std::uint64_t SourceSize(int fd, bool& ok);

} // namespace lorvex::platform

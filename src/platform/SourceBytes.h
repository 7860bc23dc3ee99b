#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace lorvex::platform {

// A read-only window onto one region of a source (an image file or a block
// device): a partition, or the whole source. Reads never leave the region and
// never leave the source, whatever a partition table claims.
class SourceBytes {
  public:
    SourceBytes(const SourceBytes&) = delete;
    SourceBytes& operator=(const SourceBytes&) = delete;
    ~SourceBytes();

    // Opens `path` read-only and limits reads to [offset, offset + length),
    // cut at the end of the source. errno-style failure in `error` (a Windows
    // error number); nullptr on failure.
    static std::unique_ptr<SourceBytes> Open(const std::string& path, std::uint64_t offset,
                                             std::uint64_t length, std::uint32_t& error);

    [[nodiscard]] std::uint64_t size() const { return length_; }

    // Copies up to out.size() bytes from `offset` of the region; returns the
    // number copied (short at the end of the region, 0 on an I/O error).
    std::size_t Read(std::uint64_t offset, std::span<std::byte> out) const;

    // Whether reads come from a memory map (image files) or pread (devices).
    [[nodiscard]] bool mapped() const { return map_ != nullptr; }

  private:
    SourceBytes() = default;

    int fd_ = -1;
    std::uint64_t offset_ = 0;
    std::uint64_t length_ = 0;
    void* map_ = nullptr; // start of the mapping, page-aligned
    std::size_t mapLength_ = 0;
    const std::byte* region_ = nullptr; // first byte of the region inside the map
};

// The size of a regular file or block device in bytes, or nullopt-like 0 with
// ok == false when it cannot be told.
std::uint64_t SourceSize(int fd, bool& ok);

} // namespace lorvex::platform

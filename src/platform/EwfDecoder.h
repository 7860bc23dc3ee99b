#pragma once

#include "platform/ContainerImage.h"
#include "platform/EwfChunkTables.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace lorvex::platform {

// One libewf handle on an EnCase image set. libewf finds each chunk and
// hands over its stored bytes; the inflating (or, for a chunk stored plain,
// the checksum) is done here, outside the handle, so that several threads
// decode at once through one handle: it is held only while the stored bytes
// are copied out, a small part of the time. A chunk this cannot decode
// (libdeflate refuses it, its checksum fails, its size is unusual) is read
// the library's own way, so that whatever libewf reads still reads, and
// whatever it finds damaged is a failed read. A chunk whose table gives it
// more stored bytes than any writer stores one in is damaged too, and never
// asked for: the library would copy all of them (see EwfChunkTables).
class EwfDecoder final : public ContainerDecoder {
  public:
    EwfDecoder(const EwfDecoder&) = delete;
    EwfDecoder& operator=(const EwfDecoder&) = delete;
    ~EwfDecoder() override;

    // Opens the segments `files` (all of a set, in order); nullptr with the
    // library's reason in `why`.
    static std::unique_ptr<EwfDecoder> Open(const std::vector<std::string>& files,
                                            std::string& why);

    // Whether the segments found do not make up a whole set: one missing
    // after the last found, or the last cut short.
    bool Incomplete();
    // The size of the disk the set holds; false with the library's reason.
    bool Size(std::uint64_t& size, std::string& why) const;

    bool Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) override;
    [[nodiscard]] bool concurrent() const override { return true; }

    // How the chunks decoded so far were decoded.
    struct Counts {
        std::uint64_t inflated = 0; // compressed, inflated here
        std::uint64_t checked = 0;  // stored plain, checksum checked here
        std::uint64_t library = 0;  // left to the library
    };
    [[nodiscard]] Counts counts() const;

  private:
    EwfDecoder() = default;

    // One chunk's stored bytes, copied out under the handle.
    struct Stored {
        std::uint64_t index = 0;
        std::size_t at = 0; // in the caller's staging buffer
        std::size_t size = 0;
        bool compressed = false;
        bool usable = false; // false: leave the chunk to the library
        std::string damage;  // why it is not asked for at all
        std::uint32_t checksum = 0;
    };

    // With mutex_ held: the chunks first..last's stored bytes, appended to
    // `staging`.
    void FetchLocked(std::uint64_t first, std::uint64_t last, std::vector<std::byte>& staging,
                     std::vector<Stored>& chunks);
    // With mutex_ held: whether chunk `index` may be asked of the library;
    // false with the reason.
    bool StoredSizeFitsLocked(std::uint64_t index, std::string& why);
    // With mutex_ held: the library's own read of the range, failing on any
    // chunk it finds damaged.
    bool LibraryReadLocked(std::uint64_t offset, std::span<std::byte> out, std::string& why);
    // The chunk's bytes from what was stored, exactly `out.size()` of them;
    // false when they cannot be had here.
    bool Unpack(const Stored& chunk, std::span<const std::byte> stored,
                std::span<std::byte> out) const;

    std::mutex mutex_; // the handle, landing_, libraryChunks_
    intptr_t* handle_ = nullptr;
    std::uint64_t mediaSize_ = 0;
    std::string sizeError_; // why mediaSize_ is not known
    std::uint64_t chunkSize_ = 0;
    std::uint64_t bytesPerSector_ = 512;
    std::unique_ptr<EwfChunkTables> tables_;
    // Where the library copies a chunk's stored bytes. It copies a
    // compressed chunk whole whatever the buffer's size, and a damaged table
    // can make one up to 4 GiB long. Such a chunk is never asked for
    // (tables_), but should the library ever see a chunk otherwise, address
    // space for all of it is reserved (pages are only backed once written). Null when the
    // reservation failed or the chunks are of no usual size: every chunk is
    // then the library's.
    std::byte* landing_ = nullptr;
    std::size_t landingSize_ = 0;
    // Chunks once left to the library, sorted: they stay its. (For a chunk
    // it could not read at all it keeps zeros in its cache, which its chunk
    // copy would then read past.)
    std::vector<std::uint64_t> libraryChunks_;

    mutable std::atomic<std::uint64_t> inflated_{0};
    mutable std::atomic<std::uint64_t> checked_{0};
    mutable std::atomic<std::uint64_t> library_{0};
};

} // namespace lorvex::platform

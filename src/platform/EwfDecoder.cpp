#include "platform/EwfDecoder.h"

#include "ondisk/EwfSections.h"
#include "platform/LibyalError.h"

#include <libdeflate.h>
#include <libewf.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <sys/mman.h>

namespace lorvex::platform {

namespace {

std::string EwfError(intptr_t*& e) {
    return TakeLibyalError<libewf_error_backtrace_sprint, libewf_error_free>(e);
}

// The library copies a chunk's stored bytes up to the size its table gives,
// which is 32 bits wide.
constexpr std::size_t kLandingSize = (std::size_t{1} << 32) + 65536;

// The stored bytes copied out under the handle at a time, about: the
// staging buffer stays near this whatever the range asked for.
constexpr std::uint64_t kStagingBytes = std::uint64_t{2} << 20;

// Chunks are 32 KiB as EnCase and libewf write them; a set whose header
// says more than this is read the library's way alone.
constexpr std::uint64_t kLargestChunk = std::uint64_t{16} << 20;

// The largest chunks a writer makes: 32768 sectors of 4096 bytes. A set
// whose header says more is refused: its chunks' stored sizes could not be
// told from damage.
constexpr std::uint64_t kLargestAnyChunk = std::uint64_t{128} << 20;

// libdeflate's decompressors serve one thread at a time; each thread that
// decodes keeps one.
struct FreeDecompressor {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

libdeflate_decompressor* ThreadDecompressor() {
    thread_local const std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

} // namespace

EwfDecoder::~EwfDecoder() {
    if (handle_ != nullptr) {
        libewf_handle_close(handle_, nullptr);
        libewf_handle_free(&handle_, nullptr);
    }
    if (landing_ != nullptr) {
        ::munmap(landing_, landingSize_);
    }
}

std::unique_ptr<EwfDecoder> EwfDecoder::Open(const std::vector<std::string>& files,
                                             std::string& why) {
    std::unique_ptr<EwfDecoder> d(new EwfDecoder());
    libewf_error_t* error = nullptr;
    if (libewf_handle_initialize(&d->handle_, &error) != 1) {
        why = EwfError(error);
        return nullptr;
    }
    std::vector<char*> names;
    names.reserve(files.size());
    for (const auto& f : files) {
        names.push_back(const_cast<char*>(f.c_str()));
    }
    if (libewf_handle_open(d->handle_, names.data(), static_cast<int>(names.size()),
                           LIBEWF_OPEN_READ, &error) != 1) {
        why = EwfError(error);
        libewf_handle_free(&d->handle_, nullptr);
        d->handle_ = nullptr;
        return nullptr;
    }
    // An incomplete set may not say its size; the caller asks for the set's
    // state first.
    size64_t media = 0;
    if (libewf_handle_get_media_size(d->handle_, &media, &error) == 1) {
        d->mediaSize_ = media;
    } else {
        d->sizeError_ = EwfError(error);
    }
    std::uint32_t bytesPerSector = 0;
    if (libewf_handle_get_bytes_per_sector(d->handle_, &bytesPerSector, nullptr) == 1 &&
        bytesPerSector != 0) {
        d->bytesPerSector_ = bytesPerSector;
    }
    size32_t chunkSize = 0;
    if (libewf_handle_get_chunk_size(d->handle_, &chunkSize, nullptr) == 1) {
        d->chunkSize_ = chunkSize;
    }
    if (d->chunkSize_ == 0 || d->chunkSize_ > kLargestAnyChunk) {
        why = d->chunkSize_ == 0 ? std::string("its header gives no chunk size")
                                 : "its header gives chunks of " + std::to_string(d->chunkSize_) +
                                       " bytes, more than the 128 MiB any writer makes";
        return nullptr;
    }
    const std::uint64_t chunks = (d->mediaSize_ + d->chunkSize_ - 1) / d->chunkSize_;
    d->tables_ = EwfChunkTables::Read(files, chunks, d->chunkSize_, why);
    if (!d->tables_) {
        return nullptr;
    }
    if (d->chunkSize_ <= kLargestChunk) {
        void* landing = ::mmap(nullptr, kLandingSize, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (landing != MAP_FAILED) {
            d->landing_ = static_cast<std::byte*>(landing);
            d->landingSize_ = kLandingSize;
        }
    }
    return d;
}

bool EwfDecoder::Incomplete() {
    const std::lock_guard lock(mutex_);
    return libewf_handle_segment_files_corrupted(handle_, nullptr) == 1;
}

bool EwfDecoder::Size(std::uint64_t& size, std::string& why) const {
    if (!sizeError_.empty()) {
        why = sizeError_;
        return false;
    }
    size = mediaSize_;
    return true;
}

EwfDecoder::Counts EwfDecoder::counts() const {
    return {inflated_.load(std::memory_order_relaxed), checked_.load(std::memory_order_relaxed),
            library_.load(std::memory_order_relaxed)};
}

bool EwfDecoder::StoredSizeFitsLocked(std::uint64_t index, std::string& why) {
    std::string reason;
    if (tables_->Fits(index, reason)) {
        return true;
    }
    const std::uint64_t first = index * chunkSize_ / bytesPerSector_;
    const std::uint64_t end =
        (std::min(mediaSize_, (index + 1) * chunkSize_) + bytesPerSector_ - 1) / bytesPerSector_;
    why = "chunk " + std::to_string(index) + " (sectors " + std::to_string(first) + " to " +
          std::to_string(end > first ? end - 1 : first) + ") " + reason;
    return false;
}

bool EwfDecoder::LibraryReadLocked(std::uint64_t offset, std::span<std::byte> out,
                                   std::string& why) {
    libewf_error_t* error = nullptr;
    std::size_t done = 0;
    // A read may come back short: the library is asked again for the rest,
    // and a read that makes no progress is a failure of the whole range.
    while (done < out.size()) {
        const ssize_t n = libewf_handle_read_random(handle_, out.data() + done, out.size() - done,
                                                    static_cast<off64_t>(offset + done), &error);
        if (n <= 0) {
            why = error != nullptr ? EwfError(error) : "the image ends early";
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    // A chunk that fails its checksum is handed back all the same, its
    // sectors only noted in a list (once: a chunk read again comes from the
    // library's cache). Here bytes from such a chunk are a failed read,
    // never data.
    std::uint32_t count = 0;
    libewf_handle_get_number_of_checksum_errors(handle_, &count, nullptr);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint64_t sector = 0;
        std::uint64_t sectors = 0;
        if (libewf_handle_get_checksum_error(handle_, i, &sector, &sectors, nullptr) != 1) {
            continue;
        }
        const std::uint64_t first = sector * bytesPerSector_;
        const std::uint64_t end = (sector + sectors) * bytesPerSector_;
        if (first < offset + out.size() && end > offset) {
            why = "damaged chunk: sectors " + std::to_string(sector) + " to " +
                  std::to_string(sector + sectors - 1) + " fail their checksum";
            return false;
        }
    }
    return true;
}

void EwfDecoder::FetchLocked(std::uint64_t first, std::uint64_t last,
                             std::vector<std::byte>& staging, std::vector<Stored>& chunks) {
    // Pages of the landing zone past this are touched only by an outsized
    // chunk (no writer stores one near it) and are given back after it.
    const std::size_t usual = static_cast<std::size_t>(2 * chunkSize_ + 4096) & ~std::size_t{4095};
    for (std::uint64_t index = first; index <= last; ++index) {
        Stored chunk;
        chunk.index = index;
        const std::uint64_t start = index * chunkSize_;
        const auto length = static_cast<std::size_t>(std::min(chunkSize_, mediaSize_ - start));
        libewf_error_t* error = nullptr;
        std::int8_t compressed = 0;
        std::int8_t checksumApart = 0;
        std::uint32_t checksum = 0;
        // Never right after the landing zone's data, so a plain chunk's
        // checksum always comes apart, in `checksum`.
        std::array<std::byte, 4> checksumBytes{};
        ssize_t n = -1;
        if (!StoredSizeFitsLocked(index, chunk.damage)) {
            chunks.push_back(std::move(chunk));
            continue;
        }
        if (!std::binary_search(libraryChunks_.begin(), libraryChunks_.end(), index) &&
            libewf_handle_seek_offset(handle_, static_cast<off64_t>(start), SEEK_SET, &error) ==
                static_cast<off64_t>(start)) {
            n = libewf_handle_read_chunk(handle_, landing_, landingSize_, &compressed,
                                         checksumBytes.data(), &checksum, &checksumApart, &error);
        }
        if (error != nullptr) {
            libewf_error_free(&error);
        }
        if (n > 0) {
            const auto got = static_cast<std::size_t>(n);
            if (got > usual) {
                ::madvise(landing_ + usual, landingSize_ - usual, MADV_DONTNEED);
            }
            chunk.compressed = compressed != 0;
            // A compressed chunk larger than its data is none a writer
            // keeps (it stores such a chunk plain); a plain one is its data
            // and the checksum.
            if (chunk.compressed) {
                chunk.size = got;
                chunk.usable = got <= ondisk::ewf::LargestStoredChunk(chunkSize_);
            } else {
                chunk.size = length;
                chunk.checksum = checksum;
                chunk.usable = checksumApart != 0 && got == length + sizeof(std::uint32_t);
            }
        }
        if (chunk.usable) {
            chunk.at = staging.size();
            staging.insert(staging.end(), landing_, landing_ + chunk.size);
        }
        chunks.push_back(std::move(chunk));
    }
}

bool EwfDecoder::Unpack(const Stored& chunk, std::span<const std::byte> stored,
                        std::span<std::byte> out) const {
    if (chunk.compressed) {
        libdeflate_decompressor* decompressor = ThreadDecompressor();
        if (decompressor == nullptr) {
            return false;
        }
        // zlib's stream, its Adler-32 checked; what follows the stream's
        // end is ignored, as the library's zlib does.
        std::size_t produced = 0;
        return libdeflate_zlib_decompress(decompressor, stored.data(), stored.size(), out.data(),
                                          out.size(), &produced) == LIBDEFLATE_SUCCESS &&
               produced == out.size();
    }
    if (stored.size() != out.size() ||
        libdeflate_adler32(1, stored.data(), stored.size()) != chunk.checksum) {
        return false;
    }
    std::memcpy(out.data(), stored.data(), out.size());
    return true;
}

bool EwfDecoder::Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) {
    if (out.empty()) {
        return true;
    }
    if (offset >= mediaSize_ || out.size() > mediaSize_ - offset) {
        why = "the image ends early";
        return false;
    }
    if (landing_ == nullptr) {
        // Every chunk is the library's: the range is read whole.
        const std::lock_guard lock(mutex_);
        for (std::uint64_t index = offset / chunkSize_;
             index <= (offset + out.size() - 1) / chunkSize_; ++index) {
            if (!StoredSizeFitsLocked(index, why)) {
                return false;
            }
        }
        return LibraryReadLocked(offset, out, why);
    }
    thread_local std::vector<std::byte> staging;
    thread_local std::vector<Stored> chunks;
    // A chunk the range covers only part of is decoded here whole.
    thread_local std::vector<std::byte> whole;
    const std::uint64_t end = offset + out.size();
    const std::uint64_t first = offset / chunkSize_;
    const std::uint64_t last = (end - 1) / chunkSize_;
    const std::uint64_t perBatch = std::max<std::uint64_t>(1, kStagingBytes / chunkSize_);
    for (std::uint64_t batch = first; batch <= last; batch += perBatch) {
        staging.clear();
        chunks.clear();
        {
            const std::lock_guard lock(mutex_);
            FetchLocked(batch, std::min(last, batch + perBatch - 1), staging, chunks);
        }
        for (const Stored& chunk : chunks) {
            if (!chunk.damage.empty()) {
                why = chunk.damage;
                return false;
            }
            const std::uint64_t start = chunk.index * chunkSize_;
            const auto length = static_cast<std::size_t>(std::min(chunkSize_, mediaSize_ - start));
            const std::uint64_t from = std::max(offset, start);
            const std::uint64_t to = std::min(end, start + length);
            const std::span<std::byte> part = out.subspan(static_cast<std::size_t>(from - offset),
                                                          static_cast<std::size_t>(to - from));
            const bool all = from == start && to == start + length;
            if (!all) {
                whole.resize(length);
            }
            const std::span<std::byte> into = all ? part : std::span(whole);
            if (chunk.usable &&
                Unpack(chunk, std::span(staging).subspan(chunk.at, chunk.size), into)) {
                if (!all) {
                    std::memcpy(part.data(), whole.data() + (from - start), part.size());
                }
                (chunk.compressed ? inflated_ : checked_).fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            library_.fetch_add(1, std::memory_order_relaxed);
            const std::lock_guard lock(mutex_);
            if (const auto at =
                    std::lower_bound(libraryChunks_.begin(), libraryChunks_.end(), chunk.index);
                at == libraryChunks_.end() || *at != chunk.index) {
                libraryChunks_.insert(at, chunk.index);
            }
            if (!LibraryReadLocked(from, part, why)) {
                return false;
            }
        }
    }
    return true;
}

} // namespace lorvex::platform

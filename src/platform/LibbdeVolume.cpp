#include "platform/LibbdeVolume.h"

#include "platform/LibyalError.h"

#include <libbde.h>
#include <libbfio.h>

#include <cstdio>

namespace lorvex::platform {

namespace {

std::string BdeError(intptr_t*& e) {
    return TakeLibyalError<libbde_error_backtrace_sprint, libbde_error_free>(e);
}

// The region as libbfio sees a file: reads at a position it seeks to.
struct Region {
    RegionReader read;
    std::uint64_t size = 0;
    std::uint64_t position = 0;
    bool open = false;
};

Region* AsRegion(intptr_t* handle) {
    return reinterpret_cast<Region*>(handle);
}

int FreeRegion(intptr_t** handle, libbfio_error_t** /*error*/) {
    delete AsRegion(*handle);
    *handle = nullptr;
    return 1;
}

int CloneRegion(intptr_t** to, intptr_t* from, libbfio_error_t** /*error*/) {
    auto* copy = new Region(*AsRegion(from));
    copy->open = false;
    *to = reinterpret_cast<intptr_t*>(copy);
    return 1;
}

int OpenRegion(intptr_t* handle, int flags, libbfio_error_t** /*error*/) {
    // Reading only: a write could never reach the source anyway.
    if ((flags & LIBBFIO_ACCESS_FLAG_WRITE) != 0) {
        return -1;
    }
    AsRegion(handle)->open = true;
    return 1;
}

int CloseRegion(intptr_t* handle, libbfio_error_t** /*error*/) {
    AsRegion(handle)->open = false;
    return 0;
}

ssize_t ReadRegion(intptr_t* handle, uint8_t* buffer, size_t size, libbfio_error_t** /*error*/) {
    Region* r = AsRegion(handle);
    if (r->position >= r->size) {
        return 0;
    }
    const std::size_t n =
        r->read(r->position, std::span(reinterpret_cast<std::byte*>(buffer), size));
    r->position += n;
    return n == 0 && size > 0 ? -1 : static_cast<ssize_t>(n);
}

ssize_t WriteRegion(intptr_t* /*handle*/, const uint8_t* /*buffer*/, size_t /*size*/,
                    libbfio_error_t** /*error*/) {
    return -1;
}

off64_t SeekRegion(intptr_t* handle, off64_t offset, int whence, libbfio_error_t** /*error*/) {
    Region* r = AsRegion(handle);
    off64_t base = 0;
    if (whence == SEEK_CUR) {
        base = static_cast<off64_t>(r->position);
    } else if (whence == SEEK_END) {
        base = static_cast<off64_t>(r->size);
    } else if (whence != SEEK_SET) {
        return -1;
    }
    if ((offset < 0 && -offset > base) || offset > INT64_MAX - base) {
        return -1;
    }
    r->position = static_cast<std::uint64_t>(base + offset);
    return static_cast<off64_t>(r->position);
}

int RegionExists(intptr_t* /*handle*/, libbfio_error_t** /*error*/) {
    return 1;
}

int RegionIsOpen(intptr_t* handle, libbfio_error_t** /*error*/) {
    return AsRegion(handle)->open ? 1 : 0;
}

int RegionSize(intptr_t* handle, size64_t* size, libbfio_error_t** /*error*/) {
    *size = AsRegion(handle)->size;
    return 1;
}

} // namespace

LibbdeVolume::~LibbdeVolume() {
    auto* volume = reinterpret_cast<libbde_volume_t*>(volume_);
    if (volume != nullptr) {
        libbde_volume_close(volume, nullptr);
        libbde_volume_free(&volume, nullptr);
    }
    auto* io = reinterpret_cast<libbfio_handle_t*>(io_);
    if (io != nullptr) {
        libbfio_handle_free(&io, nullptr);
    }
}

std::unique_ptr<LibbdeVolume> LibbdeVolume::Open(RegionReader read, std::uint64_t size,
                                                 std::uint16_t method,
                                                 std::span<const std::uint8_t> volumeKey,
                                                 std::string& why) {
    namespace m = ondisk::fve::method;
    // libbde takes the diffuser's two keys apart; XTS's two halves as one.
    std::span<const std::uint8_t> key = volumeKey;
    std::span<const std::uint8_t> tweak;
    const std::size_t need = ondisk::VolumeKeyBytes(method);
    if (need == 0 || volumeKey.size() < need) {
        why = "no volume key for its cipher";
        return nullptr;
    }
    if (method == m::kAesCbc128Diffuser || method == m::kAesCbc256Diffuser) {
        const std::size_t half = method == m::kAesCbc128Diffuser ? 16 : 32;
        key = volumeKey.first(half);
        tweak = volumeKey.subspan(32, half);
    } else if (method == m::kAesXts256) {
        key = volumeKey.first(32);
        tweak = volumeKey.subspan(32, 32);
    } else {
        key = volumeKey.first(need);
    }

    std::unique_ptr<LibbdeVolume> v(new LibbdeVolume());
    libbfio_handle_t* io = nullptr;
    auto* region = new Region{std::move(read), size, 0, false};
    if (libbfio_handle_initialize(
            &io, reinterpret_cast<intptr_t*>(region), FreeRegion, CloneRegion, OpenRegion,
            CloseRegion, ReadRegion, WriteRegion, SeekRegion, RegionExists, RegionIsOpen,
            RegionSize, LIBBFIO_FLAG_IO_HANDLE_MANAGED | LIBBFIO_FLAG_IO_HANDLE_CLONE_BY_FUNCTION,
            nullptr) != 1) {
        delete region;
        why = "libbde: cannot make a handle on the volume";
        return nullptr;
    }
    v->io_ = reinterpret_cast<intptr_t*>(io);
    libbde_volume_t* volume = nullptr;
    libbde_error_t* error = nullptr;
    if (libbde_volume_initialize(&volume, &error) != 1) {
        why = "libbde: " + BdeError(error);
        return nullptr;
    }
    v->volume_ = reinterpret_cast<intptr_t*>(volume);
    // Without a tweak key it still wants somewhere to point.
    static constexpr std::uint8_t kNoTweak[1] = {0};
    if (libbde_volume_set_keys(volume, key.data(), key.size(),
                               tweak.empty() ? kNoTweak : tweak.data(), tweak.size(),
                               &error) != 1) {
        why = "libbde: " + BdeError(error);
        return nullptr;
    }
    if (libbde_volume_open_file_io_handle(volume, io, LIBBDE_OPEN_READ, &error) != 1) {
        why = "libbde: " + (error != nullptr ? BdeError(error) : std::string("it stays locked"));
        return nullptr;
    }
    if (libbde_volume_is_locked(volume, &error) != 0) {
        if (error != nullptr) {
            libbde_error_free(&error);
        }
        why = "libbde: the volume key does not unlock it";
        return nullptr;
    }
    return v;
}

bool LibbdeVolume::Read(std::uint64_t offset, std::span<std::byte> out, std::string& why) {
    const std::lock_guard lock(mutex_);
    auto* volume = reinterpret_cast<libbde_volume_t*>(volume_);
    std::size_t done = 0;
    while (done < out.size()) {
        libbde_error_t* error = nullptr;
        const ssize_t n =
            libbde_volume_read_buffer_at_offset(volume, out.data() + done, out.size() - done,
                                                static_cast<off64_t>(offset + done), &error);
        if (n <= 0) {
            why =
                "libbde: " + (error != nullptr ? BdeError(error) : std::string("read stops short"));
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace lorvex::platform

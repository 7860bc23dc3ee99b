#pragma once

#include "platform/BitLockerVolume.h"
#include "platform/ContainerImage.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace lorvex::platform {

// A BitLocker volume as libbde reads it: the library reads the region through
// a handle of ours, so that it works on any region of any source (a
// partition, a disk in a container), never on a path of its own. One handle
// is not safe to share: each object guards its own.
class LibbdeVolume {
  public:
    LibbdeVolume(const LibbdeVolume&) = delete;
    LibbdeVolume& operator=(const LibbdeVolume&) = delete;
    ~LibbdeVolume();

    // Opens the volume in the region with its volume key as stored (the key
    // of `method`), which libbde takes without stretching a password again.
    // nullptr with libbde's reason when it cannot open the volume (some
    // volumes Windows writes are newer than it knows) or the key does not
    // unlock it.
    static std::unique_ptr<LibbdeVolume> Open(RegionReader read, std::uint64_t size,
                                              std::uint16_t method,
                                              std::span<const std::uint8_t> volumeKey,
                                              std::string& why);

    // The decrypted volume's bytes from `offset`, all of them or none (with
    // the library's reason).
    bool Read(std::uint64_t offset, std::span<std::byte> out, std::string& why);

  private:
    LibbdeVolume() = default;

    std::mutex mutex_;
    intptr_t* volume_ = nullptr; // libbde_volume_t
    intptr_t* io_ = nullptr;     // libbfio_handle_t over the region
};

// libbde as the decoder of a decrypted volume's blocks, one handle a thread.
class LibbdeDecoder final : public ContainerDecoder {
  public:
    explicit LibbdeDecoder(std::unique_ptr<LibbdeVolume> volume) : volume_(std::move(volume)) {}
    bool Decode(std::uint64_t offset, std::span<std::byte> out, std::string& why) override {
        return volume_->Read(offset, out, why);
    }

  private:
    std::unique_ptr<LibbdeVolume> volume_;
};

} // namespace lorvex::platform

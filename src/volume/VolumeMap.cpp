#include "volume/VolumeMap.h"

#include "ondisk/ByteReader.h"
#include "volume/VolumeData.h"
#include "volume/VolumeUtils.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace lorvex::volume {

namespace {

// Opens the device of a drive and closes it again on every way out; a drive
// without a device path gives a handle that is not open.
class DeviceHandle {
  public:
    DeviceHandle(platform::VolumeApi& api, std::string_view driveRoot) : FApi(api) {
        const std::string device = GetVolumeDevicePath(api, driveRoot);
        if (!device.empty()) {
            FHandle = api.CreateFile(device);
        }
    }
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;
    ~DeviceHandle() {
        if (IsOpen()) {
            FApi.CloseHandle(FHandle);
        }
    }
    [[nodiscard]] bool IsOpen() const { return FHandle != platform::kInvalidHandle; }
    [[nodiscard]] platform::Handle Get() const { return FHandle; }

  private:
    platform::VolumeApi& FApi;
    platform::Handle FHandle = platform::kInvalidHandle;
};

} // namespace

std::int64_t QueryClusterCount(platform::VolumeApi& api, std::string_view driveRoot,
                               std::uint32_t& bytesPerCluster) {
    DeviceHandle handle(api, driveRoot);
    if (!handle.IsOpen()) {
        return 0;
    }
    namespace vd = platform::volumedata;
    std::array<std::byte, vd::kSize> data{};
    std::uint32_t returned = 0;
    if (!api.DeviceIoControl(handle.Get(), platform::kFsctlGetNtfsVolumeData, {}, data,
                             &returned) ||
        returned < vd::kSize) {
        return 0;
    }
    const NtfsVolumeData answer = DecodeVolumeData(data);
    if (answer.totalClusters <= 0) {
        return 0;
    }
    bytesPerCluster = answer.bytesPerCluster;
    return answer.totalClusters;
}

std::int64_t QueryClustersOnSource(platform::VolumeApi& api, std::string_view driveRoot,
                                   std::int64_t totalClusters, std::uint32_t bytesPerCluster) {
    if (totalClusters <= 0 || bytesPerCluster == 0) {
        return 0;
    }
    DeviceHandle handle(api, driveRoot);
    if (!handle.IsOpen()) {
        return 0;
    }
    const std::int64_t cluster = bytesPerCluster;
    const std::int64_t total =
        std::min(totalClusters, std::numeric_limits<std::int64_t>::max() / cluster);
    std::array<std::byte, 512> sector{};
    const auto present = [&](std::int64_t lcn) {
        std::uint32_t read = 0;
        return api.SetFilePointerEx(handle.Get(), lcn * cluster) &&
               api.ReadFile(handle.Get(), sector, &read) && read > 0;
    };
    if (present(total - 1)) {
        return total;
    }
    if (!present(0)) {
        return 0;
    }
    // Cluster `good` has bytes, cluster `gone` has none.
    std::int64_t good = 0;
    std::int64_t gone = total - 1;
    while (gone - good > 1) {
        const std::int64_t mid = good + (gone - good) / 2;
        (present(mid) ? good : gone) = mid;
    }
    return good + 1;
}

bool ReadVolumeBitmap(platform::VolumeApi& api, std::string_view driveRoot,
                      std::span<std::uint8_t> bits) {
    namespace vb = platform::volumebitmap;
    DeviceHandle handle(api, driveRoot);
    if (!handle.IsOpen()) {
        return false;
    }
    constexpr std::size_t kChunk = std::size_t{8} << 20;
    std::vector<std::byte> buffer(std::min(bits.size(), kChunk) + vb::kBuffer);
    std::size_t done = 0;
    while (done < bits.size()) {
        std::array<std::byte, vb::kInputSize> input{};
        ondisk::StoreLE(input, vb::kStartingLcn, static_cast<std::uint64_t>(done) * 8, 8);
        std::uint32_t returned = 0;
        if (!api.DeviceIoControl(handle.Get(), platform::kFsctlGetVolumeBitmap, input, buffer,
                                 &returned) &&
            api.GetLastError() != platform::error::kMoreData) {
            // What came before stays: a bitmap unreadable past some point
            // still shows the clusters it did answer for.
            return done > 0;
        }
        const ondisk::ByteReader reader(buffer);
        // An answer that does not start where it was asked would shift
        // every cluster after it.
        if (returned <= vb::kBuffer ||
            reader.i64(vb::kStartingLcn).value_or(-1) != static_cast<std::int64_t>(done) * 8) {
            return done > 0;
        }
        const std::size_t delivered = std::min<std::size_t>(
            std::min<std::size_t>(returned, buffer.size()) - vb::kBuffer, bits.size() - done);
        std::memcpy(bits.data() + done, buffer.data() + vb::kBuffer, delivered);
        done += delivered;
        if (returned - vb::kBuffer < buffer.size() - vb::kBuffer) {
            break; // the volume's bitmap ends here
        }
    }
    return true;
}

} // namespace lorvex::volume

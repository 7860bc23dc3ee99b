// A whole volume image through the volume layer (partition tables, the boot
// sector, the $MFT found through its own runs, the bitmaps) and every scan
// stage, the export, the lookups and the raw reads of the reports: what
// lorvex-scan and the window do with a source.
//
// Input: either the raw image, or a sparse one, which keeps the seeds of
// real volumes small: "LVXS", the image size (4 bytes, at most kMaxImage),
// then pieces of an offset (4 bytes), a length (2 bytes) and that many bytes,
// laid over zeros. tools/fuzz-seeds writes the seeds in this form.
#include "FuzzCommon.h"

#include "ondisk/ByteReader.h"
#include "platform/RawVolumeSystem.h"

#include <array>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

using namespace lorvex;

namespace {

constexpr std::size_t kMaxImage = 16U << 20;
constexpr std::size_t kMaxDrives = 4;

// The image in a file of its own that lives in memory, named by a path the
// volume layer can open like any image file.
class MemoryImage {
  public:
    MemoryImage() : fd_(memfd_create("lorvex-fuzz-volume", MFD_CLOEXEC)) {}
    MemoryImage(const MemoryImage&) = delete;
    MemoryImage& operator=(const MemoryImage&) = delete;
    ~MemoryImage() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    bool Resize(std::size_t size) const {
        return fd_ >= 0 && ftruncate(fd_, static_cast<off_t>(size)) == 0;
    }
    void Write(std::size_t offset, std::span<const std::byte> bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = pwrite(fd_, bytes.data() + done, bytes.size() - done,
                                     static_cast<off_t>(offset + done));
            if (n <= 0) {
                return;
            }
            done += static_cast<std::size_t>(n);
        }
    }
    [[nodiscard]] std::string Path() const { return "/proc/self/fd/" + std::to_string(fd_); }

  private:
    int fd_;
};

bool Lay(const MemoryImage& image, std::span<const std::uint8_t> input) {
    constexpr std::string_view kMagic = "LVXS";
    if (input.size() < kMagic.size() ||
        std::memcmp(input.data(), kMagic.data(), kMagic.size()) != 0) {
        if (!image.Resize(input.size())) {
            return false;
        }
        image.Write(0, std::as_bytes(input));
        return true;
    }
    fuzz::InputReader in(input.subspan(kMagic.size()));
    const std::size_t size = std::min<std::size_t>(in.Take(4), kMaxImage);
    if (!image.Resize(size)) {
        return false;
    }
    for (;;) {
        const auto offset = static_cast<std::size_t>(in.Take(4));
        const auto length = static_cast<std::size_t>(in.Take(2));
        const auto bytes = in.Bytes(length);
        if (bytes.empty()) {
            return true;
        }
        if (offset < size) {
            image.Write(offset, bytes.first(std::min(bytes.size(), size - offset)));
        }
    }
}

// The volume bitmap query from its first cluster and from the middle, into
// an area too small for a large volume's answer.
void QueryBitmap(platform::VolumeApi& api, const ntfs::NtfsVolume& volume) {
    const platform::Handle handle = api.CreateFile(volume.devicePath());
    if (handle == platform::kInvalidHandle) {
        return;
    }
    std::vector<std::byte> out(platform::volumebitmap::kBuffer + 4096);
    for (const std::int64_t start :
         {std::int64_t{0}, volume.geometry().totalClusters / 2, volume.geometry().totalClusters - 1,
          volume.geometry().totalClusters}) {
        std::array<std::byte, platform::volumebitmap::kInputSize> in{};
        ondisk::StoreLE(in, 0, static_cast<std::uint64_t>(start), 8);
        std::uint32_t returned = 0;
        api.DeviceIoControl(handle, platform::kFsctlGetVolumeBitmap, in, out, &returned);
        fuzz::Check(returned <= out.size(), "the bitmap answer fits its area");
    }
    api.CloseHandle(handle);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const MemoryImage image;
    if (!Lay(image, {data, size})) {
        return 0;
    }
    platform::RawVolumeSystem system({image.Path()});
    for (std::size_t d = 0; d < system.drives().size() && d < kMaxDrives; ++d) {
        const char letter = system.drives()[d].letter;
        ntfs::NtfsVolume volume(system, std::string(1, letter));
        if (ntfs::RecordReader records = volume.OpenRecordReader(); records.IsOpen()) {
            for (std::int64_t n = 0; n < 16; ++n) {
                fuzz::ExerciseRecord(records, n);
            }
        }
        fuzz::ExerciseScan(volume);
        QueryBitmap(system, volume);
        std::vector<std::byte> cluster(volume.geometry().bytesPerCluster);
        for (const std::int64_t lcn :
             {std::int64_t{0}, volume.geometry().mftStartLcn, volume.geometry().totalClusters - 1,
              volume.geometry().totalClusters}) {
            volume.ReadCluster(cluster, lcn);
        }
    }
    return 0;
}

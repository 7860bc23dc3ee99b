#include "cli/VolumeBitmap.h"

#include "ntfs/Health.h"

namespace lorvex::cli {

std::span<const std::uint64_t> VolumeBitmap::Words() {
    if (!read_) {
        words_ = ntfs::ReadBitmapWords(api_, driveRoot_, totalClusters_);
        read_ = true;
    }
    return words_;
}

std::span<const std::uint8_t> VolumeBitmap::Bytes() {
    const auto words = Words();
    if (words.empty()) {
        return {};
    }
    static_assert(std::endian::native == std::endian::little,
                  "the bitmap's words are read as its bytes");
    return {reinterpret_cast<const std::uint8_t*>(words.data()),
            static_cast<std::size_t>((totalClusters_ + 7) / 8)};
}

} // namespace lorvex::cli

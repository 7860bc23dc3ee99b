#include "ntfs/DeletedRecords.h"

#include "ondisk/Attribute.h"
#include "ondisk/FileRecord.h"

#include <algorithm>

namespace lorvex::ntfs {

namespace {

// The $MFT's bitmap is read whole; past this it is not read at all (a
// volume of 2^33 records, far more than any real one).
constexpr std::int64_t kMaxBitmapBytes = std::int64_t{1} << 30;

} // namespace

BrokenRecordCheck::BrokenRecordCheck(NtfsVolume& volume, RecordReader& records) : volume_(volume) {
    const VolumeGeometry& g = volume.geometry();
    if (!g.HasRecords() || g.bytesPerCluster == 0) {
        return;
    }
    cluster_.resize(g.bytesPerCluster);
    record_.resize(g.bytesPerRecord);
    const auto mft = records.Read(0);
    if (!mft || !mft->valid()) {
        return;
    }
    auto walk = ondisk::WalkRecordAttributes(mft->bytes());
    while (const auto attribute = walk.Next()) {
        if (ondisk::AttributeNameLength(attribute->bytes) != 0) {
            continue;
        }
        if (attribute->type == ondisk::type::kData) {
            if (const auto header = ondisk::DecodeNonResident(attribute->bytes)) {
                ondisk::AppendExtents(*header, g.bytesPerCluster, mft_);
            }
        } else if (attribute->type == ondisk::type::kBitmap && bitmap_.empty()) {
            ReadBitmap(records, attribute->bytes);
        }
    }
}

void BrokenRecordCheck::ReadBitmap(RecordReader& records, std::span<const std::byte> attribute) {
    const std::int64_t wanted = (volume_.geometry().recordCount + 7) / 8;
    if (ondisk::IsResident(attribute)) {
        const auto value = ondisk::ResidentValue(attribute);
        if (static_cast<std::int64_t>(value.size()) >= wanted) {
            bitmap_.assign(value.begin(), value.end());
        }
        return;
    }
    const auto header = ondisk::DecodeNonResident(attribute);
    if (!header || header->lowestVcn != 0 || wanted > kMaxBitmapBytes ||
        header->dataSize < wanted) {
        return;
    }
    bitmap_.resize(static_cast<std::size_t>(wanted));
    if (records.ReadRunData(header->runList, bitmap_) != bitmap_.size()) {
        bitmap_.clear();
    }
}

bool BrokenRecordCheck::MarkedInUse(std::int64_t number) const {
    const auto at = static_cast<std::size_t>(number / 8);
    return number >= 0 && at < bitmap_.size() &&
           (std::to_integer<unsigned>(bitmap_[at]) >> (number % 8) & 1U) != 0;
}

bool BrokenRecordCheck::IsBrokenFreeRecord(std::int64_t number) {
    const auto at = static_cast<std::size_t>(number / 8);
    if (number < 0 || (!bitmap_.empty() && at >= bitmap_.size())) {
        return false;
    }
    if (!bitmap_.empty() && (std::to_integer<unsigned>(bitmap_[at]) >> (number % 8) & 1U) != 0) {
        return false;
    }
    if (!ReadRaw(number) || !ondisk::HasFileSignature(record_)) {
        return false;
    }
    return ondisk::ApplyFixups(record_) != ondisk::FixupResult::Ok;
}

bool BrokenRecordCheck::ReadRaw(std::int64_t number) {
    const VolumeGeometry& g = volume_.geometry();
    if (record_.empty() || number >= g.recordCount) {
        return false;
    }
    const auto clusterSize = static_cast<std::int64_t>(g.bytesPerCluster);
    const auto size = static_cast<std::int64_t>(record_.size());
    for (std::int64_t done = 0; done < size;) {
        const std::int64_t pos = number * size + done;
        const std::int64_t vcn = pos / clusterSize;
        const auto extent = std::ranges::find_if(mft_, [vcn](const ondisk::Extent& e) {
            return !e.sparse && vcn >= e.vcn && vcn - e.vcn < e.length;
        });
        if (extent == mft_.end()) {
            return false;
        }
        std::int64_t lcn = 0;
        if (__builtin_add_overflow(extent->lcn, vcn - extent->vcn, &lcn) || lcn < 0 ||
            lcn >= g.totalClusters) {
            return false;
        }
        if (lcn != clusterLcn_) {
            // A cluster that cannot be read stays zeros, which hold no record.
            std::ranges::fill(cluster_, std::byte{0});
            volume_.ReadCluster(cluster_, lcn);
            clusterLcn_ = lcn;
        }
        const std::int64_t inCluster = pos % clusterSize;
        const std::int64_t take = std::min(clusterSize - inCluster, size - done);
        std::copy_n(cluster_.begin() + inCluster, take, record_.begin() + done);
        done += take;
    }
    return true;
}

} // namespace lorvex::ntfs

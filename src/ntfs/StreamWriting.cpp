// WriteStream: a laid-out stream's bytes, in order, to a sink.
#include "ntfs/Lznt1.h"
#include "ntfs/StreamExtraction.h"

#include <algorithm>

namespace lorvex::ntfs {

namespace {

// The bytes read and handed on at a time: large enough that a contiguous
// file reads at the device's pace, small enough that the stop flag is seen
// at once.
constexpr std::size_t kChunk = std::size_t{1} << 20;

class StreamWriter {
  public:
    StreamWriter(const StreamLayout& layout, const ondisk::StreamVolume& volume,
                 const ondisk::ClusterReader& read, const ByteSink& sink,
                 const ExtractionOptions& options)
        : layout_(layout), volume_(volume), read_(read), sink_(sink), options_(options),
          cluster_(static_cast<std::uint64_t>(std::max<std::int64_t>(volume.bytesPerCluster, 0))) {}

    ExtractionResult Run() {
        if (layout_.dataSize < 0) {
            return Fail(ExtractionStatus::kDamaged, "the stream's header gives a negative size");
        }
        size_ = static_cast<std::uint64_t>(layout_.dataSize);
        result_.size = size_;
        if (size_ > options_.limit) {
            return Fail(ExtractionStatus::kTooLarge,
                        "the stream claims " + std::to_string(size_) + " bytes, more than the " +
                            std::to_string(options_.limit) + " asked for");
        }
        // Past the data size nothing is the stream's, whatever the header
        // says is initialized.
        initialized_ = std::min(
            size_, static_cast<std::uint64_t>(std::max<std::int64_t>(layout_.initializedSize, 0)));
        if (layout_.resident) {
            WriteResident();
        } else if (cluster_ == 0) {
            return Fail(ExtractionStatus::kDamaged, "the volume has no cluster size");
        } else if (layout_.compressionUnit != 0) {
            WriteCompressed();
        } else {
            WritePlain();
        }
        return std::move(result_);
    }

  private:
    ExtractionResult Fail(ExtractionStatus status, std::string reason) {
        result_.status = status;
        result_.reason = std::move(reason);
        return std::move(result_);
    }

    // False once the extraction has ended (stopped, or the sink refused).
    bool Emit(std::span<std::byte> bytes) {
        // Past the initialized size the file system returns zeros, whatever
        // the clusters hold.
        const std::uint64_t pos = result_.written;
        if (pos + bytes.size() > initialized_) {
            const std::uint64_t from = initialized_ > pos ? initialized_ - pos : 0;
            std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(), std::byte{0});
        }
        if (!sink_(bytes)) {
            Fail(ExtractionStatus::kSinkFailed, "the bytes could not be written");
            return false;
        }
        result_.written += bytes.size();
        if (options_.progress) {
            const int percent = size_ == 0
                                    ? 100
                                    : static_cast<int>(100 * (static_cast<double>(result_.written) /
                                                              static_cast<double>(size_)));
            if (percent != lastPercent_) {
                lastPercent_ = percent;
                options_.progress(percent);
            }
        }
        if (options_.stop != nullptr && options_.stop->load(std::memory_order_relaxed)) {
            Fail(ExtractionStatus::kStopped, "the extraction was stopped");
            return false;
        }
        return true;
    }

    void WriteResident() {
        std::vector<std::byte> value = layout_.value;
        value.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size_, value.size())));
        if (!Emit(value) || result_.written == size_) {
            return;
        }
        // A size past the value the record holds: the rest is no one's
        // bytes, written as zeros a chunk at a time, never as one buffer.
        Unread(result_.written, size_ - result_.written, "the record holds less of the value");
        std::vector<std::byte> zeros(kChunk);
        while (result_.written < size_) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size_ - result_.written));
            if (!Emit(std::span(zeros).first(n))) {
                return;
            }
        }
    }

    void WritePlain() {
        std::vector<std::byte> buffer(
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size_)));
        while (result_.written < size_) {
            const std::uint64_t pos = result_.written;
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size_ - pos));
            const auto out = std::span(buffer).first(n);
            ReadOrZero(pos, out.first(Readable(pos, n)));
            if (!Emit(out)) {
                return;
            }
        }
    }

    // Of `n` bytes from `pos`, how many lie below the initialized size: the
    // rest are never read.
    [[nodiscard]] std::size_t Readable(std::uint64_t pos, std::size_t n) const {
        return pos >= initialized_
                   ? 0
                   : static_cast<std::size_t>(std::min<std::uint64_t>(n, initialized_ - pos));
    }

    // Reads bytes [pos, pos + out.size()) of the stream's runs, with what
    // cannot be read as zeros and named as unread.
    void ReadOrZero(std::uint64_t pos, std::span<std::byte> out) {
        std::size_t done = 0;
        while (done < out.size()) {
            done +=
                ondisk::ReadStream(layout_.extents, volume_, pos + done, out.subspan(done), read_);
            if (done == out.size()) {
                return;
            }
            std::string reason;
            const std::uint64_t end =
                std::min<std::uint64_t>(FailedUpTo(pos + done, reason), pos + out.size());
            const auto skipped = static_cast<std::size_t>(end - (pos + done));
            std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(done), skipped, std::byte{0});
            Unread(pos + done, skipped, std::move(reason));
            done += skipped;
        }
    }

    // Where the stretch that cannot be read from `at` ends, and why.
    std::uint64_t FailedUpTo(std::uint64_t at, std::string& reason) const {
        const auto vcn = static_cast<std::int64_t>(at / cluster_);
        const ondisk::Extent* e = ondisk::FindExtent(layout_.extents, vcn);
        if (e == nullptr) {
            reason = "no run of the stream covers it";
            const auto next =
                std::upper_bound(layout_.extents.begin(), layout_.extents.end(), vcn,
                                 [](std::int64_t v, const auto& x) { return v < x.vcn; });
            return next == layout_.extents.end() ? size_
                                                 : static_cast<std::uint64_t>(next->vcn) * cluster_;
        }
        const std::int64_t total = volume_.totalClusters;
        const bool onVolume = ondisk::RunBytesFit(e->vcn, e->length, volume_.bytesPerCluster) &&
                              e->lcn >= 0 && e->lcn < total && e->length <= total - e->lcn &&
                              ondisk::RunBytesFit(e->lcn, e->length, volume_.bytesPerCluster);
        if (!onVolume) {
            reason = "its run lies beyond the end of the volume";
            return ondisk::RunBytesFit(e->vcn, e->length, volume_.bytesPerCluster)
                       ? static_cast<std::uint64_t>(e->vcn + e->length) * cluster_
                       : size_;
        }
        reason = "the volume could not be read there";
        return (static_cast<std::uint64_t>(vcn) + 1) * cluster_;
    }

    void Unread(std::uint64_t offset, std::uint64_t length, std::string reason) {
        if (length == 0) {
            return;
        }
        auto& unread = result_.unread;
        if (!unread.empty() && unread.back().offset + unread.back().length == offset &&
            unread.back().reason == reason) {
            unread.back().length += length;
            return;
        }
        unread.push_back({offset, length, std::move(reason)});
    }

    // Of the clusters of compression unit `[vcn, vcn + count)`, those that
    // lie on the disk (neither sparse nor in no run) and those in no run.
    struct UnitClusters {
        std::int64_t stored = 0;
        std::int64_t uncovered = 0;
    };
    [[nodiscard]] UnitClusters CountClusters(std::int64_t vcn, std::int64_t count) const {
        UnitClusters counts;
        const std::int64_t end = vcn + count;
        for (std::int64_t v = vcn; v < end;) {
            const ondisk::Extent* e = ondisk::FindExtent(layout_.extents, v);
            if (e == nullptr) {
                ++counts.uncovered;
                ++v;
                continue;
            }
            const std::int64_t upTo = std::min(end, e->vcn + e->length);
            counts.stored += e->sparse ? 0 : upTo - v;
            v = upTo;
        }
        return counts;
    }

    void WriteCompressed();
    void DecompressUnit(std::uint64_t start, std::int64_t stored, std::span<std::byte> unit);

    const StreamLayout& layout_;
    const ondisk::StreamVolume volume_;
    const ondisk::ClusterReader& read_;
    const ByteSink& sink_;
    const ExtractionOptions& options_;
    const std::uint64_t cluster_;
    std::uint64_t size_ = 0;
    std::uint64_t initialized_ = 0;
    int lastPercent_ = -1;
    ExtractionResult result_;
    std::vector<std::byte> compressed_;
};

void StreamWriter::WriteCompressed() {
    // A unit whose clusters all lie on the disk is stored as it is; one
    // with none holds zeros; one with some holds its LZNT1 chunks in those.
    const std::int64_t clusters = layout_.compressionUnit;
    const std::uint64_t unitBytes = static_cast<std::uint64_t>(clusters) * cluster_;
    std::vector<std::byte> unit(static_cast<std::size_t>(unitBytes));
    while (result_.written < size_) {
        const std::uint64_t start = result_.written;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(unitBytes, size_ - start));
        const auto out = std::span(unit).first(n);
        const auto vcn = static_cast<std::int64_t>(start / cluster_);
        const UnitClusters counts =
            Readable(start, n) == 0 ? UnitClusters{} : CountClusters(vcn, clusters);
        const std::int64_t stored = counts.stored;
        if (stored == 0) {
            // A hole is zeros; a unit no run covers is damage, said so.
            std::fill(out.begin(), out.end(), std::byte{0});
            if (counts.uncovered != 0) {
                Unread(start, n, "no run of the stream covers it");
            }
        } else if (stored == clusters) {
            ReadOrZero(start, out.first(Readable(start, n)));
        } else {
            DecompressUnit(start, stored, unit);
        }
        if (!Emit(out)) {
            return;
        }
    }
}

void StreamWriter::DecompressUnit(std::uint64_t start, std::int64_t stored,
                                  std::span<std::byte> unit) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(unit.size(), size_ - start));
    compressed_.resize(static_cast<std::size_t>(stored) * cluster_);
    std::string why;
    const std::size_t got = ondisk::ReadStream(layout_.extents, volume_, start, compressed_, read_);
    if (got < compressed_.size()) {
        FailedUpTo(start + got, why);
        why = "its compressed clusters cannot be read: " + why;
    } else if (DecompressLznt1(compressed_, unit, why)) {
        return;
    } else {
        why = "the compression unit does not decompress: " + why;
    }
    std::fill(unit.begin(), unit.end(), std::byte{0});
    Unread(start, n, std::move(why));
}

} // namespace

ExtractionResult WriteStream(const StreamLayout& layout, const ondisk::StreamVolume& volume,
                             const ondisk::ClusterReader& read, const ByteSink& sink,
                             const ExtractionOptions& options) {
    return StreamWriter(layout, volume, read, sink, options).Run();
}

} // namespace lorvex::ntfs

#pragma once

#include "ondisk/BootSector.h"
#include "ondisk/NonResident.h"
#include "platform/SourceBytes.h"
#include "volume/VolumeApi.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace lorvex::platform {

// One NTFS volume read from raw bytes: what the file system itself would
// answer to the volume queries. The $MFT is located through its own data
// runs (continued through its attribute list when it has one), and records
// are in use when the $MFT's $BITMAP says so and their update sequence checks.
class NtfsImage {
  public:
    using Extent = ondisk::Extent;

    // nullptr and a Windows error number when the bytes are not a volume we
    // can read: no NTFS boot sector, absurd geometry, an unreadable $MFT.
    static std::unique_ptr<NtfsImage> Open(std::shared_ptr<const SourceBytes> source,
                                           std::uint32_t& error);

    [[nodiscard]] const ondisk::NtfsGeometry& geometry() const { return geometry_; }
    [[nodiscard]] const std::string& label() const { return label_; }
    [[nodiscard]] std::int64_t recordCount() const { return recordCount_; }
    [[nodiscard]] std::int64_t freeClusters() const { return freeClusters_; }
    [[nodiscard]] std::int64_t mftValidDataLength() const { return mftValidDataLength_; }
    [[nodiscard]] std::int64_t mftZoneStart() const { return mftZoneStart_; }
    [[nodiscard]] std::int64_t mftZoneEnd() const { return mftZoneEnd_; }
    [[nodiscard]] const std::vector<Extent>& mftExtents() const { return mft_; }
    [[nodiscard]] const SourceBytes& source() const { return *source_; }

    // The 96-byte volume data record.
    void FillVolumeData(std::span<std::byte> out) const;

    // Copies the in-use record `number`, or the nearest lower one in use,
    // with its update sequence applied, into `out` (one record long) and
    // returns its number; nullopt when no record at or below is in use.
    // A number past the last record answers with the last in use.
    std::optional<std::int64_t> FetchRecord(std::int64_t number, std::span<std::byte> out) const;

    // Record `number` itself into `out` (one record long), update sequence
    // applied, in use or free; kMissing past the table, or when its bytes
    // cannot be read or are no record (no signature, a torn update sequence).
    FileRecordState ReadExactRecord(std::int64_t number, std::span<std::byte> out) const;

    // Records first, first + 1, ... into `out` (readable.size() records),
    // update sequences applied: readable[i] is 1 for each record FetchRecord
    // would answer with for its own number, else 0. Reads the $MFT in a few
    // large reads, not a record at a time; safe from several threads (it
    // keeps nothing of what it finds).
    void ReadRecords(std::int64_t first, std::span<std::byte> out,
                     std::span<std::uint8_t> readable) const;
    // Whether the $MFT's $BITMAP marks `number` in use (nothing is read).
    [[nodiscard]] bool InUse(std::int64_t number) const;

    // The highest record number at or below `number` that the $BITMAP marks
    // in use, or -1.
    [[nodiscard]] std::int64_t HighestInUseAtOrBelow(std::int64_t number) const;

    // Bytes of the cluster allocation bitmap from byte `firstByte`; false when
    // part of it cannot be read (the rest of `out` is then undefined).
    bool ReadClusterBitmap(std::uint64_t firstByte, std::span<std::byte> out) const;

  private:
    explicit NtfsImage(std::shared_ptr<const SourceBytes> source) : source_(std::move(source)) {}

    bool LoadMft(std::uint32_t& error);
    bool LoadMftBitmap();
    void RebuildMftBitmapFromHeaders();
    void LoadLabel();
    void CountFreeClusters();
    void ComputeMftZone();
    // HighestInUseAtOrBelow, passing over the records known to be unreadable
    // when `readableOnly`.
    [[nodiscard]] std::int64_t HighestAtOrBelow(std::int64_t number, bool readableOnly) const;

    // Asks for bytes [pos, pos + length) of a stream to be read ahead.
    void HintStream(const std::vector<Extent>& extents, std::uint64_t pos,
                    std::uint64_t length) const;
    // Reads bytes [pos, pos + out.size()) of a stream laid out by `extents`.
    bool ReadStream(const std::vector<Extent>& extents, std::uint64_t pos,
                    std::span<std::byte> out) const;
    // Record `number` through the $MFT's extents, fixups applied and checked.
    bool ReadRecord(std::int64_t number, std::span<std::byte> out) const;
    // The extents of the unnamed attribute `type` of base record `base`,
    // following its attribute list; also gives the first piece's sizes.
    struct StreamInfo {
        std::vector<Extent> extents;
        std::int64_t dataSize = 0;
        std::int64_t initializedSize = 0;
        bool resident = false;
        std::vector<std::byte> residentValue;
    };
    std::optional<StreamInfo> CollectStream(std::span<const std::byte> baseRecord,
                                            std::int64_t baseNumber, std::uint32_t type,
                                            std::vector<Extent>* growing) const;
    // The first piece's sizes (its value when resident) into `info`, its
    // extents appended to `extents`; false when its header or run list is
    // damaged.
    bool TakeFirstPiece(std::span<const std::byte> attribute, StreamInfo& info,
                        std::vector<Extent>& extents) const;
    // The value of an $ATTRIBUTE_LIST attribute; nothing when its size is
    // refused.
    std::optional<std::vector<std::byte>>
    ReadAttributeList(std::span<const std::byte> attribute) const;
    // Follows the pieces of `type` that the attribute-list value `list`
    // names, from VCN 0 while each continues the one before; false when not
    // even the first could be taken.
    bool FollowPieces(std::span<const std::byte> list, std::span<const std::byte> baseRecord,
                      std::int64_t baseNumber, std::uint32_t type, StreamInfo& info,
                      std::vector<Extent>& extents) const;
    bool ReadNonResident(const std::vector<Extent>& extents, std::int64_t dataSize,
                         std::size_t limit, std::vector<std::byte>& out) const;

    std::shared_ptr<const SourceBytes> source_;
    ondisk::NtfsGeometry geometry_;
    std::string label_;
    std::vector<Extent> mft_;
    std::vector<std::uint64_t> mftBitmap_;
    // Records in use that FetchRecord found unreadable; it alone touches
    // this, from the one thread that reads the volume.
    mutable std::vector<std::uint64_t> unreadable_;
    std::vector<Extent> clusterBitmap_;
    std::int64_t clusterBitmapSize_ = 0;
    std::int64_t recordCount_ = 0;
    std::int64_t freeClusters_ = 0;
    std::int64_t mftValidDataLength_ = 0;
    std::int64_t mftZoneStart_ = 0;
    std::int64_t mftZoneEnd_ = 0;
};

} // namespace lorvex::platform

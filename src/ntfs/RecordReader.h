#pragma once

#include "ntfs/Attributes.h"
#include "ntfs/VolumeGeometry.h"
#include "volume/VolumeApi.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace lorvex::ntfs {

// The first attribute of a real record lies well inside its first KiB, at any
// record size, so this bound holds for larger records too.
inline constexpr std::uint16_t kMaxFirstAttributeOffset = 1023;

// True when the record carries the "FILE" signature and its first-attribute
// offset is at most kMaxFirstAttributeOffset. Every reader treats a record
// that fails this as empty.
bool IsValidRecord(std::span<const std::byte> record);

// One file record as a RecordReader read it. Its bytes stay as they are for
// as long as the view lives, whatever the reader reads meanwhile and even
// after the reader is gone: the view holds them, and the reader reuses only
// bytes no view holds any more.
class RecordView {
  public:
    [[nodiscard]] std::int64_t number() const { return number_; }
    // Whether the file system has it in use. A free record is a deleted
    // file's, or one made ahead of use; only the exact read gives those.
    [[nodiscard]] bool inUse() const { return inUse_; }
    // The whole record, update sequence applied.
    [[nodiscard]] std::span<const std::byte> bytes() const { return bytes_; }
    // IsValidRecord of the bytes.
    [[nodiscard]] bool valid() const { return IsValidRecord(bytes_); }
    // The header's sequence number: how often the record has been reused.
    [[nodiscard]] std::uint16_t sequenceNumber() const;
    // The whole reference to the base record, its sequence number in the top
    // 16 bits; 0 in a base record.
    [[nodiscard]] std::uint64_t baseReference() const;
    // The number of the base record: the record's own for a base record.
    // The whole reference tells a base record (0) from an extension of
    // record 0, the $MFT's own, whose base number is 0 as well.
    [[nodiscard]] std::int64_t baseRecord() const;

  private:
    friend class RecordReader;
    RecordView(std::shared_ptr<const std::vector<std::byte>> buffer,
               std::span<const std::byte> bytes, std::int64_t number, bool inUse)
        : buffer_(std::move(buffer)), bytes_(bytes), number_(number), inUse_(inUse) {}

    std::shared_ptr<const std::vector<std::byte>> buffer_;
    std::span<const std::byte> bytes_;
    std::int64_t number_ = 0;
    bool inUse_ = false;
};

// The file records of one volume through a read handle of the reader's own,
// opened when it is made and closed when it goes. Nothing is written.
// One thread at a time.
class RecordReader {
  public:
    // Opens `devicePath` through `api`; IsOpen() says whether that worked.
    // A geometry without a record size reads no record.
    RecordReader(platform::VolumeApi& api, std::string_view devicePath,
                 const VolumeGeometry& geometry);
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;
    ~RecordReader();

    [[nodiscard]] bool IsOpen() const { return handle_ != platform::kInvalidHandle; }

    // Record `number` itself, in use or free, or nothing: past the table, not
    // readable, or no record. Never another record. Through a volume layer
    // without the exact read (see VolumeApi::ReadExactFileRecord), only
    // records in use are seen.
    std::optional<RecordView> Read(std::int64_t number);
    // The file-record query: record `number` when it is in use, else the
    // nearest lower one in use, so that a walk passes over a stretch of free
    // records in one step; nothing when there is none or the query fails.
    std::optional<RecordView> ReadInUseAtOrBelow(std::int64_t number);
    // Record `number` through the file-record query when it is in use;
    // nothing when it is free or the query fails.
    std::optional<RecordView> ReadInUse(std::int64_t number);

    // Reads the runs of a non-resident value one after another into
    // `buffer`, never past its end; sparse runs read as zeros. The value ends
    // before a run with a byte offset past 63 bits or, unless sparse, a
    // cluster off the volume. Returns the number of bytes delivered.
    std::size_t ReadRunData(std::span<const std::byte> runList, std::span<std::byte> buffer);

    // The volume layer's record blocks, or nullptr when it has none of the
    // volume's record size (the walks then read record by record). They stay
    // usable after the reader is gone.
    [[nodiscard]] std::shared_ptr<const platform::FileRecordBlocks> OpenRecordBlocks();

    // The lists of the report sections (Formatters.h): the attributes and
    // runs of record `recordNo` when it is in use and valid, else none.
    void GetAttributes(TAttributes& attributes, std::int64_t recordNo);
    void GetDataRuns(int attrIndex, TDataRuns& runs, std::int64_t recordNo);
    // The same lists of free records too, for the report on a deleted
    // entry, whose record is free and still reads as it was.
    void ListFreeRecords(bool on) {
        listFree_ = on;
        listed_.reset();
    }

  private:
    [[nodiscard]] bool CanRead() const { return IsOpen() && geometry_.HasRecords(); }
    // Room for a query's answer (its head and one record) that no view holds.
    std::shared_ptr<std::vector<std::byte>> SpareBuffer();
    RecordView MakeView(std::shared_ptr<const std::vector<std::byte>> buffer, std::int64_t number,
                        bool inUse) const;
    bool Query(std::span<std::byte> output, std::int64_t number);
    // The in-use, valid record whose lists are asked for, read once for all
    // its attributes.
    const RecordView* Listed(std::int64_t recordNo);

    platform::VolumeApi& api_;
    const VolumeGeometry geometry_;
    platform::Handle handle_ = platform::kInvalidHandle;
    std::vector<std::shared_ptr<std::vector<std::byte>>> buffers_;
    std::optional<RecordView> listed_;
    std::optional<RecordView> lastAnswer_;
    std::int64_t lastAsked_ = 0;
    bool listFree_ = false;
};

} // namespace lorvex::ntfs

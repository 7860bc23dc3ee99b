#include "ntfs/RecordReader.h"

#include "ondisk/ByteReader.h"
#include "ondisk/FileRecord.h"
#include "ondisk/NonResident.h"
#include "ondisk/RunList.h"
#include "ondisk/StreamReader.h"

#include <algorithm>
#include <array>
#include <limits>

namespace lorvex::ntfs {

namespace fr = platform::filerecord;
using ondisk::ByteReader;

namespace {

// Buffers kept for reuse; a caller holding more views than this at once gets
// fresh ones for the rest, which go with their views.
constexpr std::size_t kKeptBuffers = 4;

} // namespace

bool IsValidRecord(std::span<const std::byte> record) {
    const auto firstAttribute = ByteReader(record).u16(ondisk::record::kFirstAttribute);
    return ondisk::HasFileSignature(record) && firstAttribute &&
           *firstAttribute <= kMaxFirstAttributeOffset;
}

std::uint16_t RecordView::sequenceNumber() const {
    return ByteReader(bytes_).u16(ondisk::record::kSequenceNumber).value_or(0);
}

std::uint64_t RecordView::baseReference() const {
    return ByteReader(bytes_).u64(ondisk::record::kBaseRecord).value_or(0);
}

std::int64_t RecordView::baseRecord() const {
    const ByteReader r(bytes_);
    return baseReference() == 0 ? number_
                                : r.recordNumber48(ondisk::record::kBaseRecord).value_or(0);
}

RecordReader::RecordReader(platform::VolumeApi& api, std::string_view devicePath,
                           const VolumeGeometry& geometry)
    : api_(api), geometry_(geometry) {
    if (!devicePath.empty()) {
        handle_ = api_.CreateFile(devicePath);
    }
}

RecordReader::~RecordReader() {
    if (IsOpen()) {
        api_.CloseHandle(handle_);
    }
}

std::shared_ptr<std::vector<std::byte>> RecordReader::SpareBuffer() {
    for (const auto& buffer : buffers_) {
        if (buffer.use_count() == 1) {
            return buffer;
        }
    }
    auto buffer =
        std::make_shared<std::vector<std::byte>>(fr::kFileRecordBuffer + geometry_.bytesPerRecord);
    if (buffers_.size() < kKeptBuffers) {
        buffers_.push_back(buffer);
    }
    return buffer;
}

RecordView RecordReader::MakeView(std::shared_ptr<const std::vector<std::byte>> buffer,
                                  std::int64_t number, bool inUse) const {
    const auto bytes = std::span(*buffer).subspan(fr::kFileRecordBuffer, geometry_.bytesPerRecord);
    return {std::move(buffer), bytes, number, inUse};
}

bool RecordReader::Query(std::span<std::byte> output, std::int64_t number) {
    std::array<std::byte, fr::kInputSize> input{};
    ondisk::StoreLE(input, 0, static_cast<std::uint64_t>(number), fr::kInputSize);
    std::uint32_t returned = 0;
    return api_.DeviceIoControl(handle_, platform::kFsctlGetNtfsFileRecord, input, output,
                                &returned);
}

std::optional<RecordView> RecordReader::Read(std::int64_t number) {
    if (!CanRead() || number < 0) {
        return std::nullopt;
    }
    auto buffer = SpareBuffer();
    const auto record = std::span(*buffer).subspan(fr::kFileRecordBuffer);
    switch (api_.ReadExactFileRecord(handle_, number, record)) {
    case platform::FileRecordState::kInUse:
        return MakeView(std::move(buffer), number, true);
    case platform::FileRecordState::kFree:
        return MakeView(std::move(buffer), number, false);
    case platform::FileRecordState::kMissing:
        return std::nullopt;
    case platform::FileRecordState::kUnsupported:
        break;
    }
    // The query answers a free number with another record: that one is no
    // answer here.
    if (!Query(*buffer, number) ||
        ByteReader(*buffer).i64(fr::kFileReferenceNumber).value_or(-1) != number) {
        return std::nullopt;
    }
    return MakeView(std::move(buffer), number, true);
}

std::optional<RecordView> RecordReader::ReadInUseAtOrBelow(std::int64_t number) {
    // The table does not change while it is read, and the readers of one
    // file ask for its record several times in a row (its name, its sizes,
    // its runs): those asks are answered from the last answer.
    if (lastAnswer_ && lastAsked_ == number) {
        return lastAnswer_;
    }
    if (!CanRead()) {
        return std::nullopt;
    }
    auto buffer = SpareBuffer();
    if (!Query(*buffer, number)) {
        return std::nullopt;
    }
    const std::int64_t found = ByteReader(*buffer).i64(fr::kFileReferenceNumber).value_or(-1);
    lastAnswer_ = MakeView(std::move(buffer), found, true);
    lastAsked_ = number;
    return lastAnswer_;
}

std::optional<RecordView> RecordReader::ReadInUse(std::int64_t number) {
    auto record = ReadInUseAtOrBelow(number);
    if (!record || record->number() != number) {
        return std::nullopt;
    }
    return record;
}

std::size_t RecordReader::ReadRunData(std::span<const std::byte> runList,
                                      std::span<std::byte> buffer) {
    if (geometry_.bytesPerCluster == 0) {
        return 0;
    }
    // The value ends before the first run that the stream's rules refuse, as
    // the volume layer's streams do.
    std::vector<ondisk::Extent> extents;
    ondisk::AppendExtents(runList, 0, geometry_.bytesPerCluster, extents);
    const auto read = [this](std::uint64_t at, std::span<std::byte> out) -> std::size_t {
        // A read from wherever the position was left would be worse than
        // stopping here.
        std::uint32_t got = 0;
        if (!api_.SetFilePointerEx(handle_, static_cast<std::int64_t>(at)) ||
            !api_.ReadFile(handle_, out, &got)) {
            return 0;
        }
        return std::min<std::size_t>(got, out.size());
    };
    return ondisk::ReadStream(extents, {geometry_.bytesPerCluster, geometry_.totalClusters}, 0,
                              buffer, read);
}

std::shared_ptr<const platform::FileRecordBlocks> RecordReader::OpenRecordBlocks() {
    auto blocks = api_.OpenFileRecordBlocks(handle_);
    if (!blocks || !geometry_.HasRecords() || blocks->recordSize() != geometry_.bytesPerRecord) {
        return nullptr;
    }
    return blocks;
}

const RecordView* RecordReader::Listed(std::int64_t recordNo) {
    if (!listed_ || listed_->number() != recordNo) {
        listed_.reset();
        auto record = Read(recordNo);
        if (record && (record->inUse() || listFree_) && record->valid()) {
            listed_ = std::move(record);
        }
    }
    return listed_ ? &*listed_ : nullptr;
}

void RecordReader::GetAttributes(TAttributes& attributes, std::int64_t recordNo) {
    attributes.Clear();
    if (const RecordView* record = Listed(recordNo)) {
        AppendRecordAttributes(record->bytes(), attributes, [this](auto attribute) {
            return ReadAttributeListValue(
                attribute, [this](auto runList, auto out) { return ReadRunData(runList, out); });
        });
    }
}

void RecordReader::GetDataRuns(int attrIndex, TDataRuns& runs, std::int64_t recordNo) {
    runs.Clear();
    if (const RecordView* record = Listed(recordNo)) {
        AppendRecordDataRuns(record->bytes(), attrIndex, runs);
    }
}

} // namespace lorvex::ntfs

#pragma once

// File records laid out byte by byte for the tests of the attribute and
// file-table readers: sound ones, and damaged ones by editing the bytes.

#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordReader.h"
#include "ondisk/Attribute.h"
#include "ondisk/AttributeList.h"
#include "ondisk/ByteReader.h"
#include "ondisk/FileName.h"
#include "ondisk/StandardInformation.h"
#include "support/FakeVolumeApi.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lorvex::test {

using Bytes = std::vector<std::byte>;

inline void PutLE(Bytes& b, std::size_t at, std::uint64_t value, std::size_t width) {
    if (b.size() < at + width) {
        b.resize(at + width);
    }
    ondisk::StoreLE(b, at, value, width);
}

inline void PutName(Bytes& b, std::size_t at, std::u16string_view name) {
    for (std::size_t i = 0; i < name.size(); ++i) {
        PutLE(b, at + 2 * i, name[i], 2);
    }
}

inline Bytes FileNameValue(std::uint64_t parent, std::u16string_view name,
                           std::uint8_t nameSpace = 1, std::uint32_t flags = 0x20,
                           std::int64_t allocated = 0, std::int64_t size = 0) {
    namespace f = ondisk::filename;
    Bytes v(f::kName + 2 * name.size());
    PutLE(v, f::kParent, parent, 8);
    PutLE(v, f::kAllocatedSize, static_cast<std::uint64_t>(allocated), 8);
    PutLE(v, f::kDataSize, static_cast<std::uint64_t>(size), 8);
    PutLE(v, f::kFileAttributes, flags, 4);
    PutLE(v, f::kNameLength, name.size(), 1);
    PutLE(v, f::kNamespace, nameSpace, 1);
    PutName(v, f::kName, name);
    return v;
}

inline Bytes StandardInformationValue(std::int64_t created, std::int64_t modified,
                                      std::int64_t accessed, std::uint32_t flags) {
    namespace s = ondisk::stdinfo;
    Bytes v(0x48);
    PutLE(v, s::kCreationTime, static_cast<std::uint64_t>(created), 8);
    PutLE(v, s::kModificationTime, static_cast<std::uint64_t>(modified), 8);
    PutLE(v, s::kAccessTime, static_cast<std::uint64_t>(accessed), 8);
    PutLE(v, s::kFileAttributes, flags, 4);
    return v;
}

struct ListEntry {
    std::uint32_t type;
    std::uint64_t record; // the whole reference
    std::uint16_t id;
};

inline Bytes AttributeListValue(const std::vector<ListEntry>& entries) {
    namespace le = ondisk::listentry;
    Bytes v;
    for (const auto& e : entries) {
        const std::size_t at = v.size();
        PutLE(v, at + le::kType, e.type, 4);
        PutLE(v, at + le::kLength, 0x20, 2);
        PutLE(v, at + le::kRecord, e.record, 8);
        PutLE(v, at + le::kId, e.id, 2);
        v.resize(at + 0x20);
    }
    return v;
}

// A record of `size` bytes whose attributes are appended in order; End()
// writes the end marker.
class RecordBuilder {
  public:
    explicit RecordBuilder(std::size_t size = 1024, std::uint64_t baseReference = 0,
                           std::uint16_t flags = 0x0001)
        : bytes_(MakeFileRecord(size, baseReference, kFirst, flags)) {}

    RecordBuilder& Resident(std::uint32_t type, std::uint16_t id, const Bytes& value,
                            std::u16string_view name = {}) {
        namespace a = ondisk::attr;
        const std::size_t valueAt = Align(a::kResidentHeader + 2 * name.size());
        Bytes attr(Align(valueAt + value.size()));
        Header(attr, type, id, 0, name, a::kResidentHeader);
        PutLE(attr, a::kValueLength, value.size(), 4);
        PutLE(attr, a::kValueOffset, valueAt, 2);
        std::copy(value.begin(), value.end(), attr.begin() + static_cast<std::ptrdiff_t>(valueAt));
        return Append(attr);
    }

    RecordBuilder& NonResident(std::uint32_t type, std::uint16_t id, const Bytes& runList,
                               std::int64_t allocated, std::int64_t dataSize,
                               std::u16string_view name = {}, std::int64_t lowestVcn = 0) {
        namespace a = ondisk::attr;
        const std::size_t runsAt = Align(a::kNonResidentHeader + 2 * name.size());
        Bytes attr(Align(runsAt + runList.size()));
        Header(attr, type, id, 1, name, a::kNonResidentHeader);
        PutLE(attr, a::kLowestVcn, static_cast<std::uint64_t>(lowestVcn), 8);
        PutLE(attr, a::kRunListOffset, runsAt, 2);
        PutLE(attr, a::kAllocatedSize, static_cast<std::uint64_t>(allocated), 8);
        PutLE(attr, a::kDataSize, static_cast<std::uint64_t>(dataSize), 8);
        PutLE(attr, a::kInitializedSize, static_cast<std::uint64_t>(dataSize), 8);
        std::copy(runList.begin(), runList.end(),
                  attr.begin() + static_cast<std::ptrdiff_t>(runsAt));
        return Append(attr);
    }

    // Where the next attribute goes.
    [[nodiscard]] std::size_t Position() const { return pos_; }

    Bytes End() {
        PutLE(bytes_, pos_, ondisk::attr::kEndMarker, 4);
        return bytes_;
    }
    // The bytes without an end marker.
    [[nodiscard]] const Bytes& Raw() const { return bytes_; }

    static constexpr std::uint16_t kFirst = 0x38;

  private:
    static std::size_t Align(std::size_t n) { return (n + 7) / 8 * 8; }

    static void Header(Bytes& attr, std::uint32_t type, std::uint16_t id, std::uint8_t nonResident,
                       std::u16string_view name, std::size_t nameAt) {
        namespace a = ondisk::attr;
        PutLE(attr, a::kType, type, 4);
        PutLE(attr, a::kLength, attr.size(), 4);
        PutLE(attr, a::kNonResident, nonResident, 1);
        PutLE(attr, a::kNameLength, name.size(), 1);
        PutLE(attr, a::kNameOffset, name.empty() ? 0 : nameAt, 2);
        PutLE(attr, a::kId, id, 2);
        PutName(attr, nameAt, name);
    }

    RecordBuilder& Append(const Bytes& attr) {
        if (pos_ + attr.size() > bytes_.size()) {
            throw std::length_error("attribute does not fit the record");
        }
        std::copy(attr.begin(), attr.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(pos_));
        pos_ += attr.size();
        return *this;
    }

    Bytes bytes_;
    std::size_t pos_ = kFirst;
};

inline constexpr std::uint32_t kCluster = 4096;

inline FakeVolumeData Geometry(std::int64_t mftValidDataLength = 128 * 1024) {
    FakeVolumeData data;
    data.totalClusters = 1000;
    data.bytesPerCluster = kCluster;
    data.mftValidDataLength = mftValidDataLength;
    return data;
}

inline Bytes Raw(std::initializer_list<int> values) {
    Bytes out;
    for (const int v : values) {
        out.push_back(static_cast<std::byte>(v));
    }
    return out;
}

// The fake with the exact read as well, for its one volume: records in use
// are those the query knows, free ones are kept apart.
class ExactFakeApi : public FakeVolumeApi {
  public:
    std::map<std::int64_t, Bytes> freeRecords;
    int exactReads = 0;

    platform::FileRecordState ReadExactFileRecord(platform::Handle /*handle*/, std::int64_t number,
                                                  std::span<std::byte> out) override {
        ++exactReads;
        const auto copy = [&](const std::map<std::int64_t, Bytes>& records) {
            const auto it = records.find(number);
            if (it == records.end() || it->second.size() != out.size()) {
                return false;
            }
            std::ranges::copy(it->second, out.begin());
            return true;
        };
        if (copy(volumes.begin()->second.records)) {
            return platform::FileRecordState::kInUse;
        }
        return copy(freeRecords) ? platform::FileRecordState::kFree
                                 : platform::FileRecordState::kMissing;
    }
};

// A fake drive C: and, once opened, a volume object on it.
struct Drive {
    explicit Drive(const FakeVolumeData& data = Geometry()) : disk(api.AddNtfsDrive('C', data)) {}

    // A record reader of a new volume object on the drive.
    ntfs::RecordReader& Open() {
        records.reset();
        Create();
        records.emplace(api, volume->devicePath(), volume->geometry());
        return *records;
    }
    // The volume object, for the stages that read through readers of their own.
    ntfs::NtfsVolume& Create() {
        volume = std::make_unique<ntfs::NtfsVolume>(api, "C");
        return *volume;
    }

    FakeVolumeApi api;
    FakeVolume& disk;
    std::unique_ptr<ntfs::NtfsVolume> volume;
    std::optional<ntfs::RecordReader> records;
};

} // namespace lorvex::test

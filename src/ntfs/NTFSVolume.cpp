#include "ntfs/NTFSVolume.h"

#include "ondisk/ByteReader.h"
#include "ondisk/FileRecord.h"
#include "volume/VolumeData.h"
#include "volume/VolumeUtils.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace lorvex::ntfs {

namespace fr = platform::filerecord;
namespace vd = platform::volumedata;
using ondisk::ByteReader;

namespace {

MessageHandler& InstalledHandler() {
    static MessageHandler handler;
    return handler;
}

struct FlagText {
    std::uint32_t bit;
    std::string_view text;
};

// The order in which the names appear, which is not the order of the bits.
constexpr std::array<FlagText, 14> kFlagTexts{{
    {platform::fsflags::kCasePreservedNames, "FILE_CASE_PRESERVED_NAMES"},
    {platform::fsflags::kCaseSensitiveSearch, "FILE_CASE_SENSITIVE_SEARCH"},
    {platform::fsflags::kFileCompression, "FILE_FILE_COMPRESSION"},
    {platform::fsflags::kNamedStreams, "FILE_NAMED_STREAMS"},
    {platform::fsflags::kPersistentAcls, "FILE_PERSISTENT_ACLS"},
    {platform::fsflags::kReadOnlyVolume, "FILE_READ_ONLY_VOLUME"},
    {platform::fsflags::kSupportsEncryption, "FILE_SUPPORTS_ENCRYPTION"},
    {platform::fsflags::kSupportsObjectIds, "FILE_SUPPORTS_OBJECT_IDS"},
    {platform::fsflags::kSupportsReparsePoints, "FILE_SUPPORTS_REPARSE_POINTS"},
    {platform::fsflags::kSupportsRemoteStorage, "FILE_SUPPORTS_REMOTE_STORAGE"},
    {platform::fsflags::kSupportsSparseFiles, "FILE_SUPPORTS_SPARSE_FILES"},
    {platform::fsflags::kUnicodeOnDisk, "FILE_UNICODE_ON_DISK"},
    {platform::fsflags::kVolumeIsCompressed, "FILE_VOLUME_IS_COMPRESSED"},
    {platform::fsflags::kVolumeQuotas, "FILE_VOLUME_QUOTAS"},
}};

std::string FormatFlags(std::uint32_t flags) {
    std::string text;
    for (const auto& [bit, name] : kFlagTexts) {
        if ((flags & bit) != 0) {
            if (!text.empty()) {
                text += '|';
            }
            text += name;
        }
    }
    return text;
}

// "XXXX-XXXX", upper case, leading zeros kept.
std::string FormatSerial(std::uint32_t serial) {
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    std::string text(9, '-');
    for (std::size_t i = 0; i < 8; ++i) {
        const auto nibble = (serial >> (28 - 4 * i)) & 0xFU;
        text[i < 4 ? i : i + 1] = kDigits[nibble];
    }
    return text;
}

char ToUpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

MessageHandler SetMessageHandler(MessageHandler handler) {
    return std::exchange(InstalledHandler(), std::move(handler));
}

void ShowMessage(std::string_view text, std::string_view caption) {
    if (const auto& handler = InstalledHandler()) {
        handler(text, caption);
    }
}

bool IsValidRecord(std::span<const std::byte> record) {
    const auto firstAttribute = ByteReader(record).u16(ondisk::record::kFirstAttribute);
    return ondisk::HasFileSignature(record) && firstAttribute &&
           *firstAttribute <= kMaxFirstAttributeOffset;
}

TNTFSVolume::TNTFSVolume(platform::VolumeApi& api, std::string_view drive) : FApi(api) {
    for (std::size_t n = 0; n < FByteMask.size(); ++n) {
        FByteMask[n] = n == 8 ? -1 : static_cast<std::int64_t>((std::uint64_t{1} << (8 * n)) - 1);
    }
    // Until the geometry says otherwise, the record areas have the classic
    // size, so a reader of an inert volume sees zeros rather than nothing.
    SizeRecordAreas(kDefaultRecordSize);
    FLastRecord.assign(kDefaultRecordSize, std::byte{0});
    if (drive.empty()) {
        return;
    }
    if (drive.starts_with("\\\\?\\")) {
        // A volume without a drive letter: its GUID path is its root.
        FDrive = std::string(drive.ends_with('\\') ? drive.substr(0, drive.size() - 1) : drive);
    } else {
        FDrive = {ToUpperAscii(drive.front()), ':'};
    }
    FVolumePath = volume::GetVolumeDevicePath(FApi, FDrive + "\\");
    ReadVolumeInformation();
    if (FFileSystem == "NTFS") {
        ReadVolumeData();
    }
}

TNTFSVolume::~TNTFSVolume() {
    CloseVolume();
}

void TNTFSVolume::ReadVolumeInformation() {
    auto info = FApi.GetVolumeInformation(FDrive + "\\");
    if (!info) {
        return;
    }
    FVolumeName = std::move(info->label);
    FFileSystem = std::move(info->fileSystemName);
    FSerial = FormatSerial(info->serialNumber);
    FFileSystemFlags = FormatFlags(info->fileSystemFlags);
    FMaxComponentLength = info->maxComponentLength;
}

void TNTFSVolume::ReadVolumeData() {
    if (FVolumePath.empty()) {
        return;
    }
    const platform::Handle handle = FApi.CreateFile(FVolumePath);
    if (handle == platform::kInvalidHandle) {
        return;
    }
    std::array<std::byte, vd::kSize> data{};
    std::uint32_t returned = 0;
    if (FApi.DeviceIoControl(handle, platform::kFsctlGetNtfsVolumeData, {}, data, &returned)) {
        const volume::NtfsVolumeData d = volume::DecodeVolumeData(data);
        // Every record buffer is sized from this value, so a volume that
        // reports an absurd one stays inert rather than sizing them from it.
        const std::uint32_t recordSize = d.bytesPerFileRecordSegment;
        if (recordSize != 0 && recordSize <= kMaxRecordSize) {
            FVolumeSerialNumber = d.serialNumber;
            FNumberSectors = d.numberSectors;
            FTotalClusters = d.totalClusters;
            FFreeClusters = d.freeClusters;
            FTotalReserved = d.totalReserved;
            FBytesPerSector = d.bytesPerSector;
            FBytesPerCluster = d.bytesPerCluster;
            FBytesPerFileRecordSegment = recordSize;
            FClustersPerFileRecordSegment = d.clustersPerFileRecordSegment;
            FMftValidDataLength = d.mftValidDataLength;
            FMftStartLcn = d.mftStartLcn;
            FMft2StartLcn = d.mft2StartLcn;
            FMftZoneStart = d.mftZoneStart;
            FMftZoneEnd = d.mftZoneEnd;
            FRecordSize1K = recordSize == 1024;
            SizeRecordAreas(recordSize);
            FLastRecord.assign(recordSize, std::byte{0});
        }
    }
    FApi.CloseHandle(handle);
    // Whole clusters that lie on the volume, partly reserved or wholly.
    if (FBytesPerCluster != 0) {
        for (const auto& range : FApi.ReservedRanges(FDrive + "\\")) {
            const auto first = static_cast<std::int64_t>(range.offset / FBytesPerCluster);
            const auto end = static_cast<std::int64_t>(
                (range.offset + range.length + FBytesPerCluster - 1) / FBytesPerCluster);
            if (first < FTotalClusters && end > first) {
                FReserved.push_back({first, std::min(end, FTotalClusters) - first, range.name});
            }
        }
    }
}

bool TNTFSVolume::OpenVolume() {
    FHandle = 0;
    FRecordAsked = kNoRecordAsked;
    if (FVolumePath.empty()) {
        return false;
    }
    const platform::Handle handle = FApi.CreateFile(FVolumePath);
    if (handle == platform::kInvalidHandle) {
        return false;
    }
    FHandle = handle;
    return true;
}

void TNTFSVolume::CloseVolume() {
    FRecordAsked = kNoRecordAsked;
    if (FHandle != 0) {
        FApi.CloseHandle(FHandle);
        // Forgetting the closed handle keeps a second close from hitting a
        // handle number the system may have handed out again.
        FHandle = 0;
    }
}

void TNTFSVolume::ReadCluster(std::span<std::byte> buffer, std::int64_t lcn) {
    if (FVolumePath.empty() || FBytesPerCluster == 0 || buffer.size() < FBytesPerCluster ||
        lcn < 0 || lcn > std::numeric_limits<std::int64_t>::max() / FBytesPerCluster) {
        return;
    }
    const platform::Handle handle = FApi.CreateFile(FVolumePath);
    if (handle == platform::kInvalidHandle) {
        return;
    }
    // A failed seek must not turn into a read of whatever the position was.
    if (FApi.SetFilePointerEx(handle, lcn * std::int64_t{FBytesPerCluster})) {
        std::uint32_t read = 0;
        FApi.ReadFile(handle, buffer.first(FBytesPerCluster), &read);
    }
    FApi.CloseHandle(handle);
}

std::size_t TNTFSVolume::GetRecordOutputSize() const {
    return fr::kFileRecordBuffer + FBytesPerFileRecordSegment;
}

bool TNTFSVolume::IsUsable() const {
    return FTotalClusters != 0 && !FVolumePath.empty() && FFileSystem == "NTFS";
}

bool TNTFSVolume::QueryRecord(platform::Handle handle, std::span<std::byte> output,
                              std::int64_t recordNo) {
    std::array<std::byte, fr::kInputSize> input{};
    ondisk::StoreLE(input, 0, static_cast<std::uint64_t>(recordNo), fr::kInputSize);
    std::uint32_t returned = 0;
    return FApi.DeviceIoControl(handle, platform::kFsctlGetNtfsFileRecord, input, output,
                                &returned);
}

std::int64_t TNTFSVolume::QueryFileRecord(std::span<std::byte> buffer, std::int64_t recordNo) {
    // A buffer too small for the record is refused like an unusable volume:
    // a cut-off record would still pass the validity test.
    if (!IsUsable() || buffer.size() < FBytesPerFileRecordSegment) {
        return -1;
    }
    const platform::Handle handle = FApi.CreateFile(FVolumePath);
    if (handle == platform::kInvalidHandle) {
        return -1;
    }
    std::int64_t result = -1;
    std::vector<std::byte> output(GetRecordOutputSize());
    if (QueryRecord(handle, output, recordNo)) {
        const auto record = std::span(output).subspan(fr::kFileRecordBuffer);
        std::ranges::copy(record, buffer.begin());
        // FLastRecord is sized from the record size, so it keeps a copy at
        // any size, not only for 1 KiB records.
        if (FLastRecord.size() >= record.size()) {
            std::ranges::copy(record, FLastRecord.begin());
        }
        result = ByteReader(output).i64(fr::kFileReferenceNumber).value_or(-1);
    } else {
        ShowMessage(std::to_string(FApi.GetLastError()), "error");
    }
    FApi.CloseHandle(handle);
    return result;
}

std::int64_t TNTFSVolume::FetchFileRecord(std::span<std::byte> output, std::int64_t recordNo) {
    // An output area shorter than head and record is refused outright rather
    // than queried at its own size: a query for less than the record would
    // fail anyway, or hand back a cut-off record that still looks valid.
    const std::size_t needed = GetRecordOutputSize();
    if (FBytesPerFileRecordSegment == 0 || output.size() < needed) {
        return -1;
    }
    if (recordNo == FRecordAsked) {
        std::ranges::copy(FRecordArea, output.begin());
    } else if (!QueryRecord(FHandle, output.first(needed), recordNo)) {
        return -1;
    }
    return ByteReader(output).i64(fr::kFileReferenceNumber).value_or(-1);
}

std::shared_ptr<const platform::FileRecordBlocks> TNTFSVolume::OpenRecordBlocks() {
    auto blocks = FApi.OpenFileRecordBlocks(FHandle);
    if (!blocks || FBytesPerFileRecordSegment == 0 ||
        blocks->recordSize() != FBytesPerFileRecordSegment) {
        return nullptr;
    }
    return blocks;
}

std::int64_t TNTFSVolume::ReadFileRecord(std::int64_t recordNo) {
    if (FBytesPerFileRecordSegment == 0) {
        return 0;
    }
    // The readers fetch one record again and again (its attributes, then the
    // runs of each non-resident one); within one bracket the answer cannot
    // change, so it is fetched once.
    if (recordNo == FRecordAsked) {
        return FRecord.FileReferenceNumber;
    }
    if (!QueryRecord(FHandle, FFetchArea, recordNo)) {
        return 0;
    }
    std::swap(FFetchArea, FRecordArea);
    FRecordAsked = recordNo;
    const ByteReader head(FRecordArea);
    FRecord.FileReferenceNumber = head.i64(fr::kFileReferenceNumber).value_or(0);
    FRecord.FileRecordLength = head.u32(fr::kFileRecordLength).value_or(0);
    FRecord.FileRecordBuffer = std::span(FRecordArea).subspan(fr::kFileRecordBuffer);
    return FRecord.FileReferenceNumber;
}

void TNTFSVolume::SizeRecordAreas(std::size_t recordSize) {
    FRecordArea.assign(fr::kFileRecordBuffer + recordSize, std::byte{0});
    FFetchArea.assign(fr::kFileRecordBuffer + recordSize, std::byte{0});
    FRecord.FileRecordBuffer = std::span(FRecordArea).subspan(fr::kFileRecordBuffer);
    FRecordAsked = kNoRecordAsked;
}

std::int64_t TNTFSVolume::EstimateLastRecord() const {
    // Deliberately the classic record size, whatever the volume's: an
    // overestimate costs nothing, since the query answers with the nearest
    // lower record in use.
    if (FMftValidDataLength == 0) {
        return 0;
    }
    return FMftValidDataLength / 1024 - 1;
}

std::int64_t TNTFSVolume::GetLastRecordNumber() {
    if (!IsUsable()) {
        return 0;
    }
    if (FRecordSize1K) {
        return QueryFileRecord(FLastRecord, EstimateLastRecord());
    }
    std::vector<std::byte> buffer(FBytesPerFileRecordSegment);
    return QueryFileRecord(buffer, EstimateLastRecord());
}

std::int64_t TNTFSVolume::ReadRecordBase(std::int64_t& baseId, std::int64_t recordNo) {
    const std::int64_t result = ReadFileRecord(recordNo);
    // Read from whatever FRecord holds, valid or not; the sequence number in
    // the top 16 bits of the reference is not part of the record number. It
    // does tell a base record (whole reference 0) from an extension of
    // record 0, the $MFT's own, whose number is 0 as well.
    const ByteReader r(FRecord.FileRecordBuffer);
    const std::uint64_t reference = r.u64(ondisk::record::kBaseRecord).value_or(0);
    baseId = reference == 0 ? recordNo : r.recordNumber48(ondisk::record::kBaseRecord).value_or(0);
    return result;
}

} // namespace lorvex::ntfs

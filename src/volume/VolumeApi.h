#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lorvex::platform {

// The drive and volume operations the program relies on, shaped like the
// Windows calls that answer them natively, so that a Windows implementation
// can stand where our raw NTFS reader stands today. Strings are UTF-8.
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// Windows drive types.
namespace drivetype {
inline constexpr std::uint32_t kUnknown = 0;
inline constexpr std::uint32_t kNoRootDir = 1;
inline constexpr std::uint32_t kRemovable = 2;
inline constexpr std::uint32_t kFixed = 3;
inline constexpr std::uint32_t kRemote = 4;
inline constexpr std::uint32_t kCdrom = 5;
inline constexpr std::uint32_t kRamdisk = 6;
} // namespace drivetype

// Windows system error numbers, the ones this layer reports.
namespace error {
inline constexpr std::uint32_t kSuccess = 0;
inline constexpr std::uint32_t kInvalidFunction = 1;
inline constexpr std::uint32_t kFileNotFound = 2;
inline constexpr std::uint32_t kAccessDenied = 5;
inline constexpr std::uint32_t kInvalidHandle = 6;
inline constexpr std::uint32_t kNotEnoughMemory = 8;
inline constexpr std::uint32_t kNotReady = 21;
inline constexpr std::uint32_t kReadFault = 30;
inline constexpr std::uint32_t kHandleEof = 38;
inline constexpr std::uint32_t kInvalidParameter = 87;
inline constexpr std::uint32_t kInsufficientBuffer = 122;
inline constexpr std::uint32_t kMoreData = 234;
inline constexpr std::uint32_t kUnrecognizedVolume = 1005;
inline constexpr std::uint32_t kFileCorrupt = 1392;
} // namespace error

// File-system control codes.
inline constexpr std::uint32_t kFsctlGetNtfsVolumeData = 0x00090064;
inline constexpr std::uint32_t kFsctlGetNtfsFileRecord = 0x00090068;
inline constexpr std::uint32_t kFsctlGetVolumeBitmap = 0x0009006F;

// NTFS_VOLUME_DATA_BUFFER.
namespace volumedata {
inline constexpr std::size_t kVolumeSerialNumber = 0;
inline constexpr std::size_t kNumberSectors = 8;
inline constexpr std::size_t kTotalClusters = 16;
inline constexpr std::size_t kFreeClusters = 24;
inline constexpr std::size_t kTotalReserved = 32;
inline constexpr std::size_t kBytesPerSector = 40;
inline constexpr std::size_t kBytesPerCluster = 44;
inline constexpr std::size_t kBytesPerFileRecordSegment = 48;
inline constexpr std::size_t kClustersPerFileRecordSegment = 52;
inline constexpr std::size_t kMftValidDataLength = 56;
inline constexpr std::size_t kMftStartLcn = 64;
inline constexpr std::size_t kMft2StartLcn = 72;
inline constexpr std::size_t kMftZoneStart = 80;
inline constexpr std::size_t kMftZoneEnd = 88;
inline constexpr std::size_t kSize = 96;
} // namespace volumedata

// NTFS_FILE_RECORD_INPUT_BUFFER and NTFS_FILE_RECORD_OUTPUT_BUFFER.
namespace filerecord {
inline constexpr std::size_t kInputSize = 8;
inline constexpr std::size_t kFileReferenceNumber = 0;
inline constexpr std::size_t kFileRecordLength = 8;
inline constexpr std::size_t kFileRecordBuffer = 12;
} // namespace filerecord

// STARTING_LCN_INPUT_BUFFER and VOLUME_BITMAP_BUFFER.
namespace volumebitmap {
inline constexpr std::size_t kInputSize = 8;
inline constexpr std::size_t kStartingLcn = 0;
inline constexpr std::size_t kBitmapSize = 8;
inline constexpr std::size_t kBuffer = 16;
} // namespace volumebitmap

// File-system flag bits of GetVolumeInformation.
namespace fsflags {
inline constexpr std::uint32_t kCaseSensitiveSearch = 0x00000001;
inline constexpr std::uint32_t kCasePreservedNames = 0x00000002;
inline constexpr std::uint32_t kUnicodeOnDisk = 0x00000004;
inline constexpr std::uint32_t kPersistentAcls = 0x00000008;
inline constexpr std::uint32_t kFileCompression = 0x00000010;
inline constexpr std::uint32_t kVolumeQuotas = 0x00000020;
inline constexpr std::uint32_t kSupportsSparseFiles = 0x00000040;
inline constexpr std::uint32_t kSupportsReparsePoints = 0x00000080;
inline constexpr std::uint32_t kSupportsRemoteStorage = 0x00000100;
inline constexpr std::uint32_t kVolumeIsCompressed = 0x00008000;
inline constexpr std::uint32_t kSupportsObjectIds = 0x00010000;
inline constexpr std::uint32_t kSupportsEncryption = 0x00020000;
inline constexpr std::uint32_t kNamedStreams = 0x00040000;
inline constexpr std::uint32_t kReadOnlyVolume = 0x00080000;
} // namespace fsflags

struct VolumeInformation {
    std::string label;
    std::uint32_t serialNumber = 0;
    std::uint32_t maxComponentLength = 0;
    std::uint32_t fileSystemFlags = 0;
    std::string fileSystemName;
};

// Runs of neighbouring file records at once, for the readers that walk the
// whole file table: the file-record query hands out one record a call, and a
// million calls cost far more than reading the $MFT itself. Not a Windows
// call; an implementation without it answers nullptr, and the readers then
// use the query. Safe to use from several threads at once.
class FileRecordBlocks {
  public:
    FileRecordBlocks() = default;
    FileRecordBlocks(const FileRecordBlocks&) = delete;
    FileRecordBlocks& operator=(const FileRecordBlocks&) = delete;
    virtual ~FileRecordBlocks() = default;

    [[nodiscard]] virtual std::uint32_t recordSize() const = 0;
    // Records first, first + 1, ... into `out` (readable.size() records of
    // recordSize() bytes), update sequences applied. readable[i] is 1 when
    // the file-record query asked for record first + i would answer with that
    // very record (in use, and its update sequence checks), else 0 and the
    // bytes of that record are undefined.
    virtual void Read(std::int64_t first, std::span<std::byte> out,
                      std::span<std::uint8_t> readable) const = 0;
};

// What an exact read of one file record found (VolumeApi::ReadExactFileRecord).
enum class FileRecordState : std::uint8_t {
    kUnsupported, // the implementation has no exact read; use the file-record query
    kMissing,     // no record there: past the table, unreadable, or not a file record
    kFree,        // a record the $MFT's bitmap marks free (a deleted file's, or one made ahead)
    kInUse,
};

// A part of a volume that belongs to the layer the file system lies in, not
// to the file system: BitLocker's metadata blocks and its copy of the boot
// sectors. Bytes from the volume's start.
struct ReservedRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::string name; // "BitLocker metadata, copy 1", ...
};

class VolumeApi {
  public:
    VolumeApi() = default;
    VolumeApi(const VolumeApi&) = delete;
    VolumeApi& operator=(const VolumeApi&) = delete;
    virtual ~VolumeApi() = default;

    // Bit n set when drive letter 'A' + n exists.
    virtual std::uint32_t GetLogicalDrives() = 0;
    // The names "\\?\Volume{GUID}\" of every volume, with a drive letter or
    // without, as FindFirstVolume and FindNextVolume list them. Each is a root
    // path the calls below take wherever they take "C:\".
    virtual std::vector<std::string> FindVolumes() { return {}; }
    // Of a root path such as "C:\".
    virtual std::uint32_t GetDriveType(std::string_view rootPath) = 0;
    // The target of a device name such as "C:"; nullopt on failure.
    virtual std::optional<std::string> QueryDosDevice(std::string_view deviceName) = 0;
    // "\\?\Volume{GUID}\" of a root path; nullopt on failure.
    virtual std::optional<std::string>
    GetVolumeNameForVolumeMountPoint(std::string_view rootPath) = 0;
    virtual std::optional<VolumeInformation> GetVolumeInformation(std::string_view rootPath) = 0;

    // Opens a device path "\\.\Volume{GUID}" for reading, sharing read and
    // write; kInvalidHandle on failure.
    virtual Handle CreateFile(std::string_view devicePath) = 0;
    virtual bool CloseHandle(Handle handle) = 0;
    // The three file-system control queries, with the published record
    // layouts above in `in` and `out`.
    virtual bool DeviceIoControl(Handle handle, std::uint32_t code, std::span<const std::byte> in,
                                 std::span<std::byte> out, std::uint32_t* bytesReturned) = 0;
    // Positions the next read at a byte offset from the start of the volume.
    virtual bool SetFilePointerEx(Handle handle, std::int64_t offset) = 0;
    virtual bool ReadFile(Handle handle, std::span<std::byte> buffer, std::uint32_t* bytesRead) = 0;
    // The file records of the volume behind `handle` in blocks (see
    // FileRecordBlocks); it stays usable after the handle is closed.
    virtual std::shared_ptr<const FileRecordBlocks> OpenFileRecordBlocks(Handle /*handle*/) {
        return nullptr;
    }
    // File record `number` itself into `out` (one record long), its update
    // sequence applied and checked, whether it is in use or free: the
    // file-record query answers a free number with the nearest lower record
    // in use, so a deleted file's record cannot be had through it. Never
    // another record than the one asked for. Not a Windows call.
    virtual FileRecordState ReadExactFileRecord(Handle /*handle*/, std::int64_t /*number*/,
                                                std::span<std::byte> /*out*/) {
        return FileRecordState::kUnsupported;
    }
    // The reserved parts of the volume at a root path, in order. Not a
    // Windows call; a volume read as it lies has none.
    virtual std::vector<ReservedRange> ReservedRanges(std::string_view /*rootPath*/) { return {}; }

    // The number of the last error of a call that failed.
    [[nodiscard]] virtual std::uint32_t GetLastError() const = 0;
};

} // namespace lorvex::platform

#pragma once

#include "ntfs/ClusterMap.h"
#include "ntfs/RecordReader.h"
#include "ntfs/VolumeGeometry.h"
#include "volume/VolumeApi.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lorvex::ntfs {

class TAttributes;
class TDataRuns;
class TFileIDs;
class TNTFSVolume;
struct ScanObserver;
struct TFileInfo;

// The reader shows one message of its own, when the file system refuses a
// record query. The core knows no windows, so the program installs a handler
// that shows it. With none installed the message is dropped: the caller
// already sees the failure as -1, and a library that writes to stderr on its
// own is a nuisance to every test and tool that uses it.
using MessageHandler = std::function<void(std::string_view text, std::string_view caption)>;

// Installs the handler (an empty one removes it) and returns the one it replaces.
MessageHandler SetMessageHandler(MessageHandler handler);

// Hands a message to the installed handler, if any.
void ShowMessage(std::string_view text, std::string_view caption);

// The answer of the file-record query as the bracketed readers keep it: the
// number of the record the file system returned (the nearest lower one in
// use when the one asked for is free), its length, and its bytes.
struct TFileRecordOutput {
    std::int64_t FileReferenceNumber = 0;
    std::uint32_t FileRecordLength = 0;
    // The record bytes; valid until the next record is fetched into FRecord.
    std::span<const std::byte> FileRecordBuffer;
};

// A value that its owner writes and everyone else reads: the scan's
// progress, which the file enumeration still keeps in the volume for the
// command line's progress line. Everything else takes progress from
// ScanObserver::progress.
template <class T, class Writer> class OwnerWritten {
  public:
    // Read like the field it was.
    operator T() const { return value_; }

  private:
    friend Writer;
    friend void RunScanStages(TNTFSVolume& volume, TFileIDs& fileIds, TClusterArray& clusters,
                              const ScanObserver& observer);
    OwnerWritten& operator=(T value) {
        value_ = value;
        return *this;
    }
    T value_{};
};

// One NTFS volume, opened by drive letter: what it is (its information and
// its geometry, both read once when it is made), its cluster reads and its
// record readers. Read only; nothing is ever written to the volume.
class TNTFSVolume {
  public:
    // Only the first character of `drive` is used.
    TNTFSVolume(platform::VolumeApi& api, std::string_view drive);
    TNTFSVolume(const TNTFSVolume&) = delete;
    TNTFSVolume& operator=(const TNTFSVolume&) = delete;
    ~TNTFSVolume() = default;

    // "C:", or the volume GUID path of a drive without a letter.
    [[nodiscard]] const std::string& drive() const { return drive_; }
    // The device path the readers open; empty when the drive has none.
    [[nodiscard]] const std::string& devicePath() const { return devicePath_; }
    // The file system's answer about the volume: label, file system name,
    // serial number and flags (as numbers: the texts are the formatters').
    [[nodiscard]] const platform::VolumeInformation& information() const { return information_; }
    // The zero geometry unless the volume is NTFS and could be measured.
    [[nodiscard]] const VolumeGeometry& geometry() const { return geometry_; }
    // The clusters of the layer beneath the file system (BitLocker's own),
    // owned by the system whatever the file table says: in LCN order.
    [[nodiscard]] const std::vector<TReservedRun>& reserved() const { return reserved_; }

    // A record reader of the volume's own; it closes its handle when it goes.
    [[nodiscard]] RecordReader OpenRecordReader() const;

    // Reads cluster `lcn` into `buffer`, which must hold a cluster; a
    // smaller buffer, a negative cluster or an offset past 64 bits leaves it
    // untouched.
    void ReadCluster(std::span<std::byte> buffer, std::int64_t lcn);

    // The estimate of the last record number the file enumeration starts
    // from, and the highest record number in use (0 on a volume that is not
    // usable, -1 when the query fails).
    [[nodiscard]] std::int64_t EstimateLastRecord() const;
    std::int64_t GetLastRecordNumber();

    // The cluster analysis's reads (ClusterMap.cpp). EnumerateClusters
    // empties `clusters` first, even when the volume cannot be opened, so no
    // map outlives the file table it indexes; it reads through a
    // RecordReader of its own and gives `progress` (may be empty) the
    // percentage done after every entry.
    void EnumerateClusters(TFileIDs& fileIds, TClusterArray& clusters,
                           const std::function<void(double percent)>& progress);
    // The reserved run holding `lcn`, or null.
    [[nodiscard]] const TReservedRun* ReservedAt(std::int64_t lcn) const;
    // UTF-8: the owner's Path (or Name) + "::" + the attribute type name, or
    // "MFT Zone" / "FREE" (zone bounds inclusive) for a cluster that no
    // extent holds, or whose owner is not in `fileIds`. Needs the map in LCN
    // order.
    void DescribeCluster(const TClusterArray& clusters, const TFileIDs& fileIds, std::string& text,
                         bool fullPath, std::int64_t lcn) const;

    // The file table (FileTable.cpp). EnumerateFiles and CalculateDiskSizes
    // open and close the bracket themselves; the other two need it open.
    // `processEvents` (may be empty) runs after every record.
    void EnumerateFiles(TFileIDs& fileIds, const std::function<void()>& processEvents);
    // EnumerateFiles on an empty table through the volume layer's record
    // blocks; processEvents runs every few milliseconds instead.
    void EnumerateInBlocks(const platform::FileRecordBlocks& source, std::int64_t last,
                           TFileIDs& fileIds, const std::function<void()>& processEvents);
    void DescribeFile(bool& isDirectory, bool& isSystem, std::u16string& name, TFileInfo& info,
                      std::int64_t recordNo);
    void ReadRecordSizes(std::int64_t& size, std::int64_t& allocatedSize, std::int64_t recordNo);
    void CalculateDiskSizes(TFileIDs& fileIds);

    // The bracket: one record reader the volume holds between OpenVolume and
    // CloseVolume, which the members below read through. Kept for the file
    // table, the health check, the damage map and the command line, which
    // have yet to hold a RecordReader of their own; new code does that.
    bool OpenVolume();
    void CloseVolume();
    // 12-byte head plus one record: the size of the output area of
    // FetchFileRecord.
    [[nodiscard]] std::size_t GetRecordOutputSize() const;
    // With a reader of its own: copies the record into `buffer` (which must
    // hold a record) and returns its number, or -1, showing the system's
    // error number when the query fails.
    std::int64_t QueryFileRecord(std::span<std::byte> buffer, std::int64_t recordNo);
    // Through the bracket into `output` (head and record, GetRecordOutputSize()
    // bytes); returns the number of the record returned, or -1.
    std::int64_t FetchFileRecord(std::span<std::byte> output, std::int64_t recordNo);
    // Through the bracket into FRecord; returns the number of the record
    // returned, or 0 (FRecord then keeps the previous record).
    std::int64_t ReadFileRecord(std::int64_t recordNo);
    // Fetches the record into FRecord and gives its base record number (its
    // own number for a base record).
    std::int64_t ReadRecordBase(std::int64_t& baseId, std::int64_t recordNo);
    // The bracket's RecordReader::OpenRecordBlocks, or nullptr without one.
    [[nodiscard]] std::shared_ptr<const platform::FileRecordBlocks> OpenRecordBlocks();
    // The bracket's RecordReader::ReadRunData; 0 without one.
    std::size_t ReadAttributeData(std::span<const std::byte> runList, std::span<std::byte> buffer);
    // Attributes and data runs of an in-use, valid record through the
    // bracket (Attributes.cpp), as RecordReader::GetAttributes and
    // GetDataRuns give them.
    void GetAttributes(TAttributes& attributes, std::int64_t recordNo);
    void ReadAttributes(TAttributes& attributes, std::int64_t recordNo);
    void GetDataRuns(int attrIndex, TDataRuns& runs, std::int64_t recordNo);

    // Two functions of the cluster map that never touched a volume, under
    // their old names for the command line until it calls the free
    // functions of ClusterMap.h.
    static void GetBaseIDOrder(const TFileIDs& fileIds, TCardinalArray& order) {
        ntfs::GetBaseIDOrder(fileIds, order);
    }
    static std::int64_t FindClusterOwner(const TClusterArray& clusters, std::int64_t lcn) {
        return ntfs::FindClusterOwner(clusters, lcn);
    }

  private:
    void ReadVolumeInformation();
    void ReadVolumeData();
    // True when the geometry is known and names this as an NTFS volume.
    [[nodiscard]] bool IsUsable() const;
    // The file-record query through a reader of its own, the error shown
    // when it fails.
    std::optional<RecordView> QueryOnce(std::int64_t recordNo);

    platform::VolumeApi& api_;
    std::string drive_;
    std::string devicePath_;
    platform::VolumeInformation information_;
    VolumeGeometry geometry_;
    std::vector<TReservedRun> reserved_;

    // The bracket, the record FRecord shows and the number it was asked
    // for: within one bracket the answer cannot change, so the readers'
    // repeated asks for one record (its attributes, then each one's runs)
    // fetch it once.
    std::optional<RecordReader> bracket_;
    std::optional<RecordView> current_;
    static constexpr std::int64_t kNoRecordAsked = std::numeric_limits<std::int64_t>::min();
    std::int64_t asked_ = kNoRecordAsked;
    // What FRecord shows before any record is read: zeros of a record's size.
    std::vector<std::byte> blankRecord_;
    TFileRecordOutput record_;

    // The texts of the information, for the command line until it formats
    // them itself (Formatters.h).
    struct LegacyTexts {
        std::string serial;
        std::string fileSystemFlags;
    } legacyTexts_;

  public:
    // The old fields, read only, for the files being reworked on other
    // branches; new code uses the accessors above.
    OwnerWritten<double, TNTFSVolume> FProgress;
    const TFileRecordOutput& FRecord{record_};
    const std::string& FVolumePath{devicePath_};
    const std::string& FVolumeName{information_.label};
    const std::string& FDrive{drive_};
    const std::string& FSerial{legacyTexts_.serial};
    const std::string& FFileSystem{information_.fileSystemName};
    const std::string& FFileSystemFlags{legacyTexts_.fileSystemFlags};
    const std::int64_t& FNumberSectors{geometry_.numberSectors};
    const std::int64_t& FTotalClusters{geometry_.totalClusters};
    const std::int64_t& FFreeClusters{geometry_.freeClusters};
    const std::uint32_t& FBytesPerSector{geometry_.bytesPerSector};
    const std::uint32_t& FBytesPerCluster{geometry_.bytesPerCluster};
    const std::uint32_t& FBytesPerFileRecordSegment{geometry_.bytesPerRecord};
    const std::int64_t& FMftValidDataLength{geometry_.mftValidDataLength};
    const std::int64_t& FMftStartLcn{geometry_.mftStartLcn};
    const std::int64_t& FMft2StartLcn{geometry_.mftMirrorStartLcn};
    const std::int64_t& FMftZoneStart{geometry_.mftZoneStart};
    const std::int64_t& FMftZoneEnd{geometry_.mftZoneEnd};
    const std::vector<TReservedRun>& FReserved{reserved_};
};

} // namespace lorvex::ntfs

#pragma once

#include "ntfs/ClusterMap.h"
#include "volume/VolumeApi.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lorvex::ntfs {

class TAttributes;
class TDataRuns;
class TFileIDs;
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

// Record sizes a volume may report before we size buffers from them.
inline constexpr std::uint32_t kDefaultRecordSize = 1024;
inline constexpr std::uint32_t kMaxRecordSize = 64 * 1024;

// The first attribute of a real record lies well inside its first KiB, at any
// record size, so this bound holds for larger records too.
inline constexpr std::uint16_t kMaxFirstAttributeOffset = 1023;

// True when the record carries the "FILE" signature and its first-attribute
// offset is at most kMaxFirstAttributeOffset. Every reader treats a record
// that fails this as empty.
bool IsValidRecord(std::span<const std::byte> record);

// The answer of the file-record query: the number of the record the file
// system returned (the nearest lower one in use when the one asked for is
// free), its length, and its bytes.
struct TFileRecordOutput {
    std::int64_t FileReferenceNumber = 0;
    std::uint32_t FileRecordLength = 0;
    // The record bytes, inside the volume object's own area; valid until the
    // next record is fetched into FRecord.
    std::span<const std::byte> FileRecordBuffer;
};

// One NTFS volume, opened by drive letter: its information, its geometry, the
// shared read handle of the bracketed readers and the last fetched record.
// Read only; nothing is ever written to the volume.
class TNTFSVolume {
  public:
    // Only the first character of `drive` is used.
    TNTFSVolume(platform::VolumeApi& api, std::string_view drive);
    TNTFSVolume(const TNTFSVolume&) = delete;
    TNTFSVolume& operator=(const TNTFSVolume&) = delete;
    // Closes FHandle if a bracket was left open.
    ~TNTFSVolume();

    void ReadVolumeInformation();
    void ReadVolumeData();

    // The bracket of every reader that uses FHandle; brackets never nest.
    bool OpenVolume();
    void CloseVolume();

    // Reads cluster `lcn` into `buffer`, which must hold FBytesPerCluster
    // bytes; a smaller buffer, a negative cluster or an offset past 64 bits
    // leaves it untouched.
    void ReadCluster(std::span<std::byte> buffer, std::int64_t lcn);

    // 12-byte head plus one record: the size of the output area of
    // FetchFileRecord.
    [[nodiscard]] std::size_t GetRecordOutputSize() const;

    // With a handle of its own: copies the record into `buffer` (which must
    // hold FBytesPerFileRecordSegment bytes) and returns its number, or -1.
    std::int64_t QueryFileRecord(std::span<std::byte> buffer, std::int64_t recordNo);
    // Through FHandle into `output` (head and record, GetRecordOutputSize()
    // bytes); returns the number of the record returned, or -1.
    std::int64_t FetchFileRecord(std::span<std::byte> output, std::int64_t recordNo);
    // Through FHandle into FRecord; returns the number of the record
    // returned, or 0 (FRecord then keeps the previous record).
    std::int64_t ReadFileRecord(std::int64_t recordNo);
    [[nodiscard]] std::int64_t EstimateLastRecord() const;
    // The highest record number in use, or 0 on a volume that is not usable.
    std::int64_t GetLastRecordNumber();
    // Fetches the record into FRecord and gives its base record number (its
    // own number for a base record).
    std::int64_t ReadRecordBase(std::int64_t& baseId, std::int64_t recordNo);

    // Attributes and data runs (Attributes.cpp); all need FHandle open.
    void GetAttributes(TAttributes& attributes, std::int64_t recordNo);
    void ReadAttributes(TAttributes& attributes, std::int64_t recordNo);
    // Reads the runs of a non-resident value one after another into
    // `buffer`, never past its end; sparse runs read as zeros. Returns the
    // number of bytes delivered.
    std::size_t ReadAttributeData(std::span<const std::byte> runList, std::span<std::byte> buffer);
    // The runs of the attribute at position `attrIndex` of the record. An
    // int rather than a byte: records of 4 KiB and more can hold more than
    // 256 attributes.
    void GetDataRuns(int attrIndex, TDataRuns& runs, std::int64_t recordNo);

    // The file table (FileTable.cpp). EnumerateFiles and CalculateDiskSizes
    // open and close FHandle themselves; the other two need it open.
    // `processEvents` (may be empty) runs after every record.
    void EnumerateFiles(TFileIDs& fileIds, const std::function<void()>& processEvents);
    // The volume layer's record blocks for FHandle (open), or nullptr when
    // it has none of the volume's record size: the readers then fetch
    // record by record.
    [[nodiscard]] std::shared_ptr<const platform::FileRecordBlocks> OpenRecordBlocks();
    // EnumerateFiles on an empty table through the volume layer's record
    // blocks; processEvents runs every few milliseconds instead.
    void EnumerateInBlocks(const platform::FileRecordBlocks& source, std::int64_t last,
                           TFileIDs& fileIds, const std::function<void()>& processEvents);
    void DescribeFile(bool& isDirectory, bool& isSystem, std::u16string& name, TFileInfo& info,
                      std::int64_t recordNo);
    void ReadRecordSizes(std::int64_t& size, std::int64_t& allocatedSize, std::int64_t recordNo);
    void CalculateDiskSizes(TFileIDs& fileIds);

    // The cluster analysis (ClusterMap.cpp, Fragments.cpp, ClusterLookup.cpp).
    // EnumerateClusters empties `clusters` first, even when the volume cannot
    // be opened, so no map outlives the file table it indexes; it opens and
    // closes FHandle itself and runs `processEvents` (may be empty) after
    // every entry. Cluster numbers are 64-bit throughout the lookups.
    void EnumerateClusters(TFileIDs& fileIds, TClusterArray& clusters,
                           const std::function<void()>& processEvents);
    static void SortClustersByFileIndex(TClusterArray& clusters);
    static void SortClustersByLCN(TClusterArray& clusters);
    static void GetFragments(TFileIDs& fileIds, const TClusterArray& clusters);
    static void GetBaseIDOrder(const TFileIDs& fileIds, TCardinalArray& order);
    // These two need the map in LCN order. The owner's file-table index,
    // or -1.
    static std::int64_t FindClusterOwner(const TClusterArray& clusters, std::int64_t lcn);
    // UTF-8: the owner's Path (or Name) + "::" + the attribute type name, or
    // "MFT Zone" / "FREE" (zone bounds inclusive) for a cluster that no
    // extent holds, or whose owner is not in `fileIds`.
    // The reserved run holding `lcn`, or null.
    [[nodiscard]] const TReservedRun* ReservedAt(std::int64_t lcn) const;
    void DescribeCluster(const TClusterArray& clusters, const TFileIDs& fileIds, std::string& text,
                         bool fullPath, std::int64_t lcn) const;
    // Needs the map in FileIndex order.
    static void GetFileExtents(std::uint32_t fileIndex, const TClusterArray& clusters,
                               TClusterArray& extents);
    // The file-table indexes of all entries of base record `baseId`, in
    // table order.
    static void GetRecordsOfBase(const TFileIDs& fileIds, TItemIDArray& records,
                                 std::int64_t baseId);

    double FProgress = 0.0;
    std::array<std::int64_t, 9> FByteMask{};
    TFileRecordOutput FRecord;
    platform::Handle FHandle = 0;
    std::string FVolumePath;
    std::string FVolumeName;
    std::string FDrive;
    std::string FSerial;
    std::string FFileSystem;
    std::string FFileSystemFlags;
    std::uint32_t FMaxComponentLength = 0;
    std::int64_t FVolumeSerialNumber = 0;
    std::int64_t FNumberSectors = 0;
    std::int64_t FTotalClusters = 0;
    std::int64_t FFreeClusters = 0;
    std::int64_t FTotalReserved = 0;
    std::uint32_t FBytesPerSector = 0;
    std::uint32_t FBytesPerCluster = 0;
    std::uint32_t FBytesPerFileRecordSegment = 0;
    std::uint32_t FClustersPerFileRecordSegment = 0;
    std::int64_t FMftValidDataLength = 0;
    std::int64_t FMftStartLcn = 0;
    std::int64_t FMft2StartLcn = 0;
    std::int64_t FMftZoneStart = 0;
    std::int64_t FMftZoneEnd = 0;
    // The clusters of the layer beneath the file system (BitLocker's own),
    // owned by the system whatever the file table says: in LCN order.
    std::vector<TReservedRun> FReserved;
    bool FRecordSize1K = false;
    std::vector<std::byte> FLastRecord;

  private:
    // True when the geometry is known and names this as an NTFS volume.
    [[nodiscard]] bool IsUsable() const;
    // Issues the file-record query on `handle`; the answer's length never
    // exceeds `output`.
    bool QueryRecord(platform::Handle handle, std::span<std::byte> output, std::int64_t recordNo);

    platform::VolumeApi& FApi;
    // FRecord's bytes live in FRecordArea; a fetch goes into FFetchArea and
    // the two trade places when it succeeds, so a record is copied once, out
    // of the volume, and a failed fetch leaves FRecord as it was.
    std::vector<std::byte> FRecordArea;
    std::vector<std::byte> FFetchArea;
    void SizeRecordAreas(std::size_t recordSize);
    // The record number whose answer FRecordArea holds, for the open bracket.
    static constexpr std::int64_t kNoRecordAsked = std::numeric_limits<std::int64_t>::min();
    std::int64_t FRecordAsked = kNoRecordAsked;
};

} // namespace lorvex::ntfs

#pragma once

#include "platform/BitLockerSource.h"
#include "platform/NtfsImage.h"
#include "platform/SourceProbe.h"
#include "platform/WriteTarget.h"
#include "volume/VolumeApi.h"

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace lorvex::platform {

// The volume queries answered from raw sources: image files, whole-disk images
// and block devices, each region of which becomes a fixed drive, C: onwards.
// Past Z: a region is still a drive, without a letter: its volume GUID path
// "\\?\Volume{GUID}\" is its root, as for a volume mounted without a letter.
// Everything is read-only; there is no call here that could write.
class RawVolumeSystem final : public VolumeApi {
  public:
    struct Drive {
        char letter = 0; // 0 for a drive past Z:
        SourceRegion region;
        std::string volumeGuid; // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"

        // "C:\", or the volume GUID path of a drive without a letter.
        [[nodiscard]] std::string Root() const;
        // "C:", or the volume GUID path without its last backslash.
        [[nodiscard]] std::string Name() const;
    };

    // One drive per region of every source, in the order given, each source
    // read as `as` says and its container opened as `options` say. Sources
    // that cannot be opened are skipped and their reasons kept in `problems`,
    // with what is not printable escaped (ondisk/Printable.h).
    explicit RawVolumeSystem(const std::vector<std::string>& sources, ReadAs as = ReadAs::Auto,
                             const ContainerOptions& options = {});
    // The machine's own NTFS partitions.
    static std::unique_ptr<RawVolumeSystem> ForMachine();

    // Adds the regions of one more source as drives after the others, as
    // the constructor does. False, with the reason in `problem` (escaped as
    // the problems are), when it cannot be opened; nothing is added then.
    // Not while a handle is used on another thread.
    bool AddSource(const std::string& source, std::string& problem, ReadAs as = ReadAs::Auto);
    bool AddSource(const std::string& source, std::string& problem, ReadAs as,
                   const ContainerOptions& options);

    // Takes drive `drive` away: its handles are let go of, the later drives
    // move up one place (keeping their letters) and its letter is free for
    // the next source. Its files stay ones no report may be written to.
    // False when there is no such drive. Not while a handle is used on
    // another thread.
    bool CloseDrive(std::size_t drive);

    [[nodiscard]] const std::vector<Drive>& drives() const { return drives_; }
    [[nodiscard]] const std::vector<std::string>& problems() const { return problems_; }

    // BitLocker. The metadata of the drive's BitLocker volume, read when the
    // drive is first opened; null when it holds none, or when its metadata
    // cannot be read (the reason is then in `why`).
    std::shared_ptr<const BitLockerVolume> BitLocker(std::size_t drive, std::string& why);
    // How the drive's BitLocker volume is decrypted once unlocked (by a key,
    // or by its clear key when its protection is suspended); null while it
    // is locked or when it is no BitLocker volume.
    [[nodiscard]] const BitLockerAccess* Unlocked(std::size_t drive) const;
    // Unlocks the drive's BitLocker volume with `key`: the volume key it
    // opens is kept, never the key itself. Its drive then reads decrypted.
    // The reason, without the key, in `why`. A key read from a file makes
    // that file one no report may be written to. Not while a handle is used
    // on another thread.
    BitLockerVolume::UnlockStatus Unlock(std::size_t drive, const BitLockerKey& key,
                                         std::string& why);

    // Opens `path` to write into, refusing a source, a device, or a file that
    // lies on a source (see OpenWriteTarget): the one check every writer of
    // a report or a picture goes through. A source that could not be opened
    // counts all the same, with every file it names.
    [[nodiscard]] WriteTarget OpenWriteTarget(const std::string& path) const;
    // A file that is no source but is never to be written either.
    void Protect(const std::string& path);

    std::uint32_t GetLogicalDrives() override;
    std::vector<std::string> FindVolumes() override;
    std::uint32_t GetDriveType(std::string_view rootPath) override;
    std::optional<std::string> QueryDosDevice(std::string_view deviceName) override;
    std::optional<std::string> GetVolumeNameForVolumeMountPoint(std::string_view rootPath) override;
    std::optional<VolumeInformation> GetVolumeInformation(std::string_view rootPath) override;
    Handle CreateFile(std::string_view devicePath) override;
    bool CloseHandle(Handle handle) override;
    bool DeviceIoControl(Handle handle, std::uint32_t code, std::span<const std::byte> in,
                         std::span<std::byte> out, std::uint32_t* bytesReturned) override;
    bool SetFilePointerEx(Handle handle, std::int64_t offset) override;
    bool ReadFile(Handle handle, std::span<std::byte> buffer, std::uint32_t* bytesRead) override;
    std::shared_ptr<const FileRecordBlocks> OpenFileRecordBlocks(Handle handle) override;
    FileRecordState ReadExactFileRecord(Handle handle, std::int64_t number,
                                        std::span<std::byte> out) override;
    std::vector<ReservedRange> ReservedRanges(std::string_view rootPath) override;
    [[nodiscard]] std::uint32_t GetLastError() const override { return lastError_; }

  private:
    RawVolumeSystem() = default;
    void AddRegions(std::vector<SourceRegion> regions);

    struct Opened {
        std::size_t drive = 0;
        std::int64_t position = 0;
        std::shared_ptr<const SourceBytes> bytes;
        std::shared_ptr<const NtfsImage> ntfs; // null when the drive is not NTFS we can read
    };
    // What a drive's boot sector showed and, for a drive that names itself
    // NTFS, its parsed volume, shared by every handle: re-read when the
    // source changed size or time since. Only the kKeptVolumes used last
    // keep their parsed volume (and its blocks and descriptor): a disk of
    // thousands of partitions costs what is read of it, not a volume each.
    struct Cache {
        // Null unless NTFS or BitLocker is named; decrypted, for a BitLocker
        // volume unlocked.
        std::shared_ptr<const SourceBytes> bytes;
        std::shared_ptr<const NtfsImage> ntfs;
        std::shared_ptr<const SourceBytes> encrypted; // the region, for a BitLocker volume
        std::shared_ptr<const BitLockerVolume> bitlocker;
        std::string bitlockerError;    // why its metadata cannot be read
        std::string lockedWhy;         // why its clear key did not open it
        DecryptedFileSystem decrypted; // what an unlocked volume holds
        std::uint32_t ntfsError = 0;
        std::int64_t size = -1;
        std::int64_t mtimeNs = -1;
        std::uint64_t used = 0; // the clock of its last use
    };
    static constexpr std::size_t kKeptVolumes = 8;

    const Drive* FindByRoot(std::string_view rootPath);
    const Drive* FindByGuid(const std::string& lowerGuid) const;
    bool Load(std::size_t drive, Cache*& out);
    // The drive's bytes for a handle: the parsed volume's, or opened anew
    // for a drive that keeps none.
    std::shared_ptr<const SourceBytes> BytesFor(std::size_t drive, const Cache& cache);
    void ForgetOldVolumes(std::size_t keep);
    // With the region's bytes in the cache: its BitLocker metadata, and the
    // decrypted volume in their place once it is unlocked.
    void LoadBitLocker(std::size_t drive, Cache& cache);
    void Decrypt(std::size_t drive, Cache& cache);
    Opened* Find(Handle handle);
    bool Fail(std::uint32_t code);

    bool VolumeData(const Opened& h, std::span<std::byte> out, std::uint32_t* returned);
    bool FileRecord(const Opened& h, std::span<const std::byte> in, std::span<std::byte> out,
                    std::uint32_t* returned);
    bool VolumeBitmap(const Opened& h, std::span<const std::byte> in, std::span<std::byte> out,
                      std::uint32_t* returned);

    std::vector<Drive> drives_;
    std::vector<std::string> problems_;
    ContainerOptions options_;
    // Every file each source given names, opened or not.
    std::vector<std::string> named_;
    std::vector<Cache> caches_;
    std::uint64_t clock_ = 0;
    std::unordered_map<std::string, std::size_t> byGuid_;    // "{guid}" to drive
    std::vector<std::unique_ptr<BitLockerAccess>> unlocked_; // a drive's, once unlocked
    std::map<Handle, Opened> handles_;
    Handle nextHandle_ = 0x100;
    std::uint32_t lastError_ = 0;
};

// OpenWriteTarget of whatever answers the volume queries: the raw system's
// sources are refused; another implementation reads no file of ours, and
// devices are refused all the same.
WriteTarget OpenWriteTargetFor(const VolumeApi& api, const std::string& path);

} // namespace lorvex::platform

#pragma once

// A hand-written VolumeApi for the tests: drives and volumes are plain data
// that a test fills in, every call is counted, and the answers follow the
// contracts the readers rely on (the nearest lower record in use, the fixed
// record layouts, root paths with a trailing backslash).

#include "ondisk/ByteReader.h"
#include "volume/VolumeApi.h"
#include "volume/VolumeData.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lorvex::test {

// The values of an NTFS_VOLUME_DATA_BUFFER with a common geometry, laid out
// by Encode() as the volume layer lays them out.
struct FakeVolumeData : volume::NtfsVolumeData {
    FakeVolumeData() {
        bytesPerSector = 512;
        bytesPerCluster = 4096;
        bytesPerFileRecordSegment = 1024;
    }

    [[nodiscard]] std::vector<std::byte> Encode() const {
        std::vector<std::byte> out(platform::volumedata::kSize);
        volume::EncodeVolumeData(*this, out);
        return out;
    }
};

// A file record of `size` bytes with the header fields the readers look at.
// `baseReference` is the whole 8-byte reference, sequence number included.
inline std::vector<std::byte> MakeFileRecord(std::size_t size, std::uint64_t baseReference = 0,
                                             std::uint16_t firstAttribute = 0x38,
                                             std::uint16_t flags = 0x0001) {
    std::vector<std::byte> record(size);
    const std::string_view signature = "FILE";
    for (std::size_t i = 0; i < signature.size() && i < size; ++i) {
        record[i] = static_cast<std::byte>(signature[i]);
    }
    ondisk::StoreLE(record, 0x14, firstAttribute, 2);
    ondisk::StoreLE(record, 0x16, flags, 2);
    ondisk::StoreLE(record, 0x20, baseReference, 8);
    return record;
}

// What a device path opens.
struct FakeVolume {
    // The answer of the volume-data query; empty = refused (not NTFS).
    std::vector<std::byte> volumeData;
    // Records in use, by number. A free number answers with the nearest
    // lower one in use.
    std::map<std::int64_t, std::vector<std::byte>> records;
    // When not 0, every file-record query fails with this error.
    std::uint32_t recordQueryError = 0;
    // When not 0, every seek fails with this error.
    std::uint32_t seekError = 0;
    // A sparse byte image: extents by offset, zeros elsewhere, up to imageSize.
    std::map<std::int64_t, std::vector<std::byte>> image;
    std::int64_t imageSize = 0;

    void WriteImage(std::int64_t offset, std::span<const std::byte> bytes) {
        image[offset].assign(bytes.begin(), bytes.end());
        imageSize = std::max(imageSize, offset + static_cast<std::int64_t>(bytes.size()));
    }
};

// What a drive letter answers.
struct FakeDrive {
    std::uint32_t driveType = platform::drivetype::kFixed;
    std::optional<std::string> dosTarget = "\\Device\\HarddiskVolume1";
    std::optional<std::string> volumeName;
    std::optional<platform::VolumeInformation> info;
};

struct FakeCallCounts {
    int getLogicalDrives = 0;
    int getDriveType = 0;
    int queryDosDevice = 0;
    int getVolumeName = 0;
    int getVolumeInformation = 0;
    int createFile = 0;
    int closeHandle = 0;
    int volumeDataQueries = 0;
    int fileRecordQueries = 0;
    int setFilePointer = 0;
    int readFile = 0;
};

class FakeVolumeApi : public platform::VolumeApi {
  public:
    // Drives by upper-case letter; volumes by device path.
    std::map<char, FakeDrive> drives;
    std::map<std::string, FakeVolume, std::less<>> volumes;
    FakeCallCounts calls;
    std::vector<std::string> lastArguments; // the string arguments, in call order
    std::int64_t lastSeekOffset = -1;

    // A fixed NTFS drive whose volume is "\\.\Volume{<letter>}"; returns that
    // volume for the test to fill in.
    FakeVolume& AddNtfsDrive(char letter, const FakeVolumeData& data, std::string label = "Data",
                             std::uint32_t serial = 0x1A2B3C4D) {
        const std::string guid = std::string("Volume{") + letter + "}";
        FakeDrive& drive = drives[letter];
        drive.volumeName = "\\\\?\\" + guid + "\\";
        drive.info = platform::VolumeInformation{std::move(label), serial, 255, 0, "NTFS"};
        FakeVolume& volume = volumes["\\\\.\\" + guid];
        volume.volumeData = data.Encode();
        return volume;
    }

    [[nodiscard]] std::size_t OpenHandleCount() const { return handles_.size(); }

    std::uint32_t GetLogicalDrives() override {
        ++calls.getLogicalDrives;
        std::uint32_t mask = 0;
        for (const auto& entry : drives) {
            if (entry.first >= 'A' && entry.first <= 'Z') {
                mask |= 1U << (entry.first - 'A');
            }
        }
        return mask;
    }

    std::uint32_t GetDriveType(std::string_view rootPath) override {
        ++calls.getDriveType;
        lastArguments.emplace_back(rootPath);
        const FakeDrive* drive = FindDrive(rootPath, ":\\");
        return drive ? drive->driveType : platform::drivetype::kNoRootDir;
    }

    std::optional<std::string> QueryDosDevice(std::string_view deviceName) override {
        ++calls.queryDosDevice;
        lastArguments.emplace_back(deviceName);
        const FakeDrive* drive = FindDrive(deviceName, ":");
        if (!drive || !drive->dosTarget) {
            return Fail<std::string>(platform::error::kFileNotFound);
        }
        return drive->dosTarget;
    }

    std::optional<std::string>
    GetVolumeNameForVolumeMountPoint(std::string_view rootPath) override {
        ++calls.getVolumeName;
        lastArguments.emplace_back(rootPath);
        const FakeDrive* drive = FindDrive(rootPath, ":\\");
        if (!drive || !drive->volumeName) {
            return Fail<std::string>(platform::error::kInvalidParameter);
        }
        return drive->volumeName;
    }

    std::optional<platform::VolumeInformation>
    GetVolumeInformation(std::string_view rootPath) override {
        ++calls.getVolumeInformation;
        lastArguments.emplace_back(rootPath);
        const FakeDrive* drive = FindDrive(rootPath, ":\\");
        if (!drive || !drive->info) {
            return Fail<platform::VolumeInformation>(platform::error::kNotReady);
        }
        return drive->info;
    }

    platform::Handle CreateFile(std::string_view devicePath) override {
        ++calls.createFile;
        lastArguments.emplace_back(devicePath);
        if (volumes.find(devicePath) == volumes.end()) {
            lastError_ = platform::error::kFileNotFound;
            return platform::kInvalidHandle;
        }
        const platform::Handle handle = nextHandle_++;
        handles_[handle] = OpenFile{std::string(devicePath), 0};
        return handle;
    }

    bool CloseHandle(platform::Handle handle) override {
        ++calls.closeHandle;
        if (handles_.erase(handle) == 0) {
            lastError_ = platform::error::kInvalidHandle;
            return false;
        }
        return true;
    }

    bool DeviceIoControl(platform::Handle handle, std::uint32_t code, std::span<const std::byte> in,
                         std::span<std::byte> out, std::uint32_t* bytesReturned) override {
        if (bytesReturned) {
            *bytesReturned = 0;
        }
        FakeVolume* volume = VolumeOf(handle);
        switch (code) {
        case platform::kFsctlGetNtfsVolumeData:
            ++calls.volumeDataQueries;
            return volume && AnswerVolumeData(*volume, out, bytesReturned);
        case platform::kFsctlGetNtfsFileRecord:
            ++calls.fileRecordQueries;
            return volume && AnswerFileRecord(*volume, in, out, bytesReturned);
        default: // the bitmap query has no answer here yet
            lastError_ = platform::error::kInvalidFunction;
            return false;
        }
    }

    bool SetFilePointerEx(platform::Handle handle, std::int64_t offset) override {
        ++calls.setFilePointer;
        const auto it = handles_.find(handle);
        FakeVolume* volume = VolumeOf(handle);
        if (!volume) {
            return false;
        }
        if (offset < 0 || volume->seekError != 0) {
            lastError_ = offset < 0 ? platform::error::kInvalidParameter : volume->seekError;
            return false;
        }
        it->second.position = offset;
        lastSeekOffset = offset;
        return true;
    }

    bool ReadFile(platform::Handle handle, std::span<std::byte> buffer,
                  std::uint32_t* bytesRead) override {
        ++calls.readFile;
        if (bytesRead) {
            *bytesRead = 0;
        }
        const auto it = handles_.find(handle);
        FakeVolume* volume = VolumeOf(handle);
        if (!volume) {
            return false;
        }
        const std::int64_t position = it->second.position;
        const std::int64_t available = std::max<std::int64_t>(0, volume->imageSize - position);
        const auto count = static_cast<std::size_t>(
            std::min<std::int64_t>(available, static_cast<std::int64_t>(buffer.size())));
        std::fill_n(buffer.begin(), count, std::byte{0});
        for (const auto& [start, bytes] : volume->image) {
            const std::int64_t end = start + static_cast<std::int64_t>(bytes.size());
            const std::int64_t from = std::max(start, position);
            const std::int64_t to = std::min(end, position + static_cast<std::int64_t>(count));
            for (std::int64_t p = from; p < to; ++p) {
                buffer[static_cast<std::size_t>(p - position)] =
                    bytes[static_cast<std::size_t>(p - start)];
            }
        }
        it->second.position += static_cast<std::int64_t>(count);
        if (bytesRead) {
            *bytesRead = static_cast<std::uint32_t>(count);
        }
        return true;
    }

    [[nodiscard]] std::uint32_t GetLastError() const override { return lastError_; }

  private:
    struct OpenFile {
        std::string devicePath;
        std::int64_t position = 0;
    };

    template <typename T> std::optional<T> Fail(std::uint32_t error) {
        lastError_ = error;
        return std::nullopt;
    }

    // Like the system, only the exact forms "X:\" (roots) and "X:" (device
    // names) are understood; the letter is case-insensitive.
    const FakeDrive* FindDrive(std::string_view path, std::string_view suffix) const {
        if (path.size() != 1 + suffix.size() || path.substr(1) != suffix) {
            return nullptr;
        }
        char letter = path.front();
        if (letter >= 'a' && letter <= 'z') {
            letter = static_cast<char>(letter - 'a' + 'A');
        }
        const auto it = drives.find(letter);
        return it == drives.end() ? nullptr : &it->second;
    }

    FakeVolume* VolumeOf(platform::Handle handle) {
        const auto it = handles_.find(handle);
        if (it == handles_.end()) {
            lastError_ = platform::error::kInvalidHandle;
            return nullptr;
        }
        return &volumes.find(it->second.devicePath)->second;
    }

    bool AnswerVolumeData(const FakeVolume& volume, std::span<std::byte> out,
                          std::uint32_t* bytesReturned) {
        if (volume.volumeData.empty()) {
            lastError_ = platform::error::kInvalidFunction;
            return false;
        }
        if (out.size() < volume.volumeData.size()) {
            lastError_ = platform::error::kInsufficientBuffer;
            return false;
        }
        std::ranges::copy(volume.volumeData, out.begin());
        if (bytesReturned) {
            *bytesReturned = static_cast<std::uint32_t>(volume.volumeData.size());
        }
        return true;
    }

    bool AnswerFileRecord(const FakeVolume& volume, std::span<const std::byte> in,
                          std::span<std::byte> out, std::uint32_t* bytesReturned) {
        namespace fr = platform::filerecord;
        const auto wanted = ondisk::ByteReader(in).i64(0);
        if (!wanted || in.size() != fr::kInputSize) {
            lastError_ = platform::error::kInvalidParameter;
            return false;
        }
        if (volume.recordQueryError != 0) {
            lastError_ = volume.recordQueryError;
            return false;
        }
        auto it = volume.records.upper_bound(*wanted);
        if (it == volume.records.begin()) {
            lastError_ = platform::error::kInvalidParameter;
            return false;
        }
        --it;
        const std::vector<std::byte>& record = it->second;
        if (out.size() < fr::kFileRecordBuffer + record.size()) {
            lastError_ = platform::error::kInsufficientBuffer;
            return false;
        }
        ondisk::StoreLE(out, fr::kFileReferenceNumber, static_cast<std::uint64_t>(it->first), 8);
        ondisk::StoreLE(out, fr::kFileRecordLength, record.size(), 4);
        std::ranges::copy(record, out.begin() + fr::kFileRecordBuffer);
        if (bytesReturned) {
            *bytesReturned = static_cast<std::uint32_t>(fr::kFileRecordBuffer + record.size());
        }
        return true;
    }

    std::map<platform::Handle, OpenFile> handles_;
    // Never 0: the volume object takes 0 for "no handle".
    platform::Handle nextHandle_ = 0x100;
    std::uint32_t lastError_ = platform::error::kSuccess;
};

} // namespace lorvex::test

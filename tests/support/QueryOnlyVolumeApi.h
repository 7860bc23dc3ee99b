#pragma once

#include "ntfs/RecordBlocks.h"
#include "support/Volumes.h"
#include "volume/VolumeApi.h"

#include <string>
#include <vector>

namespace lorvex::test {

// Another volume layer as it answers, but without the record blocks: the
// readers then take the record query, one record a call, as they do on any
// volume layer that has no blocks to offer.
class QueryOnlyVolumeApi final : public platform::VolumeApi {
  public:
    explicit QueryOnlyVolumeApi(platform::VolumeApi& inner) : inner_(inner) {}

    std::uint32_t GetLogicalDrives() override { return inner_.GetLogicalDrives(); }
    std::vector<std::string> FindVolumes() override { return inner_.FindVolumes(); }
    std::uint32_t GetDriveType(std::string_view root) override { return inner_.GetDriveType(root); }
    std::optional<std::string> QueryDosDevice(std::string_view name) override {
        return inner_.QueryDosDevice(name);
    }
    std::optional<std::string> GetVolumeNameForVolumeMountPoint(std::string_view root) override {
        return inner_.GetVolumeNameForVolumeMountPoint(root);
    }
    std::optional<platform::VolumeInformation>
    GetVolumeInformation(std::string_view root) override {
        return inner_.GetVolumeInformation(root);
    }
    platform::Handle CreateFile(std::string_view path) override { return inner_.CreateFile(path); }
    bool CloseHandle(platform::Handle handle) override { return inner_.CloseHandle(handle); }
    bool DeviceIoControl(platform::Handle handle, std::uint32_t code, std::span<const std::byte> in,
                         std::span<std::byte> out, std::uint32_t* returned) override {
        return inner_.DeviceIoControl(handle, code, in, out, returned);
    }
    bool SetFilePointerEx(platform::Handle handle, std::int64_t offset) override {
        return inner_.SetFilePointerEx(handle, offset);
    }
    bool ReadFile(platform::Handle handle, std::span<std::byte> buffer,
                  std::uint32_t* read) override {
        return inner_.ReadFile(handle, buffer, read);
    }
    [[nodiscard]] std::uint32_t GetLastError() const override { return inner_.GetLastError(); }

  private:
    platform::VolumeApi& inner_;
};

// The volumes on which the block readers are compared with the record
// query: the oracle's, and copies with records that do not read.
inline std::vector<NtfsVolumeCase> BlockReaderVolumes() {
    std::vector<NtfsVolumeCase> cases = OracleVolumes();
    for (const char* name :
         {"ntfs-small", "ntfs-2m", "deep-chain", "damaged-mft-fixup", "damaged-mft-bitmap",
          "damaged-truncated", "damaged-mft-beyond", "damaged-rec-huge"}) {
        const auto p = VolumeDir() / (std::string(name) + ".img");
        if (std::filesystem::exists(p)) {
            cases.push_back({name, p, 0, 0});
        }
    }
    return cases;
}

// The walks' threads set for a scope (0, the cores, again after it).
class ScanThreadsGuard {
  public:
    explicit ScanThreadsGuard(unsigned threads) { ntfs::SetScanThreads(threads); }
    ~ScanThreadsGuard() { ntfs::SetScanThreads(0); }
    ScanThreadsGuard(const ScanThreadsGuard&) = delete;
    ScanThreadsGuard& operator=(const ScanThreadsGuard&) = delete;
};

} // namespace lorvex::test

#pragma once

#include "platform/VolumeApi.h"

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

} // namespace lorvex::test

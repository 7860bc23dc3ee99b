#include "volume/VolumeUtils.h"

#include "support/FakeVolumeApi.h"

#include <gtest/gtest.h>

#include <string>

namespace lorvex::volume {
namespace {

using test::FakeVolumeApi;

TEST(GetRealDriveType, SubstitutedFixedDriveReportsSeven) {
    FakeVolumeApi api;
    api.drives['C'].dosTarget = "\\Device\\HarddiskVolume3";
    api.drives['S'].dosTarget = "\\??\\C:\\Projects";
    EXPECT_EQ(GetRealDriveType(api, "C:\\"), platform::drivetype::kFixed);
    EXPECT_EQ(GetRealDriveType(api, "S:\\"), kDriveSubstituted);
    // The device name is the letter and a colon, without the backslash.
    EXPECT_EQ(api.lastArguments.back(), "S:");
}

TEST(GetRealDriveType, OtherTypesAndUnknownTargetsPassThrough) {
    FakeVolumeApi api;
    api.drives['E'].driveType = platform::drivetype::kRemovable;
    api.drives['E'].dosTarget = "\\??\\C:\\Stick";
    api.drives['F'].dosTarget.reset();
    api.drives['G'].dosTarget = "\\??";
    EXPECT_EQ(GetRealDriveType(api, "E:\\"), platform::drivetype::kRemovable);
    EXPECT_EQ(api.calls.queryDosDevice, 0);
    EXPECT_EQ(GetRealDriveType(api, "F:\\"), platform::drivetype::kFixed);
    EXPECT_EQ(GetRealDriveType(api, "G:\\"), platform::drivetype::kFixed);
    EXPECT_EQ(GetRealDriveType(api, "Q:\\"), platform::drivetype::kNoRootDir);
}

TEST(GetVolumeDevicePath, TurnsTheVolumeNameIntoADevicePath) {
    FakeVolumeApi api;
    api.drives['C'].volumeName = "\\\\?\\Volume{0b1c-42}\\";
    api.drives['D'].volumeName = "\\\\?\\Volume{d}";
    api.drives['E'].volumeName = std::string("\\\\?\\Volume{e}\\\0junk\\", 20);
    EXPECT_EQ(GetVolumeDevicePath(api, "C:\\"), "\\\\.\\Volume{0b1c-42}");
    EXPECT_EQ(GetVolumeDevicePath(api, "D:\\"), "\\\\.\\Volume{d}");
    EXPECT_EQ(GetVolumeDevicePath(api, "E:\\"), "\\\\.\\Volume{e}");
    EXPECT_EQ(GetVolumeDevicePath(api, "F:\\"), "");
}

TEST(GetVolumeLabel, GivesTheLabelOrNothing) {
    FakeVolumeApi api;
    api.drives['C'].info = platform::VolumeInformation{"System", 1, 255, 0, "NTFS"};
    api.drives['D'].info = platform::VolumeInformation{"", 2, 255, 0, "NTFS"};
    EXPECT_EQ(GetVolumeLabel(api, "C:\\"), "System");
    EXPECT_EQ(GetVolumeLabel(api, "D:\\"), "");
    EXPECT_EQ(GetVolumeLabel(api, "E:\\"), "");
}

} // namespace
} // namespace lorvex::volume

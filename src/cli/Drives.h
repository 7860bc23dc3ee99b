#pragma once

#include "cli/Options.h"
#include "platform/RawVolumeSystem.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// The drives of a run: the sources opened, the drives chosen among them, and
// their BitLocker volumes unlocked with the key given.
namespace lorvex::cli {

using Drive = platform::RawVolumeSystem::Drive;

struct DriveSet {
    std::unique_ptr<platform::RawVolumeSystem> system;
    std::vector<const Drive*> chosen;
    // Per drive of the system: why its BitLocker volume did not open with
    // the key given; empty when it did, or was not tried.
    std::vector<std::string> lockedWhy;

    [[nodiscard]] std::size_t IndexOf(const Drive& drive) const {
        return static_cast<std::size_t>(&drive - system->drives().data());
    }
};

// The sources `options` name (this machine's drives without any), opened,
// with the key file kept from being written like a source.
std::unique_ptr<platform::RawVolumeSystem> OpenSources(const Options& options);

// Says on standard error what the opening found: the sources that could not
// be opened, the files a VMDK would read outside its folder, and a second
// reading a source allows. Returns 0, or the exit status when there is no
// drive at all.
int ReportSources(const platform::RawVolumeSystem& system, const Options& options);

// The drives to read: the one --drive names, else all of them; then those
// of BitLocker unlocked with the key given. Returns the exit status: 0 when
// the run goes on.
int ChooseDrives(DriveSet& drives, const Options& options);

// "C:  /path/disk.img (partition 2)"
std::string DriveTitle(const Drive& drive);

// What a BitLocker drive that stays locked says at the shell: why, and what
// would open it.
std::string LockedText(DriveSet& drives, std::size_t index);
// The state of a BitLocker drive as --info gives it.
std::string BitLockerState(DriveSet& drives, std::size_t index);
// The protectors with their ids: "password 3e55195c-..., recovery password ...".
std::string ProtectorIds(const platform::BitLockerVolume& volume);

} // namespace lorvex::cli

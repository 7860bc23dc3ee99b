#include "cli/Drives.h"

#include "ntfs/NtfsVolume.h"
#include "ondisk/FveMetadata.h"
#include "ondisk/Printable.h"

#include <cstdio>

namespace lorvex::cli {

namespace {

using platform::RawVolumeSystem;

// The one --drive names, else all of them. Returns the exit status.
int Choose(DriveSet& set, const Options& options) {
    const auto& drives = set.system->drives();
    if (options.driveIndex != 0) {
        if (options.driveIndex > drives.size()) {
            std::fprintf(stderr, "lorvex-scan: no drive %zu (the sources give %zu drives)\n",
                         options.driveIndex, drives.size());
            return 1;
        }
        set.chosen.push_back(&drives[options.driveIndex - 1]);
    } else if (options.drive != 0) {
        for (const auto& drive : drives) {
            if (drive.letter == options.drive) {
                set.chosen.push_back(&drive);
            }
        }
        if (set.chosen.empty()) {
            const char last = drives.size() >= 24 ? 'Z' : drives.back().letter;
            std::fprintf(stderr, "lorvex-scan: no drive %c: (the sources give C: to %c:)\n",
                         options.drive, last);
            return 1;
        }
    } else {
        for (const auto& drive : drives) {
            set.chosen.push_back(&drive);
        }
    }
    return 0;
}

// An export or a picture is of one volume: with several, one is chosen, from
// the list said here. Returns the exit status.
int RefuseSeveral(DriveSet& set, const Options& options) {
    if (set.chosen.size() <= 1 || options.info || (!options.exportPath && !options.mapPngPath)) {
        return 0;
    }
    const auto& drives = set.system->drives();
    std::fprintf(stderr,
                 "lorvex-scan: the sources give %zu drives, and %s is of one; choose it with "
                 "--drive:\n",
                 drives.size(), options.exportPath ? "--export" : "--map-png");
    for (const auto& drive : drives) {
        ntfs::NtfsVolume volume(*set.system, drive.Root());
        std::fprintf(stderr, "  %zu. %s  %s%s  %s %s\n", set.IndexOf(drive) + 1,
                     drive.Name().c_str(), ondisk::Printable(drive.region.path).c_str(),
                     drive.region.partition > 0
                         ? (" #" + std::to_string(drive.region.partition)).c_str()
                         : "",
                     volume.information().fileSystemName.c_str(),
                     ondisk::Printable(volume.information().label).c_str());
    }
    return 2;
}

// BitLocker drives are unlocked with the key given before anything reads
// them.
void Unlock(DriveSet& set, const Options& options) {
    set.lockedWhy.assign(set.system->drives().size(), {});
    if (!options.unlockPath) {
        return;
    }
    bool any = false;
    for (const auto* drive : set.chosen) {
        if (drive->region.fileSystem != "BitLocker") {
            continue;
        }
        any = true;
        const std::size_t index = set.IndexOf(*drive);
        std::string why;
        if (set.system->Unlock(index, options.key, why) !=
            platform::BitLockerVolume::UnlockStatus::Unlocked) {
            set.lockedWhy[index] = why;
        }
    }
    if (!any) {
        std::fprintf(stderr, "lorvex-scan: %s: no BitLocker drive to unlock\n",
                     ondisk::Printable(*options.unlockPath).c_str());
    }
}

} // namespace

std::unique_ptr<RawVolumeSystem> OpenSources(const Options& options) {
    auto system = options.sources.empty()
                      ? RawVolumeSystem::ForMachine()
                      : std::make_unique<RawVolumeSystem>(
                            options.sources, options.readAs,
                            platform::ContainerOptions{options.allowOutsideExtents});
    if (options.unlockPath) {
        system->Protect(*options.unlockPath);
    }
    return system;
}

int ReportSources(const RawVolumeSystem& system, const Options& options) {
    for (const auto& problem : system.problems()) {
        // A source's texts in it are escaped already; anything else that is
        // not printable is, here.
        std::fprintf(stderr, "lorvex-scan: %s\n", ondisk::Printable(problem).c_str());
    }
    if (!options.allowOutsideExtents && !system.problems().empty()) {
        for (const auto& source : options.sources) {
            std::string files;
            for (const auto& file : platform::ContainerImage::OutsideFiles(source)) {
                files += (files.empty() ? "" : ", ") + file;
            }
            if (!files.empty()) {
                // The names are the descriptor's, written by whoever made it.
                std::fprintf(stderr, "lorvex-scan: %s: --allow-outside-extents reads %s too\n",
                             ondisk::Printable(source).c_str(), ondisk::Printable(files).c_str());
            }
        }
    }
    // A source whose bytes allow a reading other than the one taken is said
    // so whatever the action, once, with the way to take the other.
    const auto& drives = system.drives();
    for (std::size_t i = 0; i < drives.size(); ++i) {
        const auto& region = drives[i].region;
        const auto& reading = region.reading;
        if ((i == 0 || drives[i - 1].region.path != region.path) && !reading.asked &&
            (!reading.other.empty() || !reading.passedOver.empty())) {
            std::fprintf(stderr, "lorvex-scan: %s: read as %s%s\n",
                         ondisk::Printable(region.path).c_str(), reading.Text().c_str(),
                         reading.other.empty() ? "" : " (--as raw reads it so)");
        }
    }
    if (drives.empty()) {
        if (options.sources.empty()) {
            std::fprintf(stderr, "lorvex-scan: no NTFS volume found on this machine\n");
        }
        return 1;
    }
    return 0;
}

int ChooseDrives(DriveSet& drives, const Options& options) {
    if (const int status = Choose(drives, options); status != 0) {
        return status;
    }
    if (const int status = RefuseSeveral(drives, options); status != 0) {
        return status;
    }
    Unlock(drives, options);
    // A source named but unreadable is an error; a device of the machine
    // that does not answer is only left out.
    if (!options.info && !options.sources.empty() && !drives.system->problems().empty()) {
        return 1;
    }
    return 0;
}

std::string DriveTitle(const Drive& drive) {
    std::string title = drive.Name() + "  " + ondisk::Printable(drive.region.path);
    if (drive.region.partition > 0) {
        title += " (partition " + std::to_string(drive.region.partition) + ")";
    }
    return title;
}

std::string LockedText(DriveSet& drives, std::size_t index) {
    std::string why;
    const auto volume = drives.system->BitLocker(index, why);
    if (!volume) {
        return "encrypted with BitLocker, but " + why;
    }
    if (!drives.lockedWhy[index].empty()) {
        return "encrypted with BitLocker: " + drives.lockedWhy[index];
    }
    if (!why.empty()) {
        return "encrypted with BitLocker, and not opened: " + why;
    }
    return "encrypted with BitLocker (" + volume->ProtectorList() +
           "): give its key with --unlock FILE";
}

std::string BitLockerState(DriveSet& drives, std::size_t index) {
    if (const auto* access = drives.system->Unlocked(index)) {
        return "unlocked with its " + access->protector;
    }
    std::string why;
    drives.system->BitLocker(index, why);
    if (!drives.lockedWhy[index].empty()) {
        return "locked: " + drives.lockedWhy[index];
    }
    if (!why.empty()) {
        return "locked: " + why;
    }
    return "locked (give its key with --unlock FILE)";
}

std::string ProtectorIds(const platform::BitLockerVolume& volume) {
    std::string text;
    for (const auto& p : volume.protectors()) {
        text += (text.empty() ? "" : ", ") + ondisk::ProtectionName(p.protection) + " " +
                ondisk::FormatGuid(p.id);
    }
    return text;
}

} // namespace lorvex::cli

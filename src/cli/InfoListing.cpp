#include "cli/InfoListing.h"

#include "ntfs/Formatters.h"
#include "ondisk/FveMetadata.h"

#include <algorithm>

namespace lorvex::cli {

void FillVolume(Record& record, const ntfs::NtfsVolume& volume, SourceTexts texts) {
    record.Clear();
    record.Add("file_system", volume.information().fileSystemName);
    record.Add("label", SourceText(volume.information().label, texts));
    record.Add("serial", ntfs::VolumeSerialText(volume.information().serialNumber));
    if (volume.geometry().totalClusters == 0) {
        // Not NTFS, or unreadable: the same fields, without values, so that
        // a table of several drives keeps its columns.
        for (const std::string_view key :
             {"device_path", "sectors", "bytes_per_sector", "clusters", "bytes_per_cluster",
              "free_clusters", "bytes_per_record", "mft_lcn", "mft_mirror_lcn", "mft_valid_bytes",
              "mft_zone_first", "mft_zone_last", "flags"}) {
            record.AddNull(key);
        }
        return;
    }
    record.Add("device_path", volume.devicePath());
    record.Add("sectors", volume.geometry().numberSectors);
    record.Add("bytes_per_sector", volume.geometry().bytesPerSector);
    record.Add("clusters", volume.geometry().totalClusters);
    record.Add("bytes_per_cluster", volume.geometry().bytesPerCluster);
    record.Add("free_clusters", volume.geometry().freeClusters);
    record.Add("bytes_per_record", volume.geometry().bytesPerRecord);
    record.Add("mft_lcn", volume.geometry().mftStartLcn);
    record.Add("mft_mirror_lcn", volume.geometry().mftMirrorStartLcn);
    record.Add("mft_valid_bytes", volume.geometry().mftValidDataLength);
    record.Add("mft_zone_first", volume.geometry().mftZoneStart);
    record.Add("mft_zone_last", volume.geometry().mftZoneEnd);
    record.Add("flags", ntfs::FileSystemFlagsText(volume.information().fileSystemFlags));
}

namespace {

// The same as fields of the volume's record, null for a drive that is no
// BitLocker volume, so that a table of several drives keeps its columns.
void AddBitLocker(Record& row, DriveSet& drives, std::size_t index) {
    std::string why;
    const auto volume = drives.system->drives()[index].region.fileSystem == "BitLocker"
                            ? drives.system->BitLocker(index, why)
                            : nullptr;
    if (!volume) {
        row.AddNull("bitlocker_cipher");
        row.AddNull("bitlocker_id");
        row.AddNull("bitlocker_protectors");
        if (drives.system->drives()[index].region.fileSystem == "BitLocker") {
            row.Add("bitlocker_state", why);
        } else {
            row.AddNull("bitlocker_state");
        }
        row.AddNull("bitlocker_reader");
        return;
    }
    // What the text says besides.
    auto& notes = row.AddTexts("bitlocker_notes");
    for (const auto& note : volume->notes()) {
        notes.Add(note);
    }
    row.TextOnly();
    const auto* access = drives.system->Unlocked(index);
    row.Add("bitlocker_cipher", ondisk::MethodName(volume->method()));
    row.Add("bitlocker_id", ondisk::FormatGuid(volume->volumeId()));
    row.Add("bitlocker_protectors", ProtectorIds(*volume));
    row.Add("bitlocker_state", BitLockerState(drives, index));
    if (access != nullptr) {
        row.Add("bitlocker_reader", access->reader);
    } else {
        row.AddNull("bitlocker_reader");
    }
}

// What the text of --info says that the volume's record does not: the
// files a container reads, so that what the evidence points at is seen, and
// the last record in use.
void AddTextFacts(Record& row, const Drive& drive, ntfs::NtfsVolume& volume) {
    auto& reads = row.AddTexts("reads");
    for (const auto& file : drive.region.containerFiles) {
        reads.Add(file);
    }
    row.TextOnly();
    if (volume.geometry().totalClusters != 0) {
        row.Add("last_record", volume.GetLastRecordNumber());
        row.TextOnly();
    }
}

} // namespace

int WriteInfo(DriveSet& drives, Listing& listing) {
    for (const auto* drive : drives.chosen) {
        ntfs::NtfsVolume volume(*drives.system, drive->Root());
        FillDriveLabel(listing.label, *drive, listing.Texts());
        listing.writer.BeginDrive(listing.label);
        FillVolume(listing.row, volume, listing.Texts());
        AddBitLocker(listing.row, drives, drives.IndexOf(*drive));
        AddTextFacts(listing.row, *drive, volume);
        listing.writer.Section("volume", listing.row);
        listing.writer.EndDrive();
    }
    // A key given that opened nothing fails the run as a scan's does.
    const bool refused = std::any_of(drives.lockedWhy.begin(), drives.lockedWhy.end(),
                                     [](const std::string& why) { return !why.empty(); });
    return drives.system->problems().empty() && !refused ? 0 : 1;
}

} // namespace lorvex::cli

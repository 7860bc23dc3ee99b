#pragma once

#include "ntfs/Export.h"
#include "platform/RawVolumeSystem.h"

#include <string>

namespace lorvex::test {

// An export as the window and lorvex-scan make one: the target opened
// through the volume layer's check, then written.
inline ntfs::ExportResult ExportTo(ntfs::NtfsVolume& volume, const ntfs::TFileIDs& fileIds,
                                   const platform::RawVolumeSystem& system,
                                   const std::string& path) {
    const platform::WriteTarget target = system.OpenWriteTarget(path);
    if (target.fd < 0) {
        return {false, target.error, ntfs::RuntimeErrorText(target.error)};
    }
    return ntfs::ExportFileTable(volume, fileIds, target.fd);
}

} // namespace lorvex::test

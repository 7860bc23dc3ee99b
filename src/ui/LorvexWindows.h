#pragma once

#include "platform/RawVolumeSystem.h"
#include "ui/FindWindow.h"
#include "ui/FragmentationWindow.h"
#include "ui/HelpWindow.h"
#include "ui/InfoWindow.h"
#include "ui/MainWindow.h"
#include "volume/VolumeApi.h"

#include <cstddef>
#include <string>
#include <vector>

namespace lorvex::ui {

// Closes the sources, among the drives from `from` on, of which no drive is
// one the window can show (a text file, a FAT or exFAT volume, a disk of
// them), so that none becomes a drive; a BitLocker drive stays for its key
// to be asked for. Returns each with why, in the words lorvex-scan uses:
// "no file system recognised", "FAT16, not NTFS".
struct RefusedSource {
    std::string source; // escaped as the problems are (ondisk/Printable.h)
    std::string why;
};
std::vector<RefusedSource> CloseSourcesWithoutNtfs(platform::RawVolumeSystem& system,
                                                   std::size_t from = 0);

// The program's five windows, created once and in this order: the main
// window first (its creation builds the palette, the pictures and the drive
// menu), then the zoom, report, Fast Find and Fragmentation List windows,
// all of which float above it. Only the main window is shown.
class TLorvexWindows {
  public:
    explicit TLorvexWindows(platform::VolumeApi& api);
    // Over raw sources, the main window can also open more of them and
    // names each drive's source in its title.
    explicit TLorvexWindows(platform::RawVolumeSystem& system);
    TLorvexWindows(const TLorvexWindows&) = delete;
    TLorvexWindows& operator=(const TLorvexWindows&) = delete;

    MainWindow Form1;
    Tfrm_Help frm_Help;
    Tfrm_Info frm_Info;
    FindWindow frmFind;
    FragmentationWindow frm_Fragmentation;
};

} // namespace lorvex::ui

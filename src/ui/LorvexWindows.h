#pragma once

#include "platform/RawVolumeSystem.h"
#include "ui/FindWindow.h"
#include "ui/FragmentationWindow.h"
#include "ui/HelpWindow.h"
#include "ui/InfoWindow.h"
#include "ui/MainWindow.h"
#include "ui/ProgressWindow.h"
#include "volume/VolumeApi.h"

namespace lorvex::ui {

// The program's six windows, created once and in this order: the main
// window first (its creation builds the palette, the pictures and the drive
// menu), then the zoom, progress, report, Fast Find and Fragmentation List
// windows, all of which float above it. Only the main window is shown.
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
    Tfrm_Progress frm_Progress;
    Tfrm_Info frm_Info;
    FindWindow frmFind;
    FragmentationWindow frm_Fragmentation;
};

} // namespace lorvex::ui

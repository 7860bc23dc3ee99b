#include "ui/LorvexWindows.h"

#include "platform/RawVolumeSystem.h"

namespace lorvex::ui {

// The secondary windows are children of the main window, which keeps them
// above it; being members declared after it, they are destroyed before it.
TLorvexWindows::TLorvexWindows(platform::VolumeApi& api)
    : Form1(api), frm_Help(&Form1), frm_Progress(&Form1), frm_Info(&Form1), frmFind(&Form1),
      frm_Fragmentation(&Form1) {
    Form1.AttachWindows(&frm_Help, &frm_Progress, &frm_Info, &frmFind, &frm_Fragmentation);
    // A saved report is checked like the export: never over a source.
    frm_Info.OpenTarget = [&api](const std::string& path) {
        return platform::OpenWriteTargetFor(api, path);
    };
}

} // namespace lorvex::ui

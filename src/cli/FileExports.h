#pragma once

#include "cli/Listings.h"
#include "cli/Options.h"
#include "cli/OutputTargets.h"

#include <memory>

namespace lorvex::map {
class TMapModel;
}

// What a scan of one drive writes besides its listings: the export of its
// file table (--export) and the picture of its cluster map (--map-png).
namespace lorvex::cli {

// The export into its checked target, or standard output; what failed is
// said. Returns the exit status.
int WriteExport(const ScannedDrive& scan, const Options& options, const OutputTargets& targets,
                Output& out);

// Whether this lorvex-scan draws map pictures (it was built with Qt).
bool MapPicturesDrawn();

// 1, saying why, when a picture is asked for that cannot be drawn (its
// encoder does not load); 0 otherwise. Before anything is opened or
// scanned.
int CheckMapPicture(const Options& options);

// The map's model of the drive, built while the scan's table and map are
// still in FileIndex order (its painting stage), over the drive's bitmap
// when another action reads it too (`shareBitmap`), else over its own read
// of it. Null when the drive's size cannot be read.
std::shared_ptr<map::TMapModel> BuildMapModel(const ScannedDrive& scan, bool shareBitmap);

// The map picture of a finished scan into its checked target. Returns the
// exit status.
int WriteMapPicture(const ScannedDrive& scan, const std::shared_ptr<map::TMapModel>& model,
                    const Options& options, const OutputTargets& targets);

} // namespace lorvex::cli

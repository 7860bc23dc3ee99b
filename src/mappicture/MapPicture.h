#pragma once

#include "map/MapModel.h"
#include "map/MapView.h"
#include "map/Palette.h"
#include "mappicture/PictureLimits.h"

#include <QImage>
#include <QRect>
#include <QSize>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A picture of the cluster map as the window draws it, with a title line
// above and a legend below, for a file rather than a screen.
namespace lorvex::mappicture {

struct TMapPictureOptions {
    QSize size{kDefaultWidth, kDefaultHeight};
    // The scale of the map; the whole volume in view when empty. A scale
    // that does not fit the area is held to what TMapView allows.
    std::optional<map::TMapScale> scale;
    // The clusters the view lays out: the volume's own count, which may
    // exceed the model's when the source is shorter than the volume (the
    // missing clusters are drawn as beyond the end). 0: the model's.
    std::int64_t viewClusters = 0;
    std::string title; // UTF-8
    // The colours of the kinds; the standard ones when null.
    const map::Palette* palette = nullptr;
    // What the window lights: a file shown on the map, and an overlay (its
    // kinds darkened beneath). Each is drawn and named in the legend only
    // when it is there.
    std::vector<map::TClusterSpan> highlight;
    std::vector<map::TOverlaySpan> overlay;
};

// Where the parts of a picture of `size` lie. The geometry depends only on
// the size and the font the picture is drawn with, so a reader of the file
// finds the map where it was drawn.
struct TMapPictureLayout {
    QRect title;
    QRect map;
    QRect legend;
    std::int32_t legendColumns = 1;
    std::int32_t legendColumnWidth = 0;
};

// Needs a QGuiApplication (for the font). An empty map rectangle when
// `size` is outside [kMin, kMaxSide]. The legend has room for the kinds and
// for the highlight and the overlays that `options` shows.
TMapPictureLayout LayoutMapPicture(QSize size, const TMapPictureOptions& options = {});

// The picture in QImage::Format_RGB32; a null image when the size is
// outside the limits or the memory for it cannot be had. Each pixel of the
// map area is the palette colour of what TMapView::Render draws there for
// the same area, scale and model.
QImage RenderMapPicture(const map::TMapModel& model, const TMapPictureOptions& options);

// The colour of the picture's background and of the map's own background
// (kBackgroundIndex), and of the grid between magnified cells (kGridIndex).
inline constexpr QRgb kPictureBackground = 0xFFFFFFFFU;
inline constexpr QRgb kPictureGrid = 0xFF505050U;

} // namespace lorvex::mappicture

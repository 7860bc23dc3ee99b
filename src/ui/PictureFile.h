#pragma once

#include "volume/VolumeApi.h"

#include <QImage>
#include <QString>

namespace lorvex::ui {

// Writes `picture` as a PNG to `path` through the volume layer's check, as
// the export does: a name can be a source, or lie on one. Empty on success,
// else why it could not be written.
QString WritePicture(const platform::VolumeApi& api, const QString& path, const QImage& picture);

} // namespace lorvex::ui

#include "ui/PictureFile.h"

#include "ntfs/Export.h"
#include "platform/RawVolumeSystem.h"

#include <QFile>

#include <unistd.h>

namespace lorvex::ui {

QString WritePicture(const platform::VolumeApi& api, const QString& path, const QImage& picture) {
    if (picture.isNull()) {
        return "not enough memory";
    }
    const platform::WriteTarget target =
        platform::OpenWriteTargetFor(api, QFile::encodeName(path).toStdString());
    if (target.fd < 0) {
        return QString::fromStdString(ntfs::RuntimeErrorText(target.error));
    }
    QFile file;
    if (!file.open(target.fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(target.fd);
        return file.errorString();
    }
    if (!picture.save(&file, "PNG") || !file.flush()) {
        return file.errorString().isEmpty() ? QString("I/O error") : file.errorString();
    }
    return {};
}

} // namespace lorvex::ui

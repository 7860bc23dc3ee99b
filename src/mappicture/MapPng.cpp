// The PNG encoder of the map picture, built as a module that lorvex-scan
// loads when asked for a picture (MapPictureFile.h): all of Qt it needs
// comes in here.
#include "mappicture/MapPicture.h"
#include "mappicture/MapPictureFile.h"

#include <QBuffer>
#include <QByteArray>
#include <QGuiApplication>
#include <QImageWriter>

#include <array>

namespace lorvex::mappicture {

namespace {

// The application a picture is drawn under, made once and kept to the end
// of the process. The offscreen platform is forced, not merely defaulted:
// a DISPLAY that is set but unreachable would otherwise end the program.
void EnsureGuiApplication() {
    if (QGuiApplication::instance() != nullptr) {
        return;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "lorvex-scan";
    static std::array<char*, 2> argv = {name, nullptr};
    // Starting up, the platform complains of what a desktop session would
    // have (a runtime directory, a session bus): nothing a picture needs,
    // and a script's standard error stays clean. Later messages pass.
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    // Reachable from this static to the end, so never reported as a leak,
    // and never destroyed behind the back of a caller that outlives main.
    static QGuiApplication* const application = new QGuiApplication(argc, argv.data());
    (void)application;
    qInstallMessageHandler(previous);
}

TEncodedPicture Encode(const map::TMapModel& model, TPictureSize size, std::int64_t viewClusters,
                       const std::string& title) {
    EnsureGuiApplication();
    TMapPictureOptions options;
    options.size = QSize(size.width, size.height);
    options.viewClusters = viewClusters;
    options.title = title;
    const QImage image = RenderMapPicture(model, options);
    if (image.isNull()) {
        return {{},
                "not enough memory for a picture of " + std::to_string(size.width) + "x" +
                    std::to_string(size.height) + " pixels"};
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image)) {
        return {{}, "the picture could not be encoded: " + writer.errorString().toStdString()};
    }
    return {bytes.toStdString(), {}};
}

} // namespace

} // namespace lorvex::mappicture

extern "C" __attribute__((visibility("default"))) lorvex::mappicture::EncodeMapPngFunction
lorvex_map_png_encoder() {
    return &lorvex::mappicture::Encode;
}

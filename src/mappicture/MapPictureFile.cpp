#include "mappicture/MapPictureFile.h"

#include "mappicture/MapPicture.h"
#include "ntfs/NumberFormat.h"
#include "volume/VolumeMap.h"

#include <QBuffer>
#include <QByteArray>
#include <QGuiApplication>
#include <QImageWriter>

#include <algorithm>
#include <array>
#include <cstdio>
#include <new>

namespace lorvex::mappicture {

namespace {

std::optional<std::int32_t> ParseSide(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    std::int32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string SizeText(double bytes) {
    static constexpr std::array<const char*, 6> kUnits = {"bytes", "KiB", "MiB",
                                                          "GiB",   "TiB", "PiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < kUnits.size()) {
        bytes /= 1024;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

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

} // namespace

std::optional<TPictureSize> ParsePictureSize(std::string_view text) {
    const auto x = text.find_first_of("xX");
    if (x == std::string_view::npos) {
        return std::nullopt;
    }
    const auto width = ParseSide(text.substr(0, x));
    const auto height = ParseSide(text.substr(x + 1));
    if (!width || !height || *width < kMinWidth || *height < kMinHeight || *width > kMaxSide ||
        *height > kMaxSide) {
        return std::nullopt;
    }
    return TPictureSize{*width, *height};
}

std::string PictureSizeLimits() {
    return "from " + std::to_string(kMinWidth) + "x" + std::to_string(kMinHeight) + " to " +
           std::to_string(kMaxSide) + "x" + std::to_string(kMaxSide);
}

std::string PictureTitle(std::string_view name, std::int64_t totalClusters,
                         std::uint32_t bytesPerCluster) {
    const double clusters = static_cast<double>(totalClusters);
    return std::string(name) + ": " + ntfs::FormatGrouped(clusters) +
           (totalClusters == 1 ? " cluster of " : " clusters of ") +
           ntfs::FormatGrouped(bytesPerCluster) + " bytes, " + SizeText(clusters * bytesPerCluster);
}

std::unique_ptr<map::TMapModel>
BuildScannedModel(platform::VolumeApi& api, std::string_view driveRoot, std::int64_t mftZoneStart,
                  std::int64_t mftZoneEnd, const ntfs::TFileIDs& fileIds,
                  const ntfs::TClusterArray& clusters, std::span<const ntfs::TReservedRun> reserved,
                  std::optional<std::span<const std::uint8_t>> bitmap) {
    std::uint32_t bytesPerCluster = 0;
    const std::int64_t total = volume::QueryClusterCount(api, driveRoot, bytesPerCluster);
    if (total == 0) {
        return nullptr;
    }
    // Sized from what the source holds, as the window sizes it: a boot
    // sector can claim any size.
    map::TMapInput input;
    input.totalClusters = volume::QueryClustersOnSource(api, driveRoot, total, bytesPerCluster);
    input.fillBitmap = [&](std::span<std::uint8_t> bits) {
        if (bitmap) {
            std::copy_n(bitmap->begin(), std::min(bits.size(), bitmap->size()), bits.begin());
        } else {
            volume::ReadVolumeBitmap(api, driveRoot, bits);
        }
    };
    input.mftZoneStart = mftZoneStart;
    input.mftZoneEnd = mftZoneEnd;
    input.fileIds = &fileIds;
    input.clusters = &clusters;
    input.reserved = reserved;
    return std::make_unique<map::TMapModel>(input);
}

TEncodedPicture EncodeMapPng(const map::TMapModel& model, TPictureSize size,
                             std::int64_t viewClusters, const std::string& title) {
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

} // namespace lorvex::mappicture

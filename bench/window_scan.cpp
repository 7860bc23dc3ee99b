// How responsive the window stays while it scans, and what one hover update
// costs, on the offscreen platform:
//   bench_window_scan IMAGE [HOVERS]
// A 1 ms timer ticks on the window's thread throughout the drive choice; the
// longest gap between two ticks is the longest time the window handled no
// events. The gaps before the scan proper (measuring the volume, expanding
// its bitmap, the first picture) are reported apart, by stage.
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "platform/RawVolumeSystem.h"
#include "ui/HelpWindow.h"
#include "ui/LorvexWindows.h"
#include "ui/ScanController.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QMenu>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_window_scan IMAGE [HOVERS]\n");
        return 2;
    }
    const int hovers = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20000;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    lorvex::platform::RawVolumeSystem system({argv[1]});
    lorvex::ui::TLorvexWindows windows(system);
    lorvex::ui::MainWindow& form = windows.Form1;
    form.SetUserNotices({[] {},
                         [](const QString& caption, const QString& text) {
                             std::fprintf(stderr, "%s: %s\n", qPrintable(caption),
                                          qPrintable(text));
                         },
                         [](const QString&, const QString&) { return false; }});
    form.show();
    QCoreApplication::processEvents();
    if (form.Menu(lorvex::ui::MenuId::kDrive)->actions().isEmpty()) {
        std::fprintf(stderr, "bench_window_scan: no drive in %s\n", argv[1]);
        return 1;
    }

    // Where each gap ended: the stage shown then ("drive choice" before the
    // scan's first title).
    QString stage = "drive choice";
    QObject::connect(form.findChild<lorvex::ui::ScanController*>(),
                     &lorvex::ui::ScanController::stageStarted,
                     [&stage](const QString& title) { stage = title; });
    // The drive's work runs on from the event loop until the window says it
    // is over.
    const auto waitForScan = [&form] {
        if (form.IsScanning()) {
            QEventLoop scanning;
            QObject::connect(&form, &lorvex::ui::MainWindow::ScanFinished, &scanning,
                             &QEventLoop::quit);
            scanning.exec();
        }
    };
    std::map<QString, double> worstByStage;
    Clock::time_point last = Clock::now();
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        double& worst = worstByStage[stage];
        worst = std::max(worst, Ms(now - last));
        last = now;
    });

    ticker.start();
    const Clock::time_point start = Clock::now();
    last = start;
    form.Menu(lorvex::ui::MenuId::kDrive)->actions().front()->trigger();
    waitForScan();
    const Clock::time_point end = Clock::now();
    {
        double& worst = worstByStage["(after the scan)"];
        worst = std::max(worst, Ms(end - last));
    }
    ticker.stop();
    if (!form.IsScanned()) {
        std::fprintf(stderr, "bench_window_scan: the scan did not finish\n");
        return 1;
    }

    std::printf("%s: %lld clusters, %d file-table entries, %zu extents\n", argv[1],
                static_cast<long long>(form.FTotalClusters), form.Scan()->fileIds.size(),
                form.Scan()->clusters.size());
    std::printf("drive choice to finished scan: %.0f ms\n", Ms(end - start));
    std::printf("longest gap between two event pumps, by the stage it ended in:\n");
    double scanWorst = 0;
    for (const auto& [name, worst] : worstByStage) {
        std::printf("  %-28s %8.1f ms\n", qPrintable(name), worst);
        if (name != "drive choice") {
            scanWorst = std::max(scanWorst, worst);
        }
    }
    std::printf("longest gap while scanning:    %8.1f ms\n", scanWorst);

    // The steps that run on the window's thread without a pump between them.
    const auto median = [](const std::function<void()>& step) {
        std::vector<double> t;
        for (int r = 0; r < 5; ++r) {
            const Clock::time_point s0 = Clock::now();
            step();
            t.push_back(Ms(Clock::now() - s0));
        }
        std::sort(t.begin(), t.end());
        return t[t.size() / 2];
    };
    std::printf("steps on the window's thread, median of 5:\n");
    // A new mark's repaint first: reading the map again lets go of the scan.
    std::printf("  PaintClusters (a new mark)   %8.1f ms\n",
                median([&] { form.RepaintScannedCells(); }));
    std::printf("  Scan! (map and scan)         %8.1f ms\n", median([&] {
                    form.mnuScanClick();
                    waitForScan();
                }));
    std::printf("  RenderMapBitmap              %8.1f ms\n",
                median([&] { form.RenderMapBitmap(); }));
    std::printf("  RenderOverview               %8.1f ms\n",
                median([&] { form.RenderOverview(); }));
    std::printf("  a paint of the window        %8.1f ms\n", median([&] { form.repaint(); }));

    // Hover: the handler of a mouse move, over clusters spread across the
    // whole volume, the view scrolled to each.
    std::mt19937 random(5);
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(hovers));
    const int rows = std::max(form.FViewBottom, 1);
    for (int i = 0; i < hovers; ++i) {
        const int top =
            static_cast<int>(random() % static_cast<unsigned>(form.scroller->maximum() + 1));
        form.scroller->setValue(top);
        const int x = static_cast<int>(random() % static_cast<unsigned>(form.FCellsPerRow));
        const int y = static_cast<int>(random() % static_cast<unsigned>(rows));
        const Clock::time_point t = Clock::now();
        form.FormMouseMove(x, y);
        times.push_back(Ms(Clock::now() - t));
        if (i % 64 == 0) {
            QCoreApplication::processEvents();
        }
    }
    std::sort(times.begin(), times.end());
    double sum = 0;
    for (const double t : times) {
        sum += t;
    }
    std::printf("hover update over %d moves: mean %.3f ms, median %.3f ms, 99th %.3f ms, "
                "max %.3f ms\n",
                hovers, sum / static_cast<double>(times.size()), times[times.size() / 2],
                times[times.size() * 99 / 100], times.back());
    return 0;
}

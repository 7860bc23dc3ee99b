// The main window's map at every zoom, on the offscreen platform:
//   bench_window_map IMAGE [REPEATS] [--size WxH]
// Opens the window (at its default size, or resized to WxH), chooses the
// first drive, waits for the scan and the first picture, and reports how
// long that took since the process started, the peak resident memory then
// and the model's bytes per cluster. Then, for each zoom level from 16
// pixels per cluster to the fit: one screen drawn (DrawMap) at the start,
// middle and end of the volume and at REPEATS random places; a zoom step in
// and one out from there (ZoomStep); a PgDn (FormKeyDown); and hovers at
// random points of the map (FormMouseMove, zoom window and status bar
// included): the median and the worst of each.
#include "map/MapModel.h"
#include "map/MapView.h"
#include "platform/RawVolumeSystem.h"
#include "ui/LorvexWindows.h"
#include "ui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QMenu>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using lorvex::map::TMapScale;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Seconds since the process started, from its start time in /proc (ticks
// since boot, 10 ms apart) and the boot-time clock; negative when unknown.
double SecondsSinceProcessStart() {
    std::ifstream in("/proc/self/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return -1;
    }
    // The command name may hold spaces: the fields go on after its ')'.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    // Field 3 (state) is the first after the name; starttime is field 22.
    for (int i = 3; i < 22; ++i) {
        fields >> field;
    }
    unsigned long long ticks = 0;
    if (!(fields >> ticks)) {
        return -1;
    }
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double boot = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    return boot - static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The CPU time of this thread: a step whose wall time is far above it was
// waiting for the processor, not working.
double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) * 1e-6;
}

double PeakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

struct Stats {
    std::vector<double> times;
    std::vector<double> cpu;
    void Time(const std::function<void()>& step) {
        const double c = ThreadCpuMs();
        const Clock::time_point t = Clock::now();
        step();
        times.push_back(Ms(Clock::now() - t));
        cpu.push_back(ThreadCpuMs() - c);
    }
    [[nodiscard]] std::string Text() const {
        if (times.empty()) {
            return "      -/-     ";
        }
        std::vector<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        char text[64];
        std::snprintf(text, sizeof text, "%6.2f/%-7.2f", sorted[sorted.size() / 2], sorted.back());
        return text;
    }
    [[nodiscard]] double Percentile(std::size_t percent) const {
        std::vector<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0
                              : sorted[std::min(sorted.size() - 1, sorted.size() * percent / 100)];
    }
    [[nodiscard]] std::size_t Over(double ms) const {
        return static_cast<std::size_t>(
            std::count_if(times.begin(), times.end(), [ms](double t) { return t > ms; }));
    }
};

std::string ScaleName(TMapScale scale, TMapScale fit) {
    char text[64];
    if (scale.cellPixels > 1) {
        std::snprintf(text, sizeof text, "%d px/cluster", scale.cellPixels);
    } else if (scale.clustersPerPixel == 1) {
        std::snprintf(text, sizeof text, "1:1");
    } else {
        std::snprintf(text, sizeof text, "%lld cl/px",
                      static_cast<long long>(scale.clustersPerPixel));
    }
    std::string name = text;
    if (scale == fit) {
        name += " (fit)";
    }
    return name;
}

} // namespace

int main(int argc, char** argv) {
    const Clock::time_point mainEntry = Clock::now();
    const char* image = nullptr;
    int repeats = 8;
    int width = 0;
    int height = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--size" && i + 1 < argc) {
            if (std::sscanf(argv[++i], "%dx%d", &width, &height) != 2 || width <= 0 ||
                height <= 0) {
                std::fprintf(stderr, "bench_window_map: --size wants WxH\n");
                return 2;
            }
        } else if (image == nullptr) {
            image = argv[i];
        } else {
            repeats = std::max(1, std::atoi(argv[i]));
        }
    }
    if (image == nullptr) {
        std::fprintf(stderr, "usage: bench_window_map IMAGE [REPEATS] [--size WxH]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    lorvex::platform::RawVolumeSystem system({image});
    lorvex::ui::TLorvexWindows windows(system);
    lorvex::ui::MainWindow& form = windows.Form1;
    form.SetUserNotices({[] {},
                         [](const QString& caption, const QString& text) {
                             std::fprintf(stderr, "%s: %s\n", qPrintable(caption),
                                          qPrintable(text));
                         },
                         [](const QString&, const QString&) { return false; }});
    if (width > 0) {
        form.resize(width, height);
    }
    form.show();
    QCoreApplication::processEvents();
    QAction* drive = form.findChild<QAction*>("DRIVE_C");
    if (drive == nullptr) {
        std::fprintf(stderr, "bench_window_map: no drive in %s\n", image);
        return 1;
    }
    drive->trigger();
    // The scan runs on from the event loop.
    while (form.IsScanning()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    if (!form.IsScanned()) {
        std::fprintf(stderr, "bench_window_map: the scan did not finish\n");
        return 1;
    }
    QCoreApplication::processEvents();
    form.repaint();
    const double sinceStart = SecondsSinceProcessStart();
    const double sinceMain = Ms(Clock::now() - mainEntry) / 1000.0;
    const double peak = PeakRssMiB();
    const lorvex::map::TMapModel& model = *form.Model();

    std::printf("%s: %lld clusters; window %dx%d, map area %dx%d\n", image,
                static_cast<long long>(model.TotalClusters()), form.width(), form.height(),
                form.View().Width(), form.View().Height());
    std::printf("opened, scanned and drawn: %.2f s since the process started (/proc starttime), "
                "%.2f s since main\n",
                sinceStart, sinceMain);
    std::printf("peak RSS then: %.0f MiB; model %.1f MiB, %.4f bytes per cluster, %zu ranges\n",
                peak, static_cast<double>(model.MemoryBytes()) / 1048576.0,
                static_cast<double>(model.MemoryBytes()) /
                    static_cast<double>(std::max<std::int64_t>(model.TotalClusters(), 1)),
                model.RangeCount());

    const TMapScale fit = form.View().FitScale();
    std::vector<TMapScale> levels;
    // A volume that fits magnified stops at its fit: the view holds no
    // smaller cell.
    for (std::int32_t p = lorvex::map::kLargestCell; p > 1 && p >= fit.cellPixels; p /= 2) {
        levels.push_back({p, 1});
    }
    for (std::int64_t k = 1; k < fit.clustersPerPixel; k *= 2) {
        levels.push_back({1, k});
    }
    levels.push_back(fit);
    levels.erase(std::unique(levels.begin(), levels.end()), levels.end());

    std::mt19937_64 random(7);
    const int hoversPerPlace = 32;
    std::printf("ms, median/worst; %d places a level (start, middle, end, %d random), %d hovers "
                "a place\n",
                repeats + 3, repeats, hoversPerPlace);
    std::printf("%-22s %10s  %-14s %-14s %-14s %-14s\n", "zoom", "rows", "draw", "zoom step",
                "PgDn", "hover");
    Stats allDraw;
    Stats allZoom;
    Stats allPage;
    Stats allHover;
    for (const TMapScale scale : levels) {
        form.SetZoom(scale);
        const std::int64_t most = form.View().MaxTopRow();
        std::vector<std::int64_t> places = {0, most / 2, most};
        for (int r = 0; r < repeats; ++r) {
            places.push_back(most > 0 ? static_cast<std::int64_t>(
                                            random() % static_cast<std::uint64_t>(most + 1))
                                      : 0);
        }
        Stats draw;
        Stats zoom;
        Stats page;
        Stats hover;
        const int mapWidth = std::max(form.View().CellsPerRow() * form.View().RowPixels(), 1);
        const int mapHeight = std::max(form.View().Height(), 1);
        for (const std::int64_t place : places) {
            form.SetZoom(scale);
            form.ScrollToRow(place);
            draw.Time([&] { form.DrawMap(); });
            const int y = static_cast<int>(random() % static_cast<unsigned>(mapHeight));
            if (form.View().ZoomedIn() != scale) {
                zoom.Time([&] { form.ZoomStep(+1, y); });
                form.SetZoom(scale);
                form.ScrollToRow(place);
            }
            if (form.View().ZoomedOut() != scale) {
                zoom.Time([&] { form.ZoomStep(-1, y); });
                form.SetZoom(scale);
                form.ScrollToRow(place);
            }
            page.Time([&] { form.FormKeyDown(Qt::Key_PageDown); });
            form.ScrollToRow(place);
            for (int h = 0; h < hoversPerPlace; ++h) {
                const int x = static_cast<int>(random() % static_cast<unsigned>(mapWidth));
                const int hy = static_cast<int>(random() % static_cast<unsigned>(mapHeight));
                hover.Time([&] { form.FormMouseMove(x, hy); });
            }
            QCoreApplication::processEvents();
        }
        std::printf("%-22s %10lld  %s %s %s %s\n", ScaleName(scale, fit).c_str(),
                    static_cast<long long>(form.View().RowCount()), draw.Text().c_str(),
                    zoom.Text().c_str(), page.Text().c_str(), hover.Text().c_str());
        std::fflush(stdout);
        for (auto [from, to] : {std::pair{&draw, &allDraw}, std::pair{&zoom, &allZoom},
                                std::pair{&page, &allPage}, std::pair{&hover, &allHover}}) {
            to->times.insert(to->times.end(), from->times.begin(), from->times.end());
            to->cpu.insert(to->cpu.end(), from->cpu.begin(), from->cpu.end());
        }
    }
    std::printf("%-22s %10s  %s %s %s %s\n", "all levels", "", allDraw.Text().c_str(),
                allZoom.Text().c_str(), allPage.Text().c_str(), allHover.Text().c_str());
    const auto cpuWorst = [](const Stats& stats) {
        return stats.cpu.empty() ? 0 : *std::max_element(stats.cpu.begin(), stats.cpu.end());
    };
    std::printf("hover: %zu moves, 99th percentile %.2f ms, %zu over 1 ms; worst in CPU time of "
                "the thread %.2f ms\n",
                allHover.times.size(), allHover.Percentile(99), allHover.Over(1.0),
                cpuWorst(allHover));
    std::printf("worst in CPU time of the thread: draw %.2f ms, zoom step %.2f ms, PgDn %.2f ms\n",
                cpuWorst(allDraw), cpuWorst(allZoom), cpuWorst(allPage));

    // What runs on every resize (the view fitted again, the overview strip
    // recomputed, the screen drawn), the overview strip alone, and a paint
    // of the whole window; at the fit, as a resize leaves the view.
    Stats resize;
    Stats overview;
    Stats paint;
    const QSize size = form.size();
    for (int r = 0; r < 6; ++r) {
        resize.Time([&] {
            form.resize(size.width() - (r % 2 == 0 ? 16 : 0), size.height());
            QCoreApplication::processEvents();
        });
        overview.Time([&] { form.RenderOverview(); });
        paint.Time([&] { form.repaint(); });
    }
    std::printf("resize %s  RenderOverview %s  paint of the window %s\n", resize.Text().c_str(),
                overview.Text().c_str(), paint.Text().c_str());
    std::printf("peak RSS at the end: %.0f MiB\n", PeakRssMiB());
    return 0;
}

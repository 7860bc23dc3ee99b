// How long a Fast Find search takes on a scanned volume, and how long the
// window goes without handling events while the user types into it, on the
// offscreen platform:
//   bench_find_search IMAGE [TEXT]
// A 1 ms timer ticks on the window's thread; the longest gap between two
// ticks is the longest time the window handled no events. The typing sends
// one key every 40 ms while the searches run, each restarting the one before.
#include "ntfs/FileTable.h"
#include "platform/RawVolumeSystem.h"
#include "ui/FindWindow.h"
#include "ui/LorvexWindows.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_find_search IMAGE [TEXT]\n");
        return 2;
    }
    const QString typed = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString("file0000258");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    lorvex::platform::RawVolumeSystem system({argv[1]});
    lorvex::ui::TLorvexWindows windows(system);
    lorvex::ui::MainWindow& form = windows.Form1;
    form.show();
    QCoreApplication::processEvents();
    if (form.Menu(lorvex::ui::MenuId::kDrive)->actions().isEmpty()) {
        std::fprintf(stderr, "bench_find_search: no drive in %s\n", argv[1]);
        return 1;
    }
    form.Menu(lorvex::ui::MenuId::kDrive)->actions().front()->trigger();
    // The scan runs on from the event loop.
    while (form.IsScanning()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    if (!form.IsScanned()) {
        std::fprintf(stderr, "bench_find_search: the scan did not finish\n");
        return 1;
    }
    lorvex::ui::FindWindow& find = windows.frmFind;
    form.Action(lorvex::ui::ActionId::kFind)->trigger();
    std::printf("%s: %d file-table entries\n", argv[1], form.Scan()->fileIds.size());

    // Whole searches: every entry, and a text that few paths hold.
    for (const QString& text : {QString(), QString("a"), QString("zzzqqq")}) {
        find.edtContains->blockSignals(true);
        find.edtContains->setText(text);
        find.edtContains->blockSignals(false);
        const Clock::time_point start = Clock::now();
        find.btnFind->click();
        while (find.IsSearching()) {
            QCoreApplication::processEvents();
        }
        std::printf("search for \"%s\": %.0f ms, %s\n", qPrintable(text), Ms(Clock::now() - start),
                    qPrintable(find.StatusText()));
    }

    // Typing: the ticker measures the gaps, the typist adds one character
    // every 40 ms while the searches run.
    find.edtContains->clear();
    double worst = 0;
    Clock::time_point last = Clock::now();
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const Clock::time_point now = Clock::now();
        worst = std::max(worst, Ms(now - last));
        last = now;
    });
    int next = 0;
    QTimer typist;
    typist.setInterval(40);
    QObject::connect(&typist, &QTimer::timeout, [&] {
        if (next < typed.size()) {
            find.edtContains->insert(typed.mid(next++, 1));
        }
    });
    ticker.start();
    typist.start();
    last = Clock::now();
    const Clock::time_point start = Clock::now();
    find.edtContains->insert(typed.mid(next++, 1));
    // The search goes on from the event loop, restarted by each key, until
    // the last restart has run to the end.
    while (find.IsSearching() || next < typed.size()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    ticker.stop();
    typist.stop();
    std::printf("typing \"%s\" one key per 40 ms: %.0f ms to the final list, %s\n",
                qPrintable(find.edtContains->text()), Ms(Clock::now() - start),
                qPrintable(find.StatusText()));
    std::printf("longest gap between two event pumps while typing: %.1f ms\n", worst);
    return 0;
}

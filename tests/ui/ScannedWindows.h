#pragma once

// The windows over a scanned volume, driven as a user drives them.
#include "ntfs/NtfsVolume.h"
#include "platform/RawVolumeSystem.h"
#include "ui/LorvexWindows.h"
#include "ui/UiTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStringList>
#include <QTest>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace lorvex::test {

// The demo volume as drive C:, scanned, with the message boxes recorded.
struct Scanned {
    explicit Scanned(const std::filesystem::path& demo)
        : system(
              std::make_unique<platform::RawVolumeSystem>(std::vector<std::string>{demo.string()})),
          windows(std::make_unique<ui::TLorvexWindows>(*system)), form(windows->Form1) {
        lorvex::ui::TUserNotices notices;
        notices.beep = [] {};
        notices.message = [this](const QString& caption, const QString& text) {
            messages << caption + ": " + text;
        };
        form.SetUserNotices(notices);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.DriveActions().first()->trigger();
        QVERIFY(WorkEnded(form));
        QVERIFY(form.IsScanned());
    }

    // Puts the mouse over a cluster, scrolling it into view first, and
    // clicks it: the keys act on the cursor, which a click puts there.
    void HoverOver(std::int64_t lcn) const {
        form.ScrollToRow(form.View().RowOf(lcn));
        const auto pixel = form.View().PixelOf(lcn);
        QVERIFY(pixel.has_value());
        const QPoint at(pixel->first, pixel->second);
        QWidget* surface = form.MapSurface();
        QMouseEvent move(QEvent::MouseMove, QPointF(at), surface->mapToGlobal(QPointF(at)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(surface, &move);
        QCOMPARE(form.FHoverLCN, lcn);
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), surface->mapToGlobal(QPointF(at)),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(surface, &press);
        QCOMPARE(form.Cursor(), lcn);
    }
    void Press(Qt::Key key) const { QTest::keyClick(form.MapSurface(), key); }

    // The first cluster past the MFT zone that no file owns, or -1.
    [[nodiscard]] std::int64_t FirstFreeCluster() const {
        for (std::int64_t c = form.Scan()->volume->geometry().mftZoneEnd + 1;
             c < form.FTotalClusters; ++c) {
            if (lorvex::ntfs::FindClusterOwner(form.Scan()->clusters, c) == -1) {
                return c;
            }
        }
        return -1;
    }
    [[nodiscard]] QStringList ReportLines() const {
        return windows->frm_Info.Memo1->toPlainText().split('\n');
    }

    std::unique_ptr<platform::RawVolumeSystem> system;
    std::unique_ptr<ui::TLorvexWindows> windows;
    ui::MainWindow& form;
    QStringList messages;
};

} // namespace lorvex::test

// The main window's view of the map on the demo volume: the cursor and what
// moves it, the fitted view, the zoom levels of the View menu, the Zoom dock
// and the colours of the palettes, the overlays and the overview strip.
#include "map/MapView.h"
#include "support/Volumes.h"
#include "ui/CellMap.h"
#include "ui/HelpWindow.h"
#include "ui/InfoWindow.h"
#include "ui/ScannedWindows.h"

#include <QDockWidget>
#include <QImage>
#include <QInputDialog>
#include <QLabel>
#include <QTimer>
#include <QToolBar>

#include <algorithm>
#include <map>
#include <string>

namespace {

using lorvex::ui::ActionId;
using lorvex::ui::MenuId;

using lorvex::test::Scanned;

// Answers the next Go to box with `text`.
void AnswerGoTo(const QString& text) {
    QTimer::singleShot(0, [text] {
        auto* box = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        if (box == nullptr) {
            AnswerGoTo(text);
            return;
        }
        box->setTextValue(text);
        box->accept();
    });
}

// The zoom levels of the View menu that are ticked, as it shows them.
QStringList TickedZoomLevels(lorvex::ui::MainWindow& form) {
    emit form.Menu(MenuId::kView)->aboutToShow();
    QStringList ticked;
    for (QAction* item : form.Menu(MenuId::kView)->actions()) {
        const QString text = item->text();
        const bool level = text.contains("per Pixel") || text.contains("per Cluster") ||
                           text.contains("Fit volume");
        if (level && item->isChecked()) {
            ticked << text;
        }
    }
    return ticked;
}

} // namespace

class MapViewWindowTest : public QObject {
    Q_OBJECT

  private:
    std::filesystem::path demo_ = lorvex::test::VolumeDir() / "demo.img";
    std::map<std::string, std::string> facts_;

    // The cursor is framed on the surface: a white ring around its cell,
    // a black one around that.
    static void VerifyCursorDrawn(const Scanned& s) {
        const auto at = s.form.View().PixelOf(s.form.Cursor());
        QVERIFY(at.has_value());
        const int p = s.form.View().RowPixels();
        const QImage surface = s.form.MapSurface()->grab().toImage();
        const double scale = surface.devicePixelRatio();
        const auto pixel = [&](int x, int y) {
            return surface.pixel(static_cast<int>(x * scale), static_cast<int>(y * scale)) &
                   0xFFFFFFU;
        };
        QCOMPARE(pixel(at->first + p, at->second + p), 0xFFFFFFU);
        QCOMPARE(pixel(at->first + p + 1, at->second + p + 1), 0x000000U);
    }

  private slots:
    void initTestCase() {
        facts_ = lorvex::test::ReadFacts(lorvex::test::VolumeDir() / "demo.img.facts");
        QVERIFY(!facts_.empty());
    }

    void theCursorFollowsGoToTheExtentsAClickAndHomeAndEnd() {
        Scanned s(demo_);
        auto& f = s.form;
        QCOMPARE(f.Cursor(), 0);
        AnswerGoTo("40000");
        f.Action(ActionId::kGoTo)->trigger();
        QCOMPARE(f.Cursor(), 40000);
        VerifyCursorDrawn(s);

        // F1 reports on the cursor, wherever the pointer went meanwhile.
        s.Press(Qt::Key_F1);
        QCOMPARE(s.windows->frm_Info.windowTitle(), QString("File Info for Cluster 40000"));
        QWidget* surface = f.MapSurface();
        QMouseEvent move(QEvent::MouseMove, QPointF(3, 3), surface->mapToGlobal(QPointF(3, 3)),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(surface, &move);
        QCOMPARE(f.Cursor(), 40000);

        // Show on map and F6 put it on the file's extents, in view.
        const std::int64_t record = std::stoll(facts_.at("fragmented_1_record"));
        const std::int32_t index = f.Scan()->fileIds.IndexOfID(record);
        f.ShowOnMap(index);
        std::vector<std::int64_t> starts;
        for (const auto& extent : f.Scan()->clusters) {
            if (static_cast<std::int32_t>(extent.FileIndex) == index) {
                starts.push_back(extent.LCN);
            }
        }
        std::sort(starts.begin(), starts.end());
        QVERIFY(starts.size() > 2);
        QCOMPARE(f.Cursor(), starts[0]);
        f.Action(ActionId::kNextExtent)->trigger();
        QCOMPARE(f.Cursor(), starts[1]);
        VerifyCursorDrawn(s);
        f.Action(ActionId::kPreviousExtent)->trigger();
        QCOMPARE(f.Cursor(), starts[0]);

        // Home and End: the first and the last cluster, at one cluster a
        // pixel too, where the end is rows away.
        f.Action(ActionId::kActualSize)->trigger();
        s.Press(Qt::Key_End);
        QCOMPARE(f.Cursor(), f.FTotalClusters - 1);
        VerifyCursorDrawn(s);
        s.Press(Qt::Key_Home);
        QCOMPARE(f.Cursor(), 0);
        QCOMPARE(f.View().TopRow(), 0);
        VerifyCursorDrawn(s);

        // A click puts it where it was clicked.
        s.HoverOver(1234);
        QCOMPARE(f.Cursor(), 1234);
    }

    void theOpenedVolumeIsFittedRefitsOnResizeAndZoomOutReachesTheFit() {
        Scanned s(demo_);
        auto& f = s.form;
        const auto& view = f.View();
        const std::int64_t total = f.FTotalClusters;
        QVERIFY(f.Fitted());
        QCOMPARE(lorvex::map::SpanLength(view.Visible()), total);
        // 65,535 clusters in a map of 639 x 514 pixels: magnified cells.
        QVERIFY(view.Scale().cellPixels > 1);
        QCOMPARE(view.Scale(), view.FitScale());
        QCOMPARE(TickedZoomLevels(f), QStringList{"&Fit volume"});

        // Smaller, then larger again: the whole volume stays in view.
        const lorvex::map::TMapScale before = view.Scale();
        f.resize(f.width() - 300, f.height() - 200);
        QTRY_VERIFY(view.Scale() != before);
        QCOMPARE(lorvex::map::SpanLength(view.Visible()), total);
        f.resize(f.width() + 300, f.height() + 200);
        QTRY_COMPARE(view.Scale(), before);

        // One cluster a pixel is one level ticked, and the fit is no more
        // followed; '-' steps back to the fit, which is followed again.
        f.Action(ActionId::kActualSize)->trigger();
        QVERIFY(!f.Fitted());
        QCOMPARE(TickedZoomLevels(f), QStringList{"One &Cluster per Pixel"});
        for (int i = 0; i < 4; ++i) {
            s.Press(Qt::Key_Plus);
        }
        QCOMPARE(view.Scale(), (lorvex::map::TMapScale{16, 1}));
        QCOMPARE(TickedZoomLevels(f), QStringList{"16 Pixels per Cluster"});
        for (int i = 0; i < 4 && !f.Fitted(); ++i) {
            s.Press(Qt::Key_Minus);
        }
        QVERIFY(f.Fitted());
        QCOMPARE(lorvex::map::SpanLength(view.Visible()), total);
        QCOMPARE(TickedZoomLevels(f).size(), 1);
        // In a window too small for the volume at a pixel a cluster, out
        // still reaches the whole volume.
        f.Action(ActionId::kActualSize)->trigger();
        f.resize(300, 200);
        QTRY_VERIFY(lorvex::map::SpanLength(view.Visible()) < total);
        for (int i = 0; i < 8 && !f.Fitted(); ++i) {
            s.Press(Qt::Key_Minus);
        }
        QCOMPARE(lorvex::map::SpanLength(view.Visible()), total);
        QCOMPARE(TickedZoomLevels(f), QStringList{"&Fit volume"});
        // No damage map loaded: its overlay cannot be chosen.
        QVERIFY(!f.Action(ActionId::kDamageOverlay)->isEnabled());
    }

    void theZoomIsADockInTheWindowDockedByDefault() {
        Scanned s(demo_);
        auto& f = s.form;
        auto* dock = f.findChild<QDockWidget*>("ZoomDock");
        QVERIFY(dock != nullptr);
        QCOMPARE(dock->windowTitle(), QString("Zoom"));
        QVERIFY(dock->isVisible());
        QVERIFY(!dock->isFloating());
        QCOMPARE(f.dockWidgetArea(dock), Qt::LeftDockWidgetArea);
        QVERIFY(f.ZoomWindowDocked());
        QCOMPARE(dock->widget(), &s.windows->frm_Help);
        QCOMPARE(s.windows->frm_Help.window(), &f);
        QVERIFY((dock->features() & QDockWidget::DockWidgetFloatable) != 0);
        // Beside the map, not over it; in the desktop's own font.
        const QRect zoomArea(dock->mapToGlobal(QPoint(0, 0)), dock->size());
        const QRect mapArea(f.MapSurface()->mapToGlobal(QPoint(0, 0)), f.MapSurface()->size());
        QVERIFY(!zoomArea.intersects(mapArea));
        QCOMPARE(s.windows->frm_Help.font(), QApplication::font());
        // Floating, it stays the window's tool window, never on top of all.
        dock->setFloating(true);
        QVERIFY((dock->windowFlags() & Qt::WindowStaysOnTopHint) == 0);
        dock->setFloating(false);
        // Closed, it takes the mark off Tools > Zoom, which brings it back.
        dock->close();
        QVERIFY(!f.Action(ActionId::kZoomWindow)->isChecked());
        f.Action(ActionId::kZoomWindow)->trigger();
        QVERIFY(dock->isVisible());
        QVERIFY(s.windows->frm_Help.isVisible());
    }

    void theStripTheOverlaysAndTheLegendFollowThePalette() {
        Scanned s(demo_);
        auto& f = s.form;
        const QImage standard = f.FOverviewBitmap.copy();
        f.SetSafePalette(true);
        const QImage safe = f.FOverviewBitmap.copy();
        QVERIFY(standard != safe);
        const QRgb blank = f.MapSurface()->palette().color(QPalette::Window).rgb();
        const std::vector<std::uint32_t> want = lorvex::map::OverviewPixels(
            *f.Model(), safe.width(), safe.height(), blank, lorvex::map::SafeCellPalette());
        for (int y = 0; y < safe.height(); y += 37) {
            QCOMPARE(safe.pixel(0, y) & 0xFFFFFFU,
                     want[static_cast<std::size_t>(y * safe.width())] & 0xFFFFFFU);
        }
        f.SetSafePalette(false);
        QCOMPARE(f.FOverviewBitmap, standard);

        // The overlays and the shown file stand apart from every kind in
        // both palettes.
        for (const auto* palette : {&lorvex::map::CellPalette(), &lorvex::map::SafeCellPalette()}) {
            for (int index = lorvex::map::kHighlightIndex; index <= lorvex::map::kOverlayLast;
                 ++index) {
                for (const auto& entry : lorvex::map::kLegend) {
                    QVERIFY2((lorvex::ui::OverlayColour(static_cast<std::uint8_t>(index)) &
                              0xFFFFFFU) != ((*palette)[entry.state] & 0xFFFFFFU),
                             qPrintable(QString("%1 against %2").arg(index).arg(entry.state)));
                }
            }
        }
        // The legend's words are the saved picture's (and the manual's).
        for (const auto& kind : lorvex::map::kLegend) {
            const auto* item = f.FLegend->findChild<QWidget*>(QString("Legend%1").arg(kind.state));
            QVERIFY(item != nullptr);
            QStringList words;
            for (const QLabel* label : item->findChildren<QLabel*>()) {
                words << label->text();
            }
            QVERIFY2(words.contains(QString::fromUtf8(kind.label.data(),
                                                      static_cast<qsizetype>(kind.label.size()))),
                     qPrintable(words.join('|')));
        }
        // The legend names the shown file's colour while one is shown.
        auto* lit =
            f.FLegend->findChild<QWidget*>(QString("Legend%1").arg(lorvex::map::kHighlightIndex));
        QVERIFY(lit != nullptr);
        QAction* entry = nullptr;
        for (QAction* item : f.FLegend->actions()) {
            entry = f.FLegend->widgetForAction(item) == lit ? item : entry;
        }
        QVERIFY(entry != nullptr);
        QVERIFY(!entry->isVisible());
        f.ShowOnMap(f.Scan()->fileIds.IndexOfID(std::stoll(facts_.at("fragmented_1_record"))));
        QVERIFY(entry->isVisible());
        f.ClearHighlight();
        QVERIFY(!entry->isVisible());
    }
};

QTEST_MAIN(MapViewWindowTest)
#include "MapViewWindowTest.moc"

// The map at twice the scale (QT_SCALE_FACTOR=2, as on a dense screen): the
// view counts in the screen's own pixels, so that the fitted volume fills
// the map as it does at the scale of one, and the pointer, the cursor and
// the surface's colours still name what is drawn under them.
#include "map/MapView.h"
#include "support/Volumes.h"
#include "ui/ScannedWindows.h"

#include <QImage>

#include <filesystem>
#include <fstream>

namespace {

using lorvex::test::Scanned;
namespace fs = std::filesystem;

// Sends a move and a press of the left button to a pixel of the surface.
void Click(QWidget* surface, QPoint at) {
    QMouseEvent move(QEvent::MouseMove, QPointF(at), surface->mapToGlobal(QPointF(at)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(surface, &move);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), surface->mapToGlobal(QPointF(at)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(surface, &press);
}

} // namespace

class MapScaleWindowTest : public QObject {
    Q_OBJECT

  private:
    fs::path demo_ = lorvex::test::VolumeDir() / "demo.img";

  private slots:
    void initTestCase() {
        if (!fs::exists(demo_)) {
            QSKIP("the test volumes have not been generated");
        }
    }

    // The fit is worked out over the map's device pixels: a cell may be one
    // of them, and the volume takes most of the map's height, where cells
    // of whole window pixels left two thirds of it empty.
    void theFitFillsTheMapAtTwiceTheScale() {
        Scanned s(demo_);
        const lorvex::ui::MainWindow& f = s.form;
        QCOMPARE(f.MapSurface()->devicePixelRatioF(), 2.0);
        QVERIFY(f.Fitted());
        const lorvex::map::TMapView& view = f.View();
        QCOMPARE(view.Width(), 2 * (f.FViewRight + 1));
        QCOMPARE(view.Height(), 2 * (f.FViewBottom + 1));
        QCOMPARE(f.FScreen.size(), QSize(view.Width(), view.Height()));
        QCOMPARE(f.FScreen.devicePixelRatio(), 2.0);
        lorvex::map::TMapView alone;
        alone.SetTotalClusters(view.TotalClusters());
        alone.SetArea(view.Width(), view.Height());
        QCOMPARE(view.Scale(), alone.FitScale());
        const std::int64_t used = view.RowCount() * view.RowPixels();
        QVERIFY2(used * 10 >= view.Height() * 6,
                 qPrintable(QString("%1 of %2 rows, %3 clusters in %4 columns")
                                .arg(used)
                                .arg(view.Height())
                                .arg(view.TotalClusters())
                                .arg(view.Width())));
        // The picture covers the map area of the window, no more, no less.
        QCOMPARE(f.FScreen.deviceIndependentSize().toSize(),
                 QSize(f.FViewRight + 1, f.FViewBottom + 1));
    }

    // A window pixel covers four of the screen's: the pointer names and the
    // click puts the cursor on the cluster drawn at its top-left one, and
    // the surface's colour there is the picture's.
    void thePointerNamesTheClusterDrawnUnderIt() {
        Scanned s(demo_);
        const lorvex::map::TMapView& view = s.form.View();
        for (const std::int64_t lcn :
             {std::int64_t{0}, view.TotalClusters() / 3, view.TotalClusters() - 1}) {
            const auto pixel = view.PixelOf(lcn);
            QVERIFY(pixel.has_value());
            const QPoint at((pixel->first + 1) / 2, (pixel->second + 1) / 2);
            Click(s.form.MapSurface(), at);
            const lorvex::map::TClusterSpan span = view.SpanAt(2 * at.x(), 2 * at.y());
            QVERIFY2(s.form.FHoverLCN >= span.begin && s.form.FHoverLCN < span.end,
                     qPrintable(QString("cluster %1 at %2,%3").arg(lcn).arg(at.x()).arg(at.y())));
            QCOMPARE(s.form.Cursor(), s.form.FHoverLCN);
            QCOMPARE(s.form.SurfacePixel(at.x(), at.y()),
                     s.form.FScreen.pixel(2 * at.x(), 2 * at.y()));
        }
    }
};

int main(int argc, char** argv) {
    // Before the application exists: the scale is read as it starts. The
    // screen is the pictures' (tools/screenshot): 1600 x 1000 of its own
    // pixels, 800 x 500 of the window's, less than the window's designed
    // size, as a laptop's dense screen is.
    const fs::path screen = lorvex::test::TempPath("lorvex-screen-2x.json");
    {
        std::ofstream json(screen);
        json << R"({"screens": [{"name": "dense", "x": 0, "y": 0, "width": 1600, )"
             << R"("height": 1000, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
    }
    qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + screen.string().c_str());
    qputenv("QT_SCALE_FACTOR", "2");
    return lorvex::test::RunWindowTest<MapScaleWindowTest>(argc, argv, "LorvexMapScaleTests");
}

#include "MapScaleWindowTest.moc"

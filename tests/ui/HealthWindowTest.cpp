// The volume check and the damage map in the window: the count in the status
// bar, the overlay at every zoom, the lists and their way to the map, and a
// damage map that is not one, on copies of a small volume with planted damage.
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/Health.h"
#include "support/Volumes.h"
#include "ui/CellMap.h"
#include "ui/ProblemListWindow.h"
#include "ui/ScannedWindows.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace {

using lorvex::ui::ActionId;

using lorvex::test::Scanned;
namespace fs = std::filesystem;
namespace map = lorvex::map;
namespace ntfs = lorvex::ntfs;

// The table index of the entry whose path is `path`, or -1.
int IndexOf(const ntfs::TFileIDs& table, const std::u16string& path) {
    for (int i = 0; i < table.size(); ++i) {
        if (table.Path(i) == path) {
            return i;
        }
    }
    return -1;
}

// The first extent of entry `index` in the scan's map.
ntfs::TClusterEntry FirstExtent(const ntfs::TClusterArray& byLcn, int index) {
    for (const auto& e : byLcn) {
        if (e.FileIndex == static_cast<std::uint32_t>(index)) {
            return e;
        }
    }
    return {};
}

class HealthWindowTest : public QObject {
    Q_OBJECT

  private:
    fs::path original_ = lorvex::test::VolumeDir() / "ntfs-small.img";
    fs::path dir_;

    // A copy of the small volume with `actions` planted by the project's tool.
    fs::path Plant(const std::string& name, const std::string& actions) {
        const fs::path copy = dir_ / name;
        const std::string command = std::string("'") + LORVEX_TOOLS_DIR + "/plant-damage' '" +
                                    original_.string() + "' '" + copy.string() + "' " + actions;
        return std::system(command.c_str()) == 0 ? copy : fs::path();
    }

    // The colour the map shows where cluster `lcn` is, once it is in view.
    static QRgb PixelOf(lorvex::ui::MainWindow& form, std::int64_t lcn) {
        form.GoToCluster(lcn);
        return form.SurfacePixel(form.FMouseX, form.FMouseY);
    }

  private slots:
    void initTestCase() {
        if (!fs::exists(original_)) {
            QSKIP("the test volumes have not been generated");
        }
        dir_ = lorvex::test::TempPath("health-window");
        fs::create_directories(dir_);
    }
    void cleanupTestCase() { fs::remove_all(dir_); }

    void healthyVolumeSaysSoAndDrawsNoOverlay() {
        Scanned s(original_);
        QCOMPARE(s.form.FHealthLabel->text(), QString("Volume check: no problems"));
        s.form.Action(ActionId::kHealthOverlay)->trigger();
        QVERIFY(s.form.Action(ActionId::kHealthOverlay)->isChecked());
        QVERIFY(s.form.View().Overlay().empty());
        s.form.Action(ActionId::kVolumeCheck)->trigger();
        QVERIFY(s.form.frm_Health->isVisible());
        QCOMPARE(s.form.frm_Health->lv_Problems->topLevelItemCount(), 0);
        QCOMPARE(s.form.frm_Health->lbSummary->text(), QString("No problems found."));
    }

    void plantedProblemsAreCountedListedAndDrawnAtEveryZoom() {
        // Cluster 2561 of data.bin freed in the bitmap, a free cluster set,
        // frag.bin's first run moved onto data.bin's first cluster.
        const fs::path copy =
            Plant("planted.img", "bitmap-clear:2561 bitmap-set:4000 move-run:69:2560");
        QVERIFY(!copy.empty());
        Scanned s(copy);
        const ntfs::THealthReport& report = s.form.Scan()->health;
        QCOMPARE(report.Problems.size(), std::size_t{4});
        QCOMPARE(s.form.FHealthLabel->text(), QString("Volume check: 4 problems"));

        // Off: the map as always. On: every problem's colour where it is, at
        // one cluster a pixel and with the whole volume in view.
        QVERIFY(PixelOf(s.form, 2561) != lorvex::ui::OverlayColour(map::kOverlayOwnedFree));
        s.form.Action(ActionId::kHealthOverlay)->trigger();
        const std::vector<std::pair<std::int64_t, std::uint8_t>> spots{
            {2561, map::kOverlayOwnedFree},
            {4000, map::kOverlayUnownedUsed},
            {2560, map::kOverlayCrossLinked},
            {617, map::kOverlayUnownedUsed}};
        for (const auto scale : {map::TMapScale{}, s.form.View().FitScale()}) {
            s.form.SetZoom(scale);
            for (const auto& [lcn, index] : spots) {
                // A pixel of several clusters shows the most telling of them.
                const QRgb shown = PixelOf(s.form, lcn);
                const map::TClusterSpan span = s.form.View().SpanAt(s.form.FMouseX, s.form.FMouseY);
                std::uint8_t want = index;
                for (const auto& [other, otherIndex] : spots) {
                    if (other >= span.begin && other < span.end) {
                        want = std::max(want, otherIndex);
                    }
                }
                QCOMPARE(shown, lorvex::ui::OverlayColour(want));
            }
        }
        // Ctrl+H is the same switch.
        QTest::keyClick(s.form.MapSurface(), Qt::Key_H, Qt::ControlModifier);
        QVERIFY(!s.form.Action(ActionId::kHealthOverlay)->isChecked());
        QVERIFY(s.form.View().Overlay().empty());

        // The list: a row per problem, and a double click goes there, lit.
        s.form.Action(ActionId::kVolumeCheck)->trigger();
        QTreeWidget& lv = *s.form.frm_Health->lv_Problems;
        QCOMPARE(lv.topLevelItemCount(), 4);
        QStringList rows;
        for (int i = 0; i < lv.topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = lv.topLevelItem(i);
            rows << item->text(0) + " " + item->text(1) + " " + item->text(2) + " " + item->text(3);
        }
        QCOMPARE(rows,
                 (QStringList{"unowned-used 617 1 ",
                              "cross-linked 2560 1 66 \\Folder\\data.bin; 69 \\Folder\\frag.bin",
                              "owned-free 2561 1 66 \\Folder\\data.bin", "unowned-used 4000 1 "}));
        QTreeWidgetItem* last = lv.topLevelItem(3);
        lv.scrollToItem(last);
        QTest::mouseClick(lv.viewport(), Qt::LeftButton, {}, lv.visualItemRect(last).center());
        QTest::mouseDClick(lv.viewport(), Qt::LeftButton, {}, lv.visualItemRect(last).center());
        QCOMPARE(s.form.View().Highlight().size(), std::size_t{1});
        QCOMPARE(s.form.View().Highlight().front().begin, 4000);
        QCOMPARE(s.form.FHoverLCN, 4000);
    }

    void damageMapNamesTheFilesAndRefusesWhatIsNoMap() {
        Scanned s(original_);
        const auto& scan = *s.form.Scan();
        const int data = IndexOf(scan.fileIds, u"\\Folder\\data.bin");
        QVERIFY(data >= 0);
        const ntfs::TClusterEntry extent = FirstExtent(scan.clusters, data);
        const std::int64_t cluster = scan.volume->geometry().bytesPerCluster;
        const std::int64_t record = 64 * 1024 + scan.volume->geometry().mftStartLcn * cluster;
        const fs::path map = dir_ / "rescue.map";
        {
            std::ofstream out(map);
            out << "# Mapfile\n0x0 ? 1\n"
                << "0 " << record << " +\n"
                << record << " 1024 -\n"
                << record + 1024 << " " << extent.LCN * cluster - record - 1024 << " +\n"
                << extent.LCN * cluster << " 512 /\n";
        }
        QVERIFY(s.form.LoadDamageMap(QString::fromStdString(map.string()), 0));
        QTreeWidget& lv = *s.form.frm_Damage->lv_Problems;
        QVERIFY(s.form.frm_Damage->isVisible());
        QStringList details;
        for (int i = 0; i < lv.topLevelItemCount(); ++i) {
            details << lv.topLevelItem(i)->text(0) + ": " + lv.topLevelItem(i)->text(3);
        }
        QCOMPARE(details,
                 (QStringList{"file: 0 \\$MFT $DATA, bytes 65536-66559 (bad)",
                              "file: 66 \\Folder\\data.bin $DATA, bytes 0-511 (not scraped)",
                              "$MFT record: record 64 of \\readme.txt cannot be read (bad)"}));
        QCOMPARE(PixelOf(s.form, extent.LCN), lorvex::ui::OverlayColour(map::kOverlayBadArea));
        // The list says how much of the map it read.
        const QString summary = s.form.frm_Damage->lbSummary->text();
        QVERIFY2(summary.startsWith("rescue.map: 6 lines read (4 blocks), 2 bad areas"),
                 qPrintable(summary));
        // A scan again keeps the map and reads it against the new tables.
        s.form.Action(ActionId::kScan)->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.IsScanned());
        QCOMPARE(lv.topLevelItemCount(), 3);
        QCOMPARE(PixelOf(s.form, extent.LCN), lorvex::ui::OverlayColour(map::kOverlayBadArea));

        // Not a map: a message naming the line, and the last good one kept.
        s.messages.clear();
        {
            std::ofstream out(map);
            out << "0x0 + 1\n0x0 0x1000 +\nrubbish\n";
        }
        QVERIFY(!s.form.LoadDamageMap(QString::fromStdString(map.string()), 0));
        QCOMPARE(s.messages.size(), 1);
        QVERIFY2(s.messages.front().contains("line 3"), qPrintable(s.messages.front()));
        QCOMPARE(lv.topLevelItemCount(), 3);
        { std::ofstream out(map); }
        QVERIFY(!s.form.LoadDamageMap(QString::fromStdString(map.string()), 0));
        QVERIFY2(s.messages.back().contains("empty"), qPrintable(s.messages.back()));
        // A FIFO would wait for a writer: refused at once, saying what it is.
        const fs::path fifo = dir_ / "map.fifo";
        QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
        QElapsedTimer timer;
        timer.start();
        for (const std::uint32_t sectorSize : {0U, 512U}) {
            QVERIFY(!s.form.LoadDamageMap(QString::fromStdString(fifo.string()), sectorSize));
            QVERIFY2(s.messages.back().contains("map.fifo") &&
                         s.messages.back().contains("a FIFO, not a regular file"),
                     qPrintable(s.messages.back()));
        }
        QVERIFY(timer.elapsed() < 5000);
        QCOMPARE(lv.topLevelItemCount(), 3);
    }
};

} // namespace

QTEST_MAIN(HealthWindowTest)
#include "HealthWindowTest.moc"

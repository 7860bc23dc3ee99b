// The deleted remains in the window, on the volume of deleted files: the
// list against the core's entries, Show on map, the overlay's two colours
// and its hover text, the report on a free record, a drive switched under
// the list and the overlay, and a walk cancelled half-way.
#include "map/DeletedOverlay.h"
#include "ntfs/DeletedEntries.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/StreamExtraction.h"
#include "support/Volumes.h"
#include "ui/CellMap.h"
#include "ui/DeletedFilesWindow.h"
#include "ui/DeletedWalk.h"
#include "ui/ScannedWindows.h"

#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
namespace map = lorvex::map;
namespace ntfs = lorvex::ntfs;
using lorvex::ui::ActionId;
using lorvex::ui::DeletedScan;
using lorvex::ui::MainWindow;

// The deleted entries of the drive the window shows, read by the core on
// its own against the window's scan: what the window must show.
ntfs::DeletedEntries CoreEntries(MainWindow& form, lorvex::platform::VolumeApi& api) {
    const auto& scan = *form.Scan();
    ntfs::NtfsVolume volume(api, scan.volume->drive());
    ntfs::DeletedEntries deleted = ntfs::CollectDeletedEntries(volume);
    ntfs::CutDeletedRuns(deleted, scan.fileIds, scan.clusters,
                         scan.volume->geometry().totalClusters);
    return deleted;
}

// The row of the list that shows record `record`, or -1.
int RowOfRecord(const QTreeWidget& list, std::int64_t record) {
    for (int row = 0; row < list.topLevelItemCount(); ++row) {
        if (list.topLevelItem(row)->text(0).toLongLong() == record) {
            return row;
        }
    }
    return -1;
}

// The first cluster of a piece in `state` that no other entry's piece
// shares, so that its colour on the map is that piece's alone; -1 if none.
std::int64_t LoneClusterIn(const ntfs::DeletedEntries& deleted, ntfs::PieceState state) {
    for (const auto& entry : deleted.entries()) {
        for (const auto& stream : deleted.Streams(entry)) {
            for (const auto& piece : deleted.Pieces(stream)) {
                if (piece.state == state && piece.lcn >= 0 &&
                    deleted.EntriesClaiming(piece.lcn).size() == 1) {
                    return piece.lcn;
                }
            }
        }
    }
    return -1;
}

// Whether the legend names overlay index `index` now.
bool InLegend(const MainWindow& form, std::uint8_t index) {
    const auto* item = form.FLegend->findChild<QWidget*>(QString("Legend%1").arg(index));
    for (QAction* entry : form.FLegend->actions()) {
        if (form.FLegend->widgetForAction(entry) == item) {
            return entry->isVisible();
        }
    }
    return false;
}

double ColourDistance(QRgb a, QRgb b) {
    return std::hypot(qRed(a) - qRed(b), qGreen(a) - qGreen(b), qBlue(a) - qBlue(b));
}

class DeletedWindowTest : public QObject {
    Q_OBJECT

  private:
    fs::path deletedImage_ = lorvex::test::VolumeDir() / "deleted.img";
    fs::path smallImage_ = lorvex::test::VolumeDir() / "ntfs-small.img";
    std::map<std::string, std::string> facts_;

    std::int64_t Fact(const std::string& key) const { return std::stoll(facts_.at(key)); }

    static QRgb PixelOf(MainWindow& form, std::int64_t lcn) {
        form.GoToCluster(lcn);
        return form.SurfacePixel(form.FMouseX, form.FMouseY);
    }

    // Opens the list and waits for the walk that fills it.
    static void OpenList(MainWindow& form) {
        form.Action(ActionId::kDeletedFiles)->trigger();
        QVERIFY(lorvex::test::WorkEnded(form));
        QVERIFY(form.DeletedOfShownScan() != nullptr);
    }

  private slots:
    void initTestCase() {
        if (!fs::exists(deletedImage_) || !fs::exists(smallImage_)) {
            QSKIP("the test volumes have not been generated");
        }
        facts_ = lorvex::test::ReadFacts(lorvex::test::VolumeDir() / "deleted.img.facts");
        QVERIFY(!facts_.empty());
    }

    void theListShowsTheCoreEntriesSortedAsNumbers() {
        lorvex::test::Scanned s(deletedImage_);
        OpenList(s.form);
        const ntfs::DeletedEntries core = CoreEntries(s.form, *s.system);
        const QTreeWidget& list = *s.form.frm_Deleted->lv_Deleted;
        QCOMPARE(list.topLevelItemCount(), static_cast<int>(core.entries().size()));
        for (std::size_t i = 0; i < core.entries().size(); ++i) {
            const ntfs::DeletedEntry& entry = core.entries()[i];
            const int row = RowOfRecord(list, entry.record);
            QVERIFY2(row >= 0, qPrintable(QString("record %1").arg(entry.record)));
            const QTreeWidgetItem& item = *list.topLevelItem(row);
            QCOMPARE(item.text(1),
                     QString::fromStdU16String(core.Path(i, 0, s.form.Scan()->fileIds)));
            const std::int64_t clusters = entry.recoverableClusters + entry.overwrittenClusters;
            if (clusters > 0) {
                QCOMPARE(item.text(4),
                         QString("%1%").arg(entry.recoverableClusters * 100 / clusters));
            }
            QCOMPARE(s.form.frm_Deleted->EntryOfRow(row), static_cast<std::ptrdiff_t>(i));
        }
        // Every file the volume's maker deleted is there but the directory
        // whose record a later file took; the files it left live are not.
        const std::set<std::string> notListed = {"gonedir_record", "packedlive_record",
                                                 "packedlivehole_record", "streams_record"};
        for (const auto& [key, value] : facts_) {
            QVERIFY2((RowOfRecord(list, std::stoll(value)) >= 0) == !notListed.contains(key),
                     key.c_str());
        }
        // Sizes sort as numbers, not as texts ("10 240" after "9 000").
        s.form.frm_Deleted->lv_Deleted->sortByColumn(2, Qt::AscendingOrder);
        qlonglong last = -2;
        for (int row = 0; row < list.topLevelItemCount(); ++row) {
            const qlonglong size = list.topLevelItem(row)->data(2, Qt::UserRole).toLongLong();
            QVERIFY(size >= last);
            last = size;
        }
        // The row's entry follows the row through the sort.
        const int big = RowOfRecord(list, Fact("big1_record"));
        QCOMPARE(s.form.frm_Deleted->EntryOfRow(big),
                 static_cast<std::ptrdiff_t>(*core.IndexOf(Fact("big1_record"))));
    }

    void showOnMapAndTheReportReachTheDeletedEntry() {
        lorvex::test::Scanned s(deletedImage_);
        OpenList(s.form);
        const auto deleted = s.form.DeletedOfShownScan();
        QTreeWidget& list = *s.form.frm_Deleted->lv_Deleted;
        const std::int64_t record = Fact("frag_record");
        const int row = RowOfRecord(list, record);
        QVERIFY(row >= 0);
        list.setCurrentItem(list.topLevelItem(row));
        s.form.frm_Deleted->OpenRowMenuAtCurrent();
        s.form.frm_Deleted->actShowOnMap->trigger();
        s.form.frm_Deleted->mnuRow->hide();
        QVERIFY2(s.form.HoverText().contains("frag.bin (deleted): extent 1 of"),
                 qPrintable(s.form.HoverText()));
        const auto spans =
            map::DeletedEntrySpans(deleted->entries, *deleted->entries.IndexOf(record));
        QVERIFY(spans.size() > 1); // a fragmented file: the steps go through its extents
        QCOMPARE(s.form.View().Highlight().size(), spans.size());
        QCOMPARE(s.form.Cursor(), spans.front().begin);
        for (const auto& span : spans) {
            QCOMPARE(PixelOf(s.form, span.begin), lorvex::ui::OverlayColour(map::kHighlightIndex));
        }

        // F1 on the row: its free record read as a live one is, marked deleted.
        list.setFocus();
        QTest::keyClick(&list, Qt::Key_F1);
        const QString report = s.windows->frm_Info.Memo1->toPlainText();
        QVERIFY2(report.contains("deleted"), qPrintable(report));
        QVERIFY2(report.contains("$FILE_NAME"), qPrintable(report));
        QVERIFY2(report.contains("frag.bin"), qPrintable(report));
        QVERIFY2(report.contains("$DATA"), qPrintable(report));
    }

    void theOverlayDrawsWhatIsLeftApartFromWhatIsOverwritten() {
        lorvex::test::Scanned s(deletedImage_);
        s.form.Action(ActionId::kDeletedRemains)->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.Action(ActionId::kDeletedRemains)->isChecked());
        const auto deleted = s.form.DeletedOfShownScan();
        QVERIFY(deleted != nullptr);
        const std::int64_t kept = LoneClusterIn(deleted->entries, ntfs::PieceState::kFree);
        const std::int64_t taken = LoneClusterIn(deleted->entries, ntfs::PieceState::kOverwritten);
        QVERIFY(kept >= 0 && taken >= 0);
        const QRgb free = lorvex::ui::OverlayColour(map::kOverlayDeletedFree);
        const QRgb over = lorvex::ui::OverlayColour(map::kOverlayDeletedOverwritten);
        for (const map::TMapScale scale : {map::TMapScale{8, 1}, map::TMapScale{1, 1}}) {
            s.form.SetZoom(scale);
            QCOMPARE(PixelOf(s.form, kept), free);
            QCOMPARE(PixelOf(s.form, taken), over);
        }
        // The hover names the deleted file and, overwritten, what holds it now.
        s.form.SetZoom({8, 1});
        s.HoverOver(taken);
        const auto claiming = deleted->entries.EntriesClaiming(taken);
        const QString path = QString::fromStdU16String(
            deleted->entries.Path(claiming.front(), 0, s.form.Scan()->fileIds));
        const std::int64_t owner = ntfs::FindClusterOwner(s.form.Scan()->clusters, taken);
        const QString ownerPath =
            QString::fromStdU16String(s.form.Scan()->fileIds.Path(static_cast<int>(owner)));
        QVERIFY2(s.form.HoverText().contains("deleted: " + path + " (overwritten by " + ownerPath),
                 qPrintable(s.form.HoverText()));
        QVERIFY(s.windows->frm_Help.lbl_Name->toPlainText().contains(path));
        s.HoverOver(kept);
        QVERIFY2(s.form.HoverText().contains("(still there)"), qPrintable(s.form.HoverText()));

        // Both colours in the legend while shown, gone with the overlay.
        QVERIFY(InLegend(s.form, map::kOverlayDeletedFree));
        QVERIFY(InLegend(s.form, map::kOverlayDeletedOverwritten));
        s.form.Action(ActionId::kDeletedRemains)->trigger();
        QVERIFY(!InLegend(s.form, map::kOverlayDeletedFree));
        QVERIFY(PixelOf(s.form, kept) != free);
        QVERIFY(!s.form.HoverText().contains("deleted:"));

        // Far from every kind of both palettes, the other overlays and the
        // highlight, and from each other.
        for (const std::uint8_t index :
             {map::kOverlayDeletedFree, map::kOverlayDeletedOverwritten}) {
            const QRgb colour = lorvex::ui::OverlayColour(index);
            for (const auto* palette : {&map::CellPalette(), &map::SafeCellPalette()}) {
                for (const auto& kind : map::kLegend) {
                    QVERIFY(ColourDistance(colour, (*palette)[kind.state]) > 60);
                }
            }
            for (std::uint8_t other = map::kHighlightIndex; other <= map::kOverlayLast; ++other) {
                QVERIFY(other == index ||
                        ColourDistance(colour, lorvex::ui::OverlayColour(other)) > 60);
            }
        }
    }

    void anotherDriveRefillsTheListAndNothingOfTheFirstActsOnIt() {
        // A second drive with deleted entries of its own: a copy of the volume.
        const fs::path dir = lorvex::test::TempPath("deleted-window");
        fs::create_directories(dir);
        const fs::path copy = dir / "copy.img";
        fs::copy_file(deletedImage_, copy, fs::copy_options::overwrite_existing);
        lorvex::test::Scanned s(deletedImage_);
        std::string problem;
        QVERIFY(s.system->AddSource(copy.string(), problem));
        s.form.BuildDriveMenu();
        QCOMPARE(s.form.DriveActions().size(), 2);
        OpenList(s.form);
        s.form.Action(ActionId::kDeletedRemains)->trigger();
        const auto first = s.form.DeletedOfShownScan();
        QCOMPARE(first->drive, QString("C:"));
        QVERIFY(!s.form.View().Overlay().empty());

        s.form.DriveActions().at(1)->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        // The scan's end asks for the new drive's entries; their walk ends.
        QVERIFY(QTest::qWaitFor([&s] { return s.form.DeletedOfShownScan() != nullptr; }, 60000));
        QVERIFY(lorvex::test::WorkEnded(s.form));
        const auto second = s.form.DeletedOfShownScan();
        QCOMPARE(second->drive, QString("D:"));
        QCOMPARE(s.form.frm_Deleted->OriginDrive(), QString("D:"));
        QVERIFY(s.form.frm_Deleted->Entries() == second);
        QCOMPARE(s.form.frm_Deleted->lv_Deleted->topLevelItemCount(),
                 static_cast<int>(second->entries.entries().size()));
        QVERIFY(s.form.frm_Deleted->lbSummary->text().contains("on D:"));
        // The overlay is the new drive's.
        map::TMapView want;
        want.SetOverlay(map::DeletedOverlaySpans(second->entries));
        QCOMPARE(s.form.View().Overlay().size(), want.Overlay().size());

        // An entry of the first drive's, asked for on the second, does nothing.
        s.form.ClearHighlight();
        s.form.frm_Deleted->OnShowOnMap(*first, 0);
        QVERIFY(s.form.View().Highlight().empty());
        QVERIFY2(s.form.HoverText().contains("drive C:"), qPrintable(s.form.HoverText()));
        s.windows->frm_Info.ClearReport();
        s.form.frm_Deleted->OnDetails(*first, 0);
        QVERIFY(s.windows->frm_Info.Memo1->toPlainText().isEmpty());

        // A hidden list empties with the drive it was of, and stays empty.
        s.form.frm_Deleted->hide();
        s.form.Action(ActionId::kDeletedRemains)->trigger();
        s.form.DriveActions().at(0)->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QTest::qWait(50);
        QVERIFY(!s.form.DeletedWalker()->Busy());
        QCOMPARE(s.form.frm_Deleted->lv_Deleted->topLevelItemCount(), 0);
        QVERIFY(s.form.frm_Deleted->Entries() == nullptr);
        QVERIFY(s.form.DeletedOfShownScan() == nullptr);
        fs::remove_all(dir);
    }

    void saveFileAsWritesTheDataNeverOntoTheSourceAndSaysWhatWasOverwritten() {
        lorvex::test::Scanned s(deletedImage_);
        OpenList(s.form);
        const auto deleted = s.form.DeletedOfShownScan();
        // Part of it still there, part taken by a live file and a later one.
        const std::int64_t record = Fact("big1_record");
        const std::size_t entry = *deleted->entries.IndexOf(record);
        std::string want;
        ntfs::NtfsVolume volume(*s.system, s.form.Scan()->volume->drive());
        ntfs::ExtractionOptions options;
        options.deleted = &deleted->entries;
        const ntfs::ExtractionResult core = ntfs::ExtractStream(
            volume, *s.system, record, {},
            [&want](std::span<const std::byte> bytes) {
                want.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
                return true;
            },
            options);
        QCOMPARE(core.status, ntfs::ExtractionStatus::kDone);
        QVERIFY(!core.overwritten.empty());

        const fs::path dir = lorvex::test::TempPath("deleted-save");
        fs::create_directories(dir);
        const fs::path path = dir / "big1.bin";
        QVERIFY(s.form.SaveDeletedFileTo(*deleted, entry, QString::fromStdString(path.string())));
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(lorvex::test::ReadFile(path) == want);
        const QString said = s.form.HoverText();
        QVERIFY2(
            said.contains(QString("Saved %1 bytes of \\big1.bin (deleted) to").arg(want.size())),
            qPrintable(said));
        const auto& first = core.overwritten.front();
        QVERIFY2(said.contains(QString("bytes %1-%2 overwritten by ")
                                   .arg(first.offset)
                                   .arg(first.offset + first.length - 1)),
                 qPrintable(said));
        // Its owner named as the hover names it: a live file's path.
        const QString owner =
            lorvex::ui::DeletedOwnerText(*deleted, first.state == ntfs::PieceState::kClaimed,
                                         first.owner, s.form.Scan()->fileIds);
        QVERIFY2(owner.startsWith('\\'), qPrintable(owner));
        QVERIFY2(said.contains("overwritten by " + owner), qPrintable(said));
        QCOMPARE(s.messages.size(), 1); // the overwritten bytes, where they cannot be missed

        // The volume's own image is refused, and keeps every byte.
        const auto stamp = fs::last_write_time(deletedImage_);
        QVERIFY(!s.form.SaveDeletedFileTo(*deleted, entry,
                                          QString::fromStdString(deletedImage_.string())));
        QVERIFY(s.messages.last().contains("Cannot save to"));
        QVERIFY(fs::last_write_time(deletedImage_) == stamp);
        QVERIFY(!s.form.IsScanning());

        // Cancelled, the part written goes.
        const fs::path cancelled = dir / "cancelled.bin";
        QVERIFY(
            s.form.SaveDeletedFileTo(*deleted, entry, QString::fromStdString(cancelled.string())));
        s.form.CancelScan();
        QVERIFY(!s.form.IsScanning());
        QVERIFY(!fs::exists(cancelled));
        QVERIFY(s.form.HoverText().contains("cancelled"));
        fs::remove_all(dir);
    }

    void aCancelledWalkLeavesNothingBehind() {
        lorvex::test::Scanned s(deletedImage_);
        std::atomic<bool> release{false};
        s.form.DeletedWalker()->SetProbe([&release](std::string_view stage) {
            if (stage == "records") {
                while (!release.load()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
            }
        });
        s.form.Action(ActionId::kDeletedRemains)->trigger();
        QVERIFY(s.form.IsScanning());
        QVERIFY(!s.form.Action(ActionId::kScan)->isEnabled());
        // Escape on the window cancels, as it does a scan.
        QTest::keyClick(s.form.MapSurface(), Qt::Key_Escape);
        release = true;
        QVERIFY(!s.form.IsScanning());
        QVERIFY(!s.form.Action(ActionId::kDeletedRemains)->isChecked());
        // Whatever the thread still had to send is dropped.
        QTest::qWait(300);
        QVERIFY(s.form.DeletedOfShownScan() == nullptr);
        QVERIFY(s.form.View().Overlay().empty());
        QVERIFY(!InLegend(s.form, map::kOverlayDeletedFree));
        QVERIFY(s.form.HoverText().contains("cancelled"));
        QVERIFY(s.form.Action(ActionId::kScan)->isEnabled());

        // Asked again, it reads them whole.
        s.form.DeletedWalker()->SetProbe({});
        s.form.Action(ActionId::kDeletedRemains)->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        QVERIFY(s.form.DeletedOfShownScan() != nullptr);
        QVERIFY(!s.form.View().Overlay().empty());
    }
};

} // namespace

int main(int argc, char** argv) {
    return lorvex::test::RunWindowTest<DeletedWindowTest>(argc, argv,
                                                          "lorvex-deleted-window-tests");
}

#include "DeletedWindowTest.moc"

#pragma once

#include "ntfs/ClusterMap.h"
#include "platform/VolumeApi.h"
#include "ui/CellMap.h"
#include "ui/ScanJob.h"

#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QRgb>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QAction;
class QLabel;
class QMenu;
class QPainter;
class QScrollBar;
class QStatusBar;
class QTimer;

namespace lorvex::ui {

class Tfrm_Fragmentation;
class Tfrm_Help;
class Tfrm_Info;
class Tfrm_Progress;
class TfrmFind;

// How the window tells the user something; tests put recorders here.
struct TUserNotices {
    std::function<void()> beep;
    std::function<void(const QString& caption, const QString& text)> message;
};

// The main window: the cluster map of the chosen drive, its drive menu, the
// scan that paints it and the view with the zoom window.
//
// A scan runs the reader's stages on a thread of their own so that the
// window stays responsive through the stages that never yield (paths, sizes,
// sorting: hundreds of milliseconds each on a million files). That thread
// builds a TScanResult of its own and hands it to the window when the last
// stage ends. Meanwhile the window touches that result only in the painting
// stage, on its own thread while the scanning thread waits for it. Until the
// handover the window has no result: everything that reads one finds none,
// and the commands that would start another scan are held off.
class TForm1 : public QMainWindow {
    Q_OBJECT

  public:
    // FormCreate: the palette, the two pictures and the drive menu.
    explicit TForm1(platform::VolumeApi& api);
    ~TForm1() override;

    // The other windows, created after this one.
    void AttachWindows(Tfrm_Help* help, Tfrm_Progress* progress, Tfrm_Info* info, TfrmFind* find,
                       Tfrm_Fragmentation* fragmentation);
    void SetUserNotices(TUserNotices notices);
    // Runs on the scanning thread as each stage begins; tests make a stage
    // fail through it.
    void SetScanProbe(std::function<void(std::string_view stage)> probe);

    // The drive menu and the map of the chosen drive.
    void BuildDriveMenu();
    void LoadVolumeMap();
    void ReadVolumeBitmap();
    void mnusubDriveClick(QObject* Sender);

    // The scan. ScanVolume returns when the scan has ended or been let go
    // of; events go on meanwhile.
    void ScanVolume();
    void mnuScanClick();
    void tmTimer();
    [[nodiscard]] bool IsScanning() const { return FScanJob != nullptr; }
    [[nodiscard]] bool IsScanned() const { return FScan != nullptr; }
    // The result of the last completed scan, or null.
    [[nodiscard]] const TScanResult* Scan() const { return FScan.get(); }
    // Lets go of the running scan: its thread is told to stop and whatever
    // it still delivers is dropped. The window is left unscanned.
    void CancelScan();

    // The pictures.
    void PaintClusters();
    // PaintClusters with the map of the result in FileIndex order for the
    // painting and back in LCN order after it, as a new mark needs it.
    void RepaintScannedCells();
    void RenderMapBitmap();
    void RenderOverview();
    // Asks for the map area to be drawn again; the drawing itself happens
    // when the window paints.
    void DrawMap();
    [[nodiscard]] std::int64_t CellToLCN(std::int32_t X, std::int32_t Y) const;

    // The view.
    void FormResize();
    void FormPaint(QPainter& painter);
    void scrollerChange();
    void FormMouseMove(std::int32_t X, std::int32_t Y);
    void FormMouseWheel(std::int32_t WheelDelta);
    void UpdateHover();
    // F1 to F3; false for every other key, which goes on to the focused
    // control.
    bool FormKeyDown(int Key);
    void Zoom1Click();
    void mnuMarkClick();
    void Quit1Click();

    // The reports and the Tools windows (MainWindowReports.cpp).
    void ShowClusterDetails();
    void ShowHexDump();
    void ShowBaseInfo(std::int64_t BaseID);
    void Export1Click();
    // The export after its dialog: the file at `path` is created or
    // replaced, and the outcome shown in a message box.
    void ExportTo(const QString& path);
    void mnuFindClick();
    void FragmentationList1Click();

    // The colour a pixel of the map area shows: the map, the overview strip,
    // or the window's background.
    [[nodiscard]] QRgb SurfacePixel(std::int32_t x, std::int32_t y) const;
    [[nodiscard]] QWidget* MapSurface() const { return FSurface; }
    [[nodiscard]] QString StatusText() const;

    // The map.
    std::unique_ptr<TCellArray> FCells;
    std::string FDriveRoot;
    std::int64_t FTotalClusters = 0;
    std::uint32_t FBytesPerCluster = 0;
    std::int32_t FViewRight = 0;
    std::int32_t FViewBottom = 0;
    std::int32_t FCellsPerRow = 0;
    std::int32_t FRowCount = 0;
    QImage FMapBitmap;
    QImage FOverviewBitmap;
    QList<QRgb> FPalette;
    QString FMarkText;

    // The mouse.
    std::int32_t FMouseX = 0;
    std::int32_t FMouseY = 0;
    std::int64_t FHoverLCN = 0;

    // Components.
    QMenu* mnuDrive = nullptr;
    QAction* mnuScan = nullptr;
    QMenu* mnuTools = nullptr;
    QAction* Export1 = nullptr;
    QAction* Zoom1 = nullptr;
    QAction* mnuFind = nullptr;
    QAction* mnuMark = nullptr;
    QAction* FragmentationList1 = nullptr;
    QAction* Quit1 = nullptr;
    QStatusBar* sb = nullptr;
    QScrollBar* scroller = nullptr;
    QTimer* tm = nullptr;

    Tfrm_Help* frm_Help = nullptr;
    Tfrm_Progress* frm_Progress = nullptr;
    Tfrm_Info* frm_Info = nullptr;
    TfrmFind* frmFind = nullptr;
    Tfrm_Fragmentation* frm_Fragmentation = nullptr;

    // What answers the volume queries; writers of files check against it.
    [[nodiscard]] const platform::VolumeApi& Api() const { return FApi; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    // The guard of the reports: a completed scan and a cluster of the volume
    // under the mouse.
    [[nodiscard]] bool HoverInsideScannedVolume() const;
    void SetStatusText(const QString& text);
    // Enables the commands that would replace the tables only while no scan
    // runs.
    void UpdateCommands();
    // Runs `work` on this window's thread, waiting for it when called from
    // another thread.
    void OnWindowThread(const std::function<void()>& work);
    void ShowNotice(const QString& caption, const QString& text);
    void Beep();
    // Starts the thread that runs the stages of `job` into `scan`.
    void StartScanThread(const std::shared_ptr<TScanJob>& job, std::shared_ptr<TScanResult> scan);
    // On this window's thread, when the thread of `job` is done: `scan`
    // becomes the window's result, or `failure` is shown. Nothing happens
    // for a job the window has let go of.
    void ScanEnded(const std::shared_ptr<TScanJob>& job, std::shared_ptr<TScanResult> scan,
                   const QString& failure);
    // The timer and the progress window stop with the scan.
    void CloseScanProgress();
    // Paints the cells from `scan` (the map in FileIndex order).
    void PaintFrom(const TScanResult& scan);
    // The painting stage of a scan: as PaintClusters, handling events now
    // and then so the window keeps up on a big volume.
    void PaintScannedClusters(const TScanResult& scan);
    // Lets pending events through when the last pump is long enough ago.
    void PumpEventsWhenDue();

    platform::VolumeApi& FApi;
    QWidget* FSurface = nullptr;
    QLabel* FStatusLabel = nullptr;
    TUserNotices FNotices;
    std::function<void(std::string_view)> FScanProbe;
    // The result the window shows, its own once handed over.
    std::shared_ptr<TScanResult> FScan;
    // The scan the window waits for, while one runs.
    std::shared_ptr<TScanJob> FScanJob;
    bool FPaintYields = false;
    std::int64_t FLastPumpNs = 0;
};

} // namespace lorvex::ui

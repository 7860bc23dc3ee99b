#pragma once

#include "map/MapModel.h"
#include "map/MapView.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/DamageMap.h"
#include "ui/BitLockerDialog.h"
#include "ui/CellMap.h"
#include "ui/ElidedLabel.h"
#include "ui/MainWindowActions.h"
#include "ui/ScanJob.h"
#include "ui/SourcesController.h"
#include "volume/VolumeApi.h"

#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QRgb>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QAction;
class QDockWidget;
class QActionGroup;
class QLabel;
class QProgressBar;
class QPushButton;
class QMenu;
class QPainter;
class QScrollBar;
class QStatusBar;
class QTimer;
class QToolBar;

namespace lorvex::ui {

struct ExportFormat;
class FragmentationWindow;
class Tfrm_Help;
class Tfrm_Info;
class ScanController;
class ListWindow;
class ProblemListWindow;
class FindWindow;
class DeletedFilesWindow;
class DeletedWalkController;
struct DeletedScan;
struct DeletedSave;

// How the window tells the user something; tests put recorders here.
struct TUserNotices {
    std::function<void()> beep;
    std::function<void(const QString& caption, const QString& text)> message;
    // A yes-or-no question; true for yes.
    std::function<bool(const QString& caption, const QString& question)> ask;
    // Asks for a locked BitLocker drive's key, trying each through `tryKey`
    // until one opens it (true) or the user gives up; the unlock dialog
    // when not set.
    std::function<bool(const QString& drive, const TBitLockerFacts& facts,
                       const TBitLockerDialog::TryKey& tryKey)>
        askKey = nullptr;
};

// The main window: the cluster map of the chosen drive, its drive menu, the
// scan that paints it and the view with the zoom window.
//
// The map is drawn from a compact model of the volume (map::TMapModel) one
// screen at a time, at any zoom from cells of 16 pixels to the whole volume
// in the window; nothing the size of the volume is drawn or kept besides
// the model.
//
// A drive's bitmap is read and its scan runs on threads of their own (the
// ScanController) so that the window stays responsive through the stages
// that never yield (paths, sizes, sorting: hundreds of milliseconds each on
// a million files). The scanning thread builds a TScanResult of its own and
// hands it to the window when the last stage ends, with the map's model
// painted from it. Until the handover the window shows the drive it showed
// before, as it was, so that Cancel has nothing to restore; the commands
// that would start other work or read the volume wait meanwhile.
class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    // FormCreate: the palette, the two pictures and the drive menu.
    explicit MainWindow(platform::VolumeApi& api);
    ~MainWindow() override;

    // The other windows, created after this one.
    void AttachWindows(Tfrm_Help* help, Tfrm_Info* info, FindWindow* find,
                       FragmentationWindow* fragmentation);
    void SetUserNotices(TUserNotices notices);
    void SetSourceHooks(TSourceHooks hooks);
    // Opens image files or devices as more drives and chooses the first
    // new drive; `raw` reads them as the bytes they hold, whatever container
    // signature they carry. Problems are shown in one message. False when
    // none opened.
    bool OpenSources(const QStringList& paths, bool raw = false);
    // What went wrong before the window opened (sources that could not be
    // opened, no volume found), said once it is on screen.
    void ShowStartupProblems(const QStringList& problems, bool noSources);
    // The drive menu's first item, chosen and scanned.
    void ChooseFirstDrive();
    // Runs on the scanning thread as each stage begins; tests make a stage
    // fail through it.
    void SetScanProbe(std::function<void(std::string_view stage)> probe);

    // The drive menu and the map of the chosen drive (MainWindowDrives.cpp).
    void BuildDriveMenu();
    void mnusubDriveClick(QObject* Sender);
    // Reads the map of the drive at `root` and scans it, off this window's
    // thread; returns at once. The window shows the drive it showed until
    // the work ends, and still shows it when the work is cancelled.
    // `chosen`: from the Drive menu, which shows the zoom window too.
    void OpenDrive(const std::string& root, bool chosen);
    // Drive > Close Drive: the drive shown leaves the Drive menu and the
    // window shows none.
    void CloseDriveClick();
    // The Drive menu's drives, without its other items.
    [[nodiscard]] QList<QAction*> DriveActions() const;

    // The scan (MainWindowScan.cpp). ScanVolume scans the drive shown with
    // its map as it is; it returns at once, and ScanFinished tells when the
    // scan is over. Scan! reads the map again first.
    void ScanVolume();
    void mnuScanClick();
    // While a drive's map is read or it is scanned.
    [[nodiscard]] bool IsScanning() const;
    [[nodiscard]] bool IsScanned() const { return FScan != nullptr; }
    // The result of the last completed scan, or null.
    [[nodiscard]] const TScanResult* Scan() const { return FScan.get(); }
    // Cancels the running work: its thread is told to stop and whatever it
    // still delivers is dropped. The window shows what it showed before.
    void CancelScan();

    // The pictures (MainWindowMap.cpp).
    // Paints the model with the mark text as it is now, from the scan's
    // cluster map in owner (FileIndex) order.
    void PaintClusters(const ntfs::TClusterArray& byOwner);
    void RepaintScannedCells();
    // Fits the view to the map area and the volume, back at the top, and
    // draws it.
    void RenderMapBitmap();
    void RenderOverview();
    // Draws the screen of map in view again and asks for it to be shown.
    void DrawMap();
    [[nodiscard]] std::int64_t CellToLCN(std::int32_t X, std::int32_t Y) const;

    // Show on map (MainWindowMarks.cpp): lights every cluster of the file of table index
    // `fileIndex` (all records of its base record), goes to its first extent
    // and lets Next/Previous Extent step through them.
    void ShowOnMap(std::int64_t fileIndex);
    void StepExtent(int direction);
    void ClearHighlight();
    // The marked files, one after another in the order of their first
    // cluster.
    void NextMarkedFile();
    void ClearMark();
    [[nodiscard]] std::int64_t MarkedCount() const { return FMarkedCount; }
    // The standard palette or the one for colour-blind eyes.
    void SetSafePalette(bool safe);
    void mnuSaveMapPictureClick();
    // The map's context menu at a pixel of the surface.
    void ShowMapMenu(QPoint at);
    // Writes the whole volume at the fit, with the legend and the drive's
    // name, as a PNG of `size`. False with a message when it cannot.
    bool SaveMapPicture(const QString& path, QSize size);

    // Zoom and navigation (MainWindowMap.cpp).
    void SetZoom(map::TMapScale scale);
    // A zoom step around pixel row `y` of the map: +1 in, -1 out.
    void ZoomStep(int direction, std::int32_t y);
    void ZoomAroundRow(map::TMapScale scale, std::int32_t y);
    void ZoomToFit();
    // The first row of map in view; the scroll bar follows.
    void ScrollToRow(std::int64_t row);
    void ScrollByRows(std::int64_t rows);
    // Moves the cursor to cluster `lcn`, scrolls it into view when it is
    // not, and names it in the status bar and the zoom window.
    void GoToCluster(std::int64_t lcn);
    // The cursor: the cluster the keys and the reports act on, framed on
    // the map. A click on the map, Go to, the extents, the marked files and
    // the lists move it; the pointer alone does not.
    [[nodiscard]] std::int64_t Cursor() const { return cursor_; }
    // Whether the view follows the window's size with the whole volume in
    // it: so from the start and after Fit volume, until another zoom.
    [[nodiscard]] bool Fitted() const { return fitted_; }
    void mnuGoToClick();
    [[nodiscard]] const map::TMapView& View() const { return FView; }
    [[nodiscard]] const map::TMapModel* Model() const { return FModel.get(); }

    // The view: its size and painting (MainWindowMap.cpp), the pointer,
    // the wheel and the keys over it (MainWindowMouse.cpp).
    void FormResize();
    void FormPaint(QPainter& painter);
    void scrollerChange();
    void FormMouseMove(std::int32_t X, std::int32_t Y);
    void FormMouseWheel(std::int32_t WheelDelta);
    // A press of the left button: on the overview strip it moves the view,
    // on the map it puts the cursor there.
    void FormMouseDown(std::int32_t X, std::int32_t Y);
    void UpdateHover();
    // F1 to F3 on the cursor, Home and End taking it to the first and last
    // cluster, and the keys that scroll and zoom; false for every other
    // key, which goes on to the focused control.
    bool FormKeyDown(int Key);
    void Zoom1Click();
    void mnuMarkClick();
    void Quit1Click();

    // The reports and the Tools windows (MainWindowReports.cpp).
    void ShowClusterDetails();
    void ShowHexDump();
    void ShowBaseInfo(std::int64_t BaseID);
    // Reports > All Records: ShowBaseInfo for the hovered cluster's file.
    void ShowHoveredBaseInfo();
    void Export1Click();
    // The export after its dialog: the file at `path` is created or
    // replaced in `format` (the export's text when not given); where it went
    // is said in the status bar, a failure in a message box.
    void ExportTo(const QString& path);
    void ExportTo(const QString& path, const ExportFormat& format);
    void mnuFindClick();
    void FragmentationList1Click();

    // The volume's health and a damaged disk's bad areas (MainWindowHealth.cpp).
    // The check runs with every scan; its problems are counted in the
    // status bar, listed by Tools > Volume Check and drawn over the map by
    // View > Health Overlay.
    void VolumeCheckClick();
    void SetHealthOverlay(bool on);
    // Reads a ddrescue mapfile, or a list of bad sectors of `sectorSize`
    // bytes when that is not 0, and names what lies on its bad areas in the
    // Damage Map list and on the map. False, with a message, when the file
    // cannot be read or the drive has not been scanned.
    bool LoadDamageMap(const QString& path, std::uint32_t sectorSize);
    void mnuLoadDamageMapClick();
    void SetDamageOverlay(bool on);
    // Puts [first, first + count) in view, lit.
    void ShowClusterRange(std::int64_t first, std::int64_t count);
    [[nodiscard]] const ntfs::TDamageReport& DamageReport() const { return FDamageReport; }

    // The colour a pixel of the map area shows: the map, the overview strip
    // with its marker, or the window's background.
    [[nodiscard]] QRgb SurfacePixel(std::int32_t x, std::int32_t y) const;
    [[nodiscard]] QWidget* MapSurface() const { return FSurface; }
    [[nodiscard]] QString StatusText() const;
    // What the status bar says of the pixel under the mouse.
    [[nodiscard]] QString HoverText() const;
    // The overview strip's left edge on the map surface.
    [[nodiscard]] std::int32_t OverviewLeft() const;
    // Shows the zoom dock while Tools > Zoom is ticked, hides it otherwise.
    void PlaceZoomWindow();
    [[nodiscard]] bool ZoomWindowDocked() const;

    // The map.
    std::string FDriveRoot;
    std::int64_t FTotalClusters = 0;
    std::uint32_t FBytesPerCluster = 0;
    std::int32_t FViewRight = 0;
    std::int32_t FViewBottom = 0;
    // Cells (or summary pixels) in a row of the view.
    std::int32_t FCellsPerRow = 0;
    // The screen of map in view: one byte per pixel of the map area, the
    // states' colours and the grid and background (FScreenColours).
    QImage FScreen;
    QImage FOverviewBitmap;
    QList<QRgb> FPalette;
    QList<QRgb> FScreenColours;
    QString FMarkText;

    // The mouse.
    std::int32_t FMouseX = 0;
    std::int32_t FMouseY = 0;
    std::int64_t FHoverLCN = 0;

    // The commands of the menus (MainWindowActions.h), and the menus.
    [[nodiscard]] QAction* Action(ActionId id) const;
    [[nodiscard]] QMenu* Menu(MenuId id) const;

    // Components.
    QToolBar* FLegend = nullptr;
    QLabel* FHealthLabel = nullptr;
    ProblemListWindow* frm_Health = nullptr;
    ProblemListWindow* frm_Damage = nullptr;
    QStatusBar* sb = nullptr;
    QScrollBar* scroller = nullptr;

    Tfrm_Help* frm_Help = nullptr;
    Tfrm_Info* frm_Info = nullptr;
    FindWindow* frmFind = nullptr;
    FragmentationWindow* frm_Fragmentation = nullptr;

    // The deleted remains (MainWindowDeleted.cpp): View > Deleted Remains
    // and Tools > Deleted Files, over the deleted entries of the scan shown,
    // read off this window's thread when first asked for.
    DeletedFilesWindow* frm_Deleted = nullptr;
    void SetDeletedRemains(bool on);
    void DeletedFilesClick();
    // The entries read for the scan shown; null before they are read.
    [[nodiscard]] std::shared_ptr<const DeletedScan> DeletedOfShownScan() const;
    [[nodiscard]] DeletedWalkController* DeletedWalker() const { return deletedWalk_; }
    // Save File As on a deleted entry, once its file is chosen: its data
    // written to `path` off this window's thread. False, with a message,
    // when `path` cannot be written (a source, or on one).
    bool SaveDeletedFileTo(const DeletedScan& deleted, std::size_t entry, const QString& path);

    // The user's settings (MainWindowSettings.cpp): the window's geometry and
    // docks and the palette, restored as the window is made and saved as it
    // closes; the folder the file dialogs open in, and the one to remember.
    void RestoreSettings();
    void SaveSettings() const;
    [[nodiscard]] QString LastFolder() const;
    void RememberFolder(const QString& file);

    // What answers the volume queries; writers of files check against it.
    [[nodiscard]] const platform::VolumeApi& Api() const { return FApi; }

  signals:
    // The work OpenDrive or ScanVolume began is over: scanned, failed,
    // cancelled, or the drive cannot be shown.
    void ScanFinished();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    // The window's parts, made once by the constructor in this order: the
    // menu bar from the table of commands (File, Drive, Scan!, Tools,
    // Reports, View, Quit!, Help), the status bar with its labels, and the
    // map surface with the zoom window's dock and the scroll bar.
    void BuildMenus();
    // The sources' controller, with what it asks of this window.
    void BuildSources();
    // The menu `id` (and the menus it lies in), made and put in its place
    // the first time it is asked for.
    QMenu* PlaceMenu(MenuId id);
    // The menus that stand before command `id` without one of their own.
    void PlaceMenusBefore(ActionId id);
    void ConnectMenus();
    // What command `id` does; `on`: its tick, for the commands told as it
    // changes.
    void RunCommand(ActionId id, bool on);
    void RunViewCommand(ActionId id, bool on);
    void SaveMapPictureCommand();
    void MarkCommand();
    void ShowManualCommand();
    // The reports' actions enabled for what is under the cursor while their
    // menu is open, all of them otherwise (their keys then say why not).
    void UpdateReportCommands(bool menuOpen);
    // Whether the reports have a cluster to act on (and, with `needsOwner`,
    // a file owning it); says why not in the status bar.
    bool CanReport(bool needsOwner);
    // The lists that go with View > Health Overlay and Damage Overlay.
    void BuildOverlayLists();
    // View > Light the Owner's Fragments ticked or not: nothing is lit until
    // the pointer moves.
    void LightOwnerChanged();
    void BuildStatusBar();
    void BuildMapArea();
    // The "Zoom" dock, empty until AttachZoom puts the zoom panel in it and
    // shows it.
    void BuildZoomDock();
    void AttachZoom();
    // On the first show: the window widened by the docked zoom panel.
    void MakeRoomForZoomDock();
    // The reader's messages, shown by this window from whichever thread.
    // The guard of the reports: a completed scan and the cursor on a cluster
    // of the volume.
    [[nodiscard]] bool CursorInsideScannedVolume() const;
    void SetStatusText(const QString& text);
    // Each command enabled as the table says for the window's state now.
    [[nodiscard]] CommandState CurrentCommandState() const;
    void UpdateCommands();
    void ShowNotice(const QString& caption, const QString& text);
    bool Ask(const QString& caption, const QString& question);
    void Beep();
    // The status bar's progress area: the stage, a bar and Cancel, shown
    // once work has lasted a moment.
    void BuildProgressArea();
    void ConnectScanner();
    // Work on `title` (a drive) begins or ends: the commands that would
    // start more are held off meanwhile.
    void BeginWork(const QString& title);
    void EndWork();
    // What the scanner tells of the work.
    void MapLoaded();
    void ScanSucceeded(std::shared_ptr<const TScanResult> scan);
    void ScanFailed(const QString& failure);
    void WorkCancelled();
    // `scan` becomes the window's result, its model the map's when painted
    // from the map shown.
    void TakeScan(std::shared_ptr<const TScanResult> scan);
    // The drive whose work ended becomes the one shown, with its map.
    void CommitDrive();
    // What belonged to the drive shown is let go of: the marks, the file
    // shown on the map, the health and (for another drive) the damage map.
    void ForgetDriveState(const std::string& newRoot);
    // The chosen drive has no map: why, in a message.
    void ShowDriveProblem();
    // The legend bar: a swatch and a name for every kind.
    void BuildLegend();
    void UpdateLegend();
    // The extents of every record of the base record of `fileIndex`, in
    // cluster order.
    [[nodiscard]] std::vector<map::TClusterSpan> FileExtents(std::int64_t fileIndex) const;
    // Lights `extents` (in cluster order) on the map as the file `name`'s
    // and goes to the first of them.
    void ShowExtentsOnMap(std::vector<map::TClusterSpan> extents, const QString& name);
    // Paints with a new mark text (during a scan only keeps it).
    void ApplyMark(const QString& text);
    // Keeps the window, frame and all, inside its screen's free area.
    void FitToScreen();
    // Counts the marked files and lists them in the order of their first
    // cluster.
    void CountMarks();
    // No drive chosen: the title and the map area say so.
    void ShowNoDrive();
    // "Lorvex", or the drive and its source, then "Lorvex".
    void UpdateTitle();
    // The check's count in the status bar, its list and the overlay, from
    // the scan the window shows (none: all cleared).
    void UpdateHealth();
    // The damage map's files against the scan the window shows.
    void UpdateDamage();
    // The list windows (MainWindowLists.cpp): what they ask of this window,
    // and the scan they follow, told to every one each time the window lets
    // go of a scan or is handed one; the reports forget their file and
    // cluster when it lets go.
    void ConnectList(ListWindow& list);
    void ListsFollowScan();
    // Why a command did nothing, where the status bar names the file shown.
    void TellInStatusBar(const QString& text);
    // The overlay spans of the health check and the damage map, as shown.
    void UpdateOverlay();
    // Why the chosen drive cannot be shown, in words.
    [[nodiscard]] QString DriveProblem() const;
    // A locked BitLocker drive chosen: its key asked for, until one opens it
    // or the user gives up.
    void UnlockChosenDrive(const std::string& root);
    // " [BitLocker]" or " [BitLocker, locked]" after a drive's caption.
    [[nodiscard]] QString BitLockerNote(const std::string& root) const;
    // The zoom levels of the View menu, made as it opens.
    void FillViewMenu();
    // The zoom levels, Fit volume among them, ticked as the view is: at
    // most one, and none at a scale the menu does not list.
    void TickZoomLevel();
    // The cursor's frame over the map.
    void PaintCursor(QPainter& painter) const;
    // The legend's entries of the overlay's kinds and the shown file, each
    // while it is on the map.
    void ShowOverlayLegend();
    // The status bar and the zoom window name the cursor as if the pointer
    // were on it.
    void ShowCursorAsHover();
    // The scroll bar's range and position for the view's rows.
    void SyncScroller();
    // The screen's pixels per window pixel over the map, and a window
    // coordinate of the map as the view's (the screen's) one.
    [[nodiscard]] qreal MapRatio() const;
    [[nodiscard]] std::int32_t ToView(std::int32_t x) const;
    // The map area in the screen's pixels, for the view.
    void SetViewArea();
    // The colour at the view's pixel (x, y); past the map, the surface's.
    [[nodiscard]] QRgb ViewPixel(std::int32_t x, std::int32_t y) const;
    // The hovered pixel when it lies on the overview strip.
    void HoverOverview(std::int32_t x, std::int32_t y);
    // Moves the view so the clusters under strip pixel (x, y) are in its middle.
    void OverviewClicked(std::int32_t x, std::int32_t y);
    // The cluster the reports act on among `span`: the first of the kind the
    // pixel shows, found among its first clusters, else its first.
    [[nodiscard]] std::int64_t PickCluster(map::TClusterSpan span, std::uint8_t shown) const;
    // What the hovered span shows.
    [[nodiscard]] std::uint8_t SpanState(map::TClusterSpan span) const;
    // Finds the clusters under the pointer (FHoverSpan) and the one the
    // reports act on (FHoverLCN); returns what the span shows.
    std::uint8_t LocateHover();
    // With View > Light the Owner's Fragments, lights the hovered file.
    void LightHoveredOwner();
    // The zoom window's picture of the 9 x 9 cells around the pointer.
    void ShowZoomPicture();

    platform::VolumeApi& FApi;
    QWidget* FSurface = nullptr;
    ElidedLabel* FStatusLabel = nullptr;
    TUserNotices FNotices;
    TSourceHooks FSourceHooks;
    // Opening sources: the File menu, Open Recent, dropped files.
    SourcesController* sources_ = nullptr;
    // The result the window shows, its own once handed over.
    std::shared_ptr<const TScanResult> FScan;
    // The drive's map and scan, read off this window's thread.
    ScanController* scanner_ = nullptr;
    // The drive being read, until its work ends: the window shows the one
    // before meanwhile.
    struct PendingDrive {
        std::string root;
        std::int64_t totalClusters = 0;
        std::uint32_t bytesPerCluster = 0;
        std::unique_ptr<map::TMapModel> model;
        bool chosen = false;
    };
    std::unique_ptr<PendingDrive> pendingDrive_;
    // The mark when the work began: one changed meanwhile is painted after.
    QString markAtStart_;
    QWidget* progressArea_ = nullptr;
    QLabel* progressTitle_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QPushButton* progressCancel_ = nullptr;
    // Work over quickly shows no progress.
    QTimer* progressDelay_ = nullptr;
    // The drive's model: the bitmap alone until a scan hands over its own.
    std::unique_ptr<map::TMapModel> FModel;
    map::TMapView FView;
    // The clusters under the mouse: one, a summary pixel's, or a strip
    // pixel's; empty off the map.
    map::TClusterSpan FHoverSpan;
    bool FHoverOnOverview = false;
    QString FHoverText;
    ElidedLabel* FHoverLabel = nullptr;
    QDockWidget* FZoomDock = nullptr;
    QActionGroup* FZoomLevels = nullptr;
    std::array<QAction*, kActionCount> actions_{};
    std::array<QMenu*, kMenuCount> menus_{};
    bool reportsMenuOpen_ = false;
    // Wheel turns smaller than a notch, kept until they make one.
    int FWheelRest = 0;
    // The extents of the file shown on the map, and the one last gone to.
    std::vector<map::TClusterSpan> FShownExtents;
    std::size_t FShownExtent = 0;
    QString FShownName;
    // The owner whose fragments are lit while the pointer is over them.
    std::int64_t FLitOwner = -1;
    // The marked files (table indexes), in the order of their first cluster.
    std::vector<std::int64_t> FMarked;
    std::int64_t FMarkedCount = 0;
    std::size_t FNextMarked = 0;
    QLabel* FMarkLabel = nullptr;
    bool FSafePalette = false;
    bool FFirstShow = true;
    // The window has the size and place the user left it at last time.
    bool geometryRestored_ = false;
    // Set while the scroll bar is moved to follow the view.
    bool FSyncingScroller = false;
    // The damage map loaded for the chosen drive, and what lies on it.
    ntfs::TDamageMap FDamageMap;
    std::uint64_t FDamageOffset = 0;
    ntfs::TDamageReport FDamageReport;
    QString FDamageName;
    std::string FDamageRoot;
    std::int64_t cursor_ = 0;
    // The legend's entries from map::kHighlightIndex to map::kOverlayLast.
    std::vector<QAction*> overlayLegend_;
    bool fitted_ = true;
    // The drive the view was last set up for: another starts fitted, its
    // cursor on cluster 0.
    std::string viewDrive_;

    // The deleted remains (MainWindowDeleted.cpp).
    void BuildDeleted();
    // Reads the shown scan's deleted entries when the overlay or the list
    // wants them and they are not read yet; fills and draws them otherwise.
    void RequestDeleted();
    void DeletedFollowScan();
    void DeletedWalkEnded(std::shared_ptr<const DeletedScan> deleted);
    // The walk failed or was cancelled: `why`, and nothing of it kept.
    void DeletedWalkStopped(const QString& why);
    void EndDeletedWork();
    [[nodiscard]] bool DeletedWalkBusy() const;
    // Whether `deleted` was read for the scan shown; says why not.
    bool DeletedIsShown(const DeletedScan& deleted);
    bool CancelDeletedWalk();
    void AppendDeletedOverlay(std::vector<map::TOverlaySpan>& spans) const;
    [[nodiscard]] QString DeletedHoverNote(std::int64_t lcn) const;
    void ShowDeletedOnMap(const DeletedScan& deleted, std::size_t entry);
    void ShowDeletedReport(const DeletedScan& deleted, std::size_t entry);
    void SaveDeletedFile(const DeletedScan& deleted, std::size_t entry);
    void DeletedSaved(std::shared_ptr<const DeletedSave> save);
    void DeletedSaveCancelled();
    // The file Save File As writes while it runs; empty otherwise.
    QString savingTo_;
    DeletedWalkController* deletedWalk_ = nullptr;
    std::shared_ptr<const DeletedScan> deleted_;
};

} // namespace lorvex::ui

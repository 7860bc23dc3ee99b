#include "ui/MainWindow.h"

#include "ntfs/FileTable.h"
#include "ntfs/NTFSVolume.h"
#include "ntfs/ScanStages.h"
#include "ui/FindWindow.h"
#include "ui/HelpWindow.h"
#include "ui/ProgressWindow.h"
#include "ui/VolumeMap.h"
#include "ui/ZoomPicture.h"
#include "volume/VolumeUtils.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

namespace lorvex::ui {

namespace {

constexpr int kClientWidth = 690;
constexpr int kClientHeight = 536;
constexpr int kStatusBarHeight = 22;
constexpr int kScrollerWidth = 16;
// The scroll bar stands this far from the right edge: itself, a gap of one
// pixel, the overview strip and one more pixel.
constexpr int kScrollerFromRight = kClientWidth - 640;
constexpr int kOverviewWidth = 32;
constexpr int kWheelNotch = 120;
constexpr std::int64_t kPumpIntervalNs = 8'000'000;
const char* const kAppCaption = "Lorvex";

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The map is drawn straight on the window between the menu and the status
// bar; this is that surface, handing its events to the window's handlers.
class TMapSurface final : public QWidget {
  public:
    explicit TMapSurface(TForm1& form) : QWidget(&form), FForm(form) {
        setObjectName("MapSurface");
        setMouseTracking(true);
        setFocusPolicy(Qt::StrongFocus);
    }

  protected:
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        FForm.FormPaint(painter);
    }
    void resizeEvent(QResizeEvent* /*event*/) override { FForm.FormResize(); }
    void mouseMoveEvent(QMouseEvent* event) override {
        const QPoint p = event->position().toPoint();
        FForm.FormMouseMove(p.x(), p.y());
    }
    void wheelEvent(QWheelEvent* event) override {
        FForm.FormMouseWheel(event->angleDelta().y());
        event->accept();
    }

  private:
    TForm1& FForm;
};

} // namespace

TForm1::TForm1(platform::VolumeApi& api) : FApi(api) {
    setObjectName("Form1");
    setWindowTitle(kAppCaption);

    const TPalette& palette = CellPalette();
    FPalette = QList<QRgb>(palette.begin(), palette.end());
    FMapBitmap = QImage(0, 0, QImage::Format_Indexed8);
    FMapBitmap.setColorTable(FPalette);
    FOverviewBitmap = QImage();

    mnuDrive = menuBar()->addMenu("Drive");
    mnuDrive->setObjectName("mnuDrive");
    mnuScan = menuBar()->addAction("Scan!");
    mnuScan->setObjectName("mnuScan");
    connect(mnuScan, &QAction::triggered, this, [this] { mnuScanClick(); });
    mnuTools = menuBar()->addMenu("Tools");
    mnuTools->setObjectName("mnuTools");
    Export1 = mnuTools->addAction("Export...");
    Export1->setObjectName("Export1");
    connect(Export1, &QAction::triggered, this, [this] { Export1Click(); });
    Zoom1 = mnuTools->addAction("Zoom");
    Zoom1->setObjectName("Zoom1");
    Zoom1->setCheckable(true);
    connect(Zoom1, &QAction::triggered, this, [this] { Zoom1Click(); });
    mnuFind = mnuTools->addAction("Find...");
    mnuFind->setObjectName("mnuFind");
    connect(mnuFind, &QAction::triggered, this, [this] { mnuFindClick(); });
    mnuMark = mnuTools->addAction("Mark...");
    mnuMark->setObjectName("mnuMark");
    connect(mnuMark, &QAction::triggered, this, [this] { mnuMarkClick(); });
    FragmentationList1 = mnuTools->addAction("Fragmentation List");
    FragmentationList1->setObjectName("FragmentationList1");
    connect(FragmentationList1, &QAction::triggered, this, [this] { FragmentationList1Click(); });
    Quit1 = menuBar()->addAction("Quit!");
    Quit1->setObjectName("Quit1");
    connect(Quit1, &QAction::triggered, this, [this] { Quit1Click(); });

    sb = statusBar();
    sb->setObjectName("sb");
    sb->setFixedHeight(kStatusBarHeight);
    FStatusLabel = new QLabel(sb);
    sb->addWidget(FStatusLabel, 1);

    FSurface = new TMapSurface(*this);
    setCentralWidget(FSurface);
    scroller = new QScrollBar(Qt::Vertical, FSurface);
    scroller->setObjectName("scroller");
    scroller->setSingleStep(1);
    scroller->setRange(0, 0);
    scroller->installEventFilter(this);
    connect(scroller, &QScrollBar::valueChanged, this, [this] { scrollerChange(); });

    tm = new QTimer(this);
    tm->setObjectName("tm");
    tm->setInterval(1000);
    connect(tm, &QTimer::timeout, this, [this] { tmTimer(); });

    // The window sees every key before the focused control does.
    qApp->installEventFilter(this);

    ntfs::SetMessageHandler([this](std::string_view text, std::string_view caption) {
        const QString t = FromUtf8(text);
        const QString c = FromUtf8(caption);
        // The reader on a scanning thread waits for the box, unless the
        // window lets go of its scan meanwhile.
        if (TScanJob* job = TScanJob::Current()) {
            job->CallAndWait(this, [this, c, t] { ShowNotice(c, t); });
            return;
        }
        OnWindowThread([&] { ShowNotice(c, t); });
    });

    resize(kClientWidth, menuBar()->sizeHint().height() + kClientHeight);
    move(293, 154);

    BuildDriveMenu();
}

TForm1::~TForm1() {
    // A scanning thread reads through FApi and calls on this window: it is
    // told to stop, which it does at its next stage or record, and the
    // window waits that long before it goes.
    if (FScanJob) {
        FScanJob->Stop();
    }
    for (QThread* worker : findChildren<QThread*>(QString(), Qt::FindDirectChildrenOnly)) {
        worker->wait();
    }
    ntfs::SetMessageHandler({});
    qApp->removeEventFilter(this);
}

void TForm1::AttachWindows(Tfrm_Help* help, Tfrm_Progress* progress, Tfrm_Info* info,
                           TfrmFind* find, Tfrm_Fragmentation* fragmentation) {
    frm_Help = help;
    frm_Progress = progress;
    frm_Info = info;
    frmFind = find;
    frm_Fragmentation = fragmentation;
    if (frm_Help != nullptr) {
        connect(frm_Help, &Tfrm_Help::closed, this, [this] { Zoom1->setChecked(false); });
    }
}

void TForm1::SetUserNotices(TUserNotices notices) {
    FNotices = std::move(notices);
}

void TForm1::SetScanProbe(std::function<void(std::string_view)> probe) {
    FScanProbe = std::move(probe);
}

// --- The drive menu and the map of the chosen drive -----------------------

void TForm1::BuildDriveMenu() {
    const std::uint32_t mask = FApi.GetLogicalDrives();
    std::vector<std::string> lettered;
    for (int n = 0; n < 26; ++n) {
        if ((mask & (1U << n)) == 0) {
            continue;
        }
        const char letter = static_cast<char>('A' + n);
        const std::string root = std::string(1, letter) + ":\\";
        if (volume::GetRealDriveType(FApi, root) != platform::drivetype::kFixed) {
            continue;
        }
        QString caption = QString(QChar(letter)) + ": " +
                          QString::fromStdString(volume::GetVolumeLabel(FApi, root));
        // A label is shown as it is, not read as a menu accelerator.
        caption.replace("&", "&&");
        QAction* item = mnuDrive->addAction(caption);
        item->setObjectName(QString("DRIVE_") + QChar(letter));
        connect(item, &QAction::triggered, this, [this, item] { mnusubDriveClick(item); });
        lettered.push_back(volume::GetVolumeDevicePath(FApi, root));
    }
    // Volumes past Z: have no letter; their volume name is their root.
    for (const std::string& root : FApi.FindVolumes()) {
        const std::string device = volume::GetVolumeDevicePath(FApi, root);
        if (std::find(lettered.begin(), lettered.end(), device) != lettered.end() ||
            volume::GetRealDriveType(FApi, root) != platform::drivetype::kFixed) {
            continue;
        }
        QString caption = QString::fromStdString(root.substr(0, root.size() - 1)) + " " +
                          QString::fromStdString(volume::GetVolumeLabel(FApi, root));
        caption.replace("&", "&&");
        QAction* item = mnuDrive->addAction(caption);
        item->setObjectName("DRIVE_" + QString::fromStdString(root));
        item->setData(QString::fromStdString(root));
        connect(item, &QAction::triggered, this, [this, item] { mnusubDriveClick(item); });
    }
}

void TForm1::LoadVolumeMap() {
    FCells.reset();
    FTotalClusters = QueryClusterCount(FApi, FDriveRoot, FBytesPerCluster);
    if (FTotalClusters == 0) {
        return;
    }
    ReadVolumeBitmap();
    if (FCells) {
        SetStatusText(QString::fromStdString(
            ntfs::VolumeSummaryText(FTotalClusters, FBytesPerCluster, FDriveRoot)));
    }
}

void TForm1::ReadVolumeBitmap() {
    if (FTotalClusters == 0) {
        return;
    }
    try {
        FCells = std::make_unique<TCellArray>(
            QueryClustersOnSource(FApi, FDriveRoot, FTotalClusters, FBytesPerCluster));
        // A bitmap that cannot be read leaves every cell csFree.
        ReadVolumeBitmapInto(FApi, FDriveRoot, *FCells);
    } catch (const std::exception&) {
        ShowNotice(kAppCaption, QString("Error allocating %1 bytes.").arg(FTotalClusters));
    }
}

void TForm1::mnusubDriveClick(QObject* Sender) {
    // Another drive waits until the scan is over.
    if (IsScanning() || Sender == nullptr) {
        return;
    }
    const QString name = Sender->objectName();
    if (name.isEmpty()) {
        return;
    }
    const auto* item = qobject_cast<const QAction*>(Sender);
    FDriveRoot = item != nullptr && item->data().isValid() ? item->data().toString().toStdString()
                                                           : name.right(1).toStdString() + ":\\";
    LoadVolumeMap();
    RenderMapBitmap();
    RenderOverview();
    DrawMap();

    FScan.reset();
    Zoom1->setChecked(true);
    if (frm_Help != nullptr) {
        frm_Help->show();
    }
    if (FCells) {
        QCoreApplication::processEvents();
        ScanVolume();
        RenderOverview();
        return;
    }
    Beep();
    FDriveRoot.clear();
    FMapBitmap = QImage(0, 0, QImage::Format_Indexed8);
    FMapBitmap.setColorTable(FPalette);
    FOverviewBitmap = QImage();
    FSurface->update();
    SetStatusText("*ERROR*");
}

// --- The scan ----------------------------------------------------------------

void TForm1::ScanVolume() {
    if (FDriveRoot.empty() || IsScanning()) {
        FScan.reset();
        return;
    }
    // A search pumping events reads the table that the scan replaces.
    if (frmFind != nullptr) {
        frmFind->ScanStarting();
    }
    FScan.reset();
    const auto job = std::make_shared<TScanJob>();
    FScanJob = job;
    UpdateCommands();

    auto scan = std::make_shared<TScanResult>();
    try {
        scan->volume = std::make_unique<ntfs::TNTFSVolume>(FApi, FDriveRoot);
    } catch (const std::exception& e) {
        ScanEnded(job, nullptr, QString::fromStdString(e.what()));
        return;
    }

    tm->start();
    if (frm_Progress != nullptr) {
        frm_Progress->setWindowTitle(QString::fromStdString(FDriveRoot));
        frm_Progress->ResetProgress();
        frm_Progress->ShowCentred();
    }
    StartScanThread(job, std::move(scan));
    // The scan is over for this window when its result or its failure
    // arrives, or when the window lets go of it; the events go on meanwhile.
    while (FScanJob == job) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

void TForm1::StartScanThread(const std::shared_ptr<TScanJob>& job,
                             std::shared_ptr<TScanResult> scan) {
    // The thread reads nothing of the window: the probe is its own copy, and
    // what it tells the window goes as queued calls that a job let go of
    // does not act on.
    QThread* worker =
        QThread::create([this, job, scan = std::move(scan), probe = FScanProbe]() mutable {
            const TScanJob::TRunning running(*job);
            ntfs::TNTFSVolume& volume = *scan->volume;
            ntfs::ScanObserver observer;
            observer.stageStarted = [&](std::string_view title) {
                job->ThrowIfStopped();
                job->FProgress.store(volume.FProgress, std::memory_order_relaxed);
                const QString text = FromUtf8(title);
                QMetaObject::invokeMethod(
                    this,
                    [this, job, text] {
                        if (job == FScanJob && frm_Progress != nullptr) {
                            frm_Progress->setWindowTitle(text);
                        }
                    },
                    Qt::QueuedConnection);
                if (probe) {
                    probe(title);
                }
            };
            observer.processEvents = [&] {
                job->ThrowIfStopped();
                job->FProgress.store(volume.FProgress, std::memory_order_relaxed);
            };
            observer.paint = [&] {
                struct TOutcome {
                    bool outOfMemory = false;
                    std::string failure;
                };
                // Shared, not on this stack: the call may outlive the wait.
                auto outcome = std::make_shared<TOutcome>();
                const bool painted = job->CallAndWait(this, [this, scan, outcome] {
                    try {
                        PaintScannedClusters(*scan);
                    } catch (const std::bad_alloc&) {
                        outcome->outOfMemory = true;
                    } catch (const std::exception& e) {
                        outcome->failure = e.what();
                    }
                });
                if (!painted) {
                    throw TScanStopped();
                }
                // Out of memory is told as the scan tells it, by drive.
                if (outcome->outOfMemory) {
                    throw std::bad_alloc();
                }
                if (!outcome->failure.empty()) {
                    throw std::runtime_error(outcome->failure);
                }
            };
            bool failed = false;
            QString failure;
            try {
                ntfs::RunScanStages(volume, scan->fileIds, scan->clusters, observer);
            } catch (const TScanStopped&) {
                return;
            } catch (const std::exception& e) {
                failed = true;
                failure = QString::fromStdString(e.what());
            } catch (...) {
                failed = true;
                failure = "The scan stopped on an unknown error.";
            }
            if (job->Stopped()) {
                return;
            }
            if (failed) {
                scan.reset();
            }
            // The result changes hands here: this thread keeps no part of it.
            QMetaObject::invokeMethod(
                this,
                [this, job, handed = std::move(scan), failure]() mutable {
                    ScanEnded(job, std::move(handed), failure);
                },
                Qt::QueuedConnection);
        });
    worker->setParent(this);
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void TForm1::ScanEnded(const std::shared_ptr<TScanJob>& job, std::shared_ptr<TScanResult> scan,
                       const QString& failure) {
    if (job != FScanJob) {
        return;
    }
    FScanJob.reset();
    // After an error too: a timer left running and a progress window left
    // open would tell of a scan that is no longer there.
    CloseScanProgress();
    if (!scan) {
        ShowNotice(kAppCaption, failure);
        return;
    }
    FScan = std::move(scan);
}

void TForm1::CancelScan() {
    if (!FScanJob) {
        return;
    }
    FScanJob->Stop();
    FScanJob.reset();
    CloseScanProgress();
}

void TForm1::CloseScanProgress() {
    tm->stop();
    if (frm_Progress != nullptr) {
        frm_Progress->hide();
    }
    UpdateCommands();
}

void TForm1::mnuScanClick() {
    if (IsScanning()) {
        return;
    }
    LoadVolumeMap();
    RenderMapBitmap();
    DrawMap();
    ScanVolume();
    RenderOverview();
}

void TForm1::tmTimer() {
    if (frm_Progress != nullptr && FScanJob) {
        // Halves go to the even neighbour, as the default rounding does.
        frm_Progress->progress->setValue(static_cast<int>(std::lrint(FScanJob->FProgress.load())));
    }
}

void TForm1::UpdateCommands() {
    const bool idle = !IsScanning();
    for (QAction* item : mnuDrive->actions()) {
        item->setEnabled(idle);
    }
    mnuScan->setEnabled(idle);
    Export1->setEnabled(idle);
    FragmentationList1->setEnabled(idle);
}

// --- The pictures ----------------------------------------------------------

void TForm1::PaintClusters() {
    if (FScan) {
        PaintFrom(*FScan);
    }
}

void TForm1::PaintFrom(const TScanResult& scan) {
    // "Scan!" after a re-read that failed has no cells to paint into.
    if (!FCells) {
        return;
    }
    TPaintInput input;
    input.mftZoneStart = scan.volume->FMftZoneStart;
    input.mftZoneEnd = scan.volume->FMftZoneEnd;
    input.fileIds = &scan.fileIds;
    input.clusters = &scan.clusters;
    input.markText = FMarkText.toStdU16String();
    if (FPaintYields) {
        input.yield = [this] { PumpEventsWhenDue(); };
    }
    PaintCells(*FCells, input);
    RenderMapBitmap();
    DrawMap();
}

void TForm1::PaintScannedClusters(const TScanResult& scan) {
    FPaintYields = true;
    FLastPumpNs = NowNs();
    try {
        PaintFrom(scan);
    } catch (...) {
        FPaintYields = false;
        throw;
    }
    FPaintYields = false;
}

void TForm1::PumpEventsWhenDue() {
    const std::int64_t now = NowNs();
    if (now - FLastPumpNs >= kPumpIntervalNs) {
        QCoreApplication::processEvents();
        FLastPumpNs = NowNs();
    }
}

void TForm1::RenderMapBitmap() {
    if (!FCells) {
        return;
    }
    // Rows only for the clusters that have cells: the picture is sized from
    // what the source holds, never from what the boot sector claims.
    const TMapGeometry g = ComputeMapGeometry(FViewRight, FViewBottom, FCells->TotalClusters());
    FCellsPerRow = g.cellsPerRow;
    if (FCellsPerRow == 0) {
        FRowCount = 0;
        return;
    }
    FRowCount = g.rowCount;
    QImage picture(FCellsPerRow, FRowCount, QImage::Format_Indexed8);
    if (!picture.isNull()) {
        picture.setColorTable(FPalette);
        for (std::int32_t y = 0; y < FRowCount; ++y) {
            FillMapRow(*FCells, static_cast<std::int64_t>(y) * FCellsPerRow, FCellsPerRow,
                       picture.scanLine(y));
        }
    }
    FMapBitmap = std::move(picture);
    scroller->setRange(0, g.scrollMax);
    scroller->setPageStep(g.pageStep);
    scroller->setValue(0);
}

void TForm1::RenderOverview() {
    if (!FCells) {
        return;
    }
    const int height = scroller->height();
    FOverviewBitmap = QImage(kOverviewWidth, height, QImage::Format_RGB32);
    if (FOverviewBitmap.isNull()) {
        FSurface->update();
        return;
    }
    const QRgb blank = FSurface->palette().color(FSurface->backgroundRole()).rgb();
    const std::vector<std::uint32_t> pixels =
        RenderOverviewPixels(*FCells, kOverviewWidth, height, blank);
    for (int y = 0; y < height; ++y) {
        std::memcpy(FOverviewBitmap.scanLine(y),
                    pixels.data() + static_cast<std::size_t>(y) * kOverviewWidth,
                    kOverviewWidth * sizeof(std::uint32_t));
    }
    FSurface->update();
}

void TForm1::DrawMap() {
    if (FCells) {
        FSurface->update(0, 0, std::max(FViewRight + 1, 0), FViewBottom + 1);
    }
}

std::int64_t TForm1::CellToLCN(std::int32_t X, std::int32_t Y) const {
    return ui::CellToLCN(X, Y, scroller->value(), FCellsPerRow, FTotalClusters);
}

// --- The view ----------------------------------------------------------------

void TForm1::FormResize() {
    // The scroll bar is anchored to the top, right and bottom edges.
    scroller->setGeometry(FSurface->width() - kScrollerFromRight, 0, kScrollerWidth,
                          scroller->height());
    FViewRight = scroller->x() - 2;
    // The surface ends where the status bar begins: its height is the
    // client height less the status bar's.
    FViewBottom = FSurface->height() - 1;
    scroller->resize(kScrollerWidth, std::max(FViewBottom, 0));
    RenderMapBitmap();
    RenderOverview();
    DrawMap();
}

void TForm1::FormPaint(QPainter& painter) {
    if (FDriveRoot.empty() || !FCells) {
        return;
    }
    if (!FMapBitmap.isNull()) {
        // Only the rows in view are drawn, so the cost of a paint does not
        // grow with the volume.
        const int top = scroller->value();
        const int rows = std::min(FViewBottom + 1, FMapBitmap.height() - top);
        if (rows > 0) {
            painter.drawImage(QPoint(0, 0), FMapBitmap, QRect(0, top, FMapBitmap.width(), rows));
        }
    }
    if (!FOverviewBitmap.isNull()) {
        painter.drawImage(QPoint(scroller->x() + scroller->width() + 1, 0), FOverviewBitmap);
    }
}

void TForm1::scrollerChange() {
    if (!FDriveRoot.empty()) {
        DrawMap();
    }
}

void TForm1::FormMouseMove(std::int32_t X, std::int32_t Y) {
    FMouseX = X;
    FMouseY = Y;
    if (X >= FCellsPerRow) {
        FMouseX = FCellsPerRow - 1;
    }
    UpdateHover();
}

void TForm1::FormMouseWheel(std::int32_t WheelDelta) {
    // The scroll bar keeps the position in its range and reports a change.
    scroller->setValue(scroller->value() - WheelDelta / kWheelNotch);
    UpdateHover();
}

QRgb TForm1::SurfacePixel(std::int32_t x, std::int32_t y) const {
    const QRgb background = FSurface->palette().color(FSurface->backgroundRole()).rgb();
    if (FDriveRoot.empty() || !FCells || x < 0 || y < 0) {
        return background;
    }
    if (x < FMapBitmap.width() && y <= FViewBottom) {
        const int row = y + scroller->value();
        if (row < FMapBitmap.height()) {
            return FPalette[FMapBitmap.constScanLine(row)[x]];
        }
        return background;
    }
    const int left = scroller->x() + scroller->width() + 1;
    if (x >= left && x - left < FOverviewBitmap.width() && y < FOverviewBitmap.height()) {
        return FOverviewBitmap.pixel(x - left, y);
    }
    return background;
}

void TForm1::UpdateHover() {
    FHoverLCN = CellToLCN(FMouseX, FMouseY);
    if (frm_Help == nullptr) {
        return;
    }
    frm_Help->lbl_LCN->setText(QString::number(FHoverLCN));

    std::array<std::uint32_t, 81> block{};
    for (int dy = 0; dy < kZoomCells; ++dy) {
        for (int dx = 0; dx < kZoomCells; ++dx) {
            block[static_cast<std::size_t>(dy * kZoomCells + dx)] =
                SurfacePixel(FMouseX - 4 + dx, FMouseY - 4 + dy);
        }
    }
    const std::vector<std::uint32_t> pixels = BuildZoomPixels(block, 0xFFFFFFFFU);
    QImage picture(kZoomSize, kZoomSize, QImage::Format_RGB32);
    for (int y = 0; y < kZoomSize; ++y) {
        std::memcpy(picture.scanLine(y), pixels.data() + static_cast<std::size_t>(y) * kZoomSize,
                    kZoomSize * sizeof(std::uint32_t));
    }
    frm_Help->SetZoomPicture(picture);

    QString name;
    if (FScan) {
        std::string text;
        FScan->volume->DescribeCluster(FScan->clusters, FScan->fileIds, text, true, FHoverLCN);
        name = QString::fromStdString(text);
    } else {
        name = "Volume not scanned!";
    }
    // Moving within one file gives the same text; laying it out again on
    // every move would cost more than everything else here.
    if (frm_Help->lbl_Name->toPlainText() != name) {
        frm_Help->lbl_Name->setPlainText(name);
    }
}

bool TForm1::FormKeyDown(int Key) {
    switch (Key) {
    case Qt::Key_F1:
        ShowClusterDetails();
        return true;
    case Qt::Key_F2:
        ShowHexDump();
        return true;
    case Qt::Key_F3: {
        if (!FScan) {
            return true;
        }
        const std::int64_t owner = ntfs::TNTFSVolume::FindClusterOwner(FScan->clusters, FHoverLCN);
        if (owner < 0 || owner >= FScan->fileIds.FCount) {
            return true;
        }
        ShowBaseInfo(FScan->fileIds.FItems[static_cast<std::size_t>(owner)].BaseID);
        return true;
    }
    default:
        return false;
    }
}

void TForm1::Zoom1Click() {
    if (frm_Help == nullptr) {
        return;
    }
    if (Zoom1->isChecked()) {
        frm_Help->show();
    } else {
        frm_Help->hide();
    }
}

void TForm1::mnuMarkClick() {
    bool ok = false;
    const QString answer =
        QInputDialog::getText(this, "Mark file", "Enter file name or part of path to mark",
                              QLineEdit::Normal, FMarkText, &ok);
    const QString text = ok ? answer : FMarkText;
    if (text == FMarkText) {
        return;
    }
    FMarkText = text;
    // During a scan the text waits for the painting stage.
    if (!FScan || IsScanning()) {
        return;
    }
    RepaintScannedCells();
    RenderMapBitmap();
    RenderOverview();
    DrawMap();
}

void TForm1::RepaintScannedCells() {
    if (!FScan) {
        return;
    }
    ntfs::TNTFSVolume::SortClustersByFileIndex(FScan->clusters);
    PaintClusters();
    ntfs::TNTFSVolume::SortClustersByLCN(FScan->clusters);
}

void TForm1::Quit1Click() {
    // The program ends when the scan's loop gives way to the main one: at
    // once, not when the scan would have ended.
    CancelScan();
    QCoreApplication::quit();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // The main window: closing it ends the program, whatever else is open,
    // and a scan that runs with it.
    CancelScan();
    event->accept();
    QCoreApplication::quit();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget != nullptr && widget->window() == this) {
            return FormKeyDown(static_cast<QKeyEvent*>(event)->key());
        }
        return false;
    }
    if (watched == scroller && event->type() == QEvent::Wheel) {
        // One notch is one row over the scroll bar too, as over the map.
        FormMouseWheel(static_cast<QWheelEvent*>(event)->angleDelta().y());
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

// --- Notices -----------------------------------------------------------------

QString TForm1::StatusText() const {
    return FStatusLabel->text();
}

void TForm1::SetStatusText(const QString& text) {
    FStatusLabel->setText(text);
}

void TForm1::OnWindowThread(const std::function<void()>& work) {
    if (QThread::currentThread() == thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(
        this, [&work] { work(); }, Qt::BlockingQueuedConnection);
}

void TForm1::ShowNotice(const QString& caption, const QString& text) {
    if (FNotices.message) {
        FNotices.message(caption, text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, this);
    box.exec();
}

void TForm1::Beep() {
    if (FNotices.beep) {
        FNotices.beep();
        return;
    }
    QApplication::beep();
}

} // namespace lorvex::ui

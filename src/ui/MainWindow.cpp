#include "ui/MainWindow.h"

#include "mappicture/MapPicture.h"
#include "ntfs/FileTable.h"
#include "ntfs/NTFSVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "ui/CellMap.h"
#include "ui/FindWindow.h"
#include "ui/FragmentationWindow.h"
#include "ui/HelpWindow.h"
#include "ui/InfoWindow.h"
#include "ui/PictureFile.h"
#include "ui/ProblemListWindow.h"
#include "ui/ProgressWindow.h"
#include "ui/ShownText.h"
#include "ui/ZoomPicture.h"
#include "volume/VolumeMap.h"
#include "volume/VolumeUtils.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QMoveEvent>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QWheelEvent>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
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
// A notch of the wheel moves this part of the rows in view, at least one.
constexpr std::int64_t kWheelShare = 10;
// The scroll bar's range when the view has more rows than it can count.
constexpr std::int64_t kScrollerSteps = std::int64_t{1} << 30;
// How many clusters of a summary pixel are searched for one of the kind it
// shows, for the reports to act on.
constexpr std::int64_t kPickSearch = std::int64_t{1} << 16;
constexpr QRgb kGridColour = 0xFF505050U;
// Magenta: no state has it, in either palette.
constexpr QRgb kHighlightColour = 0xFFFF00FFU;
const char* const kAppCaption = "Lorvex";

QString ShortLegendName(std::uint8_t state, const QString& full) {
    switch (state) {
    case csUsed:
        return "used/file";
    case csFragmented:
        return "fragmented";
    case csSystem:
        return "system";
    case csPagefile:
        return "paging";
    case csMarked:
        return "marked";
    case csBeyondEnd:
        return "past the end";
    default:
        return full;
    }
}

QString SpanText(map::TClusterSpan span) {
    if (span.count <= 1) {
        return QString("Cluster %1").arg(span.first);
    }
    return QString("Clusters %1-%2").arg(span.first).arg(span.first + span.count - 1);
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
        if ((event->buttons() & Qt::LeftButton) != 0 && p.x() >= FForm.OverviewLeft()) {
            FForm.FormMouseDown(p.x(), p.y());
        }
        FForm.FormMouseMove(p.x(), p.y());
    }
    void contextMenuEvent(QContextMenuEvent* event) override { FForm.ShowMapMenu(event->pos()); }
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) {
            const QPoint p = event->position().toPoint();
            FForm.FormMouseDown(p.x(), p.y());
        }
    }
    void wheelEvent(QWheelEvent* event) override {
        if ((event->modifiers() & Qt::ControlModifier) != 0) {
            const int turn = event->angleDelta().y();
            if (turn != 0) {
                FForm.ZoomStep(turn > 0 ? 1 : -1,
                               static_cast<std::int32_t>(event->position().toPoint().y()));
            }
        } else {
            FForm.FormMouseWheel(event->angleDelta().y());
        }
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
    FOverviewBitmap = QImage();

    BuildMenus();
    setAcceptDrops(true);
    BuildStatusBar();
    BuildLegend();
    BuildMapArea();

    tm = new QTimer(this);
    tm->setObjectName("tm");
    tm->setInterval(1000);
    connect(tm, &QTimer::timeout, this, [this] { tmTimer(); });

    // The window sees every key before the focused control does.
    qApp->installEventFilter(this);
    InstallMessageHandler();

    // The legend below the map adds its height: the map keeps its size.
    resize(kClientWidth,
           menuBar()->sizeHint().height() + FLegend->sizeHint().height() + kClientHeight);
    move(293, 154);

    BuildDriveMenu();
    UpdateCommands();
}

void TForm1::BuildMenus() {
    BuildFileMenu();
    // The captions are the window's own; the ampersands only underline the
    // letters that open them with Alt.
    mnuDrive = menuBar()->addMenu("&Drive");
    mnuDrive->setObjectName("mnuDrive");
    mnuScan = menuBar()->addAction("&Scan!");
    mnuScan->setShortcut(QKeySequence(Qt::Key_F5));
    mnuScan->setObjectName("mnuScan");
    connect(mnuScan, &QAction::triggered, this, [this] { mnuScanClick(); });
    BuildToolsMenu();
    BuildOverlayActions();
    BuildViewMenu();
    Quit1 = menuBar()->addAction("&Quit!");
    Quit1->setObjectName("Quit1");
    connect(Quit1, &QAction::triggered, this, [this] { Quit1Click(); });
}

void TForm1::BuildFileMenu() {
    mnuFile = menuBar()->addMenu("&File");
    mnuFile->setObjectName("mnuFile");
    mnuOpen = mnuFile->addAction("&Open Image...");
    mnuOpen->setObjectName("mnuOpen");
    mnuOpen->setShortcut(QKeySequence::Open);
    connect(mnuOpen, &QAction::triggered, this, [this] { mnuOpenClick(); });
    // Evidence can carry a container's signature it is not; the user can
    // always have the bytes read as they are.
    mnuOpenRaw = mnuFile->addAction("Open as Ra&w Image...");
    mnuOpenRaw->setObjectName("mnuOpenRaw");
    connect(mnuOpenRaw, &QAction::triggered, this, [this] { mnuOpenClick(true); });
    mnuRecent = mnuFile->addMenu("Open &Recent");
    mnuRecent->setObjectName("mnuRecent");
    connect(mnuRecent, &QMenu::aboutToShow, this, [this] { FillRecentMenu(); });
    mnuSavePicture = mnuFile->addAction("Save Map &Picture...");
    mnuSavePicture->setObjectName("mnuSavePicture");
    mnuSavePicture->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    connect(mnuSavePicture, &QAction::triggered, this, [this] { mnuSaveMapPictureClick(); });
    mnuLoadDamageMap = mnuFile->addAction("Load &Damage Map...");
    mnuLoadDamageMap->setObjectName("mnuLoadDamageMap");
    connect(mnuLoadDamageMap, &QAction::triggered, this, [this] { mnuLoadDamageMapClick(); });
    mnuFile->addSeparator();
    mnuQuitFile = mnuFile->addAction("&Quit");
    mnuQuitFile->setObjectName("mnuQuitFile");
    mnuQuitFile->setShortcut(QKeySequence::Quit);
    connect(mnuQuitFile, &QAction::triggered, this, [this] { Quit1Click(); });
}

void TForm1::BuildToolsMenu() {
    mnuTools = menuBar()->addMenu("&Tools");
    mnuTools->setObjectName("mnuTools");
    Export1 = mnuTools->addAction("&Export...");
    Export1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    Export1->setObjectName("Export1");
    connect(Export1, &QAction::triggered, this, [this] { Export1Click(); });
    Zoom1 = mnuTools->addAction("&Zoom");
    Zoom1->setObjectName("Zoom1");
    Zoom1->setCheckable(true);
    connect(Zoom1, &QAction::triggered, this, [this] { Zoom1Click(); });
    mnuFind = mnuTools->addAction("&Find...");
    mnuFind->setShortcut(QKeySequence::Find);
    mnuFind->setObjectName("mnuFind");
    connect(mnuFind, &QAction::triggered, this, [this] { mnuFindClick(); });
    mnuMark = mnuTools->addAction("&Mark...");
    mnuMark->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    mnuMark->setObjectName("mnuMark");
    connect(mnuMark, &QAction::triggered, this, [this] { mnuMarkClick(); });
    mnuClearMark = mnuTools->addAction("Clear Mar&k");
    mnuClearMark->setObjectName("mnuClearMark");
    connect(mnuClearMark, &QAction::triggered, this, [this] { ClearMark(); });
    mnuNextMarked = mnuTools->addAction("&Next Marked File");
    mnuNextMarked->setObjectName("mnuNextMarked");
    mnuNextMarked->setShortcut(QKeySequence(Qt::Key_F7));
    connect(mnuNextMarked, &QAction::triggered, this, [this] { NextMarkedFile(); });
    FragmentationList1 = mnuTools->addAction("Fragmentation &List");
    FragmentationList1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    FragmentationList1->setObjectName("FragmentationList1");
    connect(FragmentationList1, &QAction::triggered, this, [this] { FragmentationList1Click(); });
    mnuVolumeCheck = mnuTools->addAction("&Volume Check");
    mnuVolumeCheck->setObjectName("mnuVolumeCheck");
    connect(mnuVolumeCheck, &QAction::triggered, this, [this] { VolumeCheckClick(); });
}

void TForm1::BuildOverlayActions() {
    mnuHealthOverlay = new QAction("&Health Overlay", this);
    mnuHealthOverlay->setObjectName("mnuHealthOverlay");
    mnuHealthOverlay->setCheckable(true);
    mnuHealthOverlay->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    connect(mnuHealthOverlay, &QAction::toggled, this, [this](bool on) { SetHealthOverlay(on); });
    mnuDamageOverlay = new QAction("&Damage Overlay", this);
    mnuDamageOverlay->setObjectName("mnuDamageOverlay");
    mnuDamageOverlay->setCheckable(true);
    mnuDamageOverlay->setChecked(true);
    connect(mnuDamageOverlay, &QAction::toggled, this, [this](bool on) { SetDamageOverlay(on); });
    frm_Health = new Tfrm_ProblemList(this, "frm_Health", "Volume Check", "Records");
    frm_Health->OnShowOnMap = [this](std::int64_t first, std::int64_t count) {
        ShowClusterRange(first, count);
    };
    frm_Damage = new Tfrm_ProblemList(this, "frm_Damage", "Damage Map", "What lies there");
    frm_Damage->OnShowOnMap = [this](std::int64_t first, std::int64_t count) {
        ShowClusterRange(first, count);
    };
}

void TForm1::BuildViewMenu() {
    mnuView = menuBar()->addMenu("&View");
    mnuView->setObjectName("mnuView");
    mnuZoomIn = new QAction("Zoom &In", this);
    mnuZoomIn->setObjectName("mnuZoomIn");
    mnuZoomIn->setShortcuts(
        {QKeySequence::ZoomIn, QKeySequence(Qt::Key_Plus), QKeySequence(Qt::Key_Equal)});
    connect(mnuZoomIn, &QAction::triggered, this, [this] { ZoomStep(1, FMouseY); });
    mnuZoomOut = new QAction("Zoom &Out", this);
    mnuZoomOut->setObjectName("mnuZoomOut");
    mnuZoomOut->setShortcut(QKeySequence::ZoomOut);
    connect(mnuZoomOut, &QAction::triggered, this, [this] { ZoomStep(-1, FMouseY); });
    mnuActualSize = new QAction("One &Cluster per Pixel", this);
    mnuActualSize->setObjectName("mnuActualSize");
    mnuActualSize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_1));
    connect(mnuActualSize, &QAction::triggered, this, [this] { SetZoom({}); });
    mnuFit = new QAction("&Fit volume", this);
    mnuFit->setObjectName("mnuFit");
    mnuFit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    connect(mnuFit, &QAction::triggered, this, [this] { ZoomToFit(); });
    mnuGoTo = new QAction("&Go to Cluster...", this);
    mnuGoTo->setObjectName("mnuGoTo");
    mnuGoTo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
    connect(mnuGoTo, &QAction::triggered, this, [this] { mnuGoToClick(); });
    mnuNextExtent = new QAction("&Next Extent", this);
    mnuNextExtent->setObjectName("mnuNextExtent");
    mnuNextExtent->setShortcut(QKeySequence(Qt::Key_F6));
    connect(mnuNextExtent, &QAction::triggered, this, [this] { StepExtent(1); });
    mnuPreviousExtent = new QAction("&Previous Extent", this);
    mnuPreviousExtent->setObjectName("mnuPreviousExtent");
    mnuPreviousExtent->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F6));
    connect(mnuPreviousExtent, &QAction::triggered, this, [this] { StepExtent(-1); });
    mnuClearHighlight = new QAction("C&lear Highlight", this);
    mnuClearHighlight->setObjectName("mnuClearHighlight");
    connect(mnuClearHighlight, &QAction::triggered, this, [this] { ClearHighlight(); });
    mnuLightOwner = new QAction("Light the &Owner's Fragments", this);
    mnuLightOwner->setObjectName("mnuLightOwner");
    mnuLightOwner->setCheckable(true);
    connect(mnuLightOwner, &QAction::toggled, this, [this] {
        FLitOwner = -1;
        FView.SetHighlight(FShownExtents);
        DrawMap();
    });
    // View > Palette: today's colours, or colours that stay apart for the
    // common kinds of colour blindness.
    mnuPalette = new QMenu("&Palette", this);
    mnuPalette->setObjectName("mnuPalette");
    auto* palettes = new QActionGroup(this);
    QAction* standard = mnuPalette->addAction("&Standard");
    standard->setCheckable(true);
    standard->setChecked(true);
    palettes->addAction(standard);
    connect(standard, &QAction::triggered, this, [this] { SetSafePalette(false); });
    mnuSafePalette = mnuPalette->addAction("&Colour-blind safe");
    mnuSafePalette->setObjectName("mnuSafePalette");
    mnuSafePalette->setCheckable(true);
    palettes->addAction(mnuSafePalette);
    connect(mnuSafePalette, &QAction::triggered, this, [this] { SetSafePalette(true); });
    // The shortcuts work with the menu closed, from any part of the window.
    addActions({mnuZoomIn, mnuZoomOut, mnuActualSize, mnuFit, mnuGoTo, mnuNextExtent,
                mnuPreviousExtent, mnuHealthOverlay});
    FZoomLevels = new QActionGroup(this);
    connect(mnuView, &QMenu::aboutToShow, this, [this] { FillViewMenu(); });
    FillViewMenu();
}

void TForm1::BuildStatusBar() {
    sb = statusBar();
    sb->setObjectName("sb");
    sb->setFixedHeight(kStatusBarHeight);
    FStatusLabel = new QLabel(sb);
    sb->addWidget(FStatusLabel, 1);
    FHoverLabel = new QLabel(sb);
    FHoverLabel->setObjectName("HoverLabel");
    // A long path is cut at the window's edge rather than widening it.
    FHoverLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    sb->addPermanentWidget(FHoverLabel, 1);
    FMarkLabel = new QLabel(sb);
    FMarkLabel->setObjectName("MarkLabel");
    sb->addPermanentWidget(FMarkLabel);
    FHealthLabel = new QLabel(sb);
    FHealthLabel->setObjectName("HealthLabel");
    sb->addPermanentWidget(FHealthLabel);
}

void TForm1::BuildMapArea() {
    // The map surface, and at its left the place the zoom window takes
    // when there is no room for it beside this window.
    auto* centre = new QWidget(this);
    auto* layout = new QHBoxLayout(centre);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    FZoomDock = new QWidget(centre);
    FZoomDock->setObjectName("ZoomDock");
    FZoomDock->hide();
    layout->addWidget(FZoomDock);
    FSurface = new TMapSurface(*this);
    layout->addWidget(FSurface, 1);
    setCentralWidget(centre);
    scroller = new QScrollBar(Qt::Vertical, FSurface);
    scroller->setObjectName("scroller");
    scroller->setSingleStep(1);
    scroller->setRange(0, 0);
    scroller->installEventFilter(this);
    connect(scroller, &QScrollBar::valueChanged, this, [this] { scrollerChange(); });
}

void TForm1::InstallMessageHandler() {
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
    const auto showOnMap = [this](std::int64_t fileIndex) { ShowOnMap(fileIndex); };
    if (frmFind != nullptr) {
        frmFind->OnShowOnMap = showOnMap;
    }
    if (frm_Fragmentation != nullptr) {
        frm_Fragmentation->OnShowOnMap = showOnMap;
    }
    if (frm_Info != nullptr) {
        frm_Info->OnShowOnMap = showOnMap;
    }
}

void TForm1::SetUserNotices(TUserNotices notices) {
    FNotices = std::move(notices);
}

void TForm1::SetSourceHooks(TSourceHooks hooks) {
    FSourceHooks = std::move(hooks);
    // The menu names BitLocker drives once the hooks can tell them.
    BuildDriveMenu();
    UpdateCommands();
}

void TForm1::SetScanProbe(std::function<void(std::string_view)> probe) {
    FScanProbe = std::move(probe);
}

// --- Sources ---------------------------------------------------------------

bool TForm1::OpenSources(const QStringList& paths, bool raw) {
    if (!FSourceHooks.open || IsScanning() || paths.isEmpty()) {
        return false;
    }
    const qsizetype before = mnuDrive->actions().size();
    QStringList problems;
    for (const QString& path : paths) {
        QString problem = FSourceHooks.open(path, raw, false);
        // The files a VMDK names outside its folder are chosen by whoever
        // made the evidence: they are read only when the user says so.
        const QStringList outside = problem.isEmpty() || !FSourceHooks.outsideFiles
                                        ? QStringList()
                                        : FSourceHooks.outsideFiles(path);
        if (!outside.isEmpty() &&
            Ask(kAppCaption,
                QString("%1 is a VMDK that would read these files, which lie outside its "
                        "folder or are not its own:\n\n%2\n\nWhoever made the image chose these "
                        "names; they may be this machine's own disks or files. Read them as part "
                        "of the image?")
                    .arg(path, outside.join("\n")))) {
            problem = FSourceHooks.open(path, raw, true);
        }
        if (problem.contains("ermission denied")) {
            problem += " (reading a disk needs root, or membership of the disk group)";
        }
        if (problem.isEmpty()) {
            RememberSource(QFileInfo(path).absoluteFilePath(), raw);
        } else {
            problems << QString("%1: %2").arg(path, problem);
        }
    }
    BuildDriveMenu();
    if (!problems.isEmpty()) {
        ShowNotice(kAppCaption, "Cannot open " + problems.join("\n"));
    }
    const QList<QAction*> drives = mnuDrive->actions();
    if (drives.size() <= before) {
        return false;
    }
    drives[before]->trigger();
    return true;
}

void TForm1::mnuOpenClick(bool raw) {
    if (!FSourceHooks.open || IsScanning()) {
        return;
    }
    // The volume layer knows a container by its content, not its name; the
    // names here only narrow the list. "All files" stays for the rest.
    const QStringList paths = QFileDialog::getOpenFileNames(
        this, raw ? "Open as Raw Image" : "Open Image", QString(),
        "Disk and volume images (*.img *.raw *.dd *.bin *.iso *.ntfs *.E01 *.e01 *.vhd *.VHD "
        "*.vhdx *.VHDX *.vmdk *.VMDK *.qcow2 *.qcow);;"
        "EnCase, VHD, VHDX, VMDK and qcow2 images (*.E01 *.e01 *.vhd *.VHD *.vhdx *.VHDX *.vmdk "
        "*.VMDK *.qcow2 *.qcow);;"
        "Raw images (*.img *.raw *.dd *.bin *.iso *.ntfs);;All files (*)");
    OpenSources(paths, raw);
}

void TForm1::FillRecentMenu() {
    mnuRecent->clear();
    const QStringList recent = QSettings().value("recentSources").toStringList();
    const QStringList raw = QSettings().value("recentRawSources").toStringList();
    for (const QString& path : recent) {
        const bool asRaw = raw.contains(path);
        QAction* item = mnuRecent->addAction(ShownText(asRaw ? path + " (raw)" : path));
        connect(item, &QAction::triggered, this,
                [this, path, asRaw] { OpenSources({path}, asRaw); });
    }
    if (recent.isEmpty()) {
        mnuRecent->addAction("(none)")->setEnabled(false);
    }
}

void TForm1::RememberSource(const QString& path, bool raw) {
    QSettings settings;
    QStringList recent = settings.value("recentSources").toStringList();
    recent.removeAll(path);
    recent.prepend(path);
    while (recent.size() > 10) {
        recent.removeLast();
    }
    settings.setValue("recentSources", recent);
    // Opened again as it was opened last.
    QStringList rawOnes = settings.value("recentRawSources").toStringList();
    rawOnes.removeAll(path);
    if (raw) {
        rawOnes.append(path);
    }
    rawOnes.erase(std::remove_if(rawOnes.begin(), rawOnes.end(),
                                 [&recent](const QString& p) { return !recent.contains(p); }),
                  rawOnes.end());
    settings.setValue("recentRawSources", rawOnes);
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && FSourceHooks.open && !IsScanning()) {
        event->acceptProposedAction();
    }
}

void TForm1::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            paths << url.toLocalFile();
        }
    }
    event->acceptProposedAction();
    // After the drop has ended: the scan pumps events of its own.
    QTimer::singleShot(0, this, [this, paths] { OpenSources(paths); });
}

void TForm1::ShowStartupProblems(const QStringList& problems, bool noSources) {
    QString text;
    if (!problems.isEmpty()) {
        QStringList said = problems;
        for (QString& problem : said) {
            if (problem.contains("ermission denied")) {
                problem += " (reading a disk needs root, or membership of the disk group)";
            }
        }
        text = "Cannot open " + said.join("\n");
    }
    if (mnuDrive->actions().isEmpty()) {
        if (!text.isEmpty()) {
            text += "\n\n";
        }
        text += noSources ? QString("No NTFS volume was found on this machine. Reading its disks "
                                    "needs root, or membership of the disk group; an image file "
                                    "opens with File > Open Image.")
                          : QString("No drive to show. Open an image with File > Open Image.");
    }
    if (!text.isEmpty()) {
        ShowNotice(kAppCaption, text);
    }
}

void TForm1::ChooseFirstDrive() {
    const QList<QAction*> drives = mnuDrive->actions();
    if (!drives.isEmpty() && !IsScanning()) {
        drives.front()->trigger();
    }
}

void TForm1::UpdateTitle() {
    if (FDriveRoot.empty()) {
        setWindowTitle(kAppCaption);
        return;
    }
    QString drive = QString::fromStdString(FDriveRoot);
    const QString source = FSourceHooks.describe ? FSourceHooks.describe(FDriveRoot) : QString();
    if (!source.isEmpty()) {
        drive += " " + ShownText(source);
    }
    setWindowTitle(drive + QString::fromUtf8(" \u2014 ") + kAppCaption);
}

QString TForm1::DriveProblem() const {
    const std::optional<platform::VolumeInformation> info = FApi.GetVolumeInformation(FDriveRoot);
    if (!info) {
        // A volume that names no file system we know is read well enough.
        return FApi.GetLastError() == platform::error::kUnrecognizedVolume
                   ? "no file system recognised"
                   : "it cannot be read";
    }
    if (info->fileSystemName.empty()) {
        return "no file system recognised";
    }
    if (info->fileSystemName == "BitLocker") {
        const TBitLockerFacts facts =
            FSourceHooks.bitlocker ? FSourceHooks.bitlocker(FDriveRoot) : TBitLockerFacts{};
        if (!facts.why.isEmpty()) {
            return "it is encrypted with BitLocker, and " + facts.why;
        }
        return "it is encrypted with BitLocker" +
               (facts.protectors.isEmpty() ? QString()
                                           : " (protected by: " + facts.protectors + ")") +
               ", and no key was given that opens it";
    }
    if (info->fileSystemName != "NTFS") {
        return QString::fromStdString(info->fileSystemName) + ", not NTFS";
    }
    return "NTFS, but damaged beyond reading";
}

// --- The drive menu and the map of the chosen drive -----------------------

QString TForm1::BitLockerNote(const std::string& root) const {
    if (!FSourceHooks.bitlocker) {
        return {};
    }
    const TBitLockerFacts facts = FSourceHooks.bitlocker(root);
    if (!facts.bitLocker) {
        return {};
    }
    return facts.locked ? "  [BitLocker, locked]" : "  [BitLocker]";
}

void TForm1::UnlockChosenDrive() {
    if (!FSourceHooks.bitlocker || !FSourceHooks.unlock) {
        return;
    }
    const TBitLockerFacts facts = FSourceHooks.bitlocker(FDriveRoot);
    if (!facts.bitLocker || !facts.locked || !facts.why.isEmpty()) {
        return;
    }
    const QString drive = QString::fromStdString(FDriveRoot);
    const std::string root = FDriveRoot;
    const TBitLockerDialog::TryKey tryKey = [this, root](const platform::BitLockerKey& key) {
        return FSourceHooks.unlock(root, key);
    };
    const bool opened = FNotices.askKey ? FNotices.askKey(drive, facts, tryKey)
                                        : AskBitLockerKey(this, drive, facts, tryKey);
    if (opened) {
        // The menu says it is unlocked; rebuilt once the click that chose it
        // is over, since its item is the one being clicked.
        QTimer::singleShot(0, this, [this] { BuildDriveMenu(); });
    }
}

void TForm1::BuildDriveMenu() {
    // Built again when a source is opened: the drives are all listed anew.
    mnuDrive->clear();
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
        QString caption =
            QString(QChar(letter)) + ": " + ShownText(volume::GetVolumeLabel(FApi, root));
        // A label is shown as it is, not read as a menu accelerator.
        caption.replace("&", "&&");
        caption += BitLockerNote(root);
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
                          ShownText(volume::GetVolumeLabel(FApi, root));
        caption.replace("&", "&&");
        caption += BitLockerNote(root);
        QAction* item = mnuDrive->addAction(caption);
        item->setObjectName("DRIVE_" + QString::fromStdString(root));
        item->setData(QString::fromStdString(root));
        connect(item, &QAction::triggered, this, [this, item] { mnusubDriveClick(item); });
    }
}

void TForm1::LoadVolumeMap() {
    FModel.reset();
    FMapLetGo = false;
    FTotalClusters = volume::QueryClusterCount(FApi, FDriveRoot, FBytesPerCluster);
    if (FTotalClusters == 0) {
        return;
    }
    ReadVolumeBitmap();
    if (FModel) {
        SetStatusText(QString::fromStdString(
            ntfs::VolumeSummaryText(FTotalClusters, FBytesPerCluster, FDriveRoot)));
    }
}

void TForm1::ReadVolumeBitmap() {
    if (FTotalClusters == 0) {
        return;
    }
    // A new map means a new scan; the old one's tables are let go of before
    // the reading thread shares the volume layer with nobody.
    FScan.reset();
    FShownExtents.clear();
    FMarked.clear();
    FMarkedCount = 0;
    FMarkLabel->clear();
    FLitOwner = -1;
    FView.SetHighlight({});
    UpdateHealth();
    // A damage map belongs to its drive's source: a scan again keeps it, a
    // drive chosen in its place does not.
    if (FDamageRoot != FDriveRoot) {
        FDamageMap = {};
        FDamageName.clear();
    }
    UpdateDamage();
    // The bitmap of a volume of terabytes is hundreds of megabytes: it is
    // read on a thread of its own while the window goes on handling events,
    // with the commands that would start a scan held off as during one.
    const auto job = std::make_shared<TScanJob>();
    FScanJob = job;
    UpdateCommands();
    struct TLoad {
        std::unique_ptr<map::TMapModel> model;
        bool outOfMemory = false;
    };
    auto load = std::make_shared<TLoad>();
    QThread* worker = QThread::create([api = &FApi, root = FDriveRoot, total = FTotalClusters,
                                       bytesPerCluster = FBytesPerCluster, load] {
        try {
            // Sized from what the source holds, never from what the boot
            // sector claims; a bitmap that cannot be read leaves every
            // cluster free.
            map::TMapInput input;
            input.totalClusters = volume::QueryClustersOnSource(*api, root, total, bytesPerCluster);
            input.fillBitmap = [api, &root](std::span<std::uint8_t> bits) {
                volume::ReadVolumeBitmap(*api, root, bits);
            };
            load->model = std::make_unique<map::TMapModel>(input);
        } catch (const std::exception&) {
            load->outOfMemory = true;
        }
    });
    worker->setParent(this);
    bool finished = false;
    connect(worker, &QThread::finished, this, [&finished] { finished = true; });
    worker->start();
    while (!finished) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    worker->wait();
    delete worker;
    const bool current = FScanJob == job;
    if (current) {
        FScanJob.reset();
    }
    UpdateCommands();
    // A window that let go meanwhile (it is closing) takes nothing.
    FMapLetGo = !current;
    if (!current) {
        return;
    }
    if (load->outOfMemory) {
        ShowNotice(kAppCaption, QString("Error allocating %1 bytes.").arg(FTotalClusters));
        return;
    }
    FModel = std::move(load->model);
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
    UpdateTitle();
    UnlockChosenDrive();
    LoadVolumeMap();
    if (FMapLetGo) {
        return;
    }
    RenderMapBitmap();
    RenderOverview();

    FScan.reset();
    UpdateCommands();
    Zoom1->setChecked(true);
    if (frm_Help != nullptr) {
        frm_Help->show();
        // Beside this window, or in its dock when there is no room.
        PlaceZoomWindow();
    }
    if (FModel) {
        QCoreApplication::processEvents();
        ScanVolume();
        RenderOverview();
        return;
    }
    Beep();
    QString problem = QString("Drive %1 cannot be shown: %2.")
                          .arg(QString::fromStdString(FDriveRoot), DriveProblem());
    // What a container's signature hides, the user can still have read.
    const QString other =
        FSourceHooks.otherReading ? FSourceHooks.otherReading(FDriveRoot) : QString();
    if (!other.isEmpty()) {
        problem += "\n\n" + other + ": File > Open as Raw Image reads it so.";
    }
    FDriveRoot.clear();
    UpdateTitle();
    FView.SetTotalClusters(0);
    FScreen = QImage();
    FCellsPerRow = 0;
    FOverviewBitmap = QImage();
    FSurface->update();
    SetStatusText("*ERROR*");
    ShowNotice(kAppCaption, problem);
}

// --- The scan ----------------------------------------------------------------

void TForm1::ScanVolume() {
    if (FDriveRoot.empty() || IsScanning()) {
        if (!IsScanning()) {
            FScan.reset();
            UpdateCommands();
        }
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
    scan->markText = FMarkText.toStdU16String();
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
    StartScanThread(job, std::move(scan),
                    FModel ? FModel->SharedBits() : std::shared_ptr<const map::TMapModel::TBits>());
    // The scan is over for this window when its result or its failure
    // arrives, or when the window lets go of it; the events go on meanwhile.
    while (FScanJob == job) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

ntfs::ScanObserver
TForm1::ScanThreadObserver(const std::shared_ptr<TScanJob>& job, TScanResult& scan,
                           const std::shared_ptr<const map::TMapModel::TBits>& bits,
                           const std::function<void(std::string_view)>& probe) {
    ntfs::TNTFSVolume& volume = *scan.volume;
    ntfs::ScanObserver observer;
    observer.stageStarted = [this, job, &volume, &probe](std::string_view title) {
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
    observer.processEvents = [job, &volume] {
        job->ThrowIfStopped();
        job->FProgress.store(volume.FProgress, std::memory_order_relaxed);
    };
    observer.paint = [job, &volume, &scan, &bits] {
        // The model is painted here, from the bitmap the window read
        // and shares, while the window goes on drawing its own.
        if (!bits) {
            return;
        }
        map::TMapInput input;
        input.mftZoneStart = volume.FMftZoneStart;
        input.mftZoneEnd = volume.FMftZoneEnd;
        input.fileIds = &scan.fileIds;
        input.clusters = &scan.clusters;
        input.reserved = volume.FReserved;
        input.markText = scan.markText;
        input.contains = ContainsCaseless;
        scan.model = std::make_unique<map::TMapModel>(bits, input);
        job->ThrowIfStopped();
    };
    return observer;
}

void TForm1::StartScanThread(const std::shared_ptr<TScanJob>& job,
                             std::shared_ptr<TScanResult> scan,
                             std::shared_ptr<const map::TMapModel::TBits> bits) {
    // The thread reads nothing of the window: the probe is its own copy, and
    // what it tells the window goes as queued calls that a job let go of
    // does not act on.
    QThread* worker = QThread::create(
        [this, job, scan = std::move(scan), bits = std::move(bits), probe = FScanProbe]() mutable {
            const TScanJob::TRunning running(*job);
            ntfs::TNTFSVolume& volume = *scan->volume;
            const ntfs::ScanObserver observer = ScanThreadObserver(job, *scan, bits, probe);
            bool failed = false;
            QString failure;
            try {
                ntfs::RunScanStages(volume, scan->fileIds, scan->clusters, observer);
                job->ThrowIfStopped();
                // The check walks the map against the bitmap the model holds;
                // without a model there is no bitmap to hold it against.
                ntfs::TBitmapWords words;
                if (bits) {
                    words = {bits->Words, bits->TotalClusters};
                }
                scan->health =
                    ntfs::CheckVolumeHealth(volume, FApi, scan->fileIds, scan->clusters, words);
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
    UpdateCommands();
    UpdateHealth();
    UpdateDamage();
    // The model of a drive whose map is still the one scanned replaces it;
    // a mark changed during the scan is painted now.
    if (FScan->model && FModel && FScan->model->SharedBits() == FModel->SharedBits()) {
        FModel = std::move(FScan->model);
        if (FMarkText.toStdU16String() != FScan->markText) {
            RepaintScannedCells();
        }
        RenderMapBitmap();
    }
    FScan->model.reset();
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
    if (FMapLetGo) {
        return;
    }
    RenderMapBitmap();
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
    mnuOpen->setEnabled(idle && static_cast<bool>(FSourceHooks.open));
    mnuOpenRaw->setEnabled(mnuOpen->isEnabled());
    mnuRecent->setEnabled(idle && static_cast<bool>(FSourceHooks.open));
    // The commands that read a scan's tables wait for one to have ended.
    const bool scanned = idle && FScan != nullptr;
    Export1->setEnabled(scanned);
    FragmentationList1->setEnabled(scanned);
    mnuFind->setEnabled(scanned);
    mnuVolumeCheck->setEnabled(scanned);
    mnuLoadDamageMap->setEnabled(scanned);
}

// --- The pictures ----------------------------------------------------------

void TForm1::PaintClusters() {
    if (!FScan || !FModel) {
        return;
    }
    map::TMapInput input;
    input.mftZoneStart = FScan->volume->FMftZoneStart;
    input.mftZoneEnd = FScan->volume->FMftZoneEnd;
    input.fileIds = &FScan->fileIds;
    input.clusters = &FScan->clusters;
    input.reserved = FScan->volume->FReserved;
    input.markText = FMarkText.toStdU16String();
    input.contains = ContainsCaseless;
    FModel->Paint(input);
}

void TForm1::RepaintScannedCells() {
    if (!FScan) {
        return;
    }
    // Painting walks the map in owner order; the lookups need it back in
    // cluster order.
    ntfs::TNTFSVolume::SortClustersByFileIndex(FScan->clusters);
    PaintClusters();
    ntfs::TNTFSVolume::SortClustersByLCN(FScan->clusters);
}

void TForm1::RenderMapBitmap() {
    if (!FModel) {
        return;
    }
    FView.SetTotalClusters(FModel->TotalClusters());
    FView.SetArea(std::max(FViewRight + 1, 0), std::max(FViewBottom + 1, 0));
    // Every rebuild returns the view to the top of the volume.
    FView.SetTopRow(0);
    DrawMap();
}

void TForm1::RenderOverview() {
    if (!FModel) {
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
        map::OverviewPixels(*FModel, kOverviewWidth, height, blank);
    for (int y = 0; y < height; ++y) {
        std::memcpy(FOverviewBitmap.scanLine(y),
                    pixels.data() + static_cast<std::size_t>(y) * kOverviewWidth,
                    kOverviewWidth * sizeof(std::uint32_t));
    }
    FSurface->update();
}

void TForm1::DrawMap() {
    if (!FModel) {
        return;
    }
    FCellsPerRow = FView.CellsPerRow();
    if (FScreenColours.isEmpty()) {
        FScreenColours = FPalette;
    }
    FScreenColours[map::kGridIndex] = kGridColour;
    FScreenColours[map::kBackgroundIndex] =
        FSurface->palette().color(FSurface->backgroundRole()).rgb();
    FScreenColours[map::kHighlightIndex] = kHighlightColour;
    OverlayColours(FScreenColours, FPalette, !FView.Overlay().empty());
    if (FScreen.width() != FView.Width() || FScreen.height() != FView.Height()) {
        FScreen = QImage(FView.Width(), FView.Height(), QImage::Format_Indexed8);
    }
    if (!FScreen.isNull()) {
        FScreen.setColorTable(FScreenColours);
        FView.Render(*FModel, FScreen.bits(), static_cast<std::size_t>(FScreen.bytesPerLine()));
    }
    SyncScroller();
    FSurface->update();
}

void TForm1::SyncScroller() {
    const std::int64_t most = FView.MaxTopRow();
    const std::int64_t page = std::max<std::int64_t>(0, FView.FullRows() - 1);
    const bool scaled = most > kScrollerSteps;
    const auto toBar = [&](std::int64_t rows) {
        return static_cast<int>(scaled ? std::llround(static_cast<double>(rows) * kScrollerSteps /
                                                      static_cast<double>(most))
                                       : rows);
    };
    FSyncingScroller = true;
    scroller->setRange(0, toBar(most));
    scroller->setPageStep(std::max(toBar(page), page > 0 ? 1 : 0));
    scroller->setSingleStep(std::max(toBar(1), 1));
    scroller->setValue(toBar(FView.TopRow()));
    FSyncingScroller = false;
}

std::int64_t TForm1::CellToLCN(std::int32_t X, std::int32_t Y) const {
    const map::TClusterSpan span = FView.SpanAt(X, Y);
    const std::int64_t lcn = span.count > 0 ? span.first : FView.TotalClusters();
    return lcn >= FTotalClusters ? FTotalClusters - 1 : lcn;
}

// --- Zoom and navigation -------------------------------------------------------

void TForm1::SetZoom(map::TMapScale scale) {
    ZoomAroundRow(scale, FMouseY);
}

void TForm1::ZoomAroundRow(map::TMapScale scale, std::int32_t y) {
    if (!FModel) {
        return;
    }
    FView.ZoomAround(scale, y);
    DrawMap();
    UpdateHover();
}

void TForm1::ZoomStep(int direction, std::int32_t y) {
    ZoomAroundRow(direction > 0 ? FView.ZoomedIn() : FView.ZoomedOut(), y);
}

void TForm1::ZoomToFit() {
    if (!FModel) {
        return;
    }
    FView.SetScale(FView.FitScale());
    FView.SetTopRow(0);
    DrawMap();
    UpdateHover();
}

void TForm1::ScrollToRow(std::int64_t row) {
    if (!FModel) {
        return;
    }
    FView.SetTopRow(row);
    DrawMap();
    UpdateHover();
}

void TForm1::ScrollByRows(std::int64_t rows) {
    ScrollToRow(FView.TopRow() + rows);
}

void TForm1::GoToCluster(std::int64_t lcn) {
    if (!FModel || FView.TotalClusters() == 0) {
        return;
    }
    lcn = std::clamp<std::int64_t>(lcn, 0, FView.TotalClusters() - 1);
    FView.ShowCluster(lcn);
    DrawMap();
    // The pointer is put on the cluster's pixel, so that the zoom window,
    // the status bar and F1 to F3 name it.
    const std::int64_t cell = lcn / FView.Scale().clustersPerPixel;
    const std::int64_t row = FView.RowOf(lcn) - FView.TopRow();
    const std::int32_t p = FView.RowPixels();
    FMouseX = static_cast<std::int32_t>(cell % std::max(FView.CellsPerRow(), 1)) * p + p / 2;
    FMouseY = static_cast<std::int32_t>(row) * p + p / 2;
    FHoverOnOverview = false;
    UpdateHover();
    FHoverLCN = lcn;
    if (frm_Help != nullptr) {
        frm_Help->lbl_LCN->setText(QString::number(FHoverLCN));
    }
}

void TForm1::mnuGoToClick() {
    if (!FModel) {
        return;
    }
    bool ok = false;
    const QString answer =
        QInputDialog::getText(this, "Go to Cluster",
                              QString("Cluster number (0 to %1), or a byte offset with its unit\n"
                                      "(4096 B, 512 KiB, 2 GiB); 0x reads hexadecimal:")
                                  .arg(FView.TotalClusters() - 1),
                              QLineEdit::Normal, QString(), &ok);
    if (!ok || answer.trimmed().isEmpty()) {
        return;
    }
    const std::optional<std::int64_t> lcn =
        map::ParseClusterOrOffset(answer.toStdString(), FBytesPerCluster);
    if (!lcn || *lcn >= FView.TotalClusters()) {
        ShowNotice("Go to Cluster",
                   lcn ? QString("The volume has no cluster %1: its last is %2.")
                             .arg(*lcn)
                             .arg(FView.TotalClusters() - 1)
                       : QString("\"%1\" is neither a cluster number nor a byte offset.")
                             .arg(answer.trimmed()));
        return;
    }
    GoToCluster(*lcn);
}

void TForm1::FillViewMenu() {
    mnuView->clear();
    for (QAction* level : FZoomLevels->actions()) {
        FZoomLevels->removeAction(level);
        level->deleteLater();
    }
    mnuView->addAction(mnuZoomIn);
    mnuView->addAction(mnuZoomOut);
    mnuView->addSeparator();
    const map::TMapScale now = FView.Scale();
    const map::TMapScale fit = FView.FitScale();
    const auto addLevel = [&](const QString& caption, map::TMapScale scale) {
        QAction* item = mnuView->addAction(caption);
        item->setCheckable(true);
        item->setChecked(scale == now);
        item->setEnabled(FModel != nullptr);
        FZoomLevels->addAction(item);
        connect(item, &QAction::triggered, this, [this, scale] { SetZoom(scale); });
    };
    for (std::int32_t p = map::kLargestCell; p > 1; p /= 2) {
        addLevel(QString("%1 Pixels per Cluster").arg(p), {p, 1});
    }
    mnuView->addAction(mnuActualSize);
    mnuActualSize->setCheckable(true);
    mnuActualSize->setChecked(now == map::TMapScale{});
    for (std::int64_t k = 2; k < fit.clustersPerPixel; k *= 2) {
        addLevel(QString("%1 Clusters per Pixel").arg(k), {1, k});
    }
    mnuFit->setCheckable(true);
    mnuFit->setChecked(now == fit);
    mnuView->addAction(mnuFit);
    mnuView->addSeparator();
    mnuView->addAction(mnuGoTo);
    mnuView->addAction(mnuNextExtent);
    mnuView->addAction(mnuPreviousExtent);
    mnuView->addAction(mnuClearHighlight);
    mnuView->addAction(mnuLightOwner);
    mnuView->addSeparator();
    mnuView->addAction(mnuHealthOverlay);
    mnuView->addAction(mnuDamageOverlay);
    mnuView->addSeparator();
    if (FLegend != nullptr) {
        mnuView->addAction(FLegend->toggleViewAction());
    }
    mnuView->addMenu(mnuPalette);
    // Their shortcuts work with the menu closed, so they stay enabled; with
    // no map they do nothing.
    for (QAction* item : {mnuZoomIn, mnuZoomOut, mnuActualSize, mnuFit, mnuGoTo}) {
        item->setEnabled(true);
    }
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
    // RenderMapBitmap draws the screen it fits.
    RenderMapBitmap();
    RenderOverview();
}

std::int32_t TForm1::OverviewLeft() const {
    return scroller->x() + scroller->width() + 1;
}

void TForm1::FormPaint(QPainter& painter) {
    if (FDriveRoot.empty() || !FModel) {
        return;
    }
    if (!FScreen.isNull()) {
        painter.drawImage(QPoint(0, 0), FScreen);
    }
    if (!FOverviewBitmap.isNull()) {
        const int left = OverviewLeft();
        painter.drawImage(QPoint(left, 0), FOverviewBitmap);
        // The part of the volume in view, framed in exclusive-or so that
        // the frame shows on every colour.
        const auto [top, bottom] = map::OverviewRows(FView.TotalClusters(), kOverviewWidth,
                                                     FOverviewBitmap.height(), FView.Visible());
        if (top <= bottom) {
            painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
            painter.setPen(QColor(0xFF, 0xFF, 0xFF));
            painter.drawRect(QRect(left, top, kOverviewWidth - 1, bottom - top));
            painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        }
    }
}

void TForm1::scrollerChange() {
    if (FDriveRoot.empty() || FSyncingScroller || !FModel) {
        return;
    }
    const std::int64_t most = FView.MaxTopRow();
    const std::int64_t value = scroller->value();
    FView.SetTopRow(most > kScrollerSteps ? std::llround(static_cast<double>(value) *
                                                         static_cast<double>(most) / kScrollerSteps)
                                          : value);
    DrawMap();
}

void TForm1::FormMouseMove(std::int32_t X, std::int32_t Y) {
    FMouseX = X;
    FMouseY = Y;
    FHoverOnOverview = FModel != nullptr && X >= OverviewLeft();
    const std::int32_t mapWidth = FView.CellsPerRow() * FView.RowPixels();
    if (!FHoverOnOverview && X >= mapWidth) {
        FMouseX = mapWidth - 1;
    }
    UpdateHover();
}

void TForm1::FormMouseDown(std::int32_t X, std::int32_t Y) {
    if (FModel && X >= OverviewLeft()) {
        OverviewClicked(X - OverviewLeft(), Y);
    }
}

void TForm1::OverviewClicked(std::int32_t x, std::int32_t y) {
    if (FOverviewBitmap.isNull()) {
        return;
    }
    const map::TClusterSpan span =
        map::OverviewSpan(FView.TotalClusters(), kOverviewWidth, FOverviewBitmap.height(),
                          std::clamp(x, 0, kOverviewWidth - 1), y);
    if (span.count == 0) {
        return;
    }
    ScrollToRow(FView.RowOf(span.first + span.count / 2) - FView.FullRows() / 2);
}

void TForm1::FormMouseWheel(std::int32_t WheelDelta) {
    // A notch moves a tenth of the rows in view at every zoom; the small
    // steps of a touchpad add up to notches.
    FWheelRest += WheelDelta;
    const int notches = FWheelRest / kWheelNotch;
    FWheelRest -= notches * kWheelNotch;
    if (notches != 0) {
        const std::int64_t step = std::max<std::int64_t>(1, FView.FullRows() / kWheelShare);
        ScrollByRows(-notches * step);
        return;
    }
    UpdateHover();
}

QRgb TForm1::SurfacePixel(std::int32_t x, std::int32_t y) const {
    const QRgb background = FSurface->palette().color(FSurface->backgroundRole()).rgb();
    if (FDriveRoot.empty() || !FModel || x < 0 || y < 0) {
        return background;
    }
    if (x < FScreen.width() && y < FScreen.height()) {
        return FScreenColours[FScreen.constScanLine(y)[x]];
    }
    const int left = OverviewLeft();
    if (x >= left && x - left < FOverviewBitmap.width() && y < FOverviewBitmap.height()) {
        QRgb colour = FOverviewBitmap.pixel(x - left, y);
        const auto [top, bottom] = map::OverviewRows(FView.TotalClusters(), kOverviewWidth,
                                                     FOverviewBitmap.height(), FView.Visible());
        const bool frame = top <= bottom && y >= top && y <= bottom &&
                           (y == top || y == bottom || x == left || x == left + kOverviewWidth - 1);
        if (frame) {
            colour ^= 0x00FFFFFFU;
        }
        return colour;
    }
    return background;
}

std::uint8_t TForm1::SpanState(map::TClusterSpan span) const {
    if (!FModel || span.count == 0) {
        return csBeyondEnd;
    }
    std::uint8_t state = csBeyondEnd;
    FModel->SummaryRow(span.first, span.count, 1, &state);
    return state;
}

std::int64_t TForm1::PickCluster(map::TClusterSpan span, std::uint8_t shown) const {
    if (!FModel || span.count <= 1) {
        return span.first;
    }
    const std::int64_t found =
        FModel->FindState(span.first, span.first + span.count, shown, kPickSearch);
    return found >= 0 ? found : span.first;
}

std::uint8_t TForm1::LocateHover() {
    FHoverSpan = {};
    if (FHoverOnOverview && FModel && !FOverviewBitmap.isNull()) {
        FHoverSpan = map::OverviewSpan(FView.TotalClusters(), kOverviewWidth,
                                       FOverviewBitmap.height(), FMouseX - OverviewLeft(), FMouseY);
        FHoverSpan.count = std::min(FHoverSpan.count, FView.TotalClusters() - FHoverSpan.first);
    } else if (FModel) {
        FHoverSpan = FView.SpanAt(FMouseX, FMouseY);
    }
    const std::uint8_t shown = SpanState(FHoverSpan);
    if (FHoverSpan.count > 0) {
        const std::int64_t lcn = PickCluster(FHoverSpan, shown);
        FHoverLCN = lcn >= FTotalClusters ? FTotalClusters - 1 : lcn;
    } else {
        FHoverLCN = CellToLCN(FMouseX, FMouseY);
    }
    return shown;
}

void TForm1::LightHoveredOwner() {
    if (mnuLightOwner->isChecked() && FScan && !IsScanning() && FHoverSpan.count > 0) {
        const std::int64_t owner = ntfs::TNTFSVolume::FindClusterOwner(FScan->clusters, FHoverLCN);
        if (owner != FLitOwner) {
            FLitOwner = owner;
            FView.SetHighlight(owner >= 0 ? FileExtents(owner) : FShownExtents);
            DrawMap();
        }
    }
}

void TForm1::UpdateHover() {
    const std::uint8_t shown = LocateHover();
    QString name;
    if (FScan) {
        std::string text;
        FScan->volume->DescribeCluster(FScan->clusters, FScan->fileIds, text, true, FHoverLCN);
        name = QString::fromStdString(text);
    } else {
        name = "Volume not scanned!";
    }
    // A pixel of many clusters says which and what most of them are before
    // naming the one the reports would show.
    QString summary;
    if (FHoverSpan.count > 1) {
        summary = SpanText(FHoverSpan) + ": " +
                  (shown == csMarked ? QString("holds a marked file")
                                     : "mostly " + QString::fromUtf8(map::StateName(shown)));
    }
    if (FHoverSpan.count == 0) {
        FHoverText.clear();
    } else if (FHoverSpan.count > 1) {
        FHoverText =
            summary + (FScan ? "; cluster " + QString::number(FHoverLCN) + ": " + name : QString());
    } else {
        FHoverText =
            SpanText(FHoverSpan) + " at byte " +
            QString::number(FHoverSpan.first * static_cast<std::int64_t>(FBytesPerCluster)) + " (" +
            QString::fromUtf8(map::StateName(shown)) + ")" + (FScan ? ": " + name : QString());
    }
    LightHoveredOwner();
    if (FHoverLabel->text() != FHoverText) {
        FHoverLabel->setText(FHoverText);
    }

    if (frm_Help == nullptr) {
        return;
    }
    frm_Help->lbl_LCN->setText(QString::number(FHoverLCN));
    ShowZoomPicture();
    if (!summary.isEmpty()) {
        name = summary + "\n" + name;
    }
    // Moving within one file gives the same text; laying it out again on
    // every move would cost more than everything else here.
    if (frm_Help->lbl_Name->toPlainText() != name) {
        frm_Help->lbl_Name->setPlainText(name);
    }
}

void TForm1::ShowZoomPicture() {
    // The 9 x 9 cells around the pointer: pixels of the surface, a cell's
    // width apart when cells are magnified.
    const std::int32_t step = FHoverOnOverview ? 1 : FView.RowPixels();
    const std::int32_t cx = FHoverOnOverview ? FMouseX : FMouseX / step * step + step / 2;
    const std::int32_t cy = FHoverOnOverview ? FMouseY : FMouseY / step * step + step / 2;
    std::array<std::uint32_t, 81> block{};
    for (int dy = 0; dy < kZoomCells; ++dy) {
        for (int dx = 0; dx < kZoomCells; ++dx) {
            block[static_cast<std::size_t>(dy * kZoomCells + dx)] =
                SurfacePixel(cx + (dx - 4) * step, cy + (dy - 4) * step);
        }
    }
    const std::vector<std::uint32_t> pixels = BuildZoomPixels(block, 0xFFFFFFFFU);
    QImage picture(kZoomSize, kZoomSize, QImage::Format_RGB32);
    for (int y = 0; y < kZoomSize; ++y) {
        std::memcpy(picture.scanLine(y), pixels.data() + static_cast<std::size_t>(y) * kZoomSize,
                    kZoomSize * sizeof(std::uint32_t));
    }
    frm_Help->SetZoomPicture(picture);
}

QString TForm1::HoverText() const {
    return FHoverText;
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
        break;
    }
    if (!FModel) {
        return false;
    }
    const std::int64_t page = std::max<std::int64_t>(1, FView.FullRows() - 1);
    switch (Key) {
    case Qt::Key_PageDown:
        ScrollByRows(page);
        return true;
    case Qt::Key_PageUp:
        ScrollByRows(-page);
        return true;
    case Qt::Key_Home:
        ScrollToRow(0);
        return true;
    case Qt::Key_End:
        ScrollToRow(FView.MaxTopRow());
        return true;
    case Qt::Key_Down:
        ScrollByRows(1);
        return true;
    case Qt::Key_Up:
        ScrollByRows(-1);
        return true;
    case Qt::Key_Right:
        ScrollByRows(std::max<std::int64_t>(1, FView.FullRows() / kWheelShare));
        return true;
    case Qt::Key_Left:
        ScrollByRows(-std::max<std::int64_t>(1, FView.FullRows() / kWheelShare));
        return true;
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        ZoomStep(1, FMouseY);
        return true;
    case Qt::Key_Minus:
        ZoomStep(-1, FMouseY);
        return true;
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
        PlaceZoomWindow();
    } else {
        frm_Help->hide();
        FZoomDock->hide();
    }
}

bool TForm1::ZoomWindowDocked() const {
    return frm_Help != nullptr && frm_Help->parentWidget() == FZoomDock;
}

void TForm1::PlaceZoomWindow() {
    if (frm_Help == nullptr) {
        return;
    }
    const bool wanted = Zoom1->isChecked();
    const QScreen* display = screen();
    const QRect room = display != nullptr ? display->availableGeometry() : QRect();
    const QRect frame = frameGeometry();
    // The zoom window's frame as it floats: its own size and the title bar
    // and borders the desktop gives a tool window.
    const QSize size(174 + (frame.width() - width()), 198 + (frame.height() - height()));
    const bool leftFits = frame.left() - size.width() >= room.left();
    const bool rightFits = frame.right() + size.width() <= room.right();
    const bool dock = !room.isEmpty() && !leftFits && !rightFits;
    if (dock != ZoomWindowDocked()) {
        const bool visible = frm_Help->isVisible() || wanted;
        if (dock) {
            frm_Help->setParent(FZoomDock, Qt::Widget);
            frm_Help->move(0, 0);
            FZoomDock->setFixedWidth(frm_Help->width());
        } else {
            frm_Help->setParent(this, Qt::Tool | Qt::WindowStaysOnTopHint);
        }
        frm_Help->setVisible(visible);
    }
    FZoomDock->setVisible(dock && wanted);
    if (!dock && frm_Help->isVisible()) {
        const int x = leftFits || room.isEmpty() ? frame.left() - frm_Help->frameGeometry().width()
                                                 : frame.right() + 1;
        frm_Help->move(x, frame.top());
    }
}

void TForm1::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    PlaceZoomWindow();
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    PlaceZoomWindow();
}

void TForm1::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        PlaceZoomWindow();
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
    ApplyMark(text);
}

void TForm1::ApplyMark(const QString& text) {
    FMarkText = text;
    // During a scan the text waits for the painting stage.
    if (!FScan || IsScanning()) {
        return;
    }
    RepaintScannedCells();
    RenderMapBitmap();
    RenderOverview();
    CountMarks();
}

void TForm1::ClearMark() {
    if (!FMarkText.isEmpty()) {
        ApplyMark(QString());
    }
}

void TForm1::CountMarks() {
    FMarked.clear();
    FMarkedCount = 0;
    FNextMarked = 0;
    if (!FScan || FMarkText.isEmpty()) {
        FMarkLabel->clear();
        return;
    }
    const ntfs::TFileIDs& table = FScan->fileIds;
    const std::u16string mark = FMarkText.toStdU16String();
    const auto count = static_cast<std::size_t>(std::max(table.FCount, 0));
    constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::max();
    std::vector<std::int64_t> first(count, kNone);
    for (const ntfs::TClusterEntry& extent : FScan->clusters) {
        if (extent.FileIndex < count && extent.Length > 0) {
            first[extent.FileIndex] = std::min(first[extent.FileIndex], extent.LCN);
        }
    }
    std::u16string path;
    for (std::size_t i = 0; i < count; ++i) {
        if (map::EntryPaintState(table, i, mark, ContainsCaseless, path) == csMarked) {
            ++FMarkedCount;
            // Only a file with clusters of its own can be gone to.
            if (first[i] != kNone) {
                FMarked.push_back(static_cast<std::int64_t>(i));
            }
        }
    }
    std::stable_sort(FMarked.begin(), FMarked.end(), [&first](std::int64_t a, std::int64_t b) {
        return first[static_cast<std::size_t>(a)] < first[static_cast<std::size_t>(b)];
    });
    FMarkLabel->setText(FMarkedCount == 1 ? QString("1 file marked")
                                          : QString("%1 files marked").arg(FMarkedCount));
}

void TForm1::NextMarkedFile() {
    if (FMarked.empty()) {
        Beep();
        return;
    }
    const std::size_t at = FNextMarked % FMarked.size();
    FNextMarked = at + 1;
    ShowOnMap(FMarked[at]);
}

std::vector<map::TClusterSpan> TForm1::FileExtents(std::int64_t fileIndex) const {
    std::vector<map::TClusterSpan> spans;
    if (!FScan || fileIndex < 0 || fileIndex >= FScan->fileIds.FCount) {
        return spans;
    }
    // Every record of the file: the entries that share its base record.
    const ntfs::TFileIDs& table = FScan->fileIds;
    const std::int64_t base = table.FItems[static_cast<std::size_t>(fileIndex)].BaseID;
    std::vector<char> member(static_cast<std::size_t>(table.FCount), 0);
    for (std::size_t i = 0; i < member.size(); ++i) {
        member[i] = table.FItems[i].BaseID == base ? 1 : 0;
    }
    member[static_cast<std::size_t>(fileIndex)] = 1;
    for (const ntfs::TClusterEntry& extent : FScan->clusters) {
        if (extent.FileIndex < member.size() && member[extent.FileIndex] != 0 &&
            extent.Length > 0) {
            spans.push_back({extent.LCN, extent.Length});
        }
    }
    std::sort(
        spans.begin(), spans.end(),
        [](const map::TClusterSpan& a, const map::TClusterSpan& b) { return a.first < b.first; });
    return spans;
}

void TForm1::ShowOnMap(std::int64_t fileIndex) {
    // A list or report of an earlier scan can name an entry this one lacks.
    if (!FScan || !FModel || IsScanning() || fileIndex < 0 || fileIndex >= FScan->fileIds.FCount) {
        Beep();
        return;
    }
    FShownExtents = FileExtents(fileIndex);
    FShownName = QString::fromStdU16String(FScan->fileIds.Path(static_cast<int>(fileIndex)));
    FShownExtent = 0;
    FLitOwner = -1;
    FView.SetHighlight(FShownExtents);
    raise();
    activateWindow();
    if (FShownExtents.empty()) {
        DrawMap();
        FHoverText = FShownName + " has no clusters of its own: it lives in its record.";
        FHoverLabel->setText(FHoverText);
        return;
    }
    StepExtent(0);
}

void TForm1::StepExtent(int direction) {
    if (FShownExtents.empty()) {
        return;
    }
    const auto n = static_cast<std::int64_t>(FShownExtents.size());
    FShownExtent = static_cast<std::size_t>(
        ((static_cast<std::int64_t>(FShownExtent) + direction) % n + n) % n);
    const map::TClusterSpan extent = FShownExtents[FShownExtent];
    GoToCluster(extent.first);
    FHoverText = QString("%1: extent %2 of %3, clusters %4-%5")
                     .arg(FShownName)
                     .arg(FShownExtent + 1)
                     .arg(n)
                     .arg(extent.first)
                     .arg(extent.first + extent.count - 1);
    FHoverLabel->setText(FHoverText);
}

void TForm1::ClearHighlight() {
    FShownExtents.clear();
    FLitOwner = -1;
    FView.SetHighlight({});
    DrawMap();
}

void TForm1::ShowMapMenu(QPoint at) {
    if (!FModel) {
        return;
    }
    FormMouseMove(at.x(), at.y());
    QMenu menu(this);
    const bool scanned = FScan != nullptr && !IsScanning();
    const std::int64_t owner =
        scanned ? ntfs::TNTFSVolume::FindClusterOwner(FScan->clusters, FHoverLCN) : -1;
    menu.addAction("Show on map", [this, owner] { ShowOnMap(owner); })->setEnabled(owner >= 0);
    menu.addAction("Details\tF1", [this] { ShowClusterDetails(); })->setEnabled(scanned);
    menu.addAction("Hex Dump\tF2", [this] { ShowHexDump(); })->setEnabled(scanned);
    menu.addAction("Base Info\tF3", [this] { FormKeyDown(Qt::Key_F3); })->setEnabled(owner >= 0);
    menu.addSeparator();
    menu.addAction("Copy Cluster Number",
                   [this] { QGuiApplication::clipboard()->setText(QString::number(FHoverLCN)); });
    menu.exec(FSurface->mapToGlobal(at));
}

void TForm1::BuildLegend() {
    FLegend = new QToolBar("Legend", this);
    FLegend->setObjectName("Legend");
    FLegend->setMovable(true);
    FLegend->setToolTip(
        "What each colour means. Where a pixel stands for several clusters it shows the kind\n"
        "that covers most of them, except that a marked file always shows: a pixel with any\n"
        "marked cluster is white. A tie goes to the rarer kind: marked, paging file,\n"
        "fragmented, system file, directory, MFT zone, used, free. A file shown on the map\n"
        "is lit in magenta at every zoom.");
    QFont small = FLegend->font();
    small.setPixelSize(11);
    for (const map::TLegendEntry& entry : map::kLegend) {
        auto* item = new QWidget(FLegend);
        item->setObjectName(QString("Legend%1").arg(static_cast<int>(entry.state)));
        auto* row = new QHBoxLayout(item);
        row->setContentsMargins(1, 0, 3, 0);
        row->setSpacing(2);
        auto* swatch = new QLabel(item);
        swatch->setObjectName("swatch");
        // Short names, so that all nine fit the window's designed width; the
        // full name is the item's tooltip.
        const QString full =
            QString::fromUtf8(entry.label.data(), static_cast<qsizetype>(entry.label.size()));
        auto* name = new QLabel(ShortLegendName(entry.state, full), item);
        name->setFont(small);
        item->setToolTip(full);
        row->addWidget(swatch);
        row->addWidget(name);
        FLegend->addWidget(item);
    }
    addToolBar(Qt::BottomToolBarArea, FLegend);
    UpdateLegend();
}

void TForm1::UpdateLegend() {
    // A framed square, so that white and black show on any background.
    const int side = 10;
    for (const map::TLegendEntry& entry : map::kLegend) {
        auto* item =
            FLegend->findChild<QWidget*>(QString("Legend%1").arg(static_cast<int>(entry.state)));
        auto* swatch = item != nullptr ? item->findChild<QLabel*>("swatch") : nullptr;
        if (swatch == nullptr) {
            continue;
        }
        QPixmap square(side, side);
        square.fill(QColor::fromRgb(FPalette[entry.state]));
        QPainter frame(&square);
        frame.setPen(QColor(0x50, 0x50, 0x50));
        frame.drawRect(0, 0, side - 1, side - 1);
        frame.end();
        swatch->setPixmap(square);
    }
}

void TForm1::SetSafePalette(bool safe) {
    const TPalette& palette = safe ? map::SafeCellPalette() : CellPalette();
    FSafePalette = safe;
    FPalette = QList<QRgb>(palette.begin(), palette.end());
    FScreenColours.clear();
    UpdateLegend();
    RenderOverview();
    DrawMap();
    const QList<QAction*> choices = mnuPalette->actions();
    choices[safe ? 1 : 0]->setChecked(true);
}

void TForm1::mnuSaveMapPictureClick() {
    if (!FModel) {
        return;
    }
    QString name = QString::fromStdString(FDriveRoot).remove(':').remove('\\');
    const QString path = QFileDialog::getSaveFileName(
        this, "Save Map Picture", (name.isEmpty() ? QString("map") : name + "-map") + ".png",
        "PNG pictures (*.png)");
    if (!path.isEmpty()) {
        SaveMapPicture(path, QSize(1600, 1000));
    }
}

bool TForm1::SaveMapPicture(const QString& path, QSize size) {
    if (!FModel) {
        return false;
    }
    mappicture::TMapPictureOptions options;
    options.size = size;
    options.viewClusters = FView.TotalClusters();
    const QString title = windowTitle().section(QString::fromUtf8(" \u2014 "), 0, 0) + "   " +
                          FStatusLabel->text().trimmed();
    options.title = title.toStdString();
    const QString why = WritePicture(FApi, path, mappicture::RenderMapPicture(*FModel, options));
    if (!why.isEmpty()) {
        ShowNotice(kAppCaption, QString("Cannot save %1: %2").arg(path, why));
        return false;
    }
    return true;
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!FFirstShow) {
        return;
    }
    FFirstShow = false;
    FitToScreen();
    // The desktop frames the window only after it is on screen: once its
    // title bar is known, fit the frame too.
    QTimer::singleShot(300, this, [this] { FitToScreen(); });
}

void TForm1::FitToScreen() {
    // At a large scale the designed size can be more than the screen has:
    // the window then takes what there is, and stays on the screen.
    const QScreen* display = screen();
    if (display == nullptr || isMaximized() || isFullScreen()) {
        return;
    }
    const QRect room = display->availableGeometry();
    const QSize frame = frameGeometry().size() - size();
    const QSize most(room.width() - frame.width(), room.height() - frame.height());
    if (width() <= most.width() && height() <= most.height()) {
        return;
    }
    resize(std::min(width(), most.width()), std::min(height(), most.height()));
    const QRect outer = frameGeometry();
    move(std::clamp(outer.left(), room.left(),
                    std::max(room.left(), room.right() - outer.width() + 1)),
         std::clamp(outer.top(), room.top(),
                    std::max(room.top(), room.bottom() - outer.height() + 1)));
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
        // The wheel over the scroll bar moves as it does over the map.
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
    // One line: the texts of the source in it are escaped already, and a
    // line break from anywhere else is too.
    FStatusLabel->setText(ShownText(text));
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
    // The texts of a source in it (a file name a container names) are
    // escaped already; anything else not printable is, here.
    const QString shown = ShownLines(text);
    if (FNotices.message) {
        FNotices.message(caption, shown);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, caption, shown, QMessageBox::Ok, this);
    box.exec();
}

bool TForm1::Ask(const QString& caption, const QString& question) {
    // As a notice's: the files a container names are the container's texts.
    const QString shown = ShownLines(question);
    if (FNotices.ask) {
        return FNotices.ask(caption, shown);
    }
    return QMessageBox::question(this, caption, shown, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void TForm1::Beep() {
    if (FNotices.beep) {
        FNotices.beep();
        return;
    }
    QApplication::beep();
}

} // namespace lorvex::ui

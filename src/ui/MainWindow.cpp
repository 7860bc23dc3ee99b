// The main window: its parts made and put together, the other windows and
// the program's hooks attached, its life on screen (first show, close,
// quit, every key seen first) and how it tells the user something.
//
// The window's other concerns have files of their own, in the order a
// session meets them: MainWindowMenus (the menus, the commands' states and
// the legend), MainWindowSources (opening images), MainWindowDrives (the
// drive menu and the chosen drive's map), MainWindowScan (the scan on its
// thread), MainWindowMap (drawing the map, zoom and navigation, the map
// picture), MainWindowMouse (the pointer, the wheel and the keys over the
// map), MainWindowZoom (the zoom window), MainWindowMarks (marked files
// and files shown on the map), MainWindowReports and MainWindowHealth.
#include "ui/MainWindow.h"

#include "ntfs/ScanStages.h"
#include "ui/CellMap.h"
#include "ui/FindWindow.h"
#include "ui/FragmentationWindow.h"
#include "ui/HelpWindow.h"
#include "ui/InfoWindow.h"
#include "ui/MainWindowShared.h"
#include "ui/ScanController.h"
#include "ui/ShownText.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QWheelEvent>

#include <algorithm>

namespace lorvex::ui {

using namespace mainwindow;

namespace {

constexpr int kStatusBarHeight = 22;

} // namespace

MainWindow::MainWindow(platform::VolumeApi& api) : FApi(api) {
    setObjectName("Form1");
    setWindowTitle(kAppCaption);

    const Palette& palette = CellPalette();
    FPalette = QList<QRgb>(palette.begin(), palette.end());
    FOverviewBitmap = QImage();

    BuildSources();
    BuildMenus();
    setAcceptDrops(true);
    BuildStatusBar();
    BuildLegend();
    BuildMapArea();

    BuildProgressArea();
    ConnectScanner();

    // The window sees every key before the focused control does.
    qApp->installEventFilter(this);

    // The legend below the map adds its height: the map keeps its size.
    resize(kClientWidth,
           menuBar()->sizeHint().height() + FLegend->sizeHint().height() + kClientHeight);
    move(293, 154);

    BuildDriveMenu();
    UpdateCommands();
    RestoreSettings();
}

MainWindow::~MainWindow() {
    // A scanning thread reads through FApi and calls on this window: it is
    // told to stop, which it does at its next stage or record, and the
    // window waits that long before it goes.
    delete scanner_;
    scanner_ = nullptr;
    qApp->removeEventFilter(this);
}

void MainWindow::BuildStatusBar() {
    sb = statusBar();
    sb->setObjectName("sb");
    sb->setFixedHeight(kStatusBarHeight);
    // While work shows its progress the drive's summary gives way to what
    // lies under the pointer, rather than squeezing it to nothing; cut, it
    // says so at its end.
    FStatusLabel = new ElidedLabel(sb, Qt::ElideRight);
    sb->addWidget(FStatusLabel, 1);
    // A long path is cut in its middle rather than widening the window, and
    // beside the progress area too.
    FHoverLabel = new ElidedLabel(sb);
    FHoverLabel->setObjectName("HoverLabel");
    sb->addPermanentWidget(FHoverLabel, 1);
    FMarkLabel = new QLabel(sb);
    FMarkLabel->setObjectName("MarkLabel");
    sb->addPermanentWidget(FMarkLabel);
    FHealthLabel = new QLabel(sb);
    FHealthLabel->setObjectName("HealthLabel");
    sb->addPermanentWidget(FHealthLabel);
}

void MainWindow::AttachWindows(Tfrm_Help* help, Tfrm_Info* info, FindWindow* find,
                               FragmentationWindow* fragmentation) {
    frm_Help = help;
    frm_Info = info;
    frmFind = find;
    frm_Fragmentation = fragmentation;
    AttachZoom();
    const auto showOnMap = [this](std::int64_t fileIndex) { ShowOnMap(fileIndex); };
    const auto baseInfo = [this](std::int64_t baseId) { ShowBaseInfo(baseId); };
    if (frmFind != nullptr) {
        ConnectList(*frmFind);
        frmFind->OnShowOnMap = showOnMap;
        frmFind->OnBaseInfo = baseInfo;
    }
    if (frm_Fragmentation != nullptr) {
        ConnectList(*frm_Fragmentation);
        frm_Fragmentation->OnShowOnMap = showOnMap;
        frm_Fragmentation->OnBaseInfo = baseInfo;
    }
    if (frm_Info != nullptr) {
        frm_Info->OnShowOnMap = showOnMap;
    }
}

void MainWindow::SetUserNotices(TUserNotices notices) {
    FNotices = std::move(notices);
}

void MainWindow::SetSourceHooks(TSourceHooks hooks) {
    FSourceHooks = std::move(hooks);
    // The menu names BitLocker drives once the hooks can tell them.
    BuildDriveMenu();
    UpdateCommands();
}

void MainWindow::SetScanProbe(std::function<void(std::string_view)> probe) {
    scanner_->SetProbe(std::move(probe));
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!FFirstShow) {
        return;
    }
    FFirstShow = false;
    // A size the user chose last time is kept as it was.
    if (!geometryRestored_) {
        MakeRoomForZoomDock();
    }
    FitToScreen();
    // The desktop frames the window only after it is on screen: once its
    // title bar is known, fit the frame too.
    QTimer::singleShot(300, this, [this] { FitToScreen(); });
}

void MainWindow::FitToScreen() {
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

void MainWindow::Quit1Click() {
    // At once, not when the scan would have ended: its thread is told to
    // stop, and the window waits for it only as it goes.
    CancelScan();
    QCoreApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The main window: closing it ends the program, whatever else is open,
    // and a scan that runs with it.
    CancelScan();
    SaveSettings();
    event->accept();
    QCoreApplication::quit();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget != nullptr && widget->window() == this) {
            if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape && IsScanning()) {
                CancelScan();
                return true;
            }
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

QString MainWindow::StatusText() const {
    return FStatusLabel->FullText();
}

void MainWindow::SetStatusText(const QString& text) {
    // One line: the texts of the source in it are escaped already, and a
    // line break from anywhere else is too.
    FStatusLabel->SetFullText(ShownText(text));
}

void MainWindow::ShowNotice(const QString& caption, const QString& text) {
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

bool MainWindow::Ask(const QString& caption, const QString& question) {
    // As a notice's: the files a container names are the container's texts.
    const QString shown = ShownLines(question);
    if (FNotices.ask) {
        return FNotices.ask(caption, shown);
    }
    return QMessageBox::question(this, caption, shown, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
}

void MainWindow::Beep() {
    if (FNotices.beep) {
        FNotices.beep();
        return;
    }
    QApplication::beep();
}

} // namespace lorvex::ui

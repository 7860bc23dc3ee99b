// The table of the main window's commands. Captions, object names and keys
// are the window's own: the tests and the user's settings know the commands
// by their object names.
#include "ui/MainWindowActions.h"

namespace lorvex::ui {

namespace {

constexpr bool Idle(const CommandState& s) {
    return s.idle;
}
constexpr bool CanOpen(const CommandState& s) {
    return s.idle && s.canOpen;
}
constexpr bool CanClose(const CommandState& s) {
    return s.idle && s.driveShown && s.canClose;
}
// The commands that read a scan's tables wait for one to have ended.
constexpr bool Scanned(const CommandState& s) {
    return s.idle && s.scanned;
}
// The reports act through their keys, which say why when they cannot act;
// only their open menu greys what has nothing to act on.
constexpr bool ClusterToReport(const CommandState& s) {
    return !s.reportsMenuOpen || s.cursorOnCluster;
}
constexpr bool OwnerToReport(const CommandState& s) {
    return !s.reportsMenuOpen || (s.cursorOnCluster && s.cursorOwned);
}
constexpr bool DamageShown(const CommandState& s) {
    return s.mapShown && s.damageLoaded;
}

using enum ActionId;
using Key = QKeySequence::StandardKey;
constexpr QKeyCombination kNoKey = Qt::Key_unknown;

// In the order of the menus: a menu comes into the bar where its first
// command is met (MenuTable places the menus that have none of their own).
constexpr std::array<CommandEntry, kActionCount> kActions{{
    {.id = kOpen,
     .menu = MenuId::kFile,
     .text = "&Open Image...",
     .objectName = "mnuOpen",
     .standardKey = Key::Open,
     .enabled = CanOpen},
    // Evidence can carry a container's signature it is not; the user can
    // always have the bytes read as they are.
    {.id = kOpenRaw,
     .menu = MenuId::kFile,
     .text = "Open as Ra&w Image...",
     .objectName = "mnuOpenRaw",
     .enabled = CanOpen},
    {.id = kSavePicture,
     .menu = MenuId::kFile,
     .text = "Save Map &Picture...",
     .objectName = "mnuSavePicture",
     .keys = {Qt::CTRL | Qt::SHIFT | Qt::Key_S, kNoKey}},
    {.id = kLoadDamageMap,
     .menu = MenuId::kFile,
     .text = "Load &Damage Map...",
     .objectName = "mnuLoadDamageMap",
     .enabled = Scanned},
    {.id = kQuitFile,
     .menu = MenuId::kFile,
     .text = "&Quit",
     .objectName = "mnuQuitFile",
     .standardKey = Key::Quit,
     .separatorBefore = true},
    // Put after the drives by BuildDriveMenu.
    {.id = kCloseDrive,
     .menu = MenuId::kDrive,
     .text = "&Close Drive",
     .objectName = "mnuCloseDrive",
     .keys = {Qt::CTRL | Qt::Key_W, kNoKey},
     .windowWide = true,
     .enabled = CanClose},
    {.id = kScan,
     .menu = MenuId::kMenuBar,
     .text = "&Scan!",
     .objectName = "mnuScan",
     .keys = {Qt::Key_F5, kNoKey},
     .enabled = Idle},
    {.id = kExport,
     .menu = MenuId::kTools,
     .text = "&Export...",
     .objectName = "Export1",
     .keys = {Qt::CTRL | Qt::Key_E, kNoKey},
     .enabled = Scanned},
    {.id = kZoomWindow,
     .menu = MenuId::kTools,
     .text = "&Zoom",
     .objectName = "Zoom1",
     .checkable = true},
    {.id = kFind,
     .menu = MenuId::kTools,
     .text = "&Find...",
     .objectName = "mnuFind",
     .standardKey = Key::Find,
     .enabled = Scanned},
    {.id = kMark,
     .menu = MenuId::kTools,
     .text = "&Mark...",
     .objectName = "mnuMark",
     .keys = {Qt::CTRL | Qt::Key_M, kNoKey}},
    {.id = kClearMark, .menu = MenuId::kTools, .text = "Clear Mar&k", .objectName = "mnuClearMark"},
    {.id = kNextMarked,
     .menu = MenuId::kTools,
     .text = "&Next Marked File",
     .objectName = "mnuNextMarked",
     .keys = {Qt::Key_F7, kNoKey}},
    {.id = kFragmentationList,
     .menu = MenuId::kTools,
     .text = "Fragmentation &List",
     .objectName = "FragmentationList1",
     .keys = {Qt::CTRL | Qt::Key_L, kNoKey},
     .enabled = Scanned},
    {.id = kVolumeCheck,
     .menu = MenuId::kTools,
     .text = "&Volume Check",
     .objectName = "mnuVolumeCheck",
     .keys = {Qt::CTRL | Qt::Key_K, kNoKey},
     .enabled = Scanned},
    {.id = kDeletedFiles,
     .menu = MenuId::kTools,
     .text = "&Deleted Files",
     .objectName = "mnuDeletedFiles",
     .enabled = Scanned},
    {.id = kClusterReport,
     .menu = MenuId::kReports,
     .text = "Report on Cluster's &File",
     .objectName = "mnuClusterReport",
     .keys = {Qt::Key_F1, kNoKey},
     .enabled = OwnerToReport},
    {.id = kHexDump,
     .menu = MenuId::kReports,
     .text = "&Hex Dump",
     .objectName = "mnuHexDump",
     .keys = {Qt::Key_F2, kNoKey},
     .enabled = ClusterToReport},
    {.id = kAllRecords,
     .menu = MenuId::kReports,
     .text = "&All Records",
     .objectName = "mnuAllRecords",
     .keys = {Qt::Key_F3, kNoKey},
     .enabled = OwnerToReport},
    // The View menu is filled again as it opens (the zoom levels follow the
    // volume): its commands' keys work with it closed.
    {.id = kZoomIn,
     .menu = MenuId::kView,
     .text = "Zoom &In",
     .objectName = "mnuZoomIn",
     .standardKey = Key::ZoomIn,
     .keys = {Qt::Key_Plus, Qt::Key_Equal},
     .windowWide = true},
    {.id = kZoomOut,
     .menu = MenuId::kView,
     .text = "Zoom &Out",
     .objectName = "mnuZoomOut",
     .standardKey = Key::ZoomOut,
     .windowWide = true},
    {.id = kActualSize,
     .menu = MenuId::kView,
     .text = "One &Cluster per Pixel",
     .objectName = "mnuActualSize",
     .keys = {Qt::CTRL | Qt::Key_1, kNoKey},
     .checkable = true,
     .separatorBefore = true,
     .windowWide = true},
    {.id = kFit,
     .menu = MenuId::kView,
     .text = "&Fit volume",
     .objectName = "mnuFit",
     .keys = {Qt::CTRL | Qt::Key_0, kNoKey},
     .checkable = true,
     .windowWide = true},
    {.id = kGoTo,
     .menu = MenuId::kView,
     .text = "&Go to Cluster...",
     .objectName = "mnuGoTo",
     .keys = {Qt::CTRL | Qt::Key_G, kNoKey},
     .separatorBefore = true,
     .windowWide = true},
    {.id = kNextExtent,
     .menu = MenuId::kView,
     .text = "&Next Extent",
     .objectName = "mnuNextExtent",
     .keys = {Qt::Key_F6, kNoKey},
     .windowWide = true},
    {.id = kPreviousExtent,
     .menu = MenuId::kView,
     .text = "&Previous Extent",
     .objectName = "mnuPreviousExtent",
     .keys = {Qt::SHIFT | Qt::Key_F6, kNoKey},
     .windowWide = true},
    {.id = kClearHighlight,
     .menu = MenuId::kView,
     .text = "C&lear Highlight",
     .objectName = "mnuClearHighlight"},
    {.id = kLightOwner,
     .menu = MenuId::kView,
     .text = "Light the Owner's F&ragments",
     .objectName = "mnuLightOwner",
     .checkable = true,
     .signal = Signal::kToggled},
    {.id = kHealthOverlay,
     .menu = MenuId::kView,
     .text = "&Health Overlay",
     .objectName = "mnuHealthOverlay",
     .keys = {Qt::CTRL | Qt::Key_H, kNoKey},
     .checkable = true,
     .separatorBefore = true,
     .windowWide = true,
     .signal = Signal::kToggled},
    {.id = kDamageOverlay,
     .menu = MenuId::kView,
     .text = "&Damage Overlay",
     .objectName = "mnuDamageOverlay",
     .checkable = true,
     .checked = true,
     .signal = Signal::kToggled,
     .enabled = DamageShown},
    // Says why it cannot act when no scan is shown.
    {.id = kDeletedRemains,
     .menu = MenuId::kView,
     .text = "Dele&ted Remains",
     .objectName = "mnuDeletedRemains",
     .checkable = true,
     .signal = Signal::kToggled},
    // View > Palette: today's colours, or colours that stay apart for the
    // common kinds of colour blindness; one of the two is ticked.
    {.id = kStandardPalette,
     .menu = MenuId::kPalette,
     .text = "&Standard",
     .objectName = "",
     .checkable = true,
     .checked = true},
    {.id = kSafePalette,
     .menu = MenuId::kPalette,
     .text = "&Colour-blind safe",
     .objectName = "mnuSafePalette",
     .checkable = true},
    {.id = kQuit, .menu = MenuId::kMenuBar, .text = "&Quit!", .objectName = "Quit1"},
    {.id = kKeys, .menu = MenuId::kHelp, .text = "&Keys and Mouse", .objectName = "mnuKeys"},
    {.id = kManual, .menu = MenuId::kHelp, .text = "&Manual", .objectName = "mnuManual"},
    {.id = kAbout,
     .menu = MenuId::kHelp,
     .text = "&About Lorvex",
     .objectName = "mnuAbout",
     .separatorBefore = true},
}};

constexpr bool InIdOrder() {
    for (std::size_t i = 0; i < kActions.size(); ++i) {
        if (static_cast<std::size_t>(kActions[i].id) != i) {
            return false;
        }
    }
    return true;
}
static_assert(InIdOrder(), "the table lists every command once, in the order of ActionId");

constexpr std::array<MenuEntry, kMenuCount - 1> kMenus{{
    {.id = MenuId::kFile, .parent = MenuId::kMenuBar, .text = "&File", .objectName = "mnuFile"},
    {.id = MenuId::kRecent,
     .parent = MenuId::kFile,
     .text = "Open &Recent",
     .objectName = "mnuRecent",
     .before = kSavePicture,
     .enabled = CanOpen},
    {.id = MenuId::kDrive, .parent = MenuId::kMenuBar, .text = "&Drive", .objectName = "mnuDrive"},
    {.id = MenuId::kTools, .parent = MenuId::kMenuBar, .text = "&Tools", .objectName = "mnuTools"},
    {.id = MenuId::kReports,
     .parent = MenuId::kMenuBar,
     .text = "&Reports",
     .objectName = "mnuReports"},
    {.id = MenuId::kView, .parent = MenuId::kMenuBar, .text = "&View", .objectName = "mnuView"},
    {.id = MenuId::kPalette,
     .parent = MenuId::kView,
     .text = "Pal&ette",
     .objectName = "mnuPalette"},
    {.id = MenuId::kHelp, .parent = MenuId::kMenuBar, .text = "&Help", .objectName = "mnuHelp"},
}};

} // namespace

std::span<const CommandEntry> ActionTable() {
    return kActions;
}

std::span<const MenuEntry> MenuTable() {
    return kMenus;
}

const CommandEntry& EntryOf(ActionId id) {
    return kActions[static_cast<std::size_t>(id)];
}

QList<QKeySequence> ShortcutsOf(const CommandEntry& entry) {
    QList<QKeySequence> keys;
    if (entry.standardKey != QKeySequence::UnknownKey) {
        // The platform's first binding alone, as the menu shows it.
        keys << QKeySequence(entry.standardKey);
    }
    for (const QKeyCombination key : entry.keys) {
        if (key.key() != Qt::Key_unknown) {
            keys << QKeySequence(key);
        }
    }
    return keys;
}

} // namespace lorvex::ui

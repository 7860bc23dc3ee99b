#pragma once

#include <QKeySequence>
#include <QList>

#include <array>
#include <cstddef>
#include <span>

// The main window's commands as one table: what each is called, where it
// sits, its keys and when it can act. The window builds its menus from the
// table and updates the commands' states from it; the tests read it to hold
// the menus to their letters and keys.
namespace lorvex::ui {

// Every command of the menus, in the order the menu bar shows them.
enum class ActionId : std::size_t {
    kOpen,
    kOpenRaw,
    kSavePicture,
    kLoadDamageMap,
    kQuitFile,
    kCloseDrive,
    kScan,
    kExport,
    kZoomWindow,
    kFind,
    kMark,
    kClearMark,
    kNextMarked,
    kFragmentationList,
    kVolumeCheck,
    kDeletedFiles,
    kClusterReport,
    kHexDump,
    kAllRecords,
    kZoomIn,
    kZoomOut,
    kActualSize,
    kFit,
    kGoTo,
    kNextExtent,
    kPreviousExtent,
    kClearHighlight,
    kLightOwner,
    kHealthOverlay,
    kDamageOverlay,
    kDeletedRemains,
    kStandardPalette,
    kSafePalette,
    kQuit,
    kKeys,
    kManual,
    kAbout,
    kCount
};

// The menus; kMenuBar holds the commands that sit on the bar itself.
enum class MenuId : std::size_t {
    kMenuBar,
    kFile,
    kRecent,
    kDrive,
    kTools,
    kReports,
    kView,
    kPalette,
    kHelp,
    kCount
};

inline constexpr std::size_t kActionCount = static_cast<std::size_t>(ActionId::kCount);
inline constexpr std::size_t kMenuCount = static_cast<std::size_t>(MenuId::kCount);

// What decides whether a command can act now.
struct CommandState {
    // No map is being read and no scan runs.
    bool idle = true;
    // The program can open sources, and close drives.
    bool canOpen = false;
    bool canClose = false;
    // A drive is shown, with its map; a scan of it has completed.
    bool driveShown = false;
    bool mapShown = false;
    bool scanned = false;
    bool damageLoaded = false;
    // The Reports menu is open: its items grey out what has nothing to act
    // on (the cursor off the scanned volume, or on a cluster no file owns).
    bool reportsMenuOpen = false;
    bool cursorOnCluster = false;
    bool cursorOwned = false;
};

using EnabledWhen = bool (*)(const CommandState&);

// How a command is told to the window: once per choice, or each time its
// tick changes (by the user or by the window itself).
enum class Signal { kTriggered, kToggled };

struct CommandEntry {
    ActionId id;
    MenuId menu;
    // The caption with its mnemonic, and the object name the tests and the
    // settings know it by.
    const char* text;
    const char* objectName;
    // Its keys: this platform's own for a standard command, then fixed
    // ones (Qt::Key_unknown where there is none).
    QKeySequence::StandardKey standardKey = QKeySequence::UnknownKey;
    std::array<QKeyCombination, 2> keys{};
    bool checkable = false;
    bool checked = false;
    // A line above it in its menu.
    bool separatorBefore = false;
    // Its keys work with its menu closed, from anywhere in the window: the
    // commands of menus that are filled again each time they open.
    bool windowWide = false;
    Signal signal = Signal::kTriggered;
    // Null: always enabled.
    EnabledWhen enabled = nullptr;
};

struct MenuEntry {
    MenuId id;
    MenuId parent;
    const char* text;
    const char* objectName;
    // The command it is put before in its parent (kCount: after them all).
    ActionId before = ActionId::kCount;
    EnabledWhen enabled = nullptr;
};

// The tables, in the order the menu bar shows them.
[[nodiscard]] std::span<const CommandEntry> ActionTable();
[[nodiscard]] std::span<const MenuEntry> MenuTable();
[[nodiscard]] const CommandEntry& EntryOf(ActionId id);
// Every key of a command, a standard one as this platform first binds it.
[[nodiscard]] QList<QKeySequence> ShortcutsOf(const CommandEntry& entry);

} // namespace lorvex::ui

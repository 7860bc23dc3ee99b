// What the window's commands say and remember: the version and help of the
// program, sources it cannot show, Close Drive, the Help menu's pages, the
// reasons a command that cannot act gives, and every menu's mnemonics.
#include "ntfs/ClusterMap.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"
#include "ui/LorvexWindows.h"
#include "ui/MainWindowActions.h"
#include "ui/UiTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QTextBrowser>
#include <QToolBar>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

using lorvex::platform::RawVolumeSystem;
using lorvex::ui::ActionId;
using lorvex::ui::CommandEntry;
using lorvex::ui::MainWindow;
using lorvex::ui::MenuId;
using lorvex::ui::TLorvexWindows;
namespace fs = std::filesystem;

// One set of windows over a set of sources, with the messages it would box.
struct Session {
    explicit Session(const std::vector<std::string>& sources)
        : system(std::make_unique<RawVolumeSystem>(sources)),
          windows(std::make_unique<TLorvexWindows>(*system)), form(windows->Form1) {
        lorvex::ui::TUserNotices notices;
        notices.beep = [] {};
        notices.message = [this](const QString&, const QString& text) { messages << text; };
        form.SetUserNotices(notices);
        form.show();
    }
    std::unique_ptr<RawVolumeSystem> system;
    std::unique_ptr<TLorvexWindows> windows;
    MainWindow& form;
    QStringList messages;
};

// The letters a menu's items are opened with, with what repeats one.
QStringList MnemonicClashes(const QString& where, const QList<QAction*>& items) {
    QStringList clashes;
    QMap<QChar, QString> taken;
    for (QAction* item : items) {
        const QString text = item->text();
        for (qsizetype i = text.indexOf('&'); i >= 0 && i + 1 < text.size();
             i = text.indexOf('&', i + 2)) {
            if (text[i + 1] == '&') {
                continue;
            }
            const QChar letter = text[i + 1].toLower();
            if (taken.contains(letter)) {
                clashes << QString("%1: '%2' in \"%3\" and \"%4\"")
                               .arg(where, letter, taken[letter], text);
            }
            taken[letter] = text;
            break;
        }
        if (item->menu() != nullptr) {
            Q_EMIT item->menu()->aboutToShow();
            clashes << MnemonicClashes(where + " > " + text, item->menu()->actions());
        }
    }
    return clashes;
}

// The letter an item's caption underlines, or a null character.
QChar Mnemonic(const QString& text) {
    for (qsizetype i = text.indexOf('&'); i >= 0 && i + 1 < text.size();
         i = text.indexOf('&', i + 2)) {
        if (text[i + 1] != '&') {
            return text[i + 1].toLower();
        }
    }
    return {};
}

// The commands whose state follows the drive shown and the work on it.
struct Expected {
    ActionId id;
    bool noDrive;
    bool working;
    bool scanned;
};
constexpr std::array kFollowTheDrive{
    Expected{ActionId::kOpen, true, false, true},
    Expected{ActionId::kOpenRaw, true, false, true},
    Expected{ActionId::kScan, true, false, true},
    Expected{ActionId::kCloseDrive, false, false, true},
    Expected{ActionId::kExport, false, false, true},
    Expected{ActionId::kFind, false, false, true},
    Expected{ActionId::kFragmentationList, false, false, true},
    Expected{ActionId::kVolumeCheck, false, false, true},
    Expected{ActionId::kLoadDamageMap, false, false, true},
    // Until a damage map is loaded there is nothing to lay over the map.
    Expected{ActionId::kDamageOverlay, false, false, false},
    // Their keys say why when there is nothing to act on.
    Expected{ActionId::kMark, true, true, true},
    Expected{ActionId::kClusterReport, true, true, true},
    Expected{ActionId::kFit, true, true, true},
};

// Which of kFollowTheDrive are not as expected, by name.
QStringList StatesOff(const MainWindow& f, bool Expected::*when, bool recentMenu) {
    QStringList off;
    for (const Expected& e : kFollowTheDrive) {
        if (f.Action(e.id)->isEnabled() != e.*when) {
            off << f.Action(e.id)->objectName();
        }
    }
    if (f.Menu(MenuId::kRecent)->isEnabled() != recentMenu) {
        off << "mnuRecent";
    }
    return off;
}

class WindowCommandsTest : public QObject {
    Q_OBJECT

    fs::path small_ = lorvex::test::VolumeDir() / "ntfs-4k.img";
    fs::path fat_ = lorvex::test::VolumeDir() / "fat.img";

  private slots:
    void initTestCase() {
        if (!fs::exists(small_) || !fs::exists(fat_)) {
            QSKIP("the test volumes have not been generated");
        }
    }

    // The program answers --version and --help on standard output, with
    // status 0, without a display.
    void versionAndHelpPrintAndExitZero() {
        const QString program = QString::fromLocal8Bit(qgetenv("LORVEX"));
        QVERIFY(!program.isEmpty());
        for (const QString& option : {QString("--version"), QString("--help")}) {
            QProcess lorvex;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.remove("DISPLAY");
            environment.remove("WAYLAND_DISPLAY");
            environment.remove("QT_QPA_PLATFORM");
            lorvex.setProcessEnvironment(environment);
            lorvex.start(program, {option});
            QVERIFY(lorvex.waitForFinished(30000));
            QCOMPARE(lorvex.exitStatus(), QProcess::NormalExit);
            QCOMPARE(lorvex.exitCode(), 0);
            const QString out = QString::fromUtf8(lorvex.readAllStandardOutput());
            if (option == "--version") {
                QVERIFY2(out.startsWith("Lorvex ") && out.contains("\nQt " + QString(qVersion())) &&
                             out.contains("\nlibewf ") && out.contains("\nlibblkid ") &&
                             out.contains("\nlibdeflate "),
                         qPrintable(out));
            } else {
                QVERIFY2(out.startsWith("Usage: lorvex") && out.contains("--version"),
                         qPrintable(out));
            }
        }
    }

    // A text file and a FAT volume are no drive: the window names the file
    // and the reason, as lorvex-scan does, and keeps neither in Open Recent;
    // at the start the same sources are left out with the same words.
    void aSourceThatCannotBeShownIsNamedAndBecomesNoDrive() {
        const fs::path text = lorvex::test::TempPath("lorvex-not-a-volume.txt");
        {
            std::ofstream lines(text);
            for (int i = 0; i < 64; ++i) {
                lines << "user" << i << ":x:" << 1000 + i << ":100::/home/user:/bin/sh\n";
            }
        }
        Session s({small_.string()});
        MainWindow& f = s.form;
        QSettings().remove("recentSources");
        const QString textPath = QString::fromStdString(text.string());
        const QString fatPath = QString::fromStdString(fat_.string());
        QVERIFY(!f.OpenSources({textPath, fatPath}));
        QCOMPARE(s.messages.size(), 1);
        QVERIFY2(s.messages.front().startsWith("Cannot open " + textPath +
                                               ": no file system recognised\n" + fatPath + ": FAT"),
                 qPrintable(s.messages.front()));
        QVERIFY2(s.messages.front().endsWith(", not NTFS"), qPrintable(s.messages.front()));
        QCOMPARE(f.DriveActions().size(), 1);
        QCOMPARE(s.system->drives().size(), std::size_t{1});
        QVERIFY(QSettings().value("recentSources").toStringList().isEmpty());

        RawVolumeSystem start({text.string(), small_.string(), fat_.string()});
        const std::vector<lorvex::ui::RefusedSource> refused =
            lorvex::ui::CloseSourcesWithoutNtfs(start);
        QCOMPARE(refused.size(), std::size_t{2});
        QCOMPARE(refused[0].source, text.string());
        QCOMPARE(refused[0].why, std::string("no file system recognised"));
        QVERIFY(refused[1].why.starts_with("FAT") && refused[1].why.ends_with(", not NTFS"));
        QCOMPARE(start.drives().size(), std::size_t{1});
        QCOMPARE(start.drives()[0].Root(), std::string("D:\\"));
        // Closed, a source is still one no report may be written over.
        QVERIFY(start.OpenWriteTarget(text.string()).refused);
        fs::remove(text);
    }

    // Drive > Close Drive takes the drive shown out of the menu and the
    // window; its letter is the next source's.
    void aDriveCanBeClosed() {
        Session s({small_.string()});
        MainWindow& f = s.form;
        QVERIFY(!f.Action(ActionId::kCloseDrive)->isEnabled());
        f.DriveActions().front()->trigger();
        QVERIFY(lorvex::test::WorkEnded(f));
        QVERIFY(f.IsScanned());
        QVERIFY(f.Menu(MenuId::kDrive)->actions().contains(f.Action(ActionId::kCloseDrive)));
        QVERIFY(f.Action(ActionId::kCloseDrive)->isEnabled());
        f.Action(ActionId::kCloseDrive)->trigger();
        QVERIFY(f.DriveActions().isEmpty());
        QVERIFY(f.FDriveRoot.empty() && !f.IsScanned() && !f.Model());
        QCOMPARE(f.windowTitle(), QString("Lorvex"));
        QCOMPARE(f.StatusText(), QString("Drive C:\\ closed."));
        QVERIFY(!f.Action(ActionId::kExport)->isEnabled() &&
                !f.Action(ActionId::kCloseDrive)->isEnabled());
        QVERIFY(f.OpenSources({QString::fromStdString(small_.string())}));
        QVERIFY(lorvex::test::WorkEnded(f));
        QCOMPARE(f.FDriveRoot, std::string("C:\\"));
        QVERIFY(f.IsScanned());
    }

    // A command that cannot act says why in the status bar.
    void aCommandThatCannotActSaysWhy() {
        Session s({small_.string()});
        MainWindow& f = s.form;
        f.Action(ActionId::kSavePicture)->trigger();
        QVERIFY2(f.HoverText().startsWith("No map to save"), qPrintable(f.HoverText()));
        f.Action(ActionId::kMark)->trigger();
        QVERIFY2(f.HoverText().startsWith("Nothing to mark"), qPrintable(f.HoverText()));
        f.Action(ActionId::kClusterReport)->trigger();
        QVERIFY2(f.HoverText().startsWith("No scanned drive"), qPrintable(f.HoverText()));

        f.DriveActions().front()->trigger();
        QVERIFY(lorvex::test::WorkEnded(f));
        QVERIFY(f.IsScanned());
        std::int64_t free = 0;
        while (lorvex::ntfs::FindClusterOwner(f.Scan()->clusters, free) >= 0) {
            ++free;
        }
        QVERIFY(free < f.FTotalClusters);
        f.GoToCluster(free);
        const QString named = f.HoverText();
        Q_EMIT f.Menu(MenuId::kReports)->aboutToShow();
        QVERIFY(!f.Action(ActionId::kClusterReport)->isEnabled() &&
                !f.Action(ActionId::kAllRecords)->isEnabled());
        QVERIFY(f.Action(ActionId::kHexDump)->isEnabled());
        Q_EMIT f.Menu(MenuId::kReports)->aboutToHide();
        QVERIFY(f.Action(ActionId::kClusterReport)->isEnabled());
        // Opening the menu only greys its items: the status bar says what it said.
        QCOMPARE(f.HoverText(), named);
        for (QAction* report :
             {f.Action(ActionId::kAllRecords), f.Action(ActionId::kClusterReport)}) {
            report->trigger();
            QCOMPARE(f.HoverText(), "No file owns cluster " + QString::number(free) +
                                        ": there is no file to report on.");
            QVERIFY(!s.windows->frm_Info.isVisible());
        }
        f.Action(ActionId::kHexDump)->trigger();
        QVERIFY(s.windows->frm_Info.isVisible());
    }

    // Help > Keys and Mouse, Manual and About Lorvex each open a page.
    void theHelpMenuShowsItsPages() {
        Session s({small_.string()});
        MainWindow& f = s.form;
        const auto page = [&f](const char* name) {
            auto* dialog = f.findChild<QDialog*>(name);
            return dialog != nullptr && dialog->isVisible()
                       ? dialog->findChild<QTextBrowser*>()->toPlainText()
                       : QString();
        };
        f.Action(ActionId::kKeys)->trigger();
        const QString keys = page("KeysAndMouse");
        for (const char* key : {"F1", "F2", "F3", "Ctrl+G", "Ctrl+K", "F5", "Shift+F10"}) {
            QVERIFY2(keys.contains(key), key);
        }
        f.Action(ActionId::kAbout)->trigger();
        const QString about = page("AboutLorvex");
        QVERIFY2(about.contains("Lorvex ") && about.contains(qVersion()) &&
                     about.contains("libewf") && about.contains("libblkid") &&
                     about.contains("libdeflate"),
                 qPrintable(about));
        f.Action(ActionId::kManual)->trigger();
        QVERIFY(page("Manual").contains("Lorvex"));
        // Asked for again, the page is the same window.
        f.Action(ActionId::kAbout)->trigger();
        QCOMPARE(f.findChildren<QDialog*>("AboutLorvex").size(), 1);
    }

    // The window's size, its legend bar and the palette come back in the
    // next run, and so does the last dialog's folder while it is there; all
    // in the tests' own settings store.
    void theWindowAndItsPaletteAreRemembered() {
        QVERIFY(QSettings().fileName().contains("qttest"));
        QSettings().clear();
        {
            Session s({small_.string()});
            s.form.resize(640, 480);
            s.form.SetSafePalette(true);
            s.form.FLegend->toggleViewAction()->trigger();
            QVERIFY(s.form.FLegend->isHidden());
            s.form.close();
        }
        Session again({small_.string()});
        QCOMPARE(again.form.size(), QSize(640, 480));
        QVERIFY(again.form.Action(ActionId::kSafePalette)->isChecked());
        QVERIFY(again.form.FLegend->isHidden());

        const fs::path folder = lorvex::test::TempPath("lorvex-last-folder");
        fs::create_directories(folder);
        again.form.RememberFolder(QString::fromStdString((folder / "disk.img").string()));
        QCOMPARE(again.form.LastFolder(), QString::fromStdString(folder.string()));
        fs::remove_all(folder);
        QCOMPARE(again.form.LastFolder(), QDir::homePath());
        QSettings().clear();
    }

    // The table of commands: every command has a letter of its own within
    // its menu (the menus' own among them) and a key no other command has;
    // the window's actions carry the table's captions, names and keys.
    void theTableGivesEachCommandItsOwnLetterAndKeys() {
        QMap<MenuId, QMap<QChar, QString>> letters;
        QMap<QString, QString> keys;
        QStringList clashes;
        const auto take = [&](MenuId menu, const QString& text) {
            const QChar letter = Mnemonic(text);
            if (letter.isNull() || letters[menu].contains(letter)) {
                clashes << QString("\"%1\" after \"%2\"").arg(text, letters[menu].value(letter));
            }
            letters[menu][letter] = text;
        };
        for (const lorvex::ui::MenuEntry& menu : lorvex::ui::MenuTable()) {
            take(menu.parent, menu.text);
        }
        Session s({small_.string()});
        for (const CommandEntry& entry : lorvex::ui::ActionTable()) {
            take(entry.menu, entry.text);
            for (const QKeySequence& key : lorvex::ui::ShortcutsOf(entry)) {
                const QString name = key.toString();
                if (name.isEmpty()) {
                    continue;
                }
                if (keys.contains(name)) {
                    clashes << QString("%1 for %2 and %3").arg(name, keys[name], entry.text);
                }
                keys[name] = entry.text;
            }
            const QAction* item = s.form.Action(entry.id);
            QVERIFY(item != nullptr);
            QCOMPARE(item->text(), QString(entry.text));
            QCOMPARE(item->objectName(), QString(entry.objectName));
            QCOMPARE(item->shortcuts(), lorvex::ui::ShortcutsOf(entry));
        }
        QVERIFY2(clashes.isEmpty(), qPrintable(clashes.join("\n")));
        // The keys the table names are the ones the window answers.
        QCOMPARE(s.form.Action(ActionId::kZoomIn)->shortcuts().size(), 3);
        QVERIFY(keys.contains("F5") && keys.contains("Ctrl+W") && keys.contains("Shift+F6"));
    }

    // The commands are enabled as the drive shown allows: opening with no
    // drive, the tables' commands once a scan has ended, none that would
    // start other work while a map is read; closing the drive goes back.
    void commandsFollowTheDriveShown() {
        Session s({small_.string()});
        MainWindow& f = s.form;
        QVERIFY2(StatesOff(f, &Expected::noDrive, true).isEmpty(),
                 qPrintable(StatesOff(f, &Expected::noDrive, true).join(", ")));
        f.DriveActions().front()->trigger();
        QVERIFY(f.IsScanning());
        QVERIFY2(StatesOff(f, &Expected::working, false).isEmpty(),
                 qPrintable(StatesOff(f, &Expected::working, false).join(", ")));
        QVERIFY(!f.DriveActions().front()->isEnabled());
        QVERIFY(lorvex::test::WorkEnded(f));
        QVERIFY2(StatesOff(f, &Expected::scanned, true).isEmpty(),
                 qPrintable(StatesOff(f, &Expected::scanned, true).join(", ")));
        QVERIFY(f.DriveActions().front()->isEnabled());
        f.Action(ActionId::kCloseDrive)->trigger();
        QVERIFY2(StatesOff(f, &Expected::noDrive, true).isEmpty(),
                 qPrintable(StatesOff(f, &Expected::noDrive, true).join(", ")));
    }

    // Every menu, the menu bar's included, opens each item by a letter of
    // its own.
    void everyMenuHasUniqueMnemonics() {
        Session s({small_.string()});
        s.form.DriveActions().front()->trigger();
        QVERIFY(lorvex::test::WorkEnded(s.form));
        const QStringList clashes = MnemonicClashes("menu bar", s.form.menuBar()->actions());
        QVERIFY2(clashes.isEmpty(), qPrintable(clashes.join("\n")));
    }
};

} // namespace

int main(int argc, char** argv) {
    return lorvex::test::RunWindowTest<WindowCommandsTest>(argc, argv, "LorvexWindowCommandTests");
}

#include "WindowCommandsTest.moc"

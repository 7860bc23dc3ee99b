// BitLocker drives in the window, on the offscreen platform: the Drive menu
// names them, choosing a locked one asks for its key until one opens it, and
// giving up or a volume that cannot be opened says it is BitLocker's.
#include "platform/RawVolumeSystem.h"
#include "ui/BitLockerDialog.h"
#include "ui/LorvexWindows.h"
#include "ui/UiTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include <filesystem>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using lorvex::platform::RawVolumeSystem;
using lorvex::ui::TBitLockerDialog;
using lorvex::ui::TBitLockerFacts;
using lorvex::ui::TLorvexWindows;

fs::path Image(const char* name) {
    return fs::path(LORVEX_BITLOCKER_VOLUMES) / "bitlocker" / (std::string(name) + ".img");
}

// The windows over one image, with the key asked for by a script of
// answers: each is tried in turn through the window's own unlocking.
struct Session {
    explicit Session(const fs::path& image)
        : system(std::make_unique<RawVolumeSystem>(std::vector{image.string()})),
          windows(std::make_unique<TLorvexWindows>(*system)), form(windows->Form1) {
        lorvex::ui::TUserNotices notices;
        notices.beep = [] {};
        notices.message = [this](const QString&, const QString& text) { messages << text; };
        notices.askKey = [this](const QString&, const TBitLockerFacts& facts,
                                const TBitLockerDialog::TryKey& tryKey) {
            asked << facts.cipher + "; " + facts.protectors;
            for (const QString& answer : answers) {
                lorvex::platform::BitLockerKey key;
                std::string why;
                const QByteArray text = answer.toUtf8();
                if (!lorvex::platform::KeyFromText(text.toStdString(), key, why)) {
                    continue;
                }
                const QString problem = tryKey(key);
                tried << problem;
                if (problem.isEmpty()) {
                    return true;
                }
            }
            return false;
        };
        form.SetUserNotices(notices);
        form.show();
    }
    QString DriveCaption() const {
        const auto actions = form.DriveActions();
        return actions.isEmpty() ? QString() : actions.front()->text();
    }
    void ChooseDrive() {
        form.findChild<QAction*>("DRIVE_C")->trigger();
        // The scan of what was unlocked runs on; its end is waited for.
        QTRY_VERIFY_WITH_TIMEOUT(!form.IsScanning(), 60000);
        QCoreApplication::processEvents();
    }

    std::unique_ptr<RawVolumeSystem> system;
    std::unique_ptr<TLorvexWindows> windows;
    lorvex::ui::MainWindow& form;
    QStringList answers;
    QStringList asked;
    QStringList tried;
    QStringList messages;
};

class BitLockerWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        if (!fs::exists(Image("bitlk-aes-xts-128"))) {
            QSKIP("the BitLocker volumes have not been unpacked");
        }
    }

    void lockedDriveAsksForItsKeyUntilOneOpensIt() {
        Session s(Image("bitlk-aes-xts-128"));
        QCOMPARE(s.DriveCaption(), QString("C:   [BitLocker, locked]"));
        s.answers = {"not the password", "anaconda"};
        s.ChooseDrive();
        QCOMPARE(s.asked, QStringList{"AES-XTS 128; password, recovery password"});
        QCOMPARE(s.tried, (QStringList{"the password does not unlock it", ""}));
        // Unlocked: the map of what it holds, and the menu says so.
        QVERIFY(s.form.Model() != nullptr);
        QCOMPARE(s.DriveCaption(), QString("C:   [BitLocker]"));
        // Chosen again, it is not asked for again.
        s.ChooseDrive();
        QCOMPARE(s.asked.size(), 1);
        // The key is nowhere in the settings (the recent sources among them).
        QSettings settings;
        for (const QString& key : settings.allKeys()) {
            QVERIFY(!settings.value(key).toString().contains("anaconda"));
        }
    }

    void givingUpOrAVolumeThatCannotOpenSaysItIsBitLocker() {
        Session locked(Image("bitlk-aes-xts-128-smart-card"));
        locked.ChooseDrive();
        QCOMPARE(locked.asked.size(), 1);
        QVERIFY(locked.form.Model() == nullptr);
        QCOMPARE(
            locked.messages,
            QStringList{"Drive C:\\ (bitlk-aes-xts-128-smart-card.img) read as raw volume image "
                        "cannot be shown: it is encrypted with BitLocker (protected by: smart "
                        "card, recovery password), and no key was given that opens it."});

        // Encryption left part way: nothing to ask, the reason given.
        Session partial(Image("bitlk-partially-encrypted-aes-cbc-128"));
        partial.ChooseDrive();
        QVERIFY(partial.asked.isEmpty());
        QCOMPARE(partial.messages.size(), 1);
        QVERIFY2(partial.messages.front().contains(
                     "it is encrypted with BitLocker, and its encryption was left part way"),
                 qPrintable(partial.messages.front()));

        // Protection suspended: opens without asking.
        Session clear(Image("bitlk-aes-xts-128-clearkey-only"));
        QCOMPARE(clear.DriveCaption(), QString("C:   [BitLocker]"));
        clear.ChooseDrive();
        QVERIFY(clear.asked.isEmpty());
        QVERIFY(clear.form.Model() != nullptr);
    }

    void dialogSaysWhatIsWrongAndEmptiesItsField() {
        int tries = 0;
        TBitLockerFacts facts{true, true, "AES-XTS 128", "password, recovery password", {}};
        TBitLockerDialog dialog(nullptr, "C:\\", facts, [&tries](const auto& key) {
            ++tries;
            return key.kind == lorvex::platform::BitLockerKey::Kind::RecoveryPassword
                       ? QString()
                       : QString("the password does not unlock it");
        });
        dialog.KeyField()->setText("wrong");
        dialog.TryText(dialog.KeyField()->text());
        QCOMPARE(dialog.Problem(),
                 QString("The password does not unlock it. Try again, or Cancel."));
        QVERIFY(dialog.KeyField()->text().isEmpty());
        QCOMPARE(dialog.KeyField()->echoMode(), QLineEdit::Password);
        QCOMPARE(dialog.result(), 0);

        // A key that is no key is said so, without trying it.
        dialog.TryText("");
        QCOMPARE(dialog.Problem(), QString("The key typed: empty."));
        dialog.TryText("235818-357951-253979-013365-241120-245575-342914-591911");
        QCOMPARE(dialog.Problem(), QString("The key typed: a recovery password whose group 8 does "
                                           "not check (a digit mistyped?)."));
        const fs::path fifo = fs::temp_directory_path() / "lorvex-dialog-fifo";
        fs::remove(fifo);
        QCOMPARE(mkfifo(fifo.c_str(), 0600), 0);
        dialog.TryFile(QString::fromStdString(fifo.string()));
        fs::remove(fifo);
        QCOMPARE(dialog.Problem(), QString("lorvex-dialog-fifo: not a regular file: a key is read "
                                           "from a file only."));
        QCOMPARE(tries, 1);

        dialog.TryText("235818-357951-253979-013365-241120-245575-342914-591910");
        QCOMPARE(tries, 2);
        QCOMPARE(dialog.result(), static_cast<int>(QDialog::Accepted));
    }
};

} // namespace

int main(int argc, char** argv) {
    return lorvex::test::RunWindowTest<BitLockerWindowTest>(argc, argv,
                                                            "LorvexBitLockerWindowTests");
}

#include "BitLockerWindowTest.moc"

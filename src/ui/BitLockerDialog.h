#pragma once

#include "platform/BitLockerKey.h"

#include <QDialog>
#include <QString>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace lorvex::ui {

// What the window knows of a drive that holds a BitLocker volume, for the
// Drive menu and the unlock dialog.
struct TBitLockerFacts {
    bool bitLocker = false; // the drive holds a BitLocker volume
    bool locked = false;
    QString cipher;     // "AES-XTS 128"
    QString protectors; // "password, recovery password"
    // Why it cannot be opened whatever the key (its metadata cannot be read,
    // its encryption was left part way); empty when a key could open it.
    QString why;
};

// Asks for the key of a locked BitLocker drive: a password or a recovery
// password typed (told apart by its form), or a startup key file (.BEK)
// chosen. Each key is tried as it is given; a wrong one is said so in the
// dialog, which stays open for another until one opens the drive or the user
// gives up. The key goes nowhere but to `tryKey`: the field is emptied as
// soon as it has been read, and nothing of it is kept.
class TBitLockerDialog : public QDialog {
    Q_OBJECT

  public:
    // Empty when the key opened the drive, else why not.
    using TryKey = std::function<QString(const platform::BitLockerKey& key)>;

    TBitLockerDialog(QWidget* parent, const QString& drive, const TBitLockerFacts& facts,
                     TryKey tryKey);

    // What the user does, as the buttons do it (the tests drive these).
    void TryText(const QString& text);
    void TryFile(const QString& path);

    [[nodiscard]] QLineEdit* KeyField() const { return FKey; }
    [[nodiscard]] QString Problem() const;

  private:
    void TryKeyOf(const QString& what,
                  const std::function<bool(platform::BitLockerKey&, std::string&)>& read);
    void ChooseFile();

    TryKey FTryKey;
    QLineEdit* FKey = nullptr;
    QLabel* FProblem = nullptr;
    QPushButton* FUnlock = nullptr;
};

// The dialog as the window shows it: modal over `parent`; true when a key
// opened the drive.
bool AskBitLockerKey(QWidget* parent, const QString& drive, const TBitLockerFacts& facts,
                     const TBitLockerDialog::TryKey& tryKey);

} // namespace lorvex::ui

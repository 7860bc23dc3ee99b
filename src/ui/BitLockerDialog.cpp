#include "ui/BitLockerDialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace lorvex::ui {

TBitLockerDialog::TBitLockerDialog(QWidget* parent, const QString& drive,
                                   const TBitLockerFacts& facts, TryKey tryKey)
    : QDialog(parent), FTryKey(std::move(tryKey)) {
    setWindowTitle(QString("Unlock %1").arg(drive));
    setObjectName("BitLockerDialog");
    auto* layout = new QVBoxLayout(this);
    auto* about =
        new QLabel(QString("Drive %1 is encrypted with BitLocker (%2), protected by: %3.\n"
                           "Enter its password or its 48-digit recovery password, or "
                           "choose its startup key file (.BEK).")
                       .arg(drive, facts.cipher, facts.protectors),
                   this);
    about->setWordWrap(true);
    // Wide enough for the text in a few lines; the dialog grows to fit it,
    // and again when a problem is said.
    about->setMinimumWidth(460);
    layout->addWidget(about);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    auto* row = new QHBoxLayout();
    FKey = new QLineEdit(this);
    FKey->setObjectName("BitLockerKey");
    // Typed, never shown, and kept out of the clipboard.
    FKey->setEchoMode(QLineEdit::Password);
    FKey->setPlaceholderText("Password or recovery password");
    row->addWidget(FKey, 1);
    auto* file = new QPushButton("Key File...", this);
    file->setObjectName("BitLockerKeyFile");
    row->addWidget(file);
    layout->addLayout(row);

    FProblem = new QLabel(this);
    FProblem->setObjectName("BitLockerProblem");
    FProblem->setWordWrap(true);
    FProblem->setStyleSheet("color: #b00000");
    FProblem->hide();
    layout->addWidget(FProblem);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    FUnlock = buttons->addButton("Unlock", QDialogButtonBox::AcceptRole);
    FUnlock->setDefault(true);
    layout->addWidget(buttons);

    connect(file, &QPushButton::clicked, this, [this] { ChooseFile(); });
    connect(FUnlock, &QPushButton::clicked, this, [this] { TryText(FKey->text()); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QString TBitLockerDialog::Problem() const {
    return FProblem->isHidden() ? QString() : FProblem->text();
}

void TBitLockerDialog::TryKeyOf(
    const QString& what, const std::function<bool(platform::BitLockerKey&, std::string&)>& read) {
    platform::BitLockerKey key;
    std::string why;
    const bool readable = read(key, why);
    // Nothing of the text stays in the field once it has been read.
    FKey->clear();
    QString problem;
    if (!readable) {
        problem = what + ": " + QString::fromStdString(why) + ".";
    } else {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        problem = FTryKey(key);
        QApplication::restoreOverrideCursor();
        if (problem.isEmpty()) {
            accept();
            return;
        }
        problem[0] = problem[0].toUpper();
        problem += ". Try again, or Cancel.";
    }
    FProblem->setText(problem);
    FProblem->show();
    FKey->setFocus();
}

void TBitLockerDialog::TryText(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    TryKeyOf("The key typed", [&utf8](platform::BitLockerKey& key, std::string& why) {
        return platform::KeyFromText(
            std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())), key, why);
    });
    // The copy made here is wiped; the key lives on only in what it opened.
    utf8.fill('\0');
}

void TBitLockerDialog::TryFile(const QString& path) {
    const std::string name = QFile::encodeName(path).toStdString();
    TryKeyOf(QFileInfo(path).fileName(), [&name](platform::BitLockerKey& key, std::string& why) {
        return platform::ReadKeyFile(name, key, why);
    });
}

void TBitLockerDialog::ChooseFile() {
    const QString path = QFileDialog::getOpenFileName(
        this, "Startup Key or Key File", QString(),
        "Startup keys (*.BEK *.bek);;Text files (*.txt);;All files (*)");
    if (!path.isEmpty()) {
        TryFile(path);
    }
}

bool AskBitLockerKey(QWidget* parent, const QString& drive, const TBitLockerFacts& facts,
                     const TBitLockerDialog::TryKey& tryKey) {
    TBitLockerDialog dialog(parent, drive, facts, tryKey);
    return dialog.exec() == QDialog::Accepted;
}

} // namespace lorvex::ui

#include "ui/InfoWindow.h"

#include "ntfs/Export.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFont>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QTextCursor>
#include <QToolBar>
#include <QVBoxLayout>

#include <unistd.h>

#include <cerrno>

namespace lorvex::ui {

namespace {

// Writes all of `bytes` to `fd`; the errno of a failure, else 0.
int WriteAll(int fd, const QByteArray& bytes) {
    const char* at = bytes.constData();
    auto left = static_cast<std::size_t>(bytes.size());
    while (left > 0) {
        const ssize_t written = ::write(fd, at, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        at += written;
        left -= static_cast<std::size_t>(written);
    }
    return 0;
}

} // namespace

Tfrm_Info::Tfrm_Info(QWidget* mainWindow) : QWidget(mainWindow, Qt::Window) {
    setObjectName("frm_Info");
    resize(702, 371);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QFont font("Courier New");
    font.setStyleHint(QFont::TypeWriter);
    font.setPixelSize(11);
    Memo1->setFont(font);
    // The standard tab stops of a text box: every eight average characters.
    Memo1->setTabStopDistance(8 * Memo1->fontMetrics().horizontalAdvance(QChar('x')));
    Memo1->installEventFilter(this);

    tbReport = new QToolBar(this);
    tbReport->setObjectName("tbReport");
    tbReport->setToolButtonStyle(Qt::ToolButtonTextOnly);
    tbReport->setIconSize(QSize(1, 1));
    const auto command = [this](const QString& text, const QString& tip, const QKeySequence& keys) {
        auto* action = new QAction(text, this);
        action->setToolTip(
            keys.isEmpty() ? tip : tip + " (" + keys.toString(QKeySequence::NativeText) + ")");
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        tbReport->addAction(action);
        addAction(action);
        return action;
    };
    actSaveAs = command("Save as...", "Save the report to a text file", QKeySequence::Save);
    actCopy = command("Copy", "Copy the selection, or the whole report", QKeySequence::Copy);
    tbReport->addSeparator();
    actShowOnMap = command("Show on map", "Show the report's file on the map", {});
    actKeepOpen = command("Keep open", "Keep this report on screen; the next opens apart", {});
    tbReport->addSeparator();
    actPreviousCluster =
        command("Previous cluster", "The hex dump of the cluster before", Qt::Key_PageUp);
    actNextCluster = command("Next cluster", "The hex dump of the cluster after", Qt::Key_PageDown);
    connect(actSaveAs, &QAction::triggered, this, [this] { SaveAs(); });
    connect(actCopy, &QAction::triggered, this, [this] { CopyReport(); });
    connect(actShowOnMap, &QAction::triggered, this, [this] { ShowOnMap(); });
    connect(actKeepOpen, &QAction::triggered, this, [this] { KeepOpen(); });
    connect(actPreviousCluster, &QAction::triggered, this, [this] { PreviousCluster(); });
    connect(actNextCluster, &QAction::triggered, this, [this] { NextCluster(); });

    // Anchored on all four sides: left 8, top 8, and 689 x 353 of 702 x 371,
    // less the bar above the text.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 2, 5, 10);
    layout->setSpacing(2);
    layout->addWidget(tbReport);
    layout->addWidget(Memo1);
    UpdateCommands();
}

void Tfrm_Info::ClearReport() {
    Memo1->clear();
    FFileIndex = -1;
    FHexCluster = -1;
    FClusterCount = 0;
    UpdateCommands();
}

void Tfrm_Info::SetReportCaption(const QString& caption) {
    setWindowTitle(caption);
}

void Tfrm_Info::AppendLine(const QString& line) {
    Memo1->appendPlainText(line);
}

void Tfrm_Info::SetReportFile(std::int64_t fileIndex) {
    FFileIndex = fileIndex;
    UpdateCommands();
}

void Tfrm_Info::SetHexDumpCluster(std::int64_t lcn, std::int64_t clusterCount) {
    FHexCluster = lcn;
    FClusterCount = clusterCount;
    UpdateCommands();
}

void Tfrm_Info::UpdateCommands() {
    const bool hex = FHexCluster >= 0;
    actPreviousCluster->setVisible(hex);
    actNextCluster->setVisible(hex);
    actPreviousCluster->setEnabled(hex && FHexCluster > 0);
    actNextCluster->setEnabled(hex && FHexCluster + 1 < FClusterCount);
    actShowOnMap->setEnabled(FFileIndex >= 0);
    actKeepOpen->setVisible(!FKept);
}

void Tfrm_Info::ShowReport() {
    // Appending leaves the view at the last line; a report is read from its
    // first.
    Memo1->moveCursor(QTextCursor::Start);
    Memo1->ensureCursorVisible();
    if (!isVisible()) {
        if (QWidget* main = parentWidget()) {
            QPoint at = main->frameGeometry().center() -
                        QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2);
            // A kept report standing where this one opens would hide under it.
            for (int tries = 0; tries < 16; ++tries) {
                bool covered = false;
                for (const Tfrm_Info* other : main->findChildren<Tfrm_Info*>()) {
                    covered =
                        covered || (other != this && other->isVisible() && other->pos() == at);
                }
                if (!covered) {
                    break;
                }
                at += QPoint(24, 24);
            }
            move(at);
        }
    }
    show();
    raise();
    activateWindow();
    Memo1->setFocus(Qt::ActiveWindowFocusReason);
}

QString Tfrm_Info::ReportText() const {
    const QString raw = Memo1->document()->toRawText();
    if (raw.isEmpty()) {
        return {};
    }
    QString text = raw;
    text.replace(QChar::ParagraphSeparator, QChar('\n'));
    text.replace(QChar::LineSeparator, QChar('\n'));
    return text + '\n';
}

void Tfrm_Info::SaveAs() {
    QString name = windowTitle().isEmpty() ? QString("Report") : windowTitle();
    name.replace(QChar('/'), QChar('-'));
    const QString path = QFileDialog::getSaveFileName(this, "Save Report", name + ".txt",
                                                      "Text files (*.txt);;All files (*)");
    if (!path.isEmpty()) {
        SaveTo(path);
    }
}

bool Tfrm_Info::SaveTo(const QString& path) {
    const auto fail = [this](int error) {
        const QString text = QString::fromStdString(ntfs::RuntimeErrorText(error));
        if (OnNotice) {
            OnNotice("Save Report", text);
        } else {
            QMessageBox::warning(this, "Save Report", text);
        }
        return false;
    };
    if (!OpenTarget) {
        return fail(EACCES);
    }
    // Checked on the opened file, not its name: pointed at the image being
    // shown, the report would destroy the volume it reads.
    const platform::WriteTarget out = OpenTarget(QFile::encodeName(path).toStdString());
    if (out.fd < 0) {
        return fail(out.error);
    }
    int error = WriteAll(out.fd, ReportText().toUtf8());
    if (::close(out.fd) != 0 && error == 0) {
        error = errno;
    }
    return error == 0 ? true : fail(error);
}

void Tfrm_Info::CopyReport() {
    if (Memo1->textCursor().hasSelection()) {
        Memo1->copy();
    } else if (!Memo1->document()->isEmpty()) {
        QApplication::clipboard()->setText(ReportText());
    }
}

Tfrm_Info* Tfrm_Info::KeepOpen() {
    if (Memo1->document()->isEmpty()) {
        return nullptr;
    }
    auto* kept = new Tfrm_Info(parentWidget());
    kept->setAttribute(Qt::WA_DeleteOnClose);
    kept->FKept = true;
    kept->setWindowTitle(windowTitle());
    kept->Memo1->setPlainText(Memo1->document()->toRawText());
    kept->FFileIndex = FFileIndex;
    kept->FHexCluster = FHexCluster;
    kept->FClusterCount = FClusterCount;
    kept->OnHexDump = OnHexDump;
    kept->OpenTarget = OpenTarget;
    kept->OnNotice = OnNotice;
    // The main window may set its hook after the report was kept: asked
    // through this window, the kept one finds it.
    kept->OnShowOnMap = [origin = QPointer<Tfrm_Info>(this)](std::int64_t fileIndex) {
        if (origin && origin->OnShowOnMap) {
            origin->OnShowOnMap(fileIndex);
        }
    };
    kept->UpdateCommands();
    kept->resize(size());
    kept->move(pos());
    const int scrolled = Memo1->verticalScrollBar()->value();
    kept->show();
    kept->Memo1->verticalScrollBar()->setValue(scrolled);
    kept->raise();
    kept->activateWindow();
    hide();
    ClearReport();
    setWindowTitle(QString());
    return kept;
}

void Tfrm_Info::PreviousCluster() {
    if (FHexCluster > 0 && OnHexDump) {
        OnHexDump(*this, FHexCluster - 1);
    }
}

void Tfrm_Info::NextCluster() {
    if (FHexCluster >= 0 && FHexCluster + 1 < FClusterCount && OnHexDump) {
        OnHexDump(*this, FHexCluster + 1);
    }
}

void Tfrm_Info::ShowOnMap() {
    if (FFileIndex >= 0 && OnShowOnMap) {
        OnShowOnMap(FFileIndex);
    }
}

void Tfrm_Info::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        if (FKept) {
            close();
        } else {
            hide();
        }
        return;
    }
    QWidget::keyPressEvent(event);
}

bool Tfrm_Info::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Memo1 &&
        (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool page = FHexCluster >= 0 && key->modifiers() == Qt::NoModifier &&
                          (key->key() == Qt::Key_PageUp || key->key() == Qt::Key_PageDown);
        const bool copy = key->matches(QKeySequence::Copy);
        if (page || copy) {
            // Taken from the text box, which would scroll or copy nothing.
            event->accept();
            if (event->type() == QEvent::KeyPress) {
                if (copy) {
                    CopyReport();
                } else if (key->key() == Qt::Key_PageUp) {
                    PreviousCluster();
                } else {
                    NextCluster();
                }
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace lorvex::ui

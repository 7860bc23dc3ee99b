#include "ui/HelpPages.h"

#include "platform/LibraryVersions.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QtGlobal>

namespace lorvex::ui {

namespace {

// No licence file is distributed yet; the About box says so rather than
// naming one.
constexpr const char* kLicence = "No licence has been chosen for this copy yet.";

// One row of the keys page: the keys, and what they do.
struct KeyRow {
    const char* keys;
    const char* what;
};

constexpr KeyRow kMapKeys[] = {
    {"Ctrl + wheel, + / -, Ctrl++ / Ctrl+-", "zoom in or out around the pointer"},
    {"Ctrl+1", "one cluster a pixel"},
    {"Ctrl+0", "fit: the whole volume in the window"},
    {"wheel, Left / Right", "a tenth of the view"},
    {"Up / Down", "one row"},
    {"PgUp / PgDn, Home / End", "a view, the start, the end"},
    {"Ctrl+G", "go to a cluster (123456, 0x1E240) or a byte offset (4096 B, 512 KiB, 2 TiB)"},
    {"F6 / Shift+F6", "the next or previous extent of the file shown on the map"},
    {"F7", "the next marked file"},
    {"Ctrl+H", "the health overlay on or off"},
};

constexpr KeyRow kReportKeys[] = {
    {"F1", "report on the file that owns the cluster under the pointer"},
    {"F2", "the cluster's bytes as a hex dump"},
    {"F3", "report on every record of the file's base record"},
};

constexpr KeyRow kCommandKeys[] = {
    {"Ctrl+O", "open an image or a device as more drives"},
    {"F5", "scan the drive again"},
    {"Esc", "cancel the drive's reading or scan: the drive shown before stays"},
    {"Ctrl+Shift+S", "save the map as a picture"},
    {"Ctrl+E", "export the file table"},
    {"Ctrl+F", "Fast Find"},
    {"Ctrl+M", "mark the files whose path contains a text"},
    {"Ctrl+L", "the Fragmentation List"},
    {"Ctrl+K", "the Volume Check list"},
    {"Ctrl+Q", "quit"},
};

constexpr KeyRow kMouse[] = {
    {"pointer over the map", "the status bar and the zoom window name the cluster and its owner"},
    {"right button on the map", "the map's menu: the reports, Show on Map, copy the number"},
    {"click or drag on the strip",
     "the strip right of the scroll bar is the whole volume: go there"},
    {"dropping files on the window", "opens them as more drives"},
    {"double click or Enter in a list", "the base record's report"},
    {"Shift+F10 or the Menu key in a list", "the row's menu"},
};

// A heading row and the rows of one part of the page, in the one table the
// page is, so that every part's columns line up.
template <std::size_t N> QString Rows(const char* title, const KeyRow (&rows)[N]) {
    QString html = QString("<tr><td colspan='2'><h3>%1</h3></td></tr>").arg(title);
    for (const KeyRow& row : rows) {
        html += QString("<tr><td><b>%1</b></td><td>%2</td></tr>")
                    .arg(QString(row.keys).toHtmlEscaped(), QString(row.what).toHtmlEscaped());
    }
    return html;
}

QString KeysAndMouseHtml() {
    return "<table cellspacing='0' cellpadding='3'>" + Rows("The map", kMapKeys) +
           Rows("Reports, over the map", kReportKeys) + Rows("Commands", kCommandKeys) +
           Rows("The mouse", kMouse) + "</table>";
}

QString AboutHtml() {
    QString html = QString("<h2>Lorvex %1</h2><p>The clusters of an NTFS volume, read-only, "
                           "from images, containers and devices.</p><p>%2</p>"
                           "<p>In use:</p><table cellpadding='2'><tr><td>Qt</td><td>%3</td></tr>")
                       .arg(LORVEX_VERSION, kLicence, qVersion());
    for (const platform::LibraryVersion& library : platform::LibraryVersions()) {
        html += QString("<tr><td>%1</td><td>%2</td></tr>")
                    .arg(QString::fromStdString(library.name),
                         QString::fromStdString(library.version).toHtmlEscaped());
    }
    return html + "</table>";
}

// The page named `name` over `parent`, made the first time.
QTextBrowser* Page(QWidget* parent, const QString& name, const QString& title, QSize size) {
    if (auto* page = parent->findChild<QDialog*>(name); page != nullptr) {
        return page->findChild<QTextBrowser*>();
    }
    auto* page = new QDialog(parent);
    page->setObjectName(name);
    page->setWindowTitle(title);
    auto* layout = new QVBoxLayout(page);
    auto* text = new QTextBrowser(page);
    text->setOpenExternalLinks(true);
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, page);
    QObject::connect(buttons, &QDialogButtonBox::rejected, page, &QDialog::hide);
    layout->addWidget(buttons);
    page->resize(size);
    return text;
}

void Present(QTextBrowser* text) {
    QWidget* page = text->window();
    page->show();
    page->raise();
    page->activateWindow();
}

} // namespace

QString VersionText() {
    QString text = QString("Lorvex %1\nQt %2\n").arg(LORVEX_VERSION, qVersion());
    for (const platform::LibraryVersion& library : platform::LibraryVersions()) {
        text += QString("%1 %2\n").arg(QString::fromStdString(library.name),
                                       QString::fromStdString(library.version));
    }
    return text;
}

void ShowKeysAndMouse(QWidget* parent) {
    QTextBrowser* text = Page(parent, "KeysAndMouse", "Keys and Mouse", QSize(640, 820));
    text->setHtml(KeysAndMouseHtml());
    Present(text);
}

bool ShowManual(QWidget* parent) {
    QFile file(ManualPath());
    if (file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly)) {
        return false;
    }
    QTextBrowser* text = Page(parent, "Manual", "Lorvex Manual", QSize(760, 700));
    // Its pictures are named from its own folder.
    text->setSearchPaths({QFileInfo(file.fileName()).absolutePath()});
    text->setMarkdown(QString::fromUtf8(file.readAll()));
    Present(text);
    return true;
}

void ShowAbout(QWidget* parent) {
    QTextBrowser* text = Page(parent, "AboutLorvex", "About Lorvex", QSize(440, 420));
    text->setHtml(AboutHtml());
    Present(text);
}

QString ManualPath() {
    const QString installed =
        QDir(QCoreApplication::applicationDirPath()).filePath("../" LORVEX_DOC_DIR "/README.md");
    for (const QString& path : {installed, QString(LORVEX_SOURCE_DIR "/README.md")}) {
        if (QFileInfo(path).isFile()) {
            return QFileInfo(path).canonicalFilePath();
        }
    }
    return {};
}

} // namespace lorvex::ui

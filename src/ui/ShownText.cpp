#include "ui/ShownText.h"

#include "ondisk/Printable.h"

#include <QStringList>

#include <string>

namespace lorvex::ui {

QString ShownText(const QString& text) {
    std::u16string shown;
    ondisk::AppendPrintable(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                                static_cast<std::size_t>(text.size())),
                            shown);
    return QString::fromStdU16String(shown);
}

QString ShownText(std::string_view utf8) {
    const std::string shown = ondisk::Printable(utf8);
    return QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size()));
}

QString ShownName(std::u16string_view name) {
    std::u16string shown;
    ondisk::AppendPrintableName(name, shown);
    return QString::fromStdU16String(shown);
}

QString ShownLines(const QString& text) {
    QStringList lines = text.split(QChar('\n'));
    for (QString& line : lines) {
        line = ShownText(line);
    }
    return lines.join(QChar('\n'));
}

} // namespace lorvex::ui

#pragma once

#include <QString>

#include <string_view>

// What the window shows of a text from a source, escaped as every text of
// Lorvex escapes it (ondisk/Printable.h). Qt acts on no escape sequence, but
// a line break in a name would break a row of a list or the one line of the
// status bar.
namespace lorvex::ui {

// A text (a label, a message) with what is not printable escaped.
[[nodiscard]] QString ShownText(const QString& text);
[[nodiscard]] QString ShownText(std::string_view utf8);
// A name on the volume, its backslashes escaped too.
[[nodiscard]] QString ShownName(std::u16string_view name);
// A message of several lines: each line escaped, its line breaks kept.
[[nodiscard]] QString ShownLines(const QString& text);

} // namespace lorvex::ui

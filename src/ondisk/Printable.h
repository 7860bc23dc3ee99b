#pragma once

#include <string>
#include <string_view>

// Texts that come from a source (a name on the volume, its label, a file
// name a container names, a library's message about it) are written by
// whoever made the source: they are shown with what is not printable
// escaped, the same way in every text Lorvex writes and shows.
//
//   - A control character (U+0000 to U+001F, DEL U+007F, U+0080 to U+009F),
//     the line and paragraph separators U+2028 and U+2029, and the marks
//     and controls of bidirectional text (U+200E, U+200F, U+202A to U+202E,
//     U+2066 to U+2069) become \u{HEX}, in lower-case hex without leading
//     zeros: ESC is \u{1b}, a line feed \u{a}.
//   - Half of a UTF-16 surrogate pair without its other half becomes its
//     unit, \u{d800}; a byte that is not part of UTF-8 becomes \x{HEX}.
//   - Every other character, of every script, is kept.
//
// A name on the volume is part of a path whose separator is the backslash,
// so in a name a backslash itself becomes \u{5c}, and a name that begins
// with "u{" has its u written \u{75}: in a path, a backslash followed by
// "u{" always opens an escape, and every other backslash separates names.
// So a path shown reads back to exactly the names on the disk.
namespace lorvex::ondisk {

// A text (UTF-8, or bytes that should be) with what is not printable
// escaped; a backslash is kept. Escaping an escaped text changes nothing,
// so a message may be escaped where it is printed whether or not the texts
// in it were escaped when it was made.
void AppendPrintable(std::string_view text, std::string& out);
std::string Printable(std::string_view text);
// The same for a UTF-16 text (the window's texts).
void AppendPrintable(std::u16string_view text, std::u16string& out);

// A name on the volume (UTF-16 as on disk, or UTF-8) escaped as above,
// its backslashes and a leading "u{" included.
void AppendPrintableName(std::u16string_view name, std::u16string& out);
void AppendPrintableName(std::u16string_view name, std::string& out); // as UTF-8
void AppendPrintableName(std::string_view name, std::string& out);
std::string PrintableName(std::string_view name);
// True when AppendPrintableName would write `name` unchanged.
bool IsPrintableName(std::u16string_view name);

} // namespace lorvex::ondisk

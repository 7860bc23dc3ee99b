#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

// The JSON texts of lorvex-scan's listings: strings escaped as the JSON
// library escapes them, and the members of a row written straight into a
// text as a builder names them.
namespace lorvex::records {

// Appends `text` to `out` as a JSON string, quoted and escaped by the JSON
// library, and DEL, the C1 controls (U+0080 to U+009F), the line and
// paragraph separators and the controls of bidirectional text escaped as
// \uXXXX too: the text is kept exactly, and nothing in it reaches a
// terminal raw.
void AppendJsonString(std::string& out, std::string_view text);

// Printable ASCII without a quote or a backslash: a text that is its own
// JSON text between quotes.
bool PlainJsonText(std::string_view text);

// The members of one object after another, appended as they come into room
// of its own and handed over whole, a row at a time: a listing of a million
// rows makes tens of millions of members, and an append of each to a string
// costs more than the member's bytes. The bytes are those of a Record of
// the same fields written by the JSON writers; the texts that are not plain
// printable ASCII are the JSON library's to escape, as there.
//
// Between Begin and End, fields go in the order a builder adds them to a
// Record (see RecordFields): Add, AddPlain, AddNull, AddBool, AddUtf16 for
// members,
// BeginList/BeginItem/EndItem/EndList for a list of objects and
// BeginTexts/AddTextUtf16/EndTexts for a list of strings.
class JsonMembers {
  public:
    JsonMembers() = default;
    JsonMembers(const JsonMembers&) = delete;
    JsonMembers& operator=(const JsonMembers&) = delete;

    // Starts a row with `open` (the writer's text before the first member);
    // the first member is preceded by a comma when `comma`.
    void Begin(std::string_view open, bool comma) {
        p_ = room_.get();
        Put(open);
        first_ = !comma;
    }
    // Appends `close` and hands the row's text to `out`.
    void End(std::string_view close, std::string& out) {
        Put(close);
        out.append(room_.get(), static_cast<std::size_t>(p_ - room_.get()));
    }

    template <std::integral T>
    requires(!std::same_as<T, bool>) void Add(std::string_view key, T value) {
        char* p = Member(key, 24);
        p_ = std::to_chars(p, p + 24, value).ptr;
    }
    void AddNull(std::string_view key) { p_ = Literal(Member(key, 4), "null"); }
    void AddBool(std::string_view key, bool value) {
        p_ = value ? Literal(Member(key, 5), "true") : Literal(Member(key, 5), "false");
    }
    void Add(std::string_view key, std::string_view text) {
        if (PlainJsonText(text)) {
            AddPlain(key, text);
            return;
        }
        p_ = Member(key, 0);
        PutEscaped(text);
    }
    // A text of the builder's own that is plain (PlainJsonText): a type
    // name, a time; written without a look at its bytes.
    void AddPlain(std::string_view key, std::string_view text) {
        char* p = Member(key, text.size() + 2);
        *p++ = '"';
        p = Literal(p, text);
        *p++ = '"';
        p_ = p;
    }
    void AddUtf16(std::string_view key, std::u16string_view text) {
        p_ = Member(key, 0);
        PutUtf16(text);
    }

    void BeginList(std::string_view key) {
        char* p = Member(key, 1);
        *p++ = '[';
        p_ = p;
        first_ = true;
    }
    void BeginItem() {
        Reserve(2);
        if (!first_) {
            *p_++ = ',';
        }
        *p_++ = '{';
        first_ = true;
    }
    void EndItem() { Close('}'); }
    void EndList() { Close(']'); }
    void BeginTexts(std::string_view key) { BeginList(key); }
    void AddTextUtf16(std::u16string_view text) {
        Reserve(1);
        if (!first_) {
            *p_++ = ',';
        }
        first_ = false;
        PutUtf16(text);
    }
    void EndTexts() { Close(']'); }

  private:
    static char* Literal(char* p, std::string_view text) {
        std::memcpy(p, text.data(), text.size());
        return p + text.size();
    }
    // Writes a member's comma, name and colon, with room for `value` bytes
    // after them; returns where the value goes.
    char* Member(std::string_view key, std::size_t value) {
        Reserve(key.size() + value + 4);
        char* p = p_;
        if (!first_) {
            *p++ = ',';
        }
        first_ = false;
        *p++ = '"';
        p = Literal(p, key);
        *p++ = '"';
        *p++ = ':';
        return p;
    }
    void Close(char c) {
        Reserve(1);
        *p_++ = c;
        first_ = false;
    }
    void Put(std::string_view text) {
        Reserve(text.size());
        p_ = Literal(p_, text);
    }
    void Reserve(std::size_t n) {
        if (static_cast<std::size_t>(end_ - p_) < n) {
            Grow(n);
        }
    }
    void Grow(std::size_t n);
    // A JSON string of `text` (UTF-8) that is not plain, through the library.
    void PutEscaped(std::string_view text);
    // A JSON string of `text`: printable ASCII written here, anything else
    // converted to UTF-8 and escaped by the library.
    void PutUtf16(std::u16string_view text);

    std::unique_ptr<char[]> room_;
    char* p_ = nullptr;
    char* end_ = nullptr;
    bool first_ = true;
    std::string utf8_;
    std::string escaped_;
};

} // namespace lorvex::records

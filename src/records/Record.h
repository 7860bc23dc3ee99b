#pragma once

#include "ondisk/Utf16.h"
#include "records/JsonText.h"

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// What lorvex-scan prints (and the window's export writes), as records of
// named fields, and one writer per format that turns them into text. An
// action builds its records and hands them to whichever writer the user
// chose; a new listing is a new builder and nothing more.
namespace lorvex::records {

// One record: named fields in a fixed order. A record is filled, written
// and cleared again; its room is kept, so a listing of millions of rows
// allocates nothing per row once the first rows have been built.
class Record {
  public:
    enum class Kind : std::uint8_t { Null, Integer, Real, Boolean, Text, List, Texts };
    class List;
    // A list of texts, its room kept as a record's is.
    class Texts {
      public:
        void Clear() { count_ = 0; }
        void Add(std::string_view text) {
            if (count_ == items_.size()) {
                items_.emplace_back();
            }
            items_[count_++].assign(text);
        }
        // A text to be written in place (it comes empty, its room kept).
        std::string& AddText() {
            if (count_ == items_.size()) {
                items_.emplace_back();
            }
            std::string& text = items_[count_++];
            text.clear();
            return text;
        }
        [[nodiscard]] std::size_t size() const { return count_; }
        [[nodiscard]] const std::string& operator[](std::size_t i) const { return items_[i]; }

      private:
        std::vector<std::string> items_;
        std::size_t count_ = 0;
    };
    struct Field {
        std::string_view key; // a literal of the builder's: ASCII, no escaping
        Kind kind = Kind::Null;
        std::int64_t integer = 0;
        double real = 0;
        std::string text;            // UTF-8
        std::unique_ptr<List> items; // Kind::List
        Texts texts;                 // Kind::Texts
        bool plain = false;          // a text of the builder's own (AddPlain)
        bool textOnly = false;       // shown by the text format alone (TextOnly)
    };

    void Clear() { count_ = 0; }
    void AddNull(std::string_view key) { Next(key, Kind::Null); }
    template <std::integral T>
    requires(!std::same_as<T, bool>) void Add(std::string_view key, T value) {
        Next(key, Kind::Integer).integer = static_cast<std::int64_t>(value);
    }
    void AddBool(std::string_view key, bool value) {
        Next(key, Kind::Boolean).integer = value ? 1 : 0;
    }
    void AddReal(std::string_view key, double value) { Next(key, Kind::Real).real = value; }
    void Add(std::string_view key, std::string_view text) {
        Next(key, Kind::Text).text.assign(text);
    }
    // A text of the builder's own, printable ASCII (a type name, a status):
    // written as it is in every format, where a text that may come from the
    // source is kept from passing for a formula in CSV.
    void AddPlain(std::string_view key, std::string_view text) {
        Field& field = Next(key, Kind::Text);
        field.text.assign(text);
        field.plain = true;
    }
    // The same for one character (a status letter). Filled rather than
    // copied: GCC 12 at -O3 takes the copy of a one-byte view for an
    // overlapping memcpy and warns.
    void AddPlain(std::string_view key, char text) {
        Field& field = Next(key, Kind::Text);
        field.text.assign(1, text);
        field.plain = true;
    }
    // A text field to be written in place (it comes empty, its room kept).
    std::string& AddText(std::string_view key) {
        Field& field = Next(key, Kind::Text);
        field.text.clear();
        return field.text;
    }
    // A text, or null when it is empty.
    void AddTextOrNull(std::string_view key, std::string_view text) {
        if (text.empty()) {
            AddNull(key);
        } else {
            Add(key, text);
        }
    }
    // A list of records (nested: JSON shows it, the flat formats leave it
    // out). Fill it before adding the next field to this record.
    List& AddList(std::string_view key);
    Texts& AddTexts(std::string_view key) {
        Field& field = Next(key, Kind::Texts);
        field.texts.Clear();
        return field.texts;
    }
    // Marks the field added last as one that only the text format shows:
    // what a listing's text has always said and its records never had.
    void TextOnly() { fields_[count_ - 1].textOnly = true; }
    // True for the kinds that only JSON shows.
    [[nodiscard]] static bool Nested(Kind kind) {
        return kind == Kind::List || kind == Kind::Texts;
    }

    [[nodiscard]] std::size_t size() const { return count_; }
    [[nodiscard]] const Field& operator[](std::size_t i) const { return fields_[i]; }
    // Field `key`, or null when it is not there.
    [[nodiscard]] const Field* Find(std::string_view key) const {
        for (std::size_t i = 0; i < count_; ++i) {
            if (fields_[i].key == key) {
                return &fields_[i];
            }
        }
        return nullptr;
    }
    // The integer of field `key`; 0 when it is not an integer or not there.
    [[nodiscard]] std::int64_t Integer(std::string_view key) const {
        const Field* field = Find(key);
        return field != nullptr && field->kind == Kind::Integer ? field->integer : 0;
    }
    // Whether field `key` is there and not null.
    [[nodiscard]] bool Has(std::string_view key) const {
        const Field* field = Find(key);
        return field != nullptr && field->kind != Kind::Null;
    }
    // The text of field `key`; empty when it is not a text or not there.
    [[nodiscard]] std::string_view Text(std::string_view key) const {
        const Field* field = Find(key);
        return field != nullptr && field->kind == Kind::Text ? std::string_view(field->text)
                                                             : std::string_view();
    }

  private:
    Field& Next(std::string_view key, Kind kind) {
        if (count_ == fields_.size()) {
            fields_.emplace_back();
        }
        Field& field = fields_[count_++];
        field.key = key;
        field.kind = kind;
        field.plain = false;
        field.textOnly = false;
        return field;
    }

    std::vector<Field> fields_;
    std::size_t count_ = 0;
};

class Record::List {
  public:
    void Clear() { count_ = 0; }
    // A new, empty item at the end.
    Record& Add();
    [[nodiscard]] std::size_t size() const { return count_; }
    [[nodiscard]] const Record& operator[](std::size_t i) const { return *items_[i]; }

  private:
    std::vector<std::unique_ptr<Record>> items_;
    std::size_t count_ = 0;
};

// The fields of a builder written into a Record, with the calls JsonMembers
// takes: a builder that is a template over either writes one list of fields
// for every format. Lists nest as deep as kDepth records.
class RecordFields {
  public:
    explicit RecordFields(Record& record) : records_{&record} {}

    template <std::integral T>
    requires(!std::same_as<T, bool>) void Add(std::string_view key, T value) {
        Top().Add(key, value);
    }
    void AddNull(std::string_view key) { Top().AddNull(key); }
    void AddBool(std::string_view key, bool value) { Top().AddBool(key, value); }
    void Add(std::string_view key, std::string_view text) { Top().Add(key, text); }
    // A text known to be plain printable ASCII (see JsonMembers::AddPlain).
    void AddPlain(std::string_view key, std::string_view text) { Top().AddPlain(key, text); }
    void AddUtf16(std::string_view key, std::u16string_view text) {
        ondisk::ToUtf8(text, Top().AddText(key));
    }
    void BeginList(std::string_view key) { lists_ = Push(list_, lists_, &Top().AddList(key)); }
    void BeginItem() { depth_ = Push(records_, depth_, &list_[lists_ - 1]->Add()); }
    void EndItem() { --depth_; }
    void EndList() { --lists_; }
    void BeginTexts(std::string_view key) { texts_ = &Top().AddTexts(key); }
    void AddTextUtf16(std::u16string_view text) { ondisk::ToUtf8(text, texts_->AddText()); }
    void EndTexts() { texts_ = nullptr; }

  private:
    static constexpr std::size_t kDepth = 4;
    template <class T> static std::size_t Push(T* (&stack)[kDepth], std::size_t size, T* item) {
        if (size == kDepth) {
            throw std::length_error("RecordFields: lists nested too deep");
        }
        stack[size] = item;
        return size + 1;
    }
    Record& Top() { return *records_[depth_ - 1]; }

    Record* records_[kDepth];
    Record::List* list_[kDepth] = {};
    Record::Texts* texts_ = nullptr;
    std::size_t depth_ = 1;
    std::size_t lists_ = 0;
};

// Where a builder of rows writes its fields: RecordFields or JsonMembers.
template <class S>
concept FieldSink = requires(S& sink, std::string_view key, std::u16string_view text) {
    sink.Add(key, std::int64_t{0});
    sink.AddNull(key);
    sink.AddBool(key, true);
    sink.Add(key, key);
    sink.AddPlain(key, key);
    sink.AddUtf16(key, text);
    sink.BeginList(key);
    sink.BeginItem();
    sink.EndItem();
    sink.EndList();
    sink.BeginTexts(key);
    sink.AddTextUtf16(text);
    sink.EndTexts();
};
static_assert(FieldSink<RecordFields> && FieldSink<JsonMembers>);

// Standard output or a file, written through a buffer of its own a
// mebibyte at a time: a listing is never held whole.
class Output {
  public:
    explicit Output(std::FILE* file) : file_(file) { buffer_.reserve(kChunk + kChunk / 4); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { Flush(); }

    std::string& Buffer() { return buffer_; }
    void Append(std::string_view text) { buffer_.append(text); }
    // Appends `text` and writes out a full buffer (Append, then Step).
    void Write(std::string_view text);
    // Writes the buffer out once it holds a chunk.
    void Step() {
        if (buffer_.size() >= kChunk) {
            Flush();
        }
    }
    // Writes what is buffered; false once any write has failed.
    bool Flush();
    // Failed may be asked from another thread than the one writing.
    [[nodiscard]] bool Failed() const { return error_.load(std::memory_order_relaxed) != 0; }
    [[nodiscard]] int Error() const { return error_; }
    [[nodiscard]] std::FILE* File() const { return file_; }

  private:
    static constexpr std::size_t kChunk = std::size_t{1} << 20;
    std::FILE* file_;
    std::string buffer_;
    std::atomic<int> error_ = 0;
};

enum class Format : std::uint8_t { Text, Json, JsonLines, Csv, Bodyfile };

// The writers. A run writes, per drive: BeginDrive, then any number of
// sections (one record each: the summary, the volume's facts) and tables
// (any number of rows), then EndDrive; Finish once at the end.
//   Json       one document: {"drives": [{"drive": "C:", ..., "summary":
//              {...}, "files": [{...}, ...]}, ...]}
//   JsonLines  one object a line, each starting with "drive"
//   Csv        RFC 4180: a header row, then one row per record, "drive"
//              first; nested lists are left out; a text cell that a
//              spreadsheet would read as a formula gets a quote before it
//              (AppendCsvText)
//   Text       each listing's own lines (TextWriter.h); the fields of each
//              row joined by tabs where a listing has none of its own
//   Bodyfile   the body file's lines (BodyfileWriter.h): the rows of the
//              file table's timeline, BodyfileRows
class RecordWriter {
  public:
    virtual ~RecordWriter() = default;
    // `label` names the drive: "drive", "source", "partition".
    virtual void BeginDrive(const Record& label) = 0;
    virtual void Section(std::string_view key, const Record& record) = 0;
    virtual void BeginTable(std::string_view key) = 0;
    virtual void Row(const Record& row) = 0;
    // Rows formatted away from the writer (a block of them on each of
    // several threads) and written here in their order. FormatRow appends
    // `row`'s text as Row writes it after another row of the same table; it
    // changes nothing and may run on any thread while the writer writes.
    virtual void FormatRow(std::string& text, const Record& row) const = 0;
    // Writes what FormatRow made, as Row would have written those rows one
    // by one; `first` has the fields that every one of them has.
    virtual void FormattedRows(std::string_view text, const Record& first) = 0;
    // The JSON formats let a builder write a row's members straight into the
    // text (JsonMembers) instead of a Record: a row is then `open`, the
    // members (the first after a comma when `comma`) and `close`, the bytes
    // FormatRow makes of the same fields. Null for the other formats; valid
    // until the next BeginDrive.
    struct JsonRowFrame {
        std::string open;
        bool comma = false;
        std::string close;
    };
    [[nodiscard]] virtual const JsonRowFrame* JsonRow() const { return nullptr; }
    // What the text says under a table's rows (the counts of the check, of
    // the damage): the text format writes it and returns true. The others
    // have no place for it and return false, leaving the caller to say
    // elsewhere what must not go unsaid.
    virtual bool Footer(std::string_view /*key*/, const Record& /*record*/) { return false; }
    // A format with nothing to close leaves these as they are.
    virtual void EndTable() {}
    virtual void EndDrive() {}
    virtual void Finish() {}
};

// A writer of `format` into `out`. The text heads each drive's listings
// with its title when `driveHeadings` (a scan of several drives).
std::unique_ptr<RecordWriter> MakeWriter(Format format, Output& out, bool driveHeadings = false);

// Appends the text of a scalar field as the flat formats write it, a text as
// it is; nothing for null and for the nested kinds.
void AppendScalarText(std::string& out, const Record::Field& field);

// Appends `text` as one CSV field: as it is, or quoted with its quotes
// doubled when it holds a comma, a quote, a CR or an LF.
void AppendCsvField(std::string& out, std::string_view text);
// The same for a text that may come from the source: one that begins with
// '=', '+', '-', '@', a tab or a CR, which a spreadsheet would take for a
// formula, is written with a single quote before it, the way spreadsheets
// mark a cell as text ("=1+2" becomes '=1+2).
void AppendCsvText(std::string& out, std::string_view text);

} // namespace lorvex::records

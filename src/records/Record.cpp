#include "records/Record.h"

#include "records/BodyfileWriter.h"
#include "records/TextWriter.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

namespace lorvex::records {

Record::List& Record::AddList(std::string_view key) {
    Field& field = Next(key, Kind::List);
    if (!field.items) {
        field.items = std::make_unique<List>();
    }
    field.items->Clear();
    return *field.items;
}

Record& Record::List::Add() {
    if (count_ == items_.size()) {
        items_.push_back(std::make_unique<Record>());
    }
    Record& item = *items_[count_++];
    item.Clear();
    return item;
}

void Output::Write(std::string_view text) {
    if (text.size() < kChunk / 4) {
        Append(text);
        Step();
        return;
    }
    // A large text goes out as it is, not copied into the buffer first.
    if (Flush()) {
        errno = 0;
        if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
            error_ = errno != 0 ? errno : EIO;
        }
    }
}

bool Output::Flush() {
    if (!buffer_.empty() && error_ == 0) {
        errno = 0;
        if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
            error_ = errno != 0 ? errno : EIO;
        }
    }
    buffer_.clear();
    return error_ == 0;
}

namespace {

// Whether `text` holds a comma, a quote, a CR or an LF. Every name and path
// of a CSV listing passes here: eight bytes at a time (a search for any of
// four characters is a search of the four for each character of the text).
bool NeedsCsvQuotes(std::string_view text) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    const auto holds = [](std::uint64_t w, unsigned char c) {
        const std::uint64_t v = w ^ (c * kOnes);
        return ((v - kOnes) & ~v & kHigh) != 0;
    };
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, text.data() + i, 8);
        if (holds(w, ',') || holds(w, '"') || holds(w, '\r') || holds(w, '\n')) {
            return true;
        }
    }
    return std::any_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(),
                       [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; });
}

void AppendInteger(std::string& out, std::int64_t value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out.append(digits, end);
}

void AppendReal(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out.append("null");
        return;
    }
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out.append(digits, end);
}

// The scalar text of a field for the flat formats; nothing for null.
void AppendScalar(std::string& out, const Record::Field& field, bool quoteText) {
    switch (field.kind) {
    case Record::Kind::Null:
    case Record::Kind::List:
    case Record::Kind::Texts:
        break;
    case Record::Kind::Integer:
        AppendInteger(out, field.integer);
        break;
    case Record::Kind::Real:
        AppendReal(out, field.real);
        break;
    case Record::Kind::Boolean:
        out.append(field.integer != 0 ? "true" : "false");
        break;
    case Record::Kind::Text:
        if (quoteText && field.plain) {
            AppendCsvField(out, field.text);
        } else if (quoteText) {
            AppendCsvText(out, field.text);
        } else {
            out.append(field.text);
        }
        break;
    }
}

void AppendJsonValue(std::string& out, const Record::Field& field);

// The fields of `record` as members, without the braces.
void AppendJsonMembers(std::string& out, const Record& record, bool first) {
    // A member's name and a number are put together on the stack and
    // appended at once: a listing of a million entries has tens of millions
    // of members, and one append each is half the cost of several.
    char head[160];
    for (std::size_t i = 0; i < record.size(); ++i) {
        const Record::Field& field = record[i];
        if (field.textOnly) {
            continue;
        }
        char* p = head;
        if (!first) {
            *p++ = ',';
        }
        first = false;
        if (field.key.size() > sizeof(head) - 32) {
            out.append(head, static_cast<std::size_t>(p - head));
            out.push_back('"');
            out.append(field.key);
            out.append("\":");
            AppendJsonValue(out, field);
            continue;
        }
        *p++ = '"';
        p = std::copy(field.key.begin(), field.key.end(), p);
        *p++ = '"';
        *p++ = ':';
        if (field.kind == Record::Kind::Integer) {
            p = std::to_chars(p, head + sizeof(head), field.integer).ptr;
            out.append(head, static_cast<std::size_t>(p - head));
            continue;
        }
        if (field.kind == Record::Kind::Text && PlainJsonText(field.text)) {
            // The name and the whole text in one append.
            const std::size_t headLength = static_cast<std::size_t>(p - head);
            const std::size_t at = out.size();
            out.resize(at + headLength + field.text.size() + 2);
            char* q = std::copy(head, p, out.data() + at);
            *q++ = '"';
            q = std::copy(field.text.begin(), field.text.end(), q);
            *q = '"';
            continue;
        }
        out.append(head, static_cast<std::size_t>(p - head));
        AppendJsonValue(out, field);
    }
}

void AppendJsonObject(std::string& out, const Record& record) {
    out.push_back('{');
    AppendJsonMembers(out, record, true);
    out.push_back('}');
}

void AppendJsonValue(std::string& out, const Record::Field& field) {
    switch (field.kind) {
    case Record::Kind::Null:
        out.append("null");
        break;
    case Record::Kind::Integer:
    case Record::Kind::Real:
    case Record::Kind::Boolean:
        AppendScalar(out, field, false);
        break;
    case Record::Kind::Text:
        AppendJsonString(out, field.text);
        break;
    case Record::Kind::List:
        out.push_back('[');
        for (std::size_t i = 0; i < field.items->size(); ++i) {
            if (i > 0) {
                out.push_back(',');
            }
            AppendJsonObject(out, (*field.items)[i]);
        }
        out.push_back(']');
        break;
    case Record::Kind::Texts:
        out.push_back('[');
        for (std::size_t i = 0; i < field.texts.size(); ++i) {
            if (i > 0) {
                out.push_back(',');
            }
            AppendJsonString(out, field.texts[i]);
        }
        out.push_back(']');
        break;
    }
}

// One document; a row a line inside its table, so that the document reads
// and diffs line by line as well.
class JsonWriter final : public RecordWriter {
  public:
    explicit JsonWriter(Output& out) : out_(out) {}
    void BeginDrive(const Record& label) override {
        std::string& b = out_.Buffer();
        b.append(drives_++ == 0 ? "{\"drives\":[\n{" : ",\n{");
        AppendJsonMembers(b, label, true);
    }
    void Section(std::string_view key, const Record& record) override {
        std::string& b = out_.Buffer();
        b.append(",\n\"").append(key).append("\":");
        AppendJsonObject(b, record);
    }
    void BeginTable(std::string_view key) override {
        out_.Buffer().append(",\n\"").append(key).append("\":[");
        rows_ = 0;
    }
    void Row(const Record& row) override {
        std::string& b = out_.Buffer();
        b.append(rows_++ == 0 ? "\n" : ",\n");
        AppendJsonObject(b, row);
        out_.Step();
    }
    void FormatRow(std::string& text, const Record& row) const override {
        text.append(",\n");
        AppendJsonObject(text, row);
    }
    void FormattedRows(std::string_view text, const Record& /*first*/) override {
        if (text.empty()) {
            return;
        }
        // The table's first row has no comma before it.
        out_.Write(rows_++ == 0 ? text.substr(1) : text);
    }
    [[nodiscard]] const JsonRowFrame* JsonRow() const override { return &frame_; }
    void EndTable() override { out_.Buffer().append(rows_ == 0 ? "]" : "\n]"); }
    void EndDrive() override { out_.Buffer().append("}"); }
    void Finish() override { out_.Buffer().append(drives_ == 0 ? "{\"drives\":[]}\n" : "\n]}\n"); }

  private:
    Output& out_;
    std::size_t drives_ = 0;
    std::size_t rows_ = 0;
    JsonRowFrame frame_{",\n{", false, "}"};
};

class JsonLinesWriter final : public RecordWriter {
  public:
    explicit JsonLinesWriter(Output& out) : out_(out) {}
    void BeginDrive(const Record& label) override {
        drive_.clear();
        AppendJsonString(drive_, label.Text("drive"));
        frame_.open = "{\"drive\":" + drive_;
    }
    void Section(std::string_view /*key*/, const Record& record) override { Row(record); }
    void BeginTable(std::string_view /*key*/) override {}
    void Row(const Record& row) override {
        FormatRow(out_.Buffer(), row);
        out_.Step();
    }
    void FormatRow(std::string& text, const Record& row) const override {
        text.append("{\"drive\":").append(drive_);
        AppendJsonMembers(text, row, false);
        text.append("}\n");
    }
    void FormattedRows(std::string_view text, const Record& /*first*/) override {
        out_.Write(text);
    }
    [[nodiscard]] const JsonRowFrame* JsonRow() const override { return &frame_; }

  private:
    Output& out_;
    std::string drive_;
    JsonRowFrame frame_{"{\"drive\":", true, "}\n"}; // as FormatRow before BeginDrive
};

class CsvWriter final : public RecordWriter {
  public:
    explicit CsvWriter(Output& out) : out_(out) {}
    void BeginDrive(const Record& label) override {
        drive_.clear();
        AppendCsvField(drive_, label.Text("drive"));
    }
    void Section(std::string_view /*key*/, const Record& record) override { Row(record); }
    void BeginTable(std::string_view /*key*/) override {}
    void Row(const Record& row) override {
        Head(row);
        FormatRow(out_.Buffer(), row);
        out_.Step();
    }
    void FormatRow(std::string& text, const Record& row) const override {
        text.append(drive_);
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (!Record::Nested(row[i].kind) && !row[i].textOnly) {
                text.push_back(',');
                AppendScalar(text, row[i], true);
            }
        }
        text.append("\r\n");
    }
    void FormattedRows(std::string_view text, const Record& first) override {
        if (text.empty()) {
            return;
        }
        Head(first);
        out_.Write(text);
    }

  private:
    // One table per output: the first row's fields name the columns.
    void Head(const Record& row) {
        if (headed_) {
            return;
        }
        std::string& b = out_.Buffer();
        b.append("drive");
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (!Record::Nested(row[i].kind) && !row[i].textOnly) {
                b.push_back(',');
                b.append(row[i].key);
            }
        }
        b.append("\r\n");
        headed_ = true;
    }

    Output& out_;
    std::string drive_;
    bool headed_ = false;
};

} // namespace

void AppendScalarText(std::string& out, const Record::Field& field) {
    AppendScalar(out, field, false);
}

void AppendCsvField(std::string& out, std::string_view text) {
    if (!NeedsCsvQuotes(text)) {
        out.append(text);
        return;
    }
    out.push_back('"');
    for (const char c : text) {
        if (c == '"') {
            out.push_back('"');
        }
        out.push_back(c);
    }
    out.push_back('"');
}

void AppendCsvText(std::string& out, std::string_view text) {
    if (text.empty() || (text[0] != '=' && text[0] != '+' && text[0] != '-' && text[0] != '@' &&
                         text[0] != '\t' && text[0] != '\r')) {
        AppendCsvField(out, text);
        return;
    }
    const bool quoted = NeedsCsvQuotes(text);
    if (quoted) {
        out.push_back('"');
    }
    out.push_back('\'');
    for (const char c : text) {
        if (c == '"') {
            out.push_back('"');
        }
        out.push_back(c);
    }
    if (quoted) {
        out.push_back('"');
    }
}

std::unique_ptr<RecordWriter> MakeWriter(Format format, Output& out, bool driveHeadings) {
    switch (format) {
    case Format::Json:
        return std::make_unique<JsonWriter>(out);
    case Format::JsonLines:
        return std::make_unique<JsonLinesWriter>(out);
    case Format::Csv:
        return std::make_unique<CsvWriter>(out);
    case Format::Text:
        return MakeTextWriter(out, driveHeadings);
    case Format::Bodyfile:
        return MakeBodyfileWriter(out);
    }
    return nullptr;
}

} // namespace lorvex::records

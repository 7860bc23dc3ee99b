#include "records/BodyfileWriter.h"

#include <charconv>
#include <string>

namespace lorvex::records {

namespace {

void AppendDecimal(std::string& out, std::int64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof(digits), value).ptr);
}

// In a path as shown a backslash is a separator unless "u{" follows it (an
// escape), and the names hold no control character; a '/' and a '|' in a
// name (which only POSIX-namespace names can hold) are escaped as the rest
// is.
void AppendBodyName(std::string& out, std::string_view drive, std::string_view path) {
    out.append(drive);
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '\\' && path.substr(i + 1, 2) != "u{") {
            out.push_back('/');
        } else if (c == '/') {
            out.append("\\u{2f}");
        } else if (c == '|') {
            out.append("\\u{7c}");
        } else {
            out.push_back(c);
        }
    }
}

// The fields of a row of BodyfileRows, in their order.
enum BodyField : std::size_t {
    kPath,
    kFileName,
    kRecord,
    kAttributeType,
    kAttributeId,
    kMode,
    kSize,
    kAccessed,
    kModified,
    kChanged,
    kCreated,
    kDeleted, // may be left out: a live entry's
    kFieldCount
};

class BodyfileWriter final : public RecordWriter {
  public:
    explicit BodyfileWriter(Output& out) : out_(out) {}
    void BeginDrive(const Record& label) override { drive_ = label.Text("drive"); }
    void Section(std::string_view /*key*/, const Record& /*record*/) override {}
    void BeginTable(std::string_view /*key*/) override {}
    void Row(const Record& row) override {
        FormatRow(out_.Buffer(), row);
        out_.Step();
    }
    void FormatRow(std::string& text, const Record& row) const override {
        if (row.size() != kFieldCount && row.size() != kDeleted) {
            return;
        }
        text.append("0|");
        AppendBodyName(text, drive_, row[kPath].text);
        if (row[kFileName].integer != 0) {
            text.append(" ($FILE_NAME)");
        }
        if (row.size() > kDeleted && row[kDeleted].integer != 0) {
            text.append(" (deleted)");
        }
        text.push_back('|');
        AppendDecimal(text, row[kRecord].integer);
        if (row[kAttributeType].integer != 0) {
            text.push_back('-');
            AppendDecimal(text, row[kAttributeType].integer);
            text.push_back('-');
            AppendDecimal(text, row[kAttributeId].integer);
        }
        text.push_back('|');
        text.append(row[kMode].text).append("|0|0|");
        AppendDecimal(text, row[kSize].integer);
        for (const std::size_t time : {kAccessed, kModified, kChanged, kCreated}) {
            text.push_back('|');
            AppendDecimal(text, row[time].integer);
        }
        text.push_back('\n');
    }
    void FormattedRows(std::string_view text, const Record& /*first*/) override {
        out_.Write(text);
    }

  private:
    Output& out_;
    std::string drive_;
};

} // namespace

std::unique_ptr<RecordWriter> MakeBodyfileWriter(Output& out) {
    return std::make_unique<BodyfileWriter>(out);
}

} // namespace lorvex::records

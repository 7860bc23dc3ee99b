#include "records/TextWriter.h"

#include "ntfs/NumberFormat.h"
#include "ntfs/ScanStages.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace lorvex::records {

namespace {

// printf onto the end of `out`.
__attribute__((format(printf, 2, 3))) void Appendf(std::string& out, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof(line)) {
        out.append(line, static_cast<std::size_t>(n));
        return;
    }
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(n) + 1);
    va_start(args, format);
    std::vsnprintf(out.data() + at, static_cast<std::size_t>(n) + 1, format, args);
    va_end(args);
    out.pop_back();
}

// A text as "%s" writes it: up to its first NUL.
std::string_view UpToNul(std::string_view text) {
    return text.substr(0, text.find('\0'));
}

void AppendText(std::string& out, std::string_view text) {
    out.append(UpToNul(text));
}

// "0.25 GB" as the summary's first lines write sizes.
std::string Gigabytes(std::int64_t clusters, std::int64_t bytesPerCluster) {
    return ntfs::FormatFixed2(static_cast<double>(clusters) *
                              static_cast<double>(static_cast<std::uint32_t>(bytesPerCluster)) /
                              1024 / 1024 / 1024) +
           " GB";
}

// The fields of a row joined by tabs; the nested ones left out.
void AppendFields(std::string& out, const Record& row) {
    bool first = true;
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (!Record::Nested(row[i].kind)) {
            if (!first) {
                out.push_back('\t');
            }
            first = false;
            AppendScalarText(out, row[i]);
        }
    }
    out.push_back('\n');
}

void AppendSummary(std::string& out, const Record& r, std::string_view drive,
                   std::string_view readAs) {
    const std::int64_t perCluster = r.Integer("bytes_per_cluster");
    std::string first = ntfs::VolumeSummaryText(
        r.Integer("clusters"), static_cast<std::uint32_t>(perCluster), std::string(drive) + "\\");
    while (!first.empty() && first.back() == ' ') {
        first.pop_back();
    }
    const std::int64_t free = r.Integer("free_clusters");
    const std::int64_t used = r.Integer("used_clusters");
    Appendf(out, "%s\n", first.c_str());
    Appendf(out, "label              %s\n", std::string(UpToNul(r.Text("label"))).c_str());
    Appendf(out, "read as            %s\n", std::string(UpToNul(readAs)).c_str());
    Appendf(out, "free space         %s clusters (%s)\n",
            ntfs::FormatGrouped(static_cast<double>(free)).c_str(),
            Gigabytes(free, perCluster).c_str());
    Appendf(out, "used space         %s clusters (%s)\n",
            ntfs::FormatGrouped(static_cast<double>(used)).c_str(),
            Gigabytes(used, perCluster).c_str());
    Appendf(out, "file-table entries %" PRId64 "\n", r.Integer("entries"));
    Appendf(out, "extents            %" PRId64 "\n", r.Integer("extents"));
    Appendf(out,
            "fragmented         %" PRId64 " (files %" PRId64 ", directories %" PRId64
            ", system %" PRId64,
            r.Integer("fragmented"), r.Integer("fragmented_files"),
            r.Integer("fragmented_directories"), r.Integer("fragmented_system"));
    if (r.Integer("fragmented_other") > 0) {
        Appendf(out, ", other %" PRId64, r.Integer("fragmented_other"));
    }
    Appendf(out, ")\nstages\n");
    double total = 0;
    if (const Record::Field* stages = r.Find("stages"); stages != nullptr && stages->items) {
        for (std::size_t i = 0; i < stages->items->size(); ++i) {
            const Record& stage = (*stages->items)[i];
            const std::string_view title = stage.Text("stage");
            const double seconds = stage.Find("seconds")->real;
            Appendf(out, "  %-28.*s %9.3f s\n", static_cast<int>(title.size()), title.data(),
                    seconds);
            total += seconds;
        }
    }
    Appendf(out, "  %-28s %9.3f s\n", "total", total);
}

void AppendTexts(std::string& out, const Record& r, std::string_view key, const char* lead) {
    const Record::Field* field = r.Find(key);
    if (field == nullptr || field->kind != Record::Kind::Texts) {
        return;
    }
    for (std::size_t i = 0; i < field->texts.size(); ++i) {
        Appendf(out, "%s%s\n", lead, field->texts[i].c_str());
    }
}

void AppendBitLocker(std::string& out, const Record& r) {
    if (!r.Has("bitlocker_cipher")) {
        Appendf(out, "  BitLocker          %s\n", std::string(r.Text("bitlocker_state")).c_str());
        return;
    }
    Appendf(out, "  BitLocker          %s, %s\n", std::string(r.Text("bitlocker_cipher")).c_str(),
            std::string(r.Text("bitlocker_state")).c_str());
    Appendf(out, "  BitLocker id       %s\n", std::string(r.Text("bitlocker_id")).c_str());
    Appendf(out, "  protectors         %s\n", std::string(r.Text("bitlocker_protectors")).c_str());
    if (r.Has("bitlocker_reader")) {
        Appendf(out, "  decrypted by       %s\n", std::string(r.Text("bitlocker_reader")).c_str());
    }
    AppendTexts(out, r, "bitlocker_notes", "  BitLocker note     ");
}

void AppendVolume(std::string& out, const Record& r, std::string_view title,
                  std::string_view readAs) {
    const auto text = [&r](std::string_view key) { return std::string(UpToNul(r.Text(key))); };
    Appendf(out, "%s\n", std::string(UpToNul(title)).c_str());
    Appendf(out, "  read as            %s\n", std::string(UpToNul(readAs)).c_str());
    // Every file a container reads, so that what the evidence points at is
    // seen.
    AppendTexts(out, r, "reads", "    reads            ");
    if (r.Has("bitlocker_state")) {
        AppendBitLocker(out, r);
    }
    Appendf(out, "  file system        %s\n", text("file_system").c_str());
    Appendf(out, "  label              %s\n", text("label").c_str());
    Appendf(out, "  serial             %s\n", text("serial").c_str());
    if (!r.Has("clusters")) {
        Appendf(out, "\n");
        return;
    }
    Appendf(out, "  device path        %s\n", text("device_path").c_str());
    Appendf(out, "  sectors            %" PRId64 " of %" PRId64 " bytes\n", r.Integer("sectors"),
            r.Integer("bytes_per_sector"));
    Appendf(out, "  clusters           %" PRId64 " of %" PRId64 " bytes, %" PRId64 " free\n",
            r.Integer("clusters"), r.Integer("bytes_per_cluster"), r.Integer("free_clusters"));
    Appendf(out, "  file records       %" PRId64 " bytes, last in use %" PRId64 "\n",
            r.Integer("bytes_per_record"), r.Integer("last_record"));
    Appendf(out,
            "  $MFT               cluster %" PRId64 ", mirror at %" PRId64 ", %" PRId64
            " bytes valid\n",
            r.Integer("mft_lcn"), r.Integer("mft_mirror_lcn"), r.Integer("mft_valid_bytes"));
    Appendf(out, "  MFT zone           clusters %" PRId64 " to %" PRId64 "\n",
            r.Integer("mft_zone_first"), r.Integer("mft_zone_last"));
    Appendf(out, "  flags              %s\n\n", text("flags").c_str());
}

// "LCN<TAB>description<TAB>type": the owner's entry type, or what the map
// shows where no entry holds the cluster.
void AppendOwner(std::string& out, const Record& r) {
    const std::string_view type = r.Text("type").empty() ? r.Text("kind") : r.Text("type");
    Appendf(out, "%" PRId64 "\t", r.Integer("lcn"));
    AppendText(out, r.Text("description"));
    out.push_back('\t');
    out.append(type);
    out.push_back('\n');
}

// The columns it always had, and the type after them.
void AppendFragment(std::string& out, const Record& r) {
    Appendf(out, "%" PRId64 "\t", r.Integer("record"));
    AppendText(out, r.Text("path"));
    Appendf(out, "\t%" PRId64 "\t", r.Integer("fragments"));
    AppendText(out, r.Text("type"));
    out.push_back('\n');
}

void AppendProblem(std::string& out, const Record& r) {
    out.append(r.Text("kind"));
    Appendf(out, " %" PRId64 " %" PRId64, r.Integer("first_lcn"), r.Integer("count"));
    if (const Record::Field* list = r.Find("claimants"); list != nullptr && list->items) {
        for (std::size_t i = 0; i < list->items->size(); ++i) {
            const Record& claimant = (*list->items)[i];
            Appendf(out, "\t%" PRId64 "\t", claimant.Integer("record"));
            AppendText(out, claimant.Has("path") ? claimant.Text("path") : "(not readable)");
        }
    }
    out.push_back('\n');
}

// "N problems: owned-free 0, ...", and what could not be checked.
void AppendProblemCounts(std::string& out, const Record& r) {
    Appendf(out, "%" PRId64 " problems:", r.Integer("problems"));
    bool first = true;
    for (std::size_t i = 1; i < r.size(); ++i) {
        if (r[i].kind == Record::Kind::Integer) {
            Appendf(out, "%s %.*s %" PRId64, first ? "" : ",", static_cast<int>(r[i].key.size()),
                    r[i].key.data(), r[i].integer);
            first = false;
        }
    }
    out.append(r.Text("not_checked"));
    out.push_back('\n');
}

// A file's bytes on a bad area, or an $MFT record on one.
void AppendDamage(std::string& out, const Record& r) {
    AppendText(out, r.Text("kind"));
    Appendf(out, "\t%" PRId64 "\t", r.Integer("record"));
    AppendText(out, r.Has("path") ? r.Text("path") : "(free)");
    if (r.Has("attribute")) {
        out.push_back('\t');
        AppendText(out, r.Text("attribute"));
        Appendf(out, "\t%" PRId64 "\t%" PRId64, r.Integer("first_byte"), r.Integer("byte_count"));
    }
    out.push_back('\t');
    out.append(r.Text("status"));
    out.push_back('\n');
}

void AppendDamageCounts(std::string& out, const Record& r) {
    Appendf(out,
            "%" PRId64 " lines read (%" PRId64 " %s): %" PRId64 " bad areas, %" PRId64
            " clusters of the volume on them: %" PRId64 " hits, %" PRId64 " $MFT records\n",
            r.Integer("lines"), r.Integer("listed"), std::string(r.Text("unit")).c_str(),
            r.Integer("areas"), r.Integer("clusters"), r.Integer("hits"), r.Integer("records"));
}

// The fields joined by tabs, then the path of each other name and each
// named stream, a tab before each.
void AppendDeleted(std::string& out, const Record& r) {
    AppendFields(out, r);
    out.pop_back();
    for (const std::string_view key : {"other_paths", "stream_paths"}) {
        const Record::Field* field = r.Find(key);
        if (field == nullptr || field->kind != Record::Kind::Texts) {
            continue;
        }
        for (std::size_t i = 0; i < field->texts.size(); ++i) {
            out.push_back('\t');
            AppendText(out, field->texts[i]);
        }
    }
    out.push_back('\n');
}

// "N deleted entries: records read X, free Y, ...".
void AppendDeletedCounts(std::string& out, const Record& r) {
    Appendf(out,
            "%" PRId64 " deleted entries: records read %" PRId64 ", free %" PRId64
            ", empty %" PRId64 ", broken update sequence %" PRId64 ", extensions joined %" PRId64
            ", stray %" PRId64 "\n",
            r.Integer("entries"), r.Integer("records_read"), r.Integer("free_records"),
            r.Integer("empty_records"), r.Integer("broken_records"), r.Integer("joined_extensions"),
            r.Integer("stray_extensions"));
}

using RowText = void (*)(std::string&, const Record&);

RowText RowTextOf(std::string_view table) {
    if (table == "owners") {
        return AppendOwner;
    }
    if (table == "fragmented") {
        return AppendFragment;
    }
    if (table == "check") {
        return AppendProblem;
    }
    if (table == "damage") {
        return AppendDamage;
    }
    if (table == "deleted") {
        return AppendDeleted;
    }
    return AppendFields;
}

class TextWriter final : public RecordWriter {
  public:
    TextWriter(Output& out, bool driveHeadings) : out_(out), driveHeadings_(driveHeadings) {}
    void BeginDrive(const Record& label) override {
        drive_ = label.Text("drive");
        readAs_ = label.Text("read_as");
        // "C:  /path/disk.img (partition 2)"
        title_ = drive_ + "  " + std::string(label.Text("source"));
        if (const std::int64_t partition = label.Integer("partition"); partition > 0) {
            title_ += " (partition " + std::to_string(partition) + ")";
        }
        if (driveHeadings_) {
            Appendf(out_.Buffer(), "== %s ==\n", std::string(UpToNul(title_)).c_str());
        }
    }
    void Section(std::string_view key, const Record& record) override {
        if (key == "summary") {
            AppendSummary(out_.Buffer(), record, drive_, readAs_);
        } else if (key == "volume") {
            AppendVolume(out_.Buffer(), record, title_, readAs_);
        } else {
            AppendFields(out_.Buffer(), record);
        }
        out_.Step();
    }
    void BeginTable(std::string_view key) override { rowText_ = RowTextOf(key); }
    void Row(const Record& row) override {
        rowText_(out_.Buffer(), row);
        out_.Step();
    }
    void FormatRow(std::string& text, const Record& row) const override { rowText_(text, row); }
    void FormattedRows(std::string_view text, const Record& /*first*/) override {
        out_.Write(text);
    }
    bool Footer(std::string_view key, const Record& record) override {
        if (key == "check") {
            AppendProblemCounts(out_.Buffer(), record);
        } else if (key == "damage") {
            AppendDamageCounts(out_.Buffer(), record);
        } else if (key == "deleted") {
            AppendDeletedCounts(out_.Buffer(), record);
        } else {
            AppendFields(out_.Buffer(), record);
        }
        return true;
    }
    void EndTable() override { rowText_ = AppendFields; }
    void EndDrive() override {
        if (driveHeadings_) {
            out_.Buffer().push_back('\n');
        }
    }

  private:
    Output& out_;
    bool driveHeadings_;
    RowText rowText_ = AppendFields;
    std::string drive_;
    std::string readAs_;
    std::string title_;
};

} // namespace

std::unique_ptr<RecordWriter> MakeTextWriter(Output& out, bool driveHeadings) {
    return std::make_unique<TextWriter>(out, driveHeadings);
}

} // namespace lorvex::records

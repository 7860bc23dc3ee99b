#include "platform/EwfChunkTables.h"

#include "ondisk/ByteReader.h"
#include "ondisk/EwfSections.h"
#include "platform/SourceBytes.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <unistd.h>

namespace lorvex::platform {

namespace ewf = ondisk::ewf;

namespace {

// Entries are read this many at a time, whatever a table claims.
constexpr std::size_t kEntriesAtOnce = 16384;

// A table with more oversized chunks than this is damaged as a whole.
constexpr std::size_t kMostOversized = 1024;

struct Descriptor {
    int fd = -1;
    explicit Descriptor(int f) : fd(f) {}
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

} // namespace

EwfChunkTables::~EwfChunkTables() = default;

std::unique_ptr<EwfChunkTables> EwfChunkTables::Read(const std::vector<std::string>& files,
                                                     std::uint64_t chunks, std::uint64_t chunkSize,
                                                     std::string& why) {
    std::unique_ptr<EwfChunkTables> t(new EwfChunkTables());
    t->files_ = files;
    t->chunkSize_ = chunkSize;
    t->largest_ = ewf::LargestStoredChunk(chunkSize);
    for (std::size_t f = 0; f < files.size() && t->described_ < chunks; ++f) {
        int err = 0;
        std::string reason;
        const Descriptor file(OpenSourceReadOnly(files[f], err, reason));
        if (file.fd < 0) {
            why = files[f] + ": " + reason;
            return nullptr;
        }
        bool sized = false;
        const std::uint64_t size = SourceSize(file.fd, sized);
        std::array<std::byte, ewf::file::kSize> header{};
        if (!sized || ReadFully(file.fd, 0, header) != header.size() ||
            !ewf::IsSegmentFile(header)) {
            why = files[f] + ": not an EnCase segment file";
            return nullptr;
        }
        // A section that does not lead on (a chain that stops, or turns
        // back) ends the walk, as it ends the library's.
        std::uint64_t at = ewf::file::kSize;
        while (at < size && size - at >= ewf::section::kDescriptorSize) {
            std::array<std::byte, ewf::section::kDescriptorSize + ewf::table::kHeaderSize> bytes{};
            const std::size_t got = ReadFully(file.fd, at, bytes);
            const auto section = ewf::ReadSectionDescriptor(std::span(bytes).first(got));
            if (!section) {
                break;
            }
            const std::string_view name = section->name();
            if (name == "table" || name == "table2") {
                Section s;
                s.start = at;
                s.end = SaturatingAdd(at, section->size);
                const auto table = ewf::ReadTableHeader(
                    std::span(bytes).first(got).subspan(ewf::section::kDescriptorSize));
                if (table) {
                    s.base = table->base;
                    s.entries = table->entries;
                }
                if (name == "table" && table) {
                    Table entry;
                    entry.file = f;
                    entry.first = t->described_;
                    entry.primary = s;
                    t->tables_.push_back(std::move(entry));
                    t->described_ += s.entries;
                } else if (name == "table2" && !t->tables_.empty() && t->tables_.back().file == f &&
                           t->tables_.back().backup.entries == 0) {
                    t->tables_.back().backup = s;
                }
            }
            if (name == "done" || name == "next" || section->next < at ||
                section->next - at < ewf::section::kDescriptorSize) {
                break;
            }
            at = section->next;
        }
    }
    return t;
}

bool EwfChunkTables::Scan(int fd, const Section& section, std::vector<Oversized>& out,
                          bool& checksumMatches, std::string& why) const {
    checksumMatches = true;
    const std::uint64_t from =
        SaturatingAdd(section.start, ewf::section::kDescriptorSize + ewf::table::kHeaderSize);
    const std::uint64_t bytes = std::uint64_t{section.entries} * ewf::table::kEntrySize;
    if (from > section.end || bytes > section.end - from) {
        why = "its table at byte " + std::to_string(section.start) + " claims " +
              std::to_string(section.entries) + " entries, more than its section holds";
        return false;
    }
    std::vector<std::byte> buffer(kEntriesAtOnce * ewf::table::kEntrySize);
    ewf::ChunkSizes sizes(section.base);
    std::uint32_t adler = 1;
    const auto note = [&](std::uint64_t index, std::uint64_t size) {
        if (size > largest_) {
            out.push_back({index, size});
        }
        return out.size() <= kMostOversized;
    };
    for (std::uint64_t done = 0; done < section.entries;) {
        const auto n = static_cast<std::size_t>(
            std::min<std::uint64_t>(kEntriesAtOnce, section.entries - done));
        const std::span<std::byte> part = std::span(buffer).first(n * ewf::table::kEntrySize);
        if (ReadFully(fd, from + done * ewf::table::kEntrySize, part) != part.size()) {
            why = "its table at byte " + std::to_string(section.start) + " cannot be read";
            return false;
        }
        adler = libdeflate_adler32(adler, part.data(), part.size());
        const ondisk::ByteReader r(part);
        for (std::size_t i = 0; i < n; ++i) {
            const auto size = sizes.Add(*r.u32(i * ewf::table::kEntrySize));
            if (size && !note(done + i - 1, *size)) {
                why = "more than " + std::to_string(kMostOversized) +
                      " chunks of its table claim more bytes than any writer stores a chunk in";
                return false;
            }
        }
        done += n;
    }
    if (section.entries != 0 &&
        !note(section.entries - 1, sizes.Last(section.start, section.end))) {
        why = "more than " + std::to_string(kMostOversized) +
              " chunks of its table claim more bytes than any writer stores a chunk in";
        return false;
    }
    // The SMART variant keeps no checksum after the entries; where there is
    // no room for one, there is none to fail.
    std::array<std::byte, 4> stored{};
    if (section.end - from - bytes >= stored.size() &&
        ReadFully(fd, from + bytes, stored) == stored.size()) {
        checksumMatches = *ondisk::ByteReader(stored).u32(0) == adler;
    }
    return true;
}

void EwfChunkTables::Load(Table& table) const {
    table.loaded = true;
    int err = 0;
    std::string reason;
    const Descriptor file(OpenSourceReadOnly(files_[table.file], err, reason));
    if (file.fd < 0) {
        table.damage = "cannot be told: " + files_[table.file] + ": " + reason;
        return;
    }
    bool matches = true;
    if (!Scan(file.fd, table.primary, table.oversized, matches, reason)) {
        table.damage = "cannot be told: " + reason + " in " + files_[table.file];
        table.oversized.clear();
        return;
    }
    if (matches || table.backup.entries == 0) {
        return;
    }
    // The library mends a table whose checksum fails from its copy; which
    // of the two it goes by for a chunk is not told, so a chunk either
    // gives too many bytes is oversized.
    std::vector<Oversized> copy;
    bool copyMatches = true;
    if (!Scan(file.fd, table.backup, copy, copyMatches, reason)) {
        return;
    }
    std::vector<Oversized> both;
    std::merge(table.oversized.begin(), table.oversized.end(), copy.begin(), copy.end(),
               std::back_inserter(both),
               [](const Oversized& a, const Oversized& b) { return a.index < b.index; });
    table.oversized.clear();
    for (const Oversized& o : both) {
        if (!table.oversized.empty() && table.oversized.back().index == o.index) {
            table.oversized.back().size = std::max(table.oversized.back().size, o.size);
        } else {
            table.oversized.push_back(o);
        }
    }
}

bool EwfChunkTables::Fits(std::uint64_t index, std::string& why) {
    const auto after =
        std::upper_bound(tables_.begin(), tables_.end(), index,
                         [](std::uint64_t i, const Table& table) { return i < table.first; });
    if (after == tables_.begin() ||
        index - std::prev(after)->first >= std::prev(after)->primary.entries) {
        why = "is in none of the set's chunk tables";
        return false;
    }
    Table& table = *std::prev(after);
    if (!table.loaded) {
        Load(table);
    }
    if (!table.damage.empty()) {
        why = "is damaged: its stored size " + table.damage;
        return false;
    }
    const std::uint64_t within = index - table.first;
    const auto found =
        std::lower_bound(table.oversized.begin(), table.oversized.end(), within,
                         [](const Oversized& o, std::uint64_t i) { return o.index < i; });
    if (found != table.oversized.end() && found->index == within) {
        why = "is damaged: its table in " + files_[table.file] + " gives it " +
              std::to_string(found->size) + " stored bytes, where no writer stores a chunk of " +
              std::to_string(chunkSize_) + " bytes in more than " + std::to_string(largest_);
        return false;
    }
    return true;
}

} // namespace lorvex::platform

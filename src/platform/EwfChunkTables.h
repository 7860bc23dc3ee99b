#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lorvex::platform {

// The chunk tables of an EnCase set, read here from its segment files. libewf
// tells nothing of how many bytes a chunk is stored in, and copies the chunk
// whole, however many its table claims (up to 4 GiB), when asked for it: so
// each chunk's stored size is worked out here first, the library's way, and a
// chunk stored in more bytes than any writer stores one in is never asked for.
//
// The segments' sections are walked when the set is opened; a table's entries
// are read when one of its chunks is first asked about, and what is kept of
// them is only the chunks found oversized.
class EwfChunkTables {
  public:
    EwfChunkTables(const EwfChunkTables&) = delete;
    EwfChunkTables& operator=(const EwfChunkTables&) = delete;
    ~EwfChunkTables();

    // Walks the sections of the segments `files` (all of a set, in order),
    // noting the tables of the set's first `chunks` chunks of `chunkSize`
    // bytes; nullptr with the reason, naming the segment, in `why`.
    static std::unique_ptr<EwfChunkTables> Read(const std::vector<std::string>& files,
                                                std::uint64_t chunks, std::uint64_t chunkSize,
                                                std::string& why);

    // Whether chunk `index` is stored in no more bytes than a writer stores
    // a chunk in (ondisk::ewf::LargestStoredChunk). When it is not, or its
    // table cannot be read, false with the reason in `why`, a text that goes
    // on from "chunk N ".
    bool Fits(std::uint64_t index, std::string& why);

    // The number of chunks the tables found describe.
    [[nodiscard]] std::uint64_t described() const { return described_; }

  private:
    EwfChunkTables() = default;

    struct Section {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        std::uint64_t base = 0;
        std::uint32_t entries = 0;
    };
    struct Oversized {
        std::uint64_t index = 0; // within the table
        std::uint64_t size = 0;
    };
    struct Table {
        std::size_t file = 0; // in files_
        std::uint64_t first = 0;
        Section primary;
        Section backup; // its "table2" copy; no entries when there is none
        bool loaded = false;
        std::string damage;               // why none of its chunks can be told
        std::vector<Oversized> oversized; // sorted
    };

    // Finds the table's oversized chunks, from its entries and, where their
    // checksum fails (the library then goes by the copy), from its copy's
    // too; otherwise notes in `damage` why they cannot be told.
    void Load(Table& table) const;
    // Adds the oversized chunks one section's entries give to `out`; false
    // with the reason. `checksumMatches` says whether the entries' Adler-32
    // holds.
    bool Scan(int fd, const Section& section, std::vector<Oversized>& out, bool& checksumMatches,
              std::string& why) const;

    std::vector<std::string> files_;
    std::uint64_t chunkSize_ = 0;
    std::uint64_t largest_ = 0; // stored bytes a chunk may take
    std::vector<Table> tables_; // by first chunk
    std::uint64_t described_ = 0;
};

} // namespace lorvex::platform

// EnCase sets read chunk by chunk (libewf finds each chunk's stored bytes,
// they are inflated or checked here): the raw images' bytes exactly, from
// whole chunks, from reads that start and end inside one, and from a short
// last chunk; damage in either kind of chunk is a failed read with the
// reason, never bytes passed off as data.
#include "platform/EwfDecoder.h"
#include "platform/ContainerImage.h"
#include "platform/SourceBytes.h"
#include "support/Measured.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>
#include <libewf.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <thread>

namespace lorvex::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kChunk = 32768; // what ewfacquire writes by default

std::unique_ptr<platform::EwfDecoder> OpenSet(const fs::path& first) {
    std::string why;
    const auto image = platform::ContainerImage::Open(first.string(), why);
    EXPECT_TRUE(image) << why;
    if (!image) {
        return nullptr;
    }
    auto decoder = platform::EwfDecoder::Open(image->files(), why);
    EXPECT_TRUE(decoder) << why;
    return decoder;
}

std::vector<std::byte> Decoded(platform::EwfDecoder& decoder, std::uint64_t offset,
                               std::size_t size) {
    std::vector<std::byte> out(size);
    std::string why;
    EXPECT_TRUE(decoder.Decode(offset, out, why)) << "at " << offset << ": " << why;
    return out;
}

std::vector<std::byte> Slice(const std::vector<std::byte>& all, std::uint64_t offset,
                             std::size_t size) {
    const auto from = all.begin() + static_cast<std::ptrdiff_t>(offset);
    return {from, from + static_cast<std::ptrdiff_t>(size)};
}

std::vector<std::byte> AsBytes(const std::string& s) {
    std::vector<std::byte> bytes(s.size());
    std::memcpy(bytes.data(), s.data(), s.size());
    return bytes;
}

// Whole chunks, then reads that begin and end inside chunks, a byte alone,
// and the disk's last bytes.
void ExpectTheRawBytes(platform::EwfDecoder& decoder, const std::vector<std::byte>& raw) {
    std::uint64_t size = 0;
    std::string why;
    ASSERT_TRUE(decoder.Size(size, why)) << why;
    ASSERT_EQ(size, raw.size());
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    for (std::uint64_t at = 0; at < raw.size(); at += kPiece) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, raw.size() - at));
        ASSERT_TRUE(Decoded(decoder, at, n) == Slice(raw, at, n)) << "at " << at;
    }
    const std::uint64_t last = (raw.size() - 1) / kChunk * kChunk;
    const struct {
        std::uint64_t offset;
        std::size_t size;
    } reads[] = {
        {kChunk + 100, 2 * kChunk + 7}, // three chunks, in part at both ends
        {2 * kChunk + 512, 1000},       // inside one chunk
        {3 * kChunk - 1, 2},            // across a boundary
        {5 * kChunk + 4095, 1},
        {last, static_cast<std::size_t>(raw.size() - last)}, // the last chunk whole
        {last + 3, static_cast<std::size_t>(raw.size() - last - 3)},
        {raw.size() - kChunk - 300, kChunk + 300}, // ends with the disk
    };
    for (const auto& r : reads) {
        ASSERT_LE(r.offset + r.size, raw.size());
        EXPECT_TRUE(Decoded(decoder, r.offset, r.size) == Slice(raw, r.offset, r.size))
            << r.size << " bytes at " << r.offset;
    }
    // Past the end is a failure, not zeros.
    std::vector<std::byte> beyond(1024);
    EXPECT_FALSE(decoder.Decode(raw.size() - 512, beyond, why));
}

// A disk made here: one kind per chunk, the last of them cut short to
// `lastSize` bytes. 't' is text (it shrinks: stored compressed), 'r'
// random bytes (stored plain: they do not shrink), 'z' zeros.
struct MadeSet {
    fs::path raw;
    fs::path e01;
    std::vector<std::byte> bytes;

    MadeSet(const std::string& name, const std::string& kinds, std::size_t lastSize) {
        std::string text;
        for (int i = 0; text.size() < kChunk; ++i) {
            text += "record " + std::to_string(i) + " name file-" + std::to_string(i * 7) +
                    ".txt size " + std::to_string(i * 13) + "\n";
        }
        std::mt19937_64 random(42);
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            const std::size_t n = k + 1 == kinds.size() ? lastSize : kChunk;
            for (std::size_t i = 0; i < n; ++i) {
                const char kind = kinds[k];
                bytes.push_back(kind == 't'   ? static_cast<std::byte>(text[(i + k * 11) % kChunk])
                                : kind == 'r' ? static_cast<std::byte>(random() & 0xFF)
                                              : std::byte{0});
            }
        }
        raw = TempPath(name + ".raw");
        const fs::path target = TempPath(name);
        e01 = target.string() + ".E01";
        {
            std::ofstream out(raw, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
        }
        fs::remove(e01);
        const std::string command = "ewfacquire -u -q -c deflate:fast -t " + Quote(target) + " " +
                                    Quote(raw) + " >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
    ~MadeSet() {
        fs::remove(raw);
        fs::remove(e01);
    }
    MadeSet(const MadeSet&) = delete;
    MadeSet& operator=(const MadeSet&) = delete;

    // Where chunk `index`, stored plain (random), lies in the segment file:
    // its bytes are there as they are.
    [[nodiscard]] std::size_t StoredAt(std::size_t index) const {
        const std::string file = ReadFile(e01);
        const std::string head(reinterpret_cast<const char*>(bytes.data()) + index * kChunk, 64);
        const auto at = file.find(head);
        EXPECT_NE(at, std::string::npos);
        EXPECT_EQ(file.find(head, at + 1), std::string::npos) << "found twice";
        return at;
    }

    void Flip(std::size_t at, std::size_t n) const {
        std::fstream f(e01, std::ios::in | std::ios::out | std::ios::binary);
        std::string part(n, '\0');
        f.seekg(static_cast<std::streamoff>(at));
        f.read(part.data(), static_cast<std::streamsize>(n));
        for (char& c : part) {
            c = static_cast<char>(~c);
        }
        f.seekp(static_cast<std::streamoff>(at));
        f.write(part.data(), static_cast<std::streamsize>(n));
    }
};

// libewf's own read of the range on a handle of its own: its bytes, or
// nothing when it fails or notes a checksum error in the range.
std::optional<std::vector<std::byte>> LibraryRead(const fs::path& e01, std::uint64_t offset,
                                                  std::size_t size) {
    libewf_handle_t* handle = nullptr;
    if (libewf_handle_initialize(&handle, nullptr) != 1) {
        return std::nullopt;
    }
    std::string name = e01.string();
    char* names[] = {name.data()};
    std::optional<std::vector<std::byte>> bytes;
    if (libewf_handle_open(handle, names, 1, LIBEWF_OPEN_READ, nullptr) == 1) {
        std::vector<std::byte> out(size);
        std::uint32_t errors = 0;
        if (libewf_handle_read_random(handle, out.data(), size, static_cast<off64_t>(offset),
                                      nullptr) == static_cast<ssize_t>(size) &&
            libewf_handle_get_number_of_checksum_errors(handle, &errors, nullptr) == 1 &&
            errors == 0) {
            bytes = std::move(out);
        }
        libewf_handle_close(handle, nullptr);
    }
    libewf_handle_free(&handle, nullptr);
    return bytes;
}

std::uint32_t Adler32(const char* data, std::size_t size) {
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (std::size_t i = 0; i < size; ++i) {
        a = (a + static_cast<unsigned char>(data[i])) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

TEST(EwfChunks, DecodeToTheRawImagesBytesWholeAndInPart) {
    // deflate, one segment; stored plain, seventeen segments of 1 MiB.
    for (const char* name : {"ntfs-4k.E01", "ntfs-small-split.E01"}) {
        SCOPED_TRACE(name);
        const std::string base = name == std::string("ntfs-4k.E01") ? "ntfs-4k" : "ntfs-small";
        const auto raw = AsBytes(ReadFile(VolumeDir() / (base + ".img")));
        const auto decoder = OpenSet(VolumeDir() / "containers" / name);
        ASSERT_TRUE(decoder);
        ExpectTheRawBytes(*decoder, raw);
        // Every chunk went the new way; none was left to the library.
        const auto counts = decoder->counts();
        EXPECT_EQ(counts.library, 0U);
        EXPECT_GT(counts.inflated + counts.checked, raw.size() / kChunk);
        EXPECT_GT(base == "ntfs-4k" ? counts.inflated : counts.checked, raw.size() / kChunk / 2);
    }
}

TEST(EwfChunks, AShortLastChunkDecodesStoredEitherWay) {
    for (const char last : {'r', 't'}) {
        SCOPED_TRACE(std::string("last chunk: ") + last);
        // 8 chunks, the last 5 sectors long.
        const MadeSet set(std::string("lorvex-ewf-short-") + last, std::string("ttrtzrt") + last,
                          5 * 512);
        ASSERT_EQ(set.bytes.size(), 7 * kChunk + 5 * 512);
        const auto decoder = OpenSet(set.e01);
        ASSERT_TRUE(decoder);
        ExpectTheRawBytes(*decoder, set.bytes);
        const auto counts = decoder->counts();
        EXPECT_GT(counts.inflated, 0U);
        EXPECT_GT(counts.checked, 0U);
        EXPECT_EQ(counts.library, 0U);
    }
}

TEST(EwfChunks, DamageInEitherKindOfChunkIsAFailedReadWithItsReason) {
    // Chunk 3 is stored compressed right before chunk 4, stored plain.
    const std::string kinds = "ttttrtt";
    const struct {
        const char* name;
        std::size_t damaged;
        std::ptrdiff_t where; // from the start of chunk 4's stored bytes
    } cases[] = {
        {"compressed", 3, -16}, // inside chunk 3's stream, before its Adler-32
        {"plain", 4, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const MadeSet set(std::string("lorvex-ewf-damaged-") + c.name, kinds, kChunk);
        set.Flip(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(set.StoredAt(4)) + c.where),
                 4);
        const auto decoder = OpenSet(set.e01);
        ASSERT_TRUE(decoder);
        std::vector<std::byte> chunk(kChunk);
        std::string why;
        const std::uint64_t at = c.damaged * kChunk;
        EXPECT_FALSE(decoder->Decode(at, chunk, why));
        EXPECT_NE(why.find("fail their checksum"), std::string::npos) << why;
        // Again, now from the library's cache; and a part of it alone.
        why.clear();
        EXPECT_FALSE(decoder->Decode(at, chunk, why));
        EXPECT_NE(why.find("fail their checksum"), std::string::npos) << why;
        EXPECT_FALSE(decoder->Decode(at + 1000, std::span(chunk).first(512), why));
        EXPECT_GE(decoder->counts().library, 1U);
        // The chunks on either side still read.
        for (const std::uint64_t other : {at - kChunk, at + kChunk}) {
            EXPECT_TRUE(Decoded(*decoder, other, kChunk) == Slice(set.bytes, other, kChunk))
                << "at " << other;
        }
        // Through the image, a read across the damage keeps what comes
        // before it and stops there.
        std::uint32_t error = 0;
        const auto image = platform::SourceBytes::Open(set.e01.string(), 0, UINT64_MAX, error);
        ASSERT_TRUE(image);
        std::vector<std::byte> wide(3 * kChunk);
        ASSERT_EQ(image->Read(at - kChunk, wide), kChunk);
        EXPECT_TRUE(std::vector(wide.begin(), wide.begin() + kChunk) ==
                    Slice(set.bytes, at - kChunk, kChunk));
    }
}

// A segment file's sections as ewfacquire lays them out: each descriptor's
// place and type, from the first after the file header on.
struct SectionAt {
    std::size_t at = 0;
    std::string type;
};

std::uint64_t GetLE(const std::string& file, std::size_t at, int width) {
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(file[at + static_cast<std::size_t>(i)]);
    }
    return v;
}

void PutLE(std::string& file, std::size_t at, std::uint64_t v, int width) {
    for (int i = 0; i < width; ++i) {
        file[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    }
}

std::vector<SectionAt> Sections(const std::string& file) {
    std::vector<SectionAt> out;
    for (std::size_t at = 13; at + 76 <= file.size();) {
        out.push_back({at, std::string(file.c_str() + at)});
        const auto next = static_cast<std::size_t>(GetLE(file, at + 16, 8));
        if (out.back().type == "done" || next <= at) {
            break;
        }
        at = next;
    }
    return out;
}

// A table's entries begin after its descriptor (76 bytes) and header (24).
constexpr std::size_t kEntries = 100;

std::uint32_t Entry(const std::string& file, const SectionAt& table, std::size_t k) {
    return static_cast<std::uint32_t>(GetLE(file, table.at + kEntries + 4 * k, 4));
}

// Writes entry k of the table and the entries' Adler-32 after them.
void SetEntry(std::string& file, const SectionAt& table, std::size_t k, std::uint32_t value) {
    const auto count = static_cast<std::size_t>(GetLE(file, table.at + 76, 4));
    PutLE(file, table.at + kEntries + 4 * k, value, 4);
    PutLE(file, table.at + kEntries + 4 * count,
          Adler32(file.data() + table.at + kEntries, 4 * count), 4);
}

void WriteWhole(const fs::path& path, const std::string& file) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(file.data(), static_cast<std::streamsize>(file.size()));
}

// Chunk 2's table entry is followed by three that start where chunk 6
// does: chunk 2, compressed, now runs on over chunks 3 to 5 (stored plain,
// 32 KiB each), more than 3 chunks' worth, and those three are empty. No
// writer stores a chunk in that many bytes: it is damaged, a failed read
// with the reason, and the library is never asked for it (it would copy the
// chunk whole, however large). The empty ones read as the library reads
// them, and so does every other chunk.
TEST(EwfChunks, AChunkStoredLargerThanAnyWriterStoresOneIsAFailedReadTheLibraryIsNotAskedFor) {
    constexpr std::size_t kLarge = 2;
    constexpr std::size_t kEmptied[] = {3, 4, 5};
    MadeSet set("lorvex-ewf-oversized", "tttrrrtttttt", kChunk);
    std::string file = ReadFile(set.e01);
    for (const SectionAt& table : Sections(file)) {
        if (table.type != "table" && table.type != "table2") {
            continue;
        }
        ASSERT_EQ(GetLE(file, table.at + 76, 4), set.bytes.size() / kChunk) << table.type;
        for (const std::size_t k : kEmptied) {
            SetEntry(file, table, k, Entry(file, table, 6));
        }
    }
    WriteWhole(set.e01, file);
    const auto decoder = OpenSet(set.e01);
    ASSERT_TRUE(decoder);
    for (std::size_t k = 0; k < set.bytes.size() / kChunk; ++k) {
        SCOPED_TRACE("chunk " + std::to_string(k));
        const auto before = decoder->counts().library;
        std::vector<std::byte> got(kChunk);
        std::string why;
        const bool ok = decoder->Decode(k * kChunk, got, why);
        if (k == kLarge) {
            EXPECT_FALSE(ok);
            EXPECT_NE(why.find("chunk 2 (sectors 128 to 191) is damaged"), std::string::npos)
                << why;
            EXPECT_NE(why.find("stored bytes"), std::string::npos) << why;
            EXPECT_EQ(decoder->counts().library, before);
            continue;
        }
        const auto expected = LibraryRead(set.e01, k * kChunk, kChunk);
        ASSERT_EQ(ok, expected.has_value()) << why;
        if (ok) {
            EXPECT_TRUE(got == *expected);
        }
        if (std::find(std::begin(kEmptied), std::end(kEmptied), k) == std::end(kEmptied)) {
            EXPECT_TRUE(ok && got == Slice(set.bytes, k * kChunk, kChunk));
            EXPECT_EQ(decoder->counts().library, before);
        }
    }
}

// The table's copy ("table2") is what the library mends a table from when
// the table fails its checksum. A copy that gives a chunk 1 GiB more counts
// only then.
TEST(EwfChunks, TheTablesCopyCountsOnlyWhenTheTableFailsItsChecksum) {
    MadeSet set("lorvex-ewf-copy", "trtrtt", kChunk);
    std::string file = ReadFile(set.e01);
    const auto sections = Sections(file);
    const auto copy = std::find_if(sections.begin(), sections.end(),
                                   [](const SectionAt& s) { return s.type == "table2"; });
    ASSERT_NE(copy, sections.end());
    SetEntry(file, *copy, 2, Entry(file, *copy, 2) + 0x40000000U);
    WriteWhole(set.e01, file);
    {
        const auto decoder = OpenSet(set.e01);
        ASSERT_TRUE(decoder);
        ExpectTheRawBytes(*decoder, set.bytes);
    }
    // Now the table's own checksum fails: chunks 1 and 2, whose sizes the
    // copy's entry 2 gives, are damaged; the others still read.
    const auto table = std::find_if(sections.begin(), sections.end(),
                                    [](const SectionAt& s) { return s.type == "table"; });
    ASSERT_NE(table, sections.end());
    const std::size_t sum = table->at + kEntries + 4 * (set.bytes.size() / kChunk);
    PutLE(file, sum, ~GetLE(file, sum, 4), 4);
    WriteWhole(set.e01, file);
    const auto decoder = OpenSet(set.e01);
    ASSERT_TRUE(decoder);
    for (std::size_t k = 0; k < set.bytes.size() / kChunk; ++k) {
        std::vector<std::byte> got(kChunk);
        std::string why;
        const bool ok = decoder->Decode(k * kChunk, got, why);
        if (k == 1 || k == 2) {
            EXPECT_FALSE(ok) << k;
            EXPECT_NE(why.find("chunk " + std::to_string(k) + " ("), std::string::npos) << why;
        } else {
            EXPECT_TRUE(ok && got == Slice(set.bytes, k * kChunk, kChunk)) << k << ": " << why;
        }
    }
}

// A sparse set of nearly 2 GiB whose table gives its first chunk 1.9 GiB:
// the hole is opened right after chunk 0's stored bytes, every section
// after it moved on by as much. The library would copy all of it, and under
// no memory limit it takes gigabytes and half a minute; here it is a
// damaged chunk, told at once.
TEST(EwfChunks, AFirstChunkClaimingNearlyTwoGiBIsRefusedAtOnce) {
    MadeSet set("lorvex-ewf-claims", "trtttt", kChunk);
    std::string file = ReadFile(set.e01);
    const auto sections = Sections(file);
    const auto table = std::find_if(sections.begin(), sections.end(),
                                    [](const SectionAt& s) { return s.type == "table"; });
    ASSERT_NE(table, sections.end());
    const std::uint64_t base = GetLE(file, table->at + 84, 8);
    const std::uint32_t first = Entry(file, *table, 0) & 0x7FFFFFFFU;
    const std::uint32_t second = Entry(file, *table, 1) & 0x7FFFFFFFU;
    constexpr std::uint64_t kClaim = std::uint64_t{19} * (std::uint64_t{1} << 30) / 10;
    const std::uint64_t hole = kClaim - (second - first);
    const auto cut = static_cast<std::size_t>(base + second);
    for (const SectionAt& s : sections) {
        const std::uint64_t next = GetLE(file, s.at + 16, 8);
        const std::uint64_t size = GetLE(file, s.at + 24, 8);
        if (s.at < cut) {
            PutLE(file, s.at + 24, s.at + size > cut ? size + hole : size, 8);
        }
        PutLE(file, s.at + 16, next > cut || s.at >= cut ? next + hole : next, 8);
        if (s.type == "table" || s.type == "table2") {
            const auto count = static_cast<std::size_t>(GetLE(file, s.at + 76, 4));
            for (std::size_t k = 1; k < count; ++k) {
                SetEntry(file, s, k, static_cast<std::uint32_t>(Entry(file, s, k) + hole));
            }
        }
        PutLE(file, s.at + 72, Adler32(file.data() + s.at, 72), 4);
    }
    {
        std::ofstream out(set.e01, std::ios::binary | std::ios::trunc);
        out.write(file.data(), static_cast<std::streamsize>(cut));
        out.seekp(static_cast<std::streamoff>(cut + hole));
        out.write(file.data() + cut, static_cast<std::streamsize>(file.size() - cut));
    }
    ASSERT_EQ(fs::file_size(set.e01), file.size() + hole);

    const auto decoder = OpenSet(set.e01);
    ASSERT_TRUE(decoder);
    std::vector<std::byte> chunk(kChunk);
    std::string why;
    EXPECT_FALSE(decoder->Decode(0, chunk, why));
    EXPECT_NE(why.find("chunk 0 (sectors 0 to 63) is damaged: its table in"), std::string::npos)
        << why;
    EXPECT_NE(why.find("gives it " + std::to_string(kClaim) + " stored bytes"), std::string::npos)
        << why;
    EXPECT_EQ(decoder->counts().library, 0U);
    // The chunks after it are where the table says.
    EXPECT_TRUE(Decoded(*decoder, kChunk, 5 * kChunk) == Slice(set.bytes, kChunk, 5 * kChunk));

    // As people run it: no memory limit.
    const Measured m = RunMeasured({LORVEX_SCAN, set.e01.string()}, 60);
    EXPECT_EQ(m.status, 1) << m.err;
    EXPECT_NE(m.err.find("chunk 0 (sectors 0 to 63) is damaged"), std::string::npos) << m.err;
    EXPECT_LT(m.seconds, 5.0 * kSanitizerRoom);
    EXPECT_LT(static_cast<double>(m.peakBytes), 200.0 * (1 << 20) * kSanitizerRoom);
}

// Every layout ewfacquire writes: the older ones keep the chunks inside
// their table sections and (SMART) no checksum after the entries; EnCase 5
// starts a second table after 16375 chunks. 8 KiB chunks make 16400 of them
// from a sparse disk with a few marked chunks, read whole and compared (the
// first 4 MiB of it in the older layouts).
TEST(EwfChunks, EveryLayoutTheWriterMakesReadsToTheRawBytes) {
    constexpr std::size_t kSmall = 8192;
    constexpr std::size_t kCount = 16400;
    const fs::path raw = TempPath("lorvex-ewf-layouts.raw");
    {
        std::ofstream out(raw, std::ios::binary | std::ios::trunc);
        for (const std::size_t k : {std::size_t{0}, std::size_t{1}, std::size_t{16374},
                                    std::size_t{16375}, std::size_t{16376}, kCount - 1}) {
            std::string mark;
            while (mark.size() < kSmall) {
                mark += "chunk " + std::to_string(k) + " of the layouts test\n";
            }
            out.seekp(static_cast<std::streamoff>(k * kSmall));
            out.write(mark.data(), static_cast<std::streamsize>(kSmall));
        }
    }
    const std::string bytes = ReadFile(raw);
    ASSERT_EQ(bytes.size(), kCount * kSmall);
    const struct {
        const char* format;
        std::size_t size;
    } layouts[] = {{"encase5", bytes.size()}, {"ewf", 512 * kSmall}, {"smart", 512 * kSmall}};
    for (const auto& [format, size] : layouts) {
        SCOPED_TRACE(format);
        const fs::path dir = TempPath(std::string("lorvex-ewf-") + format);
        fs::remove_all(dir);
        fs::create_directory(dir);
        const std::string command = std::string("ewfacquire -u -q -b 16 -c deflate:fast -f ") +
                                    format + " -B " + std::to_string(size) + " -t " +
                                    Quote(dir / "set") + " " + Quote(raw) + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        ASSERT_FALSE(fs::is_empty(dir));
        const auto decoder = OpenSet(fs::directory_iterator(dir)->path());
        ASSERT_TRUE(decoder);
        constexpr std::size_t kPiece = std::size_t{4} << 20;
        std::uint64_t disk = 0;
        std::string why;
        ASSERT_TRUE(decoder->Size(disk, why)) << why;
        ASSERT_EQ(disk, size);
        for (std::size_t at = 0; at < size; at += kPiece) {
            const std::size_t n = std::min(kPiece, size - at);
            ASSERT_TRUE(Decoded(*decoder, at, n) == AsBytes(bytes.substr(at, n))) << "at " << at;
        }
        EXPECT_EQ(decoder->counts().library, 0U);
        fs::remove_all(dir);
    }
    fs::remove(raw);
}

// A set of more segments than the usual soft limit of open files (1,024):
// the library keeps every segment open. lorvex-scan raises its soft limit to
// the hard one and reads it; where the hard limit is as low, it says what the
// limit is. 1 MiB segments of a disk stored plain, most of it a hole.
TEST(EwfSets, MoreSegmentsThanTheUsualLimitOfOpenFilesOpen) {
    const fs::path dir = TempPath("lorvex-ewf-segments");
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path raw = dir / "disk.raw";
    { std::ofstream out(raw, std::ios::binary); }
    fs::resize_file(raw, std::uintmax_t{8} << 20);
    ASSERT_EQ(std::system(("mkntfs -q -F -f " + Quote(raw) + " >/dev/null 2>&1").c_str()), 0);
    fs::resize_file(raw, std::uintmax_t{1090} << 20);
    const std::string command = "ewfacquire -u -q -c none -S 1048576 -t " + Quote(dir / "set") +
                                " " + Quote(raw) + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    fs::remove(raw);
    const auto segments = static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    ASSERT_GE(segments, 1100U);
    const std::string first = (dir / "set.E01").string();

    const Measured usual = RunMeasured({LORVEX_SCAN, first}, 120, 1024);
    EXPECT_EQ(usual.status, 0) << usual.err;
    EXPECT_NE(usual.out.find("on drive C:"), std::string::npos) << usual.out;

    const Measured low = RunMeasured({LORVEX_SCAN, first}, 120, 1024, 1024);
    EXPECT_EQ(low.status, 1);
    EXPECT_NE(low.err.find("Too many open files; this process may have no more than 1024 files "
                           "open at once, the hard limit of open files"),
              std::string::npos)
        << low.err;
    fs::remove_all(dir);
}

// The handle is the decoder's to guard: three threads decode through it at
// once, each its own ranges.
TEST(EwfChunks, ThreadsDecodeThroughOneHandleAtOnce) {
    const auto raw = AsBytes(ReadFile(VolumeDir() / "ntfs-4k.img"));
    const auto decoder = OpenSet(VolumeDir() / "containers" / "ntfs-4k.E01");
    ASSERT_TRUE(decoder);
    std::atomic<int> mismatches{0};
    const auto reader = [&](unsigned seed) {
        std::mt19937_64 random(seed);
        std::vector<std::byte> got(std::size_t{2} << 20);
        for (int i = 0; i < 40; ++i) {
            const std::size_t n = 1 + random() % got.size();
            const std::uint64_t at = random() % (raw.size() - n);
            std::string why;
            if (!decoder->Decode(at, std::span(got).first(n), why) ||
                std::memcmp(got.data(), raw.data() + at, n) != 0) {
                ++mismatches;
            }
        }
    };
    std::thread a(reader, 1U);
    std::thread b(reader, 2U);
    std::thread c(reader, 3U);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(decoder->counts().library, 0U);
}

} // namespace
} // namespace lorvex::test

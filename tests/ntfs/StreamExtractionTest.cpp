// A stream written out from its layout: runs, holes, sizes that do not agree,
// runs off the volume and compression units sound and damaged; and the layout
// found from hand-made records, joined across an extension record.
#include "ntfs/StreamExtraction.h"

#include "RecordBuilder.h"
#include "ondisk/FileRecord.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace lorvex::test {
namespace {

using ntfs::ExtractionStatus;
using ntfs::StreamLayout;
using ondisk::Extent;

constexpr std::int64_t kSmallCluster = 512;

// A volume of `clusters` clusters of 512 bytes, each filled with its own
// number's low byte, that counts where it was read.
struct Disk {
    explicit Disk(std::int64_t clusters)
        : bytes(static_cast<std::size_t>(clusters * kSmallCluster)) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::byte>(i / kSmallCluster);
        }
    }
    [[nodiscard]] ondisk::StreamVolume Volume() const {
        return {kSmallCluster, static_cast<std::int64_t>(bytes.size()) / kSmallCluster};
    }
    ondisk::ClusterReader Reader() {
        return [this](std::uint64_t at, std::span<std::byte> out) -> std::size_t {
            lastByteRead = std::max(lastByteRead, at + out.size());
            if (at >= bytes.size()) {
                return 0;
            }
            const auto n = std::min<std::size_t>(out.size(), bytes.size() - at);
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n, out.begin());
            return n;
        };
    }
    std::vector<std::byte> bytes;
    std::uint64_t lastByteRead = 0;
};

struct Written {
    ntfs::ExtractionResult result;
    Bytes bytes;
    int calls = 0;
};

Written Write(const StreamLayout& layout, Disk& disk, const ntfs::ExtractionOptions& options = {}) {
    Written w;
    const ntfs::ByteSink sink = [&w](std::span<const std::byte> b) {
        ++w.calls;
        w.bytes.insert(w.bytes.end(), b.begin(), b.end());
        return true;
    };
    w.result = ntfs::WriteStream(layout, disk.Volume(), disk.Reader(), sink, options);
    return w;
}

StreamLayout Plain(std::vector<Extent> extents, std::int64_t size, std::int64_t initialized) {
    StreamLayout layout;
    layout.extents = std::move(extents);
    layout.dataSize = size;
    layout.allocatedSize = size;
    layout.initializedSize = initialized;
    return layout;
}

// The byte a cluster of the Disk holds.
std::byte Of(std::int64_t lcn) {
    return static_cast<std::byte>(lcn);
}

TEST(StreamWriting, RunsHolesAndTheSizesShapeWhatIsWritten) {
    Disk disk(64);
    // Clusters 10-11, a hole, cluster 20; 3.5 clusters of data of which the
    // first 2.25 are initialized.
    const auto w = Write(Plain({{0, 10, 2, false}, {2, -1, 1, true}, {3, 20, 1, false}},
                               3 * kSmallCluster + 256, 2 * kSmallCluster + 128),
                         disk);
    ASSERT_EQ(w.result.status, ExtractionStatus::kDone) << w.result.reason;
    ASSERT_EQ(w.bytes.size(), 3 * kSmallCluster + 256);
    EXPECT_EQ(w.result.written, w.bytes.size());
    EXPECT_EQ(w.bytes[0], Of(10));
    EXPECT_EQ(w.bytes[kSmallCluster], Of(11));
    EXPECT_EQ(w.bytes[2 * kSmallCluster + 127], std::byte{0}) << "a hole reads as zeros";
    // Past the initialized size zeros, and the clusters there are not read.
    EXPECT_EQ(w.bytes[3 * kSmallCluster], std::byte{0});
    EXPECT_LE(disk.lastByteRead, 12U * kSmallCluster);
    EXPECT_TRUE(w.result.unread.empty());

    // An initialized size past the data size writes nothing past the data.
    const auto past = Write(Plain({{0, 10, 2, false}}, 700, 5000), disk);
    ASSERT_EQ(past.bytes.size(), 700U);
    EXPECT_EQ(past.bytes[699], Of(11));

    // A resident value as it stands.
    StreamLayout resident;
    resident.resident = true;
    resident.value = Raw({1, 2, 3});
    resident.dataSize = 3;
    resident.initializedSize = 3;
    EXPECT_EQ(Write(resident, disk).bytes, Raw({1, 2, 3}));
    // A resident size past its value: zeros after it, said so.
    resident.dataSize = resident.initializedSize = 5;
    const auto shortValue = Write(resident, disk);
    EXPECT_EQ(shortValue.bytes, Raw({1, 2, 3, 0, 0}));
    ASSERT_EQ(shortValue.result.unread.size(), 1U);
    EXPECT_EQ(shortValue.result.unread[0].offset, 3U);
}

TEST(StreamWriting, ClaimsOfDamagedRecordsWriteNothingUnasked) {
    Disk disk(64);
    // 2^60 bytes of a sparse run: refused before a byte, with the reason.
    ntfs::ExtractionOptions limited;
    limited.limit = 1 << 20;
    const auto huge = Write(
        Plain({{0, -1, std::int64_t{1} << 51, true}}, std::int64_t{1} << 60, std::int64_t{1} << 60),
        disk, limited);
    EXPECT_EQ(huge.result.status, ExtractionStatus::kTooLarge);
    EXPECT_NE(huge.result.reason.find("1152921504606846976"), std::string::npos)
        << huge.result.reason;
    EXPECT_EQ(huge.calls, 0);
    EXPECT_EQ(huge.result.size, std::uint64_t{1} << 60);

    // A data size past what the runs cover: the rest is zeros, named as no
    // run's, in one range.
    const auto longer =
        Write(Plain({{0, 10, 2, false}}, 5 * kSmallCluster, 5 * kSmallCluster), disk);
    ASSERT_EQ(longer.result.status, ExtractionStatus::kDone);
    ASSERT_EQ(longer.bytes.size(), 5 * kSmallCluster);
    EXPECT_EQ(longer.bytes[5 * kSmallCluster - 1], std::byte{0});
    ASSERT_EQ(longer.result.unread.size(), 1U);
    EXPECT_EQ(longer.result.unread[0].offset, 2 * kSmallCluster);
    EXPECT_EQ(longer.result.unread[0].length, 3 * kSmallCluster);
    EXPECT_EQ(longer.result.unread[0].reason, "no run of the stream covers it");

    // A negative size is damage, not a huge unsigned one.
    EXPECT_EQ(Write(Plain({}, -1, 0), disk).result.status, ExtractionStatus::kDamaged);
}

TEST(StreamWriting, RunsOffTheVolumeAreNeverRead) {
    Disk disk(64);
    // The run starts on the volume's last two clusters and goes on past it;
    // the next one lies where a byte offset wraps.
    const auto w = Write(Plain({{0, 62, 4, false}, {4, std::int64_t{1} << 62, 2, false}},
                               6 * kSmallCluster, 6 * kSmallCluster),
                         disk);
    ASSERT_EQ(w.result.status, ExtractionStatus::kDone);
    ASSERT_EQ(w.bytes.size(), 6 * kSmallCluster);
    EXPECT_LE(disk.lastByteRead, disk.bytes.size());
    ASSERT_EQ(w.result.unread.size(), 1U);
    EXPECT_EQ(w.result.unread[0].offset, 0U);
    EXPECT_EQ(w.result.unread[0].length, 6 * kSmallCluster);
    EXPECT_EQ(w.result.unread[0].reason, "its run lies beyond the end of the volume");
}

// One LZNT1 chunk holding `text` as literals: a flag byte of 0 before each
// eight of them.
Bytes LiteralChunk(std::string_view text) {
    Bytes body;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % 8 == 0) {
            body.push_back(std::byte{0});
        }
        body.push_back(static_cast<std::byte>(text[i]));
    }
    Bytes chunk(2 + body.size());
    PutLE(chunk, 0, 0xB000 | (body.size() - 1), 2);
    std::copy(body.begin(), body.end(), chunk.begin() + 2);
    return chunk;
}

TEST(StreamWriting, CompressionUnitsStoredPackedEmptyAndDamaged) {
    Disk disk(64);
    const auto put = [&disk](std::int64_t lcn, const Bytes& bytes) {
        std::fill_n(disk.bytes.begin() + lcn * kSmallCluster, kSmallCluster, std::byte{0});
        std::copy(bytes.begin(), bytes.end(), disk.bytes.begin() + lcn * kSmallCluster);
    };
    put(30, LiteralChunk("packed unit"));
    put(31, Raw({0xFF, 0xBF, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})); // a chunk that lies
    put(32, LiteralChunk("after the damage"));
    // Units of 4 clusters: stored (all on the disk), packed (1 cluster and a
    // hole), empty (a hole), damaged, packed again; the last unit cut short.
    StreamLayout layout = Plain({{0, 10, 4, false},
                                 {4, 30, 1, false},
                                 {5, -1, 7, true},
                                 {12, 31, 1, false},
                                 {13, -1, 3, true},
                                 {16, 32, 1, false},
                                 {17, -1, 3, true}},
                                16 * kSmallCluster + 100, 16 * kSmallCluster + 100);
    layout.compressionUnit = 4;
    const auto w = Write(layout, disk);
    ASSERT_EQ(w.result.status, ExtractionStatus::kDone) << w.result.reason;
    ASSERT_EQ(w.bytes.size(), 16 * kSmallCluster + 100);
    EXPECT_EQ(w.bytes[3 * kSmallCluster], Of(13));
    const auto text = [&w](std::size_t at, std::size_t n) {
        return std::string(reinterpret_cast<const char*>(w.bytes.data()) + at, n);
    };
    EXPECT_EQ(text(4 * kSmallCluster, 11), "packed unit");
    EXPECT_EQ(w.bytes[4 * kSmallCluster + 11], std::byte{0});
    EXPECT_EQ(w.bytes[9 * kSmallCluster], std::byte{0});
    EXPECT_EQ(text(16 * kSmallCluster, 16), "after the damage");
    // The damaged unit is zeros and said to be, never silently.
    EXPECT_EQ(w.bytes[12 * kSmallCluster], std::byte{0});
    ASSERT_EQ(w.result.unread.size(), 1U);
    EXPECT_EQ(w.result.unread[0].offset, 12 * kSmallCluster);
    EXPECT_EQ(w.result.unread[0].length, 4 * kSmallCluster);
    EXPECT_NE(w.result.unread[0].reason.find("does not decompress"), std::string::npos)
        << w.result.unread[0].reason;

    // Units past the runs are no hole: zeros, and said to be no run's.
    layout.dataSize = layout.initializedSize = 28 * kSmallCluster;
    const auto longer = Write(layout, disk);
    ASSERT_EQ(longer.result.unread.size(), 2U);
    EXPECT_EQ(longer.result.unread[1].offset, 20 * kSmallCluster);
    EXPECT_EQ(longer.result.unread[1].length, 8 * kSmallCluster);
    EXPECT_EQ(longer.result.unread[1].reason, "no run of the stream covers it");
}

TEST(StreamWriting, StopFlagAndRefusingSinkEndTheWrite) {
    Disk disk(8);
    const StreamLayout sparse = Plain({{0, -1, 8192, true}}, 8192 * kSmallCluster, 0);
    std::atomic<bool> stop{true};
    ntfs::ExtractionOptions stopped;
    stopped.stop = &stop;
    std::vector<double> seen;
    stopped.progress = [&seen](double percent) { seen.push_back(percent); };
    const auto w = Write(sparse, disk, stopped);
    EXPECT_EQ(w.result.status, ExtractionStatus::kStopped);
    EXPECT_EQ(w.calls, 1);
    EXPECT_LT(w.result.written, w.result.size);
    EXPECT_EQ(seen.size(), 1U);

    const ntfs::ByteSink full = [](std::span<const std::byte>) { return false; };
    const auto refused = ntfs::WriteStream(sparse, disk.Volume(), disk.Reader(), full, {});
    EXPECT_EQ(refused.status, ExtractionStatus::kSinkFailed);
    EXPECT_EQ(refused.written, 0U);
}

// Records of a fake drive: a file whose data lies in pieces in its base
// record and an extension record, and records the extraction refuses.
struct Files {
    Files() {
        namespace t = ondisk::type;
        drive.disk.records[30] = [] {
            RecordBuilder b(1024);
            b.Resident(t::kFileName, 1, FileNameValue(5, u"file.bin"));
            b.Resident(
                t::kAttributeList, 2,
                AttributeListValue({{t::kFileName, 30, 1}, {t::kData, 30, 3}, {t::kData, 31, 0}}));
            // VCNs 0-1 at cluster 100; 3 clusters of data in all.
            b.NonResident(t::kData, 3, Raw({0x11, 0x02, 100, 0}), 3 * kCluster, 3 * kCluster - 5);
            return b.End();
        }();
        drive.disk.records[31] =
            RecordBuilder(1024, 30)
                .NonResident(t::kData, 0, Raw({0x11, 0x01, 120, 0}), 0, 0, {}, 2)
                .End();
        drive.disk.records[32] = RecordBuilder(1024, 0, 0x0003).End();
    }
    std::optional<StreamLayout> Find(std::int64_t record, std::u16string_view stream = {}) {
        auto& records = drive.Open();
        result = {};
        return ntfs::FindStreamLayout(records, drive.volume->geometry(), record, stream, result);
    }
    Drive drive;
    ntfs::ExtractionResult result;
};

TEST(StreamLayoutOfRecords, PiecesJoinAcrossExtensionsAndRefusalsSayWhy) {
    Files files;
    const auto layout = files.Find(30);
    ASSERT_TRUE(layout) << files.result.reason;
    ASSERT_EQ(layout->extents.size(), 2U);
    EXPECT_EQ(layout->extents[1].vcn, 2);
    EXPECT_EQ(layout->extents[1].lcn, 120);
    EXPECT_EQ(layout->dataSize, 3 * kCluster - 5);
    EXPECT_EQ(layout->compressionUnit, 0U);
    EXPECT_FALSE(files.result.deleted);

    EXPECT_FALSE(files.Find(30, u"other"));
    EXPECT_EQ(files.result.status, ExtractionStatus::kNoStream);
    EXPECT_EQ(files.result.reason, "record 30 has no data stream named \"other\"");
    EXPECT_FALSE(files.Find(31));
    EXPECT_EQ(files.result.status, ExtractionStatus::kNotAFile);
    EXPECT_EQ(files.result.reason, "record 31 is an extension record of record 30, not a file");
    EXPECT_FALSE(files.Find(32));
    EXPECT_EQ(files.result.status, ExtractionStatus::kDirectory);
    EXPECT_FALSE(files.Find(900));
    EXPECT_EQ(files.result.status, ExtractionStatus::kNoRecord);
}

TEST(StreamLayoutOfRecords, CompressionHeadersNoVolumeHasAreDamage) {
    Files files;
    auto& record = files.drive.disk.records[30];
    const std::size_t data = [&record] {
        auto walk = ondisk::WalkRecordAttributes(record);
        while (const auto a = walk.Next()) {
            if (a->type == ondisk::type::kData) {
                return a->offset;
            }
        }
        return std::size_t{0};
    }();
    ASSERT_NE(data, 0U);
    PutLE(record, data + ondisk::attr::kFlags, 1, 2);
    PutLE(record, data + ondisk::attr::kCompressionUnit, 4, 1);
    const auto sound = files.Find(30);
    ASSERT_TRUE(sound) << files.result.reason;
    EXPECT_EQ(sound->compressionUnit, 16U);

    // 2^30 clusters a unit would size a buffer of 4 TiB.
    PutLE(record, data + ondisk::attr::kCompressionUnit, 30, 1);
    EXPECT_FALSE(files.Find(30));
    EXPECT_EQ(files.result.status, ExtractionStatus::kDamaged);
    EXPECT_NE(files.result.reason.find("compression unit"), std::string::npos);

    // A format other than LZNT1 is said to be one, not guessed at.
    PutLE(record, data + ondisk::attr::kCompressionUnit, 4, 1);
    PutLE(record, data + ondisk::attr::kFlags, 2, 2);
    EXPECT_FALSE(files.Find(30));
    EXPECT_EQ(files.result.status, ExtractionStatus::kDamaged);
}

} // namespace
} // namespace lorvex::test

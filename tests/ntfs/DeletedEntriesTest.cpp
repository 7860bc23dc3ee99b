// Deleted entries on a hand-made volume: hostile runs, what the live map and
// newer deleted files take of a run, the paths through live and deleted
// directories and the orphans, and extension records joined to their base.
#include "ntfs/DeletedEntries.h"

#include "RecordBuilder.h"
#include "ondisk/FileRecord.h"
#include "ondisk/Utf16.h"
#include "support/FakeVolumeApi.h"

#include <gtest/gtest.h>

#include <string>

#include <map>

namespace lorvex::test {
namespace {

using ntfs::DeletedEntries;
using ntfs::DeletedPiece;
using ntfs::PieceState;

constexpr std::uint16_t kFreeFile = 0x0000;
constexpr std::uint16_t kFreeDirectory = 0x0002;
constexpr std::uint16_t kLiveDirectory = 0x0003;

std::uint64_t Ref(std::int64_t record, std::uint16_t sequence) {
    return static_cast<std::uint64_t>(record) | (std::uint64_t{sequence} << 48);
}

Bytes Times(std::int64_t deleted) {
    Bytes v = StandardInformationValue(1, 2, 3, 0x20);
    PutLE(v, ondisk::stdinfo::kChangeTime, static_cast<std::uint64_t>(deleted), 8);
    return v;
}

// A record: its flags and sequence number, then what `fill` appends.
template <typename Fill>
Bytes Record(std::uint16_t flags, std::uint16_t sequence, Fill fill, std::uint64_t base = 0) {
    RecordBuilder b(1024, base, flags);
    fill(b);
    Bytes record = b.End();
    PutLE(record, ondisk::record::kSequenceNumber, sequence, 2);
    return record;
}

// A free file named `name` in `parent` whose unnamed $DATA has `runs`.
Bytes DeletedFile(std::uint64_t parent, std::u16string_view name, const Bytes& runs,
                  std::int64_t deleted = 100, std::uint16_t flags = kFreeFile) {
    return Record(flags, 2, [&](RecordBuilder& b) {
        b.Resident(ondisk::type::kStandardInformation, 0, Times(deleted));
        b.Resident(ondisk::type::kFileName, 1, FileNameValue(parent, name));
        if (!runs.empty()) {
            b.NonResident(ondisk::type::kData, 2, runs, 0, 4096);
        }
    });
}

struct DeletedDrive {
    explicit DeletedDrive(std::int64_t records = 128)
        : disk(api.AddNtfsDrive('C', Geometry(records * 1024))) {
        disk.records[5] = Record(kLiveDirectory, 5, [](RecordBuilder&) {});
    }
    DeletedEntries Collect() {
        volume = std::make_unique<ntfs::NtfsVolume>(api, "C");
        return ntfs::CollectDeletedEntries(*volume);
    }
    DeletedEntries CollectAndCut(const ntfs::TFileIDs& live = {},
                                 const ntfs::TClusterArray& clusters = {}) {
        DeletedEntries deleted = Collect();
        ntfs::CutDeletedRuns(deleted, live, clusters, volume->geometry().totalClusters);
        return deleted;
    }

    ExactFakeApi api;
    FakeVolume& disk;
    std::unique_ptr<ntfs::NtfsVolume> volume;
};

std::vector<DeletedPiece> PiecesOf(const DeletedEntries& d, std::int64_t record,
                                   std::size_t stream = 0) {
    const auto& entry = d.entries()[*d.IndexOf(record)];
    const auto pieces = d.Pieces(d.Streams(entry)[stream]);
    return {pieces.begin(), pieces.end()};
}

DeletedPiece Piece(std::int64_t vcn, std::int64_t lcn, std::int64_t length, PieceState state,
                   std::int64_t owner) {
    return {vcn, lcn, length, owner, state};
}

std::string Text(const std::vector<DeletedPiece>& pieces) {
    std::string out;
    for (const auto& p : pieces) {
        out += std::to_string(p.vcn) + ":" + std::to_string(p.lcn) + "+" +
               std::to_string(p.length) + " " + std::string(ntfs::PieceStateName(p.state)) + " " +
               std::to_string(p.overwrittenBy) + "\n";
    }
    return out;
}

// A run of 2^40 clusters, one before cluster 0, one at the end of the
// numbers and a sparse one are cut to the volume at once; a claim of 2^60
// clusters, whose bytes pass 63 bits, is refused whole.
TEST(DeletedEntries, HostileRunsEndQuicklyAndAreCutToTheVolume) {
    DeletedDrive d;
    const std::uint64_t root = Ref(5, 5);
    // 2^40 clusters at 100; 10 at 100 - 200; 5 sparse.
    d.api.freeRecords[30] = DeletedFile(
        root, u"huge", Raw({0x16, 0, 0, 0, 0, 0, 1, 0x64, 0x21, 0x0A, 0x38, 0xFF, 0x01, 0x05, 0}));
    // 2^60 clusters at 100.
    d.api.freeRecords[31] =
        DeletedFile(root, u"wrap", Raw({0x18, 0, 0, 0, 0, 0, 0, 0, 0x10, 0x64, 0}));
    // 10 clusters at 2^63 - 6: the end does not fit.
    d.api.freeRecords[32] = DeletedFile(
        root, u"far", Raw({0x81, 0x0A, 0xFA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0}));
    const DeletedEntries deleted = d.CollectAndCut();
    ASSERT_EQ(deleted.entries().size(), 3U);

    constexpr std::int64_t kHuge = std::int64_t{1} << 40;
    EXPECT_EQ(Text(PiecesOf(deleted, 30)),
              Text({Piece(0, 100, 900, PieceState::kFree, ntfs::kNoOwner),
                    Piece(900, 1000, kHuge - 900, PieceState::kBeyondEnd, ntfs::kNoOwner),
                    Piece(kHuge, -100, 10, PieceState::kBeyondEnd, ntfs::kNoOwner),
                    Piece(kHuge + 10, -1, 5, PieceState::kSparse, ntfs::kNoOwner)}));
    EXPECT_TRUE(PiecesOf(deleted, 31).empty());
    const auto far = PiecesOf(deleted, 32);
    ASSERT_FALSE(far.empty());
    for (const auto& p : far) {
        EXPECT_EQ(p.state, PieceState::kBeyondEnd);
    }
    for (const auto& e : deleted.entries()) {
        EXPECT_EQ(e.overwrittenClusters, 0);
    }
    EXPECT_EQ(deleted.entries()[0].recoverableClusters, 900);
    EXPECT_TRUE(deleted.EntriesClaiming(5000).empty());
}

// Deleted runs that all claim the same stretch cut by hundreds of live
// extents would make pieces without end; the cut stops at its budget and
// leaves the rest unchecked, every cluster still in one piece or another.
TEST(DeletedEntries, RunsClaimingTheSameClustersOverAndOverStopAtTheBudget) {
    constexpr int kEntries = 2100;
    DeletedDrive d(kEntries + 100);
    for (int r = 0; r < kEntries; ++r) {
        // 999 clusters at 1.
        d.api.freeRecords[64 + r] =
            DeletedFile(Ref(5, 5), u"again", Raw({0x12, 0xE7, 0x03, 0x01, 0}), 100 + r);
    }
    ntfs::TFileIDs live;
    live.Add(u"\\owner", ntfs::kTypeFile, {}, false, 30, 30);
    ntfs::TClusterArray clusters;
    for (std::int64_t lcn = 0; lcn < 1000; lcn += 2) {
        clusters.push_back({lcn, 1, 0, ondisk::type::kData});
    }
    const DeletedEntries deleted = d.CollectAndCut(live, clusters);
    ASSERT_EQ(deleted.entries().size(), static_cast<std::size_t>(kEntries));
    std::size_t pieces = 0;
    std::int64_t unchecked = 0;
    for (const auto& entry : deleted.entries()) {
        std::int64_t clustersSeen = 0;
        for (const auto& p : deleted.Pieces(deleted.Streams(entry)[0])) {
            clustersSeen += p.length;
            unchecked += p.state == PieceState::kUnchecked ? p.length : 0;
            ++pieces;
        }
        EXPECT_EQ(clustersSeen, 999);
    }
    EXPECT_GT(unchecked, 0);
    EXPECT_LT(pieces, std::size_t{3} << 20);
}

// A live file's clusters are overwritten and name it; of two deleted files
// claiming the same free clusters the one deleted last keeps them free; the
// claim index answers both.
TEST(DeletedEntries, LiveFilesAndNewerDeletedFilesTakeClusters) {
    DeletedDrive d;
    const std::uint64_t root = Ref(5, 5);
    // 150 clusters at 150, deleted first; 40 at 280, deleted after.
    d.api.freeRecords[40] = DeletedFile(root, u"older", Raw({0x21, 0x96, 0x96, 0x00, 0}), 100);
    d.api.freeRecords[41] = DeletedFile(root, u"newer", Raw({0x21, 0x28, 0x18, 0x01, 0}), 200);
    ntfs::TFileIDs live;
    live.Add(u"\\owner", ntfs::kTypeFile, {}, false, 30, 31);
    ntfs::TClusterArray clusters{{200, 50, 0, ondisk::type::kData}};
    const DeletedEntries deleted = d.CollectAndCut(live, clusters);

    EXPECT_EQ(Text(PiecesOf(deleted, 40)),
              Text({Piece(0, 150, 50, PieceState::kFree, ntfs::kNoOwner),
                    Piece(50, 200, 50, PieceState::kOverwritten, 30),
                    Piece(100, 250, 30, PieceState::kFree, ntfs::kNoOwner),
                    Piece(130, 280, 20, PieceState::kClaimed, 41)}));
    EXPECT_EQ(Text(PiecesOf(deleted, 41)),
              Text({Piece(0, 280, 40, PieceState::kFree, ntfs::kNoOwner)}));
    const auto& older = deleted.entries()[0];
    EXPECT_EQ(older.recoverableClusters, 80);
    EXPECT_EQ(older.overwrittenClusters, 70);
    EXPECT_EQ(deleted.entries()[1].recoverableClusters, 40);

    using V = std::vector<std::size_t>;
    EXPECT_EQ(deleted.EntriesClaiming(290), (V{0, 1}));
    EXPECT_EQ(deleted.EntriesClaiming(310), V{1});
    EXPECT_EQ(deleted.EntriesClaiming(220), V{0});
    EXPECT_EQ(deleted.EntriesClaiming(149), V{});
    EXPECT_EQ(deleted.EntriesClaiming(320), V{});
    EXPECT_EQ(ntfs::PieceStateName(PieceState::kBeyondEnd), "beyond-end");
}

// Paths go up through deleted directories (whose sequence number the
// freeing advanced) and live ones; a parent reused, of a stale sequence,
// not a directory, out of range, or in a loop makes an orphan. Every long
// name is kept, the DOS name not.
TEST(DeletedEntries, PathsFollowLiveAndDeletedDirectoriesAndOrphanTheRest) {
    DeletedDrive d;
    d.disk.records[61] = Record(kLiveDirectory, 7, [](RecordBuilder&) {});
    ntfs::TFileIDs live;
    ntfs::TFileInfo info;
    info.ParentID = 5;
    live.Add(u"\\docs", ntfs::kTypeDirectory, info, false, 61, 61);
    live.BuildPaths();
    auto& f = d.api.freeRecords;
    f[40] = DeletedFile(Ref(5, 5), u"olddir", {}, 100, kFreeDirectory);
    PutLE(f[40], ondisk::record::kSequenceNumber, 3, 2);
    f[41] = DeletedFile(Ref(40, 2), u"child", {});
    f[42] = DeletedFile(Ref(40, 1), u"stale", {});
    f[43] = DeletedFile(Ref(61, 7), u"kept", {});
    f[44] = DeletedFile(Ref(61, 6), u"reused", {});
    f[45] = DeletedFile(Ref(900, 1), u"far", {});
    f[46] = DeletedFile(Ref(47, 2), u"under-a-file", {});
    f[47] = DeletedFile(Ref(5, 5), u"plain", {});
    f[48] = DeletedFile(Ref(49, 2), u"loop1", {}, 100, kFreeDirectory);
    f[49] = DeletedFile(Ref(48, 2), u"loop2", {}, 100, kFreeDirectory);
    f[50] = Record(kFreeFile, 2, [](RecordBuilder& b) {
        b.Resident(ondisk::type::kFileName, 1, FileNameValue(Ref(5, 5), u"a.txt"));
        b.Resident(ondisk::type::kFileName, 2, FileNameValue(Ref(5, 5), u"A~1.TXT", 2));
        b.Resident(ondisk::type::kFileName, 3, FileNameValue(Ref(61, 7), u"b.txt"));
    });
    const DeletedEntries deleted = d.Collect();
    const auto path = [&](std::int64_t record, std::size_t name = 0) {
        return ondisk::ToUtf8(deleted.Path(*deleted.IndexOf(record), name, live));
    };
    EXPECT_EQ(path(40), "\\olddir");
    EXPECT_EQ(path(41), "\\olddir\\child");
    EXPECT_EQ(path(42), "\\$### ORPHAN ###\\stale");
    EXPECT_EQ(path(43), "\\docs\\kept");
    EXPECT_EQ(path(44), "\\$### ORPHAN ###\\reused");
    EXPECT_EQ(path(45), "\\$### ORPHAN ###\\far");
    EXPECT_EQ(path(46), "\\$### ORPHAN ###\\under-a-file");
    EXPECT_TRUE(path(48).starts_with("\\$### ORPHAN ###\\"));
    EXPECT_TRUE(path(48).ends_with("\\loop1"));
    const auto& links = deleted.entries()[*deleted.IndexOf(50)];
    ASSERT_EQ(links.nameCount, 2U);
    EXPECT_EQ(path(50, 0), "\\a.txt");
    EXPECT_EQ(path(50, 1), "\\docs\\b.txt");
    EXPECT_EQ(deleted.StartOf(deleted.Names(links)[1]), ntfs::PathStart::kLive);
}

// A chain of deleted directories longer than the longest path gives the
// file the live table's long-path form: the marker, then the nearest names
// that fit.
TEST(DeletedEntries, DeepChainsOfDeletedDirectoriesAreCappedAsLivePathsAre) {
    constexpr int kDepth = 200;
    DeletedDrive d(kDepth + 200);
    const std::u16string longName(200, u'd');
    std::uint64_t parent = Ref(5, 5);
    for (int level = 0; level < kDepth; ++level) {
        d.api.freeRecords[64 + level] = DeletedFile(parent, longName, {}, 100, kFreeDirectory);
        parent = Ref(64 + level, 2);
    }
    d.api.freeRecords[64 + kDepth] = DeletedFile(parent, u"deepest.txt", {});
    const DeletedEntries deleted = d.Collect();
    const std::u16string path = deleted.Path(*deleted.IndexOf(64 + kDepth), 0, {});
    EXPECT_TRUE(path.starts_with(ntfs::kLongPathMarker));
    EXPECT_TRUE(path.ends_with(u"\\" + longName + u"\\deepest.txt"));
    EXPECT_LE(path.size(), ntfs::kMaxPathLength);
    EXPECT_GT(path.size(), ntfs::kMaxPathLength - 250);
    EXPECT_EQ(ondisk::ToUtf8(deleted.Path(*deleted.IndexOf(64), 0, {})),
              "\\" + std::string(200, 'd'));
}

// A free extension record joins its free base when the base names it and
// both sequence numbers agree; the others are strays. A record without the
// signature, and one that holds nothing of a file, are no entries.
TEST(DeletedEntries, ExtensionRecordsJoinTheirFreeBaseOnly) {
    DeletedDrive d;
    auto& f = d.api.freeRecords;
    f[70] = Record(kFreeFile, 2, [](RecordBuilder& b) {
        b.Resident(ondisk::type::kStandardInformation, 0, Times(100));
        b.Resident(ondisk::type::kAttributeList, 1,
                   AttributeListValue({{ondisk::type::kData, Ref(71, 1), 0}}));
        b.Resident(ondisk::type::kFileName, 2, FileNameValue(Ref(5, 5), u"based"));
    });
    const auto extension = [](std::uint64_t base, std::uint16_t lcn) {
        return Record(
            kFreeFile, 2,
            [&](RecordBuilder& b) {
                b.NonResident(ondisk::type::kData, 0, Raw({0x21, 0x0A, lcn & 0xFF, lcn >> 8, 0}),
                              40960, 40960);
            },
            base);
    };
    f[71] = extension(Ref(70, 1), 500);
    f[72] = extension(Ref(70, 9), 600);
    d.disk.records[74] = Record(0x0001, 1, [](RecordBuilder&) {});
    f[73] = extension(Ref(74, 1), 700);
    f[75] = Record(kFreeFile, 2, [](RecordBuilder& b) {
        b.Resident(ondisk::type::kStandardInformation, 0, Times(100));
    });
    f[76] = DeletedFile(Ref(5, 5), u"unsigned", {});
    f[76][0] = std::byte{'X'};
    const DeletedEntries deleted = d.CollectAndCut();

    ASSERT_EQ(deleted.entries().size(), 1U);
    const auto& based = deleted.entries()[0];
    EXPECT_EQ(based.size, 40960);
    EXPECT_EQ(based.deletedTime, 100);
    EXPECT_EQ(Text(PiecesOf(deleted, 70)),
              Text({Piece(0, 500, 10, PieceState::kFree, ntfs::kNoOwner)}));
    EXPECT_EQ(deleted.counts().joinedExtensions, 1);
    EXPECT_EQ(deleted.counts().strayExtensions, 2);
    EXPECT_EQ(deleted.counts().emptyRecords, 1);
    EXPECT_EQ(deleted.counts().freeRecords, 6);
}

} // namespace
} // namespace lorvex::test

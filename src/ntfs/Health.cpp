#include "ntfs/Health.h"

#include "ntfs/Attributes.h"
#include "ntfs/FileTable.h"
#include "ntfs/NTFSVolume.h"
#include "ondisk/Attribute.h"
#include "ondisk/ByteReader.h"
#include "ondisk/FileRecord.h"
#include "ondisk/RunList.h"
#include "volume/VolumeApi.h"
#include "volume/VolumeMap.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>

namespace lorvex::ntfs {

namespace {

using ondisk::ByteReader;

constexpr std::int64_t kMftRecord = 0;
constexpr std::int64_t kMftMirrRecord = 1;
constexpr std::int64_t kBadClusRecord = 8;
// The records NTFS keeps its mirror of: $MFT, $MFTMirr, $LogFile and
// $Volume. When a cluster holds more records, $MFTMirr spans that whole
// cluster, but the rest of it stays as formatting left it.
constexpr std::int64_t kMirroredRecords = 4;
constexpr std::int64_t kNoEnd = std::numeric_limits<std::int64_t>::max();

// The clusters [from, to) of the bitmap are all below its end. The first of
// them whose bit is `set`, or `to`.
std::int64_t FindBit(std::span<const std::uint64_t> words, std::int64_t from, std::int64_t to,
                     bool set) {
    while (from < to) {
        const auto at = static_cast<std::uint64_t>(from);
        std::uint64_t w = words[at / 64];
        if (!set) {
            w = ~w;
        }
        w >>= at % 64;
        if (w != 0) {
            return std::min(to, from + std::countr_zero(w));
        }
        from = static_cast<std::int64_t>((at | 63U) + 1);
    }
    return to;
}

// Appends problems, merging a range into the one before it when it continues
// it with the same kind and the same claimants: a run of lost clusters that
// the walk meets in pieces is one problem.
class TProblemSink {
  public:
    explicit TProblemSink(THealthReport& report) : FReport(report) {}

    void Add(THealthKind kind, std::int64_t first, std::int64_t count,
             std::span<const THealthClaimant> claimants) {
        if (count <= 0) {
            return;
        }
        auto& problems = FReport.Problems;
        if (!problems.empty()) {
            THealthProblem& last = problems.back();
            if (last.Kind == kind && last.FirstLCN + last.Count == first &&
                SameClaimants(FReport.ClaimantsOf(last), claimants)) {
                last.Count += count;
                return;
            }
        }
        THealthProblem p;
        p.Kind = kind;
        p.FirstLCN = first;
        p.Count = count;
        p.FirstClaimant = static_cast<std::uint32_t>(FReport.Claimants.size());
        p.ClaimantCount = static_cast<std::uint32_t>(claimants.size());
        FReport.Claimants.insert(FReport.Claimants.end(), claimants.begin(), claimants.end());
        problems.push_back(p);
    }

  private:
    static bool SameClaimants(std::span<const THealthClaimant> a,
                              std::span<const THealthClaimant> b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                          [](const THealthClaimant& x, const THealthClaimant& y) {
                              return x.RecordNo == y.RecordNo && x.AttrType == y.AttrType &&
                                     x.FileIndex == y.FileIndex;
                          });
    }

    THealthReport& FReport;
};

THealthClaimant ClaimantOf(const TFileIDs& fileIds, const TClusterEntry& e) {
    THealthClaimant c;
    c.FileIndex = static_cast<std::int32_t>(e.FileIndex);
    c.AttrType = e.AttrType;
    c.RecordNo = e.FileIndex < fileIds.FItems.size() ? fileIds.FItems[e.FileIndex].FileID : -1;
    return c;
}

// Reads bytes of the volume through the volume query interface, with one
// handle for the whole check.
class TVolumeReader {
  public:
    TVolumeReader(platform::VolumeApi& api, const std::string& devicePath) : FApi(api) {
        if (!devicePath.empty()) {
            FHandle = api.CreateFile(devicePath);
        }
    }
    TVolumeReader(const TVolumeReader&) = delete;
    TVolumeReader& operator=(const TVolumeReader&) = delete;
    ~TVolumeReader() {
        if (IsOpen()) {
            FApi.CloseHandle(FHandle);
        }
    }
    [[nodiscard]] bool IsOpen() const { return FHandle != platform::kInvalidHandle; }

    // All of `out` from byte `offset`, or false.
    bool Read(std::int64_t offset, std::span<std::byte> out) {
        if (!IsOpen() || offset < 0 || !FApi.SetFilePointerEx(FHandle, offset)) {
            return false;
        }
        std::size_t done = 0;
        while (done < out.size()) {
            std::uint32_t read = 0;
            if (!FApi.ReadFile(FHandle, out.subspan(done), &read) || read == 0) {
                return false;
            }
            done += read;
        }
        return true;
    }

  private:
    platform::VolumeApi& FApi;
    platform::Handle FHandle = platform::kInvalidHandle;
};

// One attribute of a base record and its extension records, its pieces put
// together by VCN, as the records of the table give it.
struct TStream {
    struct Piece {
        std::int64_t Vcn = 0;
        std::int64_t Lcn = 0;
        std::int64_t Length = 0;
        bool Sparse = false;
    };
    std::vector<Piece> Pieces;
    std::int64_t DataSize = -1; // from the piece at VCN 0; -1 when none was found
    bool Resident = false;
    std::vector<std::byte> Value; // a resident attribute's value

    // The piece holding `vcn`, or nullptr.
    [[nodiscard]] const Piece* At(std::int64_t vcn) const {
        auto it = std::upper_bound(Pieces.begin(), Pieces.end(), vcn,
                                   [](std::int64_t v, const Piece& p) { return v < p.Vcn; });
        if (it == Pieces.begin()) {
            return nullptr;
        }
        --it;
        return vcn - it->Vcn < it->Length ? &*it : nullptr;
    }
};

bool NameIs(std::span<const std::byte> nameBytes, std::u16string_view name) {
    if (nameBytes.size() != name.size() * 2) {
        return false;
    }
    const ByteReader r(nameBytes);
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (r.u16(2 * i) != static_cast<std::uint16_t>(name[i])) {
            return false;
        }
    }
    return true;
}

// The base record and the records its attribute list names: where the
// pieces of its attributes can lie. Read from the records themselves, so
// that finding them costs the same on a table of any size (a walk of a
// million entries for each stream cost 90 ms). Needs the volume's bracket
// open.
std::vector<std::int64_t> RecordsOfBase(TNTFSVolume& volume, std::int64_t base) {
    std::vector<std::int64_t> records{base};
    if (volume.ReadFileRecord(base) != base || !IsValidRecord(volume.FRecord.FileRecordBuffer)) {
        return records;
    }
    auto walk = WalkAttributes(volume.FRecord.FileRecordBuffer);
    while (const auto a = walk.Next()) {
        if (a->type == ondisk::type::kAttributeList) {
            const auto value = ReadAttributeListValue(volume, a->bytes);
            for (const auto& entry :
                 DecodeAttributeList(value, static_cast<std::uint32_t>(value.size()))) {
                records.push_back(entry.RecordNo);
            }
            break;
        }
    }
    std::ranges::sort(records);
    records.erase(std::unique(records.begin(), records.end()), records.end());
    return records;
}

// Needs the volume's bracket open.
TStream CollectStream(TNTFSVolume& volume, std::int64_t base, std::uint32_t type,
                      std::u16string_view name) {
    TStream stream;
    for (const std::int64_t recordNo : RecordsOfBase(volume, base)) {
        std::int64_t baseId = -1;
        if (volume.ReadRecordBase(baseId, recordNo) != recordNo || baseId != base ||
            !IsValidRecord(volume.FRecord.FileRecordBuffer)) {
            continue;
        }
        auto walk = WalkAttributes(volume.FRecord.FileRecordBuffer);
        while (const auto a = walk.Next()) {
            if (a->type != type || !NameIs(ondisk::AttributeNameBytes(a->bytes), name)) {
                continue;
            }
            const ByteReader r(a->bytes);
            if (r.u8(ondisk::attr::kNonResident).value_or(0) == 0) {
                const auto value = ondisk::ResidentValue(a->bytes);
                stream.Resident = true;
                stream.Value.assign(value.begin(), value.end());
                stream.DataSize = static_cast<std::int64_t>(value.size());
                continue;
            }
            std::int64_t vcn = r.i64(ondisk::attr::kLowestVcn).value_or(-1);
            if (vcn < 0) {
                continue;
            }
            if (vcn == 0) {
                stream.DataSize = r.i64(ondisk::attr::kDataSize).value_or(-1);
            }
            for (const auto& run : ondisk::DecodeRunList(ondisk::RunListBytes(a->bytes)).runs) {
                std::int64_t next = 0;
                if (run.length <= 0 || __builtin_add_overflow(vcn, run.length, &next)) {
                    break;
                }
                stream.Pieces.push_back({vcn, run.lcn, run.length, run.sparse});
                vcn = next;
            }
        }
    }
    std::stable_sort(
        stream.Pieces.begin(), stream.Pieces.end(),
        [](const TStream::Piece& a, const TStream::Piece& b) { return a.Vcn < b.Vcn; });
    return stream;
}

// Bytes [pos, pos + out.size()) of a non-resident stream; false when any of
// them lies outside its pieces or the volume, or cannot be read.
bool ReadStream(TVolumeReader& reader, const TStream& stream, std::int64_t bytesPerCluster,
                std::int64_t totalClusters, std::int64_t pos, std::span<std::byte> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::int64_t at = pos + static_cast<std::int64_t>(done);
        const std::int64_t vcn = at / bytesPerCluster;
        const TStream::Piece* piece = stream.At(vcn);
        if (piece == nullptr) {
            return false;
        }
        const std::int64_t into = at - piece->Vcn * bytesPerCluster;
        const std::int64_t left = piece->Length * bytesPerCluster - into;
        const auto n = static_cast<std::size_t>(
            std::min<std::int64_t>(left, static_cast<std::int64_t>(out.size() - done)));
        const auto target = out.subspan(done, n);
        if (piece->Sparse) {
            std::ranges::fill(target, std::byte{0});
        } else if (piece->Lcn < 0 || piece->Lcn >= totalClusters ||
                   piece->Length > totalClusters - piece->Lcn ||
                   !reader.Read(piece->Lcn * bytesPerCluster + into, target)) {
            return false;
        }
        done += n;
    }
    return true;
}

// The cluster where byte `pos` of the stream lies, or -1.
std::int64_t ClusterOf(const TStream& stream, std::int64_t bytesPerCluster, std::int64_t pos) {
    const std::int64_t vcn = pos / bytesPerCluster;
    const TStream::Piece* piece = stream.At(vcn);
    return piece == nullptr || piece->Sparse ? -1 : piece->Lcn + (vcn - piece->Vcn);
}

// What a record problem is about: the record, and the table's entry when it
// has one.
THealthClaimant RecordClaimant(const TFileIDs& fileIds, std::int64_t recordNo) {
    THealthClaimant c;
    c.RecordNo = recordNo;
    c.FileIndex = fileIds.IndexOfID(recordNo);
    return c;
}

bool ReadsAsRecord(std::span<std::byte> record) {
    return ondisk::HasFileSignature(record) &&
           ondisk::ApplyFixups(record) == ondisk::FixupResult::Ok;
}

} // namespace

std::string_view HealthKindName(THealthKind kind) {
    switch (kind) {
    case THealthKind::OwnedFree:
        return "owned-free";
    case THealthKind::UnownedUsed:
        return "unowned-used";
    case THealthKind::CrossLinked:
        return "cross-linked";
    case THealthKind::BeyondEnd:
        return "beyond-end";
    case THealthKind::BadCluster:
        return "bad-cluster";
    case THealthKind::MirrorDiffers:
        return "mirror-differs";
    case THealthKind::BadRecord:
        return "bad-record";
    }
    return "unknown";
}

std::vector<std::size_t> THealthReport::CountByKind() const {
    std::vector<std::size_t> counts(kHealthKindCount, 0);
    for (const auto& p : Problems) {
        ++counts[static_cast<std::size_t>(p.Kind)];
    }
    return counts;
}

void CheckClusters(const TClusterArray& byLcn, const TFileIDs& fileIds, std::int64_t totalClusters,
                   TBitmapWords bitmap, THealthReport& report) {
    const std::int64_t bitmapEnd = std::clamp<std::int64_t>(
        bitmap.Clusters, 0,
        std::min(totalClusters, static_cast<std::int64_t>(bitmap.Words.size()) * 64));
    report.BitmapChecked = bitmapEnd > 0;
    // Ranges of the volume's own clusters come out of the walk in order; the
    // runs past its end come out per extent and are kept apart until the end.
    TProblemSink sink(report);
    THealthReport beyond;
    TProblemSink beyondSink(beyond);

    const auto bitRuns = [&](THealthKind kind, std::int64_t from, std::int64_t to, bool set,
                             std::span<const THealthClaimant> claimants) {
        to = std::min(to, bitmapEnd);
        for (std::int64_t p = FindBit(bitmap.Words, from, to, set); p < to;) {
            const std::int64_t q = FindBit(bitmap.Words, p, to, !set);
            sink.Add(kind, p, q - p, claimants);
            p = FindBit(bitmap.Words, q, to, set);
        }
    };

    struct TActive {
        std::int64_t End = 0;
        THealthClaimant Claimant;
    };
    std::vector<TActive> active;
    std::vector<THealthClaimant> claimants;
    std::size_t next = 0;
    const std::size_t n = byLcn.size();
    // The next extent with clusters on the volume, past those without; runs
    // past the end are reported on the way.
    const auto skipToNext = [&] {
        while (next < n) {
            const TClusterEntry& e = byLcn[next];
            if (e.Length > 0) {
                const std::int64_t end = ExtentEnd(e.LCN, e.Length);
                const THealthClaimant c = ClaimantOf(fileIds, e);
                if (e.LCN < 0) {
                    beyondSink.Add(THealthKind::BeyondEnd, e.LCN,
                                   std::min<std::int64_t>(end, 0) - e.LCN, {&c, 1});
                }
                if (end > totalClusters) {
                    const std::int64_t first = std::max(e.LCN, totalClusters);
                    beyondSink.Add(THealthKind::BeyondEnd, first, end - first, {&c, 1});
                }
                const TClusterSpan span = ClipToVolume(e.LCN, e.Length, totalClusters);
                if (span.begin < span.end) {
                    return;
                }
            }
            ++next;
        }
    };
    skipToNext();
    std::int64_t pos = 0;
    while (pos < totalClusters) {
        if (active.empty()) {
            const std::int64_t start =
                next < n ? std::max<std::int64_t>(byLcn[next].LCN, 0) : totalClusters;
            bitRuns(THealthKind::UnownedUsed, pos, start, true, {});
            pos = start;
        }
        // Every extent that starts here joins; its own end is where it leaves.
        while (next < n && std::max<std::int64_t>(byLcn[next].LCN, 0) == pos) {
            const TClusterEntry& e = byLcn[next];
            active.push_back(
                {ClipToVolume(e.LCN, e.Length, totalClusters).end, ClaimantOf(fileIds, e)});
            ++next;
            skipToNext();
        }
        if (active.empty()) {
            continue;
        }
        std::int64_t end = next < n ? std::max<std::int64_t>(byLcn[next].LCN, 0) : kNoEnd;
        for (const auto& a : active) {
            end = std::min(end, a.End);
        }
        claimants.clear();
        for (const auto& a : active) {
            claimants.push_back(a.Claimant);
        }
        std::ranges::sort(claimants, [](const THealthClaimant& a, const THealthClaimant& b) {
            return a.RecordNo != b.RecordNo ? a.RecordNo < b.RecordNo : a.AttrType < b.AttrType;
        });
        if (claimants.size() > 1) {
            sink.Add(THealthKind::CrossLinked, pos, end - pos, claimants);
        }
        bitRuns(THealthKind::OwnedFree, pos, end, false, claimants);
        pos = end;
        std::erase_if(active, [pos](const TActive& a) { return a.End <= pos; });
    }
    // The walk leaves the problems of one range in the order found; a
    // cross-link and the owned-free clusters under it share their start.
    report.Problems.insert(report.Problems.end(), beyond.Problems.begin(), beyond.Problems.end());
    const auto shift = static_cast<std::uint32_t>(report.Claimants.size());
    for (auto it = report.Problems.end() - static_cast<std::ptrdiff_t>(beyond.Problems.size());
         it != report.Problems.end(); ++it) {
        it->FirstClaimant += shift;
    }
    report.Claimants.insert(report.Claimants.end(), beyond.Claimants.begin(),
                            beyond.Claimants.end());
}

void CheckRecords(TNTFSVolume& volume, platform::VolumeApi& api, const TFileIDs& fileIds,
                  THealthReport& report) {
    const std::int64_t bpc = volume.FBytesPerCluster;
    const std::int64_t recordSize = volume.FBytesPerFileRecordSegment;
    const std::int64_t total = volume.FTotalClusters;
    if (bpc <= 0 || recordSize <= 0 || total <= 0 || !volume.OpenVolume()) {
        return;
    }
    const TStream mft = CollectStream(volume, kMftRecord, ondisk::type::kData, u"");
    const TStream mftBitmap = CollectStream(volume, kMftRecord, ondisk::type::kBitmap, u"");
    const TStream mirror = CollectStream(volume, kMftMirrRecord, ondisk::type::kData, u"");
    const TStream bad = CollectStream(volume, kBadClusRecord, ondisk::type::kData, u"$Bad");
    volume.CloseVolume();

    TVolumeReader reader(api, volume.FVolumePath);
    std::vector<THealthProblem> found;
    std::vector<THealthClaimant> who;
    const auto add = [&](THealthKind kind, std::int64_t first, std::int64_t count,
                         const THealthClaimant& c) {
        THealthProblem p;
        p.Kind = kind;
        p.FirstLCN = first;
        p.Count = count;
        p.FirstClaimant = static_cast<std::uint32_t>(report.Claimants.size());
        p.ClaimantCount = 1;
        report.Claimants.push_back(c);
        report.Problems.push_back(p);
    };
    const std::int64_t recordClusters = std::max<std::int64_t>(1, (recordSize + bpc - 1) / bpc);

    std::int64_t mftRecords = 0;
    if (!mft.Resident && mft.DataSize > 0) {
        mftRecords = mft.DataSize / recordSize;
    }
    std::vector<std::byte> record(static_cast<std::size_t>(recordSize));
    std::vector<std::byte> copy(static_cast<std::size_t>(recordSize));
    const auto readRecord = [&](const TStream& stream, std::int64_t n, std::span<std::byte> out) {
        return ReadStream(reader, stream, bpc, total, n * recordSize, out);
    };

    // The $MFT's bitmap against the records the table holds: an in-use
    // record that the file system did not answer for is read again here,
    // to tell a torn one from a record that is merely absent.
    std::vector<std::byte> bits;
    if (mftRecords > 0 && mftBitmap.DataSize > 0) {
        const auto needed = static_cast<std::size_t>(
            std::min<std::int64_t>(mftBitmap.DataSize, (mftRecords + 7) / 8));
        bits.assign(needed, std::byte{0});
        bool read = false;
        if (mftBitmap.Resident) {
            read = mftBitmap.Value.size() >= needed;
            std::copy_n(mftBitmap.Value.begin(), std::min(needed, mftBitmap.Value.size()),
                        bits.begin());
        } else {
            read = ReadStream(reader, mftBitmap, bpc, total, 0, bits);
        }
        report.RecordsChecked = read;
        if (!read) {
            bits.clear();
        }
    }
    std::size_t entry = 0;
    const auto count = static_cast<std::size_t>(std::clamp<std::int64_t>(
        fileIds.FCount, 0, static_cast<std::int64_t>(fileIds.FItems.size())));
    for (std::size_t byte = 0; byte < bits.size(); ++byte) {
        const auto b = std::to_integer<std::uint8_t>(bits[byte]);
        for (unsigned bit = 0; b != 0 && bit < 8; ++bit) {
            const auto n = static_cast<std::int64_t>(byte * 8 + bit);
            if (((b >> bit) & 1U) == 0 || n >= mftRecords) {
                continue;
            }
            while (entry < count && fileIds.FItems[entry].FileID < n) {
                ++entry;
            }
            if (entry < count && fileIds.FItems[entry].FileID == n) {
                continue;
            }
            if (readRecord(mft, n, record) && ReadsAsRecord(record)) {
                continue;
            }
            add(THealthKind::BadRecord, ClusterOf(mft, bpc, n * recordSize), recordClusters,
                RecordClaimant(fileIds, n));
        }
    }

    // The mirror's records against the $MFT's first ones, each with its
    // update sequence applied, over the bytes the $MFT's record uses: the
    // records kept mirrored, or as many as a shorter mirror holds.
    if (!mirror.Resident && mirror.DataSize > 0 && mftRecords > 0) {
        const std::int64_t mirrored =
            std::min({mirror.DataSize / recordSize, mftRecords, kMirroredRecords});
        bool whole = mirrored > 0;
        for (std::int64_t n = 0; n < mirrored; ++n) {
            const bool mftRead = readRecord(mft, n, record);
            const bool mirrorRead = readRecord(mirror, n, copy);
            if (!mftRead || !mirrorRead) {
                whole = false;
                continue;
            }
            if (std::ranges::equal(record, copy)) {
                continue;
            }
            const bool mftOk = ReadsAsRecord(record);
            const bool mirrorOk = ReadsAsRecord(copy);
            const auto used = static_cast<std::size_t>(std::clamp<std::int64_t>(
                ByteReader(record).u32(ondisk::record::kBytesInUse).value_or(0), 0, recordSize));
            if (mftOk && mirrorOk &&
                std::equal(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(used),
                           copy.begin())) {
                continue;
            }
            add(THealthKind::MirrorDiffers, ClusterOf(mft, bpc, n * recordSize), recordClusters,
                RecordClaimant(fileIds, n));
        }
        report.MirrorChecked = whole;
    }

    // The clusters the file system has set aside as bad: the allocated runs
    // of $BadClus:$Bad, which is otherwise one sparse run over the volume.
    for (const auto& piece : bad.Pieces) {
        if (!piece.Sparse) {
            THealthClaimant c = RecordClaimant(fileIds, kBadClusRecord);
            c.AttrType = ondisk::type::kData;
            add(THealthKind::BadCluster, piece.Lcn, piece.Length, c);
        }
    }
}

THealthReport CheckVolumeHealth(TNTFSVolume& volume, platform::VolumeApi& api,
                                const TFileIDs& fileIds, const TClusterArray& byLcn,
                                TBitmapWords bitmap) {
    THealthReport report;
    CheckClusters(byLcn, fileIds, volume.FTotalClusters, bitmap, report);
    CheckRecords(volume, api, fileIds, report);
    std::vector<std::uint32_t> order(report.Problems.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::ranges::stable_sort(order, [&report](std::uint32_t a, std::uint32_t b) {
        const THealthProblem& x = report.Problems[a];
        const THealthProblem& y = report.Problems[b];
        return x.FirstLCN != y.FirstLCN ? x.FirstLCN < y.FirstLCN : x.Kind < y.Kind;
    });
    std::vector<THealthProblem> sorted;
    sorted.reserve(order.size());
    for (const std::uint32_t i : order) {
        sorted.push_back(report.Problems[i]);
    }
    report.Problems.swap(sorted);
    return report;
}

std::vector<THealthSpan> HealthMapSpans(const THealthReport& report, const TClusterArray& byLcn,
                                        std::int64_t totalClusters) {
    std::vector<THealthSpan> spans;
    bool beyond = false;
    for (const auto& p : report.Problems) {
        if (p.Kind == THealthKind::BeyondEnd) {
            beyond = true;
        } else if (IsClusterKind(p.Kind)) {
            spans.push_back({p.FirstLCN, p.Count, p.Kind});
        }
    }
    if (beyond) {
        for (const TClusterEntry& e : byLcn) {
            if (e.Length > 0 && e.LCN < totalClusters &&
                ExtentEnd(e.LCN, e.Length) > totalClusters) {
                const std::int64_t first = std::max<std::int64_t>(e.LCN, 0);
                spans.push_back({first, totalClusters - first, THealthKind::BeyondEnd});
            }
        }
    }
    std::ranges::stable_sort(
        spans, [](const THealthSpan& a, const THealthSpan& b) { return a.First < b.First; });
    return spans;
}

std::vector<std::uint64_t> ReadBitmapWords(platform::VolumeApi& api, std::string_view driveRoot,
                                           std::int64_t totalClusters) {
    static_assert(std::endian::native == std::endian::little,
                  "the bitmap's bytes are read straight into its words");
    if (totalClusters <= 0) {
        return {};
    }
    const auto clusters = static_cast<std::uint64_t>(totalClusters);
    std::vector<std::uint64_t> words((clusters + 63) / 64, 0);
    const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(words.data()),
                                        (clusters + 7) / 8);
    if (!volume::ReadVolumeBitmap(api, driveRoot, bytes)) {
        return {};
    }
    if (clusters % 64 != 0) {
        words.back() &= (std::uint64_t{1} << (clusters % 64)) - 1;
    }
    return words;
}

} // namespace lorvex::ntfs

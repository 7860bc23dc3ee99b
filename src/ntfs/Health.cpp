#include "ntfs/Health.h"

#include "ntfs/Attributes.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ondisk/Attribute.h"
#include "ondisk/AttributeList.h"
#include "ondisk/ByteReader.h"
#include "ondisk/FileRecord.h"
#include "ondisk/NonResident.h"
#include "ondisk/StreamReader.h"
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
class ProblemSink {
  public:
    explicit ProblemSink(THealthReport& report) : report_(report) {}

    void Add(THealthKind kind, std::int64_t first, std::int64_t count,
             std::span<const THealthClaimant> claimants) {
        if (count <= 0) {
            return;
        }
        auto& problems = report_.Problems;
        if (!problems.empty()) {
            THealthProblem& last = problems.back();
            if (last.Kind == kind && last.FirstLCN + last.Count == first &&
                SameClaimants(report_.ClaimantsOf(last), claimants)) {
                last.Count += count;
                return;
            }
        }
        THealthProblem p;
        p.Kind = kind;
        p.FirstLCN = first;
        p.Count = count;
        p.FirstClaimant = static_cast<std::uint32_t>(report_.Claimants.size());
        p.ClaimantCount = static_cast<std::uint32_t>(claimants.size());
        report_.Claimants.insert(report_.Claimants.end(), claimants.begin(), claimants.end());
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

    THealthReport& report_;
};

THealthClaimant ClaimantOf(const TFileIDs& fileIds, const TClusterEntry& e) {
    THealthClaimant c;
    c.FileIndex = static_cast<std::int32_t>(e.FileIndex);
    c.AttrType = e.AttrType;
    c.RecordNo =
        e.FileIndex < static_cast<std::uint32_t>(fileIds.size()) ? fileIds[e.FileIndex].FileID : -1;
    return c;
}

// Reads bytes of the volume through the volume query interface, with one
// handle for the whole check.
class VolumeReader {
  public:
    VolumeReader(platform::VolumeApi& api, const std::string& devicePath) : api_(api) {
        if (!devicePath.empty()) {
            handle_ = api.CreateFile(devicePath);
        }
    }
    VolumeReader(const VolumeReader&) = delete;
    VolumeReader& operator=(const VolumeReader&) = delete;
    ~VolumeReader() {
        if (IsOpen()) {
            api_.CloseHandle(handle_);
        }
    }
    [[nodiscard]] bool IsOpen() const { return handle_ != platform::kInvalidHandle; }

    // All of `out` from byte `offset`, or false.
    bool Read(std::int64_t offset, std::span<std::byte> out) {
        if (!IsOpen() || offset < 0 || !api_.SetFilePointerEx(handle_, offset)) {
            return false;
        }
        std::size_t done = 0;
        while (done < out.size()) {
            std::uint32_t read = 0;
            if (!api_.ReadFile(handle_, out.subspan(done), &read) || read == 0) {
                return false;
            }
            done += read;
        }
        return true;
    }

  private:
    platform::VolumeApi& api_;
    platform::Handle handle_ = platform::kInvalidHandle;
};

// One attribute of a base record and its extension records, its pieces put
// together by VCN, as the records of the table give it.
struct Stream {
    std::vector<ondisk::Extent> extents;
    std::int64_t dataSize = -1; // from the piece at VCN 0; -1 when none was found
    bool resident = false;
    std::vector<std::byte> value; // a resident attribute's value
};

// The base record and the records its attribute list names: where the
// pieces of its attributes can lie. Read from the records themselves, so
// that finding them costs the same on a table of any size (a walk of a
// million entries for each stream cost 90 ms).
std::vector<std::int64_t> RecordsOfBase(RecordReader& records, std::int64_t base) {
    std::vector<std::int64_t> numbers{base};
    const auto record = records.ReadInUse(base);
    if (!record || !record->valid()) {
        return numbers;
    }
    const ondisk::AttributeKey anyList{
        .type = ondisk::type::kAttributeList, .name = {}, .lowestVcn = {}, .id = {}};
    if (const auto list = ondisk::FindAttribute(record->bytes(), anyList)) {
        const auto value = ReadAttributeListValue(list->bytes, [&records](auto runs, auto out) {
            return records.ReadRunData(runs, out);
        });
        for (const auto& entry : ondisk::DecodeAttributeList(value)) {
            numbers.push_back(entry.record);
        }
    }
    std::ranges::sort(numbers);
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

// Adds one piece of the stream to it.
void TakePiece(std::span<const std::byte> attribute, std::int64_t bytesPerCluster, Stream& stream) {
    if (ondisk::IsResident(attribute)) {
        const auto value = ondisk::ResidentValue(attribute);
        stream.resident = true;
        stream.value.assign(value.begin(), value.end());
        stream.dataSize = static_cast<std::int64_t>(value.size());
        return;
    }
    const auto header = ondisk::DecodeNonResident(attribute);
    if (!header) {
        return;
    }
    if (header->lowestVcn == 0) {
        stream.dataSize = header->dataSize;
    }
    ondisk::AppendExtents(*header, bytesPerCluster, stream.extents);
}

Stream CollectStream(RecordReader& records, std::int64_t bytesPerCluster, std::int64_t base,
                     std::uint32_t type, std::u16string_view name) {
    Stream stream;
    const ondisk::AttributeKey key{.type = type, .name = name, .lowestVcn = {}, .id = {}};
    for (const std::int64_t recordNo : RecordsOfBase(records, base)) {
        const auto record = records.ReadInUse(recordNo);
        if (!record || record->baseRecord() != base || !record->valid()) {
            continue;
        }
        auto walk = ondisk::WalkRecordAttributes(record->bytes());
        while (const auto a = walk.Next()) {
            if (ondisk::AttributeMatches(a->type, a->bytes, key)) {
                TakePiece(a->bytes, bytesPerCluster, stream);
            }
        }
    }
    std::stable_sort(
        stream.extents.begin(), stream.extents.end(),
        [](const ondisk::Extent& a, const ondisk::Extent& b) { return a.vcn < b.vcn; });
    return stream;
}

// Bytes [pos, pos + out.size()) of a non-resident stream; false when any of
// them lies outside its pieces or the volume, or cannot be read.
bool ReadStream(VolumeReader& reader, const Stream& stream, const ondisk::StreamVolume& volume,
                std::int64_t pos, std::span<std::byte> out) {
    const auto read = [&reader](std::uint64_t at, std::span<std::byte> piece) -> std::size_t {
        return reader.Read(static_cast<std::int64_t>(at), piece) ? piece.size() : 0;
    };
    return pos >= 0 && ondisk::ReadStream(stream.extents, volume, static_cast<std::uint64_t>(pos),
                                          out, read) == out.size();
}

// The cluster where byte `pos` of the stream lies, or -1.
std::int64_t ClusterOf(const Stream& stream, std::int64_t bytesPerCluster, std::int64_t pos) {
    const std::int64_t vcn = pos / bytesPerCluster;
    const ondisk::Extent* e = ondisk::FindExtent(stream.extents, vcn);
    return e == nullptr || e->sparse ? -1 : e->lcn + (vcn - e->vcn);
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

namespace {

// One walk of the map in LCN order against the bitmap. Ranges of the
// volume's own clusters come out of the walk in order; the runs past its end
// come out per extent and are kept apart until the end.
class ClusterCheck {
  public:
    ClusterCheck(const TClusterArray& byLcn, const TFileIDs& fileIds, std::int64_t totalClusters,
                 TBitmapWords bitmap, THealthReport& report)
        : byLcn_(byLcn), fileIds_(fileIds), total_(totalClusters), words_(bitmap.Words),
          bitmapEnd_(std::clamp<std::int64_t>(
              bitmap.Clusters, 0,
              std::min(totalClusters, static_cast<std::int64_t>(bitmap.Words.size()) * 64))),
          report_(report), sink_(report), beyondSink_(beyond_) {
        report.BitmapChecked = bitmapEnd_ > 0;
    }

    void Walk();
    // The problems past the end after the others.
    void Finish();

  private:
    struct Active {
        std::int64_t end = 0;
        THealthClaimant claimant;
    };

    // Problems of `kind` over the clusters of [from, to) whose bit is `set`.
    void BitRuns(THealthKind kind, std::int64_t from, std::int64_t to, bool set,
                 std::span<const THealthClaimant> claimants) {
        to = std::min(to, bitmapEnd_);
        for (std::int64_t p = FindBit(words_, from, to, set); p < to;) {
            const std::int64_t q = FindBit(words_, p, to, !set);
            sink_.Add(kind, p, q - p, claimants);
            p = FindBit(words_, q, to, set);
        }
    }
    void SkipToNext();
    [[nodiscard]] std::int64_t NextStart() const {
        return next_ < byLcn_.size() ? std::max<std::int64_t>(byLcn_[next_].LCN, 0) : total_;
    }
    // The range from `pos` where the same extents overlap, checked; returns its end.
    std::int64_t CheckOverlap(std::int64_t pos);

    const TClusterArray& byLcn_;
    const TFileIDs& fileIds_;
    std::int64_t total_;
    std::span<const std::uint64_t> words_;
    std::int64_t bitmapEnd_;
    THealthReport& report_;
    THealthReport beyond_;
    ProblemSink sink_;
    ProblemSink beyondSink_;
    std::vector<Active> active_;
    std::vector<THealthClaimant> claimants_;
    std::size_t next_ = 0;
};

void ClusterCheck::SkipToNext() {
    // The next extent with clusters on the volume, past those without; runs
    // past the end are reported on the way.
    while (next_ < byLcn_.size()) {
        const TClusterEntry& e = byLcn_[next_];
        if (e.Length > 0) {
            const std::int64_t end = ExtentEnd(e.LCN, e.Length);
            const THealthClaimant c = ClaimantOf(fileIds_, e);
            if (e.LCN < 0) {
                beyondSink_.Add(THealthKind::BeyondEnd, e.LCN,
                                std::min<std::int64_t>(end, 0) - e.LCN, {&c, 1});
            }
            if (end > total_) {
                const std::int64_t first = std::max(e.LCN, total_);
                beyondSink_.Add(THealthKind::BeyondEnd, first, end - first, {&c, 1});
            }
            const TClusterSpan span = ClipToVolume(e.LCN, e.Length, total_);
            if (span.begin < span.end) {
                return;
            }
        }
        ++next_;
    }
}

std::int64_t ClusterCheck::CheckOverlap(std::int64_t pos) {
    std::int64_t end = next_ < byLcn_.size() ? NextStart() : kNoEnd;
    for (const auto& a : active_) {
        end = std::min(end, a.end);
    }
    claimants_.clear();
    for (const auto& a : active_) {
        claimants_.push_back(a.claimant);
    }
    std::ranges::sort(claimants_, [](const THealthClaimant& a, const THealthClaimant& b) {
        return a.RecordNo != b.RecordNo ? a.RecordNo < b.RecordNo : a.AttrType < b.AttrType;
    });
    if (claimants_.size() > 1) {
        sink_.Add(THealthKind::CrossLinked, pos, end - pos, claimants_);
    }
    BitRuns(THealthKind::OwnedFree, pos, end, false, claimants_);
    return end;
}

void ClusterCheck::Walk() {
    SkipToNext();
    std::int64_t pos = 0;
    while (pos < total_) {
        if (active_.empty()) {
            const std::int64_t start = NextStart();
            BitRuns(THealthKind::UnownedUsed, pos, start, true, {});
            pos = start;
        }
        // Every extent that starts here joins; its own end is where it leaves.
        while (next_ < byLcn_.size() && NextStart() == pos) {
            const TClusterEntry& e = byLcn_[next_];
            active_.push_back({ClipToVolume(e.LCN, e.Length, total_).end, ClaimantOf(fileIds_, e)});
            ++next_;
            SkipToNext();
        }
        if (active_.empty()) {
            continue;
        }
        pos = CheckOverlap(pos);
        std::erase_if(active_, [pos](const Active& a) { return a.end <= pos; });
    }
}

void ClusterCheck::Finish() {
    // The walk leaves the problems of one range in the order found; a
    // cross-link and the owned-free clusters under it share their start.
    auto& problems = report_.Problems;
    problems.insert(problems.end(), beyond_.Problems.begin(), beyond_.Problems.end());
    const auto shift = static_cast<std::uint32_t>(report_.Claimants.size());
    for (auto it = problems.end() - static_cast<std::ptrdiff_t>(beyond_.Problems.size());
         it != problems.end(); ++it) {
        it->FirstClaimant += shift;
    }
    report_.Claimants.insert(report_.Claimants.end(), beyond_.Claimants.begin(),
                             beyond_.Claimants.end());
}

} // namespace

void CheckClusters(const TClusterArray& byLcn, const TFileIDs& fileIds, std::int64_t totalClusters,
                   TBitmapWords bitmap, THealthReport& report) {
    ClusterCheck check(byLcn, fileIds, totalClusters, bitmap, report);
    check.Walk();
    check.Finish();
}

namespace {

// The streams of the system files that the record checks read.
struct SystemStreams {
    Stream mft;
    Stream mftBitmap;
    Stream mirror;
    Stream bad;
};

SystemStreams CollectSystemStreams(RecordReader& records, std::int64_t bytesPerCluster) {
    SystemStreams s;
    s.mft = CollectStream(records, bytesPerCluster, kMftRecord, ondisk::type::kData, u"");
    s.mftBitmap = CollectStream(records, bytesPerCluster, kMftRecord, ondisk::type::kBitmap, u"");
    s.mirror = CollectStream(records, bytesPerCluster, kMftMirrRecord, ondisk::type::kData, u"");
    s.bad = CollectStream(records, bytesPerCluster, kBadClusRecord, ondisk::type::kData, u"$Bad");
    return s;
}

// The record checks over the streams of the system files, read with one
// handle for the whole check.
class RecordCheck {
  public:
    RecordCheck(const NtfsVolume& volume, platform::VolumeApi& api, SystemStreams streams,
                const TFileIDs& fileIds, THealthReport& report)
        : reader_(api, volume.devicePath()), fileIds_(fileIds),
          report_(report), volume_{volume.geometry().bytesPerCluster,
                                   volume.geometry().totalClusters},
          recordSize_(volume.geometry().bytesPerRecord),
          recordClusters_(std::max<std::int64_t>(1, (recordSize_ + volume_.bytesPerCluster - 1) /
                                                        volume_.bytesPerCluster)),
          mft_(std::move(streams.mft)), mftBitmap_(std::move(streams.mftBitmap)),
          mirror_(std::move(streams.mirror)), bad_(std::move(streams.bad)),
          record_(static_cast<std::size_t>(recordSize_)),
          copy_(static_cast<std::size_t>(recordSize_)) {
        if (!mft_.resident && mft_.dataSize > 0) {
            mftRecords_ = mft_.dataSize / recordSize_;
        }
    }

    void CheckInUseRecords();
    void CheckMirror();
    void AddBadClusters();

  private:
    bool ReadRecord(const Stream& stream, std::int64_t n, std::span<std::byte> out) {
        return ReadStream(reader_, stream, volume_, n * recordSize_, out);
    }
    // A problem with one claimant, its record's clusters where record `n`
    // of the $MFT lies.
    void AddRecordProblem(THealthKind kind, std::int64_t n) {
        Add(kind, ClusterOf(mft_, volume_.bytesPerCluster, n * recordSize_), recordClusters_,
            RecordClaimant(fileIds_, n));
    }
    void Add(THealthKind kind, std::int64_t first, std::int64_t count, const THealthClaimant& c) {
        THealthProblem p;
        p.Kind = kind;
        p.FirstLCN = first;
        p.Count = count;
        p.FirstClaimant = static_cast<std::uint32_t>(report_.Claimants.size());
        p.ClaimantCount = 1;
        report_.Claimants.push_back(c);
        report_.Problems.push_back(p);
    }
    // The $MFT's bitmap, as far as the $MFT has records; empty when it
    // cannot be read.
    std::vector<std::byte> ReadMftBitmap();

    VolumeReader reader_;
    const TFileIDs& fileIds_;
    THealthReport& report_;
    ondisk::StreamVolume volume_;
    std::int64_t recordSize_;
    std::int64_t recordClusters_;
    Stream mft_;
    Stream mftBitmap_;
    Stream mirror_;
    Stream bad_;
    std::int64_t mftRecords_ = 0;
    std::vector<std::byte> record_;
    std::vector<std::byte> copy_;
};

std::vector<std::byte> RecordCheck::ReadMftBitmap() {
    std::vector<std::byte> bits;
    if (mftRecords_ <= 0 || mftBitmap_.dataSize <= 0) {
        return bits;
    }
    const auto needed = static_cast<std::size_t>(
        std::min<std::int64_t>(mftBitmap_.dataSize, (mftRecords_ + 7) / 8));
    bits.assign(needed, std::byte{0});
    bool read = false;
    if (mftBitmap_.resident) {
        read = mftBitmap_.value.size() >= needed;
        std::copy_n(mftBitmap_.value.begin(), std::min(needed, mftBitmap_.value.size()),
                    bits.begin());
    } else {
        read = ReadStream(reader_, mftBitmap_, volume_, 0, bits);
    }
    report_.RecordsChecked = read;
    if (!read) {
        bits.clear();
    }
    return bits;
}

void RecordCheck::CheckInUseRecords() {
    // The $MFT's bitmap against the records the table holds: an in-use
    // record that the file system did not answer for is read again here,
    // to tell a torn one from a record that is merely absent.
    const std::vector<std::byte> bits = ReadMftBitmap();
    std::size_t entry = 0;
    const std::size_t count = fileIds_.items().size();
    for (std::size_t byte = 0; byte < bits.size(); ++byte) {
        const auto b = std::to_integer<std::uint8_t>(bits[byte]);
        for (unsigned bit = 0; b != 0 && bit < 8; ++bit) {
            const auto n = static_cast<std::int64_t>(byte * 8 + bit);
            if (((b >> bit) & 1U) == 0 || n >= mftRecords_) {
                continue;
            }
            while (entry < count && fileIds_[entry].FileID < n) {
                ++entry;
            }
            if (entry < count && fileIds_[entry].FileID == n) {
                continue;
            }
            if (ReadRecord(mft_, n, record_) && ReadsAsRecord(record_)) {
                continue;
            }
            AddRecordProblem(THealthKind::BadRecord, n);
        }
    }
}

void RecordCheck::CheckMirror() {
    // The mirror's records against the $MFT's first ones, each with its
    // update sequence applied, over the bytes the $MFT's record uses: the
    // records kept mirrored, or as many as a shorter mirror holds.
    if (mirror_.resident || mirror_.dataSize <= 0 || mftRecords_ <= 0) {
        return;
    }
    const std::int64_t mirrored =
        std::min({mirror_.dataSize / recordSize_, mftRecords_, kMirroredRecords});
    bool whole = mirrored > 0;
    for (std::int64_t n = 0; n < mirrored; ++n) {
        const bool mftRead = ReadRecord(mft_, n, record_);
        const bool mirrorRead = ReadRecord(mirror_, n, copy_);
        if (!mftRead || !mirrorRead) {
            whole = false;
            continue;
        }
        if (std::ranges::equal(record_, copy_)) {
            continue;
        }
        const bool mftOk = ReadsAsRecord(record_);
        const bool mirrorOk = ReadsAsRecord(copy_);
        const auto used = static_cast<std::size_t>(std::clamp<std::int64_t>(
            ByteReader(record_).u32(ondisk::record::kBytesInUse).value_or(0), 0, recordSize_));
        if (mftOk && mirrorOk &&
            std::equal(record_.begin(), record_.begin() + static_cast<std::ptrdiff_t>(used),
                       copy_.begin())) {
            continue;
        }
        AddRecordProblem(THealthKind::MirrorDiffers, n);
    }
    report_.MirrorChecked = whole;
}

void RecordCheck::AddBadClusters() {
    // The clusters the file system has set aside as bad: the allocated runs
    // of $BadClus:$Bad, which is otherwise one sparse run over the volume.
    for (const auto& e : bad_.extents) {
        if (!e.sparse) {
            THealthClaimant c = RecordClaimant(fileIds_, kBadClusRecord);
            c.AttrType = ondisk::type::kData;
            Add(THealthKind::BadCluster, e.lcn, e.length, c);
        }
    }
}

} // namespace

void CheckRecords(NtfsVolume& volume, platform::VolumeApi& api, const TFileIDs& fileIds,
                  THealthReport& report) {
    const VolumeGeometry& geometry = volume.geometry();
    if (geometry.bytesPerCluster == 0 || geometry.bytesPerRecord == 0 ||
        geometry.totalClusters <= 0) {
        return;
    }
    // The streams are found through a record reader, and read with the
    // check's own handle once it is closed.
    SystemStreams streams;
    {
        RecordReader records = volume.OpenRecordReader();
        if (!records.IsOpen()) {
            return;
        }
        streams = CollectSystemStreams(records, geometry.bytesPerCluster);
    }
    RecordCheck check(volume, api, std::move(streams), fileIds, report);
    check.CheckInUseRecords();
    check.CheckMirror();
    check.AddBadClusters();
}

THealthReport CheckVolumeHealth(NtfsVolume& volume, platform::VolumeApi& api,
                                const TFileIDs& fileIds, const TClusterArray& byLcn,
                                TBitmapWords bitmap) {
    THealthReport report;
    CheckClusters(byLcn, fileIds, volume.geometry().totalClusters, bitmap, report);
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

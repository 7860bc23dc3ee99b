#include "map/MapModel.h"

#include "ntfs/FileTable.h"
#include "ondisk/BitCount.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <queue>
#include <system_error>
#include <thread>

namespace lorvex::map {

namespace {

static_assert(std::endian::native == std::endian::little,
              "the bitmap's bytes are copied into its words as they are");

constexpr std::uint32_t kZonePainter = 0;
// What a range's first cluster holds.
constexpr std::int64_t kMostClusters = std::int64_t{1} << 40;
constexpr std::int64_t kRankHighClusters = 65536;
// A group of the bitmap: 512 clusters, eight words, one cache line.
constexpr std::uint64_t kGroupClusters = 512;
constexpr std::size_t kGroupWords = 8;
constexpr std::size_t kGroupsPerHigh = kRankHighClusters / kGroupClusters;
// Up to this many clusters, counting the bitmap's words beats two ranks.
constexpr std::int64_t kDirectClusters = 32;
// Below this many words the bitmap is copied and counted on one thread.
constexpr std::size_t kThreadedWords = std::size_t{1} << 22;
constexpr std::size_t kMarkedSlot = VolumeStateSlot(csMarked);
constexpr std::size_t kUsedSlot = VolumeStateSlot(csUsed);
constexpr std::size_t kFreeSlot = VolumeStateSlot(csFree);
static_assert(kMarkedSlot == 0 && kUsedSlot < kVolumeStateCount && kFreeSlot < kVolumeStateCount);

// The slot of every painter state; a painter's state is always one of them.
constexpr std::array<std::uint8_t, 256> BuildSlots() {
    std::array<std::uint8_t, 256> slots{};
    for (std::size_t s = 0; s < slots.size(); ++s) {
        const std::size_t slot = VolumeStateSlot(static_cast<std::uint8_t>(s));
        slots[s] = static_cast<std::uint8_t>(slot < kVolumeStateCount ? slot : kFreeSlot);
    }
    return slots;
}
constexpr std::array<std::uint8_t, 256> kSlots = BuildSlots();

char16_t FoldCase(char16_t c) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
        (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) || (c >= 0x410 && c <= 0x42F)) {
        return static_cast<char16_t>(c + 0x20);
    }
    if (c >= 0x400 && c <= 0x40F) {
        return static_cast<char16_t>(c + 0x50);
    }
    return c;
}

inline unsigned Pop(std::uint64_t x) {
    return ondisk::PopCount64(x);
}

// The low `bits` bits, bits in [0, 63].
constexpr std::uint64_t LowBits(unsigned bits) {
    return (std::uint64_t{1} << bits) - 1;
}

// a + b * c, held inside the 64-bit range rather than wrapping.
std::int64_t SaturatingStep(std::int64_t a, std::int64_t b, std::int64_t c) {
    std::int64_t product = 0;
    std::int64_t sum = 0;
    if (__builtin_mul_overflow(b, c, &product)) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (__builtin_add_overflow(a, product, &sum)) {
        return product > 0 ? std::numeric_limits<std::int64_t>::max()
                           : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

// One event where a painter's extent starts and one where it ends; a sweep
// along them gives every run of clusters to the latest painter covering it,
// which is what painting one extent over another leaves.
struct PaintEvent {
    std::int64_t pos = 0;
    std::uint32_t painter = 0;
    bool start = false;
};

// The events of every painter of `input` on a volume of `totalClusters`, in
// painting order: the MFT zone, each scanned entry that paints, the clusters
// the layer beneath keeps. `painterStates` becomes the state of each painter.
std::vector<PaintEvent> CollectPaintEvents(const TMapInput& input, TContainsCaseless contains,
                                           std::int64_t totalClusters,
                                           std::vector<std::uint8_t>& painterStates) {
    std::vector<PaintEvent> events;
    const auto addExtent = [&](std::int64_t first, std::int64_t count, std::uint32_t painter) {
        const auto [begin, end] = ntfs::ClipToVolume(first, count, totalClusters);
        if (begin >= end) {
            return;
        }
        events.push_back({begin, painter, true});
        events.push_back({end, painter, false});
    };

    painterStates.assign(1, csMFTZone);
    std::int64_t zoneLength = 0;
    if (!__builtin_sub_overflow(input.mftZoneEnd, input.mftZoneStart, &zoneLength)) {
        addExtent(input.mftZoneStart, zoneLength, kZonePainter);
    }
    if (input.fileIds != nullptr && input.clusters != nullptr) {
        // The same walk as the painting of the cells: one pass along the
        // map, in FileIndex order, handing each entry its extents.
        const ntfs::TFileIDs& table = *input.fileIds;
        const std::size_t count = table.items().size();
        const ntfs::TClusterArray& map = *input.clusters;
        std::size_t cursor = 0;
        std::u16string path;
        for (std::size_t k = 0; k < count; ++k) {
            const auto index = static_cast<std::uint32_t>(k);
            while (cursor < map.size() && map[cursor].FileIndex < index) {
                ++cursor;
            }
            if (cursor == map.size() || map[cursor].FileIndex != index) {
                continue;
            }
            const std::uint8_t state = EntryPaintState(table, k, input.markText, contains, path);
            const auto painter = static_cast<std::uint32_t>(painterStates.size());
            if (state != 0) {
                painterStates.push_back(state);
            }
            for (; cursor < map.size() && map[cursor].FileIndex == index; ++cursor) {
                if (state != 0) {
                    addExtent(map[cursor].LCN, map[cursor].Length, painter);
                }
            }
        }
    }

    if (!input.reserved.empty()) {
        const auto painter = static_cast<std::uint32_t>(painterStates.size());
        painterStates.push_back(csSystem);
        for (const ntfs::TReservedRun& run : input.reserved) {
            addExtent(run.LCN, run.Length, painter);
        }
    }
    return events;
}

// Runs `work(first, last)` over [0, count), in two halves on two threads
// when `split` and a second thread can be had, else at once on this one.
template <typename Work> void RunInHalves(const Work& work, std::size_t count, bool split) {
    if (split) {
        try {
            std::thread second(work, count / 2, count);
            work(0, count / 2);
            second.join();
            return;
        } catch (const std::system_error&) {
            // No second thread to be had: one does it all.
        }
    }
    work(0, count);
}

} // namespace

bool ContainsCaselessSimple(std::u16string_view text, std::u16string_view part) {
    if (part.size() > text.size()) {
        return false;
    }
    for (std::size_t at = 0; at + part.size() <= text.size(); ++at) {
        std::size_t n = 0;
        while (n < part.size() && FoldCase(text[at + n]) == FoldCase(part[n])) {
            ++n;
        }
        if (n == part.size()) {
            return true;
        }
    }
    return false;
}

std::uint8_t EntryPaintState(const ntfs::TFileIDs& table, std::size_t index,
                             std::u16string_view markText, TContainsCaseless contains,
                             std::u16string& path) {
    if (contains == nullptr) {
        contains = ContainsCaselessSimple;
    }
    const ntfs::TFileID& entry = table[index];
    switch (entry.FileType) {
    case ntfs::kTypeFile: {
        std::uint8_t state = entry.Fragmented ? csFragmented : csUsed;
        if (contains(entry.Name, u"pagefile.sys")) {
            state = csPagefile;
        }
        if (!markText.empty()) {
            table.GetPath(static_cast<int>(index), path);
            if (contains(path, markText)) {
                state = csMarked;
            }
        }
        return state;
    }
    case ntfs::kTypeDirectory:
        return csDirectory;
    case ntfs::kTypeSystem:
        return csSystem;
    default:
        return 0;
    }
}

// Counts the states of the clusters [0, x) for an x that moves along the
// volume: forward by walking the ranges and the bitmap's ranks, and anywhere
// else by starting again from the counts of x's block.
class TMapModel::TCursor {
  public:
    explicit TCursor(const TMapModel& model) : FModel(model) {}

    // x in [0, total].
    void MoveTo(std::int64_t x) {
        if (x < FPos || x - FPos > kBlockClusters) {
            Seek(x);
        } else {
            Walk(x);
        }
    }
    [[nodiscard]] const TCounts& Counts() const { return FCounts; }
    [[nodiscard]] std::size_t Range() const { return FRange; }

    [[nodiscard]] std::int64_t Pos() const { return FPos; }

    // Moves to x without counting; the counts are left behind.
    void Place(std::int64_t x) {
        FPos = x;
        FRange = FModel.RangeAfter(x);
    }
    // Moves on to x, counting only [FPos, x) into `counts`.
    void CountTo(std::int64_t x, TCounts& counts) {
        std::swap(counts, FCounts);
        Walk(x);
        std::swap(counts, FCounts);
    }
    // When one range covers [FPos, x): moves to x and gives its state.
    bool CoveredTo(std::int64_t x, std::uint8_t& state) {
        const std::vector<TRange>& ranges = FModel.FRanges;
        if (FRange == ranges.size() || ranges[FRange].First() > FPos || ranges[FRange].End() < x) {
            return false;
        }
        state = ranges[FRange].State();
        if (ranges[FRange].End() == x) {
            ++FRange;
        }
        FPos = x;
        return true;
    }

    // When no range lies in [FPos, x): moves to x and gives what its bits
    // show, used winning a tie with free.
    bool GapTo(std::int64_t x, std::uint8_t& state) {
        const std::vector<TRange>& ranges = FModel.FRanges;
        if (FRange < ranges.size() && ranges[FRange].First() < x) {
            return false;
        }
        const std::uint64_t used = Used(FPos, x);
        state = used * 2 >= static_cast<std::uint64_t>(x - FPos) ? csUsed : csFree;
        FPos = x;
        return true;
    }

    // The pixels of k clusters each from FPos on that lie wholly inside the
    // range or the gap FPos is in, at most `most` of them, into `out`; moves
    // past them without counting and gives how many there were. This is
    // most of a row, at any zoom: a range shows its state, a gap what its
    // bits show, used winning a tie with free.
    std::size_t Run(std::int64_t k, std::size_t most, std::uint8_t* out) {
        const std::vector<TRange>& ranges = FModel.FRanges;
        const bool inRange = FRange < ranges.size() && ranges[FRange].First() <= FPos;
        std::int64_t end = FModel.FTotalClusters;
        if (inRange) {
            end = ranges[FRange].End();
        } else if (FRange < ranges.size()) {
            end = ranges[FRange].First();
        }
        const auto n = static_cast<std::size_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>((end - FPos) / k), most));
        if (n == 0) {
            return 0;
        }
        const auto half = static_cast<std::uint64_t>(k);
        std::int64_t pos = FPos;
        if (inRange) {
            std::memset(out, ranges[FRange].State(), n);
        } else if (k <= kDirectClusters) {
            for (std::size_t i = 0; i < n; ++i, pos += k) {
                out[i] = FModel.CountBits(pos, pos + k) * 2 >= half ? csUsed : csFree;
            }
        } else {
            std::uint64_t before = FModel.Rank(pos);
            for (std::size_t i = 0; i < n; ++i) {
                pos += k;
                const std::uint64_t after = FModel.Rank(pos);
                out[i] = (after - before) * 2 >= half ? csUsed : csFree;
                before = after;
            }
        }
        FPos += static_cast<std::int64_t>(n) * k;
        if (inRange && FPos == end) {
            ++FRange;
        }
        return n;
    }

    // Moves to x, x in [0, total], counting [0, x) from its block.
    void Seek(std::int64_t x) {
        const auto block = static_cast<std::size_t>(x / kBlockClusters);
        FPos = static_cast<std::int64_t>(block) * kBlockClusters;
        FCounts = FModel.FBlockCounts[block];
        FRange = FModel.FBlockRanges[block];
        Walk(x);
    }

  private:
    // Counts [FPos, x): a painted range adds its length to its state
    // without looking at the bitmap, a gap between ranges its set and clear
    // bits.
    void Walk(std::int64_t x) {
        const std::vector<TRange>& ranges = FModel.FRanges;
        std::int64_t pos = FPos;
        while (pos < x) {
            if (FRange < ranges.size() && ranges[FRange].First() <= pos) {
                const TRange& r = ranges[FRange];
                const std::int64_t end = std::min(r.End(), x);
                FCounts[kSlots[r.State()]] += static_cast<std::uint64_t>(end - pos);
                pos = end;
                if (r.End() == end) {
                    ++FRange;
                }
                continue;
            }
            const std::int64_t end =
                FRange < ranges.size() ? std::min(ranges[FRange].First(), x) : x;
            const std::uint64_t used = Used(pos, end);
            FCounts[kUsedSlot] += used;
            FCounts[kFreeSlot] += static_cast<std::uint64_t>(end - pos) - used;
            pos = end;
        }
        FPos = x;
    }

    // The set bits in [from, to), from < to: a short span from its words, a
    // long one from two ranks, of which the first is usually the last one
    // taken.
    std::uint64_t Used(std::int64_t from, std::int64_t to) {
        if (to - from <= kDirectClusters) {
            return FModel.CountBits(from, to);
        }
        return RankAt(to) - RankAt(from);
    }

    std::uint64_t RankAt(std::int64_t lcn) {
        if (lcn != FRankPos) {
            FRankPos = lcn;
            FRank = FModel.Rank(lcn);
        }
        return FRank;
    }

    const TMapModel& FModel;
    std::int64_t FPos = 0;
    std::int64_t FRankPos = 0; // the cluster FRank was taken at
    std::uint64_t FRank = 0;
    std::size_t FRange = 0;
    TCounts FCounts{};
};

TMapModel::TMapModel(const TMapInput& input) : FTotalClusters(input.totalClusters) {
    if (FTotalClusters < 0 || FTotalClusters > kMostClusters) {
        throw std::bad_alloc();
    }
    FBits = BuildBitmap(input);
    BuildRanges(input, input.contains != nullptr ? input.contains : ContainsCaselessSimple);
    BuildCounts();
}

TMapModel::TMapModel(std::shared_ptr<const TBits> bits, const TMapInput& paint)
    : FTotalClusters(bits->TotalClusters), FBits(std::move(bits)) {
    BuildRanges(paint, paint.contains != nullptr ? paint.contains : ContainsCaselessSimple);
    BuildCounts();
}

void* TMapModel::AllocateLines(std::size_t bytes) {
    return ::operator new (bytes, std::align_val_t{64});
}

void TMapModel::FreeLines(void* p, std::size_t /*bytes*/) {
    ::operator delete (p, std::align_val_t{64});
}

std::shared_ptr<const TMapModel::TBits> TMapModel::BuildBitmap(const TMapInput& input) {
    auto built = std::make_shared<TBits>();
    TBits& bits = *built;
    const std::int64_t total = input.totalClusters;
    bits.TotalClusters = total;
    const auto words = static_cast<std::size_t>((total + 63) / 64);
    const std::size_t groups = (words + kGroupWords - 1) / kGroupWords;
    const std::size_t segments = (groups + kGroupsPerHigh - 1) / kGroupsPerHigh;
    bits.Words.resize(groups * kGroupWords);
    // Filled in place, the words are their own source, and the copy below
    // leaves them as they are.
    std::span<const std::uint8_t> bitmap = input.bitmap;
    const bool inPlace = static_cast<bool>(input.fillBitmap);
    if (inPlace) {
        auto* const bytes = reinterpret_cast<std::uint8_t*>(bits.Words.data());
        // A source that holds no cluster has no words, and no pointer to
        // give memset.
        if (bytes != nullptr) {
            std::memset(bytes, 0, bits.Words.size() * sizeof(std::uint64_t));
        }
        input.fillBitmap({bytes, static_cast<std::size_t>((total + 7) / 8)});
        bitmap = {bytes, bits.Words.size() * sizeof(std::uint64_t)};
    }
    bits.RankLow.resize(groups + 1);
    bits.RankHigh.assign(groups / kGroupsPerHigh + 1, 0);
    std::vector<std::uint64_t> segmentBits(segments, 0);
    const std::size_t bytes = std::min(bitmap.size(), words * sizeof(std::uint64_t));
    const auto tail = static_cast<unsigned>(total % 64);

    // Copies and counts the 65536-cluster segments [first, last), a segment
    // at a time so that its words are counted while they are still in the
    // cache; the low counts are relative to their segment, so that two
    // halves can be done at once.
    const auto fill = [&](std::size_t first, std::size_t last) {
        auto* const out = reinterpret_cast<std::uint8_t*>(bits.Words.data());
        for (std::size_t seg = first; seg < last; ++seg) {
            const std::size_t g0 = seg * kGroupsPerHigh;
            const std::size_t g1 = std::min(g0 + kGroupsPerHigh, groups);
            const std::size_t from = g0 * kGroupWords * sizeof(std::uint64_t);
            const std::size_t to = g1 * kGroupWords * sizeof(std::uint64_t);
            const std::size_t copied = std::clamp(bytes, from, to);
            if (copied > from && !inPlace) {
                std::memcpy(out + from, bitmap.data() + from, copied - from);
            }
            std::memset(out + copied, 0, to - copied);
            if (tail != 0 && words - 1 >= g0 * kGroupWords && words - 1 < g1 * kGroupWords) {
                bits.Words[words - 1] &= LowBits(tail);
            }
            std::uint64_t running = 0;
            for (std::size_t g = g0; g < g1; ++g) {
                bits.RankLow[g] = static_cast<std::uint16_t>(running);
                const std::uint64_t* w = bits.Words.data() + g * kGroupWords;
                for (std::size_t i = 0; i < kGroupWords; ++i) {
                    running += Pop(w[i]);
                }
            }
            segmentBits[seg] = running;
        }
    };
    // The copy is bound by first touching the pages; two cores take half
    // the time on a large volume.
    RunInHalves(fill, segments, words >= kThreadedWords);

    std::uint64_t running = 0;
    for (std::size_t h = 0; h < bits.RankHigh.size(); ++h) {
        bits.RankHigh[h] = running;
        running += h < segments ? segmentBits[h] : 0;
    }
    bits.RankLow[groups] =
        groups % kGroupsPerHigh == 0 ? 0 : static_cast<std::uint16_t>(segmentBits[segments - 1]);
    return built;
}

std::uint64_t TMapModel::GroupRank(std::size_t g) const {
    return FBits->RankHigh[g / kGroupsPerHigh] + FBits->RankLow[g];
}

std::uint64_t TMapModel::Rank(std::int64_t lcn) const {
    const auto x = static_cast<std::uint64_t>(lcn);
    const auto g = static_cast<std::size_t>(x / kGroupClusters);
    const std::uint64_t rank = GroupRank(g);
    const auto offset = static_cast<unsigned>(x % kGroupClusters);
    if (offset == 0) {
        return rank;
    }
    // A group all clear or all set (free space, a file written in one
    // piece) is answered from the counts, without reading its line.
    const std::uint64_t next = GroupRank(g + 1);
    if (next == rank) {
        return rank;
    }
    if (next - rank == kGroupClusters) {
        return rank + offset;
    }
    // Otherwise from the nearer end of the group.
    const std::uint64_t* w = FBits->Words.data() + g * kGroupWords;
    const unsigned word = offset / 64;
    const unsigned bit = offset % 64;
    if (offset <= kGroupClusters / 2) {
        std::uint64_t n = rank;
        for (unsigned i = 0; i < word; ++i) {
            n += Pop(w[i]);
        }
        return bit != 0 ? n + Pop(w[word] & LowBits(bit)) : n;
    }
    std::uint64_t n = Pop(w[word] >> bit);
    for (unsigned i = word + 1; i < kGroupWords; ++i) {
        n += Pop(w[i]);
    }
    return next - n;
}

std::uint64_t TMapModel::CountBits(std::int64_t from, std::int64_t to) const {
    const auto a = static_cast<std::uint64_t>(from);
    const auto b = static_cast<std::uint64_t>(to);
    const auto wa = static_cast<std::size_t>(a / 64);
    const auto wb = static_cast<std::size_t>(b / 64);
    const auto ba = static_cast<unsigned>(a % 64);
    const auto bb = static_cast<unsigned>(b % 64);
    if (wa == wb) {
        return Pop((FBits->Words[wa] >> ba) & LowBits(bb - ba));
    }
    std::uint64_t n = Pop(FBits->Words[wa] >> ba);
    for (std::size_t w = wa + 1; w < wb; ++w) {
        n += Pop(FBits->Words[w]);
    }
    return bb != 0 ? n + Pop(FBits->Words[wb] & LowBits(bb)) : n;
}

void TMapModel::BuildRanges(const TMapInput& input, TContainsCaseless contains) {
    // The state of every painter, in painting order; the zone is the first.
    std::vector<std::uint8_t> painterStates;
    std::vector<PaintEvent> events =
        CollectPaintEvents(input, contains, FTotalClusters, painterStates);
    std::sort(events.begin(), events.end(),
              [](const PaintEvent& a, const PaintEvent& b) { return a.pos < b.pos; });
    std::vector<std::uint32_t> active(painterStates.size(), 0);
    std::priority_queue<std::uint32_t> latest;
    FRanges.clear();
    const auto emit = [this, &painterStates](std::int64_t from, std::int64_t to,
                                             std::uint32_t painter) {
        constexpr std::int64_t kLongest = TRange::kLongest;
        const std::uint8_t state = painterStates[painter];
        // Most painted clusters are plain files over used bits: no range
        // needs to say so.
        if (state == csUsed && Rank(to) - Rank(from) == static_cast<std::uint64_t>(to - from)) {
            return;
        }
        while (from < to) {
            if (!FRanges.empty() && FRanges.back().State() == state &&
                FRanges.back().End() == from && FRanges.back().Length() < kLongest) {
                const std::int64_t grow = std::min(to - from, kLongest - FRanges.back().Length());
                FRanges.back().Grow(grow);
                from += grow;
                continue;
            }
            const std::int64_t length = std::min(to - from, kLongest);
            FRanges.emplace_back(from, length, state);
            from += length;
        }
    };
    for (std::size_t i = 0; i < events.size();) {
        const std::int64_t pos = events[i].pos;
        for (; i < events.size() && events[i].pos == pos; ++i) {
            if (events[i].start) {
                ++active[events[i].painter];
                latest.push(events[i].painter);
            } else {
                --active[events[i].painter];
            }
        }
        while (!latest.empty() && active[latest.top()] == 0) {
            latest.pop();
        }
        if (!latest.empty() && i < events.size()) {
            emit(pos, events[i].pos, latest.top());
        }
    }
    if (FRanges.size() >= std::numeric_limits<std::uint32_t>::max()) {
        throw std::bad_alloc();
    }
    FRanges.shrink_to_fit();
}

void TMapModel::BuildCounts() {
    const auto blocks =
        static_cast<std::size_t>((FTotalClusters + kBlockClusters - 1) / kBlockClusters);
    FBlockCounts.assign(blocks + 1, TCounts{});
    FBlockRanges.assign(blocks + 1, 0);
    TCursor cursor(*this);
    for (std::size_t b = 0; b <= blocks; ++b) {
        cursor.MoveTo(std::min(static_cast<std::int64_t>(b) * kBlockClusters, FTotalClusters));
        FBlockCounts[b] = cursor.Counts();
        FBlockRanges[b] = static_cast<std::uint32_t>(cursor.Range());
    }
}

std::size_t TMapModel::RangeAfter(std::int64_t lcn) const {
    return static_cast<std::size_t>(
        std::partition_point(FRanges.begin(), FRanges.end(),
                             [lcn](const TRange& r) { return r.End() <= lcn; }) -
        FRanges.begin());
}

std::uint8_t TMapModel::StateAt(std::int64_t lcn) const {
    if (lcn < 0 || lcn >= FTotalClusters) {
        return csBeyondEnd;
    }
    const std::size_t r = RangeAfter(lcn);
    if (r < FRanges.size() && FRanges[r].First() <= lcn) {
        return FRanges[r].State();
    }
    const auto x = static_cast<std::uint64_t>(lcn);
    return ((FBits->Words[x / 64] >> (x % 64)) & 1U) != 0 ? csUsed : csFree;
}

void TMapModel::States(std::int64_t first, std::size_t count, std::uint8_t* out) const {
    // No cells: a caller's empty buffer may give no pointer at all.
    if (count == 0) {
        return;
    }
    const std::int64_t wanted = static_cast<std::int64_t>(
        std::min<std::size_t>(count, std::numeric_limits<std::int64_t>::max()));
    const std::int64_t end = SaturatingStep(first, wanted, 1);
    const std::int64_t begin = std::clamp<std::int64_t>(first, 0, FTotalClusters);
    const std::int64_t onEnd = std::clamp<std::int64_t>(end, begin, FTotalClusters);
    // The cells before cluster 0, then those on the volume up to `onEnd`,
    // then those past its end.
    std::size_t lead = 0;
    if (first < 0) {
        lead = static_cast<std::size_t>(
            std::min<std::uint64_t>(count, static_cast<std::uint64_t>(-(first + 1)) + 1));
    }
    std::memset(out, csBeyondEnd, lead);
    std::uint8_t* cell = out + lead;
    std::int64_t pos = begin;
    std::size_t r = RangeAfter(pos);
    while (pos < onEnd) {
        if (r < FRanges.size() && FRanges[r].First() <= pos) {
            const std::int64_t stop = std::min(FRanges[r].End(), onEnd);
            std::memset(cell, FRanges[r].State(), static_cast<std::size_t>(stop - pos));
            cell += stop - pos;
            pos = stop;
            ++r;
            continue;
        }
        const std::int64_t stop = r < FRanges.size() ? std::min(FRanges[r].First(), onEnd) : onEnd;
        for (auto x = static_cast<std::uint64_t>(pos); x < static_cast<std::uint64_t>(stop); ++x) {
            *cell++ = ((FBits->Words[x / 64] >> (x % 64)) & 1U) != 0 ? csUsed : csFree;
        }
        pos = stop;
    }
    std::memset(cell, csBeyondEnd, count - static_cast<std::size_t>(cell - out));
}

namespace {

// What a pixel with these counts (of its clusters on the volume, in
// kVolumeStates order) shows.
std::uint8_t Shown(const std::array<std::uint64_t, kVolumeStateCount>& counts) {
    if (counts[kMarkedSlot] != 0) {
        return csMarked;
    }
    std::size_t best = kFreeSlot;
    std::uint64_t most = 0;
    for (std::size_t s = 0; s < kVolumeStateCount; ++s) {
        if (counts[s] > most) {
            most = counts[s];
            best = s;
        }
    }
    return kVolumeStates[best];
}

} // namespace

void TMapModel::SummaryRow(std::int64_t first, std::int64_t k, std::size_t pixels,
                           std::uint8_t* out) const {
    if (k < 2) {
        States(first, pixels, out);
        return;
    }
    // A pixel of a few blocks at most is counted on its own, walking on from
    // the last; a wider one as the difference of two counts from the start
    // of the volume, each a block's count and a walk inside one block.
    const bool narrow = k <= 2 * kBlockClusters;
    TCursor cursor(*this);
    std::int64_t from = std::clamp<std::int64_t>(first, 0, FTotalClusters);
    TCounts before{};
    if (narrow) {
        cursor.Place(from);
    } else {
        cursor.MoveTo(from);
        before = cursor.Counts();
    }
    for (std::size_t i = 0; i < pixels; ++i) {
        // Where a pixel starts on the volume, it and those after it that lie
        // in the same range or gap are done at once.
        if (from < FTotalClusters &&
            SaturatingStep(first,
                           static_cast<std::int64_t>(
                               std::min<std::size_t>(i, std::numeric_limits<std::int64_t>::max())),
                           k) == from) {
            const std::size_t run = cursor.Run(k, pixels - i, out + i);
            if (run > 0) {
                i += run;
                from = cursor.Pos();
                if (!narrow) {
                    cursor.Seek(from);
                    before = cursor.Counts();
                }
                if (i == pixels) {
                    return;
                }
            }
        }
        const std::int64_t step = static_cast<std::int64_t>(
            std::min<std::size_t>(i + 1, std::numeric_limits<std::int64_t>::max()));
        const std::int64_t to =
            std::clamp<std::int64_t>(SaturatingStep(first, step, k), 0, FTotalClusters);
        if (to == from) {
            // No cluster of this pixel is on the volume; past the end none
            // of the rest is either.
            if (to == FTotalClusters) {
                std::memset(out + i, csBeyondEnd, pixels - i);
                return;
            }
            out[i] = csBeyondEnd;
            continue;
        }
        if (narrow) {
            std::uint8_t state = 0;
            if (!cursor.GapTo(to, state) && !cursor.CoveredTo(to, state)) {
                TCounts counts{};
                cursor.CountTo(to, counts);
                state = Shown(counts);
            }
            out[i] = state;
        } else {
            cursor.MoveTo(to);
            const TCounts& after = cursor.Counts();
            TCounts counts;
            for (std::size_t s = 0; s < kVolumeStateCount; ++s) {
                counts[s] = after[s] - before[s];
            }
            out[i] = Shown(counts);
            before = after;
        }
        from = to;
    }
}

void TMapModel::CountsBefore(std::span<const std::int64_t> xs, TCounts* out) const {
    TCursor cursor(*this);
    for (std::size_t i = 0; i < xs.size(); ++i) {
        cursor.MoveTo(std::clamp<std::int64_t>(xs[i], 0, FTotalClusters));
        out[i] = cursor.Counts();
    }
}

std::int64_t TMapModel::FindState(std::int64_t first, std::int64_t end, std::uint8_t state,
                                  std::int64_t most) const {
    std::int64_t pos = std::clamp<std::int64_t>(first, 0, FTotalClusters);
    const std::int64_t stop = std::clamp<std::int64_t>(
        std::min(end, SaturatingStep(pos, std::max<std::int64_t>(most, 0), 1)), pos,
        FTotalClusters);
    std::array<std::uint8_t, 4096> states{};
    while (pos < stop) {
        const auto n = static_cast<std::size_t>(std::min<std::int64_t>(stop - pos, states.size()));
        States(pos, n, states.data());
        const auto* hit = std::find(states.data(), states.data() + n, state);
        if (hit != states.data() + n) {
            return pos + (hit - states.data());
        }
        pos += static_cast<std::int64_t>(n);
    }
    return -1;
}

void TMapModel::Paint(const TMapInput& input) {
    BuildRanges(input, input.contains != nullptr ? input.contains : ContainsCaselessSimple);
    BuildCounts();
}

std::size_t TMapModel::MemoryBytes() const {
    return sizeof(*this) + FBits->Words.capacity() * sizeof(std::uint64_t) +
           FBits->RankHigh.capacity() * sizeof(std::uint64_t) +
           FBits->RankLow.capacity() * sizeof(std::uint16_t) + FRanges.capacity() * sizeof(TRange) +
           FBlockCounts.capacity() * sizeof(TCounts) +
           FBlockRanges.capacity() * sizeof(std::uint32_t);
}

} // namespace lorvex::map

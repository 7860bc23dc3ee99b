// What the clusters of deleted files are now: their runs cut by the live
// cluster map, by the volume's end, and by one another.
#include "ntfs/DeletedEntries.h"

#include <algorithm>
#include <set>
#include <tuple>

namespace lorvex::ntfs {

namespace {

constexpr std::size_t kPiecesPerInput = 16;
constexpr std::size_t kMinimumPieceBudget = std::size_t{1} << 20;

// Appends a piece, merged into the one before when it continues it.
void Emit(std::vector<DeletedPiece>& out, std::size_t streamStart, const DeletedPiece& piece) {
    if (piece.length <= 0) {
        return;
    }
    if (out.size() > streamStart) {
        DeletedPiece& last = out.back();
        if (last.state == piece.state && last.overwrittenBy == piece.overwrittenBy &&
            last.state != PieceState::kSparse && ExtentEnd(last.lcn, last.length) == piece.lcn &&
            ExtentEnd(last.vcn, last.length) == piece.vcn) {
            last.length += piece.length;
            return;
        }
    }
    out.push_back(piece);
}

// A piece of [from, to) of `run`, in `state`.
DeletedPiece Part(const DeletedPiece& run, std::int64_t from, std::int64_t to, PieceState state,
                  std::int64_t owner = kNoOwner) {
    return {ExtentEnd(run.vcn, from - run.lcn), from, to - from, owner, state};
}

// Cuts the clusters [from, to) of `run`, all on the volume, by the live map.
void CutByLiveMap(const DeletedPiece& run, std::int64_t from, std::int64_t to, const TFileIDs& live,
                  const TClusterArray& clusters, std::vector<DeletedPiece>& out,
                  std::size_t streamStart, std::size_t budget) {
    auto it = std::partition_point(clusters.begin(), clusters.end(),
                                   [from](const auto& c) { return c.LCN < from; });
    // The extent before may reach into the run.
    if (it != clusters.begin() && ExtentEnd(std::prev(it)->LCN, std::prev(it)->Length) > from) {
        --it;
    }
    std::int64_t pos = from;
    for (; pos < to && it != clusters.end() && it->LCN < to; ++it) {
        const std::int64_t begin = std::max(it->LCN, pos);
        const std::int64_t end = std::min(ExtentEnd(it->LCN, it->Length), to);
        if (end <= pos) {
            continue;
        }
        if (out.size() >= budget) {
            Emit(out, streamStart, Part(run, pos, to, PieceState::kUnchecked));
            return;
        }
        Emit(out, streamStart, Part(run, pos, begin, PieceState::kFree));
        const std::int64_t owner = it->FileIndex < static_cast<std::uint32_t>(live.size())
                                       ? live[it->FileIndex].BaseID
                                       : kNoOwner;
        Emit(out, streamStart, Part(run, begin, end, PieceState::kOverwritten, owner));
        pos = end;
    }
    Emit(out, streamStart, Part(run, pos, to, PieceState::kFree));
}

// Cuts one run by the volume's bounds and the live map.
void CutRun(const DeletedPiece& run, const TFileIDs& live, const TClusterArray& clusters,
            std::int64_t totalClusters, std::vector<DeletedPiece>& out, std::size_t streamStart,
            std::size_t budget) {
    if (run.state == PieceState::kSparse) {
        Emit(out, streamStart, run);
        return;
    }
    const std::int64_t end = ExtentEnd(run.lcn, run.length);
    const std::int64_t onBegin = std::clamp<std::int64_t>(run.lcn, 0, totalClusters);
    const std::int64_t onEnd = std::clamp<std::int64_t>(end, onBegin, totalClusters);
    Emit(out, streamStart, Part(run, run.lcn, std::min(end, onBegin), PieceState::kBeyondEnd));
    if (onBegin < onEnd) {
        CutByLiveMap(run, onBegin, onEnd, live, clusters, out, streamStart, budget);
    }
    Emit(out, streamStart, Part(run, std::max(run.lcn, onEnd), end, PieceState::kBeyondEnd));
}

// A stretch of free clusters and the deleted entry that claims it last.
struct Newest {
    std::int64_t begin = 0;
    std::int64_t end = 0;
    std::size_t entry = 0;
};

} // namespace

std::string_view PieceStateName(PieceState state) {
    switch (state) {
    case PieceState::kFree:
        return "free";
    case PieceState::kOverwritten:
        return "overwritten";
    case PieceState::kClaimed:
        return "claimed";
    case PieceState::kSparse:
        return "sparse";
    case PieceState::kBeyondEnd:
        return "beyond-end";
    case PieceState::kUnchecked:
        return "unchecked";
    }
    return "free";
}

// Splits the free stretches that several entries claim into stretches of one
// newest claimant each, by a sweep over their ends: O(n log n) in the pieces.
static std::vector<Newest> NewestClaimants(const std::vector<DeletedEntry>& entries,
                                           const std::vector<DeletedPiece>& pieces,
                                           const std::vector<std::size_t>& owners) {
    // (position, opening?, key) with the key (deleted time, record, entry).
    using Key = std::tuple<std::int64_t, std::int64_t, std::size_t>;
    std::vector<std::tuple<std::int64_t, bool, Key>> events;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const DeletedPiece& p = pieces[i];
        if (p.state != PieceState::kFree) {
            continue;
        }
        const DeletedEntry& e = entries[owners[i]];
        const Key key{e.deletedTime, e.record, owners[i]};
        events.emplace_back(p.lcn, true, key);
        events.emplace_back(ExtentEnd(p.lcn, p.length), false, key);
    }
    std::sort(events.begin(), events.end(),
              [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
    std::multiset<Key> open;
    std::vector<Newest> out;
    for (std::size_t i = 0; i < events.size();) {
        const std::int64_t at = std::get<0>(events[i]);
        for (; i < events.size() && std::get<0>(events[i]) == at; ++i) {
            const auto& [pos, opening, key] = events[i];
            if (opening) {
                open.insert(key);
            } else {
                open.erase(open.find(key));
            }
        }
        if (!open.empty() && i < events.size()) {
            const std::size_t entry = std::get<2>(*open.rbegin());
            const std::int64_t next = std::get<0>(events[i]);
            if (!out.empty() && out.back().end == at && out.back().entry == entry) {
                out.back().end = next;
            } else {
                out.push_back({at, next, entry});
            }
        }
    }
    return out;
}

// Gives the free pieces that a newer deleted entry claims as well to that
// entry: kClaimed, with its record. Every stream's pieces stay together.
static void SplitClaimed(std::vector<DeletedPiece>& pieces, const std::vector<std::size_t>& owners,
                         const std::vector<DeletedEntry>& entries,
                         std::vector<DeletedStream>& streams, std::size_t budget) {
    const std::vector<Newest> newest = NewestClaimants(entries, pieces, owners);
    std::vector<DeletedPiece> out;
    out.reserve(pieces.size());
    for (DeletedStream& stream : streams) {
        const std::size_t start = out.size();
        for (std::uint32_t k = 0; k < stream.pieceCount; ++k) {
            const std::size_t i = stream.firstPiece + k;
            const DeletedPiece& p = pieces[i];
            if (p.state != PieceState::kFree) {
                Emit(out, start, p);
                continue;
            }
            const std::int64_t end = ExtentEnd(p.lcn, p.length);
            auto it = std::partition_point(newest.begin(), newest.end(),
                                           [&](const Newest& n) { return n.end <= p.lcn; });
            std::int64_t pos = p.lcn;
            for (; pos < end && it != newest.end() && it->begin < end; ++it) {
                if (out.size() >= budget) {
                    Emit(out, start, Part(p, pos, end, PieceState::kUnchecked));
                    pos = end;
                    break;
                }
                const std::int64_t to = std::min(it->end, end);
                const bool own = it->entry == owners[i];
                Emit(out, start,
                     Part(p, pos, to, own ? PieceState::kFree : PieceState::kClaimed,
                          own ? kNoOwner : entries[it->entry].record));
                pos = to;
            }
            Emit(out, start, Part(p, pos, end, PieceState::kFree));
        }
        stream.firstPiece = static_cast<std::uint32_t>(start);
        stream.pieceCount = static_cast<std::uint32_t>(out.size() - start);
    }
    pieces = std::move(out);
}

void CutDeletedRuns(DeletedEntries& deleted, const TFileIDs& live, const TClusterArray& clusters,
                    std::int64_t totalClusters) {
    std::vector<DeletedPiece> cut;
    std::vector<std::size_t> owners;
    // Real deleted files claim a cluster a few times over at most; runs
    // that claim the same live stretches thousands of times over would cut
    // into pieces without end. Past this many the rest of a run is left
    // kUnchecked.
    const std::size_t budget =
        kPiecesPerInput * (clusters.size() + deleted.pieces_.size()) + kMinimumPieceBudget;
    for (std::size_t e = 0; e < deleted.entries_.size(); ++e) {
        const DeletedEntry& entry = deleted.entries_[e];
        for (std::uint32_t s = 0; s < entry.streamCount; ++s) {
            DeletedStream& stream = deleted.streams_[entry.firstStream + s];
            const std::size_t start = cut.size();
            for (const DeletedPiece& run : deleted.Pieces(stream)) {
                CutRun(run, live, clusters, totalClusters, cut, start, budget);
            }
            stream.firstPiece = static_cast<std::uint32_t>(start);
            stream.pieceCount = static_cast<std::uint32_t>(cut.size() - start);
            owners.resize(cut.size(), e);
        }
    }
    SplitClaimed(cut, owners, deleted.entries_, deleted.streams_, budget);
    deleted.pieces_ = std::move(cut);
    deleted.claims_.clear();
    for (std::size_t e = 0; e < deleted.entries_.size(); ++e) {
        DeletedEntry& entry = deleted.entries_[e];
        entry.recoverableClusters = 0;
        entry.overwrittenClusters = 0;
        for (const DeletedStream& stream : deleted.Streams(entry)) {
            for (const DeletedPiece& p : deleted.Pieces(stream)) {
                if (p.state == PieceState::kFree) {
                    entry.recoverableClusters += p.length;
                } else if (p.state == PieceState::kOverwritten || p.state == PieceState::kClaimed) {
                    entry.overwrittenClusters += p.length;
                }
                if (p.state != PieceState::kSparse && p.state != PieceState::kBeyondEnd) {
                    deleted.claims_.push_back({p.lcn, ExtentEnd(p.lcn, p.length), e});
                }
            }
        }
    }
    std::sort(deleted.claims_.begin(), deleted.claims_.end(),
              [](const auto& a, const auto& b) { return a.lcn < b.lcn; });
    deleted.claimEndSoFar_.clear();
    std::int64_t furthest = 0;
    for (const auto& claim : deleted.claims_) {
        furthest = std::max(furthest, claim.end);
        deleted.claimEndSoFar_.push_back(furthest);
    }
}

std::vector<std::size_t> DeletedEntries::EntriesClaiming(std::int64_t lcn) const {
    std::vector<std::size_t> found;
    auto i = static_cast<std::size_t>(
        std::partition_point(claims_.begin(), claims_.end(),
                             [lcn](const Claim& c) { return c.lcn <= lcn; }) -
        claims_.begin());
    // Every claim that starts at or before the cluster and reaches past it;
    // the largest end so far says when none further back can.
    while (i > 0 && claimEndSoFar_[i - 1] > lcn) {
        --i;
        if (claims_[i].end > lcn) {
            found.push_back(claims_[i].entry);
        }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

} // namespace lorvex::ntfs

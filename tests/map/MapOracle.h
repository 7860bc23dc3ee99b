#pragma once

// What the map model is checked against: the window's one-byte-per-cluster
// cells, painted by PaintCells, and the summary rule counted cluster by
// cluster.
#include "map/MapModel.h"
#include "ntfs/FileTable.h"
#include "support/CellReference.h"

#include <QStringView>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace lorvex::test {

using lorvex::map::TMapInput;
using lorvex::map::TMapModel;
using lorvex::ntfs::TClusterArray;
using lorvex::ntfs::TFileIDs;
using lorvex::ntfs::TFileInfo;
namespace map = lorvex::map;

namespace reference = lorvex::reference;
namespace ntfs = lorvex::ntfs;

// The window's comparison, so that the model marks exactly what the cells do.
inline bool QtContains(std::u16string_view text, std::u16string_view part) {
    return QStringView(text).contains(QStringView(part), Qt::CaseInsensitive);
}

// A table and a map in FileIndex order, a bitmap and a zone.
struct Scene {
    std::int64_t total = 0;
    std::vector<std::uint8_t> bitmap;
    std::int64_t zoneStart = 0;
    std::int64_t zoneEnd = 0;
    TFileIDs table;
    TClusterArray clusters;

    void Add(std::u16string name, std::uint8_t type, bool fragmented,
             std::vector<std::pair<std::int64_t, std::int64_t>> extents) {
        if (table.size() == 0) {
            table.Add(u"\\Dir", ntfs::kTypeDirectory, TFileInfo{}, false, 99, 99);
            table[0].PathParent = ntfs::kPathFromRoot;
        }
        const auto index = static_cast<std::uint32_t>(table.size());
        table.Add(name, type, TFileInfo{}, fragmented, index + 100, index + 100);
        table[index].PathParent = 0;
        for (const auto& [lcn, length] : extents) {
            clusters.push_back({lcn, length, index, 0x80});
        }
    }

    // What the window's cells hold.
    [[nodiscard]] std::vector<std::uint8_t> Cells(const std::u16string& mark) const {
        reference::TCellArray cells(total);
        const std::size_t bytes =
            std::min(bitmap.size(), static_cast<std::size_t>((total + 7) / 8));
        reference::ExpandVolumeBitmap(bitmap.data(), cells.Data(),
                                      static_cast<std::int64_t>(bytes));
        reference::TPaintInput in;
        in.mftZoneStart = zoneStart;
        in.mftZoneEnd = zoneEnd;
        in.fileIds = &table;
        in.clusters = &clusters;
        in.markText = mark;
        reference::PaintCells(cells, in);
        return {cells.Data(), cells.Data() + total};
    }

    [[nodiscard]] TMapModel Model(const std::u16string& mark) const {
        return TMapModel(Input(mark));
    }

    [[nodiscard]] TMapInput Input(const std::u16string& mark) const {
        TMapInput in;
        in.totalClusters = total;
        in.bitmap = bitmap;
        in.mftZoneStart = zoneStart;
        in.mftZoneEnd = zoneEnd;
        in.fileIds = &table;
        in.clusters = &clusters;
        in.markText = mark;
        in.contains = QtContains;
        return in;
    }
};

inline std::vector<std::uint8_t> AllStates(const TMapModel& model) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(model.TotalClusters()));
    model.States(0, out.size(), out.data());
    return out;
}

// The documented rule, counted cluster by cluster from the cells.
inline std::vector<std::uint8_t> ReferenceRow(const std::vector<std::uint8_t>& cells,
                                              std::int64_t first, std::int64_t k,
                                              std::size_t pixels) {
    const auto total = static_cast<std::int64_t>(cells.size());
    std::vector<std::uint8_t> row;
    for (std::size_t i = 0; i < pixels; ++i) {
        std::array<std::int64_t, 256> n{};
        std::int64_t onVolume = 0;
        for (std::int64_t c = first + static_cast<std::int64_t>(i) * k;
             c < first + static_cast<std::int64_t>(i + 1) * k; ++c) {
            if (c >= 0 && c < total) {
                ++n[cells[static_cast<std::size_t>(c)]];
                ++onVolume;
            }
        }
        std::uint8_t shown = map::csBeyondEnd;
        if (n[map::csMarked] > 0) {
            shown = map::csMarked;
        } else if (onVolume > 0) {
            std::int64_t most = 0;
            for (const std::uint8_t s : map::kVolumeStates) {
                if (n[s] > most) {
                    most = n[s];
                    shown = s;
                }
            }
        }
        row.push_back(shown);
    }
    return row;
}

// A random volume of at most `maxTotal` clusters with everything a damaged
// scan can hand over: extents before 0, past the end and overlapping, a
// short, long or missing bitmap and a zone that may be reversed.
inline Scene RandomScene(std::mt19937_64& rng, std::int64_t maxTotal) {
    const auto pick = [&rng](std::int64_t lo, std::int64_t hi) {
        return std::uniform_int_distribution<std::int64_t>(lo, hi)(rng);
    };
    Scene s;
    s.total = pick(1, maxTotal);
    const std::int64_t bytes = (s.total + 7) / 8;
    switch (pick(0, 3)) {
    case 0:
        break; // no bitmap
    case 1:
        s.bitmap.resize(static_cast<std::size_t>(pick(0, bytes)));
        break;
    default:
        s.bitmap.resize(static_cast<std::size_t>(bytes + pick(0, 3)));
        break;
    }
    for (auto& b : s.bitmap) {
        b = static_cast<std::uint8_t>(pick(0, 1) == 0 ? 0xFF : pick(0, 255));
    }
    s.zoneStart = pick(-10, s.total);
    s.zoneEnd = pick(-10, s.total + 10);
    static const std::u16string names[] = {u"\\a.txt", u"\\PageFile.SYS", u"\\b\\Ä.bin",
                                           u"\\mark-me", u"\\x"};
    static const std::uint8_t types[] = {ntfs::kTypeFile,
                                         ntfs::kTypeFile,
                                         ntfs::kTypeFile,
                                         ntfs::kTypeDirectory,
                                         ntfs::kTypeSystem,
                                         ntfs::kTypeSystemDirectory,
                                         0};
    const std::int64_t entries = pick(0, 40);
    for (std::int64_t e = 0; e < entries; ++e) {
        std::vector<std::pair<std::int64_t, std::int64_t>> extents;
        for (std::int64_t x = pick(0, 4); x > 0; --x) {
            const std::int64_t lcn = pick(-20, s.total + 5);
            const std::int64_t length = pick(0, 9) == 0
                                            ? pick(-5, s.total * 2)
                                            : pick(1, std::max<std::int64_t>(1, s.total / 8));
            extents.emplace_back(lcn, length);
        }
        s.Add(names[pick(0, 4)], types[pick(0, 6)], pick(0, 1) == 1, extents);
    }
    return s;
}

} // namespace lorvex::test

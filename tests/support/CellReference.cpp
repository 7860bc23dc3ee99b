#include "support/CellReference.h"

#include "volume/VolumeMap.h"

#include "map/MapModel.h"
#include "ntfs/FileTable.h"

#include <QStringView>

#include <algorithm>
#include <cstring>
#include <new>

namespace lorvex::reference {

namespace {

// The 8 cells of every bitmap byte, so that expanding a volume of millions
// of clusters is one copy per byte rather than eight tests.
using TByteCells = std::array<std::array<std::uint8_t, 8>, 256>;

TByteCells BuildByteCells() {
    TByteCells table{};
    for (std::size_t byte = 0; byte < table.size(); ++byte) {
        for (std::size_t bit = 0; bit < 8; ++bit) {
            table[byte][bit] = ((byte >> bit) & 1U) != 0 ? csUsed : csFree;
        }
    }
    return table;
}

// The window's comparison, so that the cells mark exactly what it does.
bool ContainsCaseless(std::u16string_view text, std::u16string_view part) {
    return QStringView(text).contains(QStringView(part), Qt::CaseInsensitive);
}

} // namespace

TCellArray::TCellArray(std::int64_t totalClusters) : FTotalClusters(totalClusters) {
    if (totalClusters < 0 ||
        static_cast<std::uint64_t>(totalClusters) > FBytes.max_size() - std::size_t{8}) {
        throw std::bad_alloc();
    }
    FBytes.assign(static_cast<std::size_t>(totalClusters) + 8, csFree);
}

void TCellArray::Fill(std::int64_t first, std::int64_t count, std::uint8_t state) {
    const auto [begin, end] = ntfs::ClipToVolume(first, count, FTotalClusters);
    if (begin >= end) {
        return;
    }
    std::memset(FBytes.data() + begin, state, static_cast<std::size_t>(end - begin));
}

void ExpandVolumeBitmap(const std::uint8_t* bits, std::uint8_t* cells, std::int64_t byteCount) {
    static const TByteCells table = BuildByteCells();
    for (std::int64_t i = 0; i < byteCount; ++i) {
        std::memcpy(cells + i * 8, table[bits[i]].data(), 8);
    }
}

std::uint8_t EntryCellState(const ntfs::TFileIDs& table, std::size_t index,
                            const std::u16string& markText, std::u16string& path) {
    return map::EntryPaintState(table, index, markText, ContainsCaseless, path);
}

void PaintCells(TCellArray& cells, const TPaintInput& input) {
    std::int64_t zoneLength = 0;
    if (!__builtin_sub_overflow(input.mftZoneEnd, input.mftZoneStart, &zoneLength)) {
        cells.Fill(input.mftZoneStart, zoneLength, csMFTZone);
    }
    if (input.fileIds == nullptr || input.clusters == nullptr) {
        return;
    }
    const ntfs::TFileIDs& table = *input.fileIds;
    const std::size_t count = table.items().size();
    constexpr std::size_t kYieldEvery = 4096;
    // One walk along the map, which is in FileIndex order, hands each entry
    // the extents GetFileExtents would give it, in table order; the kind of
    // an entry is only worked out when it has extents to paint, which on a
    // volume of a million mostly resident files is one entry in fifty.
    const ntfs::TClusterArray& map = *input.clusters;
    std::size_t cursor = 0;
    std::u16string path; // one buffer for every marked entry's path
    for (std::size_t k = 0; k < count; ++k) {
        if (input.yield && k % kYieldEvery == kYieldEvery - 1) {
            input.yield();
        }
        const auto index = static_cast<std::uint32_t>(k);
        while (cursor < map.size() && map[cursor].FileIndex < index) {
            ++cursor;
        }
        if (cursor == map.size() || map[cursor].FileIndex != index) {
            continue;
        }
        const std::uint8_t state = EntryCellState(table, k, input.markText, path);
        for (; cursor < map.size() && map[cursor].FileIndex == index; ++cursor) {
            if (state != 0) {
                cells.Fill(map[cursor].LCN, map[cursor].Length, state);
            }
        }
    }
}

TMapGeometry ComputeMapGeometry(std::int32_t viewRight, std::int32_t viewBottom,
                                std::int64_t totalClusters) {
    TMapGeometry g;
    g.cellsPerRow = std::max(0, viewRight + 1);
    if (g.cellsPerRow == 0) {
        return g;
    }
    const std::int64_t rows =
        std::max<std::int64_t>(0, (totalClusters + g.cellsPerRow - 1) / g.cellsPerRow);
    g.rowCount = static_cast<std::int32_t>(std::min<std::int64_t>(rows, INT32_MAX));
    g.scrollMax = std::max(0, g.rowCount - viewBottom - 1);
    g.pageStep = std::max(0, viewBottom);
    return g;
}

void FillMapRow(const TCellArray& cells, std::int64_t firstCell, std::int32_t cellsPerRow,
                std::uint8_t* row) {
    const std::int64_t total = cells.TotalClusters();
    const std::int64_t width = std::max(cellsPerRow, 0);
    const std::int64_t shown = std::clamp<std::int64_t>(total - firstCell, 0, width);
    if (shown > 0) {
        std::memcpy(row, cells.Data() + firstCell, static_cast<std::size_t>(shown));
    }
    std::memset(row + shown, csBeyondEnd, static_cast<std::size_t>(width - shown));
}

std::vector<std::uint32_t> RenderOverviewPixels(const TCellArray& cells, std::int32_t width,
                                                std::int32_t height, std::uint32_t blank) {
    if (width <= 0 || height <= 0) {
        return {};
    }
    const Palette& palette = CellPalette();
    const auto pixels = static_cast<std::int64_t>(width) * height;
    std::vector<std::uint32_t> out(static_cast<std::size_t>(pixels), blank);
    const std::int64_t total = cells.TotalClusters();
    const std::uint8_t* data = cells.Data();
    // State 0 (never written) is drawn as csFree, which is just as black.
    const auto colour = [&palette](std::uint8_t state) {
        return palette[state == 0 ? std::uint8_t{csFree} : state];
    };
    const std::int64_t per = total / pixels;
    if (per == 0) {
        for (std::int64_t k = 0; k < total; ++k) {
            out[static_cast<std::size_t>(k)] = colour(data[k]);
        }
        return out;
    }
    std::array<std::uint8_t, 256> red{}, green{}, blue{};
    for (std::size_t s = 0; s < 256; ++s) {
        const std::uint32_t c = colour(static_cast<std::uint8_t>(s));
        red[s] = static_cast<std::uint8_t>(c >> 16);
        green[s] = static_cast<std::uint8_t>(c >> 8);
        blue[s] = static_cast<std::uint8_t>(c);
    }
    const auto divisor = static_cast<std::uint64_t>(per);
    const std::uint8_t* cursor = data;
    for (std::int64_t p = 0; p < pixels; ++p) {
        std::uint64_t r = 0, g = 0, b = 0;
        for (const std::uint8_t* end = cursor + per; cursor != end; ++cursor) {
            r += red[*cursor];
            g += green[*cursor];
            b += blue[*cursor];
        }
        out[static_cast<std::size_t>(p)] = 0xFF000000U |
                                           static_cast<std::uint32_t>((r / divisor) << 16) |
                                           static_cast<std::uint32_t>((g / divisor) << 8) |
                                           static_cast<std::uint32_t>(b / divisor);
    }
    return out;
}

std::int64_t CellToLCN(std::int32_t x, std::int32_t y, std::int32_t scrollPos,
                       std::int32_t cellsPerRow, std::int64_t totalClusters) {
    const std::int64_t lcn =
        x + (static_cast<std::int64_t>(y) + scrollPos) * static_cast<std::int64_t>(cellsPerRow);
    return lcn >= totalClusters ? totalClusters - 1 : lcn;
}

bool ReadBitmapCells(platform::VolumeApi& api, std::string_view driveRoot, TCellArray& cells) {
    std::vector<std::uint8_t> bits(static_cast<std::size_t>((cells.TotalClusters() + 7) / 8));
    if (!volume::ReadVolumeBitmap(api, driveRoot, bits)) {
        return false;
    }
    ExpandVolumeBitmap(bits.data(), cells.Data(), static_cast<std::int64_t>(bits.size()));
    return true;
}

} // namespace lorvex::reference

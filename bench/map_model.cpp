// What the map model costs: bytes per cluster, the time to build it and to
// mark it anew, and the time to compute one screen of 1600 x 1000 pixels at
// several zooms, on a synthetic freshly formatted 16 TiB volume and, when
// given, on a real image after a scan:
//   bench_map_model [IMAGE]
#include "map/MapModel.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "ondisk/ByteReader.h"
#include "platform/RawVolumeSystem.h"
#include "volume/VolumeApi.h"
#include "volume/VolumeUtils.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using lorvex::map::TMapInput;
using lorvex::map::TMapModel;
namespace ntfs = lorvex::ntfs;
namespace platform = lorvex::platform;

constexpr std::size_t kScreenWidth = 1600;
constexpr std::size_t kScreenHeight = 1000;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// One screen, row by row as a window draws it, from `first` on.
double ScreenMs(const TMapModel& model, std::int64_t first, std::int64_t k) {
    std::vector<std::uint8_t> row(kScreenWidth);
    unsigned sink = 0;
    const Clock::time_point start = Clock::now();
    for (std::size_t y = 0; y < kScreenHeight; ++y) {
        const std::int64_t rowFirst = first + static_cast<std::int64_t>(y * kScreenWidth) * k;
        model.SummaryRow(rowFirst, k, kScreenWidth, row.data());
        sink += row[y % kScreenWidth];
    }
    const double ms = Ms(Clock::now() - start);
    if (sink == 0xFFFFFFFFU) {
        std::puts("");
    }
    return ms;
}

// The median and the worst of one screen at zoom k, from eight places
// spread over the volume (off every block and word boundary), each twice.
void ScreenLine(const TMapModel& model, std::int64_t k, std::vector<double>& all) {
    std::vector<double> times;
    const std::int64_t total = model.TotalClusters();
    for (std::int64_t at = 0; at < 8; ++at) {
        const std::int64_t first = at == 0 ? 0 : total / 8 * at + 12345;
        for (int run = 0; run < 2; ++run) {
            times.push_back(ScreenMs(model, first, k));
        }
    }
    all.insert(all.end(), times.begin(), times.end());
    std::sort(times.begin(), times.end());
    std::printf("  screen k=%-7lld median %6.2f ms, worst %6.2f ms\n", static_cast<long long>(k),
                times[times.size() / 2], times.back());
}

void Report(const char* name, const TMapInput& input, const ntfs::TFileIDs& /*table*/,
            const std::u16string& mark) {
    const Clock::time_point start = Clock::now();
    TMapModel model(input);
    const double buildMs = Ms(Clock::now() - start);
    const double total = static_cast<double>(input.totalClusters);
    std::printf("%s: %lld clusters, %zu ranges\n", name,
                static_cast<long long>(input.totalClusters), model.RangeCount());
    std::printf("  model            %.1f MiB, %.4f bytes per cluster (cells: 1.0000)\n",
                static_cast<double>(model.MemoryBytes()) / 1048576.0,
                static_cast<double>(model.MemoryBytes()) / total);
    std::printf("  build            %.1f ms\n", buildMs);
    const Clock::time_point marking = Clock::now();
    TMapInput marked = input;
    marked.markText = mark;
    model.Paint(marked);
    std::printf("  re-mark          %.1f ms\n", Ms(Clock::now() - marking));
    const std::int64_t pixels = static_cast<std::int64_t>(kScreenWidth * kScreenHeight);
    const std::int64_t fit = std::max<std::int64_t>(2, (input.totalClusters + pixels - 1) / pixels);
    std::vector<std::int64_t> zooms = {1,    2,    3,     4,     7,       16,   64,
                                       100,  511,  512,   1000,  1025,    4096, 5000,
                                       8192, 8193, 10000, 65536, 1000000, fit,  fit + 1};
    std::sort(zooms.begin(), zooms.end());
    zooms.erase(std::unique(zooms.begin(), zooms.end()), zooms.end());
    std::vector<double> all;
    for (const std::int64_t k : zooms) {
        ScreenLine(model, k, all);
    }
    std::sort(all.begin(), all.end());
    std::printf("  every screen     median %6.2f ms, worst %6.2f ms (fit: k=%lld)\n",
                all[all.size() / 2], all.back(), static_cast<long long>(fit));
}

// A freshly formatted volume of 4,294,967,279 clusters: the boot area, the
// file table and its mirror, the log, the bitmap and the zone. `worn` adds
// what years of use leave: free space scattered cluster by cluster past the
// zone, so that no group of the bitmap is all clear or all set, and 400,000
// small files all over the volume.
void Synthetic(bool worn) {
    constexpr std::int64_t kTotal = 4'294'967'279;
    std::vector<std::uint8_t> bitmap(static_cast<std::size_t>((kTotal + 7) / 8), 0);
    const auto setUsed = [&bitmap](std::int64_t first, std::int64_t count) {
        for (std::int64_t c = first; c < first + count; ++c) {
            bitmap[static_cast<std::size_t>(c / 8)] |= static_cast<std::uint8_t>(1U << (c % 8));
        }
    };
    ntfs::TFileIDs table;
    ntfs::TClusterArray clusters;
    table.Add(u"\\", ntfs::kTypeDirectory, ntfs::TFileInfo{}, false, 5, 5);
    table[0].PathParent = ntfs::kPathFromRoot;
    const auto add = [&](const char16_t* name, std::uint8_t type, std::int64_t lcn,
                         std::int64_t length) {
        const auto index = static_cast<std::uint32_t>(table.size());
        table.Add(name, type, ntfs::TFileInfo{}, false, index, index);
        table[index].PathParent = 0;
        clusters.push_back({lcn, length, index, 0x80});
        setUsed(lcn, length);
    };
    add(u"\\$MFT", ntfs::kTypeSystem, 786'432, 64);
    add(u"\\$MFTMirr", ntfs::kTypeSystem, 2, 1);
    add(u"\\$LogFile", ntfs::kTypeSystem, 2'147'483'639, 16'384);
    add(u"\\$Bitmap", ntfs::kTypeSystem, 3, 131'072);
    add(u"\\$Boot", ntfs::kTypeSystem, 0, 2);
    add(u"\\$UpCase", ntfs::kTypeSystem, 131'075, 32);
    add(u"\\$Secure", ntfs::kTypeSystem, 131'107, 64);
    if (worn) {
        std::uint64_t seed = 0x9E3779B97F4A7C15ULL;
        const auto next = [&seed] {
            seed ^= seed << 13;
            seed ^= seed >> 7;
            seed ^= seed << 17;
            return seed;
        };
        for (std::size_t b = static_cast<std::size_t>((786'432 + kTotal / 8) / 8) + 1;
             b < bitmap.size(); ++b) {
            bitmap[b] = static_cast<std::uint8_t>(next());
        }
        for (int f = 0; f < 400'000; ++f) {
            const auto lcn = static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(kTotal));
            const auto length = static_cast<std::int64_t>(next() % 256 + 1);
            add(u"\\file", ntfs::kTypeFile, lcn, std::min(length, kTotal - lcn));
        }
    }
    TMapInput input;
    input.totalClusters = kTotal;
    input.bitmap = bitmap;
    input.mftZoneStart = 786'432;
    input.mftZoneEnd = 786'432 + kTotal / 8;
    input.fileIds = &table;
    input.clusters = &clusters;
    Report(worn ? "synthetic 16 TiB, worn" : "synthetic 16 TiB", input, table, u"Bitmap");
}

// The volume's allocation bitmap as the volume query gives it; empty when it
// cannot be had.
std::vector<std::uint8_t> ReadBitmap(platform::VolumeApi& api, std::int64_t total) {
    namespace vb = platform::volumebitmap;
    const std::string device = lorvex::volume::GetVolumeDevicePath(api, "C:\\");
    const platform::Handle handle = api.CreateFile(device);
    if (handle == platform::kInvalidHandle) {
        return {};
    }
    std::vector<std::byte> buffer(static_cast<std::size_t>((total + 7) / 8) + vb::kBuffer);
    std::array<std::byte, vb::kInputSize> query{};
    std::uint32_t returned = 0;
    const bool ok =
        api.DeviceIoControl(handle, platform::kFsctlGetVolumeBitmap, query, buffer, &returned);
    api.CloseHandle(handle);
    if (!ok || returned < vb::kBuffer) {
        return {};
    }
    const lorvex::ondisk::ByteReader reader(buffer);
    if (reader.i64(vb::kStartingLcn).value_or(-1) != 0) {
        return {};
    }
    std::vector<std::uint8_t> bits(returned - vb::kBuffer);
    std::transform(buffer.begin() + vb::kBuffer, buffer.begin() + returned, bits.begin(),
                   [](std::byte b) { return static_cast<std::uint8_t>(b); });
    return bits;
}

int Image(const char* path) {
    platform::RawVolumeSystem system({path});
    ntfs::NtfsVolume volume(system, "C");
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    ntfs::TClusterArray painted;
    ntfs::ScanObserver observer;
    observer.paint = [&] { painted = clusters; };
    ntfs::RunScanStages(volume, fileIds, clusters, observer);
    if (fileIds.size() == 0 || volume.geometry().totalClusters <= 0) {
        std::fprintf(stderr, "bench_map_model: no file records in %s\n", path);
        return 1;
    }
    clusters = {};
    const std::vector<std::uint8_t> bitmap = ReadBitmap(system, volume.geometry().totalClusters);
    TMapInput input;
    input.totalClusters = volume.geometry().totalClusters;
    input.bitmap = bitmap;
    input.mftZoneStart = volume.geometry().mftZoneStart;
    input.mftZoneEnd = volume.geometry().mftZoneEnd;
    input.fileIds = &fileIds;
    input.clusters = &painted;
    std::printf("(%d entries, %zu extents, bitmap %zu bytes)\n", fileIds.size(), painted.size(),
                bitmap.size());
    Report(path, input, fileIds, u"1");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Synthetic(false);
    Synthetic(true);
    return argc > 1 ? Image(argv[1]) : 0;
}

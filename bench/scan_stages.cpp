// How long the three file-table stages of a scan take on a volume, and what
// the table costs in memory per entry:
//   bench_scan_stages IMAGE [REPEAT]
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "platform/RawVolumeSystem.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_scan_stages IMAGE [REPEAT]\n");
        return 2;
    }
    const int repeat = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    lorvex::platform::RawVolumeSystem system({argv[1]});
    std::vector<double> enumerate, paths, sizes;
    long long entries = 0;
    std::size_t tableBytes = 0;
    for (int r = 0; r < repeat; ++r) {
        lorvex::ntfs::NtfsVolume volume(system, "C");
        if (volume.geometry().totalClusters == 0) {
            std::fprintf(stderr, "bench_scan_stages: no NTFS volume in %s\n", argv[1]);
            return 1;
        }
        lorvex::ntfs::TFileIDs table;
        auto start = Clock::now();
        volume.EnumerateFiles(table, {});
        enumerate.push_back(Milliseconds(start));
        start = Clock::now();
        table.BuildPaths();
        paths.push_back(Milliseconds(start));
        start = Clock::now();
        volume.CalculateDiskSizes(table);
        sizes.push_back(Milliseconds(start));

        entries = table.size();
        tableBytes = table.capacity() * sizeof(lorvex::ntfs::TFileID);
        tableBytes += table.NamePoolBytes();
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double perEntry = static_cast<double>(tableBytes) / static_cast<double>(entries);
    std::printf("%s: %lld entries, median of %d runs:\n", argv[1], entries, repeat);
    std::printf("  enumerating files           %10.1f ms\n", Median(enumerate));
    std::printf("  parsing directories         %10.1f ms\n", Median(paths));
    std::printf("  calculating real file size  %10.1f ms\n", Median(sizes));
    std::printf("  table %.0f bytes per entry (paths are built when asked for), "
                "peak RSS %ld MiB\n",
                perEntry, usage.ru_maxrss / 1024);
    return 0;
}

// How long fetching every record of a volume takes, the way the file-table
// enumeration walks it: from the last record in use down to record 0, one
// query per record in use and one per run of free records.
#include "ntfs/NtfsVolume.h"
#include "platform/RawVolumeSystem.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_fetch_records IMAGE [REPEAT]\n");
        return 2;
    }
    const int repeat = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    lorvex::platform::RawVolumeSystem system({argv[1]});
    std::vector<double> times;
    long long records = 0;
    long long queries = 0;
    for (int r = 0; r < repeat; ++r) {
        const auto start = std::chrono::steady_clock::now();
        lorvex::ntfs::NtfsVolume volume(system, "C");
        const std::int64_t last = volume.GetLastRecordNumber();
        lorvex::ntfs::RecordReader reader = volume.OpenRecordReader();
        if (last <= 0 || !reader.IsOpen()) {
            std::fprintf(stderr, "bench_fetch_records: no NTFS volume in %s\n", argv[1]);
            return 1;
        }
        records = 0;
        queries = 0;
        for (std::int64_t cur = last + 1; cur > 0;) {
            --cur;
            const auto record = reader.ReadInUseAtOrBelow(cur);
            const std::int64_t got = record ? record->number() : -1;
            ++queries;
            if (got != cur) {
                cur = got + 1;
                continue;
            }
            ++records;
        }
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    std::printf("%s: %lld records in use, %lld queries, median %.2f ms of %d runs "
                "(%.0f ns per record)\n",
                argv[1], records, queries, median, repeat,
                median * 1e6 / static_cast<double>(records));
    return 0;
}

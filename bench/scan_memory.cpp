// What a whole scan keeps in memory per file-table entry: the heap in use
// after every stage has run (the file table, the cluster map and the rest)
// divided by the entries. Paths are not kept; the time to build every
// entry's path once, into one buffer, is what Fast Find and Mark pay.
//   bench_scan_memory IMAGE
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::size_t HeapInUse() {
    return mallinfo2().uordblks + mallinfo2().hblkhd;
}

// Resident memory of this process, by kind, from the kernel's own account.
void PrintResident() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM") || line.starts_with("RssAnon") ||
            line.starts_with("RssFile")) {
            std::printf("  %s\n", line.c_str());
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_scan_memory IMAGE\n");
        return 2;
    }
    lorvex::platform::RawVolumeSystem system({argv[1]});
    lorvex::ntfs::NtfsVolume volume(system, "C");
    const std::size_t before = HeapInUse();
    lorvex::ntfs::TFileIDs fileIds;
    lorvex::ntfs::TClusterArray clusters;
    lorvex::ntfs::RunScanStages(volume, fileIds, clusters, {});
    const std::size_t after = HeapInUse();
    if (fileIds.size() == 0) {
        std::fprintf(stderr, "bench_scan_memory: no file records in %s\n", argv[1]);
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    std::u16string path;
    std::size_t pathUnits = 0;
    for (int i = 0; i < fileIds.size(); ++i) {
        fileIds.GetPath(i, path);
        pathUnits += path.size();
    }
    const double pathMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const double entries = fileIds.size();
    std::printf("%s: %d entries, %zu extents\n", argv[1], fileIds.size(), clusters.size());
    std::printf("  heap after the scan  %.1f MiB\n",
                static_cast<double>(after - before) / 1048576.0);
    std::printf("  per entry            %.0f bytes\n",
                static_cast<double>(after - before) / entries);
    std::printf("  every path once      %.1f ms (%.1f MiB of UTF-16 not kept)\n", pathMs,
                static_cast<double>(pathUnits * sizeof(char16_t)) / 1048576.0);
    PrintResident();
    return 0;
}

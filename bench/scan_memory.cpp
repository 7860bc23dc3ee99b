// What a whole scan keeps in memory per file-table entry: the heap in use
// after every stage has run (the file table, the cluster map and the rest),
// less the paths themselves, divided by the entries.
//   bench_scan_memory IMAGE
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NTFSVolume.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"

#include <malloc.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::size_t HeapInUse() {
    return mallinfo2().uordblks + mallinfo2().hblkhd;
}

std::size_t HeapBytes(const std::u16string& s) {
    constexpr std::size_t kInline = 15 / sizeof(char16_t);
    return s.capacity() > kInline ? (s.capacity() + 1) * sizeof(char16_t) : 0;
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
    lorvex::ntfs::TNTFSVolume volume(system, "C");
    const std::size_t before = HeapInUse();
    lorvex::ntfs::TFileIDs fileIds;
    lorvex::ntfs::TClusterArray clusters;
    lorvex::ntfs::RunScanStages(volume, fileIds, clusters, {});
    const std::size_t after = HeapInUse();
    if (fileIds.FCount == 0) {
        std::fprintf(stderr, "bench_scan_memory: no file records in %s\n", argv[1]);
        return 1;
    }
    std::size_t pathBytes = 0;
    for (int i = 0; i < fileIds.FCount; ++i) {
        pathBytes += HeapBytes(fileIds.FItems[static_cast<std::size_t>(i)].Path);
    }
    const double entries = fileIds.FCount;
    std::printf("%s: %d entries, %zu extents\n", argv[1], fileIds.FCount, clusters.size());
    std::printf("  heap after the scan  %.1f MiB, of which paths %.1f MiB\n",
                static_cast<double>(after - before) / 1048576.0,
                static_cast<double>(pathBytes) / 1048576.0);
    std::printf("  per entry            %.0f bytes beyond the paths (%.0f with them)\n",
                static_cast<double>(after - before - pathBytes) / entries,
                static_cast<double>(after - before) / entries);
    PrintResident();
    return 0;
}

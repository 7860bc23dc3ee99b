// One or two file records as the file-record query hands them over, through
// every reader of a record and then through the whole scan of a volume that
// holds nothing else.
//
// Input: a flags byte (bit 0: 4 KiB records instead of 1 KiB; bits 1-2: the
// cluster size, one of kClusterSizes), the numbers of the two records (two
// bytes each), then the first record and the second, each cut or padded to the
// record size. The whole input is also the volume's raw bytes, which the
// reader of non-resident attribute lists reads through their run lists.
#include "FuzzCommon.h"

#include "support/FakeVolumeApi.h"

#include <algorithm>

using namespace lorvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader in({data, size});
    const auto flags = static_cast<unsigned>(in.Take(1));
    const std::size_t recordSize = (flags & 1U) != 0 ? 4096 : 1024;
    const std::uint32_t cluster = fuzz::kClusterSizes[(flags >> 1) & 3U];
    const auto first = static_cast<std::int64_t>(in.Take(2));
    const auto second = static_cast<std::int64_t>(in.Take(2));

    test::FakeVolumeData geometry;
    geometry.bytesPerCluster = cluster;
    geometry.bytesPerFileRecordSegment = static_cast<std::uint32_t>(recordSize);
    geometry.totalClusters = std::max<std::int64_t>(1, static_cast<std::int64_t>(size) / cluster);
    // Past the highest number two bytes can name, so that both are enumerated.
    geometry.mftValidDataLength = std::int64_t{1024} * 65537;
    geometry.mftZoneStart = 2;
    geometry.mftZoneEnd = 6;

    test::FakeVolumeApi api;
    test::FakeVolume& disk = api.AddNtfsDrive('C', geometry);
    const auto take = [&](std::int64_t number) {
        const auto bytes = in.Bytes(recordSize);
        if (bytes.empty()) {
            return;
        }
        std::vector<std::byte> record(recordSize);
        std::copy(bytes.begin(), bytes.end(), record.begin());
        disk.records[number] = std::move(record);
    };
    take(first);
    if (second != first) {
        take(second);
    }
    disk.WriteImage(0, std::as_bytes(std::span(data, size)));

    ntfs::NtfsVolume volume(api, "C");
    if (ntfs::RecordReader records = volume.OpenRecordReader(); records.IsOpen()) {
        for (const std::int64_t n : {first, second, std::int64_t{0}}) {
            fuzz::ExerciseRecord(records, n);
        }
    }
    fuzz::ExerciseScan(volume);
    fuzz::Check(api.OpenHandleCount() == 0, "every handle closed after the scan");
    return 0;
}

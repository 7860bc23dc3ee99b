// A run list through the decoder, checked against a decoder written here with
// 128-bit arithmetic, and then as the run list of a non-resident $DATA and of
// a non-resident $ATTRIBUTE_LIST in a record, through the attribute readers,
// the reader of attribute-list values and the scan.
//
// Input: a flags byte (bits 0-1: the cluster size, one of kClusterSizes;
// bits 2-7: the list's allocated size in KiB), then the run list. The whole
// input is also the volume's raw bytes.
#include "FuzzCommon.h"

#include "ondisk/Attribute.h"
#include "ondisk/RunList.h"

#include "ntfs/RecordBuilder.h"
#include "support/FakeVolumeApi.h"

#include <algorithm>
#include <limits>

using namespace lorvex;

namespace {

// Runs the way the on-disk format defines them, with no shortcut: every
// field read byte by byte, the running start cluster kept in 128 bits so
// that leaving the 64-bit range is seen rather than wrapped.
ondisk::DecodedRuns Reference(std::span<const std::byte> bytes) {
    ondisk::DecodedRuns out;
    const auto at = [&](std::size_t i) { return std::to_integer<unsigned>(bytes[i]); };
    std::size_t pos = 0;
    __int128 current = 0;
    for (;;) {
        if (pos >= bytes.size()) {
            out.status = ondisk::RunListStatus::Truncated;
            return out;
        }
        const unsigned header = at(pos);
        if (header == 0) {
            return out;
        }
        const unsigned lengthSize = header & 0xF;
        const unsigned offsetSize = header >> 4;
        if (lengthSize > 8 || offsetSize > 8) {
            out.status = ondisk::RunListStatus::BadField;
            return out;
        }
        if (pos + 1 + lengthSize + offsetSize > bytes.size()) {
            out.status = ondisk::RunListStatus::Truncated;
            return out;
        }
        unsigned __int128 length = 0;
        for (unsigned i = 0; i < lengthSize; ++i) {
            length |= static_cast<unsigned __int128>(at(pos + 1 + i)) << (8 * i);
        }
        if (length > static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max())) {
            out.status = ondisk::RunListStatus::BadField;
            return out;
        }
        ondisk::Run run{static_cast<std::int64_t>(current), static_cast<std::int64_t>(length),
                        offsetSize == 0};
        if (offsetSize > 0) {
            __int128 delta = 0;
            for (unsigned i = 0; i < offsetSize; ++i) {
                delta |= static_cast<__int128>(at(pos + 1 + lengthSize + i)) << (8 * i);
            }
            if ((at(pos + lengthSize + offsetSize) & 0x80U) != 0) {
                delta -= static_cast<__int128>(1) << (8 * offsetSize);
            }
            current += delta;
            if (current > std::numeric_limits<std::int64_t>::max() ||
                current < std::numeric_limits<std::int64_t>::min()) {
                out.status = ondisk::RunListStatus::Overflow;
                return out;
            }
            run.lcn = static_cast<std::int64_t>(current);
        }
        out.runs.push_back(run);
        pos += 1 + lengthSize + offsetSize;
    }
}

bool SameRuns(const std::vector<ondisk::Run>& a, const ntfs::TDataRuns& b) {
    if (static_cast<std::size_t>(b.FCount) != a.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto& r = b.FItems[i];
        if (r.LCN != a[i].lcn || r.Length != a[i].length || r.Sparse != a[i].sparse) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader in({data, size});
    const auto flags = static_cast<unsigned>(in.Take(1));
    const std::uint32_t cluster = fuzz::kClusterSizes[flags & 3U];
    const std::int64_t allocated = std::int64_t{1024} * (flags >> 2);
    const auto list = in.Rest();

    const ondisk::DecodedRuns decoded = ondisk::DecodeRunList(list);
    const ondisk::DecodedRuns expected = Reference(list);
    fuzz::Check(decoded.status == expected.status, "decoder stops for the reason the format gives");
    fuzz::Check(decoded.runs.size() == expected.runs.size(),
                "decoder keeps the runs before damage");
    for (std::size_t i = 0; i < expected.runs.size(); ++i) {
        const auto& a = decoded.runs[i];
        const auto& b = expected.runs[i];
        fuzz::Check(a.lcn == b.lcn && a.length == b.length && a.sparse == b.sparse,
                    "every run decoded as the format defines it");
    }

    // The same bytes as the run lists of two attributes of record 30, as far
    // as a 4 KiB record holds them: two non-resident headers, each list
    // padded to 8 bytes, and the end marker.
    const std::size_t room = (4096 - 0x38 - 8) / 2 - 0x40 - 8;
    const auto kept = list.first(std::min(list.size(), room));
    const std::vector<std::byte> runList(kept.begin(), kept.end());
    test::FakeVolumeData geometry;
    geometry.bytesPerCluster = cluster;
    geometry.bytesPerFileRecordSegment = 4096;
    geometry.totalClusters = std::max<std::int64_t>(1, static_cast<std::int64_t>(size) / cluster);
    geometry.mftValidDataLength = 1024 * 64;
    test::FakeVolumeApi api;
    test::FakeVolume& disk = api.AddNtfsDrive('C', geometry);
    disk.records[30] =
        test::RecordBuilder(4096)
            .NonResident(ondisk::type::kAttributeList, 1, runList, allocated, allocated / 2 + 1)
            .NonResident(ondisk::type::kData, 2, runList, allocated, allocated)
            .End();
    disk.WriteImage(0, std::as_bytes(std::span(data, size)));

    ntfs::TNTFSVolume volume(api, "C");
    if (volume.OpenVolume()) {
        ntfs::TDataRuns runs;
        for (int index = 0; index < 2; ++index) {
            volume.GetDataRuns(index, runs, 30);
            // The attribute's bytes run on past the list to the next 8-byte
            // boundary, with zeros: what the decoder sees of them there.
            std::vector<std::byte> padded(runList);
            padded.resize((0x40 + runList.size() + 7) / 8 * 8 - 0x40);
            fuzz::Check(SameRuns(ondisk::DecodeRunList(padded).runs, runs),
                        "GetDataRuns gives the decoder's runs");
        }
        std::vector<std::byte> buffer(3 * cluster);
        const std::size_t read = volume.ReadAttributeData(runList, buffer);
        fuzz::Check(read <= buffer.size(), "ReadAttributeData stays inside its buffer");
        fuzz::ExerciseRecord(volume, 30);
    }
    volume.CloseVolume();
    fuzz::ExerciseScan(volume);
    return 0;
}

// A run list through the decoder, checked against a decoder written here with
// 128-bit arithmetic; as the extents of a stream, read back through the
// stream reader from the input's own bytes; the input as a non-resident
// attribute through the header decoder; and then as the run list of a
// non-resident $DATA and of a non-resident $ATTRIBUTE_LIST in a record,
// through the attribute readers, the reader of attribute-list values and the
// scan.
//
// Input: a flags byte (bits 0-1: the cluster size, one of kClusterSizes;
// bits 2-7: the list's allocated size in KiB), then the run list. The whole
// input is also the volume's raw bytes.
#include "FuzzCommon.h"

#include "ondisk/Attribute.h"
#include "ondisk/NonResident.h"
#include "ondisk/RunList.h"
#include "ondisk/StreamReader.h"

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
    if (static_cast<std::size_t>(b.size()) != a.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto& r = b[i];
        if (r.LCN != a[i].lcn || r.Length != a[i].length || r.Sparse != a[i].sparse) {
            return false;
        }
    }
    return true;
}

// The extents of `runs` from `lowestVcn` as the rule of 64-bit byte offsets
// keeps them, and the bytes of the stream read through them from `volume`.
void CheckExtents(const ondisk::DecodedRuns& runs, std::int64_t lowestVcn, std::int64_t cluster,
                  std::span<const std::byte> list, std::span<const std::byte> volume) {
    std::vector<ondisk::Extent> extents;
    const auto end = ondisk::AppendExtents(list, lowestVcn, cluster, extents);
    fuzz::Check(extents.size() <= runs.runs.size(), "no more extents than runs");
    fuzz::Check(end != ondisk::ExtentsEnd::Complete || (runs.status == ondisk::RunListStatus::Ok &&
                                                        extents.size() == runs.runs.size()),
                "complete only when every run of a sound list is taken");
    std::int64_t vcn = lowestVcn;
    for (std::size_t i = 0; i < extents.size(); ++i) {
        const auto& e = extents[i];
        fuzz::Check(e.vcn == vcn && e.length > 0 && ondisk::RunBytesFit(e.vcn, e.length, cluster),
                    "extents continue each other, every byte with a 64-bit offset");
        fuzz::Check(e.lcn == runs.runs[i].lcn && e.length == runs.runs[i].length &&
                        e.sparse == runs.runs[i].sparse,
                    "an extent is its run");
        vcn += e.length;
    }
    const ondisk::StreamVolume geometry{
        cluster, std::max<std::int64_t>(1, static_cast<std::int64_t>(volume.size()) / cluster)};
    const auto read = [&](std::uint64_t at, std::span<std::byte> out) -> std::size_t {
        if (at >= volume.size()) {
            return 0;
        }
        const std::size_t n = std::min<std::size_t>(out.size(), volume.size() - at);
        std::copy_n(volume.begin() + static_cast<std::ptrdiff_t>(at), n, out.begin());
        return n;
    };
    std::vector<std::byte> buffer(2 * static_cast<std::size_t>(cluster) + 16, std::byte{0xA5});
    const auto pos = static_cast<std::uint64_t>(lowestVcn) * static_cast<std::uint64_t>(cluster);
    const auto target = std::span(buffer).first(buffer.size() - 16);
    const std::size_t got = ondisk::ReadStream(extents, geometry, pos, target, read);
    fuzz::Check(got <= target.size(), "the stream reader delivers at most what was asked");
    for (std::size_t i = target.size(); i < buffer.size(); ++i) {
        fuzz::Check(buffer[i] == std::byte{0xA5}, "the stream reader writes nothing past its span");
    }
    const auto bytesPerCluster = static_cast<std::uint64_t>(cluster);
    for (std::size_t i = 0; i < got; ++i) {
        const ondisk::Extent* e =
            ondisk::FindExtent(extents, static_cast<std::int64_t>((pos + i) / bytesPerCluster));
        fuzz::Check(e != nullptr, "every byte delivered lies in an extent");
        const std::uint64_t into = pos + i - static_cast<std::uint64_t>(e->vcn) * bytesPerCluster;
        const std::byte expected =
            e->sparse ? std::byte{0}
                      : volume[static_cast<std::size_t>(
                            static_cast<std::uint64_t>(e->lcn) * bytesPerCluster + into)];
        fuzz::Check(buffer[i] == expected, "sparse reads as zeros, the rest as the volume holds");
    }
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

    // As the pieces of a stream from VCN 0 and from a VCN near the end of
    // what 64-bit byte offsets reach.
    const auto bytes = std::as_bytes(std::span(data, size));
    for (const std::int64_t lowestVcn :
         {std::int64_t{0}, std::numeric_limits<std::int64_t>::max() / cluster - 3}) {
        CheckExtents(expected, lowestVcn, cluster, list, bytes);
    }
    // The same bytes as a whole attribute.
    if (const auto header = ondisk::DecodeNonResident(list)) {
        fuzz::Check(list.size() >= ondisk::attr::kNonResidentHeader, "a header is whole");
        fuzz::Check(header->runList.empty() || header->runList.data() + header->runList.size() ==
                                                   list.data() + list.size(),
                    "the run list runs to the attribute's end, inside it");
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

    ntfs::NtfsVolume volume(api, "C");
    if (ntfs::RecordReader records = volume.OpenRecordReader(); records.IsOpen()) {
        ntfs::TDataRuns runs;
        for (int index = 0; index < 2; ++index) {
            records.GetDataRuns(index, runs, 30);
            // The attribute's bytes run on past the list to the next 8-byte
            // boundary, with zeros: what the decoder sees of them there.
            std::vector<std::byte> padded(runList);
            padded.resize((0x40 + runList.size() + 7) / 8 * 8 - 0x40);
            fuzz::Check(SameRuns(ondisk::DecodeRunList(padded).runs, runs),
                        "GetDataRuns gives the decoder's runs");
        }
        std::vector<std::byte> buffer(3 * cluster);
        const std::size_t read = records.ReadRunData(runList, buffer);
        fuzz::Check(read <= buffer.size(), "ReadRunData stays inside its buffer");
        fuzz::ExerciseRecord(records, 30);
    }
    fuzz::ExerciseScan(volume);
    return 0;
}

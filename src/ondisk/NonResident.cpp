#include "ondisk/NonResident.h"

#include "ondisk/Attribute.h"
#include "ondisk/ByteReader.h"
#include "ondisk/RunList.h"

namespace lorvex::ondisk {

std::optional<NonResidentHeader> DecodeNonResident(std::span<const std::byte> attribute) {
    const ByteReader r(attribute);
    if (IsResident(attribute) || !r.fits(0, attr::kNonResidentHeader)) {
        return std::nullopt;
    }
    NonResidentHeader h;
    h.lowestVcn = *r.i64(attr::kLowestVcn);
    h.highestVcn = *r.i64(attr::kHighestVcn);
    h.allocatedSize = *r.i64(attr::kAllocatedSize);
    h.dataSize = *r.i64(attr::kDataSize);
    h.initializedSize = *r.i64(attr::kInitializedSize);
    h.runList = RunListBytes(attribute);
    return h;
}

ExtentsEnd AppendExtents(std::span<const std::byte> runList, std::int64_t lowestVcn,
                         std::int64_t bytesPerCluster, std::vector<Extent>& out) {
    if (!RunBytesFit(lowestVcn, 0, bytesPerCluster)) {
        return ExtentsEnd::OutOfRange;
    }
    const DecodedRuns decoded = DecodeRunList(runList);
    std::int64_t vcn = lowestVcn;
    for (const Run& run : decoded.runs) {
        if (run.length <= 0 || !RunBytesFit(vcn, run.length, bytesPerCluster)) {
            return ExtentsEnd::OutOfRange;
        }
        out.push_back({vcn, run.lcn, run.length, run.sparse});
        vcn += run.length;
    }
    return decoded.status == RunListStatus::Ok ? ExtentsEnd::Complete : ExtentsEnd::RunListDamaged;
}

} // namespace lorvex::ondisk

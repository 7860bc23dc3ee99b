#include "ondisk/FileName.h"

#include "ondisk/ByteReader.h"

#include <algorithm>

namespace lorvex::ondisk {

FileName DecodeFileName(std::span<const std::byte> value) {
    namespace fn = filename;
    const ByteReader v(value);
    FileName f;
    f.parent = v.recordNumber48(fn::kParent);
    f.creationTime = v.i64(fn::kCreationTime).value_or(0);
    f.modificationTime = v.i64(fn::kModificationTime).value_or(0);
    f.changeTime = v.i64(fn::kChangeTime).value_or(0);
    f.accessTime = v.i64(fn::kAccessTime).value_or(0);
    f.allocatedSize = v.i64(fn::kAllocatedSize).value_or(0);
    f.dataSize = v.i64(fn::kDataSize).value_or(0);
    f.fileAttributes = v.u32(fn::kFileAttributes).value_or(0);
    f.nameSpace = v.u8(fn::kNamespace).value_or(0);
    const std::size_t length = v.u8(fn::kNameLength).value_or(0);
    if (value.size() > fn::kName) {
        const auto rest = value.subspan(fn::kName);
        f.name = rest.first(std::min(2 * length, rest.size()));
    }
    return f;
}

} // namespace lorvex::ondisk

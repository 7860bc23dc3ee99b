#include "ondisk/StandardInformation.h"

#include "ondisk/ByteReader.h"

namespace lorvex::ondisk {

StandardInformation DecodeStandardInformation(std::span<const std::byte> value) {
    const ByteReader v(value);
    StandardInformation si;
    si.creationTime = v.i64(stdinfo::kCreationTime).value_or(0);
    si.modificationTime = v.i64(stdinfo::kModificationTime).value_or(0);
    si.changeTime = v.i64(stdinfo::kChangeTime).value_or(0);
    si.accessTime = v.i64(stdinfo::kAccessTime).value_or(0);
    si.fileAttributes = v.u32(stdinfo::kFileAttributes).value_or(0);
    return si;
}

} // namespace lorvex::ondisk

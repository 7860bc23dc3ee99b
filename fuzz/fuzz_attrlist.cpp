// An attribute-list value through the entry decoder and the list's lines, and
// then as the resident
// $ATTRIBUTE_LIST of a base record without a name of its own, whose names,
// times and sizes the file table looks for in the extension records that the
// list names.
//
// Input: the length the caller passes (4 bytes), then the value. Records 41
// and 42 are extension records of base record 40 holding a $FILE_NAME (id 1),
// a $STANDARD_INFORMATION (id 2) and a $DATA (id 3); record 43 names another
// base record.
#include "FuzzCommon.h"

#include "ondisk/AttributeList.h"

#include "ntfs/RecordBuilder.h"
#include "support/FakeVolumeApi.h"

#include <algorithm>

using namespace lorvex;

namespace {

// How many entries the value holds by the stopping rules of the list: an
// entry must hold its fixed fields and end inside the value.
std::size_t CountEntries(std::span<const std::byte> value, std::uint32_t length) {
    const std::size_t end = std::min<std::size_t>(length, value.size());
    const auto byteAt = [&](std::size_t i) { return std::to_integer<std::size_t>(value[i]); };
    std::size_t pos = 0;
    std::size_t count = 0;
    while (pos < end) {
        if (pos + 6 > end) {
            break;
        }
        const std::size_t entryLength = byteAt(pos + 4) | (byteAt(pos + 5) << 8);
        if (entryLength < 0x1A || entryLength > end - pos) {
            break;
        }
        ++count;
        pos += entryLength;
    }
    return count;
}

std::vector<std::byte> Extension(std::uint64_t base, std::u16string_view name) {
    namespace type = ondisk::type;
    return test::RecordBuilder(1024, base)
        .Resident(type::kFileName, 1, test::FileNameValue(5, name, 1, 0x20, 8192, 5000))
        .Resident(type::kStandardInformation, 2, test::StandardInformationValue(1, 2, 3, 0x20))
        .NonResident(type::kData, 3, test::Raw({0x11, 0x04, 0x20, 0x00}), 16384, 12000)
        .End();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::InputReader in({data, size});
    const auto length = static_cast<std::uint32_t>(in.Take(4));
    const auto value = in.Rest();

    ntfs::TWideStringArray lines;
    ntfs::ParseAttributeList(value, length, lines);
    const auto listed = value.first(std::min<std::size_t>(length, value.size()));
    const auto entries = ondisk::DecodeAttributeList(listed);
    fuzz::Check(lines.size() == entries.size(), "one line per entry");
    fuzz::Check(entries.size() == CountEntries(value, length),
                "the list stops where its stopping rules say");
    for (const auto& e : entries) {
        fuzz::Check(e.record >= 0 && e.record < (std::int64_t{1} << 48),
                    "record numbers are 48 bits");
        fuzz::Check(e.name.empty() || (e.nameLength != 0 && e.name.size() == 2U * e.nameLength),
                    "a name is all the units it claims, or nothing");
        fuzz::Check(e.name.empty() ||
                        (e.name.data() >= listed.data() &&
                         e.name.data() + e.name.size() <= listed.data() + listed.size()),
                    "a name lies inside the value");
    }

    // As much of the value as a resident attribute of a 4 KiB record holds.
    const std::size_t room = 4096 - 0x38 - 0x18 - 8 - 8;
    const auto kept = value.first(std::min(value.size(), room));
    const std::vector<std::byte> stored(kept.begin(), kept.end());
    test::FakeVolumeData geometry;
    geometry.bytesPerFileRecordSegment = 4096;
    geometry.totalClusters = 64;
    geometry.mftValidDataLength = 1024 * 64;
    test::FakeVolumeApi api;
    test::FakeVolume& disk = api.AddNtfsDrive('C', geometry);
    const auto sized = [](std::vector<std::byte> record) {
        record.resize(4096);
        return record;
    };
    disk.records[40] =
        test::RecordBuilder(4096).Resident(ondisk::type::kAttributeList, 0, stored).End();
    disk.records[41] = sized(Extension(40 | (std::uint64_t{1} << 48), u"extension-one"));
    disk.records[42] = sized(Extension(40 | (std::uint64_t{2} << 48), u"extension-two"));
    disk.records[43] = sized(Extension(12, u"someone-else"));
    disk.WriteImage(0, std::as_bytes(std::span(data, size)));

    ntfs::NtfsVolume volume(api, "C");
    if (ntfs::RecordReader records = volume.OpenRecordReader(); records.IsOpen()) {
        ntfs::TAttributes attributes;
        records.GetAttributes(attributes, 40);
        fuzz::Check(attributes.size() == 1, "the base record's one attribute");
        fuzz::Check(attributes[0].Entries.size() ==
                        CountEntries(stored, static_cast<std::uint32_t>(stored.size())),
                    "the resident list read in full");
        fuzz::ExerciseRecord(records, 40);
    }
    fuzz::ExerciseScan(volume);
    return 0;
}

// The record reader on real volumes, against the independent reader: the
// records of deleted files, which the file-record query cannot reach, and
// which records are in use.
#include "ntfs/Attributes.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordReader.h"
#include "ondisk/Attribute.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <sstream>
#include <vector>

namespace lorvex::test {
namespace {

using ntfs::NtfsVolume;
using ntfs::RecordReader;
using platform::RawVolumeSystem;

std::string Letter(const NtfsVolumeCase& v) {
    return std::string(1, static_cast<char>('C' + v.partitionIndex));
}

// The names of the record's $FILE_NAME attributes.
std::set<std::u16string> FileNames(std::span<const std::byte> record) {
    ntfs::TAttributes attributes;
    ntfs::AppendRecordAttributes(record, attributes, [](auto) { return std::vector<std::byte>{}; });
    std::set<std::u16string> names;
    for (int i = 0; i < attributes.size(); ++i) {
        const ntfs::TAttribute& a = attributes[static_cast<std::size_t>(i)];
        if (a.AttrType == ondisk::type::kFileName) {
            names.insert(a.Entries.front());
        }
    }
    return names;
}

// The independent reader's report on record `number`.
std::string Istat(const NtfsVolumeCase& v, std::int64_t number) {
    return RunCommand("istat -o " + std::to_string(v.offsetSectors) + " " + Quote(v.source) + " " +
                      std::to_string(number) + " 2>/dev/null");
}

std::u16string Wide(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

// Deleted files as the independent reader finds them in directory indexes:
// their record numbers and names, those whose record has been reused left
// out.
std::vector<std::pair<std::int64_t, std::string>> DeletedFiles(const NtfsVolumeCase& v) {
    std::vector<std::pair<std::int64_t, std::string>> files;
    std::istringstream in(Oracle("fls", v, "-r -d -p"));
    for (std::string line; std::getline(in, line);) {
        const auto star = line.find("* ");
        const auto tab = line.find('\t');
        if (star == std::string::npos || tab == std::string::npos ||
            line.find("$OrphanFiles/") != std::string::npos ||
            line.find("(realloc)") != std::string::npos) {
            continue;
        }
        const std::string path = line.substr(tab + 1);
        files.emplace_back(std::stoll(line.substr(star + 2)), path.substr(path.rfind('/') + 1));
    }
    return files;
}

// A deleted file's record is free but still whole: the exact read gives it,
// with the file's name, where the query answers with a record below it.
TEST(RecordReaderVolume, DeletedFilesRecordsAreReadWithTheirNames) {
    int seen = 0;
    for (const auto& v : OracleVolumes()) {
        SCOPED_TRACE(v.name);
        RawVolumeSystem sys({v.source.string()});
        const NtfsVolume volume(sys, Letter(v));
        RecordReader reader = volume.OpenRecordReader();
        ASSERT_TRUE(reader.IsOpen());
        for (const auto& [number, name] : DeletedFiles(v)) {
            SCOPED_TRACE(number);
            const auto record = reader.Read(number);
            ASSERT_TRUE(record);
            EXPECT_EQ(record->number(), number);
            if (record->inUse()) {
                continue; // a name left in an index of a record in use again
            }
            ++seen;
            EXPECT_TRUE(record->valid());
            EXPECT_TRUE(FileNames(record->bytes()).contains(Wide(name))) << name;
            const std::string istat = Istat(v, number);
            EXPECT_NE(istat.find("Not Allocated File"), std::string::npos);
            EXPECT_EQ(std::to_string(record->sequenceNumber()), After(istat, "Sequence: "));
            const auto queried = reader.ReadInUseAtOrBelow(number);
            ASSERT_TRUE(queried);
            EXPECT_LT(queried->number(), number);
        }
    }
    EXPECT_GT(seen, 20);
}

// Which records are in use, as the exact read tells it, agrees with the
// independent reader on every record it lists (extension records it leaves
// out) and on a sample it reports on one by one, and with the query on
// every record: a record the query answers for itself is in use, with the
// same bytes.
TEST(RecordReaderVolume, InUseAndFreeAgreeWithTheIndependentReaderAndTheQuery) {
    for (const auto& v : OracleVolumes()) {
        SCOPED_TRACE(v.name);
        RawVolumeSystem sys({v.source.string()});
        const NtfsVolume volume(sys, Letter(v));
        RecordReader reader = volume.OpenRecordReader();
        const std::int64_t count = volume.geometry().recordCount;
        const std::string fsstat = Oracle("fsstat", v);
        ASSERT_EQ(count, std::stoll(After(fsstat, "Range: 0 - ")));

        std::istringstream in(Oracle("ils", v, "-e"));
        int listed = 0;
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string number;
            std::string alloc;
            if (!std::getline(fields, number, '|') || !std::getline(fields, alloc, '|') ||
                number.empty() || !std::isdigit(static_cast<unsigned char>(number[0])) ||
                std::stoll(number) >= count) {
                continue;
            }
            const auto record = reader.Read(std::stoll(number));
            ASSERT_TRUE(record) << number;
            EXPECT_EQ(record->inUse(), alloc == "a") << number;
            ++listed;
        }
        EXPECT_GT(listed, 16);

        std::mt19937 random(7);
        std::vector<std::int64_t> sample{0, 5, 16, 17, 24, count - 1};
        for (int i = 0; i < (Exhaustive() ? 200 : 4); ++i) {
            sample.push_back(
                static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(count)));
        }
        for (const std::int64_t n : sample) {
            const auto record = reader.Read(n);
            // "Allocated File", "Not Allocated Directory", ...; nothing for a
            // record the independent reader cannot read.
            const std::string istat = Istat(v, n);
            if (istat.find("Allocated ") == std::string::npos) {
                EXPECT_FALSE(record) << n;
                continue;
            }
            ASSERT_TRUE(record) << n;
            EXPECT_EQ(record->inUse(), istat.find("Not Allocated ") == std::string::npos) << n;
        }

        for (std::int64_t n = 0; n < count; ++n) {
            const auto exact = reader.Read(n);
            const auto queried = reader.ReadInUseAtOrBelow(n);
            ASSERT_TRUE(queried) << n;
            if (queried->number() != n) {
                EXPECT_TRUE(!exact || !exact->inUse()) << n;
                continue;
            }
            ASSERT_TRUE(exact) << n;
            EXPECT_TRUE(exact->inUse()) << n;
            EXPECT_TRUE(std::ranges::equal(exact->bytes(), queried->bytes())) << n;
        }
        EXPECT_FALSE(reader.Read(count));
        EXPECT_FALSE(reader.Read(-1));
    }
}

} // namespace
} // namespace lorvex::test

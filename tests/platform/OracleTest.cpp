// The volume layer against an independent NTFS reader, on every generated
// volume and on the Windows-formatted samples.
#include "ondisk/FileRecord.h"
#include "platform/DriveQueries.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace lorvex::test {
namespace {

std::vector<NtfsVolumeCase> Cases() {
    auto cases = OracleVolumes();
    if (cases.empty()) {
        ADD_FAILURE() << "no test volumes in " << VolumeDir();
    }
    return cases;
}

TEST(Oracle, GeometryAndLabelMatchTheIndependentReader) {
    for (const auto& v : Cases()) {
        SCOPED_TRACE(v.name);
        RawVolumeSystem sys({v.source.string()});
        ASSERT_GT(sys.drives().size(), static_cast<std::size_t>(v.partitionIndex));
        const char letter = static_cast<char>('C' + v.partitionIndex);
        const std::string fsstat = Oracle("fsstat", v);
        ASSERT_FALSE(fsstat.empty());

        const auto info = sys.GetVolumeInformation(std::string(1, letter) + ":\\");
        ASSERT_TRUE(info);
        EXPECT_EQ(info->fileSystemName, "NTFS");
        EXPECT_EQ(info->label, After(fsstat, "Volume Name: "));
        const std::string serial = After(fsstat, "Volume Serial Number: ");
        EXPECT_EQ(info->serialNumber,
                  static_cast<std::uint32_t>(std::stoull(serial, nullptr, 16) & 0xFFFFFFFF));

        const Handle h = OpenDrive(sys, letter);
        ASSERT_NE(h, platform::kInvalidHandle);
        const auto data = QueryVolumeData(sys, h);
        ASSERT_TRUE(data);
        const std::string range = After(fsstat, "Total Cluster Range: 0 - ");
        EXPECT_EQ(data->totalClusters, std::stoll(range) + 1);
        EXPECT_EQ(std::to_string(data->bytesPerCluster), After(fsstat, "Cluster Size: "));
        EXPECT_EQ(std::to_string(data->bytesPerSector), After(fsstat, "Sector Size: "));
        EXPECT_EQ(std::to_string(data->bytesPerRecord) + " bytes",
                  After(fsstat, "Size of MFT Entries: "));
        EXPECT_EQ(std::to_string(data->mftLcn), After(fsstat, "First Cluster of MFT: "));
        EXPECT_EQ(std::to_string(data->mft2Lcn), After(fsstat, "First Cluster of MFT Mirror: "));
        EXPECT_GT(data->freeClusters, 0);
        EXPECT_LT(data->freeClusters, data->totalClusters);
        EXPECT_GE(data->zoneEnd, data->zoneStart);
        EXPECT_LE(data->zoneEnd, data->totalClusters);
        EXPECT_GT(data->mftValid, 0);
        sys.CloseHandle(h);
    }
}

// The allocated base records the oracle lists, by number.
std::set<std::int64_t> AllocatedRecords(const NtfsVolumeCase& v) {
    std::set<std::int64_t> numbers;
    std::istringstream in(Oracle("ils", v, "-a"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) {
            continue;
        }
        numbers.insert(std::stoll(line.substr(0, line.find('|'))));
    }
    // The oracle's last number is a virtual directory of its own making.
    const std::string range = After(Oracle("fsstat", v), "Range: 0 - ");
    if (!range.empty()) {
        numbers.erase(std::stoll(range));
    }
    return numbers;
}

TEST(Oracle, EveryAllocatedRecordIsFetchedWithItsOwnNumber) {
    for (const auto& v : Cases()) {
        SCOPED_TRACE(v.name);
        RawVolumeSystem sys({v.source.string()});
        const char letter = static_cast<char>('C' + v.partitionIndex);
        const Handle h = OpenDrive(sys, letter);
        ASSERT_NE(h, platform::kInvalidHandle);
        const auto data = QueryVolumeData(sys, h);
        ASSERT_TRUE(data);
        const std::size_t size = data->bytesPerRecord;
        const auto allocated = AllocatedRecords(v);
        ASSERT_FALSE(allocated.empty());

        const std::int64_t estimate = data->mftValid / static_cast<std::int64_t>(size);
        std::set<std::int64_t> inUse;
        std::int64_t previous = -1;
        int free = 0;
        std::vector<std::byte> record;
        for (std::int64_t n = 0; n < estimate; ++n) {
            const auto got = QueryRecord(sys, h, n, size, &record);
            ASSERT_TRUE(got) << n;
            if (*got == n) {
                inUse.insert(n);
                previous = n;
                EXPECT_TRUE(ondisk::HasFileSignature(record)) << n;
            } else {
                // A free number answers with the nearest lower record in use.
                EXPECT_EQ(*got, previous) << n;
                ++free;
            }
        }
        for (const auto n : allocated) {
            EXPECT_TRUE(inUse.count(n)) << "allocated record " << n << " not fetched";
        }
        // What we have in use beyond the oracle's list are extension records,
        // which it leaves out.
        for (const auto n : inUse) {
            if (allocated.count(n) == 0) {
                QueryRecord(sys, h, n, size, &record);
                EXPECT_NE(*ondisk::ByteReader(record).recordNumber48(ondisk::record::kBaseRecord),
                          0)
                    << "record " << n << " in use but neither allocated nor an extension";
            }
        }
        EXPECT_GT(free, 0);
        // Past the last record: the last in use.
        EXPECT_EQ(QueryRecord(sys, h, estimate + 1000, size), *inUse.rbegin());
        EXPECT_EQ(QueryRecord(sys, h, std::int64_t{1} << 40, size), *inUse.rbegin());
        sys.CloseHandle(h);
    }
}

TEST(Oracle, FreeClustersMatchTheAllocationBitmap) {
    for (const auto& v : Cases()) {
        SCOPED_TRACE(v.name);
        RawVolumeSystem sys({v.source.string()});
        const Handle h = OpenDrive(sys, static_cast<char>('C' + v.partitionIndex));
        const auto data = QueryVolumeData(sys, h);
        ASSERT_TRUE(data);
        const auto bytes = static_cast<std::size_t>((data->totalClusters + 7) / 8);
        std::vector<std::byte> out(16 + bytes);
        std::array<std::byte, 8> in{};
        std::uint32_t returned = 0;
        ASSERT_TRUE(sys.DeviceIoControl(h, platform::kFsctlGetVolumeBitmap, in, out, &returned));
        EXPECT_EQ(returned, out.size());
        const ondisk::ByteReader r(out);
        EXPECT_EQ(*r.i64(0), 0);
        EXPECT_EQ(*r.i64(8), data->totalClusters);
        std::int64_t used = 0;
        for (std::size_t i = 16; i < out.size(); ++i) {
            used += std::popcount(std::to_integer<unsigned>(out[i]));
        }
        EXPECT_EQ(data->totalClusters - used, data->freeClusters);
        // Cluster 0 holds the boot sector and the $MFT's first cluster is in use.
        EXPECT_EQ(std::to_integer<int>(out[16]) & 1, 1);
        const auto mft = static_cast<std::size_t>(data->mftLcn);
        EXPECT_NE(std::to_integer<int>(out[16 + mft / 8]) & (1 << (mft % 8)), 0);

        // The oracle's count of allocated clusters agrees.
        const std::string blkls = Oracle("blkls", v, "-a -l");
        std::int64_t oracleUsed = 0;
        std::istringstream lines(blkls);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0])) &&
                line.find("|a") != std::string::npos) {
                ++oracleUsed;
            }
        }
        if (oracleUsed > 0) {
            EXPECT_EQ(used, oracleUsed);
        }
        sys.CloseHandle(h);
    }
}

} // namespace
} // namespace lorvex::test

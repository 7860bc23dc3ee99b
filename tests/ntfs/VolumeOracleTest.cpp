// The volume object on real volumes, against the independent reader.
#include "ntfs/Formatters.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordReader.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace lorvex::test {
namespace {

using ntfs::NtfsVolume;
using platform::RawVolumeSystem;

std::string Letter(const NtfsVolumeCase& v) {
    return std::string(1, static_cast<char>('C' + v.partitionIndex));
}

TEST(VolumeOracle, GeometryLabelAndLastRecordMatchTheIndependentReader) {
    const auto cases = OracleVolumes();
    ASSERT_FALSE(cases.empty());
    for (const auto& v : cases) {
        SCOPED_TRACE(v.name);
        RawVolumeSystem sys({v.source.string()});
        NtfsVolume volume(sys, Letter(v));
        const std::string fsstat = Oracle("fsstat", v);
        const ntfs::VolumeGeometry& g = volume.geometry();
        ASSERT_EQ(volume.information().fileSystemName, "NTFS");
        EXPECT_EQ(volume.information().label, After(fsstat, "Volume Name: "));
        EXPECT_EQ(g.totalClusters, std::stoll(After(fsstat, "Total Cluster Range: 0 - ")) + 1);
        EXPECT_EQ(std::to_string(g.bytesPerCluster), After(fsstat, "Cluster Size: "));
        EXPECT_EQ(std::to_string(g.bytesPerRecord) + " bytes",
                  After(fsstat, "Size of MFT Entries: "));
        EXPECT_EQ(std::to_string(g.mftStartLcn), After(fsstat, "First Cluster of MFT: "));
        EXPECT_EQ(std::to_string(g.mftMirrorStartLcn),
                  After(fsstat, "First Cluster of MFT Mirror: "));
        const std::string serial = After(fsstat, "Volume Serial Number: ");
        ASSERT_GE(serial.size(), 8U);
        EXPECT_EQ(ntfs::VolumeSerialText(volume.information().serialNumber),
                  serial.substr(serial.size() - 8, 4) + "-" + serial.substr(serial.size() - 4));

        // The last record in use: the oracle's highest allocated record, or
        // an extension record above it, which the oracle does not list.
        std::int64_t highest = -1;
        std::istringstream in(Oracle("ils", v, "-a"));
        const std::int64_t virtualDir = std::stoll(After(fsstat, "Range: 0 - "));
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) {
                const std::int64_t n = std::stoll(line.substr(0, line.find('|')));
                if (n != virtualDir) {
                    highest = std::max(highest, n);
                }
            }
        }
        const std::int64_t last = volume.GetLastRecordNumber();
        EXPECT_GE(last, highest);
        if (last > highest) {
            const auto record = volume.OpenRecordReader().Read(last);
            ASSERT_TRUE(record && record->inUse());
            EXPECT_NE(record->baseRecord(), last)
                << "record " << last << " is neither allocated nor an extension";
        }
    }
}

TEST(VolumeOracle, EveryRecordReadsThroughOneReader) {
    for (const auto& v : OracleVolumes()) {
        SCOPED_TRACE(v.name);
        RawVolumeSystem sys({v.source.string()});
        NtfsVolume volume(sys, Letter(v));
        const std::int64_t last = volume.GetLastRecordNumber();
        ASSERT_GT(last, 15);
        ntfs::RecordReader records = volume.OpenRecordReader();
        ASSERT_TRUE(records.IsOpen());
        std::int64_t previous = -1;
        for (std::int64_t n = 0; n <= last; ++n) {
            const auto record = records.ReadInUseAtOrBelow(n);
            ASSERT_TRUE(record) << n;
            if (record->number() != n) {
                EXPECT_EQ(record->number(), previous) << n;
            } else {
                EXPECT_TRUE(record->valid()) << n;
                previous = n;
            }
        }
        EXPECT_EQ(previous, last);
    }
}

TEST(VolumeOracle, TwoMegabyteClustersAreRead) {
    const auto image = VolumeDir() / "ntfs-2m.img";
    ASSERT_TRUE(std::filesystem::exists(image));
    const auto facts = ReadFacts(VolumeDir() / "ntfs-2m.facts");
    RawVolumeSystem sys({image.string()});
    NtfsVolume volume(sys, "c");
    EXPECT_EQ(volume.drive(), "C:");
    EXPECT_EQ(volume.information().label, facts.at("label"));
    EXPECT_EQ(std::to_string(volume.geometry().bytesPerCluster), facts.at("cluster_size"));
    EXPECT_EQ(std::to_string(volume.geometry().totalClusters), facts.at("total_clusters"));
    ntfs::RecordReader reader = volume.OpenRecordReader();
    for (const char* key : {"readme_record", "data_record", "tiny_record", "sparse_record"}) {
        const auto record = reader.Read(std::stoll(facts.at(key)));
        EXPECT_TRUE(record && record->inUse()) << key;
    }
    // A raw cluster of 2 MiB: the boot sector starts cluster 0.
    std::vector<std::byte> cluster(volume.geometry().bytesPerCluster);
    volume.ReadCluster(cluster, 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(cluster.data()) + 3, 4), "NTFS");
}

} // namespace
} // namespace lorvex::test

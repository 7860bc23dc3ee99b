// The cluster map of real volumes after the whole scan, against the
// independent reader's owner of each cluster, and against the file table's
// own run counts.
#include "ntfs/Attributes.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ondisk/Attribute.h"
#include "ondisk/ByteReader.h"
#include "ondisk/RunList.h"
#include "ondisk/Utf16.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>

namespace lorvex::test {
namespace {

using ntfs::NtfsVolume;
using ntfs::TClusterArray;
using ntfs::TClusterEntry;
using ntfs::TFileIDs;
using platform::RawVolumeSystem;

// A volume after every scan stage. The map is kept in both orders: by owner
// as the painting sees it, and by first cluster as it rests afterwards.
struct Scanned {
    std::unique_ptr<RawVolumeSystem> system;
    std::unique_ptr<NtfsVolume> volume;
    TFileIDs table;
    TClusterArray byOwner;
    TClusterArray byLCN;
};

std::unique_ptr<Scanned> Scan(const NtfsVolumeCase& v) {
    auto s = std::make_unique<Scanned>();
    s->system = std::make_unique<RawVolumeSystem>(std::vector<std::string>{v.source.string()});
    s->volume = std::make_unique<NtfsVolume>(
        *s->system, std::string(1, static_cast<char>('C' + v.partitionIndex)));
    NtfsVolume& volume = *s->volume;
    volume.EnumerateFiles(s->table, {});
    s->table.BuildPaths();
    volume.CalculateDiskSizes(s->table);
    TClusterArray map;
    volume.EnumerateClusters(s->table, map, {});
    ntfs::GetFragments(s->table, map);
    ntfs::SortClustersByFileIndex(map);
    s->byOwner = map;
    ntfs::SortClustersByLCN(map);
    s->byLCN = std::move(map);
    return s;
}

std::vector<NtfsVolumeCase> Cases() {
    auto cases = OracleVolumes();
    // The shared list looks for partition types in the listing, which shows
    // the GPT partitions' names instead; take every numbered slot then.
    const auto gpt = VolumeDir() / "gpt-disk.img";
    if (std::filesystem::exists(gpt) && std::none_of(cases.begin(), cases.end(), [](const auto& c) {
            return c.name.starts_with("gpt-");
        })) {
        std::istringstream in(RunCommand("mmls -B " + Quote(gpt)));
        int index = 0;
        for (std::string line; std::getline(in, line);) {
            std::istringstream f(line);
            std::string slot, part, start;
            f >> slot >> part >> start;
            if (!part.empty() && std::all_of(part.begin(), part.end(), ::isdigit)) {
                cases.push_back({"gpt-" + std::to_string(index), gpt, std::stoull(start), index});
                ++index;
            }
        }
    }
    if (cases.empty()) {
        ADD_FAILURE() << "no test volumes in " << VolumeDir();
    }
    return cases;
}

std::optional<std::filesystem::path> FactsOf(const NtfsVolumeCase& v) {
    for (const auto& p : {v.source.string() + ".facts",
                          (v.source.parent_path() / v.source.stem()).string() + ".facts"}) {
        if (std::filesystem::exists(p)) {
            return p;
        }
    }
    return std::nullopt;
}

// The clusters to compare: clusters spread evenly over the volume (free ones
// among them), the first and last cluster of extents spread over the map,
// and of the first extent of every kind of owner (each attribute type of
// system files, directories, files, extension records, sparse and
// compressed files), the zone's bounds and their neighbours, and the
// volume's last cluster. The default run spreads 40 clusters and 16
// extents; the long run (ctest -L long) 400 and 200, which also meet the
// rarer answers (stale owners, clusters past the initialised size).
std::vector<std::int64_t> SampleClusters(const Scanned& s) {
    const NtfsVolume& volume = *s.volume;
    const std::int64_t total = volume.geometry().totalClusters;
    const std::int64_t spread = Exhaustive() ? 400 : 40;
    const std::size_t extents = Exhaustive() ? 200 : 16;
    std::set<std::int64_t> picked;
    const std::int64_t step = std::max<std::int64_t>(1, total / spread);
    for (std::int64_t c = 0; c < total; c += step) {
        picked.insert(c);
    }
    const auto ends = [&picked](const ntfs::TClusterEntry& e) {
        picked.insert(e.LCN);
        picked.insert(e.LCN + e.Length - 1);
    };
    const std::size_t every = std::max<std::size_t>(1, s.byLCN.size() / extents);
    for (std::size_t k = 0; k < s.byLCN.size(); k += every) {
        ends(s.byLCN[k]);
    }
    constexpr std::uint32_t kSparseOrCompressed = 0x200 | 0x800;
    std::set<std::tuple<std::uint32_t, std::uint8_t, bool, bool>> kinds;
    for (const auto& e : s.byLCN) {
        const auto& owner = s.table[e.FileIndex];
        if (kinds
                .emplace(e.AttrType, owner.FileType, owner.FileID != owner.BaseID,
                         (owner.Flags & kSparseOrCompressed) != 0)
                .second) {
            ends(e);
        }
    }
    for (const std::int64_t c :
         {volume.geometry().mftZoneStart - 1, volume.geometry().mftZoneStart,
          (volume.geometry().mftZoneStart + volume.geometry().mftZoneEnd) / 2,
          volume.geometry().mftZoneEnd, volume.geometry().mftZoneEnd + 1, total - 1}) {
        if (c >= 0 && c < total) {
            picked.insert(c);
        }
    }
    return {picked.begin(), picked.end()};
}

// The records in use, as the independent reader lists them (base records
// only).
std::set<std::int64_t> AllocatedRecords(const NtfsVolumeCase& v) {
    std::set<std::int64_t> records;
    std::istringstream in(RunCommand("ils -a -o " + std::to_string(v.offsetSectors) + " " +
                                     Quote(v.source) + " 2>/dev/null"));
    for (std::string line; std::getline(in, line);) {
        const auto bar = line.find('|');
        if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0])) &&
            line.compare(bar, 3, "|a|") == 0) {
            records.insert(std::stoll(line.substr(0, bar)));
        }
    }
    return records;
}

struct OracleAnswer {
    std::vector<std::int64_t> records; // allocated owners only
    int deleted = 0;                   // owners left out: records not in use
};

// What the independent reader names as owners of each cluster. Its -a lists
// every record whose runs cover the cluster, deleted ones with stale runs
// too, so only records in use are kept. Runs four at a time.
std::map<std::int64_t, OracleAnswer> OracleOwners(const NtfsVolumeCase& v,
                                                  const std::vector<std::int64_t>& clusters) {
    const auto allocated = AllocatedRecords(v);
    std::string list;
    for (const std::int64_t c : clusters) {
        list += std::to_string(c) + "\n";
    }
    const std::string command =
        "export IMG=" + Quote(v.source) + " OFF=" + std::to_string(v.offsetSectors) + "; printf '" +
        list +
        "' | xargs -P 4 -n 1 sh -c "
        R"sh('printf "%s|%s\n" "$1" "$(ifind -a -o "$OFF" -d "$1" "$IMG" 2>&1 | tr "\n" " ")"' _)sh";
    std::map<std::int64_t, OracleAnswer> owners;
    std::istringstream in(RunCommand(command));
    for (std::string line; std::getline(in, line);) {
        const auto bar = line.find('|');
        if (bar == std::string::npos) {
            continue;
        }
        auto& found = owners[std::stoll(line.substr(0, bar))];
        std::istringstream words(line.substr(bar + 1));
        for (std::string word; words >> word;) {
            if (std::isdigit(static_cast<unsigned char>(word[0]))) {
                // "N" or "N-128-1": the record before the type and id.
                const std::int64_t record = std::stoll(word.substr(0, word.find('-')));
                if (allocated.count(record) != 0) {
                    found.records.push_back(record);
                } else {
                    ++found.deleted;
                }
            } else if (line.find("Inode not found") == std::string::npos) {
                ADD_FAILURE() << "unexpected answer for cluster " << line;
                break;
            } else {
                break;
            }
        }
    }
    return owners;
}

// Where cluster `lcn` lies in the attribute of type `type` that holds it in
// record `recordNo`: its byte offset in the value and the attribute's
// initialised size, read straight from the record.
std::optional<std::pair<std::int64_t, std::int64_t>> OffsetAndInitialisedSize(NtfsVolume& volume,
                                                                              std::int64_t recordNo,
                                                                              std::uint32_t type,
                                                                              std::int64_t lcn) {
    std::optional<std::pair<std::int64_t, std::int64_t>> found;
    ntfs::RecordReader reader = volume.OpenRecordReader();
    if (const auto record = reader.Read(recordNo); record && record->inUse()) {
        auto walk = ondisk::WalkRecordAttributes(record->bytes());
        while (const auto a = walk.Next()) {
            const ondisk::ByteReader r(a->bytes);
            if (a->type != type || r.u8(ondisk::attr::kNonResident).value_or(0) == 0) {
                continue;
            }
            std::int64_t vcn = r.i64(ondisk::attr::kLowestVcn).value_or(0);
            const std::int64_t initialised = r.i64(ondisk::attr::kInitializedSize).value_or(0);
            for (const auto& run : ondisk::DecodeRunList(ondisk::RunListBytes(a->bytes)).runs) {
                if (!run.sparse && run.lcn <= lcn && lcn < run.lcn + run.length) {
                    found = {(vcn + lcn - run.lcn) * volume.geometry().bytesPerCluster,
                             initialised};
                }
                vcn += run.length;
            }
        }
    }
    return found;
}

TEST(ClusterOracle, EveryOwnerDescribeClusterNamesIsTheIndependentReadersOwner) {
    for (const auto& v : Cases()) {
        SCOPED_TRACE(v.name);
        const auto s = Scan(v);
        NtfsVolume& volume = *s->volume;
        ASSERT_GT(s->table.size(), 16);
        ASSERT_FALSE(s->byLCN.empty());
        const auto clusters = SampleClusters(*s);
        const auto oracle = OracleOwners(v, clusters);
        ASSERT_EQ(oracle.size(), clusters.size());

        int owned = 0, free = 0, zone = 0, deleted = 0;
        std::vector<std::string> pastInitialised;
        for (const std::int64_t c : clusters) {
            SCOPED_TRACE("cluster " + std::to_string(c));
            const auto& theirs = oracle.at(c).records;
            deleted += oracle.at(c).deleted;
            const std::int64_t index = ntfs::FindClusterOwner(s->byLCN, c);
            std::string text;
            volume.DescribeCluster(s->byLCN, s->table, text, true, c);
            if (index < 0) {
                EXPECT_TRUE(theirs.empty()) << "the independent reader names record " << theirs[0];
                const bool inZone =
                    volume.geometry().mftZoneStart <= c && c <= volume.geometry().mftZoneEnd;
                EXPECT_EQ(text, inZone ? "MFT Zone" : "FREE");
                ++(inZone ? zone : free);
                continue;
            }
            const auto& owner = s->table[static_cast<std::size_t>(index)];
            const auto at = std::find_if(s->byLCN.begin(), s->byLCN.end(), [c](const auto& e) {
                return e.LCN <= c && c < e.LCN + e.Length;
            });
            ASSERT_NE(at, s->byLCN.end());
            EXPECT_EQ(text, ondisk::ToUtf8(s->table.Path(static_cast<int>(index))) +
                                "::" + ntfs::AttributeTypeName(at->AttrType));
            if (theirs.empty()) {
                // The one documented difference: the reader stops counting
                // at the initialised size, which matters for the
                // preallocated tail of $MFT and for indexes.
                const bool mftData = owner.BaseID == 0 && at->AttrType == 0x80;
                EXPECT_TRUE(mftData || at->AttrType == 0xA0)
                    << text << ": the independent reader names no owner";
                const auto where = OffsetAndInitialisedSize(volume, owner.FileID, at->AttrType, c);
                ASSERT_TRUE(where.has_value());
                EXPECT_GE(where->first, where->second)
                    << text << " in record " << owner.FileID << " lies inside initialised data";
                pastInitialised.push_back(std::to_string(c) + " " + text);
                continue;
            }
            ++owned;
            EXPECT_TRUE(std::find(theirs.begin(), theirs.end(), owner.BaseID) != theirs.end() ||
                        std::find(theirs.begin(), theirs.end(), owner.FileID) != theirs.end())
                << text << ": record " << owner.FileID << " (base " << owner.BaseID
                << ") where the independent reader names " << theirs[0];
            // The text names the file of the record the reader names.
            const auto named = s->table.IndexOfID(theirs[0]);
            ASSERT_GE(named, 0);
            EXPECT_EQ(text.substr(0, text.rfind("::")), ondisk::ToUtf8(s->table.Path(named)));
        }
        std::printf("[ %s ] %zu clusters: %d owned, %d free, %d MFT zone; %d stale owners "
                    "not in use left out; %zu past initialised size\n",
                    v.name.c_str(), clusters.size(), owned, free, zone, deleted,
                    pastInitialised.size());
        for (const auto& line : pastInitialised) {
            std::printf("    past initialised size: %s\n", line.c_str());
        }
        EXPECT_GT(owned, 25);
        EXPECT_GT(free + zone, 0);
    }
}

TEST(ClusterMapOnVolumes, ExtentsAccountForEveryRunAndNeverOverlap) {
    for (const auto& v : Cases()) {
        SCOPED_TRACE(v.name);
        const auto s = Scan(v);
        const NtfsVolume& volume = *s->volume;
        const auto count = static_cast<std::size_t>(s->table.size());

        // Per entry, the map holds exactly the runs that the disk-size stage
        // counted, read in a separate pass, and GetFileExtents finds them.
        std::vector<std::uint32_t> runs(count);
        std::vector<std::int64_t> clusters(count);
        for (const auto& e : s->byOwner) {
            ASSERT_LT(e.FileIndex, count);
            ++runs[e.FileIndex];
            clusters[e.FileIndex] += e.Length;
        }
        TClusterArray extents;
        for (std::size_t i = 0; i < count; ++i) {
            const auto& entry = s->table[i];
            ASSERT_EQ(runs[i], entry.Fragments) << "record " << entry.FileID;
            ASSERT_EQ(clusters[i] * volume.geometry().bytesPerCluster, entry.DiskSize)
                << "record " << entry.FileID;
            ntfs::GetFileExtents(static_cast<std::uint32_t>(i), s->byOwner, extents);
            ASSERT_EQ(extents.size(), runs[i]) << "record " << entry.FileID;
        }

        // A consistent volume: every extent inside it, none overlapping.
        std::int64_t owned = 0;
        for (std::size_t k = 0; k < s->byLCN.size(); ++k) {
            const TClusterEntry& e = s->byLCN[k];
            ASSERT_GE(e.LCN, 0);
            ASSERT_GT(e.Length, 0);
            ASSERT_LE(e.LCN + e.Length, volume.geometry().totalClusters);
            if (k > 0) {
                ASSERT_LE(s->byLCN[k - 1].LCN + s->byLCN[k - 1].Length, e.LCN)
                    << "extents " << k - 1 << " and " << k << " overlap";
            }
            owned += e.Length;
        }
        // Every allocated cluster has an owner, and only those have one.
        EXPECT_EQ(owned, volume.geometry().totalClusters - volume.geometry().freeClusters);
    }
}

// The facts the volume scripts wrote down about the files they made.
TEST(ClusterMapOnVolumes, FragmentsOfTheFilesTheScriptsMade) {
    int checked = 0;
    for (const auto& v : Cases()) {
        const auto factsPath = FactsOf(v);
        if (!factsPath) {
            continue;
        }
        SCOPED_TRACE(v.name);
        const auto facts = ReadFacts(*factsPath);
        const auto s = Scan(v);
        ntfs::TCardinalArray order;
        ntfs::GetBaseIDOrder(s->table, order);
        std::map<std::int64_t, std::uint32_t> listed;
        for (const auto& row : ntfs::FragmentationRows(s->table, order)) {
            listed[row.BaseID] = row.Fragments;
        }

        // $MFT and its extension records.
        if (const auto it = facts.find("mft_extension_records"); it != facts.end()) {
            ntfs::TItemIDArray records;
            ntfs::GetRecordsOfBase(s->table, records, 0);
            const auto commas = std::count(it->second.begin(), it->second.end(), ',');
            EXPECT_EQ(records.size(),
                      static_cast<std::size_t>(it->second.empty() ? 1 : commas + 2));
        }
        for (const auto& [key, value] : facts) {
            const auto suffix = key.rfind("_record");
            if (suffix == std::string::npos || suffix + 7 != key.size()) {
                continue;
            }
            const std::string prefix = key.substr(0, suffix);
            const std::int64_t record = std::stoll(value);
            const auto index = s->table.IndexOfID(record);
            ASSERT_GE(index, 0) << key;
            ntfs::TItemIDArray records;
            ntfs::GetRecordsOfBase(s->table, records, record);
            const std::string extensions = facts.count(prefix + "_extension_records")
                                               ? facts.at(prefix + "_extension_records")
                                               : "";
            const auto extensionCount =
                extensions.empty() ? 0 : std::count(extensions.begin(), extensions.end(), ',') + 1;
            EXPECT_EQ(records.size(), static_cast<std::size_t>(1 + extensionCount)) << key;

            // All entries of the file that own clusters carry one flag, and
            // the list shows the file exactly when it has two runs or more.
            std::uint32_t total = 0;
            std::optional<bool> flag;
            TClusterArray extents;
            for (const std::int64_t i : records) {
                const auto& entry = s->table[static_cast<std::size_t>(i)];
                total += entry.Fragments;
                ntfs::GetFileExtents(static_cast<std::uint32_t>(i), s->byOwner, extents);
                if (!extents.empty()) {
                    if (flag) {
                        EXPECT_EQ(entry.Fragmented, *flag) << key << " record " << entry.FileID;
                    }
                    flag = entry.Fragmented;
                }
            }
            EXPECT_EQ(listed.count(record) == 1, total > 1) << key;
            if (total > 1) {
                EXPECT_EQ(listed[record], total) << key;
            }
            if (const auto runs = facts.find(prefix + "_runs"); runs != facts.end() &&
                                                                std::stoll(runs->second) == 1 &&
                                                                extensionCount == 0 && total == 1) {
                EXPECT_FALSE(s->table[static_cast<std::size_t>(index)].Fragmented) << key;
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 0);
}

} // namespace
} // namespace lorvex::test

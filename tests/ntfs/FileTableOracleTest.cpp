// The file table, attributes and runs on real volumes, against the
// independent reader: paths, run lists, sizes and completeness.
#include "ntfs/Attributes.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordReader.h"
#include "ondisk/Attribute.h"
#include "ondisk/ByteReader.h"
#include "ondisk/FileRecord.h"
#include "ondisk/Utf16.h"
#include "platform/RawVolumeSystem.h"
#include "support/FakeVolumeApi.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

namespace lorvex::test {
namespace {

using ntfs::NtfsVolume;
using ntfs::RecordReader;
using ntfs::TAttributes;
using ntfs::TDataRuns;
using ntfs::TFileIDs;
using platform::RawVolumeSystem;
using test::FakeVolumeApi;
using test::FakeVolumeData;

// A volume after the first three scan stages.
struct Scanned {
    std::unique_ptr<RawVolumeSystem> system;
    std::unique_ptr<NtfsVolume> volume;
    TFileIDs table;
    // The last progress the enumeration gave.
    double progress = -1;
};

std::unique_ptr<Scanned> Scan(const NtfsVolumeCase& v) {
    auto s = std::make_unique<Scanned>();
    s->system = std::make_unique<RawVolumeSystem>(std::vector<std::string>{v.source.string()});
    s->volume = std::make_unique<NtfsVolume>(
        *s->system, std::string(1, static_cast<char>('C' + v.partitionIndex)));
    s->volume->EnumerateFiles(s->table, [&s](double percent) { s->progress = percent; });
    s->table.BuildPaths();
    s->volume->CalculateDiskSizes(s->table);
    return s;
}

std::vector<NtfsVolumeCase> Cases() {
    auto cases = OracleVolumes();
    if (cases.empty()) {
        ADD_FAILURE() << "no test volumes in " << VolumeDir();
    }
    return cases;
}

// The oracle writes "Dir/file" where we write "\Dir\file".
std::string AsOraclePath(const std::u16string& path) {
    std::string p = ondisk::ToUtf8(path);
    if (!p.empty() && p.front() == '\\') {
        p.erase(0, 1);
    }
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

// Record number -> every path the oracle lists for it: each hard link on a
// line of its own, named streams as "path:stream" (kept with and without
// the stream). Deleted names are left out.
std::map<std::int64_t, std::set<std::string>> OraclePaths(const NtfsVolumeCase& v) {
    std::map<std::int64_t, std::set<std::string>> paths;
    std::istringstream in(Oracle("fls", v, "-r -p"));
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos || line.find(" * ") != std::string::npos ||
            line.rfind("V/V", 0) == 0) {
            continue;
        }
        std::istringstream head(line.substr(0, tab));
        std::string kind, inode;
        head >> kind >> inode;
        if (inode.empty() || !std::isdigit(static_cast<unsigned char>(inode[0]))) {
            continue;
        }
        const std::int64_t number = std::stoll(inode);
        const std::string path = line.substr(tab + 1);
        auto& set = paths[number];
        set.insert(path);
        const auto slash = path.rfind('/');
        const auto colon = path.find(':', slash == std::string::npos ? 0 : slash);
        if (colon != std::string::npos) {
            set.insert(path.substr(0, colon));
        }
    }
    return paths;
}

bool IsPlaceholder(std::u16string_view name) {
    return name.rfind(u"\\$### ID=", 0) == 0;
}

TEST(FileTableOracle, EveryPathMatchesTheIndependentReader) {
    for (const auto& v : Cases()) {
        SCOPED_TRACE(v.name);
        const auto s = Scan(v);
        const auto oracle = OraclePaths(v);
        ASSERT_GT(s->table.size(), 16);
        ASSERT_FALSE(oracle.empty());
        int checked = 0;
        for (std::int32_t i = 0; i < s->table.size(); ++i) {
            const auto& e = s->table[static_cast<std::size_t>(i)];
            const std::u16string path = s->table.Path(i);
            if (e.BaseID == ntfs::kRootDirectory) {
                continue;
            }
            SCOPED_TRACE("record " + std::to_string(e.FileID));
            const auto it = oracle.find(e.BaseID);
            if (it == oracle.end()) {
                // Only records without any name are missing from the tree.
                EXPECT_TRUE(IsPlaceholder(e.Name)) << ondisk::ToUtf8(path);
                EXPECT_EQ(path, e.Name);
                continue;
            }
            EXPECT_TRUE(it->second.count(AsOraclePath(path)))
                << ondisk::ToUtf8(path) << " vs " << *it->second.begin();
            ++checked;
        }
        EXPECT_GT(checked, 16);
    }
}

// The facts files name the interesting files of each generated volume by
// path and record number: each must get its path (a file with several hard
// links one of its names).
TEST(FileTableOracle, TheFilesOfTheFactsFilesHaveTheirPaths) {
    int checked = 0;
    for (const auto& v : Cases()) {
        auto factsFile = VolumeDir() / (v.name + ".facts");
        if (v.name == "demo") {
            factsFile = VolumeDir() / "demo.img.facts";
        }
        if (!std::filesystem::exists(factsFile)) {
            continue;
        }
        SCOPED_TRACE(v.name);
        const auto facts = ReadFacts(factsFile);
        const auto s = Scan(v);
        for (const auto& [key, value] : facts) {
            const auto cut = key.rfind("_path");
            if (cut == std::string::npos || cut + 5 != key.size()) {
                continue;
            }
            const std::string stem = key.substr(0, cut);
            const auto record = facts.find(stem + "_record");
            if (record == facts.end()) {
                continue;
            }
            SCOPED_TRACE(key);
            const auto index = s->table.IndexOfID(std::stoll(record->second));
            ASSERT_GE(index, 0);
            const std::string ours = "/" + AsOraclePath(s->table.Path(index));
            const auto names = facts.find(stem + "_names");
            if (names != facts.end() && names->second.find('/') != std::string::npos) {
                EXPECT_NE(("," + names->second + ",").find("," + ours + ","), std::string::npos)
                    << ours;
            } else if (facts.count(stem + "_links") && std::stoi(facts.at(stem + "_links")) > 1) {
                // One of many names, all in the same directory.
                EXPECT_EQ(ours.substr(0, ours.rfind('/')), value.substr(0, value.rfind('/')));
            } else {
                EXPECT_EQ(ours, value);
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 20);
}

// One attribute of the oracle's listing of a record, with its runs cut at
// its data size.
struct OracleAttribute {
    std::uint32_t type = 0;
    std::string name;
    bool resident = false;
    std::int64_t size = 0;
    std::vector<ntfs::TDataRun> runs; // Filler runs left out
};

std::vector<OracleAttribute> ParseIstat(const std::string& text) {
    std::vector<OracleAttribute> out;
    std::istringstream in(text.substr(std::min(text.find("\nAttributes:"), text.size())));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Type: ", 0) == 0) {
            OracleAttribute a;
            const auto open = line.find('(');
            a.type = static_cast<std::uint32_t>(std::stoul(line.substr(open + 1)));
            const auto nameAt = line.find("Name: ") + 6;
            a.name = line.substr(nameAt, line.find("   ", nameAt) - nameAt);
            if (a.name == "N/A") {
                a.name.clear();
            }
            a.resident = line.find("Non-Resident") == std::string::npos;
            const auto sizeAt = line.find("size: ");
            a.size = std::stoll(line.substr(sizeAt + 6));
            out.push_back(a);
        } else if (line.rfind("  Starting address: ", 0) == 0 && !out.empty()) {
            if (line.find("Filler") != std::string::npos) {
                continue;
            }
            const std::string address = line.substr(20, line.find(',') - 20);
            const auto lengthAt = line.find("length: ") + 8;
            ntfs::TDataRun run;
            run.Length = std::stoll(line.substr(lengthAt));
            run.Sparse = line.find("Sparse") != std::string::npos;
            run.LCN = run.Sparse ? 0 : std::stoll(address);
            out.back().runs.push_back(run);
        }
    }
    return out;
}

// istat for many records at once, two at a time.
std::map<std::int64_t, std::string> IstatAll(const NtfsVolumeCase& v,
                                             const std::vector<std::int64_t>& records) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("lorvex-istat-" + v.name + "-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string list;
    for (const auto n : records) {
        list += std::to_string(n) + "\n";
    }
    std::ofstream(dir / "records") << list;
    Run("xargs -P 2 -I{} sh -c 'istat -r -o " + std::to_string(v.offsetSectors) + " " +
        Quote(v.source) + " {} > " + Quote(dir) + "/{}.txt 2>/dev/null' < " +
        Quote(dir / "records"));
    std::map<std::int64_t, std::string> out;
    for (const auto n : records) {
        out[n] = ReadFile(dir / (std::to_string(n) + ".txt"));
    }
    std::filesystem::remove_all(dir);
    return out;
}

// Our runs of one attribute (type and name) over all records of one file,
// pieces in VCN order, cut at `clusters` the way the oracle cuts them.
struct Piece {
    std::int64_t vcn = 0;
    std::vector<ntfs::TDataRun> runs;
};

std::vector<ntfs::TDataRun> Joined(std::vector<Piece> pieces, std::int64_t clusters) {
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece& a, const Piece& b) { return a.vcn < b.vcn; });
    std::vector<ntfs::TDataRun> out;
    std::int64_t left = clusters;
    for (const auto& p : pieces) {
        for (auto run : p.runs) {
            if (left <= 0) {
                return out;
            }
            run.Length = std::min(run.Length, left);
            left -= run.Length;
            if (run.Sparse) {
                run.LCN = 0;
            }
            out.push_back(run);
        }
    }
    return out;
}

// The lowest VCN of the attribute at position `index` of record `recordNo`.
std::int64_t LowestVcn(RecordReader& records, std::int64_t recordNo, int index) {
    const auto view = records.Read(recordNo);
    if (!view) {
        return -1;
    }
    const auto record = view->bytes();
    ondisk::AttributeWalker walk(
        record, ondisk::ByteReader(record).u16(ondisk::record::kFirstAttribute).value_or(0));
    auto a = walk.Next();
    for (int i = 0; i < index && a; ++i) {
        a = walk.Next();
    }
    return a ? ondisk::ByteReader(a->bytes).i64(ondisk::attr::kLowestVcn).value_or(-1) : -1;
}

// The record numbers the facts file of a generated volume names (`KEY_record`),
// for a partition those under its own prefix; none for a volume without one.
std::set<std::int64_t> FactsRecords(const NtfsVolumeCase& v) {
    std::filesystem::path file = VolumeDir() / (v.name + ".facts");
    std::string prefix;
    if (v.name == "demo") {
        file = VolumeDir() / "demo.img.facts";
    } else if (const auto dash = v.name.find('-');
               v.name.starts_with("gpt-") || v.name.starts_with("mbr-")) {
        file = VolumeDir() / (v.name.substr(0, dash) + "-disk.facts");
        prefix = "p" + std::to_string(v.partitionIndex + 1) + "_";
    }
    std::set<std::int64_t> records;
    if (!std::filesystem::exists(file)) {
        return records;
    }
    for (const auto& [key, value] : ReadFacts(file)) {
        if (key.starts_with(prefix) && key.ends_with("_record") &&
            value.find_first_not_of("0123456789") == std::string::npos && !value.empty()) {
            records.insert(std::stoll(value));
        }
    }
    return records;
}

// The records on either side of each break between the $MFT's runs (a record
// there may lie in two runs), at most `most` breaks spread over the $MFT.
std::set<std::int64_t> RecordsAtMftBreaks(NtfsVolume& volume,
                                          const std::vector<std::int64_t>& mftRecords,
                                          std::size_t most) {
    std::vector<std::int64_t> breaks; // VCNs where a run starts, 0 left out
    RecordReader records = volume.OpenRecordReader();
    TAttributes attributes;
    TDataRuns runs;
    for (const auto record : mftRecords) {
        records.GetAttributes(attributes, record);
        for (int j = 0; j < attributes.size(); ++j) {
            const auto& a = attributes[static_cast<std::size_t>(j)];
            if (a.Resident || a.AttrType != ondisk::type::kData || !a.Name.empty()) {
                continue;
            }
            records.GetDataRuns(j, runs, record);
            std::int64_t vcn = LowestVcn(records, record, j);
            for (int k = 0; k < runs.size() && vcn >= 0; ++k) {
                if (vcn > 0) {
                    breaks.push_back(vcn);
                }
                vcn += runs[static_cast<std::size_t>(k)].Length;
            }
        }
    }
    std::ranges::sort(breaks);
    std::set<std::int64_t> out;
    const std::int64_t cluster = volume.geometry().bytesPerCluster;
    const std::int64_t record = volume.geometry().bytesPerRecord;
    for (std::size_t i = 0; i < std::min(most, breaks.size()); ++i) {
        const std::int64_t at = breaks[i * breaks.size() / std::min(most, breaks.size())] * cluster;
        out.insert((at - 1) / record);
        out.insert(at / record);
    }
    return out;
}

// The base records compared with the reader's. The long run (ctest -L long)
// takes every one; the default run a fixed sample that keeps every kind of
// record the volumes hold: the system files, files in more than one run,
// sparse and compressed ones, those with extension records, directories with
// index blocks, the files the facts name, the first user record and the
// last, the files of the records at the breaks between the $MFT's runs, and
// every 50th of the rest (on the demo volume about 230 of 3,800).
std::vector<std::int64_t>
ComparedRecords(const NtfsVolumeCase& v, Scanned& s,
                const std::map<std::int64_t, std::vector<std::int64_t>>& records) {
    std::vector<std::int64_t> all;
    for (const auto& [base, list] : records) {
        if (s.table.IndexOfID(base) >= 0) {
            all.push_back(base);
        }
    }
    if (Exhaustive() || all.empty()) {
        return all;
    }
    // Below 64 the system files, reserved records and the files in $Extend;
    // the first record above is the first user file the driver writes.
    constexpr std::int64_t kSystemRecords = 64;
    std::set<std::int64_t> picked = FactsRecords(v);
    const auto firstUser = std::ranges::lower_bound(all, kSystemRecords);
    if (firstUser != all.end()) {
        picked.insert(*firstUser);
    }
    picked.insert(all.back());
    if (const auto mft = records.find(0); mft != records.end()) {
        for (const auto n : RecordsAtMftBreaks(*s.volume, mft->second, 32)) {
            if (const auto index = s.table.IndexOfID(n); index >= 0) {
                picked.insert(s.table[static_cast<std::size_t>(index)].BaseID);
            }
        }
    }
    constexpr std::uint32_t kSparse = 0x200;
    constexpr std::uint32_t kCompressed = 0x800;
    for (const auto base : all) {
        const auto& e = s.table[static_cast<std::size_t>(s.table.IndexOfID(base))];
        const bool indexBlocks = e.FileType == ntfs::kTypeDirectory && e.Fragments > 0;
        if (base < kSystemRecords || indexBlocks || e.Fragments > 1 ||
            (e.Flags & (kSparse | kCompressed)) != 0 || records.at(base).size() > 1 ||
            base % 50 == 0) {
            picked.insert(base);
        }
    }
    std::vector<std::int64_t> out;
    std::ranges::copy_if(all, std::back_inserter(out),
                         [&](std::int64_t n) { return picked.count(n) != 0; });
    return out;
}

TEST(FileTableOracle, RunsAndSizesMatchTheIndependentReader) {
    for (const auto& v : Cases()) {
        SCOPED_TRACE(v.name);
        const auto s = Scan(v);
        NtfsVolume& volume = *s->volume;
        const std::int64_t cluster = volume.geometry().bytesPerCluster;
        std::map<std::int64_t, std::vector<std::int64_t>> records; // base -> its records
        for (std::int32_t i = 0; i < s->table.size(); ++i) {
            const auto& e = s->table[static_cast<std::size_t>(i)];
            records[e.BaseID].push_back(e.FileID);
        }
        const std::vector<std::int64_t> wanted = ComparedRecords(v, *s, records);
        RecordReader reader = volume.OpenRecordReader();
        ASSERT_TRUE(reader.IsOpen());
        std::printf("[ %s ] %zu of %zu base records compared%s\n", v.name.c_str(), wanted.size(),
                    records.size(), Exhaustive() ? "" : " (a sample; ctest -L long takes all)");
        const auto istat = IstatAll(v, wanted);
        TAttributes attributes;
        TDataRuns runs;
        int compared = 0;
        for (const auto base : wanted) {
            SCOPED_TRACE("record " + std::to_string(base));
            const auto theirs = ParseIstat(istat.at(base));
            ASSERT_FALSE(theirs.empty()) << istat.at(base);
            std::map<std::pair<std::uint32_t, std::string>, std::vector<Piece>> ours;
            std::int64_t diskClusters = 0;
            for (const auto record : records[base]) {
                reader.GetAttributes(attributes, record);
                ASSERT_GT(attributes.size(), 0);
                std::int64_t recordClusters = 0;
                std::uint32_t recordFragments = 0;
                for (int j = 0; j < attributes.size(); ++j) {
                    const auto& a = attributes[static_cast<std::size_t>(j)];
                    if (a.Resident) {
                        continue;
                    }
                    reader.GetDataRuns(j, runs, record);
                    Piece piece{LowestVcn(reader, record, j), {}};
                    for (int k = 0; k < runs.size(); ++k) {
                        const auto& run = runs[static_cast<std::size_t>(k)];
                        piece.runs.push_back(run);
                        if (!run.Sparse) {
                            recordClusters += run.Length;
                            ++recordFragments;
                        }
                    }
                    ours[{a.AttrType, a.Name}].push_back(piece);
                }
                // The disk-size stage walks each record once; it must find
                // what the attribute and run readers find.
                const auto& entry = s->table[static_cast<std::size_t>(s->table.IndexOfID(record))];
                EXPECT_EQ(entry.DiskSize, recordClusters * cluster);
                EXPECT_EQ(entry.Fragments, recordFragments);
                diskClusters += recordClusters;
            }
            std::set<std::pair<std::uint32_t, std::string>> seen;
            for (const auto& t : theirs) {
                if (t.resident) {
                    continue;
                }
                const std::pair key{t.type, t.name};
                SCOPED_TRACE("attribute " + std::to_string(t.type) + ":" + t.name);
                if (!seen.insert(key).second) {
                    continue;
                }
                const auto it = ours.find(key);
                ASSERT_NE(it, ours.end());
                const auto mine = Joined(it->second, (t.size + cluster - 1) / cluster);
                if (t.runs.empty()) {
                    // $BadClus:$Bad: one sparse run over the volume, not shown.
                    for (const auto& run : mine) {
                        EXPECT_TRUE(run.Sparse);
                    }
                    continue;
                }
                ASSERT_EQ(mine.size(), t.runs.size());
                for (std::size_t k = 0; k < mine.size(); ++k) {
                    EXPECT_EQ(mine[k].Sparse, t.runs[k].Sparse) << k;
                    EXPECT_EQ(mine[k].LCN, t.runs[k].LCN) << k;
                    EXPECT_EQ(mine[k].Length, t.runs[k].Length) << k;
                }
                ++compared;
            }
            for (const auto& [key, pieces] : ours) {
                EXPECT_TRUE(seen.count(key) || key.first == ondisk::type::kAttributeList)
                    << "non-resident " << key.first << ":" << key.second << " unknown to istat";
            }

            // The size of the first $DATA, when the base record holds it.
            const auto& entry = s->table[static_cast<std::size_t>(s->table.IndexOfID(base))];
            reader.GetAttributes(attributes, base);
            const ntfs::TAttribute* firstData = nullptr;
            bool hasFileName = false;
            for (int j = 0; j < attributes.size(); ++j) {
                const auto& a = attributes[static_cast<std::size_t>(j)];
                hasFileName = hasFileName || a.AttrType == ondisk::type::kFileName;
                if (a.AttrType == ondisk::type::kData && !firstData) {
                    firstData = &a;
                }
            }
            const auto data = std::find_if(theirs.begin(), theirs.end(), [&](const auto& t) {
                return t.type == ondisk::type::kData && (!firstData || t.name == firstData->Name);
            });
            if (firstData || !hasFileName) {
                if (data == theirs.end()) {
                    EXPECT_EQ(entry.Size, 0);
                } else {
                    EXPECT_EQ(entry.Size, data->size);
                    if (data->resident) {
                        EXPECT_EQ(entry.AllocatedSize, data->size);
                    } else {
                        // Every cluster of the stream, sparse ones included.
                        std::int64_t all = 0;
                        for (const auto& piece : ours[{data->type, data->name}]) {
                            for (const auto& run : piece.runs) {
                                all += run.Length;
                            }
                        }
                        EXPECT_EQ(entry.AllocatedSize, all * cluster);
                    }
                }
            } else {
                // $DATA only in extension records: the base entry has none.
                EXPECT_EQ(entry.Size, 0);
                EXPECT_EQ(entry.AllocatedSize, 0);
            }
            EXPECT_GE(diskClusters, 0);
        }
        EXPECT_GT(compared, 10);
    }
}

// The record numbers whose bit is set in the $MFT's own $BITMAP, read with
// the independent reader.
std::set<std::int64_t> MftBitmap(const NtfsVolumeCase& v, std::int64_t records) {
    const std::string bytes = Run("icat -o " + std::to_string(v.offsetSectors) + " " +
                                  Quote(v.source) + " 0-176 2>/dev/null");
    std::set<std::int64_t> inUse;
    for (std::int64_t n = 0; n < records && static_cast<std::size_t>(n / 8) < bytes.size(); ++n) {
        const unsigned byte = static_cast<unsigned char>(bytes[static_cast<std::size_t>(n / 8)]);
        if (((byte >> static_cast<unsigned>(n % 8)) & 1U) != 0) {
            inUse.insert(n);
        }
    }
    return inUse;
}

TEST(FileTableOracle, DemoTableHoldsEveryRecordInUseInOrder) {
    auto cases = Cases();
    auto demo =
        std::find_if(cases.begin(), cases.end(), [](const auto& c) { return c.name == "demo"; });
    if (demo == cases.end()) {
        demo = std::find_if(cases.begin(), cases.end(),
                            [](const auto& c) { return c.name == "ntfs-4k"; });
    }
    ASSERT_NE(demo, cases.end());
    SCOPED_TRACE(demo->name);
    const auto s = Scan(*demo);
    const auto& t = s->table;
    const std::int64_t records =
        s->volume->geometry().mftValidDataLength / s->volume->geometry().bytesPerRecord;
    const auto inUse = MftBitmap(*demo, records);
    ASSERT_GT(inUse.size(), 100U);

    std::set<std::int64_t> ours;
    for (std::int32_t i = 0; i < t.size(); ++i) {
        const auto& e = t[static_cast<std::size_t>(i)];
        if (i > 0) {
            EXPECT_LT(t[static_cast<std::size_t>(i - 1)].FileID, e.FileID);
        }
        ours.insert(e.FileID);
        if (e.FileID < ntfs::kFirstUserRecord) {
            EXPECT_EQ(e.FileType, e.FileID == 11 ? ntfs::kTypeSystemDirectory : ntfs::kTypeSystem)
                << e.FileID;
        }
        EXPECT_EQ(t.IndexOfID(e.FileID), i);
    }
    EXPECT_EQ(ours, inUse);
    // Extension records are in, each under its own number with its base's path.
    const auto facts =
        ReadFacts(VolumeDir() / (demo->name == "demo" ? "demo.img.facts" : "ntfs-4k.facts"));
    const std::int64_t base = std::stoll(facts.at("attrlist_names_record"));
    std::istringstream extensions(facts.at("attrlist_names_extension_records"));
    int found = 0;
    for (std::string n; std::getline(extensions, n, ',');) {
        const auto index = t.IndexOfID(std::stoll(n));
        ASSERT_GE(index, 0) << n;
        const auto& e = t[static_cast<std::size_t>(index)];
        EXPECT_EQ(e.BaseID, base);
        EXPECT_EQ(t.Path(index), t.Path(t.IndexOfID(base)));
        ++found;
    }
    EXPECT_GT(found, 0);
    EXPECT_EQ(s->progress, 100.0);
}

// Real records with bytes changed at random, read by every reader of the
// attributes and the file table: whatever the damage, each record in use
// still gets its entry and no read leaves its record (the sanitizer build
// tells).
TEST(FileTableOracle, RealRecordsWithRandomDamageAreReadSafely) {
    auto cases = Cases();
    const auto source =
        std::find_if(cases.begin(), cases.end(), [](const auto& c) { return c.name == "ntfs-4k"; });
    ASSERT_NE(source, cases.end());
    const auto s = Scan(*source);
    NtfsVolume& real = *s->volume;
    std::map<std::int64_t, std::vector<std::byte>> records;
    {
        RecordReader reader = real.OpenRecordReader();
        for (std::int32_t i = 0; i < s->table.size(); ++i) {
            const std::int64_t n = s->table[static_cast<std::size_t>(i)].FileID;
            const auto record = reader.ReadInUse(n);
            ASSERT_TRUE(record) << n;
            records[n].assign(record->bytes().begin(), record->bytes().end());
        }
    }

    std::mt19937 random(20261208);
    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE(round);
        FakeVolumeData data;
        data.totalClusters = real.geometry().totalClusters;
        data.bytesPerCluster = real.geometry().bytesPerCluster;
        data.bytesPerFileRecordSegment = real.geometry().bytesPerRecord;
        data.mftValidDataLength = real.geometry().mftValidDataLength;
        FakeVolumeApi api;
        auto& disk = api.AddNtfsDrive('C', data);
        for (const auto& [n, bytes] : records) {
            auto damaged = bytes;
            // The headers and the first attributes, where the lengths are.
            std::uniform_int_distribution<std::size_t> where(0x14, 0x1FF);
            const int changes = 1 + static_cast<int>(random() % 12);
            for (int c = 0; c < changes; ++c) {
                damaged[where(random)] = static_cast<std::byte>(random());
            }
            disk.records[n] = std::move(damaged);
        }
        NtfsVolume volume(api, "C");
        TFileIDs table;
        volume.EnumerateFiles(table, {});
        EXPECT_EQ(static_cast<std::size_t>(table.size()), records.size());
        table.BuildPaths();
        volume.CalculateDiskSizes(table);
        RecordReader reader = volume.OpenRecordReader();
        ASSERT_TRUE(reader.IsOpen());
        TAttributes attributes;
        TDataRuns runs;
        for (std::int32_t i = 0; i < table.size(); ++i) {
            const std::int64_t n = table[static_cast<std::size_t>(i)].FileID;
            EXPECT_FALSE(table.Path(i).empty()) << n;
            reader.GetAttributes(attributes, n);
            for (int j = 0; j < attributes.size(); ++j) {
                reader.GetDataRuns(j, runs, n);
            }
        }
    }
}

} // namespace
} // namespace lorvex::test

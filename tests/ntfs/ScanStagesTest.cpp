// The whole scan as the window and the command line run it.
#include "ntfs/ScanStages.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "platform/RawVolumeSystem.h"
#include "support/Export.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <new>
#include <string>
#include <vector>

namespace lorvex::test {
namespace {

using ntfs::NtfsVolume;
using ntfs::TClusterArray;
using ntfs::TFileIDs;

std::string Letter(const NtfsVolumeCase& v) {
    return std::string(1, static_cast<char>('C' + v.partitionIndex));
}

TEST(ScanStages, RunInOrderAndLeaveTheMapInClusterOrder) {
    const auto image = VolumeDir() / "demo.img";
    ASSERT_TRUE(std::filesystem::exists(image));
    platform::RawVolumeSystem sys({image.string()});
    NtfsVolume volume(sys, "C");
    TFileIDs fileIds;
    TClusterArray clusters;
    std::vector<std::string> titles;
    bool paintedInOwnerOrder = false;
    ntfs::ScanObserver observer;
    observer.stageStarted = [&](std::string_view t) { titles.emplace_back(t); };
    observer.paint = [&] {
        paintedInOwnerOrder =
            std::is_sorted(clusters.begin(), clusters.end(),
                           [](const auto& a, const auto& b) { return a.FileIndex < b.FileIndex; });
    };
    ntfs::RunScanStages(volume, fileIds, clusters, observer);
    EXPECT_EQ(titles, (std::vector<std::string>{"enumerating files", "parsing directories",
                                                "calculating real file size",
                                                "enumerating clusters", "getting fragments",
                                                "painting clusters", "sorting clusters"}));
    EXPECT_TRUE(paintedInOwnerOrder);
    EXPECT_TRUE(std::is_sorted(clusters.begin(), clusters.end(),
                               [](const auto& a, const auto& b) { return a.LCN < b.LCN; }));
    EXPECT_GT(fileIds.size(), 3000);
}

// Progress comes to the observer: 0 as each long stage begins, then rising
// to 100 by its end, every value from 0 to 100.
TEST(ScanStages, TheObserverHearsTheProgressOfBothLongStages) {
    platform::RawVolumeSystem sys({(VolumeDir() / "ntfs-4k.img").string()});
    NtfsVolume volume(sys, "C");
    TFileIDs fileIds;
    TClusterArray clusters;
    std::string stage = "before";
    std::map<std::string, std::vector<double>> progress;
    ntfs::ScanObserver observer;
    observer.stageStarted = [&](std::string_view t) { stage = t; };
    observer.progress = [&](double percent) { progress[stage].push_back(percent); };
    ntfs::RunScanStages(volume, fileIds, clusters, observer);
    // The 0 of each comes just before its title.
    EXPECT_EQ(progress["before"], std::vector<double>{0});
    EXPECT_EQ(progress[std::string(ntfs::kStageCalculatingSizes)], std::vector<double>{0});
    // The files are walked a block of records at a time, with progress after
    // a block; the clusters an entry at a time.
    ASSERT_GT(progress[std::string(ntfs::kStageEnumeratingClusters)].size(), 1000U);
    for (const auto title : {ntfs::kStageEnumeratingFiles, ntfs::kStageEnumeratingClusters}) {
        SCOPED_TRACE(title);
        const std::vector<double>& values = progress[std::string(title)];
        ASSERT_FALSE(values.empty());
        EXPECT_TRUE(std::ranges::is_sorted(values));
        EXPECT_GE(values.front(), 0);
        EXPECT_EQ(values.back(), 100);
    }
    EXPECT_EQ(progress.size(), 4U);
}

// The observer stops the scan when it says so: at once within a long stage,
// or as the next stage would begin.
TEST(ScanStages, TheObserverCancelsTheScan) {
    platform::RawVolumeSystem sys({(VolumeDir() / "ntfs-4k.img").string()});
    for (const bool withinStage : {true, false}) {
        SCOPED_TRACE(withinStage);
        NtfsVolume volume(sys, "C");
        TFileIDs fileIds;
        TClusterArray clusters;
        std::vector<std::string> titles;
        int reports = 0;
        bool stop = false;
        ntfs::ScanObserver observer;
        observer.stageStarted = [&](std::string_view t) {
            titles.emplace_back(t);
            stop = !withinStage && t == ntfs::kStageGettingFragments;
        };
        observer.progress = [&](double) {
            if (!titles.empty() && titles.back() == ntfs::kStageEnumeratingClusters) {
                ++reports;
                stop = stop || (withinStage && reports == 10);
            }
        };
        observer.cancelled = [&] { return stop; };
        EXPECT_THROW(ntfs::RunScanStages(volume, fileIds, clusters, observer), ntfs::ScanCancelled);
        if (withinStage) {
            EXPECT_EQ(titles.back(), "enumerating clusters");
            EXPECT_EQ(reports, 10);
        } else {
            EXPECT_EQ(titles.back(), "getting fragments");
            EXPECT_EQ(titles.size(), 5U);
        }
    }
}

// Memory running out in any stage stops the scan with a message that names
// the drive, and what the stages had built is given back.
TEST(ScanStages, RunningOutOfMemoryEmptiesTheTablesAndNamesTheDrive) {
    const auto image = VolumeDir() / "demo.img";
    platform::RawVolumeSystem sys({image.string()});
    for (const std::string_view failing :
         {ntfs::kStageCalculatingSizes, ntfs::kStageSortingClusters}) {
        SCOPED_TRACE(failing);
        NtfsVolume volume(sys, "C");
        TFileIDs fileIds;
        TClusterArray clusters;
        ntfs::ScanObserver observer;
        observer.stageStarted = [&](std::string_view t) {
            if (t == failing) {
                throw std::bad_alloc();
            }
        };
        try {
            ntfs::RunScanStages(volume, fileIds, clusters, observer);
            ADD_FAILURE() << "the scan went on";
        } catch (const ntfs::ScanOutOfMemory& e) {
            EXPECT_STREQ(e.what(), "Not enough memory to scan drive C:");
        }
        EXPECT_EQ(fileIds.size(), 0);
        EXPECT_EQ(fileIds.capacity(), 0U);
        EXPECT_EQ(clusters.capacity(), 0U);
    }
}

// The runs kept from the file enumeration stand in for reading every record
// again; the stages must come to the same tables either way.
TEST(ScanStages, KeptRunsGiveTheSameTablesAsReadingTheRecordsAgain) {
    for (const auto& v : OracleVolumes()) {
        SCOPED_TRACE(v.name);
        platform::RawVolumeSystem sys({v.source.string()});
        NtfsVolume kept(sys, Letter(v));
        TFileIDs a;
        TClusterArray ca;
        ntfs::RunScanStages(kept, a, ca, {});
        ASSERT_TRUE(a.recordRuns().Covers(a.size()));

        NtfsVolume reread(sys, Letter(v));
        TFileIDs b;
        TClusterArray cb;
        reread.EnumerateFiles(b, {});
        b.ClearRecordRuns();
        b.BuildPaths();
        reread.CalculateDiskSizes(b);
        reread.EnumerateClusters(b, cb, {});
        ntfs::GetFragments(b, cb);
        ntfs::SortClustersByLCN(cb);

        ASSERT_EQ(a.size(), b.size());
        for (int i = 0; i < a.size(); ++i) {
            const auto& x = a[static_cast<std::size_t>(i)];
            const auto& y = b[static_cast<std::size_t>(i)];
            ASSERT_EQ(x.FileID, y.FileID);
            EXPECT_EQ(x.DiskSize, y.DiskSize) << x.FileID;
            EXPECT_EQ(x.Fragments, y.Fragments) << x.FileID;
            EXPECT_EQ(x.Fragmented, y.Fragmented) << x.FileID;
        }
        ASSERT_EQ(ca.size(), cb.size());
        for (std::size_t k = 0; k < ca.size(); ++k) {
            EXPECT_EQ(ca[k].LCN, cb[k].LCN);
            EXPECT_EQ(ca[k].Length, cb[k].Length);
            EXPECT_EQ(ca[k].FileIndex, cb[k].FileIndex);
            EXPECT_EQ(ca[k].AttrType, cb[k].AttrType);
        }
    }
}

// A table that did not come from the enumeration (entries added by hand)
// has no kept runs, and the stages read the records themselves.
TEST(ScanStages, ATableBuiltByHandHasNoKeptRuns) {
    TFileIDs table;
    table.Add(u"\\a", ntfs::kTypeFile, {}, false, 40, 40);
    EXPECT_FALSE(table.recordRuns().Covers(table.size()));
    table.Reverse();
    EXPECT_FALSE(table.recordRuns().Covers(table.size()));
}

TEST(ScanStages, ExportWritesOneCrLfBlockPerEntry) {
    const auto image = VolumeDir() / "ntfs-4k.img";
    platform::RawVolumeSystem sys({image.string()});
    NtfsVolume volume(sys, "C");
    TFileIDs fileIds;
    TClusterArray clusters;
    ntfs::RunScanStages(volume, fileIds, clusters, {});
    const auto path = TempPath("lorvex-export-test.txt");
    ASSERT_TRUE(ExportTo(volume, fileIds, sys, path.string()).ok);
    const std::string text = ReadFile(path);
    std::size_t blocks = 0;
    std::size_t items = 0;
    for (std::size_t at = 0; at < text.size();) {
        const auto end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "a line without CR LF at " << at;
        const std::string line = text.substr(at, end - at);
        ASSERT_EQ(line.find('\n'), std::string::npos);
        blocks += line.empty() ? 1U : 0U;
        items += line.starts_with("Item:") ? 1U : 0U;
        at = end + 2;
    }
    EXPECT_EQ(items, static_cast<std::size_t>(fileIds.size()));
    EXPECT_EQ(blocks, items);
    EXPECT_TRUE(text.ends_with("\r\n\r\n"));
    // A second export replaces the file rather than appending to it.
    ASSERT_TRUE(ExportTo(volume, fileIds, sys, path.string()).ok);
    EXPECT_EQ(ReadFile(path), text);
    std::filesystem::remove(path);
}

TEST(ScanStages, ExportFailuresSayWhatTheSystemSaid) {
    platform::RawVolumeSystem sys({(VolumeDir() / "ntfs-small.img").string()});
    NtfsVolume volume(sys, "C");
    TFileIDs fileIds;
    TClusterArray clusters;
    ntfs::RunScanStages(volume, fileIds, clusters, {});
    const auto full = ExportTo(volume, fileIds, sys, std::string("/dev/full"));
    EXPECT_FALSE(full.ok);
    EXPECT_EQ(full.message, "Disk full");
    const auto missing = ExportTo(volume, fileIds, sys, std::string("/nonexistent/dir/out.txt"));
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.message, "File not found");
    EXPECT_EQ(ntfs::RuntimeErrorText(EACCES), "File access denied");
    EXPECT_EQ(ntfs::RuntimeErrorText(EIO), "I/O error 5");
    // After a failure the next export works.
    const auto path = TempPath("lorvex-export-again.txt");
    EXPECT_TRUE(ExportTo(volume, fileIds, sys, path.string()).ok);
    std::filesystem::remove(path);
}

TEST(ScanStages, SummaryTextUsesTheLocaleSeparators) {
    EXPECT_EQ(ntfs::VolumeSummaryText(1'000'000, 4096, "C:\\").back(), ' ');
    const auto text = ntfs::VolumeSummaryText(1'000'000, 4096, "C:\\");
    EXPECT_NE(text.find(" clusters ("), std::string::npos);
    EXPECT_NE(text.find(" GB) on drive C:\\ "), std::string::npos);
}

} // namespace
} // namespace lorvex::test

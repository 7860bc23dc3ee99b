// The --files listing written from the volume layer's blocks of records, on
// one thread and on several, against the same listing read a record query
// at a time: the same bytes in every format.
#include "records/FileTableListing.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/FileTable.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordBlocks.h"
#include "ntfs/ScanStages.h"
#include "platform/RawVolumeSystem.h"
#include "records/Record.h"
#include "support/QueryOnlyVolumeApi.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace lorvex::test {
namespace {

using records::Format;

constexpr Format kFormats[] = {Format::Json, Format::JsonLines, Format::Csv, Format::Text,
                               Format::Bodyfile};

std::string FormatName(Format format) {
    switch (format) {
    case Format::Json:
        return "json";
    case Format::JsonLines:
        return "jsonl";
    case Format::Csv:
        return "csv";
    case Format::Text:
        return "text";
    case Format::Bodyfile:
        return "bodyfile";
    }
    return "?";
}

// The listing of drive `drive` of `api` in each format, as lorvex-scan
// writes it for one drive (twice over for the tables: a second drive's rows
// follow the first's, as on a whole disk).
std::vector<std::string> ListFiles(platform::VolumeApi& api, const std::string& drive) {
    ntfs::NtfsVolume volume(api, drive);
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    ntfs::RunScanStages(volume, fileIds, clusters, {});
    std::vector<std::string> listings;
    for (const Format format : kFormats) {
        std::FILE* file = std::tmpfile();
        EXPECT_NE(file, nullptr);
        {
            records::Output out(file);
            const auto writer = records::MakeWriter(format, out);
            records::Record label;
            label.Add("drive", drive + ":");
            for (int d = 0; d < 2; ++d) {
                writer->BeginDrive(label);
                records::WriteFileTable(out, *writer, format, volume, fileIds);
                writer->EndDrive();
            }
            writer->Finish();
            EXPECT_TRUE(out.Flush());
        }
        std::string text;
        std::rewind(file);
        char buffer[1 << 16];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
            text.append(buffer, n);
        }
        std::fclose(file);
        listings.push_back(std::move(text));
    }
    return listings;
}

// Fragmented $MFTs, attribute lists (some non-resident), 4 KiB records,
// Windows' own volumes, and damaged copies with records that do not read.
TEST(FileTableListing, TheBlocksGiveTheBytesOfTheRecordQueryInEveryFormat) {
    const std::vector<NtfsVolumeCase> cases = BlockReaderVolumes();
    ASSERT_GT(cases.size(), 8U);
    for (const auto& v : cases) {
        SCOPED_TRACE(v.name);
        platform::RawVolumeSystem system({v.source.string()});
        QueryOnlyVolumeApi queryOnly(system);
        const std::string drive(1, static_cast<char>('C' + v.partitionIndex));
        const auto query = ListFiles(queryOnly, drive);
        ASSERT_EQ(query.size(), std::size(kFormats));
        // One JSON document, its rows of both drives separated by commas.
        const auto json = nlohmann::json::parse(query[0], nullptr, false);
        ASSERT_FALSE(json.is_discarded());
        ASSERT_EQ(json["drives"].size(), 2U);
        EXPECT_FALSE(json["drives"][0]["files"].empty());
        EXPECT_EQ(json["drives"][0]["files"], json["drives"][1]["files"]);
        for (const unsigned threads : {1U, 3U}) {
            const ScanThreadsGuard guard(threads);
            const auto blocks = ListFiles(system, drive);
            ASSERT_EQ(blocks.size(), query.size());
            for (std::size_t f = 0; f < query.size(); ++f) {
                EXPECT_TRUE(blocks[f] == query[f])
                    << FormatName(kFormats[f]) << " differs on " << threads << " thread(s)";
            }
        }
    }
}

// A write that fails ends the walk of the blocks: the listing stops, the
// output says it failed, and nothing hangs or throws.
TEST(FileTableListing, AFailedWriteEndsTheListing) {
    platform::RawVolumeSystem system({(VolumeDir() / "demo.img").string()});
    ntfs::NtfsVolume volume(system, "C");
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    ntfs::RunScanStages(volume, fileIds, clusters, {});
    for (const Format format : kFormats) {
        SCOPED_TRACE(FormatName(format));
        std::FILE* full = std::fopen("/dev/full", "wb");
        ASSERT_NE(full, nullptr);
        std::setvbuf(full, nullptr, _IONBF, 0);
        {
            records::Output out(full);
            const auto writer = records::MakeWriter(format, out);
            records::Record label;
            label.Add("drive", "C:");
            writer->BeginDrive(label);
            // Small blocks' texts would wait in the buffer: one pass to fill
            // it, the next must see the write fail.
            for (int pass = 0; pass < 400 && !out.Failed(); ++pass) {
                records::WriteFileTable(out, *writer, format, volume, fileIds);
            }
            EXPECT_TRUE(out.Failed());
            EXPECT_EQ(out.Error(), ENOSPC);
        }
        std::fclose(full);
    }
}

} // namespace
} // namespace lorvex::test

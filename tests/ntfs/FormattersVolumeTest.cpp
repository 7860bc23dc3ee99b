// The attribute section of real records, written by real NTFS code.
#include "ntfs/Attributes.h"
#include "ntfs/Formatters.h"
#include "ntfs/NtfsVolume.h"
#include "platform/RawVolumeSystem.h"
#include "support/Volumes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lorvex::test {
namespace {

using ntfs::NtfsVolume;
using ntfs::TAttributes;
using ntfs::TDataRuns;
using platform::RawVolumeSystem;

using Lines = std::vector<std::string>;

class AttributeSectionOnVolume : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto image = VolumeDir() / "ntfs-4k.img";
        if (!std::filesystem::exists(image)) {
            GTEST_SKIP() << image << " has not been generated";
        }
        facts_ = ReadFacts(VolumeDir() / "ntfs-4k.facts");
        system_ = std::make_unique<RawVolumeSystem>(std::vector<std::string>{image.string()});
        volume_ = std::make_unique<NtfsVolume>(*system_, "C");
        records_.emplace(*system_, volume_->devicePath(), volume_->geometry());
        ASSERT_TRUE(records_->IsOpen());
    }

    std::int64_t Record(const std::string& key) { return std::stoll(facts_.at(key + "_record")); }

    // One pair of lists for every record, as the reports and the export use them.
    Lines Section(std::int64_t recordNo) {
        Lines lines;
        ntfs::AppendAttributeSection(*records_, attributes_, runs_, recordNo,
                                     [&lines](std::string_view line) { lines.emplace_back(line); });
        return lines;
    }

    std::map<std::string, std::string> facts_;
    std::unique_ptr<RawVolumeSystem> system_;
    std::unique_ptr<NtfsVolume> volume_;
    // Made after the system and gone before it: it closes its handle there.
    std::optional<ntfs::RecordReader> records_;
    TAttributes attributes_;
    TDataRuns runs_;
};

bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::size_t CountStarting(const Lines& lines, std::string_view prefix) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [prefix](const std::string& l) { return StartsWith(l, prefix); }));
}

// The lines of the attribute whose line starts with `head`, up to the next
// attribute line.
Lines Block(const Lines& lines, std::string_view head) {
    const auto at = std::find_if(lines.begin(), lines.end(),
                                 [head](const std::string& l) { return StartsWith(l, head); });
    if (at == lines.end()) {
        return {};
    }
    const auto end = std::find_if(at + 1, lines.end(), [](const std::string& l) {
        return l.size() > 1 && l[0] == '\t' && l[1] != '\t';
    });
    return {at, end};
}

TEST_F(AttributeSectionOnVolume, AFragmentedFileListsEveryRunTwoTabsDeep) {
    const Lines lines = Section(Record("fragmented"));
    const Lines data = Block(lines, "\t$DATA(");
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data.front().substr(data.front().size() - 15), "  (nonresident)");
    EXPECT_EQ(data.size() - 1, std::stoull(facts_.at("fragmented_runs")));
    for (std::size_t i = 1; i < data.size(); ++i) {
        EXPECT_TRUE(StartsWith(data[i], "\t\tLCN:")) << data[i];
        EXPECT_EQ(data[i].back(), ' ') << data[i];
    }
}

std::string FileName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

bool Contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(AttributeSectionOnVolume, EveryFileNameHasItsLineInUtf8) {
    const Lines dos = Section(Record("dosname"));
    EXPECT_EQ(CountStarting(dos, "\t$FILE_NAME("), 2u);
    EXPECT_TRUE(Contains(dos, "\t\t" + FileName(facts_.at("dosname_path"))));
    EXPECT_TRUE(Contains(dos, "\t\t" + facts_.at("dosname_short")));

    // The facts are UTF-8, as our texts are.
    const Lines unicode = Section(Record("unicode_name"));
    EXPECT_TRUE(Contains(unicode, "\t\t" + FileName(facts_.at("unicode_name_path"))));
}

TEST_F(AttributeSectionOnVolume, AnAttributeListNamesTheExtensionRecords) {
    const std::int64_t base = Record("attrlist_runs");
    const Lines lines = Section(base);
    const Lines list = Block(lines, "\t$ATTRIBUTE_LIST(");
    ASSERT_FALSE(list.empty());
    const bool resident = list.front().find("(resident)") != std::string::npos;
    std::string extensions = facts_.at("attrlist_runs_extension_records") + ",";
    for (std::size_t comma; (comma = extensions.find(',')) != std::string::npos;
         extensions.erase(0, comma + 1)) {
        const std::string tail = " @ File ID " + extensions.substr(0, comma);
        EXPECT_TRUE(std::any_of(list.begin(), list.end(), [&](const std::string& l) {
            return l.size() > tail.size() &&
                   l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
        })) << tail;
    }
    // Entry texts sit one tab below the run lines of a non-resident list.
    const std::string_view entryPrefix = resident ? "\t\t$" : "\t\t\t$";
    EXPECT_EQ(CountStarting(list, entryPrefix) + CountStarting(list, "\t\tLCN:"), list.size() - 1);
    EXPECT_TRUE(std::any_of(list.begin() + 1, list.end(), [&](const std::string& l) {
        return StartsWith(l, entryPrefix) &&
               l.find(" @ File ID " + std::to_string(base)) != std::string::npos;
    }));
}

TEST_F(AttributeSectionOnVolume, SparseRunsAndNamedStreamsAreMarked) {
    const Lines sparse = Block(Section(Record("sparse")), "\t$DATA(");
    EXPECT_TRUE(std::any_of(sparse.begin(), sparse.end(), [](const std::string& l) {
        return StartsWith(l, "\t\tLCN:") && l.substr(l.size() - 9) == " (sparse)";
    }));

    const Lines streams = Section(Record("streams"));
    EXPECT_TRUE(std::any_of(streams.begin(), streams.end(), [](const std::string& l) {
        return StartsWith(l, "\t$DATA(") && l.find(") Zone.Identifier (") != std::string::npos;
    }));
}

// The whole section of the system records against a reviewed text. mkntfs
// lays them out from the volume's size and cluster size alone, so the files
// the fixture script adds do not move them. Set LORVEX_UPDATE_GOLDEN=1 to
// rewrite the text after a deliberate change, and review the difference.
TEST_F(AttributeSectionOnVolume, SystemRecordsMatchTheReviewedText) {
    std::string actual;
    for (const std::int64_t record : {1, 2, 3, 4, 6, 7, 8, 10, 11}) {
        actual += "== record " + std::to_string(record) + "\n";
        for (const std::string& line : Section(record)) {
            actual += line + "\n";
        }
    }
    const std::filesystem::path golden =
        std::filesystem::path(LORVEX_GOLDEN_DIR) / "ntfs-4k-system-records.txt";
    if (const char* update = std::getenv("LORVEX_UPDATE_GOLDEN"); update && *update == '1') {
        std::ofstream(golden, std::ios::binary) << actual;
    }
    EXPECT_EQ(actual, ReadFile(golden));
}

} // namespace
} // namespace lorvex::test

#include "cli/CheckListing.h"

#include "ondisk/Utf16.h"

#include <cstdio>

namespace lorvex::cli {

void FillProblem(Record& row, const ntfs::THealthProblem& problem,
                 const ntfs::THealthReport& report, const ntfs::TFileIDs& fileIds,
                 SourceTexts texts) {
    row.Clear();
    row.Add("kind", ntfs::HealthKindName(problem.Kind));
    row.Add("first_lcn", problem.FirstLCN);
    row.Add("count", problem.Count);
    std::string& claimants = row.AddText("claimant_records");
    for (const auto& claimant : report.ClaimantsOf(problem)) {
        // Appended piece by piece: GCC 12 at -O3 warns falsely
        // (-Wrestrict) on a literal + std::string.
        if (!claimants.empty()) {
            claimants.push_back(' ');
        }
        claimants.append(std::to_string(claimant.RecordNo));
    }
    auto& list = row.AddList("claimants");
    std::u16string path;
    for (const auto& claimant : report.ClaimantsOf(problem)) {
        Record& item = list.Add();
        item.Add("record", claimant.RecordNo);
        if (claimant.FileIndex >= 0) {
            GetEntryPath(fileIds, claimant.FileIndex, texts, path);
            item.Add("path", ondisk::ToUtf8(path));
        } else {
            item.AddNull("path");
        }
    }
}

namespace {

// "; not checked: the allocation bitmap, ..." or nothing.
std::string UncheckedText(const ntfs::THealthReport& report) {
    std::string unchecked;
    const auto note = [&unchecked](bool checked, const char* what) {
        if (!checked) {
            unchecked += unchecked.empty() ? "; not checked: " : ", ";
            unchecked += what;
        }
    };
    note(report.BitmapChecked, "the allocation bitmap");
    note(report.RecordsChecked, "the $MFT's bitmap");
    note(report.MirrorChecked, "$MFTMirr");
    return unchecked;
}

// The count of each kind, and what could not be checked.
void FillCounts(Record& row, const ntfs::THealthReport& report, const std::string& unchecked) {
    row.Clear();
    row.Add("problems", report.Problems.size());
    const auto counts = report.CountByKind();
    for (std::size_t k = 0; k < counts.size(); ++k) {
        row.Add(ntfs::HealthKindName(static_cast<ntfs::THealthKind>(k)), counts[k]);
    }
    row.Add("not_checked", unchecked);
}

} // namespace

int WriteCheck(const ScannedDrive& scan, Listing& listing) {
    const auto words = scan.bitmap.Words();
    const auto report =
        ntfs::CheckVolumeHealth(scan.volume, scan.system, scan.fileIds, scan.clusters,
                                {words, words.empty() ? 0 : scan.volume.geometry().totalClusters});
    RecordWriter& writer = listing.writer;
    writer.BeginTable("check");
    for (const auto& problem : report.Problems) {
        FillProblem(listing.row, problem, report, scan.fileIds, listing.Texts());
        writer.Row(listing.row);
    }
    const std::string unchecked = UncheckedText(report);
    FillCounts(listing.row, report, unchecked);
    const bool said = writer.Footer("check", listing.row);
    writer.EndTable();
    if (!said && !unchecked.empty()) {
        listing.out.Flush();
        std::fprintf(stderr, "lorvex-scan: %s\n", unchecked.c_str() + 2);
    }
    if (!report.Problems.empty()) {
        return 3;
    }
    return unchecked.empty() ? 0 : 1;
}

} // namespace lorvex::cli

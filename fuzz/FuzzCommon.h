#pragma once

// What every fuzz target does once its bytes have become a volume: the readers
// of single records as the reports call them, and the whole scan with the
// export, the lookups and the list of fragmented files, as lorvex-scan does.

#include "ntfs/Attributes.h"
#include "ntfs/ClusterMap.h"
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/Formatters.h"
#include "ntfs/NtfsVolume.h"
#include "ntfs/RecordDescription.h"
#include "ntfs/RecordReader.h"
#include "ntfs/ScanStages.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <sys/types.h>
#include <vector>

namespace lorvex::fuzz {

// The cluster sizes an input picks from with two bits.
inline constexpr std::array<std::uint32_t, 4> kClusterSizes = {512, 1024, 4096, 65536};

// A finding of our own checks, reported the way the sanitizers report theirs.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void Check(bool ok, const char* what) {
    if (!ok) {
        Fail(what);
    }
}

// A stream that swallows what is written, so that the export does all its
// formatting without a single system call.
inline std::FILE* NullFile() {
    static std::FILE* file = [] {
        cookie_io_functions_t io{};
        io.write = [](void*, const char*, std::size_t size) -> ssize_t {
            return static_cast<ssize_t>(size);
        };
        return fopencookie(nullptr, "w", io);
    }();
    return file;
}

// Every reader of one record through one record reader: the attribute list
// and texts, the runs of every attribute (and of indexes that do not exist),
// the file's description and sizes, and the attribute section.
inline void ExerciseRecord(ntfs::RecordReader& volume, std::int64_t recordNo) {
    ntfs::TAttributes attributes;
    ntfs::TDataRuns runs;
    volume.GetAttributes(attributes, recordNo);
    Check(attributes.size() >= 0, "attribute count not negative");
    std::size_t text = 0;
    for (int i = 0; i < attributes.size(); ++i) {
        text += attributes.AttributeToStr(i).size();
        volume.GetDataRuns(i, runs, recordNo);
        const bool resident = attributes[static_cast<std::size_t>(i)].Resident;
        Check(!resident || runs.size() == 0, "a resident attribute has no runs");
        for (int j = 0; j < runs.size(); ++j) {
            text += runs.RunToStr(j).size();
        }
    }
    for (const int index : {-1, attributes.size(), attributes.size() + 1, 300}) {
        volume.GetDataRuns(index, runs, recordNo);
        Check(index < 0 || index < attributes.size() || runs.size() == 0,
              "no runs past the last attribute");
    }
    bool isDirectory = false;
    bool isSystem = false;
    std::u16string name;
    ntfs::TFileInfo info;
    ntfs::DescribeFile(volume, isDirectory, isSystem, name, info, recordNo);
    Check(!name.empty() && name.front() == u'\\', "every name starts with a backslash");
    ntfs::ReadRecordSizes(volume, info.Size, info.AllocatedSize, recordNo);
    std::size_t lines = 0;
    ntfs::AppendAttributeSection(volume, attributes, runs, recordNo, [&](std::string_view line) {
        ++lines;
        text += line.size();
    });
    Check(lines >= static_cast<std::size_t>(attributes.size()), "one line per attribute at least");
    (void)text;
}

// The scan as the window and lorvex-scan run it, then what they do with the
// tables: the export, the owners of a few clusters, the fragmented files and
// the records of a base record.
inline void ExerciseScan(ntfs::NtfsVolume& volume) {
    ntfs::TFileIDs fileIds;
    ntfs::TClusterArray clusters;
    ntfs::RunScanStages(volume, fileIds, clusters, {});
    Check(fileIds.size() >= 0, "file-table count not negative");
    for (int i = 1; i < fileIds.size(); ++i) {
        Check(fileIds[static_cast<std::size_t>(i - 1)].FileID <
                  fileIds[static_cast<std::size_t>(i)].FileID,
              "file table in strictly ascending record order");
    }
    for (std::size_t k = 1; k < clusters.size(); ++k) {
        Check(clusters[k - 1].LCN <= clusters[k].LCN, "map left in LCN order");
    }
    for (const auto& extent : clusters) {
        Check(extent.FileIndex < static_cast<std::uint32_t>(fileIds.size()),
              "every extent names an entry of this table");
    }
    const ntfs::ExportResult exported = ntfs::ExportFileTable(volume, fileIds, NullFile());
    Check(exported.ok, "the export to a sink that never fails succeeds");

    std::string text;
    std::vector<std::int64_t> probes = {0,
                                        1,
                                        volume.geometry().mftZoneStart,
                                        volume.geometry().mftZoneEnd,
                                        volume.geometry().totalClusters - 1,
                                        -1,
                                        std::int64_t{1} << 40};
    for (std::size_t k = 0; k < clusters.size() && k < 8; ++k) {
        probes.push_back(clusters[k].LCN);
        probes.push_back(ntfs::ExtentEnd(clusters[k].LCN, clusters[k].Length) - 1);
    }
    for (const std::int64_t lcn : probes) {
        const std::int64_t owner = ntfs::FindClusterOwner(clusters, lcn);
        Check(owner >= -1 && owner < fileIds.size(), "an owner is -1 or an entry");
        volume.DescribeCluster(clusters, fileIds, text, true, lcn);
        volume.DescribeCluster(clusters, fileIds, text, false, lcn);
    }
    ntfs::TCardinalArray order;
    ntfs::GetBaseIDOrder(fileIds, order);
    (void)ntfs::FragmentationRows(fileIds, order);
    ntfs::TItemIDArray records;
    for (int i = 0; i < fileIds.size() && i < 4; ++i) {
        ntfs::GetRecordsOfBase(fileIds, records, fileIds[static_cast<std::size_t>(i)].BaseID);
        Check(!records.empty(), "a base record of the table has at least one record");
    }
    std::u16string path;
    for (int i = 0; i < fileIds.size() && i < 64; ++i) {
        fileIds.GetFullPath(i, path);
        Check(path == fileIds.Path(i), "a path walked on its own equals the one BuildPaths gave");
    }
    ntfs::SortClustersByFileIndex(clusters);
    ntfs::TClusterArray extents;
    for (int i = 0; i < fileIds.size() && i < 16; ++i) {
        ntfs::GetFileExtents(static_cast<std::uint32_t>(i), clusters, extents);
        for (const auto& e : extents) {
            Check(e.FileIndex == static_cast<std::uint32_t>(i), "extents of the entry asked for");
        }
    }
}

// Little-endian numbers from the head of a fuzz input; 0 past its end.
class InputReader {
  public:
    explicit InputReader(std::span<const std::uint8_t> data) : data_(data) {}

    std::uint64_t Take(std::size_t width) {
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < width && pos_ < data_.size(); ++i, ++pos_) {
            v |= std::uint64_t{data_[pos_]} << (8 * i);
        }
        return v;
    }
    // The next `n` bytes, or what is left.
    std::span<const std::byte> Bytes(std::size_t n) {
        const std::size_t take = std::min(n, data_.size() - pos_);
        const auto out = std::as_bytes(data_.subspan(pos_, take));
        pos_ += take;
        return out;
    }
    std::span<const std::byte> Rest() { return Bytes(data_.size() - pos_); }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
};

} // namespace lorvex::fuzz

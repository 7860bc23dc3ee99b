#pragma once

#include "ntfs/ClusterMap.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lorvex::platform {
class VolumeApi;
} // namespace lorvex::platform

// A damaged disk: the areas of its source that a rescue copy could not read
// (a GNU ddrescue mapfile, or a list of bad sectors), and the files, the
// attributes, the byte ranges and the $MFT records that lie on them.
namespace lorvex::ntfs {

class TFileIDs;
class NtfsVolume;

// A stretch of the source not known to be good, in bytes of the source (the
// whole image or disk), with the status its map gave it: '-' bad, '/' not
// scraped, '*' not trimmed, '?' not tried; 'B' for a listed bad sector.
struct TBadArea {
    std::uint64_t First = 0;
    std::uint64_t Length = 0;
    char Status = '-';
};

struct TDamageMap {
    // Sorted, none overlapping; empty when the map could not be read.
    std::vector<TBadArea> Areas;
    // Why the map could not be read, with the line it failed on; empty when
    // it was read.
    std::string Error;
    // What was read but set aside (areas past the source's end).
    std::vector<std::string> Notes;
    // How many lines were read, and how many of them listed an area (a
    // mapfile's blocks, a list's sector numbers): sectors next to each other
    // are one area.
    std::uint64_t Lines = 0;
    std::uint64_t Listed = 0;
    bool SectorList = false; // a list of sectors, not a mapfile
};

// Reads a damage map a piece of its text at a time, so that a list of a
// hundred million sectors costs the memory of its areas, not of its lines:
// sectors are merged into areas as they come.
class TDamageMapReader {
  public:
    // A ddrescue mapfile when `sectorSize` is 0; a list of sectors of that
    // many bytes otherwise.
    explicit TDamageMapReader(std::uint32_t sectorSize);

    // Takes the next bytes of the text; false once the map is found
    // damaged, when the rest is not needed.
    bool Feed(std::string_view bytes);
    // The map, once all of the text is fed.
    TDamageMap Finish();

  private:
    bool Line(std::string_view line);
    bool MapfileLine(std::string_view line);
    bool SectorLine(std::string_view line);
    bool Fail(std::string_view what);
    // Sorts the sector areas and merges those that touch.
    void MergeSectors();

    std::uint32_t sectorSize_ = 0;
    TDamageMap map_;
    std::string partial_; // the start of a line the bytes fed so far cut off
    bool failed_ = false;
    bool sawStatusLine_ = false; // a mapfile's current position and status
    std::uint64_t end_ = 0;      // of a mapfile's last block
    std::size_t merged_ = 0;     // sector areas after the last merge
};

// A ddrescue mapfile: comment lines start with '#', the first other line is
// the current position and status, every line after it "POS SIZE STATUS"
// (numbers in decimal or 0x hexadecimal). Every status but '+' is kept as an
// area. Lines out of order or overlapping are an error: a map whose areas
// contradict each other proves nothing about any of them.
TDamageMap ParseRescueMap(std::string_view text);

// One sector number per line (blank lines and '#' comments allowed), each
// sector `sectorSize` bytes; the numbers may come in any order.
TDamageMap ParseBadSectorList(std::string_view text, std::uint32_t sectorSize);

// Whether a damage file reads as a list of sector numbers (its first line
// that is not a comment holds one number) rather than a mapfile.
bool LooksLikeSectorList(std::string_view text);

// The damage map in the file at `path`, read a piece at a time: a mapfile
// when `sectorSize` is 0, a list of sectors of that size otherwise. Only a
// regular file is a damage map: anything else (a FIFO, which would wait for
// a writer, a device, a folder) is refused at once, Error saying what it is.
TDamageMap ReadDamageFile(const std::string& path, std::uint32_t sectorSize);

// Whether the damage file at `path` reads as a list of sector numbers, from
// its first bytes; nullopt with the reason in `why` when it cannot be read
// or is no regular file.
std::optional<bool> DamageFileLooksLikeSectorList(const std::string& path, std::string& why);

// Sets aside the parts of the areas past `sourceSize` with a note.
void ClipToSource(TDamageMap& map, std::uint64_t sourceSize);

// A stretch of a file's attribute that lies on a bad area.
struct TDamageHit {
    std::int64_t RecordNo = 0;
    std::int32_t FileIndex = -1;
    std::uint32_t AttrType = 0;
    std::u16string AttrName;
    // Within the attribute's stream.
    std::int64_t FirstByte = 0;
    std::int64_t ByteCount = 0;
    // Where on the volume: the byte of FirstByte, and the clusters.
    std::int64_t VolumeByte = 0;
    std::int64_t FirstLCN = 0;
    std::int64_t Clusters = 0;
    char Status = '-';
};

// An $MFT record that lies on a bad area: the file whose record it is cannot
// be read from that disk.
struct TDamagedRecord {
    std::int64_t RecordNo = 0;
    std::int32_t FileIndex = -1; // -1: a record the scan does not hold (free)
    std::int64_t LCN = 0;        // where the record begins
    char Status = '-';
};

struct TDamageReport {
    // By record, then attribute, then byte.
    std::vector<TDamageHit> Hits;
    std::vector<TDamagedRecord> Records;
    // The volume's clusters that touch a bad area, sorted, for the map.
    std::vector<TBadArea> Clusters; // First and Length in clusters here
};

// The files on the bad areas of `map`, whose positions are bytes of the
// source; the volume begins `volumeOffset` bytes into it. `byLcn` is the
// scan's map in LCN order. Only bytes that lie on a bad area are named: a
// file whose cluster is only partly bad is hit at the bytes that are, and
// nothing past an attribute's data size counts.
TDamageReport ResolveDamage(NtfsVolume& volume, const TFileIDs& fileIds, const TClusterArray& byLcn,
                            const TDamageMap& map, std::uint64_t volumeOffset);

} // namespace lorvex::ntfs

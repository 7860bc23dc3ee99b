#pragma once

#include "ntfs/Attributes.h"
#include "ondisk/Attribute.h"
#include "ondisk/Printable.h"
#include "ondisk/Utf16.h"

#include <concepts>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The one-line texts of entries, attributes and runs, and the attribute
// section that the reports and the export share. TDataRuns::RunToStr,
// TFileIDs::ItemToStr and TAttributes::AttributeToStr are defined with them.

namespace lorvex::ntfs {

// "FILE", "DIRECTORY" or "SYSFILE"; empty for every other value, 6 included.
std::string FileTypeToStr(std::uint8_t fileType);

std::string YesNoToStr(bool value);

// The names of the set file attribute bits, joined by "|". Bits without a
// name (0x8, 0x8000 to 0x8000000, 0x40000000, 0x80000000) are left out.
std::string FileFlagsToStr(std::uint32_t flags);

// The set bits of a volume's file-system flags (VolumeInformation), named
// as the system names them and joined by "|" in a fixed order that is not
// the order of the bits: "FILE_CASE_PRESERVED_NAMES|FILE_CASE_SENSITIVE_SEARCH".
// Bits without a name are left out.
std::string FileSystemFlagsText(std::uint32_t flags);

// A volume serial number as "XXXX-XXXX": upper-case hex, leading zeros kept.
std::string VolumeSerialText(std::uint32_t serial);

// The text of an entry line (a file name or an attribute-list line) of the
// attribute section, what is not printable escaped as in a name
// (ondisk/Printable.h).
std::string EntryToStr(std::u16string_view entry);

// Receives the section line by line, without line ends: the report window
// appends them, the export writes them with CR LF.
using LineSink = std::function<void(std::string_view line)>;

// What the section reads its lists from: a RecordReader, a block of records
// in hand (BlockAttributeReader), or the volume with its bracket open.
template <class T>
concept AttributeReader = requires(T& reader, TAttributes& attributes, TDataRuns& runs,
                                   std::int64_t recordNo) {
    reader.GetAttributes(attributes, recordNo);
    reader.GetDataRuns(0, runs, recordNo);
};

// The attribute section of record `recordNo`: per attribute a line with one
// tab, its runs with two tabs when it is non-resident, then the texts of a
// $FILE_NAME or $ATTRIBUTE_LIST, two tabs deep below a resident attribute
// and three below a non-resident one. No heading and no closing line. The
// two lists are the caller's, reused from record to record.
//
// Each line is handed to `emit(tabs, write)`, where write(std::string& out)
// appends the line's text after its tabs: the export appends every line
// straight into its block of text, the reports take them one by one.
template <AttributeReader Reader, class Emit>
void EmitAttributeSection(Reader& reader, TAttributes& attributes, TDataRuns& runs,
                          std::int64_t recordNo, Emit&& emit) {
    reader.GetAttributes(attributes, recordNo);
    for (int i = 0; i < attributes.size(); ++i) {
        emit("\t", [&](std::string& out) { attributes.AppendAttributeText(i, out); });
        const TAttribute& attribute = attributes[static_cast<std::size_t>(i)];
        std::string_view prefix = "\t\t";
        if (!attribute.Resident) {
            reader.GetDataRuns(i, runs, recordNo);
            for (int j = 0; j < runs.size(); ++j) {
                emit("\t\t", [&](std::string& out) { runs.AppendRunText(j, out); });
            }
            prefix = "\t\t\t";
        }
        if (attribute.AttrType == ondisk::type::kFileName ||
            attribute.AttrType == ondisk::type::kAttributeList) {
            for (const std::u16string& entry : attribute.Entries) {
                emit(prefix, [&](std::string& out) { ondisk::AppendPrintableName(entry, out); });
            }
        }
    }
}

// The same section line by line into `sink`.
template <AttributeReader Reader>
void AppendAttributeSection(Reader& reader, TAttributes& attributes, TDataRuns& runs,
                            std::int64_t recordNo, const LineSink& sink) {
    // A fresh string a line: GCC 12 at -O3 warns falsely (-Wrestrict) when
    // one string's room is assigned and appended to again and again.
    EmitAttributeSection(reader, attributes, runs, recordNo,
                         [&](std::string_view tabs, const auto& write) {
                             std::string line(tabs);
                             write(line);
                             sink(line);
                         });
}

} // namespace lorvex::ntfs

#include "ntfs/Formatters.h"

#include "ntfs/FileTable.h"
#include "ntfs/NumberFormat.h"
#include "ondisk/Printable.h"
#include "ondisk/Utf16.h"
#include "volume/VolumeApi.h"

#include <array>
#include <utility>

namespace lorvex::ntfs {
namespace {

// In the order the texts list them.
constexpr std::array<std::pair<std::uint32_t, std::string_view>, 16> kFileFlagWords{{
    {0x1, "READONLY"},
    {0x2, "HIDDEN"},
    {0x4, "SYSTEM"},
    {0x10, "BIT4"},
    {0x20, "ARCHIVE"},
    {0x40, "DEVICE"},
    {0x80, "NORMAL"},
    {0x100, "TEMPORARY"},
    {0x200, "SPARSE"},
    {0x400, "REPARSE"},
    {0x800, "COMPRESSED"},
    {0x1000, "OFFLINE"},
    {0x2000, "NOINDEX"},
    {0x4000, "ENCRYPTED"},
    {0x10000000, "DIRECTORY"},
    {0x20000000, "INDEXVIEW"},
}};

// The volume's file-system flags, in the order the texts list them, which
// is not the order of the bits.
constexpr std::array<std::pair<std::uint32_t, std::string_view>, 14> kFileSystemFlagWords{{
    {platform::fsflags::kCasePreservedNames, "FILE_CASE_PRESERVED_NAMES"},
    {platform::fsflags::kCaseSensitiveSearch, "FILE_CASE_SENSITIVE_SEARCH"},
    {platform::fsflags::kFileCompression, "FILE_FILE_COMPRESSION"},
    {platform::fsflags::kNamedStreams, "FILE_NAMED_STREAMS"},
    {platform::fsflags::kPersistentAcls, "FILE_PERSISTENT_ACLS"},
    {platform::fsflags::kReadOnlyVolume, "FILE_READ_ONLY_VOLUME"},
    {platform::fsflags::kSupportsEncryption, "FILE_SUPPORTS_ENCRYPTION"},
    {platform::fsflags::kSupportsObjectIds, "FILE_SUPPORTS_OBJECT_IDS"},
    {platform::fsflags::kSupportsReparsePoints, "FILE_SUPPORTS_REPARSE_POINTS"},
    {platform::fsflags::kSupportsRemoteStorage, "FILE_SUPPORTS_REMOTE_STORAGE"},
    {platform::fsflags::kSupportsSparseFiles, "FILE_SUPPORTS_SPARSE_FILES"},
    {platform::fsflags::kUnicodeOnDisk, "FILE_UNICODE_ON_DISK"},
    {platform::fsflags::kVolumeIsCompressed, "FILE_VOLUME_IS_COMPRESSED"},
    {platform::fsflags::kVolumeQuotas, "FILE_VOLUME_QUOTAS"},
}};

// The words of the set bits, joined by "|"; bits without a word are left out.
template <class Words> std::string JoinedFlagWords(std::uint32_t flags, const Words& words) {
    std::string text;
    for (const auto& [bit, word] : words) {
        if ((flags & bit) != 0) {
            if (!text.empty()) {
                text += '|';
            }
            text += word;
        }
    }
    return text;
}

// Indices come from the callers' own loops; one outside the list still
// yields a line rather than a read past the array.
template <class List> bool HasItem(const List& list, int index) {
    return index >= 0 && index < list.size();
}

} // namespace

std::string FileTypeToStr(std::uint8_t fileType) {
    switch (fileType) {
    case kTypeFile:
        return "FILE";
    case kTypeSystem:
        return "SYSFILE";
    case kTypeDirectory:
        return "DIRECTORY";
    default:
        return {};
    }
}

std::string YesNoToStr(bool value) {
    return value ? "YES" : "NO";
}

std::string FileFlagsToStr(std::uint32_t flags) {
    return JoinedFlagWords(flags, kFileFlagWords);
}

std::string FileSystemFlagsText(std::uint32_t flags) {
    return JoinedFlagWords(flags, kFileSystemFlagWords);
}

std::string VolumeSerialText(std::uint32_t serial) {
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    std::string text(9, '-');
    for (std::size_t i = 0; i < 8; ++i) {
        const auto nibble = (serial >> (28 - 4 * i)) & 0xFU;
        text[i < 4 ? i : i + 1] = kDigits[nibble];
    }
    return text;
}

std::string EntryToStr(std::u16string_view entry) {
    std::string text;
    ondisk::AppendPrintableName(entry, text);
    return text;
}

std::string TDataRuns::RunToStr(int index) const {
    std::string text;
    AppendRunText(index, text);
    return text;
}

void TDataRuns::AppendRunText(int index, std::string& out) const {
    if (!HasItem(*this, index)) {
        return;
    }
    // Appended in place: the export makes one of these lines per run of
    // every file of the volume.
    const TDataRun& run = (*this)[static_cast<std::size_t>(index)];
    out.append("LCN:");
    AppendDecimal(run.LCN, out);
    out.append(" LEN:");
    AppendDecimal(run.Length, out);
    out.append(" ");
    if (run.Sparse) {
        out.append("(sparse)");
    }
}

std::string TFileIDs::ItemToStr(int index, bool fullPath) const {
    std::string text;
    std::u16string path;
    AppendItemText(index, fullPath, text, path);
    return text;
}

void TFileIDs::AppendItemText(int index, bool fullPath, std::string& out,
                              std::u16string& path) const {
    if (!HasItem(*this, index)) {
        return;
    }
    const TFileID& item = (*this)[static_cast<std::size_t>(index)];
    out.append("Item:");
    AppendDecimal(item.FileID, out);
    out.append(" Base:");
    AppendDecimal(item.BaseID, out);
    out.append(" Name:");
    if (fullPath) {
        GetPath(index, path);
        ondisk::AppendUtf8(path, out);
    } else {
        AppendShownName(item.Name, out);
    }
    out.append(" Type:").append(FileTypeToStr(item.FileType));
}

std::string TAttributes::AttributeToStr(int index) const {
    std::string text;
    AppendAttributeText(index, text);
    return text;
}

void TAttributes::AppendAttributeText(int index, std::string& out) const {
    if (!HasItem(*this, index)) {
        return;
    }
    const TAttribute& attribute = (*this)[static_cast<std::size_t>(index)];
    // The last slot of the table is the end marker, which no stored attribute
    // has: there, and past it, the index stands for a code outside the table,
    // which the type name spells out.
    if (attribute.TypeIndex < kUnknownTypeIndex) {
        out.append(AttributeTypes[attribute.TypeIndex].Name);
    } else {
        out.append(AttributeTypeName(attribute.AttrType));
    }
    out.append("(");
    AppendDecimal(attribute.AttributeID, out);
    out.append(") ");
    ondisk::AppendPrintableName(attribute.Name, out);
    out.append(" ");
    out.append(attribute.Resident ? "(resident)" : "(nonresident)");
}

} // namespace lorvex::ntfs

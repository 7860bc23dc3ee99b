#include "records/Fields.h"

#include "ntfs/Attributes.h"
#include "ondisk/Printable.h"

namespace lorvex::records {

SourceTexts SourceTextsOf(Format format) {
    return format == Format::Json || format == Format::JsonLines ? SourceTexts::Exact
                                                                 : SourceTexts::Shown;
}

std::string SourceText(std::string_view text, SourceTexts texts) {
    return texts == SourceTexts::Exact ? std::string(text) : ondisk::Printable(text);
}

void GetEntryPath(const ntfs::TFileIDs& fileIds, int index, SourceTexts texts,
                  std::u16string& path) {
    if (texts == SourceTexts::Exact) {
        fileIds.GetExactPath(index, path);
    } else {
        fileIds.GetPath(index, path);
    }
}

std::string_view AttributeTypeText(std::uint32_t code, std::string& room) {
    const std::uint8_t index = ntfs::AttributeTypeIndex(code);
    if (index != ntfs::kUnknownTypeIndex) {
        return ntfs::AttributeTypes[index].Name;
    }
    room = ntfs::AttributeTypeName(code);
    return room;
}

std::string_view EntryTypeName(std::uint8_t fileType) {
    switch (fileType) {
    case ntfs::kTypeFile:
        return "file";
    case ntfs::kTypeDirectory:
        return "directory";
    case ntfs::kTypeSystem:
        return "system";
    case ntfs::kTypeSystemDirectory:
        return "system-directory";
    default:
        return "unknown";
    }
}

void FillDriveLabel(Record& record, const DriveLabel& drive, SourceTexts texts) {
    record.Clear();
    record.Add("drive", drive.name);
    record.Add("source", SourceText(drive.source, texts));
    record.Add("partition", drive.partition);
    record.Add("read_as", drive.readAs);
}

} // namespace lorvex::records

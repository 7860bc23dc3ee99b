#include "cli/Listings.h"

namespace lorvex::cli {

void FillDriveLabel(Record& record, const platform::RawVolumeSystem::Drive& drive,
                    SourceTexts texts) {
    const std::string name = drive.Name();
    const std::string readAs = drive.region.reading.Text();
    records::FillDriveLabel(record, {name, drive.region.path, drive.region.partition, readAs},
                            texts);
}

} // namespace lorvex::cli

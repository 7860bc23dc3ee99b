#include "ui/LorvexWindows.h"

#include "ondisk/FveMetadata.h"
#include "ondisk/Printable.h"
#include "platform/RawVolumeSystem.h"
#include "platform/SourceBytes.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace lorvex::ui {

namespace {

// What a source holds when none of its drives is one the window can show,
// in the words lorvex-scan uses for such a drive; empty when one is NTFS,
// BitLocker (its key is asked for) or was not probed.
std::string WhyNotShown(const std::vector<const platform::SourceRegion*>& regions) {
    std::vector<std::string> held;
    for (const platform::SourceRegion* region : regions) {
        if (!region->probed || region->fileSystem == "NTFS" || region->fileSystem == "BitLocker") {
            return {};
        }
        if (!region->fileSystem.empty() &&
            std::find(held.begin(), held.end(), region->fileSystem) == held.end()) {
            held.push_back(region->fileSystem);
        }
    }
    if (held.empty()) {
        // What a container's signature hides, the user can still have read.
        const std::string& other = regions.front()->reading.other;
        return "no file system recognised" +
               (other.empty()
                    ? std::string()
                    : "; it also reads as a " + other + ": File > Open as Raw Image reads it so");
    }
    std::string list;
    for (const std::string& name : held) {
        list += (list.empty() ? "" : ", ") + name;
    }
    return list + ", not NTFS";
}

// Opening a source, and the files a VMDK would read outside its folder.
void AddOpeningHooks(TSourceHooks& hooks, platform::RawVolumeSystem& system) {
    hooks.open = [&system](const QString& path, bool raw, bool allowOutsideExtents) {
        std::string problem;
        const std::size_t before = system.drives().size();
        if (!system.AddSource(QFile::encodeName(path).toStdString(), problem,
                              raw ? platform::ReadAs::Raw : platform::ReadAs::Auto,
                              platform::ContainerOptions{allowOutsideExtents})) {
            return QString::fromLocal8Bit(problem.c_str());
        }
        const std::vector<RefusedSource> refused = CloseSourcesWithoutNtfs(system, before);
        if (!refused.empty()) {
            return QString::fromStdString(refused.front().why);
        }
        // The new source may be where standard output or error goes.
        platform::SilenceStreamsOnSources(
            [&system](const std::string& name) { return system.OpenWriteTarget(name); });
        return QString();
    };
    hooks.close = [&system](const std::string& root) {
        for (std::size_t i = 0; i < system.drives().size(); ++i) {
            if (system.drives()[i].Root() == root) {
                return system.CloseDrive(i);
            }
        }
        return false;
    };
    hooks.outsideFiles = [](const QString& path) {
        QStringList files;
        for (const auto& file :
             platform::ContainerImage::OutsideFiles(QFile::encodeName(path).toStdString())) {
            files << QFile::decodeName(file.c_str());
        }
        return files;
    };
}

// What the title and the messages say of a drive's source, and where the
// drive lies in it.
void AddDescriptionHooks(TSourceHooks& hooks, platform::RawVolumeSystem& system) {
    hooks.describe = [&system](const std::string& root) {
        for (const auto& drive : system.drives()) {
            if (drive.Root() != root) {
                continue;
            }
            const QString file = QFileInfo(QFile::decodeName(drive.region.path.c_str())).fileName();
            const QString where =
                drive.region.partition > 0
                    ? QString("%1, partition %2").arg(file).arg(drive.region.partition)
                    : file;
            return QString("(%1) read as %2")
                .arg(where, QString::fromStdString(drive.region.reading.Text()));
        }
        return QString();
    };
    hooks.otherReading = [&system](const std::string& root) {
        for (const auto& drive : system.drives()) {
            if (drive.Root() == root && !drive.region.reading.other.empty()) {
                return QString("%1 also reads as a %2")
                    .arg(QFileInfo(QFile::decodeName(drive.region.path.c_str())).fileName(),
                         QString::fromStdString(drive.region.reading.other));
            }
        }
        return QString();
    };
    hooks.placement = [&system](const std::string& root, std::uint64_t& offset,
                                std::uint64_t& size) {
        for (const auto& drive : system.drives()) {
            if (drive.Root() != root) {
                continue;
            }
            int err = 0;
            std::string why;
            const int fd = platform::OpenSourceReadOnly(drive.region.path, err, why);
            if (fd < 0) {
                return false;
            }
            bool ok = false;
            size = platform::SourceSize(fd, ok);
            ::close(fd);
            offset = drive.region.offset;
            return ok;
        }
        return false;
    };
}

// A BitLocker drive's facts, and its unlocking with a key.
void AddBitLockerHooks(TSourceHooks& hooks, platform::RawVolumeSystem& system) {
    const auto driveOf = [&system](const std::string& root) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < system.drives().size(); ++i) {
            if (system.drives()[i].Root() == root) {
                return i;
            }
        }
        return std::nullopt;
    };
    hooks.bitlocker = [&system, driveOf](const std::string& root) {
        TBitLockerFacts facts;
        const auto index = driveOf(root);
        if (!index || system.drives()[*index].region.fileSystem != "BitLocker") {
            return facts;
        }
        facts.bitLocker = true;
        std::string why;
        const auto volume = system.BitLocker(*index, why);
        facts.locked = system.Unlocked(*index) == nullptr;
        facts.why = QString::fromStdString(why);
        if (volume) {
            facts.cipher = QString::fromStdString(ondisk::MethodName(volume->method()));
            facts.protectors = QString::fromStdString(volume->ProtectorList());
        }
        return facts;
    };
    hooks.unlock = [&system, driveOf](const std::string& root, const platform::BitLockerKey& key) {
        const auto index = driveOf(root);
        if (!index) {
            return QString("the drive is gone");
        }
        std::string why;
        if (system.Unlock(*index, key, why) == platform::BitLockerVolume::UnlockStatus::Unlocked) {
            return QString();
        }
        return QString::fromStdString(why);
    };
}

} // namespace

std::vector<RefusedSource> CloseSourcesWithoutNtfs(platform::RawVolumeSystem& system,
                                                   std::size_t from) {
    std::vector<RefusedSource> refused;
    std::size_t first = from;
    while (first < system.drives().size()) {
        // A source's drives lie together, in the order of its regions.
        const std::string source = system.drives()[first].region.path;
        std::size_t end = first;
        std::vector<const platform::SourceRegion*> regions;
        while (end < system.drives().size() && system.drives()[end].region.path == source) {
            regions.push_back(&system.drives()[end].region);
            ++end;
        }
        const std::string why = WhyNotShown(regions);
        if (why.empty()) {
            first = end;
            continue;
        }
        refused.push_back({ondisk::Printable(source), why});
        for (std::size_t i = end; i > first; --i) {
            system.CloseDrive(i - 1);
        }
    }
    return refused;
}

// The secondary windows are children of the main window, which keeps them
// above it; being members declared after it, they are destroyed before it.
TLorvexWindows::TLorvexWindows(platform::VolumeApi& api)
    : Form1(api), frm_Help(&Form1), frm_Info(&Form1), frmFind(&Form1), frm_Fragmentation(&Form1) {
    Form1.AttachWindows(&frm_Help, &frm_Info, &frmFind, &frm_Fragmentation);
    // A saved report is checked like the export: never over a source.
    frm_Info.OpenTarget = [&api](const std::string& path) {
        return platform::OpenWriteTargetFor(api, path);
    };
}

TLorvexWindows::TLorvexWindows(platform::RawVolumeSystem& system)
    : TLorvexWindows(static_cast<platform::VolumeApi&>(system)) {
    TSourceHooks hooks;
    AddOpeningHooks(hooks, system);
    AddDescriptionHooks(hooks, system);
    AddBitLockerHooks(hooks, system);
    Form1.SetSourceHooks(std::move(hooks));
}

} // namespace lorvex::ui

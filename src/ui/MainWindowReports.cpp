// The main window's reports (F1 to F3) and its Tools windows.
//
// Every one of them reads the scan's tables, which belong to the scanning
// thread while a scan runs: each must do nothing unless FScanned is set.
#include "ntfs/Export.h"
#include "ntfs/FileTable.h"
#include "ntfs/NTFSVolume.h"
#include "ui/MainWindow.h"

#include <QFile>
#include <QFileDialog>

namespace lorvex::ui {

void TForm1::ShowClusterDetails() {
}

void TForm1::ShowHexDump() {
}

void TForm1::ShowBaseInfo(std::int64_t /*BaseID*/) {
}

void TForm1::Export1Click() {
    if (FDriveRoot.empty() || !FScanned) {
        return;
    }
    QFileDialog sav(this, "Export");
    sav.setObjectName("sav");
    sav.setAcceptMode(QFileDialog::AcceptSave);
    sav.setNameFilters({"TXT files (*.txt)", "All files (*)"});
    sav.setDefaultSuffix("txt");
    sav.setOption(QFileDialog::DontConfirmOverwrite);
    if (sav.exec() != QDialog::Accepted || sav.selectedFiles().isEmpty()) {
        return;
    }
    ExportTo(sav.selectedFiles().first());
}

void TForm1::ExportTo(const QString& path) {
    if (FDriveRoot.empty() || !FScanned) {
        return;
    }
    const ntfs::ExportResult result =
        ntfs::ExportFileTable(*FVolume, *FFileIDs, QFile::encodeName(path).toStdString());
    ShowNotice(windowTitle(), result.ok ? QString("OK") : QString::fromStdString(result.message));
}

void TForm1::mnuFindClick() {
}

void TForm1::FragmentationList1Click() {
}

} // namespace lorvex::ui

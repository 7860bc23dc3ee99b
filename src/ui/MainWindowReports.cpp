// The main window's reports (F1 to F3) and its Tools windows. Until they are
// written each does nothing, as a command whose window is absent should.
//
// Every one of them reads the scan's tables, which belong to the scanning
// thread while a scan runs: each must do nothing unless FScanned is set.
#include "ui/MainWindow.h"

namespace lorvex::ui {

void TForm1::ShowClusterDetails() {
}

void TForm1::ShowHexDump() {
}

void TForm1::ShowBaseInfo(std::int64_t /*BaseID*/) {
}

void TForm1::Export1Click() {
}

void TForm1::mnuFindClick() {
}

void TForm1::FragmentationList1Click() {
}

} // namespace lorvex::ui

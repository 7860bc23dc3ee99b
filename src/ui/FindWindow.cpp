#include "ui/FindWindow.h"

#include "ntfs/FileTable.h"
#include "ntfs/Formatters.h"
#include "ntfs/NumberFormat.h"
#include "ui/FindModel.h"
#include "ui/ListSupport.h"
#include "ui/ScanJob.h"

#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <vector>

namespace lorvex::ui {

namespace {

constexpr int kItemColumn = FindModel::kItemColumn;
constexpr int kBaseColumn = FindModel::kBaseColumn;
constexpr int kNameColumn = FindModel::kNameColumn;
constexpr int kFragmentedColumn = FindModel::kFragmentedColumn;
constexpr int kTypeColumn = FindModel::kTypeColumn;

// The entries a search matches between two turns of the event loop.
constexpr std::int64_t kSearchStep = 100;
constexpr std::chrono::milliseconds kFlushInterval{50};

// Measuring a path costs its whole walk up the table; past this many rows
// the Name column is fitted to the first ones only.
constexpr std::size_t kMeasuredNames = 20000;

// What the cells of the columns other than Name hold at their widest.
struct WidestCells {
    std::int64_t item = 0;
    std::int64_t base = 0;
    bool anyFragmented = false;
    std::vector<bool> types = std::vector<bool>(256, false);
};

WidestCells Widest(const FindModel& model, const ntfs::TFileIDs* table) {
    WidestCells widest;
    for (std::size_t row = 0; table != nullptr && row < model.RowCount(); ++row) {
        const std::int64_t position = model.Position(static_cast<int>(row));
        if (position < 0 || position >= table->size()) {
            continue;
        }
        const ntfs::TFileID& e = (*table)[static_cast<std::size_t>(position)];
        widest.item = std::max(widest.item, e.FileID);
        widest.base = std::max(widest.base, e.BaseID);
        widest.anyFragmented = widest.anyFragmented || e.Fragmented;
        widest.types[e.FileType] = true;
    }
    return widest;
}

} // namespace

FindWindow::FindWindow(QWidget* mainWindow) : ListWindow(mainWindow, "frmFind", "Fast Find") {
    QFont font("Tahoma");
    font.setPixelSize(11);
    setFont(font);

    rdo_ID = new QRadioButton("ID", this);
    rdo_ID->setObjectName("rdo_ID");
    rdo_Name = new QRadioButton("Name", this);
    rdo_Name->setObjectName("rdo_Name");
    rdo_Name->setChecked(true);
    edtContains = new QLineEdit(this);
    edtContains->setObjectName("edtContains");
    btnFind = new QPushButton("Find", this);
    btnFind->setObjectName("btnFind");
    btnFind->setFixedSize(57, 21);

    BuildGrid();

    sb = new QStatusBar(this);
    sb->setObjectName("sb");
    sb->setFixedHeight(19);
    sb->setSizeGripEnabled(false);
    status_ = new QLabel(sb);
    sb->addWidget(status_, 1);

    auto* top = new QHBoxLayout;
    top->setSpacing(6);
    top->addWidget(rdo_ID);
    top->addWidget(rdo_Name);
    top->addWidget(edtContains, 1);
    top->addWidget(btnFind);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 0);
    layout->setSpacing(6);
    layout->addLayout(top);
    layout->addWidget(lstFiles, 1);
    layout->addWidget(sb);
    resize(677, 396);
    setFocusProxy(edtContains);
    FitColumns();

    stepTimer_ = new QTimer(this);
    stepTimer_->setInterval(0);
    connect(stepTimer_, &QTimer::timeout, this, [this] { SearchTick(); });
    connect(edtContains, &QLineEdit::textChanged, this, [this] { RunSearch(); });
    connect(btnFind, &QPushButton::clicked, this, [this] { RunSearch(); });
    connect(rdo_ID, &QRadioButton::clicked, edtContains, &QLineEdit::clear);
    connect(rdo_Name, &QRadioButton::clicked, edtContains, &QLineEdit::clear);
}

void FindWindow::BuildGrid() {
    model_ = new FindModel(this);
    lstFiles = new QTableView(this);
    lstFiles->setObjectName("lstFiles");
    lstFiles->setModel(model_);
    lstFiles->verticalHeader()->hide();
    lstFiles->verticalHeader()->setDefaultSectionSize(16);
    lstFiles->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    lstFiles->setShowGrid(true);
    lstFiles->setWordWrap(false);
    lstFiles->horizontalHeader()->setHighlightSections(false);
    lstFiles->horizontalHeader()->setSortIndicatorShown(true);
    // Unsorted until a title is clicked: the rows come in the table's order.
    lstFiles->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    lstFiles->setSortingEnabled(true);
    lstFiles->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    AttachList(lstFiles, {.details = true, .copyPath = true}, edtContains, false);
}

FindWindow::~FindWindow() = default;

void FindWindow::FollowScan(const std::shared_ptr<const TScanResult>& scan) {
    if (IsOrigin(scan)) {
        return;
    }
    searchAgain_ = searchAgain_ || model_->Searched() || searching_;
    // A running search ends at its next step, forgetting what it found.
    abandon_ = searching_;
    model_->Forget();
    status_->clear();
    SetOrigin(scan);
    if (scan && searchAgain_ && isVisible() && searching_) {
        // The running search starts over on the scan that came.
        restart_ = true;
        abandon_ = false;
    } else if (scan && searchAgain_ && isVisible()) {
        // From the event loop: the main window is handing the scan over.
        QTimer::singleShot(0, this, [this] {
            if (Origin() && isVisible()) {
                RunSearch();
            }
        });
    }
}

bool FindWindow::SearchStep(std::u16string& path) {
    // Held for the step only: between steps the main window may let go of
    // the scan, and with it of the volume it read.
    const std::shared_ptr<const TScanResult> scan = Origin();
    if (!scan) {
        return false;
    }
    const ntfs::TFileIDs& table = scan->fileIds;
    const std::int64_t end = std::min<std::int64_t>(position_ + kSearchStep, table.size());
    const bool byName = rdo_Name->isChecked();
    for (; position_ < end; ++position_) {
        if (!IsFileEntry(table, position_)) {
            continue;
        }
        bool match = searchText_.isEmpty();
        if (!match && byName) {
            table.GetPath(static_cast<int>(position_), path);
            match = QStringView(path).contains(searchText_, Qt::CaseInsensitive);
        } else if (!match) {
            const std::int64_t fileId = table[static_cast<std::size_t>(position_)].FileID;
            match = QString::number(fileId).startsWith(searchText_, Qt::CaseInsensitive);
        }
        if (match) {
            model_->Add(static_cast<std::uint32_t>(position_));
        }
    }
    return position_ < table.size();
}

void FindWindow::RunSearch() {
    if (searching_) {
        // The running search starts over at its next step, on the scan the
        // window follows now.
        restart_ = true;
        abandon_ = false;
        return;
    }
    searching_ = true;
    abandon_ = false;
    restart_ = true;
    status_->setText("...");
    spinner_ = 0;
    lastFlush_ = std::chrono::steady_clock::now() - kFlushInterval;
    // A step at a time from the event loop: typing, clicks and repainting
    // happen between steps, and a restart or a scan let go of shows in the
    // flags at the next.
    stepTimer_->start();
}

void FindWindow::SearchTick() {
    static const QString kSpinner = "|/-\\|/-\\";
    if (restart_) {
        restart_ = false;
        searchAgain_ = false;
        searchText_ = edtContains->text();
        model_->Start(Origin());
        position_ = 0;
    }
    if (abandon_ || !SearchStep(path_)) {
        stepTimer_->stop();
        EndSearch();
        return;
    }
    status_->setText(kSpinner.at(spinner_));
    spinner_ = (spinner_ + 1) % 8;
    // Each flush costs the view a pass over its rows: on a million matches,
    // one per step made the search thirty times slower.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastFlush_ >= kFlushInterval) {
        model_->Flush();
        lastFlush_ = now;
    }
}

void FindWindow::EndSearch() {
    if (abandon_ || !Origin()) {
        model_->Forget();
        status_->clear();
    } else {
        model_->Flush();
        model_->Resort();
        FitColumns();
        // The rows are counted, not the matches: the two cannot differ.
        const std::size_t found = model_->RowCount();
        status_->setText(
            found == 1 ? QString("1 file found.")
                       : QString::fromStdString(ntfs::FormatGrouped(static_cast<double>(found))) +
                             " files found.");
    }
    searching_ = false;
}

QString FindWindow::StatusText() const {
    return status_->text();
}

std::int64_t FindWindow::FileIndexOfRow(int row) const {
    return model_->Position(row);
}

bool FindWindow::RowHasMenu(int row) const {
    return FileIndexOfRow(row) >= 0;
}

void FindWindow::ShowRowOnMap(int row) {
    const std::int64_t index = FileIndexOfRow(row);
    if (index >= 0 && OnShowOnMap) {
        OnShowOnMap(index);
    }
}

void FindWindow::ShowRowDetails(int row) {
    const std::int64_t index = FileIndexOfRow(row);
    const std::shared_ptr<const TScanResult> scan = model_->Scan();
    if (index < 0 || !scan || index >= scan->fileIds.size() || !OnBaseInfo) {
        return;
    }
    OnBaseInfo(scan->fileIds[static_cast<std::size_t>(index)].BaseID);
}

std::vector<int> FindWindow::CopiedColumns() const {
    return {kItemColumn, kBaseColumn, kNameColumn, kFragmentedColumn, kTypeColumn};
}

int FindWindow::PathColumn() const {
    return kNameColumn;
}

void FindWindow::ListResized() {
    FitNameColumn();
}

void FindWindow::FitColumns() {
    const QHeaderView& header = *lstFiles->horizontalHeader();
    const std::shared_ptr<const TScanResult> scan = model_->Scan();
    const ntfs::TFileIDs* table = scan ? &scan->fileIds : nullptr;
    // The numbers: the widest is the greatest, every digit being as wide as
    // any other in the fonts a list uses; measured all the same.
    const WidestCells widest = Widest(*model_, table);
    const std::size_t rows = model_->RowCount();
    const int margins = CellMargins(*lstFiles, model_->index(0, kNameColumn));
    // A number is no wider than as many of the widest digit.
    QChar widestDigit('0');
    for (char16_t digit = u'1'; digit <= u'9'; ++digit) {
        if (lstFiles->fontMetrics().horizontalAdvance(QChar(digit)) >
            lstFiles->fontMetrics().horizontalAdvance(widestDigit)) {
            widestDigit = QChar(digit);
        }
    }
    const auto numberWidth = [this, margins, widestDigit](std::int64_t greatest) {
        return CellWidth(*lstFiles, margins,
                         QString(QString::number(greatest).size(), widestDigit));
    };
    const auto textWidth = [this, margins](const std::string& text) {
        return CellWidth(*lstFiles, margins, QString::fromStdString(text));
    };
    int typeWidth = 0;
    for (std::size_t t = 0; t < widest.types.size(); ++t) {
        if (widest.types[t]) {
            typeWidth =
                std::max(typeWidth, textWidth(ntfs::FileTypeToStr(static_cast<std::uint8_t>(t))));
        }
    }
    int yesNoWidth = textWidth(ntfs::YesNoToStr(false));
    if (widest.anyFragmented) {
        yesNoWidth = std::max(yesNoWidth, textWidth(ntfs::YesNoToStr(true)));
    }
    lstFiles->setColumnWidth(kItemColumn, std::max(TitleWidth(header, kItemColumn),
                                                   rows > 0 ? numberWidth(widest.item) : 0));
    lstFiles->setColumnWidth(kBaseColumn, std::max(TitleWidth(header, kBaseColumn),
                                                   rows > 0 ? numberWidth(widest.base) : 0));
    lstFiles->setColumnWidth(kFragmentedColumn,
                             std::max(TitleWidth(header, kFragmentedColumn), yesNoWidth));
    lstFiles->setColumnWidth(kTypeColumn, std::max(TitleWidth(header, kTypeColumn), typeWidth));
    nameWidth_ = TitleWidth(header, kNameColumn);
    std::u16string path;
    for (std::size_t row = 0; table != nullptr && row < std::min(rows, kMeasuredNames); ++row) {
        table->GetPath(static_cast<int>(model_->Position(static_cast<int>(row))), path);
        nameWidth_ =
            std::max(nameWidth_, CellWidth(*lstFiles, margins, QString::fromStdU16String(path)));
    }
    FitNameColumn();
}

void FindWindow::FitNameColumn() {
    int others = 0;
    for (const int column : {kItemColumn, kBaseColumn, kFragmentedColumn, kTypeColumn}) {
        others += lstFiles->columnWidth(column);
    }
    // The viewport's width leaves the scroll bar out when there is one.
    lstFiles->setColumnWidth(kNameColumn,
                             std::max(nameWidth_, lstFiles->viewport()->width() - others));
}

void FindWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    edtContains->setFocus(Qt::OtherFocusReason);
    edtContains->clear();
}

} // namespace lorvex::ui

#include "ui/FindWindow.h"

#include "ntfs/FileTable.h"
#include "ntfs/Formatters.h"
#include "ntfs/NumberFormat.h"
#include "ui/ListSupport.h"

#include <QAbstractTableModel>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <chrono>
#include <numeric>
#include <vector>

namespace lorvex::ui {

namespace {

constexpr int kItemColumn = 0;
constexpr int kBaseColumn = 1;
constexpr int kNameColumn = 2;
constexpr int kFragmentedColumn = 3;
constexpr int kTypeColumn = 4;
constexpr int kColumnCount = 5;

// Measuring a path costs its whole walk up the table; past this many rows
// the Name column is fitted to the first ones only.
constexpr std::size_t kMeasuredNames = 20000;

} // namespace

// The grid's rows: file-table positions, read from the table only when a
// cell is drawn, so that a million matches cost a million integers.
class FindModel : public QAbstractTableModel {
  public:
    explicit FindModel(QObject* parent) : QAbstractTableModel(parent) {}

    std::function<FindWindow::TSource()> Source;

    [[nodiscard]] int rowCount(const QModelIndex& parent) const override {
        if (parent.isValid() || !FSearched) {
            return 0;
        }
        // Without a match the grid keeps one empty row under its titles.
        return std::max(1, static_cast<int>(FRows.size()));
    }
    [[nodiscard]] int columnCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : kColumnCount;
    }
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role) const override {
        static const char* const kTitles[] = {"Item", "Base", "Name", "Fragmented", "Type"};
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
            section < kColumnCount) {
            return QString(kTitles[section]);
        }
        return {};
    }
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override {
        if (role == Qt::TextAlignmentRole && index.isValid() &&
            (index.column() == kItemColumn || index.column() == kBaseColumn)) {
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        }
        if (role != Qt::DisplayRole || !index.isValid() ||
            static_cast<std::size_t>(index.row()) >= FRows.size() || !Source) {
            return {};
        }
        const FindWindow::TSource source = Source();
        const std::uint32_t position = FRows[static_cast<std::size_t>(index.row())];
        if (source.table == nullptr ||
            position >= static_cast<std::uint32_t>(source.table->FCount)) {
            return {};
        }
        const ntfs::TFileID& e = source.table->FItems[position];
        switch (index.column()) {
        case kItemColumn:
            return QString::number(e.FileID);
        case kBaseColumn:
            return QString::number(e.BaseID);
        case kNameColumn:
            return QString::fromStdString(source.drive) +
                   QString::fromStdU16String(source.table->Path(static_cast<int>(position)));
        case kFragmentedColumn:
            return QString::fromStdString(ntfs::YesNoToStr(e.Fragmented));
        default:
            return QString::fromStdString(ntfs::FileTypeToStr(e.FileType));
        }
    }

    // The table position of `row`'s entry, or -1.
    [[nodiscard]] std::int64_t Position(int row) const {
        if (row < 0 || static_cast<std::size_t>(row) >= FRows.size()) {
            return -1;
        }
        return FRows[static_cast<std::size_t>(row)];
    }
    [[nodiscard]] std::size_t RowCount() const { return FRows.size(); }

    // The view sorts through here; column -1 is the table's order. Equal
    // keys keep the table's order whichever way the column sorts.
    void sort(int column, Qt::SortOrder order) override {
        FSortColumn = column;
        FSortOrder = order;
        Resort();
    }
    // Sorts the rows again as last asked: rows that a search added since
    // came at the end.
    void Resort() {
        const FindWindow::TSource source = Source ? Source() : FindWindow::TSource{};
        if (FRows.size() < 2 || source.table == nullptr) {
            return;
        }
        const ntfs::TFileIDs& table = *source.table;
        for (const std::uint32_t position : FRows) {
            if (position >= static_cast<std::uint32_t>(table.FCount)) {
                return;
            }
        }
        emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
        MoveRows(SortedOrder(table));
        emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    }

    void Start() {
        beginResetModel();
        FRows.clear();
        FPending.clear();
        FSearched = true;
        endResetModel();
    }
    void Forget() {
        beginResetModel();
        FRows.clear();
        FPending.clear();
        FSearched = false;
        endResetModel();
    }
    void Add(std::uint32_t position) { FPending.push_back(position); }
    // The matches found since the last flush become rows.
    void Flush() {
        if (FPending.empty()) {
            return;
        }
        if (FRows.empty()) {
            // The empty row under the titles turns into the first match.
            beginResetModel();
            FRows.swap(FPending);
            endResetModel();
            return;
        }
        const auto first = static_cast<int>(FRows.size());
        beginInsertRows({}, first, first + static_cast<int>(FPending.size()) - 1);
        FRows.insert(FRows.end(), FPending.begin(), FPending.end());
        endInsertRows();
        FPending.clear();
    }

  private:
    // The rows' positions in the order the sort column and direction give.
    [[nodiscard]] std::vector<std::size_t> SortedOrder(const ntfs::TFileIDs& table) const {
        std::vector<std::size_t> order(FRows.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        const bool descending = FSortOrder == Qt::DescendingOrder;
        const auto entry = [&](std::size_t row) -> const ntfs::TFileID& {
            return table.FItems[FRows[row]];
        };
        // Compares by a key, then by table position.
        const auto sortBy = [&](const auto& key) {
            std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                const auto& ka = key(a);
                const auto& kb = key(b);
                if (ka < kb) {
                    return !descending;
                }
                if (kb < ka) {
                    return descending;
                }
                return FRows[a] < FRows[b];
            });
        };
        switch (FSortColumn) {
        case kItemColumn:
            sortBy([&](std::size_t row) { return entry(row).FileID; });
            break;
        case kBaseColumn:
            sortBy([&](std::size_t row) { return entry(row).BaseID; });
            break;
        case kNameColumn: {
            // Each path is built once, not at every comparison.
            std::vector<QString> names(FRows.size());
            std::u16string path;
            for (std::size_t row = 0; row < FRows.size(); ++row) {
                table.GetPath(static_cast<int>(FRows[row]), path);
                names[row] = QString::fromStdU16String(path).toCaseFolded();
            }
            sortBy([&](std::size_t row) -> const QString& { return names[row]; });
            break;
        }
        case kFragmentedColumn:
            sortBy([&](std::size_t row) { return entry(row).Fragmented; });
            break;
        case kTypeColumn: {
            std::array<std::string, 256> types;
            for (std::size_t t = 0; t < types.size(); ++t) {
                types[t] = ntfs::FileTypeToStr(static_cast<std::uint8_t>(t));
            }
            sortBy(
                [&](std::size_t row) -> const std::string& { return types[entry(row).FileType]; });
            break;
        }
        default:
            sortBy([&](std::size_t row) { return FRows[row]; });
            break;
        }
        return order;
    }

    // Puts row order[i] at i, the view's persistent indexes going with
    // their rows.
    void MoveRows(const std::vector<std::size_t>& order) {
        std::vector<std::uint32_t> rows(FRows.size());
        std::vector<int> moved(FRows.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            rows[i] = FRows[order[i]];
            moved[order[i]] = static_cast<int>(i);
        }
        FRows.swap(rows);
        const QModelIndexList before = persistentIndexList();
        QModelIndexList after;
        after.reserve(before.size());
        for (const QModelIndex& index : before) {
            after << (static_cast<std::size_t>(index.row()) < moved.size()
                          ? createIndex(moved[static_cast<std::size_t>(index.row())],
                                        index.column())
                          : index);
        }
        changePersistentIndexList(before, after);
    }

    std::vector<std::uint32_t> FRows;
    std::vector<std::uint32_t> FPending;
    bool FSearched = false;
    int FSortColumn = -1;
    Qt::SortOrder FSortOrder = Qt::AscendingOrder;
};

FindWindow::FindWindow(QWidget* mainWindow) : QWidget(mainWindow, Qt::Window) {
    setObjectName("frmFind");
    setWindowTitle("Fast Find");
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
    BuildRowMenu();

    sb = new QStatusBar(this);
    sb->setObjectName("sb");
    sb->setFixedHeight(19);
    sb->setSizeGripEnabled(false);
    FStatus = new QLabel(sb);
    sb->addWidget(FStatus, 1);

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

    connect(edtContains, &QLineEdit::textChanged, this, [this] { RunSearch(); });
    connect(btnFind, &QPushButton::clicked, this, [this] { RunSearch(); });
    connect(rdo_ID, &QRadioButton::clicked, edtContains, &QLineEdit::clear);
    connect(rdo_Name, &QRadioButton::clicked, edtContains, &QLineEdit::clear);
    connect(lstFiles, &QTableView::doubleClicked, this, [this] { lstFilesDblClick(); });
}

void FindWindow::BuildGrid() {
    FModel = new FindModel(this);
    FModel->Source = [this] { return Source ? Source() : TSource{}; };
    lstFiles = new QTableView(this);
    lstFiles->setObjectName("lstFiles");
    lstFiles->setModel(FModel);
    lstFiles->verticalHeader()->hide();
    lstFiles->verticalHeader()->setDefaultSectionSize(16);
    lstFiles->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    lstFiles->setShowGrid(true);
    lstFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    lstFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lstFiles->setWordWrap(false);
    lstFiles->horizontalHeader()->setHighlightSections(false);
    lstFiles->horizontalHeader()->setSortIndicatorShown(true);
    // Unsorted until a title is clicked: the rows come in the table's order.
    lstFiles->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    lstFiles->setSortingEnabled(true);
    lstFiles->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    lstFiles->installEventFilter(this);
    lstFiles->viewport()->installEventFilter(this);
}

void FindWindow::BuildRowMenu() {
    mnuRow = new QMenu(this);
    mnuRow->setObjectName("mnuRow");
    actShowOnMap = mnuRow->addAction("Show on map");
    actDetails = mnuRow->addAction("Details");
    mnuRow->addSeparator();
    actCopyPath = mnuRow->addAction("Copy path");
    actCopyRow = mnuRow->addAction("Copy row");
    actCopyRow->setShortcut(QKeySequence::Copy);
    lstFiles->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lstFiles, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { ShowRowMenu(pos); });
    connect(actShowOnMap, &QAction::triggered, this, [this] {
        const std::int64_t index = FileIndexOfRow(FMenuRow);
        if (index >= 0 && OnShowOnMap) {
            OnShowOnMap(index);
        }
    });
    connect(actDetails, &QAction::triggered, this, [this] {
        if (FileIndexOfRow(FMenuRow) >= 0) {
            lstFiles->setCurrentIndex(FModel->index(FMenuRow, kNameColumn));
            lstFilesDblClick();
        }
    });
    connect(actCopyPath, &QAction::triggered, this, [this] { CopySelectedPaths(); });
    connect(actCopyRow, &QAction::triggered, this, [this] { CopySelectedRows(); });
}

FindWindow::~FindWindow() = default;

bool FindWindow::Matches(QStringView displayName, std::int64_t fileId) const {
    if (rdo_Name->isChecked()) {
        return displayName.contains(FSearchText, Qt::CaseInsensitive);
    }
    return QString::number(fileId).startsWith(FSearchText, Qt::CaseInsensitive);
}

void FindWindow::RunSearch() {
    if (FSearching) {
        // Called from the pump of the running search: it starts over.
        FMatchCount = 0;
        FSearchText = edtContains->text();
        FRestart = true;
        return;
    }
    FSearching = true;
    FAbandon = false;
    FStatus->setText("...");
    FSearchText = edtContains->text();
    FModel->Start();
    FMatchCount = 0;
    FSpinner = 0;
    FPosition = 0;
    static const QString kSpinner = "|/-\\|/-\\";
    constexpr std::chrono::milliseconds kFlushInterval{50};
    auto lastFlush = std::chrono::steady_clock::now() - kFlushInterval;
    std::u16string path;
    std::u16string display;
    for (;;) {
        const TSource source = Source ? Source() : TSource{};
        if (FAbandon || source.table == nullptr || FPosition >= source.table->FCount) {
            break;
        }
        const ntfs::TFileID& e = source.table->FItems[static_cast<std::size_t>(FPosition)];
        bool match = FSearchText.isEmpty();
        if (!match && rdo_Name->isChecked()) {
            // The drive and the path go into one buffer that every entry
            // reuses: a search walks every entry's path.
            source.table->GetPath(static_cast<int>(FPosition), path);
            display.assign(source.drive.begin(), source.drive.end());
            display.append(path);
            match = Matches(QStringView(display), e.FileID);
        } else if (!match) {
            match = Matches({}, e.FileID);
        }
        if (match) {
            ++FMatchCount;
            FModel->Add(static_cast<std::uint32_t>(FPosition));
        }
        if (FPosition % 100 == 0) {
            FStatus->setText(kSpinner.at(FSpinner));
            FSpinner = (FSpinner + 1) % 8;
            // Each flush costs the view a pass over its rows: on a million
            // matches, one per pump made the search thirty times slower.
            const auto now = std::chrono::steady_clock::now();
            if (now - lastFlush >= kFlushInterval) {
                FModel->Flush();
                lastFlush = now;
            }
            // Typing, clicks and repainting happen here; a restart or a
            // scan that begins shows in the flags afterwards.
            QCoreApplication::processEvents();
            if (FRestart) {
                FRestart = false;
                FModel->Start();
                FPosition = 0;
                continue;
            }
        }
        ++FPosition;
    }
    if (FAbandon) {
        FModel->Forget();
        FStatus->clear();
    } else {
        FModel->Flush();
        FModel->Resort();
        FitColumns();
        FStatus->setText(FMatchCount == 1
                             ? QString("1 file found.")
                             : QString::fromStdString(ntfs::FormatGrouped(FMatchCount)) +
                                   " files found.");
    }
    FSearching = false;
}

void FindWindow::ScanStarting() {
    FAbandon = true;
    FModel->Forget();
}

void FindWindow::lstFilesDblClick() {
    const QModelIndex current = lstFiles->currentIndex();
    if (!current.isValid() || !OnBaseInfo) {
        return;
    }
    bool ok = false;
    const qlonglong baseId = FModel->index(current.row(), 1).data().toString().toLongLong(&ok);
    if (ok) {
        OnBaseInfo(baseId);
    }
}

void FindWindow::ShowFind() {
    ShowListWindow(this, edtContains);
}

QString FindWindow::StatusText() const {
    return FStatus->text();
}

std::int64_t FindWindow::FileIndexOfRow(int row) const {
    return FModel->Position(row);
}

void FindWindow::CopySelectedRows() {
    const std::vector<int> rows = SelectedRows(*lstFiles);
    if (!rows.empty()) {
        QApplication::clipboard()->setText(
            RowsText(*FModel, rows,
                     {kItemColumn, kBaseColumn, kNameColumn, kFragmentedColumn, kTypeColumn}));
    }
}

void FindWindow::CopySelectedPaths() {
    const std::vector<int> rows = SelectedRows(*lstFiles);
    if (!rows.empty()) {
        QApplication::clipboard()->setText(RowsText(*FModel, rows, {kNameColumn}));
    }
}

void FindWindow::ShowRowMenu(const QPoint& pos) {
    const QModelIndex index = lstFiles->indexAt(pos);
    if (!index.isValid() || FileIndexOfRow(index.row()) < 0) {
        return;
    }
    FMenuRow = index.row();
    if (!lstFiles->selectionModel()->isRowSelected(FMenuRow, {})) {
        lstFiles->setCurrentIndex(index);
        lstFiles->selectRow(FMenuRow);
    }
    mnuRow->popup(lstFiles->viewport()->mapToGlobal(pos));
}

void FindWindow::FitColumns() {
    const QHeaderView& header = *lstFiles->horizontalHeader();
    // The numbers: the widest is the greatest, every digit being as wide as
    // any other in the fonts a list uses; measured all the same.
    std::int64_t widestItem = 0;
    std::int64_t widestBase = 0;
    bool anyFragmented = false;
    std::vector<bool> types(256, false);
    FNameWidth = 0;
    const TSource source = Source ? Source() : TSource{};
    const std::size_t rows = FModel->RowCount();
    for (std::size_t row = 0; source.table != nullptr && row < rows; ++row) {
        const std::int64_t position = FModel->Position(static_cast<int>(row));
        if (position < 0 || position >= source.table->FCount) {
            continue;
        }
        const ntfs::TFileID& e = source.table->FItems[static_cast<std::size_t>(position)];
        widestItem = std::max(widestItem, e.FileID);
        widestBase = std::max(widestBase, e.BaseID);
        anyFragmented = anyFragmented || e.Fragmented;
        types[e.FileType] = true;
    }
    const int margins = CellMargins(*lstFiles, FModel->index(0, kNameColumn));
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
    int typeWidth = 0;
    for (std::size_t t = 0; t < types.size(); ++t) {
        if (types[t]) {
            typeWidth = std::max(typeWidth, CellWidth(*lstFiles, margins,
                                                      QString::fromStdString(ntfs::FileTypeToStr(
                                                          static_cast<std::uint8_t>(t)))));
        }
    }
    int yesNoWidth = CellWidth(*lstFiles, margins, QString::fromStdString(ntfs::YesNoToStr(false)));
    if (anyFragmented) {
        yesNoWidth =
            std::max(yesNoWidth,
                     CellWidth(*lstFiles, margins, QString::fromStdString(ntfs::YesNoToStr(true))));
    }
    lstFiles->setColumnWidth(kItemColumn, std::max(TitleWidth(header, kItemColumn),
                                                   rows > 0 ? numberWidth(widestItem) : 0));
    lstFiles->setColumnWidth(kBaseColumn, std::max(TitleWidth(header, kBaseColumn),
                                                   rows > 0 ? numberWidth(widestBase) : 0));
    lstFiles->setColumnWidth(kFragmentedColumn,
                             std::max(TitleWidth(header, kFragmentedColumn), yesNoWidth));
    lstFiles->setColumnWidth(kTypeColumn, std::max(TitleWidth(header, kTypeColumn), typeWidth));
    if (source.table != nullptr) {
        const QString drive = QString::fromStdString(source.drive);
        std::u16string path;
        for (std::size_t row = 0; row < std::min(rows, kMeasuredNames); ++row) {
            source.table->GetPath(static_cast<int>(FModel->Position(static_cast<int>(row))), path);
            FNameWidth = std::max(
                FNameWidth, CellWidth(*lstFiles, margins, drive + QString::fromStdU16String(path)));
        }
    }
    FNameWidth = std::max(FNameWidth, TitleWidth(header, kNameColumn));
    FitNameColumn();
}

void FindWindow::FitNameColumn() {
    int others = 0;
    for (const int column : {kItemColumn, kBaseColumn, kFragmentedColumn, kTypeColumn}) {
        others += lstFiles->columnWidth(column);
    }
    // The viewport's width leaves the scroll bar out when there is one.
    lstFiles->setColumnWidth(kNameColumn,
                             std::max(FNameWidth, lstFiles->viewport()->width() - others));
}

void FindWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    edtContains->setFocus(Qt::OtherFocusReason);
    edtContains->clear();
}

void FindWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}

bool FindWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lstFiles->viewport() && event->type() == QEvent::Resize) {
        FitNameColumn();
    }
    if (watched == lstFiles &&
        HandleListKey(
            event, [this] { lstFilesDblClick(); }, [this] { CopySelectedRows(); })) {
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace lorvex::ui

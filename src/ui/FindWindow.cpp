#include "ui/FindWindow.h"

#include "ntfs/FileTable.h"
#include "ntfs/Formatters.h"
#include "ntfs/NumberFormat.h"

#include <QAbstractTableModel>
#include <QCoreApplication>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTableView>
#include <QVBoxLayout>

#include <chrono>
#include <vector>

namespace lorvex::ui {

// The grid's rows: file-table positions, read from the table only when a
// cell is drawn, so that a million matches cost a million integers.
class TFindModel : public QAbstractTableModel {
  public:
    explicit TFindModel(QObject* parent) : QAbstractTableModel(parent) {}

    std::function<TfrmFind::TSource()> Source;

    [[nodiscard]] int rowCount(const QModelIndex& parent) const override {
        if (parent.isValid() || !FSearched) {
            return 0;
        }
        // Without a match the grid keeps one empty row under its titles.
        return std::max(1, static_cast<int>(FRows.size()));
    }
    [[nodiscard]] int columnCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : 5;
    }
    [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                      int role) const override {
        static const char* const kTitles[] = {"Item", "Base", "Name", "Fragmented", "Type"};
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
            section < 5) {
            return QString(kTitles[section]);
        }
        return {};
    }
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid() ||
            static_cast<std::size_t>(index.row()) >= FRows.size() || !Source) {
            return {};
        }
        const TfrmFind::TSource source = Source();
        const std::uint32_t position = FRows[static_cast<std::size_t>(index.row())];
        if (source.table == nullptr ||
            position >= static_cast<std::uint32_t>(source.table->FCount)) {
            return {};
        }
        const ntfs::TFileID& e = source.table->FItems[position];
        switch (index.column()) {
        case 0:
            return QString::number(e.FileID);
        case 1:
            return QString::number(e.BaseID);
        case 2:
            return QString::fromStdString(source.drive) +
                   QString::fromStdU16String(source.table->Path(static_cast<int>(position)));
        case 3:
            return QString::fromStdString(ntfs::YesNoToStr(e.Fragmented));
        default:
            return QString::fromStdString(ntfs::FileTypeToStr(e.FileType));
        }
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
    std::vector<std::uint32_t> FRows;
    std::vector<std::uint32_t> FPending;
    bool FSearched = false;
};

TfrmFind::TfrmFind(QWidget* mainWindow) : QWidget(mainWindow, Qt::Window) {
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

    FModel = new TFindModel(this);
    FModel->Source = [this] { return Source ? Source() : TSource{}; };
    lstFiles = new QTableView(this);
    lstFiles->setObjectName("lstFiles");
    lstFiles->setModel(FModel);
    lstFiles->verticalHeader()->hide();
    lstFiles->verticalHeader()->setDefaultSectionSize(16);
    lstFiles->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    lstFiles->setShowGrid(true);
    lstFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstFiles->setSelectionMode(QAbstractItemView::ContiguousSelection);
    lstFiles->setWordWrap(false);

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

    connect(edtContains, &QLineEdit::textChanged, this, [this] { RunSearch(); });
    connect(btnFind, &QPushButton::clicked, this, [this] { RunSearch(); });
    connect(rdo_ID, &QRadioButton::clicked, edtContains, &QLineEdit::clear);
    connect(rdo_Name, &QRadioButton::clicked, edtContains, &QLineEdit::clear);
    connect(lstFiles, &QTableView::doubleClicked, this, [this] { lstFilesDblClick(); });
}

TfrmFind::~TfrmFind() = default;

bool TfrmFind::Matches(QStringView displayName, std::int64_t fileId) const {
    if (rdo_Name->isChecked()) {
        return displayName.contains(FSearchText, Qt::CaseInsensitive);
    }
    return QString::number(fileId).startsWith(FSearchText, Qt::CaseInsensitive);
}

void TfrmFind::RunSearch() {
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
        FStatus->setText(FMatchCount == 1
                             ? QString("1 file found.")
                             : QString::fromStdString(ntfs::FormatGrouped(FMatchCount)) +
                                   " files found.");
    }
    FSearching = false;
}

void TfrmFind::ScanStarting() {
    FAbandon = true;
    FModel->Forget();
}

void TfrmFind::lstFilesDblClick() {
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

void TfrmFind::ShowFind() {
    if (!isVisible()) {
        if (QWidget* main = parentWidget()) {
            move(main->frameGeometry().center() -
                 QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
        }
    }
    show();
    raise();
    activateWindow();
}

QString TfrmFind::StatusText() const {
    return FStatus->text();
}

void TfrmFind::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    edtContains->clear();
}

void TfrmFind::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    lstFiles->setColumnWidth(0, 40);
    lstFiles->setColumnWidth(1, 40);
    lstFiles->setColumnWidth(2, std::max(40, lstFiles->width() - 226));
    lstFiles->setColumnWidth(3, 60);
    lstFiles->setColumnWidth(4, 60);
}

} // namespace lorvex::ui

#include "ui/HistoryWindow.h"

#include "core/AppState.h"
#include "core/FileNames.h"
#include "core/ProgramFolder.h"
#include "ledger/HistoryText.h"
#include "ledger/PrintLedger.h"
#include "monitor/MonitorJournal.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

namespace vellora {

namespace {

enum Column { kTime, kNumber, kPath, kState, kCopies, kSheets, kPrinters, kReprint, kColumns };

constexpr int kPhotoIdRole = Qt::UserRole;
constexpr int kHotFolderRole = Qt::UserRole + 1;
constexpr int kHeldSheetRole = Qt::UserRole + 2;
constexpr int kListLimit = 1000;

QTableWidgetItem* cell(const QString& text, const QString& tip = QString())
{
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    if (!tip.isEmpty())
        item->setToolTip(tip);
    return item;
}

QString shownTime(const QDateTime& time)
{
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                          : QString();
}

// A sheet as the operator asks the printer about it: its number, and on
// hover the template, the job and when it came out.
QString sheetTip(const LedgerSheet& sheet)
{
    QStringList parts{QStringLiteral("相纸 %1：%2").arg(sheet.id).arg(sheet.templateName)};
    if (sheet.jobId > 0)
        parts << QStringLiteral("打印任务 %1").arg(sheet.jobId);
    if (sheet.printedAt.isValid())
        parts << QStringLiteral("打印于 ") + shownTime(sheet.printedAt);
    // A kept sheet printed later has left 未打印.
    if (!sheet.keptPath.isEmpty() && sheet.state == SheetState::Kept)
        parts << QStringLiteral("保存为 ") + sheet.keptPath;
    return parts.join(QStringLiteral("，"));
}

} // namespace

HistoryWindow::HistoryWindow(AppState& state, QWidget* parent, DialogsPtr dialogs,
                             const QString& programFolder)
    : QWidget(parent, Qt::Window), m_state(state), m_dialogs(std::move(dialogs)),
      m_programFolder(programFolder.isEmpty() ? state.programFolder : programFolder)
{
    setObjectName(QStringLiteral("HistoryWindow"));
    setWindowTitle(QStringLiteral("打印记录"));
    resize(860, 480);

    m_numberEdit = new QLineEdit(this);
    m_numberEdit->setObjectName(QStringLiteral("号码筛选框"));
    m_numberEdit->setPlaceholderText(QStringLiteral("全部号码"));
    m_numberEdit->setClearButtonEnabled(true);
    m_dateSwitch = new QCheckBox(QStringLiteral("从"), this);
    m_dateSwitch->setObjectName(QStringLiteral("日期筛选开关"));
    m_dateEdit = new QDateEdit(this);
    m_dateEdit->setObjectName(QStringLiteral("日期筛选框"));
    m_dateEdit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    m_dateEdit->setCalendarPopup(true);
    m_dateEdit->setDate(QDate::currentDate());
    m_dateEdit->setMinimumWidth(
        m_dateEdit->fontMetrics().horizontalAdvance(QStringLiteral("2026-12-31")) + 48);
    m_dateEdit->setEnabled(false);
    m_refreshButton = new QPushButton(QStringLiteral("刷新"), this);
    m_refreshButton->setObjectName(QStringLiteral("刷新按钮"));

    m_table = new QTableWidget(0, kColumns, this);
    m_table->setObjectName(QStringLiteral("打印记录列表"));
    m_table->setHorizontalHeaderLabels(
        {QStringLiteral("计入时间"), QStringLiteral("号码"), QStringLiteral("照片（监控目录下）"),
         QStringLiteral("状态"), QStringLiteral("份数"), QStringLiteral("相纸"),
         QStringLiteral("打印机"), QStringLiteral("加印")});
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setAlternatingRowColors(true);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(false);
    m_table->horizontalHeader()->setSectionResizeMode(kPath, QHeaderView::Stretch);

    m_listNote = new QLabel(this);
    m_listNote->setObjectName(QStringLiteral("打印记录提示标签"));
    m_listNote->setWordWrap(true);

    m_copiesBox = new QSpinBox(this);
    m_copiesBox->setObjectName(QStringLiteral("加印份数框"));
    m_copiesBox->setRange(1, 999);
    m_copiesBox->setValue(1);
    m_copiesBox->setSuffix(QStringLiteral(" 份"));
    m_reprintButton = new QPushButton(QStringLiteral("加印"), this);
    m_reprintButton->setObjectName(QStringLiteral("加印按钮"));
    m_reprintButton->setEnabled(false);
    m_sheetAgainButton = new QPushButton(QStringLiteral("重新打印"), this);
    m_sheetAgainButton->setObjectName(QStringLiteral("重新打印按钮"));
    m_sheetAgainButton->setToolTip(
        QStringLiteral("这张照片所在的相纸没有打印成功：把相纸上的照片按原份数再排一次"));
    m_sheetAgainButton->setEnabled(false);
    m_giveUpButton = new QPushButton(QStringLiteral("放弃"), this);
    m_giveUpButton->setObjectName(QStringLiteral("放弃按钮"));
    m_giveUpButton->setToolTip(QStringLiteral("这张照片所在的相纸没有打印成功：不再打印它"));
    m_giveUpButton->setEnabled(false);
    m_reprintNote = new QLabel(this);
    m_reprintNote->setObjectName(QStringLiteral("加印提示标签"));
    m_reprintNote->setWordWrap(true);

    auto* filters = new QHBoxLayout;
    filters->addWidget(new QLabel(QStringLiteral("号码："), this));
    m_numberEdit->setMinimumWidth(m_numberEdit->fontMetrics().horizontalAdvance(u'0') * 20);
    filters->addWidget(m_numberEdit);
    filters->addSpacing(12);
    filters->addWidget(m_dateSwitch);
    filters->addWidget(m_dateEdit);
    filters->addWidget(new QLabel(QStringLiteral("起"), this));
    filters->addStretch(1);
    filters->addWidget(m_refreshButton);
    auto* reprint = new QHBoxLayout;
    reprint->addWidget(new QLabel(QStringLiteral("加印份数："), this));
    reprint->addWidget(m_copiesBox);
    reprint->addWidget(m_reprintButton);
    reprint->addSpacing(12);
    reprint->addWidget(m_sheetAgainButton);
    reprint->addWidget(m_giveUpButton);
    reprint->addSpacing(12);
    reprint->addWidget(m_reprintNote, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(m_table, 1);
    layout->addWidget(m_listNote);
    layout->addLayout(reprint);

    connect(m_numberEdit, &QLineEdit::textChanged, this, &HistoryWindow::refresh);
    connect(m_dateSwitch, &QCheckBox::toggled, this, [this](bool on) {
        m_dateEdit->setEnabled(on);
        refresh();
    });
    connect(m_dateEdit, &QDateEdit::dateChanged, this, &HistoryWindow::refresh);
    connect(m_refreshButton, &QPushButton::clicked, this, &HistoryWindow::refresh);
    connect(m_table, &QTableWidget::itemSelectionChanged, this, &HistoryWindow::selectionChanged);
    connect(m_reprintButton, &QPushButton::clicked, this, &HistoryWindow::reprintSelected);
    connect(m_sheetAgainButton, &QPushButton::clicked, this, &HistoryWindow::reprintHeldSheet);
    connect(m_giveUpButton, &QPushButton::clicked, this, &HistoryWindow::giveUpHeldSheet);

    refresh();
}

void HistoryWindow::refresh()
{
    const qint64 selected = selectedPhotoId();
    m_table->setRowCount(0);
    selectionChanged();

    HistoryQuery query;
    // A number typed with its extension still finds the photo.
    query.number = m_numberEdit->text().trimmed().section(u'.', 0, 0);
    if (m_dateSwitch->isChecked())
        query.since = m_dateEdit->date().startOfDay();
    query.limit = kListLimit;
    const bool filtered = !query.number.isEmpty() || query.since.isValid();

    const QString ledgerPath = joinPath(m_programFolder, QString::fromUtf16(kLedgerFileName));
    PrintLedger ledger;
    const LedgerOpening opened = ledger.open(m_programFolder, PrintLedger::Mode::Read);
    if (!opened.ok) {
        const QFileInfo file(ledgerPath);
        m_listNote->setText(!file.exists() && !file.isSymLink()
                                ? QStringLiteral("还没有打印记录")
                                : QStringLiteral("打印记录打不开：") + opened.error);
        return;
    }
    const LedgerResult<QList<HistoryEntry>> found = ledger.history(query);
    ledger.close();
    if (!found.ok()) {
        m_listNote->setText(QStringLiteral("打印记录读不出：") + found.error);
        return;
    }

    m_table->setRowCount(int(found.value.size()));
    int row = 0;
    for (const HistoryEntry& entry : found.value) {
        const LedgerPhoto& photo = entry.photo;
        const QString relative = decodeFileName(photo.path);
        QStringList sheets, sheetTips, printers;
        const LedgerSheet* held = nullptr;
        for (const LedgerSheet& sheet : entry.sheets) {
            if (sheet.held && sheet.state == SheetState::Handed && !held)
                held = &sheet;
            sheets << QString::number(sheet.id);
            sheetTips << sheetTip(sheet);
            if (!sheet.printer.isEmpty() && !printers.contains(sheet.printer))
                printers << sheet.printer;
        }
        QTableWidgetItem* time = cell(shownTime(photo.queuedAt));
        time->setData(kPhotoIdRole, photo.id);
        time->setData(kHeldSheetRole, held ? held->id : 0);
        m_table->setItem(row, kTime, time);
        m_table->setItem(row, kNumber, cell(photo.number));
        QTableWidgetItem* path = cell(relative, photo.hotFolder + u'/' + relative);
        path->setData(kHotFolderRole, photo.hotFolder);
        m_table->setItem(row, kPath, path);
        m_table->setItem(row, kState,
                         cell(held ? QStringLiteral("打印失败，等待处理：") + held->reason
                                   : photoStateText(photo)));
        m_table->setItem(row, kCopies, cell(QString::number(photo.copies)));
        m_table->setItem(row, kSheets,
                         cell(sheets.join(QStringLiteral("、")), sheetTips.join(u'\n')));
        m_table->setItem(row, kPrinters, cell(printers.join(QStringLiteral("、"))));
        m_table->setItem(row, kReprint, cell(photo.reprint ? QStringLiteral("加印") : QString()));
        if (photo.id == selected)
            m_table->selectRow(row);
        ++row;
    }
    m_table->resizeColumnsToContents();
    m_table->horizontalHeader()->setSectionResizeMode(kPath, QHeaderView::Stretch);

    if (found.value.isEmpty())
        m_listNote->setText(filtered ? QStringLiteral("没有符合条件的打印记录")
                                     : QStringLiteral("还没有打印记录"));
    else if (found.value.size() >= kListLimit)
        m_listNote->setText(
            QStringLiteral("只列出最近的 %1 张照片；按号码或日期筛选可找到更早的").arg(kListLimit));
    else
        m_listNote->setText(QStringLiteral("共 %1 张照片").arg(found.value.size()));
    selectionChanged();
}

qint64 HistoryWindow::selectedPhotoId() const
{
    const QList<QTableWidgetItem*> items = m_table->selectedItems();
    if (items.isEmpty())
        return 0;
    const QTableWidgetItem* first = m_table->item(items.first()->row(), kTime);
    return first ? first->data(kPhotoIdRole).toLongLong() : 0;
}

qint64 HistoryWindow::selectedHeldSheet() const
{
    const QList<QTableWidgetItem*> items = m_table->selectedItems();
    if (items.isEmpty())
        return 0;
    const QTableWidgetItem* first = m_table->item(items.first()->row(), kTime);
    return first ? first->data(kHeldSheetRole).toLongLong() : 0;
}

void HistoryWindow::selectionChanged()
{
    m_reprintButton->setEnabled(selectedPhotoId() != 0);
    m_sheetAgainButton->setEnabled(selectedHeldSheet() != 0);
    m_giveUpButton->setEnabled(selectedHeldSheet() != 0);
}

void HistoryWindow::reprintHeldSheet()
{
    decideHeldSheet(true);
}

void HistoryWindow::giveUpHeldSheet()
{
    decideHeldSheet(false);
}

void HistoryWindow::decideHeldSheet(bool printAgain)
{
    const qint64 sheetId = selectedHeldSheet();
    if (sheetId == 0)
        return;
    const auto decide = [&](PrintLedger& ledger) {
        return (printAgain ? reprintSheet(ledger, sheetId) : giveUpSheet(ledger, sheetId)).error;
    };
    // Through this program's monitor when it records here: a reprint is then
    // laid out at once.
    QString error;
    const std::shared_ptr<MonitorJournal> journal = m_state.journal;
    if (journal && journal->isRecording() && m_programFolder == m_state.programFolder) {
        if (printAgain)
            journal->reprintSheet(sheetId, &error);
        else
            error = decide(journal->ledger());
    } else {
        PrintLedger ledger;
        const LedgerOpening opened = ledger.open(m_programFolder, PrintLedger::Mode::Write);
        error = opened.ok ? decide(ledger) : opened.error;
    }
    if (!error.isEmpty()) {
        message((printAgain ? QStringLiteral("重新打印失败：") : QStringLiteral("放弃失败：")) +
                    error,
                QString::fromUtf16(kErrorCaption), QMessageBox::Warning);
        return;
    }
    m_reprintNote->setText(printAgain
                               ? QStringLiteral("相纸 %1 的照片已按原份数重新排队").arg(sheetId)
                               : QStringLiteral("相纸 %1 已放弃").arg(sheetId));
    refresh();
}

void HistoryWindow::reprintSelected()
{
    const qint64 photoId = selectedPhotoId();
    if (photoId == 0)
        return;
    const int copies = m_copiesBox->value();
    const int row = m_table->selectedItems().first()->row();
    const QString shown = m_table->item(row, kPath)->toolTip();
    const QString hotFolder = m_table->item(row, kPath)->data(kHotFolderRole).toString();

    // This program's monitor, when it records into this very ledger, takes
    // the reprint into its queue at once and arms its own timer; otherwise
    // the ledger keeps it for whichever monitor of the folder runs (at its
    // next heartbeat) or starts next.
    QString error;
    QString when = QStringLiteral("正在监控这个文件夹的 Vellora 几秒内排版，否则开始监控时排版");
    const std::shared_ptr<MonitorJournal> journal = m_state.journal;
    if (journal && journal->isRecording() && m_programFolder == m_state.programFolder) {
        when = journal->monitors(hotFolder) ? QStringLiteral("马上排版")
                                            : QStringLiteral("开始监控这个文件夹时排版");
        journal->reprint(photoId, copies, &error);
    } else {
        PrintLedger ledger;
        const LedgerOpening opened = ledger.open(m_programFolder, PrintLedger::Mode::Write);
        error = opened.ok ? queueReprint(ledger, photoId, copies).error : opened.error;
    }
    if (!error.isEmpty()) {
        m_reprintNote->clear();
        message(QStringLiteral("加印失败：") + error, QString::fromUtf16(kErrorCaption),
                QMessageBox::Warning);
        return;
    }
    m_reprintNote->setText(QStringLiteral("已加印 %1 份 %2：%3").arg(copies).arg(shown, when));
    refresh();
}

void HistoryWindow::message(const QString& text, const QString& caption, QMessageBox::Icon icon)
{
    if (m_dialogs && m_dialogs->message)
        m_dialogs->message(caption, text, icon);
    else
        showMessageBox(text, caption, icon);
}

} // namespace vellora

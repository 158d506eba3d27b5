#include "testutils.h"

#include "core/AppState.h"
#include "core/ProgramFolder.h"
#include "ledger/PrintLedger.h"
#include "ui/HistoryWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>

#include <memory>

using namespace vellora;
using vellora::test::TempProgramFolder;

namespace {

enum Column { kTime, kNumber, kPath, kState, kCopies, kSheets, kPrinters, kReprint };

QDateTime at(int day, int hour)
{
    return QDateTime(QDate(2026, 3, day), QTime(hour, 0));
}

struct Message
{
    QString caption;
    QString text;
};

// A program folder whose print ledger holds a studio's two days, written
// through the ledger as the monitor writes it, and a hot folder in which only
// some of those photos are still on disk.
struct Studio
{
    TempProgramFolder program;
    QTemporaryDir hot;
    AppState state;
    DialogsPtr dialogs = std::make_shared<Dialogs>();
    QList<Message> messages;
    std::unique_ptr<HistoryWindow> window;

    Studio()
    {
        state.programFolder = program.path();
        dialogs->message = [this](const QString& caption, const QString& text, QMessageBox::Icon) {
            messages.append({caption, text});
        };
    }

    QString photoPath(const char* relative) const
    {
        return hot.path() + u'/' + QString::fromUtf8(relative);
    }

    void writeLedger()
    {
        QVERIFY(QDir().mkpath(hot.filePath(QStringLiteral("day1"))));
        test::writeFileBytes(photoPath("day1/100001.jpg"), "a photo");
        PrintLedger ledger;
        QVERIFY(ledger.open(program.path(), PrintLedger::Mode::Write).ok);
        QDateTime now;
        ledger.setClock([&now] { return now; });
        // 1 March: 100001 printed on sheet 1, 100002 not a picture.
        now = at(1, 9);
        const qint64 printed = ledger.recordPhotoQueued(hot.path(), "day1/100001.jpg", 2).value;
        const qint64 first = ledger.newSheet(QStringLiteral("一寸"), 8).value;
        QVERIFY(ledger.photoOnSheet(printed, first, {1, 2}).ok());
        QVERIFY(ledger.sheetJobCreated(first, QStringLiteral("照相馆打印机"), 7).ok());
        QVERIFY(ledger.sheetDocumentSent(first).ok());
        QVERIFY(ledger.sheetPrinted(first).ok());
        now = at(1, 10);
        const qint64 bad = ledger.recordPhotoQueued(hot.path(), "day1/100002.jpg", 1).value;
        QVERIFY(ledger.photoNotLaidOut(bad, QStringLiteral("不是照片")).ok());
        // 5 March: 100003 on the pending sheet, 100004 queued (its file since
        // gone), and a reprint of 100001 laid out beside 100003.
        now = at(5, 9);
        const qint64 pending = ledger.recordPhotoQueued(hot.path(), "day2/100003.jpg", 1).value;
        const qint64 second = ledger.newSheet(QStringLiteral("一寸"), 8).value;
        QVERIFY(ledger.photoOnSheet(pending, second, {1, 1}).ok());
        now = at(5, 10);
        QVERIFY(ledger.recordPhotoQueued(hot.path(), "day2/100004.jpg", 1).ok());
        now = at(5, 11);
        const qint64 again = ledger.recordPhotoQueued(hot.path(), "day1/100001.jpg", 1, true).value;
        QVERIFY(ledger.photoOnSheet(again, second, {2, 1}).ok());
    }

    HistoryWindow* open(const QString& folder = QString())
    {
        window = std::make_unique<HistoryWindow>(state, nullptr, dialogs, folder);
        window->show();
        return window.get();
    }

    template <class T> T* child(const char16_t* name) const
    {
        T* found = window->findChild<T*>(QString::fromUtf16(name));
        if (!found)
            qWarning("no %s", qPrintable(QString::fromUtf16(name)));
        return found;
    }
    QTableWidget* table() const { return child<QTableWidget>(u"打印记录列表"); }
    QString note() const { return child<QLabel>(u"打印记录提示标签")->text(); }

    QString text(int row, int column) const
    {
        const QTableWidgetItem* item = table()->item(row, column);
        return item ? item->text() : QStringLiteral("<none>");
    }
    QStringList numbers() const
    {
        QStringList shown;
        for (int row = 0; row < table()->rowCount(); ++row)
            shown << text(row, kNumber);
        return shown;
    }
    int rowOf(const QString& number, const QString& state) const
    {
        for (int row = 0; row < table()->rowCount(); ++row)
            if (text(row, kNumber) == number && text(row, kState) == state)
                return row;
        return -1;
    }

    QList<LedgerPhoto> queuedReprints() const
    {
        PrintLedger ledger;
        if (!ledger.open(program.path(), PrintLedger::Mode::Read).ok)
            return {};
        return ledger.queuedReprints().value;
    }
};

} // namespace

class HistoryWindowTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void listsEveryPhotoNewestFirst();
    void filters_data();
    void filters();
    void withoutLedgerSaysSoAndMakesNone();
    void reprint_data();
    void reprint();
    void heldSheetIsPrintedAgainOrGivenUp_data();
    void heldSheetIsPrintedAgainOrGivenUp();
    void commandLineListsTheLedger();
    void commandLineArguments_data();
    void commandLineArguments();
};

void HistoryWindowTest::listsEveryPhotoNewestFirst()
{
    Studio s;
    s.writeLedger();
    s.open();
    const QStringList header{
        QStringLiteral("计入时间"), QStringLiteral("号码"), QStringLiteral("照片（监控目录下）"),
        QStringLiteral("状态"),     QStringLiteral("份数"), QStringLiteral("相纸"),
        QStringLiteral("打印机"),   QStringLiteral("加印")};
    for (int column = 0; column < header.size(); ++column)
        QCOMPARE(s.table()->horizontalHeaderItem(column)->text(), header[column]);
    // time, number, path, state, copies, sheets, printer, reprint
    const QList<QStringList> expected{
        {"2026-03-05 11:00:00", "100001", "day1/100001.jpg", "在待打印版面上", "1", "2", "",
         "加印"},
        {"2026-03-05 10:00:00", "100004", "day2/100004.jpg", "排队中", "1", "", "", ""},
        {"2026-03-05 09:00:00", "100003", "day2/100003.jpg", "在待打印版面上", "1", "2", "", ""},
        {"2026-03-01 10:00:00", "100002", "day1/100002.jpg", "未排版：不是照片", "1", "", "", ""},
        {"2026-03-01 09:00:00", "100001", "day1/100001.jpg", "已打印", "2", "1", "照相馆打印机",
         ""},
    };
    QCOMPARE(s.table()->rowCount(), expected.size());
    for (int row = 0; row < expected.size(); ++row)
        for (int column = 0; column < expected[row].size(); ++column)
            QCOMPARE(s.text(row, column), expected[row][column]);
    // The whole path is there for the operator to check.
    QCOMPARE(s.table()->item(3, kPath)->toolTip(), s.photoPath("day1/100002.jpg"));
    QVERIFY(s.table()->item(4, kSheets)->toolTip().contains(QStringLiteral("打印任务 7")));
}

void HistoryWindowTest::filters_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<bool>("byDate");
    QTest::addColumn<QDate>("from");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("note");
    const QDate fifth(2026, 3, 5);
    QTest::newRow("none") << QString() << false << fifth
                          << QStringList{"100001", "100004", "100003", "100002", "100001"}
                          << QStringLiteral("共 5 张照片");
    QTest::newRow("number") << QStringLiteral("100001") << false << fifth
                            << QStringList{"100001", "100001"} << QStringLiteral("共 2 张照片");
    QTest::newRow("file name") << QStringLiteral("100002.jpg") << false << fifth
                               << QStringList{"100002"} << QStringLiteral("共 1 张照片");
    QTest::newRow("from a day") << QString() << true << fifth
                                << QStringList{"100001", "100004", "100003"}
                                << QStringLiteral("共 3 张照片");
    QTest::newRow("from the day before")
        << QString() << true << QDate(2026, 3, 4) << QStringList{"100001", "100004", "100003"}
        << QStringLiteral("共 3 张照片");
    QTest::newRow("number and day") << QStringLiteral("100001") << true << fifth
                                    << QStringList{"100001"} << QStringLiteral("共 1 张照片");
    QTest::newRow("nothing matches") << QStringLiteral("100002") << true << fifth << QStringList{}
                                     << QStringLiteral("没有符合条件的打印记录");
    QTest::newRow("unknown number") << QStringLiteral("1000") << false << fifth << QStringList{}
                                    << QStringLiteral("没有符合条件的打印记录");
}

void HistoryWindowTest::filters()
{
    QFETCH(QString, number);
    QFETCH(bool, byDate);
    QFETCH(QDate, from);
    QFETCH(QStringList, shown);
    QFETCH(QString, note);
    Studio s;
    s.writeLedger();
    s.open();
    // The date filter is off until its box is ticked: setting the date alone
    // hides nothing.
    auto* dateSwitch = s.child<QCheckBox>(u"日期筛选开关");
    auto* date = s.child<QDateEdit>(u"日期筛选框");
    QVERIFY(!dateSwitch->isChecked());
    date->setDate(from);
    QCOMPARE(s.table()->rowCount(), 5);
    // Typing refreshes the list, with no 刷新 pressed.
    QTest::keyClicks(s.child<QLineEdit>(u"号码筛选框"), number);
    dateSwitch->setChecked(byDate);
    QCOMPARE(s.numbers(), shown);
    QCOMPARE(s.note(), note);
}

void HistoryWindowTest::withoutLedgerSaysSoAndMakesNone()
{
    Studio s;
    s.open();
    QCOMPARE(s.table()->rowCount(), 0);
    QCOMPARE(s.note(), QStringLiteral("还没有打印记录"));
    QVERIFY(!s.child<QPushButton>(u"加印按钮")->isEnabled());
    s.child<QPushButton>(u"刷新按钮")->click();
    QCOMPARE(s.note(), QStringLiteral("还没有打印记录"));
    QVERIFY(!QFileInfo::exists(s.program.file(QString::fromUtf16(kLedgerFileName))));
    QVERIFY(s.messages.isEmpty());
}

void HistoryWindowTest::reprint_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("onDisk");
    QTest::newRow("photo still there") << QStringLiteral("100001") << QStringLiteral("已打印")
                                       << QStringLiteral("day1/100001.jpg") << true;
    QTest::newRow("photo gone") << QStringLiteral("100004") << QStringLiteral("排队中")
                                << QStringLiteral("day2/100004.jpg") << false;
}

void HistoryWindowTest::reprint()
{
    QFETCH(QString, number);
    QFETCH(QString, state);
    QFETCH(QString, relative);
    QFETCH(bool, onDisk);
    Studio s;
    s.writeLedger();
    // The window reads the ledger of the folder it is given, not the
    // state's; with no monitor of its own it queues through that ledger.
    TempProgramFolder elsewhere;
    s.state.programFolder = elsewhere.path();
    s.open(s.program.path());
    QVERIFY(s.queuedReprints().isEmpty());
    const int row = s.rowOf(number, state);
    QVERIFY(row >= 0);
    s.table()->selectRow(row);
    auto* copies = s.child<QSpinBox>(u"加印份数框");
    QCOMPARE(copies->minimum(), 1);
    QCOMPARE(copies->maximum(), 999);
    QCOMPARE(copies->value(), 1);
    copies->setValue(3);
    auto* button = s.child<QPushButton>(u"加印按钮");
    QVERIFY(button->isEnabled());
    QTest::mouseClick(button, Qt::LeftButton);

    const QString path = s.hot.path() + u'/' + relative;
    const QList<LedgerPhoto> queued = s.queuedReprints();
    if (!onDisk) {
        QCOMPARE(s.messages.size(), 1);
        QVERIFY2(s.messages[0].text.contains(path), qPrintable(s.messages[0].text));
        QVERIFY(queued.isEmpty());
        QCOMPARE(s.table()->rowCount(), 5);
        return;
    }
    QVERIFY(s.messages.isEmpty());
    QCOMPARE(queued.size(), 1);
    QCOMPARE(queued[0].hotFolder, s.hot.path());
    QCOMPARE(queued[0].path, relative.toUtf8());
    QCOMPARE(queued[0].copies, 3);
    QVERIFY(queued[0].reprint);
    // The list shows it at once, on top.
    QCOMPARE(s.table()->rowCount(), 6);
    QCOMPARE(s.text(0, kNumber), number);
    QCOMPARE(s.text(0, kState), QStringLiteral("排队中"));
    QCOMPARE(s.text(0, kCopies), QStringLiteral("3"));
    QCOMPARE(s.text(0, kReprint), QStringLiteral("加印"));
    QVERIFY(!QFileInfo::exists(elsewhere.file(QString::fromUtf16(kLedgerFileName))));
}

namespace {

// vellora-cli copied into the program folder: it reads the ledger beside itself.
QString cliBeside(const TempProgramFolder& program)
{
    const QString copy = program.file(QStringLiteral("vellora-cli"));
    if (!QFileInfo::exists(copy) &&
        !QFile::copy(test::builtProgramFolder() + QStringLiteral("/vellora-cli"), copy))
        return QString();
    return copy;
}

} // namespace

void HistoryWindowTest::heldSheetIsPrintedAgainOrGivenUp_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("重新打印") << QStringLiteral("重新打印按钮");
    QTest::newRow("放弃") << QStringLiteral("放弃按钮");
    QTest::newRow("vellora-cli reprint --sheet") << QString();
}

// A sheet whose job the printing system ended after a page: it waits for the
// operator, who prints its photos again with the copies they had there, or
// gives it up. A sheet still on its way is not the operator's to decide.
void HistoryWindowTest::heldSheetIsPrintedAgainOrGivenUp()
{
    QFETCH(QString, button);
    Studio s;
    s.writeLedger();
    qint64 held = 0;
    {
        PrintLedger ledger;
        QVERIFY(ledger.open(s.program.path()).ok);
        const qint64 photo = ledger.recordPhotoQueued(s.hot.path(), "day1/100001.jpg", 3).value;
        held = ledger.newSheet(QStringLiteral("一寸"), 8).value;
        QVERIFY(ledger.photoOnSheet(photo, held, {1, 3}).ok());
        QVERIFY(ledger.sheetJobCreated(held, QStringLiteral("照相馆打印机"), 9).ok());
        QVERIFY(ledger.sheetDocumentSent(held).ok());
        QVERIFY(ledger.sheetHeld(held, QStringLiteral("作业 9 打印了 1 页后结束")).ok());
    }
    const QString cli = cliBeside(s.program);
    QVERIFY(!cli.isEmpty());
    int status = -1;
    // Sheet 2 is still being filled.
    test::runTool(cli, {QStringLiteral("reprint"), QStringLiteral("--sheet"), QStringLiteral("2")},
                  &status);
    QCOMPARE(status, 1);
    QVERIFY(s.queuedReprints().isEmpty());

    s.open();
    const int row = s.rowOf(QStringLiteral("100001"),
                            QStringLiteral("打印失败，等待处理：作业 9 打印了 1 页后结束"));
    QVERIFY(row >= 0);
    auto* again = s.child<QPushButton>(u"重新打印按钮");
    auto* giveUp = s.child<QPushButton>(u"放弃按钮");
    s.table()->selectRow(s.rowOf(QStringLiteral("100002"), QStringLiteral("未排版：不是照片")));
    QVERIFY(!again->isEnabled() && !giveUp->isEnabled());
    s.table()->selectRow(row);
    QVERIFY(again->isEnabled() && giveUp->isEnabled());
    if (button.isEmpty()) {
        test::runTool(cli,
                      {QStringLiteral("reprint"), QStringLiteral("--sheet"), QString::number(held)},
                      &status);
        QCOMPARE(status, 0);
    } else {
        QTest::mouseClick(s.window->findChild<QPushButton*>(button), Qt::LeftButton);
    }
    QVERIFY(s.messages.isEmpty());
    const QList<LedgerPhoto> queued = s.queuedReprints();
    PrintLedger ledger;
    QVERIFY(ledger.open(s.program.path(), PrintLedger::Mode::Read).ok);
    const LedgerSheet sheet = *ledger.sheet(held).value;
    QCOMPARE(sheet.state, SheetState::Discarded);
    if (button == u"放弃按钮") {
        QVERIFY(queued.isEmpty());
        QVERIFY(sheet.reason.startsWith(QStringLiteral("操作员放弃")));
    } else {
        QCOMPARE(queued.size(), 1);
        QCOMPARE(queued[0].path, QByteArray("day1/100001.jpg"));
        QCOMPARE(queued[0].copies, 3);
    }
    // Decided: nothing waits for the operator any more.
    if (button.isEmpty())
        s.window->refresh();
    QCOMPARE(s.rowOf(QStringLiteral("100001"),
                     QStringLiteral("打印失败，等待处理：作业 9 打印了 1 页后结束")),
             -1);
}

void HistoryWindowTest::commandLineListsTheLedger()
{
    Studio s;
    s.writeLedger();
    const QString cli = cliBeside(s.program);
    QVERIFY(!cli.isEmpty());

    int status = -1;
    const QByteArray json = test::runTool(cli,
                                          {QStringLiteral("history"), QStringLiteral("--json"),
                                           QStringLiteral("--number"), QStringLiteral("100001")},
                                          &status);
    QCOMPARE(status, 0);
    const QJsonArray entries = QJsonDocument::fromJson(json).array();
    QCOMPARE(entries.size(), 2);
    const QJsonObject reprint = entries[0].toObject();
    const QJsonObject printed = entries[1].toObject();
    QCOMPARE(reprint[u"state"].toString(), QStringLiteral("on_sheet"));
    QCOMPARE(reprint[u"reprint"].toBool(), true);
    QCOMPARE(printed[u"number"].toString(), QStringLiteral("100001"));
    QCOMPARE(printed[u"hot_folder"].toString(), s.hot.path());
    QCOMPARE(printed[u"path"].toString(), QStringLiteral("day1/100001.jpg"));
    QCOMPARE(printed[u"state"].toString(), QStringLiteral("printed"));
    QCOMPARE(printed[u"copies"].toInt(), 2);
    QCOMPARE(printed[u"reprint"].toBool(), false);
    QCOMPARE(QDateTime::fromString(printed[u"counted_at"].toString(), Qt::ISODate), at(1, 9));
    const QJsonArray sheets = printed[u"sheets"].toArray();
    QCOMPARE(sheets.size(), 1);
    QCOMPARE(sheets[0][u"printer"].toString(), QStringLiteral("照相馆打印机"));
    QCOMPARE(sheets[0][u"job"].toInt(), 7);
    QCOMPARE(sheets[0][u"state"].toString(), QStringLiteral("printed"));

    // Plain: one tab-separated line a photo; the path whole, as reprint takes it.
    const QByteArray plain = test::runTool(cli,
                                           {QStringLiteral("history"), QStringLiteral("--since"),
                                            QStringLiteral("2026-03-01"),
                                            QStringLiteral("--number"), QStringLiteral("100001")},
                                           &status);
    QCOMPARE(status, 0);
    const QStringList lines = QString::fromUtf8(plain).split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[1].split(u'\t'),
             (QStringList{"2026-03-01 09:00:00", "100001", s.photoPath("day1/100001.jpg"), "已打印",
                          "2", "1", "照相馆打印机", "7", "-"}));
    QCOMPARE(lines[0].split(u'\t').last(), QStringLiteral("加印"));
    const QByteArray later = test::runTool(
        cli,
        {QStringLiteral("history"), QStringLiteral("--since"), QStringLiteral("2026-03-05T10:00")},
        &status);
    QCOMPARE(status, 0);
    QCOMPARE(later.count('\n'), 2); // 100001's reprint and 100004
}

void HistoryWindowTest::commandLineArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::newRow("no ledger") << QStringList{QStringLiteral("--json")} << 0;
    QTest::newRow("bad date") << QStringList{QStringLiteral("--since"), QStringLiteral("3月5日")}
                              << 2;
    QTest::newRow("no date") << QStringList{QStringLiteral("--since")} << 2;
    QTest::newRow("empty number") << QStringList{QStringLiteral("--number"), QString()} << 2;
    QTest::newRow("positional") << QStringList{QStringLiteral("100001")} << 2;
    QTest::newRow("unknown option")
        << QStringList{QStringLiteral("--copies"), QStringLiteral("2")} << 2;
}

void HistoryWindowTest::commandLineArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    TempProgramFolder program;
    const QString cli = cliBeside(program);
    QVERIFY(!cli.isEmpty());
    int exitStatus = -1;
    const QByteArray out =
        test::runTool(cli, QStringList{QStringLiteral("history")} + arguments, &exitStatus);
    QCOMPARE(exitStatus, status);
    if (status == 0) {
        QCOMPARE(QJsonDocument::fromJson(out).array().size(), 0);
        QVERIFY(QJsonDocument::fromJson(out).isArray());
        QVERIFY(!QFileInfo::exists(program.file(QString::fromUtf16(kLedgerFileName))));
    }
}

QTEST_MAIN(HistoryWindowTest)
#include "tst_historywindow.moc"

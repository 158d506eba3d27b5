#include "core/ProgramFolder.h"
#include "ledger/PrintLedger.h"
#include "testutils.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

#include <csignal>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vellora;
using vellora::test::TempProgramFolder;

namespace {

const QString kHot = QStringLiteral("/srv/hot");

QString ledgerPath(const TempProgramFolder& folder)
{
    return folder.file(QString::fromUtf16(kLedgerFileName));
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

quint32 bigEndian32(const QByteArray& bytes, int at)
{
    return quint32(quint8(bytes[at])) << 24 | quint32(quint8(bytes[at + 1])) << 16 |
           quint32(quint8(bytes[at + 2])) << 8 | quint32(quint8(bytes[at + 3]));
}

// Runs SQL on a file with SQLite directly, as another program would.
bool sqliteExec(const QString& path, const char* sql)
{
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(QFile::encodeName(path).constData(), &db) == SQLITE_OK &&
              sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

PhotoIdentity identityOf(const QByteArray& bytes)
{
    PhotoIdentity identity;
    identity.size = bytes.size();
    identity.sha256 = photoDigest(bytes);
    return identity;
}

} // namespace

class TestPrintLedger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void newLedgerIsOursAndGroupWritable();
    void plantedLinkIsRefused();
    void unusableFileIsSetAside_data();
    void unusableFileIsSetAside();
    void readerNeverRepairs();
    void recoverStartsAfresh();
    void photoFollowsItsSheets();
    void refusedChanges_data();
    void refusedChanges();
    void restartFindsUnfinishedWork();
    void olderLedgerIsUpgradedInPlace();
    void commitSurvivesKill();
    void sameBytes_data();
    void sameBytes();
    void historyByNumberAndTime();
    void pruneKeepsUnfinishedWork();
    void failedBatchKeepsNothing();
};

void TestPrintLedger::newLedgerIsOursAndGroupWritable()
{
    TempProgramFolder folder;
    const mode_t mask = ::umask(022);
    PrintLedger ledger;
    const LedgerOpening opening = ledger.open(folder.path());
    QVERIFY2(opening.ok, qPrintable(opening.error));
    QVERIFY(opening.notice.isEmpty());
    QVERIFY(ledger.recordPhotoQueued(kHot, "a/1.jpg", 2).ok());
    ::umask(mask);

    // The group shares the ledger, its WAL and its index, whatever the umask.
    for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        struct stat st
        {
        };
        QVERIFY2(::stat(QFile::encodeName(ledgerPath(folder) + suffix).constData(), &st) == 0,
                 qPrintable(suffix));
        QCOMPARE(st.st_mode & 0777, mode_t(0660));
    }
    ledger.close();
    // The SQLite header: WAL (read and write versions 2) and our mark.
    const QByteArray header = readAll(ledgerPath(folder)).left(100);
    QCOMPARE(header.left(16), QByteArray("SQLite format 3\0", 16));
    QCOMPARE(int(header[18]), 2);
    QCOMPARE(bigEndian32(header, 68), quint32(0x566C6772));
    QCOMPARE(bigEndian32(header, 60), quint32(2));
}

void TestPrintLedger::plantedLinkIsRefused()
{
    // The installed folder is group-writable (2770): a link there is anyone's.
    TempProgramFolder folder;
    QVERIFY(QFile::setPermissions(folder.path(), QFile::permissions(folder.path()) |
                                                     QFile::WriteGroup | QFile::ExeGroup));
    QTemporaryDir victim;
    const QString target = victim.filePath(QStringLiteral("elsewhere.db"));
    QVERIFY(QFile::link(target, ledgerPath(folder)));
    PrintLedger ledger;
    const LedgerOpening opening = ledger.open(folder.path());
    QVERIFY(!opening.ok);
    QVERIFY2(opening.error.contains(QString::fromUtf16(kLedgerFileName)),
             qPrintable(opening.error));
    QVERIFY(!QFile::exists(target));
    QVERIFY(QFileInfo(ledgerPath(folder)).isSymLink());
}

void TestPrintLedger::unusableFileIsSetAside_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("setAside");
    QTest::newRow("zero bytes: a creation cut off") << "empty" << false;
    QTest::newRow("random bytes") << "random" << true;
    QTest::newRow("SQLite header, random pages") << "header" << true;
    QTest::newRow("a ledger cut short") << "truncated" << true;
    QTest::newRow("someone else's SQLite file") << "foreign" << true;
    QTest::newRow("a ledger of a newer version") << "newer" << true;
    QTest::newRow("a folder of that name") << "folder" << true;
}

void TestPrintLedger::unusableFileIsSetAside()
{
    QFETCH(QString, kind);
    QFETCH(bool, setAside);
    TempProgramFolder folder;
    const QString path = ledgerPath(folder);
    QRandomGenerator random(7);
    const auto randomBytes = [&](int n) {
        QByteArray bytes(n, Qt::Uninitialized);
        for (char& c : bytes)
            c = char(random.bounded(256));
        return bytes;
    };
    const auto makeLedger = [&](int photos) {
        PrintLedger ledger;
        QVERIFY(ledger.open(folder.path()).ok);
        for (int i = 0; i < photos; ++i)
            QVERIFY(ledger.recordPhotoQueued(kHot, QByteArray::number(i) + ".jpg", 1).ok());
    };
    if (kind == u"empty") {
        QVERIFY(writeAll(path, {}));
    } else if (kind == u"random") {
        QVERIFY(writeAll(path, randomBytes(8192)));
    } else if (kind == u"header") {
        makeLedger(300);
        QByteArray bytes = readAll(path);
        QVERIFY(bytes.size() > 8192);
        bytes = bytes.left(100) + randomBytes(int(bytes.size()) - 100);
        QVERIFY(writeAll(path, bytes));
    } else if (kind == u"truncated") {
        makeLedger(2000);
        const QByteArray bytes = readAll(path);
        QVERIFY(bytes.size() > 16 * 4096);
        QVERIFY(writeAll(path, bytes.left(bytes.size() / 2 / 4096 * 4096)));
    } else if (kind == u"foreign") {
        QVERIFY(
            sqliteExec(path, "CREATE TABLE photos (id, path); INSERT INTO photos VALUES (1, 2)"));
    } else if (kind == u"newer") {
        makeLedger(1);
        QVERIFY(sqliteExec(path, "PRAGMA user_version = 99"));
    } else if (kind == u"folder") {
        QVERIFY(QDir(folder.path()).mkdir(QString::fromUtf16(kLedgerFileName)));
    }
    const QByteArray before = QFileInfo(path).isFile() ? readAll(path) : QByteArray();

    PrintLedger ledger;
    const LedgerOpening opening = ledger.open(folder.path());
    QVERIFY2(opening.ok, qPrintable(opening.error));
    QCOMPARE(!opening.notice.isEmpty(), setAside);
    if (setAside) {
        // Kept as it was, under a name the notice gives.
        QVERIFY2(opening.notice.contains(opening.setAsidePath), qPrintable(opening.notice));
        QVERIFY(QFileInfo(opening.setAsidePath)
                    .fileName()
                    .startsWith(QString::fromUtf16(kLedgerFileName) + QStringLiteral(".damaged-")));
        if (kind != u"folder")
            QCOMPARE(readAll(opening.setAsidePath), before);
    }
    // A fresh ledger, empty and writable.
    const auto work = ledger.unfinishedWork();
    QVERIFY2(work.ok(), qPrintable(work.error));
    QVERIFY(work.value.queued.isEmpty());
    QVERIFY(ledger.recordPhotoQueued(kHot, "new.jpg", 1).ok());
    ledger.close();
    QVERIFY(ledger.open(folder.path()).notice.isEmpty());
}

void TestPrintLedger::readerNeverRepairs()
{
    TempProgramFolder folder;
    PrintLedger reader;
    QVERIFY(!reader.open(folder.path(), PrintLedger::Mode::Read).ok);
    QVERIFY(!QFile::exists(ledgerPath(folder)));

    QVERIFY(writeAll(ledgerPath(folder), QByteArray(4096, 'x')));
    const LedgerOpening opening = reader.open(folder.path(), PrintLedger::Mode::Read);
    QVERIFY(!opening.ok);
    QCOMPARE(readAll(ledgerPath(folder)), QByteArray(4096, 'x'));
    QCOMPARE(QDir(folder.path()).entryList({QStringLiteral("*.damaged-*")}).size(), 0);
}

// What the monitor does when a write reports the file damaged.
void TestPrintLedger::recoverStartsAfresh()
{
    TempProgramFolder folder;
    PrintLedger ledger;
    QVERIFY(ledger.open(folder.path()).ok);
    QVERIFY(ledger.recordPhotoQueued(kHot, "1.jpg", 1).ok());
    const LedgerOpening fresh = ledger.recover();
    QVERIFY2(fresh.ok, qPrintable(fresh.error));
    QVERIFY(fresh.notice.contains(fresh.setAsidePath));
    QVERIFY(ledger.unfinishedWork().value.queued.isEmpty());
    QVERIFY(ledger.recordPhotoQueued(kHot, "2.jpg", 1).ok());
    // The old one still holds its photo (closed first, its WAL is in it).
    QVERIFY(!QFile::exists(fresh.setAsidePath + QStringLiteral("-wal")));
    QTemporaryDir copy;
    QVERIFY(QFile::copy(fresh.setAsidePath, copy.filePath(QString::fromUtf16(kLedgerFileName))));
    PrintLedger old;
    QVERIFY(old.open(copy.path(), PrintLedger::Mode::Read).ok);
    const auto queued = old.unfinishedWork().value.queued;
    QCOMPARE(queued.size(), 1);
    QCOMPARE(queued[0].path, QByteArray("1.jpg"));
}

void TestPrintLedger::photoFollowsItsSheets()
{
    TempProgramFolder folder;
    PrintLedger ledger;
    QVERIFY(ledger.open(folder.path()).ok);
    // Six copies on sheets of four: four on the first, two on the next.
    const qint64 photo = ledger.recordPhotoQueued(kHot, "day/152101.front.jpg", 6).value;
    const qint64 first = ledger.newSheet(QStringLiteral("一寸"), 4).value;
    QVERIFY(ledger.photoOnSheet(photo, first, {1, 4}, identityOf("bytes")).ok());
    QVERIFY(ledger.sheetJobCreated(first, QStringLiteral("Q"), 41).ok());
    const qint64 second = ledger.newSheet(QStringLiteral("一寸"), 4).value;
    QVERIFY(ledger.photoOnSheet(photo, second, {1, 2}).ok());
    QCOMPARE(ledger.photo(photo).value->state, PhotoState::OnSheet);
    QVERIFY(ledger.sheetDocumentSent(first).ok());
    QVERIFY(ledger.sheetPrinted(first).ok());
    QCOMPARE(ledger.photo(photo).value->state, PhotoState::OnSheet);
    QVERIFY(ledger.sheetJobCreated(second, QStringLiteral("Q"), 42).ok());
    QCOMPARE(ledger.photo(photo).value->state, PhotoState::Handed);
    QVERIFY(ledger.sheetPrinted(second).ok());

    const LedgerPhoto done = *ledger.photo(photo).value;
    QCOMPARE(done.state, PhotoState::Printed);
    QCOMPARE(done.number, QStringLiteral("152101"));
    QCOMPARE(done.identity.sha256, QCryptographicHash::hash("bytes", QCryptographicHash::Sha256));
    QCOMPARE(done.placements.size(), 2);
    QCOMPARE(done.placements[1].sheetId, second);
    QCOMPARE(done.placements[1].cells, (CellRun{1, 2}));
    QVERIFY(done.queuedAt.isValid() && done.onSheetAt.isValid() && done.handedAt.isValid() &&
            done.printedAt.isValid());
    QVERIFY(!done.keptAt.isValid() && !done.discardedAt.isValid());
    const LedgerSheet sheet = *ledger.sheet(first).value;
    QCOMPARE(sheet.state, SheetState::Printed);
    QCOMPARE(sheet.jobId, 41);
    QCOMPARE(sheet.printer, QStringLiteral("Q"));
    QCOMPARE(sheet.templateName, QStringLiteral("一寸"));
    QVERIFY(sheet.documentSent);
    const QList<HistoryEntry> history = ledger.history({}).value;
    QCOMPARE(history.size(), 1);
    QCOMPARE(history[0].photo.path, QByteArray("day/152101.front.jpg"));
    QCOMPARE(history[0].sheets.size(), 2);
    QCOMPARE(history[0].sheets[1].jobId, 42);
}

void TestPrintLedger::refusedChanges_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("printed before handed") << "printedEarly";
    QTest::newRow("onto a handed sheet") << "ontoHanded";
    QTest::newRow("cells past the sheet's end") << "pastEnd";
    QTest::newRow("cells already taken") << "overlap";
    QTest::newRow("not laid out once on a sheet") << "notLaidOutLate";
    QTest::newRow("sent without a job") << "sentEarly";
    QTest::newRow("a job after printing") << "jobAfterPrinted";
    QTest::newRow("an unknown sheet") << "unknownSheet";
}

void TestPrintLedger::refusedChanges()
{
    QFETCH(QString, change);
    TempProgramFolder folder;
    PrintLedger ledger;
    QVERIFY(ledger.open(folder.path()).ok);
    const qint64 photo = ledger.recordPhotoQueued(kHot, "1.jpg", 2).value;
    const qint64 sheet = ledger.newSheet(QStringLiteral("T"), 8).value;
    QVERIFY(ledger.photoOnSheet(photo, sheet, {1, 2}).ok());
    LedgerWrite refused;
    if (change == u"printedEarly") {
        refused = ledger.sheetPrinted(sheet);
    } else if (change == u"ontoHanded") {
        QVERIFY(ledger.sheetJobCreated(sheet, QStringLiteral("Q"), 1).ok());
        const qint64 other = ledger.recordPhotoQueued(kHot, "2.jpg", 2).value;
        refused = ledger.photoOnSheet(other, sheet, {3, 2});
    } else if (change == u"pastEnd") {
        const qint64 other = ledger.recordPhotoQueued(kHot, "2.jpg", 2).value;
        refused = ledger.photoOnSheet(other, sheet, {8, 2});
    } else if (change == u"overlap") {
        const qint64 other = ledger.recordPhotoQueued(kHot, "2.jpg", 2).value;
        refused = ledger.photoOnSheet(other, sheet, {2, 2});
    } else if (change == u"notLaidOutLate") {
        refused = ledger.photoNotLaidOut(photo, QStringLiteral("late"));
    } else if (change == u"sentEarly") {
        refused = ledger.sheetDocumentSent(sheet);
    } else if (change == u"jobAfterPrinted") {
        QVERIFY(ledger.sheetJobCreated(sheet, QStringLiteral("Q"), 1).ok());
        QVERIFY(ledger.sheetPrinted(sheet).ok());
        refused = ledger.sheetJobCreated(sheet, QStringLiteral("Q"), 2);
    } else if (change == u"unknownSheet") {
        refused = ledger.sheetKept(sheet + 10, QStringLiteral("x.jpg"), QStringLiteral("r"));
    }
    QVERIFY(!refused.ok());
    // Nothing of a refused change lands: the photo is where it was.
    const auto after = ledger.photo(photo);
    QVERIFY(after.value->state == PhotoState::OnSheet || after.value->state == PhotoState::Handed ||
            after.value->state == PhotoState::Printed);
    QCOMPARE(after.value->placements.size(), 1);
}

void TestPrintLedger::restartFindsUnfinishedWork()
{
    TempProgramFolder folder;
    qint64 kept = 0, handed = 0, filling = 0, queued1 = 0, queued2 = 0;
    {
        PrintLedger ledger;
        QVERIFY(ledger.open(folder.path()).ok);
        QVERIFY(ledger.beginSession(kHot, QStringLiteral("T"), 4242).ok());
        const auto place = [&](const QByteArray& name, qint64 sheet, int first) {
            const qint64 id = ledger.recordPhotoQueued(kHot, name, 2).value;
            QVERIFY(ledger.photoOnSheet(id, sheet, {first, 2}).ok());
        };
        kept = ledger.newSheet(QStringLiteral("T"), 2).value;
        place("k.jpg", kept, 1);
        QVERIFY(ledger.sheetKept(kept, QStringLiteral("/p/未打印/1.jpg"), QStringLiteral("stopped"))
                    .ok());
        handed = ledger.newSheet(QStringLiteral("T"), 2).value;
        place("h.jpg", handed, 1);
        QVERIFY(ledger.sheetJobCreated(handed, QStringLiteral("Q"), 77).ok());
        const qint64 done = ledger.newSheet(QStringLiteral("T"), 2).value;
        place("p.jpg", done, 1);
        QVERIFY(ledger.sheetJobCreated(done, QStringLiteral("Q"), 78).ok());
        QVERIFY(ledger.sheetPrinted(done).ok());
        filling = ledger.newSheet(QStringLiteral("T"), 4).value;
        place("f.jpg", filling, 1);
        queued1 = ledger.recordPhotoQueued(kHot, "q1.jpg", 2).value;
        const qint64 bad = ledger.recordPhotoQueued(kHot, "bad.jpg", 2).value;
        QVERIFY(ledger.photoNotLaidOut(bad, QStringLiteral("not a picture")).ok());
        queued2 = ledger.recordPhotoQueued(kHot, "q2.jpg", 2).value;
        // No endSession: the process is cut off here.
    }
    PrintLedger ledger;
    QVERIFY(ledger.open(folder.path()).ok);
    const auto session = ledger.lastSession();
    QVERIFY(session.ok() && session.value.has_value());
    QVERIFY(session.value->crashed());
    QCOMPARE(session.value->pid, qint64(4242));

    const UnfinishedWork work = ledger.unfinishedWork().value;
    QCOMPARE(work.filling.size(), 1);
    QCOMPARE(work.filling[0].id, filling);
    QCOMPARE(work.filling[0].placements.size(), 1);
    QCOMPARE(work.filling[0].placements[0].cells, (CellRun{1, 2}));
    QCOMPARE(work.queued.size(), 2);
    QCOMPARE(work.queued[0].id, queued1);
    QCOMPARE(work.queued[1].id, queued2);
    QCOMPARE(work.handed.size(), 1);
    QCOMPARE(work.handed[0].id, handed);
    QCOMPARE(work.handed[0].jobId, 77);
    QVERIFY(!work.handed[0].documentSent);
    QCOMPARE(work.kept.size(), 1);
    QCOMPARE(work.kept[0].keptPath, QStringLiteral("/p/未打印/1.jpg"));

    const qint64 next = ledger.beginSession(kHot, QStringLiteral("T"), 1).value;
    QVERIFY(ledger.endSession(next, true).ok());
    QVERIFY(!ledger.lastSession().value->crashed());
}

// A ledger written before jobs were followed: its sheets lack the job's own
// columns. Reading it (as the history does, beside a monitor) or monitoring
// with it keeps every row and adds them; a held sheet leaves the work a
// restart sends again.
void TestPrintLedger::olderLedgerIsUpgradedInPlace()
{
    TempProgramFolder folder;
    qint64 handed = 0, held = 0;
    QString path;
    {
        PrintLedger ledger;
        QVERIFY(ledger.open(folder.path()).ok);
        path = ledger.filePath();
        handed = ledger.newSheet(QStringLiteral("T"), 2).value;
        const qint64 photo = ledger.recordPhotoQueued(kHot, "h.jpg", 2).value;
        QVERIFY(ledger.photoOnSheet(photo, handed, {1, 2}).ok());
        QVERIFY(ledger.sheetJobCreated(handed, QStringLiteral("Q"), 5).ok());
    }
    QVERIFY(sqliteExec(path, "ALTER TABLE sheets DROP COLUMN held; "
                             "ALTER TABLE sheets DROP COLUMN resent; "
                             "ALTER TABLE sheets DROP COLUMN job_reasons; "
                             "ALTER TABLE sheets DROP COLUMN job_state; "
                             "PRAGMA user_version = 1;"));
    {
        PrintLedger reader;
        const LedgerOpening opened = reader.open(folder.path(), PrintLedger::Mode::Read);
        QVERIFY2(opened.ok, qPrintable(opened.error));
        QVERIFY(opened.setAsidePath.isEmpty());
        const auto sheet = reader.sheet(handed).value;
        QVERIFY(sheet.has_value());
        QCOMPARE(sheet->jobId, 5);
        QVERIFY(!sheet->held);
    }
    PrintLedger ledger;
    const LedgerOpening opened = ledger.open(folder.path());
    QVERIFY2(opened.ok && opened.notice.isEmpty(), qPrintable(opened.error + opened.notice));
    QVERIFY(ledger.sheetDocumentSent(handed).ok());
    QVERIFY(ledger.sheetJobState(handed, 8, QStringLiteral("job-aborted-by-system")).ok());
    QVERIFY(ledger.sheetHeld(handed, QStringLiteral("gave up")).ok());
    held = handed;
    const UnfinishedWork work = ledger.unfinishedWork().value;
    QVERIFY(work.handed.isEmpty());
    QCOMPARE(work.held.size(), 1);
    QCOMPARE(work.held[0].id, held);
    QCOMPARE(work.held[0].jobState, 8);
    QCOMPARE(work.held[0].reason, QStringLiteral("gave up"));
    QVERIFY(ledger.sheetsAtThePrinter().value.isEmpty());
    // A new job for it (重新打印) takes it off hold and counts once as a resend.
    QVERIFY(ledger.sheetJobCreated(held, QStringLiteral("Q"), 6, true).ok());
    const auto again = ledger.sheet(held).value;
    QVERIFY(!again->held);
    QCOMPARE(again->resent, 1);
    QCOMPARE(again->jobState, 0);
}

void TestPrintLedger::commitSurvivesKill()
{
    TempProgramFolder folder;
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        PrintLedger ledger;
        bool ok = ledger.open(folder.path()).ok;
        const qint64 sheet = ledger.newSheet(QStringLiteral("T"), 2).value;
        ok = ok && ledger.sheetJobCreated(sheet, QStringLiteral("Q"), 99).ok();
        if (!ok)
            ::_exit(1);
        ::kill(::getpid(), SIGKILL);
        ::_exit(2);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    PrintLedger ledger;
    QVERIFY(ledger.open(folder.path()).ok);
    const UnfinishedWork work = ledger.unfinishedWork().value;
    QCOMPARE(work.handed.size(), 1);
    QCOMPARE(work.handed[0].jobId, 99);
}

void TestPrintLedger::sameBytes_data()
{
    QTest::addColumn<QString>("earlier");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("same");
    QTest::newRow("printed, same bytes")
        << "printed" << QByteArray("a.jpg") << kHot << QByteArray("one") << true;
    QTest::newRow("on a sheet, same bytes")
        << "onSheet" << QByteArray("a.jpg") << kHot << QByteArray("one") << true;
    QTest::newRow("printed, other bytes")
        << "printed" << QByteArray("a.jpg") << kHot << QByteArray("two") << false;
    QTest::newRow("another name") << "printed" << QByteArray("b.jpg") << kHot << QByteArray("one")
                                  << false;
    QTest::newRow("same name, another subfolder")
        << "printed" << QByteArray("day2/a.jpg") << kHot << QByteArray("one") << false;
    QTest::newRow("another hot folder")
        << "printed" << QByteArray("a.jpg") << QStringLiteral("/srv/other") << QByteArray("one")
        << false;
    QTest::newRow("a reprint") << "reprint" << QByteArray("a.jpg") << kHot << QByteArray("one")
                               << false;
    QTest::newRow("not laid out") << "notLaidOut" << QByteArray("a.jpg") << kHot
                                  << QByteArray("one") << false;
}

void TestPrintLedger::sameBytes()
{
    QFETCH(QString, earlier);
    QFETCH(QByteArray, path);
    QFETCH(QString, folder);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, same);
    TempProgramFolder program;
    PrintLedger ledger;
    QVERIFY(ledger.open(program.path()).ok);
    const qint64 photo = ledger.recordPhotoQueued(kHot, "a.jpg", 1, earlier == u"reprint").value;
    if (earlier == u"notLaidOut") {
        QVERIFY(ledger.photoNotLaidOut(photo, QStringLiteral("cut short"), identityOf("one")).ok());
    } else {
        const qint64 sheet = ledger.newSheet(QStringLiteral("T"), 1).value;
        QVERIFY(ledger.photoOnSheet(photo, sheet, {1, 1}, identityOf("one")).ok());
        if (earlier != u"onSheet") {
            QVERIFY(ledger.sheetJobCreated(sheet, QStringLiteral("Q"), 5).ok());
            QVERIFY(ledger.sheetPrinted(sheet).ok());
        }
    }
    const qint64 rewritten = ledger.recordPhotoQueued(folder, path, 1).value;
    const auto answer = ledger.hasPrintedSameBytes(folder, path, photoDigest(bytes), rewritten);
    QVERIFY2(answer.ok(), qPrintable(answer.error));
    QCOMPARE(answer.value, same);
}

void TestPrintLedger::historyByNumberAndTime()
{
    TempProgramFolder folder;
    PrintLedger ledger;
    QVERIFY(ledger.open(folder.path()).ok);
    QDateTime now = QDateTime(QDate(2024, 5, 1), QTime(9, 0), Qt::UTC);
    ledger.setClock([&] { return now; });
    const qint64 old = ledger.recordPhotoQueued(kHot, "x/100.jpg", 1).value;
    now = now.addDays(1);
    ledger.recordPhotoQueued(kHot, "200.jpg", 1);
    now = now.addSecs(60);
    const qint64 again = ledger.recordPhotoQueued(kHot, "y/100.a.bmp", 1).value;

    const auto byNumber = ledger.history({QDateTime(), QStringLiteral("100"), 10}).value;
    QCOMPARE(byNumber.size(), 2);
    QCOMPARE(byNumber[0].photo.id, again); // most recent first
    QCOMPARE(byNumber[1].photo.id, old);
    const auto since = ledger.history({now.addSecs(-120), QString(), 10}).value;
    QCOMPARE(since.size(), 2);
    QVERIFY(since[0].photo.id == again && since[1].photo.path == "200.jpg");
    QCOMPARE(ledger.history({QDateTime(), QString(), 1}).value.size(), 1);
}

void TestPrintLedger::pruneKeepsUnfinishedWork()
{
    TempProgramFolder folder;
    PrintLedger ledger;
    QVERIFY(ledger.open(folder.path()).ok);
    QDateTime now = QDateTime(QDate(2024, 1, 1), QTime(9, 0), Qt::UTC);
    ledger.setClock([&] { return now; });
    const auto printedSheet = [&](const QByteArray& name) {
        const qint64 photo = ledger.recordPhotoQueued(kHot, name, 1).value;
        const qint64 sheet = ledger.newSheet(QStringLiteral("T"), 1).value;
        QVERIFY(ledger.photoOnSheet(photo, sheet, {1, 1}).ok());
        QVERIFY(ledger.sheetJobCreated(sheet, QStringLiteral("Q"), 1).ok());
        QVERIFY(ledger.sheetPrinted(sheet).ok());
    };
    for (int i = 0; i < 50; ++i)
        printedSheet("old" + QByteArray::number(i) + ".jpg");
    const qint64 oldQueued = ledger.recordPhotoQueued(kHot, "waiting.jpg", 1).value;
    const qint64 oldHanded = ledger.newSheet(QStringLiteral("T"), 1).value;
    QVERIFY(ledger.sheetJobCreated(oldHanded, QStringLiteral("Q"), 3).ok());
    const qint64 bad = ledger.recordPhotoQueued(kHot, "bad.jpg", 1).value;
    QVERIFY(ledger.photoNotLaidOut(bad, QStringLiteral("x")).ok());
    now = now.addDays(181);
    printedSheet("new.jpg");

    const auto pruned = ledger.prune(180, Vacuum::Incremental);
    QVERIFY2(pruned.ok(), qPrintable(pruned.error));
    QCOMPARE(pruned.value.sheets, qint64(50));
    QCOMPARE(pruned.value.photos, qint64(51));
    QVERIFY(pruned.value.bytesAfter <= pruned.value.bytesBefore);
    const UnfinishedWork work = ledger.unfinishedWork().value;
    QCOMPARE(work.queued.size(), 1);
    QCOMPARE(work.queued[0].id, oldQueued);
    QCOMPARE(work.handed.size(), 1);
    QCOMPARE(work.handed[0].id, oldHanded);
    QCOMPARE(ledger.history({}).value.size(), 2); // new.jpg and waiting.jpg
}

void TestPrintLedger::failedBatchKeepsNothing()
{
    TempProgramFolder folder;
    PrintLedger ledger;
    QVERIFY(ledger.open(folder.path()).ok);
    QVERIFY(ledger.beginBatch().ok());
    const qint64 photo = ledger.recordPhotoQueued(kHot, "1.jpg", 1).value;
    QVERIFY(photo > 0);
    QVERIFY(!ledger.sheetPrinted(12345).ok());
    QVERIFY(!ledger.commitBatch().ok());
    QVERIFY(!ledger.photo(photo).value.has_value());
    // The ledger goes on afterwards.
    QVERIFY(ledger.recordPhotoQueued(kHot, "2.jpg", 1).ok());
}

QTEST_GUILESS_MAIN(TestPrintLedger)
#include "tst_printledger.moc"

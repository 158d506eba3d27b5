#include "app/Startup.h"
#include "core/AppState.h"
#include "core/Config.h"
#include "monitor/FolderWatcher.h"
#include "monitor/MonitorControl.h"
#include "monitor/MonitorCycle.h"
#include "monitor/MonitorJournal.h"
#include "monitor/MonitorTimer.h"
#include "sheet/SheetGeometry.h"
#include "testutils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <mutex>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vellora;

namespace {

// Solid photos so that a printed cell tells whose copy it is.
const QList<QColor> kColours{Qt::red, Qt::green, Qt::blue, Qt::yellow};

LayoutTemplate eightCells(int outputCount)
{
    LayoutTemplate t;
    t.name = QStringLiteral("8 cells");
    t.size1 = {300, 200, 4, 2, 10, 10};
    t.outputCount = outputCount;
    t.paperWidth = 1000;
    t.paperHeight = 800;
    t.leftMargin = 20;
    t.topMargin = 20;
    t.noNumber = 1;
    return t;
}

struct Cycle
{
    test::TempProgramFolder program;
    QTemporaryDir photos;
    AppState state;
    MonitorTimer timer;
    QList<QImage> printed;
    QStringList paths; // currentPhotoPath seen by each pass

    explicit Cycle(const LayoutTemplate& t)
    {
        initialiseAppState(state, program.path());
        state.monitorQueue = {QString()};
        useTemplateHeadless(state, t);
        state.printSheet = [this](const QImage& sheet) { printed << sheet; };
        // The preview board hook runs inside every pass: it shows which path
        // the pass drew.
        state.windows.previewOpen = true;
        state.views.showOnPreviewBoard = [this](const QImage&) { paths << state.currentPhotoPath; };
        state.windows.monitoring = true;
        state.monitorFolder = photos.path();
        state.currentPhotoPath = photos.path();
        for (int i = 0; i < kColours.size(); ++i) {
            QImage image(200, 300, QImage::Format_RGB32);
            image.fill(kColours[i]);
            test::writeImage(
                image, photos.filePath(QString(QChar(u'A' + i)) + QStringLiteral(".jpg")), "jpg");
        }
    }

    // Queued as the watcher queues them: with the file as it is now (a name
    // with no file, with none).
    void enqueue(const QStringList& names)
    {
        for (const QString& name : names) {
            struct stat st
            {
            };
            const bool there =
                lstat(QFile::encodeName(photos.filePath(name)).constData(), &st) == 0;
            queueChangedFile(
                state, kActionModified, name, {},
                there ? PhotoStamp{quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size),
                                   qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec}
                      : PhotoStamp{});
        }
    }
    void tick(const QStringList& names)
    {
        enqueue(names);
        monitorTick(state, timer);
    }
    // The colour index of the photo in cell k (1-based) of an image. Cells of
    // eightCells() by the row-major rule: x = 20 + column × (200 + 10),
    // y = 20 + row × (300 + 10); looked at in their centre.
    int cellPhoto(const QImage& sheet, int k)
    {
        const int row = (k - 1) / 4;
        const int column = (k - 1) % 4;
        const QRgb pixel = sheet.pixel(20 + column * 210 + 100, 20 + row * 310 + 150);
        for (int i = 0; i < kColours.size(); ++i) {
            if (test::colourNear(pixel, kColours[i], 24))
                return i;
        }
        return -1;
    }
};

// Another account's picture, in a colour no photo of the tests has.
const QColor kOthers(255, 0, 255);

bool showsColour(const QImage& sheet, const QColor& colour)
{
    for (int y = 0; y < sheet.height(); y += 3)
        for (int x = 0; x < sheet.width(); x += 3)
            if (test::colourNear(sheet.pixel(x, y), colour, 40))
                return true;
    return false;
}

bool copyInPlace(const QString& from, const QString& to)
{
    QFile source(from);
    QFile target(to); // truncated and written: the same inode
    return source.open(QIODevice::ReadOnly) && target.open(QIODevice::WriteOnly) &&
           target.write(source.readAll()) > 0;
}

} // namespace

class TestMonitorCycle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tickSwapsTheQueueAndStopsTheTimer();
    void fourCopiesFillASheetWithTwoPhotos_data();
    void fourCopiesFillASheetWithTwoPhotos();
    void leftoverCopiesStartTheNextSheet_data();
    void leftoverCopiesStartTheNextSheet();
    void twoSizeTemplatePrintsOneSheetPerPhoto();
    void pausedTickLaysOutButPrintsNothing();
    void ledgerTakesUpACrashAndAStop();
    void ledgerKeepsTheDaysSetInTheConfig();
    void copiesLeftByAPassCutOffAreLaidOutAtRestart();
    void handedSheetIsSentAgainOnlyWhenItNeverArrived_data();
    void handedSheetIsSentAgainOnlyWhenItNeverArrived();
    void photosCaughtUpSurviveASecondCrash_data();
    void photosCaughtUpSurviveASecondCrash();
    void keptSheetsPrintInOrderOnceThePrinterTakesJobs();
    void handedJobsAreFollowedToTheirEnd();
    void photosReportedBeforeAStopAreLaidOutOnce();
    void aJobStandingStillSendsTheNextSheetsToTheBackup();
    void photoPathJoinsFolderAndEntry_data();
    void photoPathJoinsFolderAndEntry();
    void rearmingDoesNotPostponeTheTick();
    void startAndPauseCore();
    void watchedPhotosAreLaidOutAndPrinted();
    void tickInsideAPrintWaits();
    void queueWaitsWhileTheSettingsWindowIsShown();
    void sheetWithoutCellsIsNeverPrinted();
    void onlyWholePicturesAreLaidOut_data();
    void onlyWholePicturesAreLaidOut();
    void polledRenameBeforeTheTickIsFollowed();
    void tickNeverWaitsOnALease();
    void photoChangedSinceItsReportIsSkipped_data();
    void photoChangedSinceItsReportIsSkipped();
    void swapByAnotherAccountIsNeverLaidOut();
};

void TestMonitorCycle::tickSwapsTheQueueAndStopsTheTimer()
{
    Cycle c(eightCells(4));
    c.timer.setPeriod(500);
    c.tick({});
    QCOMPARE(c.timer.period(), 0);
    QCOMPARE(c.paths, QStringList{}); // the sentinel alone lays out nothing
    QCOMPARE(c.state.pendingSheet.filledCells, 0);

    c.tick({QStringLiteral("A.jpg")});
    QCOMPARE(queuedNames(c.state.monitorQueue), QStringList{QString()});
    QCOMPARE(c.state.pendingSheet.filledCells, 4);
    QCOMPARE(c.state.currentPhotoPath, c.state.monitorFolder);
}

void TestMonitorCycle::fourCopiesFillASheetWithTwoPhotos_data()
{
    QTest::addColumn<bool>("oneTick");
    QTest::newRow("one tick") << true;
    QTest::newRow("two ticks") << false;
}

void TestMonitorCycle::fourCopiesFillASheetWithTwoPhotos()
{
    QFETCH(bool, oneTick);
    Cycle c(eightCells(4));
    if (oneTick) {
        c.tick({QStringLiteral("A.jpg"), QStringLiteral("B.jpg")});
    } else {
        c.tick({QStringLiteral("A.jpg")});
        QCOMPARE(c.printed.size(), 0);
        c.tick({QStringLiteral("B.jpg")});
    }
    QCOMPARE(c.printed.size(), 1);
    QCOMPARE(c.state.pendingSheet.filledCells, 0);
    for (int k = 1; k <= 8; ++k)
        QCOMPARE(c.cellPhoto(c.printed[0], k), k <= 4 ? 0 : 1);
}

void TestMonitorCycle::leftoverCopiesStartTheNextSheet_data()
{
    QTest::addColumn<bool>("oneTick");
    QTest::newRow("one tick") << true;
    QTest::newRow("separate ticks") << false;
}

void TestMonitorCycle::leftoverCopiesStartTheNextSheet()
{
    QFETCH(bool, oneTick);
    Cycle c(eightCells(3));
    const QStringList abc{QStringLiteral("A.jpg"), QStringLiteral("B.jpg"),
                          QStringLiteral("C.jpg")};
    if (oneTick) {
        c.tick(abc);
    } else {
        for (const QString& photo : abc)
            c.tick({photo});
    }
    QCOMPARE(c.printed.size(), 1);
    const QList<int> expected{0, 0, 0, 1, 1, 1, 2, 2};
    for (int k = 1; k <= 8; ++k)
        QCOMPARE(c.cellPhoto(c.printed[0], k), expected[k - 1]);
    QCOMPARE(c.state.pendingSheet.filledCells, 1);
    QCOMPARE(c.state.pendingSheet.copiesLeft, 0);
    QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), 1), 2);
    QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), 2), -1); // still blank
}

void TestMonitorCycle::twoSizeTemplatePrintsOneSheetPerPhoto()
{
    LayoutTemplate t = eightCells(2);
    t.twoSize = 1;
    t.size1 = {300, 200, 2, 1, 10, 0};
    t.size2 = {150, 100, 3, 1, 10, 0};
    t.gap = 20;
    Cycle c(t);
    c.tick({QStringLiteral("A.jpg"), QStringLiteral("B.jpg")});
    c.tick({QStringLiteral("C.jpg")});
    QCOMPARE(c.printed.size(), 3);
    QCOMPARE(c.cellPhoto(c.printed[1], 1), 1);
    QCOMPARE(c.cellPhoto(c.printed[1], 2), 1);
    QCOMPARE(c.state.pendingSheet.filledCells, 0);
}

// A journal whose sheets go to c.printed as jobs 1, 2, … of printer "P";
// jobFails: the job is made and recorded, then everything stops (a crash in
// the hand-off).
void recordSheets(Cycle& c, bool* jobFails = nullptr,
                  JobReconciliation::Fate fate = JobReconciliation::Fate::Printed)
{
    c.state.journal = std::make_shared<MonitorJournal>(c.state);
    MonitorJournal::Printing printing;
    printing.handOff = [&c, jobFails](const QImage& sheet, const HandOffRecord& record) {
        PrintReport report;
        const int job = int(c.printed.size()) + 1;
        record.jobCreated(QStringLiteral("P"), job);
        if (jobFails && *jobFails)
            return report;
        c.printed << sheet;
        record.documentSent();
        report.outcome = PrintOutcome::Printed;
        return report;
    };
    printing.reconcile = [fate](const QString&, int, bool) {
        JobReconciliation answer;
        answer.fate = fate;
        return answer;
    };
    c.state.journal->setPrinting(printing);
    c.state.printSheet = [&c](const QImage& sheet) { c.state.journal->printSheet(sheet); };
}

// Everything in memory goes, as when the process is killed: the ledger is
// left as it was, its session never ended.
void crash(Cycle& c)
{
    stopWatch(c.state.watchHandle);
    c.state.journal.reset();
    c.state.sheetSurface.clear();
    c.state.pendingSheet = PendingSheet{};
    c.state.monitorQueue = {QString()};
}

void TestMonitorCycle::ledgerTakesUpACrashAndAStop()
{
    Cycle c(eightCells(3));
    recordSheets(c);
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    c.tick({QStringLiteral("A.jpg")});
    QCOMPARE(c.state.pendingSheet.filledCells, 3);

    // A second monitor of the same folders is refused while this one runs.
    {
        test::TempProgramFolder other;
        AppState second;
        initialiseAppState(second, other.path());
        useTemplateHeadless(second, eightCells(3));
        QString problem;
        QVERIFY(!startMonitoringCore(second, c.photos.path(), {}, {}, &problem));
        QVERIFY2(problem.contains(QString::number(QCoreApplication::applicationPid())),
                 qPrintable(problem));
    }

    crash(c);
    // Written while nothing watched.
    QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("B.jpg")),
                        c.photos.filePath(QStringLiteral("N.jpg"))));
    recordSheets(c);
    MonitorRecovery recovery;
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}, {}, nullptr, &recovery));
    QVERIFY(recovery.crashed);
    QCOMPARE(recovery.restoredCells, 3);
    QCOMPARE(recovery.photosCaughtUp, 1);
    monitorTick(c.state, c.timer);
    // A in the cells it had, then the photo that came while it was down.
    const QList<int> cells{0, 0, 0, 1, 1, 1, -1};
    for (int k = 1; k <= cells.size(); ++k)
        QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), k), cells[k - 1]);

    // The same bytes again (a save over it) are not laid out again.
    QStringList skipped;
    TickObserver observer;
    observer.skipped = [&skipped](const QString& entry, const QString&) { skipped << entry; };
    c.enqueue({QStringLiteral("A.jpg")});
    monitorTick(c.state, c.timer, observer);
    QCOMPARE(skipped, QStringList{QStringLiteral("A.jpg")});
    QCOMPARE(c.state.pendingSheet.filledCells, 6);

    // Pausing and starting again keeps the sheet; it prints once full.
    pauseMonitoringCore(c.state);
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}, {}, nullptr, &recovery));
    QVERIFY(!recovery.crashed);
    QCOMPARE(c.state.pendingSheet.filledCells, 6);
    c.tick({QStringLiteral("C.jpg")});
    QCOMPARE(c.printed.size(), 1);
    const QList<int> printed{0, 0, 0, 1, 1, 1, 2, 2};
    for (int k = 1; k <= printed.size(); ++k)
        QCOMPARE(c.cellPhoto(c.printed[0], k), printed[k - 1]);
    QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), 1), 2);
    pauseMonitoringCore(c.state);
}

void TestMonitorCycle::ledgerKeepsTheDaysSetInTheConfig()
{
    Cycle c(eightCells(1));
    const QDateTime now = QDateTime::currentDateTime();
    {
        PrintLedger ledger;
        QVERIFY(ledger.open(c.state.programFolder).ok);
        for (int age : {40, 10}) {
            ledger.setClock([=] { return now.addDays(-age); });
            const QByteArray name = QByteArray::number(age) + ".jpg";
            const qint64 photo = ledger.recordPhotoQueued(c.photos.path(), name, 1).value;
            const qint64 sheet = ledger.newSheet(QStringLiteral("T"), 1).value;
            QVERIFY(ledger.photoOnSheet(photo, sheet, {1, 1}).ok());
            QVERIFY(ledger.sheetJobCreated(sheet, QStringLiteral("Q"), age).ok());
            QVERIFY(ledger.sheetPrinted(sheet).ok());
        }
    }
    QVERIFY(writeConfigText(c.state.configPath(), QString::fromUtf16(kConfigSection),
                            QStringLiteral("打印记录保留天数"), QStringLiteral("30")));
    recordSheets(c);
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    const auto kept = c.state.journal->ledger().history({});
    QVERIFY2(kept.ok(), qPrintable(kept.error));
    QCOMPARE(kept.value.size(), 1);
    QCOMPARE(kept.value[0].photo.path, QByteArray("10.jpg"));
}

void TestMonitorCycle::copiesLeftByAPassCutOffAreLaidOutAtRestart()
{
    // A, B, C three copies each on eight cells: C's third copy belongs on the
    // next sheet, and the process died while the full sheet was handed over.
    Cycle c(eightCells(3));
    {
        PrintLedger ledger;
        QVERIFY(ledger.open(c.state.programFolder).ok);
        const qint64 sheet = ledger.newSheet(eightCells(3).name, 8).value;
        int first = 1;
        for (const char* name : {"A.jpg", "B.jpg", "C.jpg"}) {
            const qint64 photo = ledger.recordPhotoQueued(c.photos.path(), name, 3).value;
            const int cells = std::min(3, 9 - first);
            QVERIFY(ledger.photoOnSheet(photo, sheet, {first, cells}).ok());
            first += cells;
        }
        QVERIFY(ledger.sheetJobCreated(sheet, QStringLiteral("P"), 7).ok());
        QVERIFY(ledger.sheetDocumentSent(sheet).ok());
    }
    for (int life = 0; life < 2; ++life) {
        recordSheets(c, nullptr, JobReconciliation::Fate::AlreadyThere);
        QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
        monitorTick(c.state, c.timer);
        QCOMPARE(c.printed.size(), 0); // the handed sheet is not sent again
        // Once, and not again at the next start: the copy is on the pending sheet.
        QCOMPARE(c.state.pendingSheet.filledCells, 1);
        QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), 1), 2);
        crash(c);
    }
}

void TestMonitorCycle::handedSheetIsSentAgainOnlyWhenItNeverArrived_data()
{
    QTest::addColumn<int>("fate");
    QTest::addColumn<int>("printedAgain");
    QTest::newRow("never arrived") << int(JobReconciliation::Fate::SendAgain) << 1;
    QTest::newRow("arrived") << int(JobReconciliation::Fate::AlreadyThere) << 0;
    QTest::newRow("completed") << int(JobReconciliation::Fate::Printed) << 0;
    QTest::newRow("no answer") << int(JobReconciliation::Fate::CannotTell) << 0;
}

void TestMonitorCycle::handedSheetIsSentAgainOnlyWhenItNeverArrived()
{
    QFETCH(int, fate);
    QFETCH(int, printedAgain);
    Cycle c(eightCells(4));
    bool jobFails = true;
    recordSheets(c, &jobFails);
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    c.tick({QStringLiteral("A.jpg"), QStringLiteral("B.jpg")});
    QCOMPARE(c.printed.size(), 0);
    crash(c);
    recordSheets(c, nullptr, JobReconciliation::Fate(fate));
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    QCOMPARE(c.printed.size(), printedAgain);
    if (printedAgain) {
        const QList<int> printed{0, 0, 0, 0, 1, 1, 1, 1};
        for (int k = 1; k <= printed.size(); ++k)
            QCOMPARE(c.cellPhoto(c.printed[0], k), printed[k - 1]);
    }
    // Nothing of the handed sheet comes back as the pending sheet.
    QCOMPARE(c.state.pendingSheet.filledCells, 0);
    pauseMonitoringCore(c.state);
}

void TestMonitorCycle::photosCaughtUpSurviveASecondCrash_data()
{
    // How the start that found the photo is cut off: right after it (before
    // its first tick), or while it sends again the sheet it took up.
    QTest::addColumn<int>("takenUpSheet");
    QTest::newRow("before the first tick") << int(JobReconciliation::Fate::Printed);
    QTest::newRow("handing over a sheet again") << int(JobReconciliation::Fate::SendAgain);
}

void TestMonitorCycle::photosCaughtUpSurviveASecondCrash()
{
    QFETCH(int, takenUpSheet);
    Cycle c(eightCells(4));
    bool jobFails = true;
    recordSheets(c, &jobFails);
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    c.tick({QStringLiteral("A.jpg"), QStringLiteral("B.jpg")}); // a full sheet, handed
    crash(c);
    QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("C.jpg")),
                        c.photos.filePath(QStringLiteral("N.jpg"))));
    QTest::qSleep(5); // N's time before the next start's, to the millisecond
    recordSheets(c, &jobFails, JobReconciliation::Fate(takenUpSheet));
    MonitorRecovery recovery;
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}, {}, nullptr, &recovery));
    QCOMPARE(recovery.photosCaughtUp, 1);
    crash(c);

    recordSheets(c);
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}, {}, nullptr, &recovery));
    QCOMPARE(recovery.photosQueued + recovery.photosCaughtUp, 1);
    monitorTick(c.state, c.timer);
    // N's four copies, once.
    const QList<int> cells{2, 2, 2, 2, -1};
    for (int k = 1; k <= cells.size(); ++k)
        QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), k), cells[k - 1]);
    pauseMonitoringCore(c.state);
}

void TestMonitorCycle::keptSheetsPrintInOrderOnceThePrinterTakesJobs()
{
    Cycle c(eightCells(4));
    recordSheets(c);
    bool stopped = true;
    MonitorJournal::Printing printing;
    printing.handOff = [&](const QImage& sheet, const HandOffRecord& record) {
        if (stopped)
            return keepSheetUnprinted(sheet, c.state.programFolder, QStringLiteral("已暂停"));
        record.jobCreated(QStringLiteral("P"), int(c.printed.size()) + 1);
        c.printed << sheet;
        record.documentSent();
        PrintReport report;
        report.outcome = PrintOutcome::Printed;
        return report;
    };
    printing.queueReady = [&] { return QueueCheck{!stopped, QStringLiteral("已暂停")}; };
    c.state.journal->setPrinting(printing);
    QList<qint64> told;
    c.state.journal->setWaitingSheetPrinted(
        [&](const LedgerSheet& sheet, const PrintReport&) { told << sheet.id; });
    QStringList notified;
    c.state.journal->setNotify([&](const QString& reason, const QString&, const QString& body,
                                   bool) { notified << reason + u'|' + body; });
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    c.tick({QStringLiteral("A.jpg"), QStringLiteral("B.jpg")});
    // The printer takes nothing: the next sheet is kept behind the first.
    c.tick({QStringLiteral("C.jpg")});
    QCOMPARE(c.state.journal->waitingSheets(), 1);
    QCOMPARE(c.state.journal->waitingReason(), QStringLiteral("已暂停"));
    c.tick({QStringLiteral("D.jpg")});
    QCOMPARE(c.state.journal->waitingSheets(), 2);
    QCOMPARE(c.printed.size(), 0);
    QCOMPARE(QDir(c.program.file(QStringLiteral("未打印"))).entryList(QDir::Files).size(), 2);
    // Told on the desktop too, with the printer's reason, each time.
    QCOMPARE(notified.filter(QStringLiteral("sheet-kept|")).size(), 2);
    QVERIFY2(notified[0].contains(QStringLiteral("已暂停")), qPrintable(notified[0]));

    // Back: the two go out oldest first, once each, from their kept JPEGs.
    stopped = false;
    QCOMPARE(c.state.journal->printWaitingSheets(), 0);
    QCOMPARE(c.printed.size(), 2);
    QCOMPARE(told.size(), 2);
    QVERIFY(told[0] < told[1]);
    // Out of 未打印 once printed: nobody prints them by hand again.
    QCOMPARE(QDir(c.program.file(QStringLiteral("未打印"))).entryList(QDir::Files).size(), 0);
    const QList<QList<int>> sheets{{0, 0, 0, 0, 1, 1, 1, 1}, {2, 2, 2, 2, 3, 3, 3, 3}};
    for (int s = 0; s < 2; ++s)
        for (int k = 1; k <= 8; ++k)
            QCOMPARE(c.cellPhoto(c.printed[s], k), sheets[s][k - 1]);
    QCOMPARE(c.state.journal->printWaitingSheets(), 0);
    QCOMPARE(c.printed.size(), 2);
    const auto work = c.state.journal->ledger().unfinishedWork();
    QVERIFY(work.ok());
    QVERIFY(work.value.kept.isEmpty());

    // Kept over a restart too: they wait in the ledger, not in memory.
    stopped = true;
    QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("A.jpg")),
                        c.photos.filePath(QStringLiteral("E.jpg"))));
    QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("B.jpg")),
                        c.photos.filePath(QStringLiteral("F.jpg"))));
    c.tick({QStringLiteral("E.jpg"), QStringLiteral("F.jpg")});
    pauseMonitoringCore(c.state);
    stopped = false;
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    QCOMPARE(c.printed.size(), 3);
    QCOMPARE(c.state.journal->waitingSheets(), 0);
    pauseMonitoringCore(c.state);
}

// Job n answers what answers[n] says (AlreadyThere until set), asked on the
// follower's thread. An aborted job with nothing printed is sent once more;
// aborted again, it waits for the operator. The pending sheet is not touched.
void TestMonitorCycle::handedJobsAreFollowedToTheirEnd()
{
    Cycle c(eightCells(4));
    recordSheets(c);
    std::mutex lock;
    QHash<int, JobReconciliation::Fate> answers;
    MonitorJournal::Printing printing;
    printing.handOff = [&c](const QImage& sheet, const HandOffRecord& record) {
        record.jobCreated(QStringLiteral("P"), int(c.printed.size()) + 1);
        c.printed << sheet;
        record.documentSent();
        PrintReport report;
        report.outcome = PrintOutcome::Printed;
        return report;
    };
    printing.reconcile = [&](const QString&, int job, bool) {
        std::lock_guard guard(lock);
        JobReconciliation answer;
        answer.fate = answers.value(job, JobReconciliation::Fate::AlreadyThere);
        answer.jobState = answer.fate == JobReconciliation::Fate::SendAgain ? 8 : 5;
        answer.stateReasons = {QStringLiteral("job-printing")};
        return answer;
    };
    c.state.journal->setPrinting(printing);
    QList<MonitorJournal::JobEnd> ends;
    c.state.journal->setJobEnded(
        [&](const LedgerSheet&, MonitorJournal::JobEnd end, const QString&) { ends << end; });
    QStringList notified;
    c.state.journal->setNotify(
        [&](const QString& reason, const QString&, const QString&, bool critical) {
            if (critical && reason.startsWith(QStringLiteral("job-")))
                notified << reason;
        });
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    c.tick({QStringLiteral("A.jpg"), QStringLiteral("B.jpg")});
    c.tick({QStringLiteral("C.jpg"), QStringLiteral("D.jpg")});
    QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("A.jpg")),
                        c.photos.filePath(QStringLiteral("E.jpg"))));
    c.tick({QStringLiteral("E.jpg")});
    QCOMPARE(c.printed.size(), 2);
    QCOMPARE(c.state.pendingSheet.filledCells, 4);
    PrintLedger& ledger = c.state.journal->ledger();
    const auto sheetOfJob = [&](int job) {
        for (qint64 id = 1; id <= 2; ++id)
            if (const auto sheet = ledger.sheet(id).value; sheet && sheet->jobId == job)
                return *sheet;
        return LedgerSheet{};
    };

    // Printing: recorded so, never called printed.
    QTRY_COMPARE(ledger.sheet(1).value->jobState, 5);
    QCOMPARE(ledger.sheet(1).value->state, SheetState::Handed);
    QCOMPARE(c.state.journal->sheetsAtThePrinter(), 2);
    {
        std::lock_guard guard(lock);
        answers[1] = JobReconciliation::Fate::Printed;
        answers[2] = JobReconciliation::Fate::SendAgain;
    }
    QTRY_COMPARE(ledger.sheet(1).value->state, SheetState::Printed);
    QTRY_COMPARE(c.printed.size(), 3);
    QCOMPARE(sheetOfJob(3).id, qint64(2));
    QCOMPARE(sheetOfJob(3).resent, 1);
    for (int k = 1; k <= 8; ++k)
        QCOMPARE(c.cellPhoto(c.printed[2], k), c.cellPhoto(c.printed[1], k));
    {
        std::lock_guard guard(lock);
        answers[3] = JobReconciliation::Fate::SendAgain;
    }
    QTRY_VERIFY(ledger.sheet(2).value->held);
    QTest::qWait(1500); // another round: nothing more is sent
    QCOMPARE(c.printed.size(), 3);
    QCOMPARE(ends, (QList<MonitorJournal::JobEnd>{MonitorJournal::JobEnd::Printed,
                                                  MonitorJournal::JobEnd::SentAgain,
                                                  MonitorJournal::JobEnd::Held}));
    QCOMPARE(c.state.journal->sheetsAtThePrinter(), 0);
    QCOMPARE(notified,
             (QStringList{QStringLiteral("job-aborted:P"), QStringLiteral("job-held:P")}));
    // E's four copies still wait on the board, in their cells.
    QCOMPARE(c.state.pendingSheet.filledCells, 4);
    QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), 1), 0);
    QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), 5), -1);
    QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("C.jpg")),
                        c.photos.filePath(QStringLiteral("F.jpg"))));
    c.tick({QStringLiteral("F.jpg")});
    QCOMPARE(c.printed.size(), 4);
    QCOMPARE(c.cellPhoto(c.printed[3], 4), 0);
    QCOMPARE(c.cellPhoto(c.printed[3], 5), 2);
    pauseMonitoringCore(c.state);
}

// Reported by the watcher, not yet taken by a tick (one held up by a hung
// printing system) when monitoring stops: laid out at the next start, after
// the process ended as after a pause in the window, and once.
void TestMonitorCycle::photosReportedBeforeAStopAreLaidOutOnce()
{
    Cycle c(eightCells(4));
    recordSheets(c);
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    c.enqueue({QStringLiteral("A.jpg")});
    pauseMonitoringCore(c.state);
    crash(c); // the process ends, its queue with it
    recordSheets(c);
    MonitorRecovery recovery;
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}, {}, nullptr, &recovery));
    QCOMPARE(recovery.photosQueued, 1);
    c.enqueue({QStringLiteral("B.jpg")});
    pauseMonitoringCore(c.state); // the window pauses: its queue stays
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    monitorTick(c.state, c.timer);
    QCOMPARE(c.printed.size(), 1);
    const QList<int> cells{0, 0, 0, 0, 1, 1, 1, 1};
    for (int k = 1; k <= cells.size(); ++k)
        QCOMPARE(c.cellPhoto(c.printed[0], k), cells[k - 1]);
    QCOMPARE(c.state.pendingSheet.filledCells, 0);
    pauseMonitoringCore(c.state);
}

// A job of the main printer stands still (job-state 6: paper, a jam): once
// it has for the set time, the next sheet goes to the backup first; once it
// moves again, sheets go to the main printer again. One sheet a photo.
void TestMonitorCycle::aJobStandingStillSendsTheNextSheetsToTheBackup()
{
    Cycle c(eightCells(8));
    recordSheets(c);
    std::mutex lock;
    int mainJobState = 6;
    QList<QStringList> offered; // the printers each hand-off was given, in order
    MonitorJournal::Printing printing;
    printing.handOff = [&](const QImage& sheet, const HandOffRecord& record) {
        offered << record.printers;
        record.jobCreated(record.printers.value(0), int(c.printed.size()) + 1);
        c.printed << sheet;
        record.documentSent();
        PrintReport report;
        report.outcome = PrintOutcome::Printed;
        return report;
    };
    printing.reconcile = [&](const QString& printer, int, bool) {
        std::lock_guard guard(lock);
        JobReconciliation answer;
        answer.fate = JobReconciliation::Fate::AlreadyThere;
        answer.jobState = printer == u"主" ? mainJobState : 5;
        return answer;
    };
    printing.queueReady = [] { return QueueCheck{true, QString()}; };
    c.state.journal->setPrinting(printing);
    c.state.journal->setPrinters({QStringLiteral("主"), QStringLiteral("备")});
    c.state.journal->setStuckAfterMs(2000);
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    const QStringList mainFirst{QStringLiteral("主"), QStringLiteral("备")};
    const QStringList backupFirst{QStringLiteral("备"), QStringLiteral("主")};
    c.tick({QStringLiteral("A.jpg")});
    QCOMPARE(offered.value(0), mainFirst);
    QTRY_VERIFY(c.state.journal->printerStatus().contains(QStringLiteral("停住")));
    c.tick({QStringLiteral("B.jpg")}); // standing still, not yet for long
    QCOMPARE(offered.value(1), mainFirst);
    QTest::qWait(2200);
    c.tick({QStringLiteral("C.jpg")});
    QCOMPARE(offered.value(2), backupFirst);
    {
        std::lock_guard guard(lock);
        mainJobState = 5; // printing again
    }
    QTRY_VERIFY(!c.state.journal->printerStatus().contains(QStringLiteral("停住")));
    c.tick({QStringLiteral("D.jpg")});
    QCOMPARE(offered.value(3), mainFirst);
    pauseMonitoringCore(c.state);
}

void TestMonitorCycle::pausedTickLaysOutButPrintsNothing()
{
    Cycle c(eightCells(4));
    c.tick({QStringLiteral("A.jpg")});
    pauseMonitoringCore(c.state);
    QVERIFY(!c.state.windows.monitoring);
    c.tick({QStringLiteral("B.jpg"), QStringLiteral("C.jpg")});
    QCOMPARE(c.printed.size(), 0);
    // C finds no free cell and, paused, nothing prints to make room: one pass
    // each, A, B, C, with C's copies all left.
    QCOMPARE(c.paths.size(), 3);
    QCOMPARE(c.state.pendingSheet.copiesLeft, 4);
    // A full sheet while paused stays where it is.
    QCOMPARE(c.state.pendingSheet.filledCells, 8);
}

void TestMonitorCycle::photoPathJoinsFolderAndEntry_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::newRow("bare") << QString();
    QTest::newRow("slash") << QStringLiteral("/");
    QTest::newRow("backslash") << QStringLiteral("\\");
}

void TestMonitorCycle::photoPathJoinsFolderAndEntry()
{
    QFETCH(QString, suffix);
    Cycle c(eightCells(1));
    c.state.monitorFolder = c.photos.path() + suffix;
    layOutPhoto(c.state, QStringLiteral("sub/x.jpg"));
    // The folder the watch watches, whatever separator was typed after it.
    QCOMPARE(c.paths, QStringList{c.photos.path() + QStringLiteral("/sub/x.jpg")});
    QCOMPARE(c.state.currentPhotoPath, c.state.monitorFolder);
}

void TestMonitorCycle::rearmingDoesNotPostponeTheTick()
{
    MonitorTimer timer;
    QSignalSpy ticks(&timer, &MonitorTimer::tick);
    QElapsedTimer clock;
    clock.start();
    timer.requestPeriod(500);
    // A watcher reporting change after change keeps asking for 500 ms; a
    // quiet-period timer would never fire.
    QTimer rearm;
    QObject::connect(&rearm, &QTimer::timeout, [&timer] { timer.requestPeriod(500); });
    rearm.start(50);
    QVERIFY(ticks.wait(3000));
    rearm.stop();
    QVERIFY(clock.elapsed() >= 450);
}

void TestMonitorCycle::startAndPauseCore()
{
    Cycle c(eightCells(3));
    c.state.windows.monitoring = false;
    c.tick({QStringLiteral("A.jpg")});
    QCOMPARE(c.state.pendingSheet.filledCells, 3);

    const QString missing = c.photos.filePath(QStringLiteral("missing"));
    QVERIFY(!startMonitoringCore(c.state, missing, {}));
    QVERIFY(!c.state.watchHandle);
    QVERIFY(!c.state.windows.monitoring);
    QCOMPARE(c.state.monitorFolder, c.photos.path());
    QCOMPARE(c.state.pendingSheet.filledCells, 3);

    QVERIFY(startMonitoringCore(c.state, c.photos.path() + u'/', {}));
    QVERIFY(c.state.watchHandle);
    QVERIFY(c.state.windows.monitoring);
    QCOMPARE(c.state.monitorFolder, c.photos.path() + u'/');
    QCOMPARE(c.state.currentPhotoPath, c.state.monitorFolder);
    // Cells the print ledger never heard of (laid out before monitoring
    // began) are not taken up.
    QCOMPARE(c.state.pendingSheet.filledCells, 0);
    QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), 1), -1);
    QCOMPARE(c.printed.size(), 0);

    // Starting again replaces the watch.
    std::weak_ptr<FolderWatch> first = c.state.watchHandle;
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}));
    QVERIFY(first.expired());

    pauseMonitoringCore(c.state);
    QVERIFY(!c.state.watchHandle);
    QVERIFY(!c.state.windows.monitoring);
}

void TestMonitorCycle::watchedPhotosAreLaidOutAndPrinted()
{
    Cycle c(eightCells(4));
    QObject::connect(&c.timer, &MonitorTimer::tick, [&c] { monitorTick(c.state, c.timer); });
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), [&c] { c.timer.requestPeriod(500); }));
    QVERIFY(QDir(c.photos.path()).mkdir(QStringLiteral("sub")));
    QTest::qWait(50);
    QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("A.jpg")),
                        c.photos.filePath(QStringLiteral("sub/a2.jpg"))));
    QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("B.jpg")),
                        c.photos.filePath(QStringLiteral("b2.jpg"))));
    QTRY_COMPARE_WITH_TIMEOUT(c.printed.size(), 1, 5000);
    QCOMPARE(c.cellPhoto(c.printed[0], 1) + c.cellPhoto(c.printed[0], 5), 1); // A and B
    QCOMPARE(c.timer.period(), 0);

    // Names unpacked from an archive made elsewhere: GBK bytes, a folder
    // "第1" holding "照片.jpg". They are laid out, and reported by the
    // text they mean.
    QStringList seen;
    QObject::disconnect(&c.timer, &MonitorTimer::tick, nullptr, nullptr);
    QObject::connect(&c.timer, &MonitorTimer::tick, [&c, &seen] {
        monitorTick(c.state, c.timer, [&seen](const QString& entry) { seen << entry; });
    });
    const QByteArray gbkFolder = QFile::encodeName(c.photos.path()) + "/\xb5\xda"
                                                                      "1";
    QVERIFY(::mkdir(gbkFolder.constData(), 0755) == 0);
    QTest::qWait(50);
    QFile source(c.photos.filePath(QStringLiteral("A.jpg")));
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QByteArray bytes = source.readAll();
    for (const char* name : {"/\xd5\xd5\xc6\xac.jpg", "/\xd5\xd5\xc6\xac"
                                                      "2.jpg"}) {
        const QByteArray path = gbkFolder + name;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
        ::close(fd);
    }
    QTRY_COMPARE_WITH_TIMEOUT(c.printed.size(), 2, 5000);
    QCOMPARE(c.cellPhoto(c.printed[1], 1) + c.cellPhoto(c.printed[1], 5), 0); // A twice
    QCOMPARE(seen, (QStringList{QStringLiteral("第1/照片.jpg"), QStringLiteral("第1/照片2.jpg")}));
    pauseMonitoringCore(c.state);
}

void TestMonitorCycle::tickInsideAPrintWaits()
{
    // The print dialog runs an event loop of its own while the pass holds the
    // sheet; the monitor timer fires inside it.
    Cycle c(eightCells(4));
    QObject::connect(&c.timer, &MonitorTimer::tick, [&c] { monitorTick(c.state, c.timer); });
    c.state.printSheet = [&c](const QImage& sheet) {
        c.printed << sheet;
        c.enqueue({QStringLiteral("C.jpg")});
        c.timer.setPeriod(500);
        QTest::qWait(800);
    };
    c.tick({QStringLiteral("A.jpg"), QStringLiteral("B.jpg")});
    QCOMPARE(c.printed.size(), 1);
    QCOMPARE(c.paths.size(), 2); // nothing laid out inside the print
    // C comes with the next tick, onto the fresh sheet.
    QTRY_COMPARE_WITH_TIMEOUT(c.state.pendingSheet.filledCells, 4, 5000);
    QCOMPARE(c.printed.size(), 1);
    QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), 1), 2);
}

void TestMonitorCycle::queueWaitsWhileTheSettingsWindowIsShown()
{
    Cycle c(eightCells(4));
    c.state.windows.settingsShown = true;
    c.timer.setPeriod(500);
    c.tick({QStringLiteral("A.jpg")});
    QCOMPARE(c.paths, QStringList{});
    QCOMPARE(queuedNames(c.state.monitorQueue), (QStringList{QString(), QStringLiteral("A.jpg")}));
    QCOMPARE(c.timer.period(), 500); // comes again
    QVERIFY(!c.state.templateModified);

    c.state.windows.settingsShown = false;
    c.tick({});
    QCOMPARE(c.paths, QStringList{c.photos.filePath(QStringLiteral("A.jpg"))});
    QCOMPARE(c.state.pendingSheet.filledCells, 4);
}

void TestMonitorCycle::sheetWithoutCellsIsNeverPrinted()
{
    LayoutTemplate t = eightCells(1);
    t.size1.countAcross = 0; // a template with no cells at all
    Cycle c(t);
    QStringList held;
    TickObserver observer;
    observer.holding = [&held](const QString& reason) { held << reason; };
    c.enqueue({QStringLiteral("A.jpg")});
    monitorTick(c.state, c.timer, observer);
    QCOMPARE(c.printed.size(), 0);
    QCOMPARE(held.size(), 1);
    // The photo stays queued for a template that can take it.
    QCOMPARE(queuedNames(c.state.monitorQueue), (QStringList{QString(), QStringLiteral("A.jpg")}));

    // Nor does a pass on its own print an empty sheet.
    layOutPhoto(c.state, QStringLiteral("A.jpg"));
    QCOMPARE(c.printed.size(), 0);
}

void TestMonitorCycle::onlyWholePicturesAreLaidOut_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("text named .jpg") << QStringLiteral("text");
    QTest::newRow("cut short") << QStringLiteral("half");
    QTest::newRow("empty") << QStringLiteral("empty");
    QTest::newRow("gone") << QStringLiteral("gone");
}

void TestMonitorCycle::onlyWholePicturesAreLaidOut()
{
    QFETCH(QString, kind);
    Cycle c(eightCells(1));
    const QString path = c.photos.filePath(QStringLiteral("bad.jpg"));
    if (kind != u"gone") {
        QFile photo(c.photos.filePath(QStringLiteral("C.jpg")));
        QVERIFY(photo.open(QIODevice::ReadOnly));
        const QByteArray jpeg = photo.readAll();
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        if (kind == u"text")
            f.write("not a photo at all\n");
        else if (kind == u"half")
            f.write(jpeg.left(jpeg.size() / 2));
    }
    QStringList skipped;
    TickObserver observer;
    observer.skipped = [&skipped](const QString& entry, const QString&) { skipped << entry; };
    // A queued photo renamed while the tick works through its list is found
    // under its new name.
    observer.photo = [&c](const QString& entry) {
        if (entry != u"A.jpg")
            return;
        QVERIFY(QFile::rename(c.photos.filePath(QStringLiteral("B.jpg")),
                              c.photos.filePath(QStringLiteral("B2.jpg"))));
        std::lock_guard<std::mutex> lock(c.state.queueLock);
        c.state.monitorRenames.append({QStringLiteral("B.jpg"), QStringLiteral("B2.jpg"), false});
    };
    c.enqueue({QStringLiteral("bad.jpg"), QStringLiteral("A.jpg"), QStringLiteral("B.jpg")});
    c.timer.setPeriod(500);
    monitorTick(c.state, c.timer, observer);
    // Reported, left where it is, and no cell of photo paper spent on it.
    QCOMPARE(skipped, QStringList{QStringLiteral("bad.jpg")});
    QCOMPARE(QFile::exists(path), kind != u"gone");
    QCOMPARE(c.paths, (QStringList{c.photos.filePath(QStringLiteral("A.jpg")),
                                   c.photos.filePath(QStringLiteral("B2.jpg"))}));
    QCOMPARE(c.state.pendingSheet.filledCells, 2);
}

void TestMonitorCycle::polledRenameBeforeTheTickIsFollowed()
{
    // Polling tells a rename at its next scan only. A queued photo the tick
    // finds gone waits for it: laid out under its new name, once; one that
    // is really gone is dropped with a report.
    Cycle c(eightCells(1));
    QStringList skipped;
    TickObserver observer;
    observer.skipped = [&skipped](const QString& entry, const QString&) { skipped << entry; };
    QObject::connect(&c.timer, &MonitorTimer::tick,
                     [&c, &observer] { monitorTick(c.state, c.timer, observer); });
    WatchOptions options;
    options.forcePolling = true;
    options.pollIntervalMs = 1000;
    QVERIFY(QDir(c.photos.path()).mkdir(QStringLiteral("in")));
    QVERIFY(startMonitoringCore(c.state, c.photos.path(), {}, options));
    // Files there at the first scan never count.
    QTRY_VERIFY_WITH_TIMEOUT(c.state.watchHandle->isReady(), 5000);
    QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("A.jpg")),
                        c.photos.filePath(QStringLiteral("in/a.jpg"))));
    QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("B.jpg")),
                        c.photos.filePath(QStringLiteral("b.jpg"))));
    const auto queued = [&c] {
        std::lock_guard<std::mutex> lock(c.state.queueLock);
        return c.state.monitorQueue.size() - 1;
    };
    QTRY_COMPARE_WITH_TIMEOUT(queued(), 2, 10000);
    // Just after a scan: the next one is a second away.
    QVERIFY(QDir(c.photos.path()).rename(QStringLiteral("in"), QStringLiteral("out")));
    QVERIFY(QFile::remove(c.photos.filePath(QStringLiteral("b.jpg"))));
    monitorTick(c.state, c.timer, observer);
    QCOMPARE(skipped, QStringList{});
    QCOMPARE(c.timer.period(), 500);
    QTRY_COMPARE_WITH_TIMEOUT(skipped, QStringList{QStringLiteral("b.jpg")}, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(c.paths, QStringList{c.photos.filePath(QStringLiteral("out/a.jpg"))},
                              10000);
    QTest::qWait(2500); // two scans more: not queued again under its new name
    QCOMPARE(c.paths.size(), 1);
    QCOMPARE(queued(), 0);
    pauseMonitoringCore(c.state);
}

void TestMonitorCycle::tickNeverWaitsOnALease()
{
    // Another program takes a lease on a photo just after the tick read it
    // (the kernel lease smbd takes for a client's batch oplock). An ordinary
    // open would wait until the lease is let go or the kernel's lease-break
    // time (45 s by default) runs out, with the UI frozen.
    Cycle c(eightCells(1));
    const QByteArray path = QFile::encodeName(c.photos.filePath(QStringLiteral("A.jpg")));
    const auto previous = signal(SIGIO, SIG_IGN); // the lease-break signal
    int leaseFd = -1;
    bool leased = false;
    TickObserver observer;
    observer.photo = [&](const QString&) {
        leaseFd = open(path.constData(), O_RDONLY | O_CLOEXEC);
        leased = leaseFd >= 0 && fcntl(leaseFd, F_SETLEASE, F_WRLCK) == 0;
    };
    c.enqueue({QStringLiteral("A.jpg")});
    QElapsedTimer clock;
    clock.start();
    monitorTick(c.state, c.timer, observer);
    const qint64 took = clock.elapsed();
    if (leaseFd >= 0) {
        fcntl(leaseFd, F_SETLEASE, F_UNLCK);
        close(leaseFd);
    }
    signal(SIGIO, previous);
    if (!leased)
        QSKIP("no write lease here");
    QVERIFY2(took < 5000, qPrintable(QStringLiteral("the tick took %1 ms").arg(took)));
    QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), 1), 0); // A, drawn
}

void TestMonitorCycle::photoChangedSinceItsReportIsSkipped_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("told"); // part of the reason the skip gives
    QTest::newRow("swapped for a link") << "link"
                                        << "A.jpg" << QStringLiteral("是链接");
    QTest::newRow("folder swapped for a link") << "folder"
                                               << "sub/A.jpg" << QStringLiteral("sub 是链接");
    QTest::newRow("another file renamed over it") << "replaced"
                                                  << "A.jpg" << QStringLiteral("另一个文件");
    QTest::newRow("grown in place") << "grown"
                                    << "A.jpg" << QStringLiteral("字节");
    QTest::newRow("rewritten in place and reported again") << "rewritten"
                                                           << "A.jpg" << QString();
}

void TestMonitorCycle::photoChangedSinceItsReportIsSkipped()
{
    // Between the watcher's report and the tick the name may come to stand
    // for another file; only the file reported is laid out.
    QFETCH(QString, change);
    QFETCH(QString, entry);
    QFETCH(QString, told);
    Cycle c(eightCells(1));
    QTemporaryDir others;
    QImage picture(200, 300, QImage::Format_RGB32);
    picture.fill(kOthers);
    const QString secret =
        test::writeImage(picture, others.filePath(QStringLiteral("A.jpg")), "jpg");
    const QString path = c.photos.filePath(entry);
    const QByteArray bytesPath = QFile::encodeName(path);
    if (change == u"folder") {
        QVERIFY(QDir(c.photos.path()).mkdir(QStringLiteral("sub")));
        QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("A.jpg")), path));
    }
    c.enqueue({entry});
    if (change == u"link") {
        const QString link = c.photos.filePath(QStringLiteral("l.lnk"));
        QVERIFY(QFile::link(secret, link));
        QVERIFY(::rename(QFile::encodeName(link).constData(), bytesPath.constData()) == 0);
    } else if (change == u"folder") {
        QVERIFY(QDir(c.photos.path()).rename(QStringLiteral("sub"), QStringLiteral("sub.old")));
        QVERIFY(QFile::link(others.path(), c.photos.filePath(QStringLiteral("sub"))));
    } else if (change == u"replaced") {
        const QString copy = c.photos.filePath(QStringLiteral("copy.tmp"));
        QVERIFY(QFile::copy(secret, copy));
        QVERIFY(::rename(QFile::encodeName(copy).constData(), bytesPath.constData()) == 0);
    } else if (change == u"grown") {
        QFile photo(path);
        QVERIFY(photo.open(QIODevice::Append) && photo.write(QByteArray(100, '\0')) == 100);
    } else {
        // Its writer saves it again: the same inode, another size, a new close.
        QVERIFY(copyInPlace(c.photos.filePath(QStringLiteral("C.jpg")), path));
        c.enqueue({entry});
    }
    QStringList skipped;
    TickObserver observer;
    observer.skipped = [&skipped](const QString& name, const QString& reason) {
        skipped << name + u' ' + reason;
    };
    monitorTick(c.state, c.timer, observer);
    QVERIFY(!showsColour(c.state.sheetSurface.image(), kOthers));
    if (told.isEmpty()) {
        QCOMPARE(skipped, QStringList{});
        QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), 1), 2); // C's colour, as saved
        return;
    }
    QCOMPARE(skipped.size(), 1);
    QVERIFY2(skipped[0].startsWith(entry + u' ') && skipped[0].contains(told),
             qPrintable(skipped[0]));
    QCOMPARE(c.state.pendingSheet.filledCells, 0);
}

void TestMonitorCycle::swapByAnotherAccountIsNeverLaidOut()
{
    // The hot folder is open to every account. One of them copies a photo in
    // and swaps it at once (mv -T) for a link to a picture only root may
    // read; the watcher runs as root. Over and over, timed both ways: after
    // the watcher has queued the photo, and racing it.
    if (geteuid() != 0)
        QSKIP("the watcher must run as root here");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    const passwd* nobody = getpwnam("nobody");
    if (setpriv.isEmpty() || !nobody)
        QSKIP("no setpriv or no user nobody");

    Cycle c(eightCells(1));
    QTemporaryDir hot;
    QVERIFY(chmod(QFile::encodeName(hot.path()).constData(), 01777) == 0);
    QVERIFY(QFile::copy(c.photos.filePath(QStringLiteral("A.jpg")),
                        hot.filePath(QStringLiteral("source.dat"))));
    QVERIFY(QFile::setPermissions(hot.filePath(QStringLiteral("source.dat")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    QTemporaryDir rootOnly; // mode 0700
    QImage picture(200, 300, QImage::Format_RGB32);
    picture.fill(kOthers);
    const QString secret =
        test::writeImage(picture, rootOnly.filePath(QStringLiteral("secret.jpg")), "jpg");
    QVERIFY(chmod(QFile::encodeName(secret).constData(), 0600) == 0);

    QStringList skipped;
    TickObserver observer;
    observer.skipped = [&skipped](const QString& name, const QString& reason) {
        skipped << name + u' ' + reason;
    };
    QVERIFY(startMonitoringCore(c.state, hot.path(), {}));
    QTRY_VERIFY_WITH_TIMEOUT(c.state.watchHandle->isReady(), 5000);

    QProcess writer;
    writer.setWorkingDirectory(hot.path());
    writer.start(setpriv,
                 {QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                  QStringLiteral("--regid=%1").arg(nobody->pw_gid),
                  QStringLiteral("--clear-groups"), QStringLiteral("sh"), QStringLiteral("-c"),
                  QStringLiteral("while read -r what n; do case $what in "
                                 "write) cp source.dat p$n.jpg ;; "
                                 "swap) ln -s \"$0\" l$n.lnk && mv -T l$n.lnk p$n.jpg ;; "
                                 "race) cp source.dat r$n.jpg && ln -s \"$0\" m$n.lnk && "
                                 "mv -T m$n.lnk r$n.jpg ;; "
                                 "plain) cp source.dat ok.jpg ;; esac; echo \"$what $n\"; done"),
                  secret});
    QVERIFY(writer.waitForStarted(5000));
    const auto order = [&writer](const QByteArray& line) {
        writer.write(line + '\n');
        QByteArray answer;
        while (!answer.endsWith('\n')) {
            if (!writer.waitForReadyRead(5000))
                return false;
            answer += writer.readAll();
        }
        return answer.trimmed() == line;
    };
    const auto queued = [&c](const QString& name) {
        std::lock_guard<std::mutex> lock(c.state.queueLock);
        return queuedNames(c.state.monitorQueue).contains(name);
    };
    const auto sawTheirPicture = [&c] {
        if (showsColour(c.state.sheetSurface.image(), kOthers))
            return true;
        for (const QImage& sheet : std::as_const(c.printed))
            if (showsColour(sheet, kOthers))
                return true;
        return false;
    };

    constexpr int kRounds = 12;
    for (int n = 0; n < kRounds; ++n) {
        const QString name = QStringLiteral("p%1.jpg").arg(n);
        QVERIFY(order("write " + QByteArray::number(n)));
        QTRY_VERIFY_WITH_TIMEOUT(queued(name), 5000);
        QVERIFY(order("swap " + QByteArray::number(n)));
        monitorTick(c.state, c.timer, observer);
        QVERIFY2(!skipped.isEmpty() && skipped.last().startsWith(name + u' ') &&
                     skipped.last().contains(QStringLiteral("链接")),
                 qPrintable(skipped.join(u'\n')));
    }
    for (int n = 0; n < 3 * kRounds; ++n) {
        QVERIFY(order("race " + QByteArray::number(n)));
        monitorTick(c.state, c.timer, observer);
    }
    // The watcher sees that account's photos all right: an honest one is
    // laid out (and whatever the races queued is dealt with before it).
    QVERIFY(order("plain 0"));
    QTRY_VERIFY_WITH_TIMEOUT(queued(QStringLiteral("ok.jpg")), 5000);
    monitorTick(c.state, c.timer, observer);
    writer.closeWriteChannel();
    QVERIFY(writer.waitForFinished(5000));
    pauseMonitoringCore(c.state);

    QVERIFY(!sawTheirPicture());
    QCOMPARE(c.state.pendingSheet.filledCells, 1);
    QCOMPARE(c.printed.size(), 0);
    QCOMPARE(c.cellPhoto(c.state.sheetSurface.image(), 1), 0); // source.dat: A's red
    for (const QString& line : std::as_const(skipped))
        QVERIFY2(line.contains(QStringLiteral("链接")) || line.contains(QStringLiteral("已不在")),
                 qPrintable(line));
}

QTEST_MAIN(TestMonitorCycle)
#include "tst_monitorcycle.moc"

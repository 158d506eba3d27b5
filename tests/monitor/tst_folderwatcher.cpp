#include "core/AppState.h"
#include "monitor/FolderWatcher.h"
#include "testutils.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vellora;

namespace {

// A watched temporary folder and what the watcher did to the state.
struct Fixture
{
    QTemporaryDir dir;
    AppState state;
    std::atomic<int> arms{0};
    std::shared_ptr<FolderWatch> watch;

    Fixture() { state.monitorQueue = {QString()}; }
    ~Fixture() { stopWatch(watch); }

    bool start(const WatchOptions& options = {})
    {
        watch = startWatch(
            state, dir.path(), [this] { ++arms; }, options);
        // Until the tree is walked, changes below the root may come out of
        // order, which the marker checks rely on.
        return watch && QTest::qWaitFor([this] { return watch->isReady(); }, 5000);
    }
    QString path(const QString& name) const { return dir.filePath(name); }

    // The queue without its sentinel.
    QStringList queued()
    {
        std::lock_guard<std::mutex> lock(state.queueLock);
        QStringList names = queuedNames(state.monitorQueue);
        if (!names.isEmpty() && names.first().isEmpty())
            names.removeFirst();
        return names;
    }
    // Files found by a scan are counted on a later look, so they may come
    // after a marker written later.
    QStringList sortedQueued()
    {
        QStringList names = queued();
        std::sort(names.begin(), names.end());
        return names;
    }
    // What the monitor tick does to the queue.
    void swapOut()
    {
        std::lock_guard<std::mutex> lock(state.queueLock);
        state.monitorQueue = {QString()};
    }
};

bool writeFile(const QString& path, const QByteArray& content = QByteArray(2048, 'x'))
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(content);
    return true;
}

// A real photo's bytes (the completeness check reads JPEG structure).
QByteArray jpegBytes()
{
    QTemporaryDir dir;
    QFile f(test::writeImage(test::markedImage(120, 160), dir.filePath(QStringLiteral("p.jpg")),
                             "jpg"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Events are handled in order: once a marker written last is queued, every
// earlier change has been handled, so "nothing else queued" can be asserted
// without sleeping.
#define SETTLE_WITH_MARKER(fx, marker)                                                             \
    do {                                                                                           \
        QVERIFY(writeFile((fx).path(marker)));                                                     \
        QTRY_VERIFY_WITH_TIMEOUT((fx).queued().contains(marker), 5000);                            \
    } while (false)

} // namespace

class TestFolderWatcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void photoFilter_data();
    void photoFilter();
    void onlyChangedNamesAreAppended();
    void startFailsOnWhatCannotBeWatched();
    void separatorsAndLinkedRootsAreAccepted();

    void copiedPhotoIsQueuedOnce();
    void slowWriterIsQueuedOnlyAfterClose();
    void unnamedFileLinkedInIsQueuedOnce();
    void rewrittenPhotoIsQueuedAgainAfterTheSwap();
    void writesInTurnGiveOneEntryPerTurn();
    void saveByRenameIsQueued();
    void renamesBetweenPhotoNamesAndDeletionsQueueNothing();
    void movedInFromOutsideIsQueued();
    void otherFilesArmButQueueNothing();
    void newNestedFoldersAreWatchedAtOnce();
    void renamedFolderKeepsReportingUnderItsNewName();
    void overflowQueuesWhatWasDropped();
    void overflowRescanDoesNotRepeat();
    void stoppedWatchQueuesNothing();
    void deletedFolderIsWaitedForAndWatchedAgain();
    void pollingCountsFilesOnceStable();
    void createdEmptyThenWrittenIsQueuedOnce();
    void noLeaseWriterPausingMidFileIsQueuedOnce();
    void noLeaseWholeLookingFileWaitsForItsWriter();
    void writerClosingAtTheLookIsQueuedOnce();
    void leasedAndLongHeldFilesAreLookedAtAgain();
    void toolArtefactsAndTheUnprintedFolderAreNoPhotos();
    void queuedPhotosFollowRenames();
    void polledPhotosFollowRenames();
    void renamedBeforeTheWatcherLooksIsQueued();
    void unreadablePhotoIsReportedAndCountedAgainWhenMadeReadable();
    void linksArePassedOnOnceToBeReported_data();
    void linksArePassedOnOnceToBeReported();
    void foldersTooDeepAreReportedNotWatched_data();
    void foldersTooDeepAreReportedNotWatched();
    void watchLimitTurnsToPolling();
};

void TestFolderWatcher::photoFilter_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("passes");
    QTest::newRow("jpg") << "a.jpg" << true;
    QTest::newRow("JPG") << "a.JPG" << true;
    QTest::newRow("bmp") << "sub/a.bmp" << true;
    QTest::newRow("BMP") << "a.BMP" << true;
    QTest::newRow("no dot") << "ajpg" << true;
    QTest::newRow("mixed case") << "a.Jpg" << false;
    QTest::newRow("jpeg") << "a.jpeg" << false;
    QTest::newRow("text") << "a.txt" << false;
    QTest::newRow("short") << "pg" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("CJK name") << QStringLiteral("照片.jpg") << true;
    QTest::newRow("CJK ending") << QStringLiteral("a.jp照") << false;
}

void TestFolderWatcher::photoFilter()
{
    QFETCH(QString, name);
    QFETCH(bool, passes);
    QCOMPARE(passesPhotoFilter(name), passes);
    AppState state;
    state.monitorQueue = {QString()};
    int arms = 0;
    queueChangedFile(state, kActionModified, name, [&] { ++arms; });
    QCOMPARE(state.monitorQueue.size(), passes ? 2 : 1);
    QVERIFY(arms >= 1); // every modified file arms, photo or not
}

void TestFolderWatcher::onlyChangedNamesAreAppended()
{
    AppState state;
    state.monitorQueue = {QString()};
    int arms = 0;
    const ArmMonitorTimer arm = [&] { ++arms; };
    for (int action : {1, 2, 4, 5})
        queueChangedFile(state, action, QStringLiteral("a.jpg"), arm);
    QCOMPARE(queuedNames(state.monitorQueue), QStringList{QString()});
    QCOMPARE(arms, 0);

    for (const char* name : {"a.jpg", "a.jpg", "b.jpg", "a.jpg", "A.jpg"})
        queueChangedFile(state, kActionModified, QString::fromLatin1(name), arm);
    // Only the last entry is compared, byte-wise with case.
    QCOMPARE(queuedNames(state.monitorQueue),
             (QStringList{QString(), QStringLiteral("a.jpg"), QStringLiteral("b.jpg"),
                          QStringLiteral("a.jpg"), QStringLiteral("A.jpg")}));

    // Written again before the tick: the entry stands for the file as it is
    // now, not as it was at its first close.
    const PhotoStamp first{1, 2, 100, 5}, rewritten{1, 2, 180, 9};
    queueChangedFile(state, kActionModified, QStringLiteral("c.jpg"), arm, first);
    queueChangedFile(state, kActionModified, QStringLiteral("c.jpg"), arm, rewritten);
    QCOMPARE(state.monitorQueue.size(), 6);
    QCOMPARE(state.monitorQueue.last().stamp, rewritten);
}

void TestFolderWatcher::startFailsOnWhatCannotBeWatched()
{
    QTemporaryDir dir;
    AppState state;
    QVERIFY(!startWatch(state, dir.filePath(QStringLiteral("missing")), {}));
    QVERIFY(!startWatch(state, QString(), {}));
    const QString file = dir.filePath(QStringLiteral("plain.jpg"));
    QVERIFY(writeFile(file));
    QVERIFY(!startWatch(state, file, {}));
    QVERIFY(!startWatch(state, file + u'/', {}));
    if (geteuid() != 0) {
        const QString locked = dir.filePath(QStringLiteral("locked"));
        QVERIFY(QDir().mkdir(locked));
        QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(!startWatch(state, locked, {}));
    }
    auto watch = startWatch(state, dir.path(), {});
    QVERIFY(watch);
    stopWatch(watch);
    QVERIFY(!watch);
    stopWatch(watch); // stopping nothing is harmless
}

void TestFolderWatcher::separatorsAndLinkedRootsAreAccepted()
{
    QTemporaryDir links;
    const QString link = links.filePath(QStringLiteral("linked"));
    for (const QString& suffix : {QStringLiteral("/"), QStringLiteral("\\"), QString()}) {
        Fixture fx;
        // The bare text goes through a link to the folder.
        QString folder = fx.dir.path() + suffix;
        if (suffix.isEmpty()) {
            QVERIFY(QFile::link(fx.dir.path(), link));
            folder = link;
        }
        fx.watch = startWatch(fx.state, folder, [&fx] { ++fx.arms; });
        QVERIFY(fx.watch);
        QVERIFY(writeFile(fx.path(QStringLiteral("a.jpg"))));
        QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("a.jpg")}, 5000);
    }
}

void TestFolderWatcher::copiedPhotoIsQueuedOnce()
{
    Fixture fx;
    QVERIFY(fx.start());
    QTemporaryDir source;
    const QString photo = test::writeImage(test::markedImage(400, 600),
                                           source.filePath(QStringLiteral("p.jpg")), "jpg");
    QVERIFY(QFile::copy(photo, fx.path(QStringLiteral("152101201205090001.jpg"))));
    // The copy is linked in before its writer lets go, so it may come after
    // a later file; once is what matters.
    QTRY_VERIFY_WITH_TIMEOUT(fx.queued().contains(QStringLiteral("152101201205090001.jpg")), 5000);
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QTest::qWait(100);
    QStringList got = fx.queued();
    std::sort(got.begin(), got.end());
    QCOMPARE(got,
             (QStringList{QStringLiteral("152101201205090001.jpg"), QStringLiteral("marker.jpg")}));
    QVERIFY(fx.arms > 0);
}

void TestFolderWatcher::slowWriterIsQueuedOnlyAfterClose()
{
    Fixture fx;
    QVERIFY(fx.start());
    QFile slow(fx.path(QStringLiteral("slow.jpg")));
    QVERIFY(slow.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    for (int i = 0; i < 40; ++i) {
        slow.write(QByteArray(1024, char(i)));
        QThread::msleep(10);
    }
    // Everything up to here has been seen by now, and nothing of slow.jpg.
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.queued(), QStringList{QStringLiteral("marker.jpg")});
    slow.close();
    QTRY_COMPARE_WITH_TIMEOUT(
        fx.queued(), (QStringList{QStringLiteral("marker.jpg"), QStringLiteral("slow.jpg")}), 5000);
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker2.jpg"));
    QCOMPARE(fx.queued().count(QStringLiteral("slow.jpg")), 1);
}

void TestFolderWatcher::unnamedFileLinkedInIsQueuedOnce()
{
    // Written unnamed, linked in, closed later: the close is never reported
    // under the name (QFile::copy and QSaveFile save this way).
    Fixture fx;
    QVERIFY(fx.start());
    const int fd = open(QFile::encodeName(fx.dir.path()).constData(), O_TMPFILE | O_WRONLY, 0644);
    if (fd < 0)
        QSKIP("no O_TMPFILE here");
    QVERIFY(write(fd, "0123456789", 10) == 10);
    const QByteArray procPath = "/proc/self/fd/" + QByteArray::number(fd);
    QVERIFY(linkat(AT_FDCWD, procPath.constData(), AT_FDCWD,
                   QFile::encodeName(fx.path(QStringLiteral("linked.jpg"))).constData(),
                   AT_SYMLINK_FOLLOW) == 0);
    QThread::msleep(150);
    QCOMPARE(fx.queued(), QStringList{});
    close(fd);
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("linked.jpg")}, 5000);
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.queued(),
             (QStringList{QStringLiteral("linked.jpg"), QStringLiteral("marker.jpg")}));
}

void TestFolderWatcher::rewrittenPhotoIsQueuedAgainAfterTheSwap()
{
    Fixture fx;
    QVERIFY(fx.start());
    QVERIFY(writeFile(fx.path(QStringLiteral("a.jpg"))));
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("a.jpg")}, 5000);
    fx.swapOut();
    QFile again(fx.path(QStringLiteral("a.jpg")));
    QVERIFY(again.open(QIODevice::Append));
    again.write("more");
    again.close();
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("a.jpg")}, 5000);
}

void TestFolderWatcher::writesInTurnGiveOneEntryPerTurn()
{
    Fixture fx;
    QVERIFY(fx.start());
    const QStringList order{QStringLiteral("a.jpg"), QStringLiteral("b.jpg"),
                            QStringLiteral("a.jpg")};
    QStringList expected;
    for (int i = 0; i < order.size(); ++i) {
        QVERIFY(writeFile(fx.path(order[i]), QByteArray(100 + i, 'y')));
        expected << order[i];
        QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), expected, 5000);
    }
}

void TestFolderWatcher::saveByRenameIsQueued()
{
    Fixture fx;
    QVERIFY(fx.start());
    QVERIFY(writeFile(fx.path(QStringLiteral("x.tmp"))));
    QVERIFY(QFile::rename(fx.path(QStringLiteral("x.tmp")), fx.path(QStringLiteral("x.jpg"))));
    QVERIFY(writeFile(fx.path(QStringLiteral("y.jpg.part"))));
    QVERIFY(QFile::rename(fx.path(QStringLiteral("y.jpg.part")), fx.path(QStringLiteral("y.jpg"))));
    // Into a subfolder, from a temporary name elsewhere in the tree.
    QVERIFY(QDir(fx.dir.path()).mkdir(QStringLiteral("sub")));
    QTest::qWait(50); // the new folder's watch
    QVERIFY(writeFile(fx.path(QStringLiteral("z.part"))));
    QVERIFY(QFile::rename(fx.path(QStringLiteral("z.part")), fx.path(QStringLiteral("sub/z.BMP"))));
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.queued(), (QStringList{QStringLiteral("x.jpg"), QStringLiteral("y.jpg"),
                                       QStringLiteral("sub/z.BMP"), QStringLiteral("marker.jpg")}));
}

void TestFolderWatcher::renamesBetweenPhotoNamesAndDeletionsQueueNothing()
{
    Fixture fx;
    QVERIFY(writeFile(fx.path(QStringLiteral("old.jpg"))));
    QVERIFY(writeFile(fx.path(QStringLiteral("gone.jpg"))));
    QVERIFY(fx.start());
    QVERIFY(QFile::rename(fx.path(QStringLiteral("old.jpg")), fx.path(QStringLiteral("new.jpg"))));
    QVERIFY(QFile::rename(fx.path(QStringLiteral("new.jpg")), fx.path(QStringLiteral("new.tmp"))));
    QVERIFY(QFile::remove(fx.path(QStringLiteral("gone.jpg"))));
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.queued(), QStringList{QStringLiteral("marker.jpg")});
}

void TestFolderWatcher::movedInFromOutsideIsQueued()
{
    QTemporaryDir outside;
    Fixture fx;
    QVERIFY(outside.isValid() && fx.dir.isValid());
    QVERIFY(writeFile(outside.filePath(QStringLiteral("in.jpg"))));
    QVERIFY(QDir(outside.path()).mkpath(QStringLiteral("batch/inner")));
    QVERIFY(writeFile(outside.filePath(QStringLiteral("batch/inner/p.jpg"))));
    QVERIFY(writeFile(outside.filePath(QStringLiteral("batch/note.txt"))));
    QVERIFY(fx.start());
    QVERIFY(QFile::rename(outside.filePath(QStringLiteral("in.jpg")),
                          fx.path(QStringLiteral("in.jpg"))));
    QVERIFY(
        QDir().rename(outside.filePath(QStringLiteral("batch")), fx.path(QStringLiteral("batch"))));
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QTRY_COMPARE_WITH_TIMEOUT(fx.sortedQueued(),
                              (QStringList{QStringLiteral("batch/inner/p.jpg"),
                                           QStringLiteral("in.jpg"), QStringLiteral("marker.jpg")}),
                              5000);
    // The moved-in folder is watched from now on.
    QVERIFY(writeFile(fx.path(QStringLiteral("batch/inner/q.jpg"))));
    QTRY_VERIFY_WITH_TIMEOUT(fx.queued().contains(QStringLiteral("batch/inner/q.jpg")), 5000);
}

void TestFolderWatcher::otherFilesArmButQueueNothing()
{
    Fixture fx;
    QVERIFY(fx.start());
    QVERIFY(writeFile(fx.path(QStringLiteral("notes.txt"))));
    QVERIFY(writeFile(fx.path(QStringLiteral("a.Jpg"))));
    QTRY_VERIFY_WITH_TIMEOUT(fx.arms >= 2, 5000);
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.queued(), QStringList{QStringLiteral("marker.jpg")});
}

void TestFolderWatcher::newNestedFoldersAreWatchedAtOnce()
{
    Fixture fx;
    QVERIFY(fx.start());
    // mkdir -p and an immediate write race the watcher adding its watches;
    // every photo must come through exactly once whichever side wins.
    QStringList expected;
    for (int i = 0; i < 20; ++i) {
        const QString folder = QStringLiteral("s%1/deeper/deepest").arg(i);
        QVERIFY(QDir(fx.dir.path()).mkpath(folder));
        for (const QString& name :
             {folder + QStringLiteral("/p.jpg"), QStringLiteral("s%1/deeper/q.jpg").arg(i)}) {
            QVERIFY(writeFile(fx.path(name)));
            expected << name;
        }
    }
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    expected << QStringLiteral("marker.jpg");
    std::sort(expected.begin(), expected.end());
    QTRY_COMPARE_WITH_TIMEOUT(fx.sortedQueued(), expected, 5000);
}

void TestFolderWatcher::renamedFolderKeepsReportingUnderItsNewName()
{
    Fixture fx;
    QVERIFY(QDir(fx.dir.path()).mkpath(QStringLiteral("a/b")));
    QVERIFY(fx.start());
    QVERIFY(QDir(fx.dir.path()).rename(QStringLiteral("a"), QStringLiteral("c")));
    QVERIFY(writeFile(fx.path(QStringLiteral("c/b/p.jpg"))));
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("c/b/p.jpg")}, 5000);

    // Moved out of the tree: nothing more from there.
    QTemporaryDir outside;
    QVERIFY(QDir().rename(fx.path(QStringLiteral("c")), outside.filePath(QStringLiteral("c"))));
    QTest::qWait(200);
    QVERIFY(writeFile(outside.filePath(QStringLiteral("c/b/q.jpg"))));
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.queued(), (QStringList{QStringLiteral("c/b/p.jpg"), QStringLiteral("marker.jpg")}));
}

void TestFolderWatcher::overflowQueuesWhatWasDropped()
{
    Fixture fx;
    QVERIFY(QDir(fx.dir.path()).mkdir(QStringLiteral("sub")));
    QVERIFY(fx.start());
    QVERIFY(!fx.watch->isPolling());

    QStringList expected;
    {
        // The watcher stalls on the lock at its first name while the changes
        // arrive; the overflow then throws away all it has not read yet.
        std::lock_guard<std::mutex> lock(fx.state.queueLock);
        for (int i = 0; i < 40; ++i) {
            const QString name = (i % 2 ? QStringLiteral("sub/%1.jpg") : QStringLiteral("%1.jpg"))
                                     .arg(i, 3, 10, QLatin1Char('0'));
            QVERIFY(writeFile(fx.path(name)));
            expected << name;
        }
        QVERIFY(QDir(fx.dir.path()).mkdir(QStringLiteral("made-meanwhile")));
        QVERIFY(writeFile(fx.path(QStringLiteral("made-meanwhile/m.jpg"))));
        expected << QStringLiteral("made-meanwhile/m.jpg");
        fx.watch->simulateOverflow();
    }
    std::sort(expected.begin(), expected.end());
    QTRY_COMPARE_WITH_TIMEOUT(fx.sortedQueued(), expected, 10000);
    // A folder made during the overflow is watched afterwards.
    QVERIFY(writeFile(fx.path(QStringLiteral("made-meanwhile/n.jpg"))));
    QTRY_VERIFY_WITH_TIMEOUT(fx.queued().contains(QStringLiteral("made-meanwhile/n.jpg")), 5000);
}

void TestFolderWatcher::overflowRescanDoesNotRepeat()
{
    Fixture fx;
    QVERIFY(QDir(fx.dir.path()).mkdir(QStringLiteral("sub")));
    QVERIFY(fx.start());
    QVERIFY(writeFile(fx.path(QStringLiteral("a.jpg"))));
    QVERIFY(writeFile(fx.path(QStringLiteral("sub/b.jpg"))));
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued().size(), 2, 5000);
    fx.swapOut();
    // Photos handled before the overflow are not queued again by its rescan.
    fx.watch->simulateOverflow();
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.queued(), QStringList{QStringLiteral("marker.jpg")});
}

void TestFolderWatcher::stoppedWatchQueuesNothing()
{
    Fixture fx;
    QVERIFY(fx.start());
    std::weak_ptr<FolderWatch> weak = fx.watch;
    stopWatch(fx.watch);
    QVERIFY(!fx.watch);
    QVERIFY(weak.expired());
    QVERIFY(writeFile(fx.path(QStringLiteral("after.jpg"))));
    // A new watch does not report what was written before it started, so a
    // marker through it shows what the old one did meanwhile: nothing.
    QVERIFY(fx.start());
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.queued(), QStringList{QStringLiteral("marker.jpg")});

    // Stopping while changes pour in: no use after the watch is gone (the
    // sanitizer build checks).
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 50; ++i)
            QVERIFY(writeFile(fx.path(QStringLiteral("burst%1.jpg").arg(i))));
        stopWatch(fx.watch);
        QVERIFY(fx.start());
    }
}

void TestFolderWatcher::deletedFolderIsWaitedForAndWatchedAgain()
{
    for (const bool polled : {false, true}) {
        Fixture fx;
        const QString folder = fx.path(QStringLiteral("watched"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/sub")));
        WatchOptions options;
        options.forcePolling = polled;
        options.pollIntervalMs = 50;
        fx.watch = startWatch(
            fx.state, folder, [&fx] { ++fx.arms; }, options);
        QVERIFY(fx.watch);
        QTRY_VERIFY_WITH_TIMEOUT(fx.watch->isReady(), 5000);
        QVERIFY(QDir(folder).removeRecursively());
        QTRY_VERIFY_WITH_TIMEOUT(!fx.watch->isRunning(), 5000);
        // Made again (a user emptied it by deleting it) and filled at once:
        // every photo in it is new.
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/sub")));
        QVERIFY(writeFile(folder + QStringLiteral("/sub/back.jpg")));
        QTRY_VERIFY_WITH_TIMEOUT(fx.watch->isRunning(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("sub/back.jpg")}, 5000);
        QVERIFY(writeFile(folder + QStringLiteral("/later.jpg")));
        QTRY_COMPARE_WITH_TIMEOUT(
            fx.queued(), (QStringList{QStringLiteral("sub/back.jpg"), QStringLiteral("later.jpg")}),
            5000);
    }
}

void TestFolderWatcher::pollingCountsFilesOnceStable()
{
    Fixture fx;
    QVERIFY(writeFile(fx.path(QStringLiteral("before.jpg"))));
    WatchOptions options;
    options.forcePolling = true;
    options.pollIntervalMs = 100;
    QVERIFY(fx.start(options));
    QTRY_VERIFY_WITH_TIMEOUT(fx.watch->isPolling(), 5000);

    // Growing across many scans: never counted while it changes.
    QFile growing(fx.path(QStringLiteral("sub/growing.jpg")));
    QVERIFY(QDir(fx.dir.path()).mkdir(QStringLiteral("sub")));
    QVERIFY(growing.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    for (int i = 0; i < 12; ++i) {
        growing.write(QByteArray(1024, 'g'));
        QThread::msleep(60);
        QCOMPARE(fx.queued(), QStringList{});
    }
    growing.close();
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("sub/growing.jpg")}, 5000);
    // Stable from then on: counted once, and the file present at the start
    // never.
    QTest::qWait(400);
    QCOMPARE(fx.queued(), QStringList{QStringLiteral("sub/growing.jpg")});

    // Changed again: counted again.
    fx.swapOut();
    QVERIFY(writeFile(fx.path(QStringLiteral("sub/growing.jpg")), "changed"));
    QVERIFY(writeFile(fx.path(QStringLiteral("notes.txt"))));
    const int armsBefore = fx.arms;
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("sub/growing.jpg")}, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(fx.arms > armsBefore, 5000);
}

void TestFolderWatcher::createdEmptyThenWrittenIsQueuedOnce()
{
    // Created with no data and closed, then written 0.8 s later: the empty
    // file is never queued, the photo once (the tick takes the queue between).
    Fixture fx;
    QVERIFY(fx.start());
    const QByteArray photo = jpegBytes();
    QVERIFY(writeFile(fx.path(QStringLiteral("a.jpg")), QByteArray()));
    QTest::qWait(800);
    QStringList taken = fx.queued();
    fx.swapOut();
    QVERIFY(writeFile(fx.path(QStringLiteral("a.jpg")), photo));
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    taken += fx.queued();
    QCOMPARE(taken, (QStringList{QStringLiteral("a.jpg"), QStringLiteral("marker.jpg")}));
}

void TestFolderWatcher::noLeaseWriterPausingMidFileIsQueuedOnce()
{
    // Without leases only the settle time and the photo's own structure tell
    // a pausing writer from a finished one.
    Fixture fx;
    WatchOptions options;
    options.noLeases = true;
    QVERIFY(fx.start(options));
    const QByteArray photo = jpegBytes();
    QFile writer(fx.path(QStringLiteral("a.jpg")));
    QVERIFY(writer.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    writer.write(photo.left(photo.size() / 2));
    QTest::qWait(1500);
    QStringList taken = fx.queued();
    fx.swapOut();
    writer.write(photo.mid(photo.size() / 2));
    writer.close();
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    taken += fx.queued();
    QCOMPARE(taken, (QStringList{QStringLiteral("a.jpg"), QStringLiteral("marker.jpg")}));
}

void TestFolderWatcher::noLeaseWholeLookingFileWaitsForItsWriter()
{
    // A whole-looking photo whose writer still holds it and adds to it: it
    // counts only after a quiet second or at its close, never at the look.
    Fixture fx;
    WatchOptions options;
    options.noLeases = true;
    std::atomic<int> looks{0};
    options.beforeWriterCheck = [&looks](const QByteArray& relative) {
        if (relative == "a.jpg")
            ++looks;
    };
    QVERIFY(fx.start(options));
    QFile writer(fx.path(QStringLiteral("a.jpg")));
    QVERIFY(writer.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    writer.write(jpegBytes());
    QTRY_VERIFY_WITH_TIMEOUT(looks > 0, 5000);
    QTest::qWait(100);
    QStringList taken = fx.queued();
    fx.swapOut();
    writer.write("trailer after the picture");
    writer.close();
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    taken += fx.queued();
    QCOMPARE(taken, (QStringList{QStringLiteral("a.jpg"), QStringLiteral("marker.jpg")}));
}

void TestFolderWatcher::writerClosingAtTheLookIsQueuedOnce()
{
    // The writer finishes between the watcher's stat and its writer check,
    // and another photo is closed before it: the photo is queued with what
    // the check saw, so its close report is not taken for a second write.
    Fixture fx;
    const QByteArray photo = jpegBytes();
    int fd = -1;
    bool acted = false;
    WatchOptions options;
    options.beforeWriterCheck = [&](const QByteArray& relative) {
        if (relative != "a.jpg" || acted)
            return;
        acted = true;
        [[maybe_unused]] const auto n =
            write(fd, photo.constData() + 100, size_t(photo.size() - 100));
        writeFile(fx.path(QStringLiteral("b.jpg")));
        close(fd);
    };
    QVERIFY(fx.start(options));
    fd = open(QFile::encodeName(fx.path(QStringLiteral("a.jpg"))).constData(),
              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(write(fd, photo.constData(), 100), ssize_t(100));
    QTRY_VERIFY_WITH_TIMEOUT(fx.queued().contains(QStringLiteral("b.jpg")), 5000);
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.queued(), (QStringList{QStringLiteral("a.jpg"), QStringLiteral("b.jpg"),
                                       QStringLiteral("marker.jpg")}));
}

void TestFolderWatcher::leasedAndLongHeldFilesAreLookedAtAgain()
{
    Fixture fx;
    std::atomic<int> heldLooks{0};
    WatchOptions options;
    options.beforeWriterCheck = [&heldLooks](const QByteArray& relative) {
        if (relative == "held.log.jpg")
            ++heldLooks;
    };
    QVERIFY(fx.start(options));
    // Found by the scan of a folder moved in while another program holds a
    // lease on the photo: its open fails at first, and that is no reason to
    // drop it.
    QTemporaryDir outside;
    QVERIFY(QDir(outside.path()).mkdir(QStringLiteral("in")));
    const QString leased = outside.filePath(QStringLiteral("in/leased.jpg"));
    QVERIFY(writeFile(leased, jpegBytes()));
    const int leaseFd = open(QFile::encodeName(leased).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(leaseFd >= 0);
    if (fcntl(leaseFd, F_SETLEASE, F_WRLCK) != 0) {
        close(leaseFd);
        QSKIP("no write lease here");
    }
    // And a file held open for writing for a long time, like a log.
    QFile held(fx.path(QStringLiteral("held.log.jpg")));
    QVERIFY(held.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    held.write("a line");
    QVERIFY(QDir().rename(outside.filePath(QStringLiteral("in")), fx.path(QStringLiteral("in"))));
    QTest::qWait(300);
    QCOMPARE(fx.queued(), QStringList{});
    fcntl(leaseFd, F_SETLEASE, F_UNLCK);
    close(leaseFd);
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("in/leased.jpg")}, 5000);
    // Looks at the held file thin out: about 7 in 2.5 s, not one per 50 ms.
    QTest::qWait(2200);
    QVERIFY2(heldLooks <= 9, qPrintable(QString::number(heldLooks)));
    QVERIFY(heldLooks >= 3);
    held.close();
    QTRY_VERIFY_WITH_TIMEOUT(fx.queued().contains(QStringLiteral("held.log.jpg")), 5000);
}

void TestFolderWatcher::toolArtefactsAndTheUnprintedFolderAreNoPhotos()
{
    Fixture fx;
    WatchOptions options;
    options.excludedFolder = fx.path(QStringLiteral("未打印"));
    QVERIFY(QDir(fx.dir.path()).mkdir(QStringLiteral("未打印")));
    QVERIFY(fx.start(options));
    QVERIFY(writeFile(fx.path(QStringLiteral("未打印/sheet.jpg"))));
    QVERIFY(writeFile(fx.path(QStringLiteral("._a.jpg"))));
    // rsync --delay-updates: written inside .~tmp~, then renamed into place.
    QVERIFY(QDir(fx.dir.path()).mkdir(QStringLiteral(".~tmp~")));
    QTest::qWait(50);
    QVERIFY(writeFile(fx.path(QStringLiteral(".~tmp~/b.jpg"))));
    QVERIFY(
        QFile::rename(fx.path(QStringLiteral(".~tmp~/b.jpg")), fx.path(QStringLiteral("b.jpg"))));
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QTest::qWait(200); // scans count on a later look
    QCOMPARE(fx.queued(), (QStringList{QStringLiteral("b.jpg"), QStringLiteral("marker.jpg")}));
}

void TestFolderWatcher::queuedPhotosFollowRenames()
{
    // Queued, then renamed (itself, or a folder above it) before the tick:
    // queued under the new name, once.
    Fixture fx;
    QVERIFY(fx.start());
    QVERIFY(QDir(fx.dir.path()).mkdir(QStringLiteral("incoming")));
    QTest::qWait(50);
    QVERIFY(writeFile(fx.path(QStringLiteral("incoming/a.jpg"))));
    QVERIFY(writeFile(fx.path(QStringLiteral("c.jpg"))));
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued().size(), 2, 5000);
    QVERIFY(QDir(fx.dir.path()).rename(QStringLiteral("incoming"), QStringLiteral("photos")));
    QVERIFY(QFile::rename(fx.path(QStringLiteral("c.jpg")), fx.path(QStringLiteral("d.jpg"))));
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.sortedQueued(), (QStringList{QStringLiteral("d.jpg"), QStringLiteral("marker.jpg"),
                                             QStringLiteral("photos/a.jpg")}));
}

void TestFolderWatcher::polledPhotosFollowRenames()
{
    // Polling sees a rename as one name going and another coming: a queued
    // photo is queued under its new name, once, and one already taken by the
    // tick is not queued again (it would print twice).
    Fixture fx;
    WatchOptions options;
    options.forcePolling = true;
    options.pollIntervalMs = 100;
    QVERIFY(QDir(fx.dir.path()).mkdir(QStringLiteral("incoming")));
    QVERIFY(fx.start(options));
    QVERIFY(writeFile(fx.path(QStringLiteral("incoming/a.jpg")), jpegBytes()));
    QVERIFY(writeFile(fx.path(QStringLiteral("c.jpg")), jpegBytes()));
    QTRY_COMPARE_WITH_TIMEOUT(
        fx.sortedQueued(), (QStringList{QStringLiteral("c.jpg"), QStringLiteral("incoming/a.jpg")}),
        5000);
    QVERIFY(QDir(fx.dir.path()).rename(QStringLiteral("incoming"), QStringLiteral("photos")));
    QVERIFY(QFile::rename(fx.path(QStringLiteral("c.jpg")), fx.path(QStringLiteral("d.jpg"))));
    // A marker is counted on the second scan after its write, so once it is
    // queued the scan that saw the renames is done.
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.sortedQueued(), (QStringList{QStringLiteral("d.jpg"), QStringLiteral("marker.jpg"),
                                             QStringLiteral("photos/a.jpg")}));

    fx.swapOut();
    QVERIFY(QFile::rename(fx.path(QStringLiteral("d.jpg")), fx.path(QStringLiteral("e.jpg"))));
    QVERIFY(QDir(fx.dir.path()).rename(QStringLiteral("photos"), QStringLiteral("done")));
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker2.jpg"));
    QTest::qWait(300); // a few scans more
    QCOMPARE(fx.queued(), QStringList{QStringLiteral("marker2.jpg")});
}

void TestFolderWatcher::renamedBeforeTheWatcherLooksIsQueued()
{
    // cp -r src hot/incoming && mv hot/incoming hot/photos: by the time the
    // watcher reads of the new folder, it is gone under that name.
    Fixture fx;
    std::atomic<bool> holding{false};
    std::atomic<bool> done{false};
    WatchOptions options;
    options.beforeWriterCheck = [&](const QByteArray& relative) {
        if (relative != "hold.jpg")
            return;
        holding = true;
        for (int i = 0; i < 500 && !done; ++i)
            QThread::msleep(10);
    };
    QVERIFY(fx.start(options));
    QFile hold(fx.path(QStringLiteral("hold.jpg")));
    QVERIFY(hold.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    hold.write("held open");
    QTRY_VERIFY_WITH_TIMEOUT(holding, 5000);
    // The watcher thread is held: all this comes before it reads one event.
    QVERIFY(QDir(fx.dir.path()).mkpath(QStringLiteral("incoming/sub")));
    QVERIFY(writeFile(fx.path(QStringLiteral("incoming/a.jpg")), jpegBytes()));
    QVERIFY(writeFile(fx.path(QStringLiteral("incoming/sub/b.jpg")), jpegBytes()));
    QVERIFY(QDir(fx.dir.path()).rename(QStringLiteral("incoming"), QStringLiteral("photos")));
    // And a photo renamed after its close: gone by the time the close is read.
    QVERIFY(writeFile(fx.path(QStringLiteral("c.jpg")), jpegBytes()));
    QVERIFY(QFile::rename(fx.path(QStringLiteral("c.jpg")), fx.path(QStringLiteral("d.jpg"))));
    done = true;
    hold.close();
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QTest::qWait(300); // scans count on a later look
    QCOMPARE(fx.sortedQueued(),
             (QStringList{QStringLiteral("d.jpg"), QStringLiteral("hold.jpg"),
                          QStringLiteral("marker.jpg"), QStringLiteral("photos/a.jpg"),
                          QStringLiteral("photos/sub/b.jpg")}));
}

void TestFolderWatcher::unreadablePhotoIsReportedAndCountedAgainWhenMadeReadable()
{
    if (geteuid() == 0)
        QSKIP("root may read any file: the run as an ordinary user checks this");
    Fixture fx;
    QVERIFY(fx.start());
    const QByteArray photo = QFile::encodeName(fx.path(QStringLiteral("closed.jpg")));
    // Write-only from its creation, as a writer under a strict umask leaves it.
    const int fd = open(photo.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0200);
    QVERIFY(fd >= 0);
    const QByteArray bytes = jpegBytes();
    QVERIFY(write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size());
    close(fd);
    // Handed to the tick after a while, which says it cannot be read.
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("closed.jpg")}, 10000);
    fx.swapOut();
    QVERIFY(chmod(photo.constData(), 0644) == 0);
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("closed.jpg")}, 5000);
    // A readable photo's permissions changing is no new photo.
    fx.swapOut();
    QVERIFY(chmod(photo.constData(), 0640) == 0);
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.queued(), QStringList{QStringLiteral("marker.jpg")});
}

void TestFolderWatcher::linksArePassedOnOnceToBeReported_data()
{
    QTest::addColumn<bool>("polling");
    QTest::newRow("inotify") << false;
    QTest::newRow("polling") << true;
}

// The tick refuses to follow them and says so; skipping them here would
// leave a studio's photo unprinted without a word.
void TestFolderWatcher::linksArePassedOnOnceToBeReported()
{
    QFETCH(bool, polling);
    Fixture fx;
    WatchOptions options;
    options.forcePolling = polling;
    options.pollIntervalMs = 100;
    QVERIFY(fx.start(options));
    QTemporaryDir elsewhere;
    QVERIFY(writeFile(elsewhere.filePath(QStringLiteral("secret.jpg")), jpegBytes()));
    QVERIFY(QFile::link(elsewhere.filePath(QStringLiteral("secret.jpg")),
                        fx.path(QStringLiteral("link.jpg"))));
    QTRY_COMPARE_WITH_TIMEOUT(fx.queued(), QStringList{QStringLiteral("link.jpg")}, 5000);
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QTest::qWait(polling ? 400 : 100);
    QCOMPARE(fx.sortedQueued(),
             (QStringList{QStringLiteral("link.jpg"), QStringLiteral("marker.jpg")}));
}

void TestFolderWatcher::foldersTooDeepAreReportedNotWatched_data()
{
    QTest::addColumn<bool>("polling");
    QTest::newRow("inotify") << false;
    QTest::newRow("polling") << true;
}

void TestFolderWatcher::foldersTooDeepAreReportedNotWatched()
{
    // A tree made deep on purpose must not take every watch of the account;
    // what is left out is said, not silently missed.
    QFETCH(bool, polling);
    Fixture fx;
    QStringList levels;
    for (int i = 1; i <= kMaxWatchDepth + 2; ++i)
        levels << QStringLiteral("d%1").arg(i);
    const QString deepestWatched = levels.mid(0, kMaxWatchDepth).join(u'/');
    const QString tooDeep = levels.mid(0, kMaxWatchDepth + 1).join(u'/');
    QVERIFY(QDir(fx.dir.path()).mkpath(levels.join(u'/')));
    WatchOptions options;
    options.forcePolling = polling;
    options.pollIntervalMs = 200;
    QVERIFY(fx.start(options));
    QVERIFY(writeFile(fx.path(tooDeep + QStringLiteral("/deep.jpg"))));
    const QString seen = deepestWatched + QStringLiteral("/seen.jpg");
    QVERIFY(writeFile(fx.path(seen)));
    QTRY_VERIFY_WITH_TIMEOUT(fx.queued().contains(seen), 10000);
    SETTLE_WITH_MARKER(fx, QStringLiteral("marker.jpg"));
    QCOMPARE(fx.sortedQueued(), (QStringList{seen, QStringLiteral("marker.jpg")}));

    const WatchGaps gaps = fx.watch->gaps();
    QCOMPARE(gaps.folders, 1);
    QCOMPARE(gaps.named.size(), 1);
    QVERIFY2(gaps.named[0].startsWith(tooDeep + QStringLiteral("（")), qPrintable(gaps.named[0]));
    QVERIFY(watchGapsNotice(gaps).contains(tooDeep));
}

void TestFolderWatcher::watchLimitTurnsToPolling()
{
    // Past its share of the account's watches the tree is polled: slower,
    // but no folder goes unseen.
    Fixture fx;
    for (int i = 1; i <= 6; ++i)
        QVERIFY(QDir(fx.dir.path()).mkdir(QStringLiteral("f%1").arg(i)));
    WatchOptions options;
    options.maxWatches = 4;
    options.pollIntervalMs = 200;
    QVERIFY(fx.start(options));
    QTRY_VERIFY_WITH_TIMEOUT(fx.watch->isPolling(), 5000);
    for (int i = 1; i <= 6; ++i)
        QVERIFY(writeFile(fx.path(QStringLiteral("f%1/p.jpg").arg(i)), jpegBytes()));
    QTRY_COMPARE_WITH_TIMEOUT(fx.sortedQueued().size(), 6, 10000);
    QCOMPARE(fx.watch->gaps().folders, 0);
}

QTEST_MAIN(TestFolderWatcher)
#include "tst_folderwatcher.moc"

#include "core/ProgramFolder.h"
#include "ledger/MonitorLock.h"
#include "testutils.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vellora;
using vellora::test::TempProgramFolder;

namespace {

mode_t modeOf(const QString& path)
{
    struct stat st
    {
    };
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

QString pidText()
{
    return QString::number(QCoreApplication::applicationPid());
}

} // namespace

class TestMonitorLock : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void secondMonitorIsRefused_data();
    void secondMonitorIsRefused();
    void sameFolderByAnotherPath();
    void lockFilesAreShared();
    void plantedFilesAreRefused();
    void crashReleases();
};

void TestMonitorLock::secondMonitorIsRefused_data()
{
    QTest::addColumn<bool>("sameProgram");
    QTest::addColumn<bool>("sameHot");
    QTest::addColumn<QString>("message"); // with %1 for the pid
    QTest::newRow("same ledger, other hot folder")
        << true << false
        << QStringLiteral("另一个 Vellora（进程 %1）正在使用此程序文件夹的打印记录");
    QTest::newRow("other ledger, same hot folder")
        << false << true << QStringLiteral("另一个 Vellora（进程 %1）正在监控此文件夹");
    QTest::newRow("both the same")
        << true << true
        << QStringLiteral("另一个 Vellora（进程 %1）正在使用此程序文件夹的打印记录");
}

// flock belongs to the open file description: a second acquire in this
// process conflicts as another process would.
void TestMonitorLock::secondMonitorIsRefused()
{
    QFETCH(bool, sameProgram);
    QFETCH(bool, sameHot);
    QFETCH(QString, message);
    TempProgramFolder programA, programB;
    QTemporaryDir hotA, hotB, locks;
    MonitorLock first;
    QVERIFY2(first.acquire(programA.path(), hotA.path(), locks.path()), qPrintable(first.error()));
    QVERIFY(first.isHeld());

    MonitorLock second;
    const QString program = sameProgram ? programA.path() : programB.path();
    const QString hot = sameHot ? hotA.path() : hotB.path();
    QVERIFY(!second.acquire(program, hot, locks.path()));
    QVERIFY(!second.isHeld());
    QCOMPARE(second.error(), message.arg(pidText()));
    QCOMPARE(second.holderPid(), qint64(QCoreApplication::applicationPid()));

    // Refused, it holds neither lock: a third monitor of the free pair may start.
    if (!sameProgram) {
        MonitorLock third;
        QTemporaryDir hotC;
        QVERIFY2(third.acquire(programB.path(), hotC.path(), locks.path()),
                 qPrintable(third.error()));
    }
    first.release();
    QVERIFY2(second.acquire(program, hot, locks.path()), qPrintable(second.error()));
}

void TestMonitorLock::sameFolderByAnotherPath()
{
    TempProgramFolder programA, programB;
    QTemporaryDir hot, locks, links;
    const QString alias = links.filePath(QStringLiteral("hot"));
    QVERIFY(QFile::link(hot.path(), alias));
    MonitorLock first, second;
    QVERIFY(first.acquire(programA.path(), hot.path(), locks.path()));
    QVERIFY(!second.acquire(programB.path(), alias, locks.path()));
    QCOMPARE(second.error(),
             QStringLiteral("另一个 Vellora（进程 %1）正在监控此文件夹").arg(pidText()));
}

void TestMonitorLock::lockFilesAreShared()
{
    TempProgramFolder program;
    QTemporaryDir hot, locks;
    const mode_t mask = ::umask(022);
    MonitorLock lock;
    const bool acquired = lock.acquire(program.path(), hot.path(), locks.path());
    ::umask(mask);
    QVERIFY2(acquired, qPrintable(lock.error()));
    const QString programLock =
        program.file(QString::fromUtf16(kLedgerFileName) + QStringLiteral(".lock"));
    QCOMPARE(modeOf(programLock) & 0777, mode_t(0660));
    const QStringList hotLocks = QDir(locks.path()).entryList(QDir::Files);
    QCOMPARE(hotLocks.size(), 1);
    struct stat st
    {
    };
    QVERIFY(::stat(QFile::encodeName(hot.path()).constData(), &st) == 0);
    QCOMPARE(hotLocks[0], QStringLiteral("vellora-%1-%2.lock").arg(st.st_dev).arg(st.st_ino));
    QCOMPARE(modeOf(locks.filePath(hotLocks[0])) & 0777, mode_t(0666));
    QFile pidFile(programLock);
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    QCOMPARE(pidFile.readAll().trimmed(), pidText().toLatin1());
}

void TestMonitorLock::plantedFilesAreRefused()
{
    // The program folder as installed, group-writable: a link there is anyone's.
    TempProgramFolder program;
    QVERIFY(QFile::setPermissions(program.path(), QFile::permissions(program.path()) |
                                                      QFile::WriteGroup | QFile::ExeGroup));
    QTemporaryDir hot, locks, victim;
    const QString target = victim.filePath(QStringLiteral("x"));
    const QString programLock =
        program.file(QString::fromUtf16(kLedgerFileName) + QStringLiteral(".lock"));
    QVERIFY(QFile::link(target, programLock));
    MonitorLock lock;
    QVERIFY(!lock.acquire(program.path(), hot.path(), locks.path()));
    QVERIFY(!QFileInfo::exists(target));
    QVERIFY(QFile::remove(programLock));

    // A FIFO under the hot folder's lock name: refused, without blocking.
    struct stat st
    {
    };
    QVERIFY(::stat(QFile::encodeName(hot.path()).constData(), &st) == 0);
    const QString fifo =
        locks.filePath(QStringLiteral("vellora-%1-%2.lock").arg(st.st_dev).arg(st.st_ino));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0666) == 0);
    QVERIFY(!lock.acquire(program.path(), hot.path(), locks.path()));
    QVERIFY(!lock.isHeld());
    QVERIFY2(lock.error().contains(QStringLiteral("不是普通文件")), qPrintable(lock.error()));
}

void TestMonitorLock::crashReleases()
{
    TempProgramFolder program;
    QTemporaryDir hot, locks;
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        MonitorLock lock;
        const char answer = lock.acquire(program.path(), hot.path(), locks.path()) ? 'y' : 'n';
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &answer, 1);
        ::pause();
        ::_exit(0);
    }
    // However the test leaves, the child does not outlive it.
    struct Reaper
    {
        pid_t pid;
        ~Reaper()
        {
            if (pid > 0 && ::kill(pid, SIGKILL) == 0)
                ::waitpid(pid, nullptr, 0);
        }
    } reaper{child};
    ::close(ready[1]);
    char answer = 0;
    QCOMPARE(::read(ready[0], &answer, 1), ssize_t(1));
    ::close(ready[0]);
    QCOMPARE(answer, 'y');
    MonitorLock lock;
    QVERIFY(!lock.acquire(program.path(), hot.path(), locks.path()));
    QCOMPARE(lock.holderPid(), qint64(child));

    // Killed, the holder leaves its lock to the kernel, which lets it go.
    QCOMPARE(::kill(child, SIGKILL), 0);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    reaper.pid = 0;
    QVERIFY2(lock.acquire(program.path(), hot.path(), locks.path()), qPrintable(lock.error()));
}

QTEST_GUILESS_MAIN(TestMonitorLock)
#include "tst_monitorlock.moc"

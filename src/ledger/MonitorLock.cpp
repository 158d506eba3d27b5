#include "ledger/MonitorLock.h"

#include "core/Messages.h"
#include "core/ProgramFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Opens a lock file in folderFd, never through a link and never blocking on
// a FIFO planted under its name. An existing file is opened without O_CREAT:
// in a sticky folder (/run/lock) the kernel refuses O_CREAT on another
// account's file when fs.protected_regular is on, and that file is exactly
// the one to share. A file only readable to us still locks: flock needs no
// write access.
FileDescriptor openLockFile(int folderFd, const QByteArray& name, mode_t mode, QString* error)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = openNoFollow(folderFd, name, O_RDWR | O_NONBLOCK);
        if (fd < 0 && errno == EACCES)
            fd = openNoFollow(folderFd, name, O_RDONLY | O_NONBLOCK);
        if (fd < 0 && errno == ENOENT) {
            fd = openNoFollow(folderFd, name, O_RDWR | O_CREAT | O_EXCL | O_NONBLOCK, mode);
            if (fd < 0 && errno == EEXIST)
                continue; // made meanwhile by the other process: open that one
            if (fd >= 0)
                ::fchmod(fd, mode);
        }
        if (fd < 0) {
            *error = QStringLiteral("无法打开锁文件“%1”：%2")
                         .arg(QFile::decodeName(name), systemError(errno));
            return {};
        }
        FileDescriptor file(fd);
        struct stat st
        {
        };
        if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            *error = QStringLiteral("锁文件“%1”不是普通文件").arg(QFile::decodeName(name));
            return {};
        }
        return file;
    }
    *error = QStringLiteral("无法打开锁文件“%1”").arg(QFile::decodeName(name));
    return {};
}

enum class Take { Taken, Held, Failed };

Take takeLock(int fd)
{
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return Take::Taken;
        if (errno == EWOULDBLOCK)
            return Take::Held;
        if (errno != EINTR)
            return Take::Failed;
    }
}

// The pid in a fixed-width field, written in one call: a reader sees the old
// pid or the new one, never half of each. Only into a file with no other
// name (a hard link planted in a shared folder could point at anything).
constexpr int kPidField = 20;

void writePid(int fd)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)
        return;
    const QByteArray text =
        QByteArray::number(QCoreApplication::applicationPid()).leftJustified(kPidField - 1) + '\n';
    [[maybe_unused]] const ssize_t written = ::pwrite(fd, text.constData(), size_t(text.size()), 0);
}

// The pid a lock file names, when that process lives; 0 otherwise.
qint64 readPid(int fd)
{
    char buffer[kPidField + 1] = {};
    const ssize_t n = ::pread(fd, buffer, kPidField, 0);
    if (n <= 0)
        return 0;
    bool ok = false;
    const qint64 pid = QByteArray(buffer, int(n)).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0 || pid > INT_MAX)
        return 0;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM ? pid : 0;
}

} // namespace

QString MonitorLock::lockFolderForHotFolders()
{
    const QByteArray shared = "/run/lock";
    struct stat st
    {
    };
    if (::stat(shared.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
        ::faccessat(AT_FDCWD, shared.constData(), W_OK | X_OK, AT_EACCESS) == 0)
        return QString::fromLatin1(shared);
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime;
    return QDir::tempPath();
}

bool MonitorLock::acquire(const QString& programFolder, const QString& hotFolder,
                          const QString& lockFolder)
{
    release();
    m_error.clear();
    m_holderPid = 0;

    // One writer of the program folder's ledger.
    const TrustedLocation where = resolveTrusted(
        joinPath(programFolder, QString::fromUtf16(kLedgerFileName) + QStringLiteral(".lock")));
    if (!where.ok()) {
        m_error = where.error;
        return false;
    }
    FileDescriptor program = openLockFile(where.folder.get(), where.name, 0660, &m_error);
    if (!program.isValid())
        return false;
    switch (takeLock(program.get())) {
    case Take::Taken:
        break;
    case Take::Held:
        m_holderPid = readPid(program.get());
        m_error = m_holderPid > 0 ? QString::fromUtf16(kLedgerLockedMessage).arg(m_holderPid)
                                  : QString::fromUtf16(kLedgerLockedNoPidMessage);
        return false;
    case Take::Failed:
        m_error = QStringLiteral("无法锁定“%1”：%2").arg(where.path(), systemError(errno));
        return false;
    }

    // One monitor of the hot folder, known by what it is, not by the path
    // that names it.
    struct stat hot
    {
    };
    if (::stat(QFile::encodeName(hotFolder).constData(), &hot) != 0 || !S_ISDIR(hot.st_mode)) {
        m_error = QStringLiteral("无法打开文件夹“%1”").arg(hotFolder);
        return false;
    }
    const QString folderPath = lockFolder.isEmpty() ? lockFolderForHotFolders() : lockFolder;
    FileDescriptor folder(
        ::open(QFile::encodeName(folderPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isValid()) {
        m_error = QStringLiteral("无法打开文件夹“%1”：%2").arg(folderPath, systemError(errno));
        return false;
    }
    // 0666 in a sticky folder: every account's monitor must be able to take
    // it and write its pid. What another account can do to it (hold it, write
    // a wrong pid) stops monitoring with a message naming the holder, and
    // nothing else: the file is never followed, truncated or trusted.
    const QByteArray name = "vellora-" + QByteArray::number(quint64(hot.st_dev)) + '-' +
                            QByteArray::number(quint64(hot.st_ino)) + ".lock";
    FileDescriptor hotLock = openLockFile(folder.get(), name, 0666, &m_error);
    if (!hotLock.isValid())
        return false;
    switch (takeLock(hotLock.get())) {
    case Take::Taken:
        break;
    case Take::Held:
        m_holderPid = readPid(hotLock.get());
        m_error = m_holderPid > 0 ? QString::fromUtf16(kHotFolderLockedMessage).arg(m_holderPid)
                                  : QString::fromUtf16(kHotFolderLockedNoPidMessage);
        return false;
    case Take::Failed:
        m_error = QStringLiteral("无法锁定“%1”：%2")
                      .arg(joinPath(folderPath, QFile::decodeName(name)), systemError(errno));
        return false;
    }
    writePid(program.get());
    writePid(hotLock.get());
    m_programLock = std::move(program);
    m_hotFolderLock = std::move(hotLock);
    return true;
}

void MonitorLock::release()
{
    // Closing the descriptions releases the locks; the files stay, since
    // removing a lock file races with a process that just opened it.
    m_hotFolderLock.reset();
    m_programLock.reset();
}

} // namespace vellora

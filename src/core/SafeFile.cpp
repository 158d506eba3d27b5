#include "core/SafeFile.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

FileDescriptor::~FileDescriptor()
{
    reset();
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

int FileDescriptor::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void FileDescriptor::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

QString TrustedLocation::path() const
{
    const QString name = QFile::decodeName(this->name);
    if (folderPath.endsWith(u'/'))
        return folderPath + name;
    return folderPath + u'/' + name;
}

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Splits path into its folder and last component; "." for a bare name.
void splitPath(const QByteArray& path, QByteArray& folder, QByteArray& name)
{
    QByteArray trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith('/'))
        trimmed.chop(1);
    const qsizetype slash = trimmed.lastIndexOf('/');
    if (slash < 0) {
        folder = ".";
        name = trimmed;
    } else {
        folder = slash == 0 ? QByteArray("/") : trimmed.left(slash);
        name = trimmed.mid(slash + 1);
    }
}

bool validName(const QByteArray& name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') &&
           !name.contains('\0');
}

int openFolder(const QByteArray& folder)
{
    return ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

} // namespace

bool isTrustedLink(int folderFd, const QByteArray& name)
{
    struct stat folder
    {
    };
    struct stat link
    {
    };
    if (::fstat(folderFd, &folder) != 0 ||
        ::fstatat(folderFd, name.constData(), &link, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return S_ISLNK(link.st_mode) && link.st_uid == 0 && folder.st_uid == 0 &&
           (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

TrustedLocation resolveTrusted(const QString& path)
{
    TrustedLocation where;
    QByteArray current = QFile::encodeName(path);
    for (int hops = 0;; ++hops) {
        QByteArray folder;
        QByteArray name;
        splitPath(current, folder, name);
        if (!validName(name)) {
            where.error = QStringLiteral("“%1”不是文件名").arg(path);
            return where;
        }
        FileDescriptor dir(openFolder(folder));
        if (!dir.isValid()) {
            where.error = QStringLiteral("无法打开文件夹“%1”：%2")
                              .arg(QFile::decodeName(folder), systemError(errno));
            return where;
        }
        struct stat st
        {
        };
        if (::fstatat(dir.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(st.st_mode)) {
            where.folder = std::move(dir);
            where.folderPath = QFile::decodeName(folder);
            where.name = name;
            return where;
        }
        if (hops >= 8 || !isTrustedLink(dir.get(), name)) {
            where.error = QStringLiteral("“%1”是一个链接，为安全起见不予跟随")
                              .arg(QFile::decodeName(current));
            return where;
        }
        QByteArray target(PATH_MAX, '\0');
        const ssize_t n = ::readlinkat(dir.get(), name.constData(), target.data(), target.size());
        if (n <= 0 || n >= target.size()) {
            where.error = QStringLiteral("无法读取链接“%1”").arg(QFile::decodeName(current));
            return where;
        }
        target.truncate(n);
        current =
            target.startsWith('/') ? target : (folder == "/" ? folder : folder + '/') + target;
    }
}

int openNoFollow(int folderFd, const QByteArray& name, int flags, mode_t mode)
{
    if (!validName(name)) {
        errno = EINVAL;
        return -1;
    }
    int fd;
    do
        fd = ::openat(folderFd, name.constData(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

ReadStatus readTrustedFile(const QString& path, QByteArray& content, QString* error,
                           qint64 maxBytes)
{
    content.clear();
    const auto refuse = [error](const QString& why) {
        if (error)
            *error = why;
        return ReadStatus::Refused;
    };
    TrustedLocation where = resolveTrusted(path);
    if (!where.ok())
        return refuse(where.error);
    FileDescriptor fd(openNoFollow(where.folder.get(), where.name, O_RDONLY | O_NONBLOCK));
    if (!fd.isValid()) {
        const int e = errno;
        if (e == ENOENT)
            return ReadStatus::Missing;
        if (e == ELOOP)
            return refuse(QStringLiteral("“%1”是一个链接，为安全起见不予读取").arg(path));
        return refuse(QStringLiteral("无法读取“%1”：%2").arg(path, systemError(e)));
    }
    struct stat st
    {
    };
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return refuse(QStringLiteral("“%1”不是普通文件").arg(path));
    if (st.st_size > maxBytes)
        return refuse(QStringLiteral("“%1”太大").arg(path));
    content.resize(qsizetype(st.st_size));
    qsizetype got = 0;
    while (got < content.size()) {
        const ssize_t n = ::read(fd.get(), content.data() + got, size_t(content.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int e = errno;
            content.clear();
            return refuse(QStringLiteral("无法读取“%1”：%2").arg(path, systemError(e)));
        }
        if (n == 0)
            break;
        got += n;
    }
    content.truncate(got);
    return ReadStatus::Read;
}

bool replaceTrustedFile(const QString& path, const QByteArray& content, mode_t newFileMode,
                        QString* error)
{
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    TrustedLocation where = resolveTrusted(path);
    if (!where.ok())
        return fail(where.error);
    const int dir = where.folder.get();
    mode_t mode = 0;
    bool existed = false;
    struct stat old
    {
    };
    if (::fstatat(dir, where.name.constData(), &old, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(old.st_mode))
            return fail(QStringLiteral("“%1”是一个链接，为安全起见不予写入").arg(path));
        if (!S_ISREG(old.st_mode))
            return fail(QStringLiteral("“%1”不是普通文件").arg(path));
        mode = old.st_mode & 07777;
        existed = true;
    }
    // A name of our own choosing in the real folder, made exclusively: a name
    // planted in advance, link or not, is never written through.
    QByteArray temporary;
    FileDescriptor out;
    for (int attempt = 0; attempt < 16 && !out.isValid(); ++attempt) {
        temporary = '.' + where.name + '.' +
                    QByteArray::number(QRandomGenerator::global()->generate64(), 36) + ".tmp";
        // A new file's mode is newFileMode less the umask, as the kernel
        // applies it; an old file's mode is set from it below.
        out.reset(openNoFollow(dir, temporary, O_WRONLY | O_CREAT | O_EXCL,
                               existed ? 0600 : newFileMode));
        if (!out.isValid() && errno != EEXIST)
            break;
    }
    if (!out.isValid())
        return fail(
            QStringLiteral("无法写入文件夹“%1”：%2").arg(where.folderPath, systemError(errno)));
    const auto abandon = [&](int e) {
        out.reset();
        ::unlinkat(dir, temporary.constData(), 0);
        return fail(QStringLiteral("无法写入“%1”：%2").arg(path, systemError(e)));
    };
    qsizetype done = 0;
    while (done < content.size()) {
        const ssize_t n =
            ::write(out.get(), content.constData() + done, size_t(content.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return abandon(n < 0 ? errno : ENOSPC);
        done += n;
    }
    // An old file's mode and owners stay as the administrator left them (an
    // ordinary account cannot give a file away: the folder's setgid group
    // stands then).
    if (existed && ::fchmod(out.get(), mode) != 0)
        return abandon(errno);
    if (existed && ::geteuid() == 0 && ::fchown(out.get(), old.st_uid, old.st_gid) != 0)
        return abandon(errno);
    if (::fsync(out.get()) != 0)
        return abandon(errno);
    out.reset();
    // rename never follows a link at the target: at worst a link planted since
    // the check is replaced, its target untouched.
    if (::renameat(dir, temporary.constData(), dir, where.name.constData()) != 0)
        return abandon(errno);
    ::fsync(dir);
    return true;
}

FileDescriptor openTrustedFolder(const QString& path, mode_t createMode, QString* error)
{
    TrustedLocation where = resolveTrusted(path);
    if (!where.ok()) {
        if (error)
            *error = where.error;
        return {};
    }
    if (::mkdirat(where.folder.get(), where.name.constData(), createMode) != 0 && errno != EEXIST) {
        if (error)
            *error = QStringLiteral("无法创建文件夹“%1”：%2").arg(path, systemError(errno));
        return {};
    }
    FileDescriptor fd(openNoFollow(where.folder.get(), where.name, O_RDONLY | O_DIRECTORY));
    if (!fd.isValid() && error) {
        const int e = errno;
        *error =
            e == ELOOP || e == ENOTDIR
                ? QStringLiteral("“%1”不是文件夹（可能是一个链接），为安全起见不予使用").arg(path)
                : QStringLiteral("无法打开文件夹“%1”：%2").arg(path, systemError(e));
    }
    return fd;
}

int openBeneath(int rootFd, const QByteArray& relative, int flags, int* error)
{
    const auto fail = [error](int e) {
        if (error)
            *error = e;
        errno = e;
        return -1;
    };
    const QList<QByteArray> parts = relative.split('/');
    for (const QByteArray& part : parts) {
        if (!validName(part))
            return fail(EINVAL);
    }
    FileDescriptor folder;
    int at = rootFd;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        FileDescriptor next(openNoFollow(at, parts[i], O_RDONLY | O_DIRECTORY));
        if (!next.isValid())
            return fail(errno);
        folder = std::move(next);
        at = folder.get();
    }
    const int fd = openNoFollow(at, parts.back(), flags);
    if (fd < 0)
        return fail(errno);
    return fd;
}

} // namespace vellora

#include "monitor/PhotoCheck.h"

#include "core/SafeFile.h"
#include "sheet/PictureFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

namespace {

quint32 bigEndian16(const uchar* p)
{
    return (quint32(p[0]) << 8) | p[1];
}

quint32 littleEndian32(const uchar* p)
{
    return quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

// Walks the marker segments from SOI; entropy-coded data after each SOS is
// skipped up to the next marker that is neither a stuffed byte nor a restart.
// Running out of bytes before EOI means the file is not whole yet; a broken
// structure is left to the decoder.
bool jpegLooksWhole(const uchar* b, qsizetype n)
{
    qsizetype pos = 2;
    for (;;) {
        while (pos < n && b[pos] == 0xFF && pos + 1 < n && b[pos + 1] == 0xFF)
            ++pos; // fill bytes
        if (pos + 1 >= n)
            return false;
        if (b[pos] != 0xFF)
            return true;
        const uchar marker = b[pos + 1];
        if (marker == 0xD9)
            return true;
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            pos += 2;
            continue;
        }
        if (pos + 4 > n)
            return false;
        const quint32 length = bigEndian16(b + pos + 2);
        if (length < 2)
            return true;
        pos += 2 + qsizetype(length);
        if (marker != 0xDA)
            continue;
        // Entropy-coded data: FF 00 is a data byte, FF D0…D7 a restart.
        for (;;) {
            const void* ff = pos < n ? std::memchr(b + pos, 0xFF, size_t(n - pos)) : nullptr;
            if (!ff)
                return false;
            pos = static_cast<const uchar*>(ff) - b;
            if (pos + 1 >= n)
                return false;
            const uchar next = b[pos + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
                pos += 2;
                continue;
            }
            if (next == 0xFF) {
                ++pos;
                continue;
            }
            break; // a marker: the outer loop reads it
        }
    }
}

bool bmpLooksWhole(const uchar* b, qsizetype n)
{
    if (n < 6)
        return false;
    const quint32 declared = littleEndian32(b + 2);
    if (declared >= 26)
        return quint64(n) >= declared;
    // Some writers leave the file size 0: reckon it from the info header.
    if (n < 38)
        return false;
    const quint64 offset = littleEndian32(b + 10);
    const qint32 width = qint32(littleEndian32(b + 18));
    const qint32 height = qint32(littleEndian32(b + 22));
    const quint32 bits = quint32(b[28]) | (quint32(b[29]) << 8);
    const quint32 compression = littleEndian32(b + 30);
    const quint64 imageSize = littleEndian32(b + 34);
    if (imageSize > 0)
        return quint64(n) >= offset + imageSize;
    if (compression != 0 || width <= 0 || bits == 0)
        return true;
    const quint64 rowBytes = (quint64(width) * bits + 31) / 32 * 4;
    const quint64 rows = height < 0 ? quint64(-qint64(height)) : quint64(height);
    return quint64(n) >= offset + rowBytes * rows;
}

} // namespace

bool looksWhole(const QByteArray& bytes)
{
    const auto* b = reinterpret_cast<const uchar*>(bytes.constData());
    const qsizetype n = bytes.size();
    if (n == 0)
        return false;
    if (b[0] == 0xFF)
        return n >= 2 && b[1] == 0xD8 ? jpegLooksWhole(b, n) : n >= 2;
    if (b[0] == 'B')
        return n >= 2 && b[1] == 'M' ? bmpLooksWhole(b, n) : n >= 2;
    return true;
}

PhotoStamp photoStampOf(const struct stat& st)
{
    return {quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size),
            qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

namespace {

// The first component of relative that is a link, for the message; empty
// when none is (any more).
QByteArray firstLink(int folderFd, const QByteArray& relative)
{
    qsizetype end = 0;
    while (end >= 0) {
        end = relative.indexOf('/', end + 1);
        const QByteArray prefix = end < 0 ? relative : relative.left(end);
        struct stat st
        {
        };
        if (fstatat(folderFd, prefix.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return {};
        if (S_ISLNK(st.st_mode))
            return prefix;
    }
    return {};
}

} // namespace

PhotoLook readPhotoBeneath(int folderFd, const QByteArray& relative, const PhotoStamp* expected,
                           QSize coverSize, QByteArray& bytes, QString* reason, PhotoStamp* seen)
{
    bytes.clear();
    const auto because = [reason](const QString& why) {
        if (reason)
            *reason = why;
    };
    int error = 0;
    const FileDescriptor fd(openBeneath(folderFd, relative, O_RDONLY | O_NONBLOCK, &error));
    if (!fd.isValid()) {
        const QByteArray link = error == ELOOP || error == ENOTDIR || error == EMLINK
                                    ? firstLink(folderFd, relative)
                                    : QByteArray();
        if (!link.isEmpty() || error == ELOOP) {
            because(link.isEmpty() || link == relative
                        ? QStringLiteral("是链接")
                        : QStringLiteral("%1 是链接").arg(QFile::decodeName(link)));
            return PhotoLook::Link;
        }
        if (error == ENOENT || error == ENOTDIR)
            return PhotoLook::Gone;
        if (error == EWOULDBLOCK)
            return PhotoLook::Busy;
        because(QString::fromLocal8Bit(std::strerror(error)));
        return PhotoLook::Unreadable;
    }
    struct stat st
    {
    };
    if (fstat(fd.get(), &st) != 0) {
        because(QString::fromLocal8Bit(std::strerror(errno)));
        return PhotoLook::Unreadable;
    }
    const PhotoStamp now = photoStampOf(st);
    if (seen)
        *seen = now;
    if (!S_ISREG(st.st_mode)) {
        because(QStringLiteral("不是普通文件"));
        return PhotoLook::Unreadable;
    }
    if (expected && !expected->sameFile(now)) {
        if (expected->device != now.device || expected->inode != now.inode)
            because(QStringLiteral("已换成另一个文件"));
        else
            because(
                QStringLiteral("现在 %1 字节，写完时 %2 字节").arg(now.size).arg(expected->size));
        return PhotoLook::Changed;
    }
    QString why;
    switch (readPictureFile(fd.get(), coverSize, bytes, &why)) {
    case PictureRead::Read:
        return looksWhole(bytes) ? PhotoLook::Ready : PhotoLook::NotWhole;
    case PictureRead::Empty:
        return PhotoLook::Empty;
    case PictureRead::Short:
        return PhotoLook::NotWhole;
    case PictureRead::Busy:
        return PhotoLook::Busy;
    case PictureRead::Refused:
        because(why);
        return PhotoLook::NotPicture;
    case PictureRead::NotRegular:
    case PictureRead::Failed:
        break;
    }
    because(why);
    return PhotoLook::Unreadable;
}

} // namespace vellora

#include "monitor/PhotoCheck.h"

#include "sheet/PictureHandle.h"

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

PhotoLook readPhotoFile(const QString& path, QByteArray& bytes, QString* reason)
{
    bytes.clear();
    const QByteArray name = QFile::encodeName(path);
    const int fd = open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return PhotoLook::Gone;
        if (error == EWOULDBLOCK)
            return PhotoLook::Busy;
        if (reason)
            *reason = QString::fromLocal8Bit(std::strerror(error));
        return PhotoLook::Unreadable;
    }
    struct stat st
    {
    };
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > PictureHandle::kMaxFileBytes) {
        close(fd);
        if (reason)
            *reason = QStringLiteral("not a photo file");
        return PhotoLook::Unreadable;
    }
    bytes.resize(qsizetype(st.st_size));
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            bytes.clear();
            if (error == EWOULDBLOCK)
                return PhotoLook::Busy;
            if (reason)
                *reason = QString::fromLocal8Bit(std::strerror(error));
            return PhotoLook::Unreadable;
        }
        if (n == 0)
            break;
        got += n;
    }
    close(fd);
    bytes.truncate(got);
    if (bytes.isEmpty())
        return PhotoLook::Empty;
    return looksWhole(bytes) ? PhotoLook::Ready : PhotoLook::NotWhole;
}

} // namespace vellora

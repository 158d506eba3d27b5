#include "sheet/PictureFile.h"

#include "core/FileNames.h"

#include "sheet/JpegDecoder.h"
#include "sheet/PictureHandle.h"

#include <QFile>
#include <QtEndian>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellora {

namespace {

// Beyond these a JPEG's headers are taken for no picture at all: real files
// hold a few dozen segments before their first scan.
constexpr int kMaxJpegSegments = 10000;
constexpr qint64 kMaxStrayBytes = 1 << 20;

enum class Header { Fits, Short, Refused };

class HeaderReader
{
public:
    HeaderReader(int fd, qint64 size) : m_fd(fd), m_size(size) {}

    // n bytes at offset, fewer at the end of the file; false when the system
    // refused the read.
    bool at(qint64 offset, qint64 n, QByteArray& out)
    {
        out.resize(qsizetype(std::max<qint64>(0, std::min(n, m_size - offset))));
        qsizetype got = 0;
        while (got < out.size()) {
            const ssize_t r = pread(m_fd, out.data() + got, size_t(out.size() - got), offset + got);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0) {
                m_error = errno;
                return false;
            }
            if (r == 0)
                break;
            got += r;
        }
        out.truncate(got);
        return true;
    }
    qint64 size() const { return m_size; }
    int error() const { return m_error; }

private:
    int m_fd;
    qint64 m_size;
    int m_error = 0;
};

bool isFrameMarker(uchar m)
{
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// Walks the segments up to the first scan, reading only their markers and
// the few the decoder's header step looks at (the frame, the scan, JFIF, the
// Adobe marker and the first EXIF block), and asks the decoder's own header
// step whether it would take the picture on.
Header checkJpeg(HeaderReader& file, QSize cover, QString& why)
{
    QByteArray header("\xFF\xD8", 2);
    bool keptExif = false, keptJfif = false, keptAdobe = false;
    qint64 pos = 2;
    qint64 stray = 0;
    QByteArray b;
    for (int segments = 0; segments < kMaxJpegSegments; ++segments) {
        if (!file.at(pos, 4, b))
            return Header::Refused;
        if (b.size() < 2)
            return Header::Short;
        const auto* p = reinterpret_cast<const uchar*>(b.constData());
        if (p[0] != 0xFF) {
            // Stray bytes between segments, which the decoder steps over.
            for (;;) {
                if (!file.at(pos, 4096, b))
                    return Header::Refused;
                if (b.isEmpty())
                    return Header::Short;
                const qsizetype ff = b.indexOf('\xFF');
                if (ff >= 0) {
                    pos += ff;
                    break;
                }
                pos += b.size();
                stray += b.size();
                if (stray > kMaxStrayBytes) {
                    why = QStringLiteral("前 %1 字节里没有 JPEG 图像头").arg(pos);
                    return Header::Refused;
                }
            }
            continue;
        }
        const uchar marker = p[1];
        if (marker == 0xFF) {
            ++pos; // fill byte
            continue;
        }
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            pos += 2;
            continue;
        }
        if (marker == 0xD8 || marker == 0xD9) {
            why = QStringLiteral("JPEG 里没有图像");
            return Header::Refused;
        }
        if (b.size() < 4)
            return Header::Short;
        const qint64 length = qFromBigEndian<quint16>(p + 2);
        if (length < 2) {
            why = QStringLiteral("JPEG 结构损坏");
            return Header::Refused;
        }
        if (pos + 2 + length > file.size())
            return Header::Short;
        bool keep = isFrameMarker(marker) || marker == 0xDA;
        if (marker == 0xE0 && !keptJfif)
            keep = keptJfif = true;
        if (marker == 0xEE && !keptAdobe)
            keep = keptAdobe = true;
        QByteArray content;
        if (marker == 0xE1 && !keptExif) {
            if (!file.at(pos + 4, std::min<qint64>(length - 2, 6), content))
                return Header::Refused;
            keep = keptExif = content.startsWith(QByteArray("Exif\0\0", 6));
        }
        if (keep) {
            if (!file.at(pos + 4, length - 2, content))
                return Header::Refused;
            header.append(b.left(4));
            header.append(content);
        }
        pos += 2 + length;
        if (marker != 0xDA)
            continue;
        if (!jpegHeaderFits(header, cover, PictureHandle::kMaxDecodedPixels)) {
            why = QStringLiteral("JPEG 图像头无法解码（过大或损坏）");
            return Header::Refused;
        }
        return Header::Fits;
    }
    why = QStringLiteral("图像前有超过 %1 个 JPEG 段").arg(kMaxJpegSegments);
    return Header::Refused;
}

Header checkDimensions(qint64 width, qint64 height, const char* kind, QString& why)
{
    if (width > 0 && height > 0 && width * height > PictureHandle::kMaxDecodedPixels) {
        why = QStringLiteral("%1 图像 %2 × %3 像素，超过 %4")
                  .arg(QLatin1String(kind))
                  .arg(width)
                  .arg(height)
                  .arg(PictureHandle::kMaxDecodedPixels);
        return Header::Refused;
    }
    return Header::Fits;
}

Header checkHeader(HeaderReader& file, QSize cover, QString& why)
{
    QByteArray head;
    if (!file.at(0, 26, head))
        return Header::Refused;
    const auto* p = reinterpret_cast<const uchar*>(head.constData());
    static const QByteArray kJpeg("\xFF\xD8", 2), kBmp("BM"), kPng("\x89PNG\r\n\x1a\n", 8);
    for (const QByteArray* magic : {&kJpeg, &kBmp, &kPng}) {
        if (head.size() < magic->size() && magic->startsWith(head))
            return Header::Short;
    }
    if (head.startsWith(kJpeg))
        return checkJpeg(file, cover, why);
    if (head.startsWith(kBmp)) {
        if (head.size() < 18)
            return Header::Short;
        const quint32 info = qFromLittleEndian<quint32>(p + 14);
        if (info == 12) // OS/2 1.x: 16-bit sizes
            return head.size() < 22
                       ? Header::Short
                       : checkDimensions(qFromLittleEndian<quint16>(p + 18),
                                         qFromLittleEndian<quint16>(p + 20), "BMP", why);
        if (head.size() < 26)
            return Header::Short;
        const qint64 height = qFromLittleEndian<qint32>(p + 22);
        return checkDimensions(qFromLittleEndian<qint32>(p + 18), height < 0 ? -height : height,
                               "BMP", why);
    }
    if (head.startsWith(kPng)) {
        if (head.size() < 24)
            return Header::Short;
        return checkDimensions(qFromBigEndian<quint32>(p + 16), qFromBigEndian<quint32>(p + 20),
                               "PNG", why);
    }
    why = QStringLiteral("不是 JPEG、BMP 或 PNG 图片");
    return Header::Refused;
}

} // namespace

int openPictureFile(const QString& path)
{
    // A name that is not UTF-8 (see decodeFileName) opens by its own bytes:
    // the whole path in one encoding, or a UTF-8 folder holding such a name.
    QList<QByteArray> names = fileNameCandidates(path);
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash >= 0) {
        const QByteArray folder = QFile::encodeName(path.left(slash + 1));
        for (const QByteArray& name : fileNameCandidates(path.mid(slash + 1))) {
            if (!names.contains(folder + name))
                names << folder + name;
        }
    }
    int fd = -1;
    for (const QByteArray& name : std::as_const(names)) {
        fd = open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0 || errno != ENOENT)
            break;
    }
    return fd;
}

PictureRead readPictureFile(int fd, QSize coverSize, QByteArray& bytes, QString* reason)
{
    bytes.clear();
    QString why;
    const auto fail = [&](PictureRead status, int error = 0) {
        if (reason)
            *reason = error != 0 ? QString::fromLocal8Bit(std::strerror(error)) : why;
        bytes.clear();
        return status;
    };
    struct stat st
    {
    };
    if (fstat(fd, &st) != 0)
        return fail(PictureRead::Failed, errno);
    if (!S_ISREG(st.st_mode)) {
        why = QStringLiteral("不是普通文件");
        return fail(PictureRead::NotRegular);
    }
    if (st.st_size == 0)
        return PictureRead::Empty;
    if (st.st_size > PictureHandle::kMaxFileBytes) {
        why = QStringLiteral("%1 字节，超过 %2")
                  .arg(qint64(st.st_size))
                  .arg(PictureHandle::kMaxFileBytes);
        return fail(PictureRead::Refused);
    }
    HeaderReader file(fd, st.st_size);
    switch (checkHeader(file, coverSize, why)) {
    case Header::Fits:
        break;
    case Header::Short:
        return PictureRead::Short;
    case Header::Refused:
        if (file.error() != 0)
            return fail(file.error() == EWOULDBLOCK ? PictureRead::Busy : PictureRead::Failed,
                        file.error());
        return fail(PictureRead::Refused);
    }
    bytes.resize(qsizetype(st.st_size));
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = pread(fd, bytes.data() + got, size_t(bytes.size() - got), got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            return fail(error == EWOULDBLOCK ? PictureRead::Busy : PictureRead::Failed, error);
        }
        if (n == 0)
            break;
        got += n;
    }
    // A file cut shorter since the look at its size: what is there.
    bytes.truncate(got);
    return bytes.isEmpty() ? PictureRead::Empty : PictureRead::Read;
}

} // namespace vellora

#include "sheet/PictureHandle.h"

#include "sheet/BmpDecoder.h"
#include "sheet/JpegDecoder.h"
#include "sheet/PictureFile.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <QtEndian>

#include <cstring>

#include <unistd.h>

namespace vellora {

namespace {

enum class Format { Unknown, Jpeg, Bmp, Png };

Format formatOf(const char* data, qint64 size)
{
    if (size >= 2 && uchar(data[0]) == 0xFF && uchar(data[1]) == 0xD8)
        return Format::Jpeg;
    if (size >= 2 && data[0] == 'B' && data[1] == 'M')
        return Format::Bmp;
    if (size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0)
        return Format::Png;
    return Format::Unknown;
}

// A 16-bit PNG with a transparent colour (tRNS) comes out of Qt washed out:
// it is refused. The chunks before the pixel data are walked, each length
// checked against the file.
bool pngAcceptable(const QByteArray& bytes)
{
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
    const qint64 size = bytes.size();
    constexpr qint64 kIhdrDepth = 8 + 8 + 8; // signature, chunk head, width and height
    if (size < kIhdrDepth + 1 || std::memcmp(p + 12, "IHDR", 4) != 0)
        return false;
    if (p[kIhdrDepth] != 16)
        return true;
    qint64 at = 8;
    while (at + 8 <= size) {
        const qint64 length = qFromBigEndian<quint32>(p + at);
        const uchar* type = p + at + 4;
        if (std::memcmp(type, "tRNS", 4) == 0)
            return false;
        if (std::memcmp(type, "IDAT", 4) == 0)
            return true;
        if (length > size - at - 12)
            return false;
        at += 12 + length;
    }
    return false;
}

QImage opaqueRgb32(const QImage& image)
{
    if (image.format() == QImage::Format_RGB32)
        return image;
    if (!image.hasAlphaChannel())
        return image.convertToFormat(QImage::Format_RGB32);
    // Transparent parts of a picture show the white of the paper.
    QImage flat(image.size(), QImage::Format_RGB32);
    if (flat.isNull())
        return {};
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.drawImage(0, 0, image);
    painter.end();
    return flat;
}

PictureHandle decodeWithQt(const QByteArray& bytes, const char* format)
{
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return {};
    QImageReader reader(&buffer, format);
    reader.setAutoTransform(false);
    reader.setAllocationLimit(int(PictureHandle::kMaxDecodedPixels * 4 / (1024 * 1024)) + 1);
    const QSize declared = reader.size();
    if (!declared.isValid() || declared.isEmpty() ||
        qint64(declared.width()) * declared.height() > PictureHandle::kMaxDecodedPixels)
        return {};
    QImage image;
    if (!reader.read(&image) || image.isNull())
        return {};
    image = opaqueRgb32(image);
    if (image.isNull())
        return {};
    return PictureHandle(std::move(image));
}

PictureHandle decode(const QByteArray& bytes, QSize targetSize)
{
    switch (formatOf(bytes.constData(), bytes.size())) {
    case Format::Jpeg: {
        JpegDecodeResult jpeg = decodeJpeg(bytes, targetSize, PictureHandle::kMaxDecodedPixels);
        if (jpeg.image.isNull())
            return {};
        return PictureHandle(std::move(jpeg.image), jpeg.fullSize);
    }
    case Format::Bmp: {
        QImage bmp = decodeBmp(bytes, PictureHandle::kMaxDecodedPixels);
        if (bmp.isNull())
            return {};
        return PictureHandle(std::move(bmp));
    }
    case Format::Png:
        if (!pngAcceptable(bytes))
            return {};
        return decodeWithQt(bytes, "png");
    case Format::Unknown:
        break;
    }
    return {};
}

} // namespace

PictureHandle PictureHandle::fromFile(const QString& path, QSize targetSize)
{
    if (path.isEmpty())
        return {};
    // A FIFO named like a photo would hold the caller for ever: the open does
    // not wait, and only a regular file is read.
    const int fd = openPictureFile(path);
    if (fd < 0)
        return {};
    QByteArray bytes;
    const PictureRead read = readPictureFile(fd, targetSize, bytes);
    close(fd);
    if (read != PictureRead::Read)
        return {};
    return decode(bytes, targetSize);
}

PictureHandle PictureHandle::fromBytes(const QByteArray& bytes, QSize targetSize)
{
    return decode(bytes, targetSize);
}

bool PictureHandle::isReadable(const QString& path)
{
    return !fromFile(path, QSize(1, 1)).isNull();
}

} // namespace vellora

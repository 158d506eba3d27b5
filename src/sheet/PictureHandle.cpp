#include "sheet/PictureHandle.h"

#include "sheet/JpegDecoder.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QtEndian>

#include <cstring>

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

// What a BMP header promises, checked before Qt sees the file: a declared size
// beyond the limit is refused without allocating, and an uncompressed file
// holding fewer pixel bytes than it declares is one still being written (Qt
// would hand back the missing rows uninitialised).
bool bmpHeaderAcceptable(const QByteArray& bytes)
{
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
    const qint64 size = bytes.size();
    if (size < 26)
        return false;
    const qint64 dataOffset = qFromLittleEndian<quint32>(p + 10);
    const quint32 headerSize = qFromLittleEndian<quint32>(p + 14);
    qint64 width = 0;
    qint64 height = 0;
    qint64 bitsPerPixel = 0;
    quint32 compression = 0;
    if (headerSize == 12) { // OS/2 core header
        width = qFromLittleEndian<quint16>(p + 18);
        height = qFromLittleEndian<quint16>(p + 20);
        bitsPerPixel = qFromLittleEndian<quint16>(p + 24);
    } else if (headerSize >= 40 && size >= 14 + 40) {
        width = qFromLittleEndian<qint32>(p + 18);
        height = qFromLittleEndian<qint32>(p + 22);
        bitsPerPixel = qFromLittleEndian<quint16>(p + 28);
        compression = qFromLittleEndian<quint32>(p + 30);
    } else {
        return false;
    }
    if (height < 0)
        height = -height; // top-down rows
    if (width <= 0 || height <= 0 || width * height > PictureHandle::kMaxDecodedPixels)
        return false;
    if (bitsPerPixel <= 0 || bitsPerPixel > 32 || dataOffset > size)
        return false;
    const bool rowsUncompressed = compression == 0 || compression == 3 || compression == 6;
    if (rowsUncompressed) {
        const qint64 rowBytes = (width * bitsPerPixel + 31) / 32 * 4;
        if (rowBytes * height > size - dataOffset)
            return false;
    }
    return true;
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
    case Format::Bmp:
        if (!bmpHeaderAcceptable(bytes))
            return {};
        return decodeWithQt(bytes, "bmp");
    case Format::Png:
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    if (size < 2 || size > kMaxFileBytes)
        return {};
    // Only a recognised picture is read whole.
    char head[8] = {};
    const qint64 got = file.peek(head, sizeof head);
    if (formatOf(head, got) == Format::Unknown)
        return {};
    const QByteArray bytes = file.read(size);
    if (bytes.size() != size)
        return {};
    return decode(bytes, targetSize);
}

PictureHandle PictureHandle::fromBytes(const QByteArray& bytes, QSize targetSize)
{
    return decode(bytes, targetSize);
}

} // namespace vellora

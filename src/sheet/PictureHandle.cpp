#include "sheet/PictureHandle.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

namespace vellora {

PictureHandle decodePicture(const QByteArray& bytes, QSize targetSize)
{
    PictureHandle picture;
    if (bytes.size() < 2)
        return picture;
    const bool jpeg = uchar(bytes[0]) == 0xFF && uchar(bytes[1]) == 0xD8;
    const bool bmp = bytes[0] == 'B' && bytes[1] == 'M';
    const bool png = bytes.startsWith("\x89PNG\r\n\x1a\n");
    if (!jpeg && !bmp && !png)
        return picture;
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, jpeg ? "jpeg" : bmp ? "bmp" : "png");
    reader.setAutoTransform(true);
    reader.setAllocationLimit(int(PictureHandle::kMaxDecodedPixels * 4 / (1024 * 1024)));
    QImage image = reader.read();
    if (image.isNull())
        return picture;
    Q_UNUSED(targetSize);
    picture.m_image = image.convertToFormat(QImage::Format_RGB32);
    picture.m_fullSize = picture.m_image.size();
    return picture;
}

PictureHandle PictureHandle::fromFile(const QString& path, QSize targetSize)
{
    if (path.isEmpty())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return decodePicture(file.readAll(), targetSize);
}

PictureHandle PictureHandle::fromBytes(const QByteArray& bytes, QSize targetSize)
{
    return decodePicture(bytes, targetSize);
}

} // namespace vellora

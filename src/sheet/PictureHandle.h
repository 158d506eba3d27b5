#pragma once

#include "core/DrawingSurface.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

namespace vellora {

// A decoded picture. The format is told by content only (FF D8 JPEG, "BM" BMP,
// PNG accepted too); a missing, empty, unknown or undecodable input, or one
// too large to decode within the allocation limit, is the null picture
// (0 × 0, draws nothing). JPEG photos come turned the way their EXIF
// orientation says. Loading is safe on any thread.
class PictureHandle
{
public:
    PictureHandle() = default;
    explicit PictureHandle(QImage image) : m_image(std::move(image)) {}
    // Pixels decoded smaller than the picture they stand for.
    PictureHandle(QImage image, QSize fullSize) : m_image(std::move(image)), m_fullSize(fullSize) {}

    // targetSize, when valid, is the size the picture must still cover when
    // drawn (scaled by the larger of the two ratios): a JPEG is then decoded
    // at the smallest DCT scale that does. The reported width and height are
    // always those of the full picture. fromFile reads only a regular file,
    // never waits on a FIFO or a device, and reads nothing past the headers
    // of a picture the decoder would refuse (see readPictureFile).
    static PictureHandle fromFile(const QString& path, QSize targetSize = QSize());
    static PictureHandle fromBytes(const QByteArray& bytes, QSize targetSize = QSize());
    // Whether the file loads as a picture, decoded at the smallest size that
    // tells.
    static bool isReadable(const QString& path);

    bool isNull() const { return m_image.isNull(); }
    int width() const
    {
        return isNull() ? 0 : m_fullSize.isValid() ? m_fullSize.width() : m_image.width();
    }
    int height() const
    {
        return isNull() ? 0 : m_fullSize.isValid() ? m_fullSize.height() : m_image.height();
    }
    // The decoded pixels (possibly smaller than width() × height()).
    const QImage& image() const { return m_image; }

    // Largest picture decoded, in pixels (after DCT scaling).
    static constexpr qint64 kMaxDecodedPixels = kMaxPicturePixels;
    // Larger files are not read at all.
    static constexpr qint64 kMaxFileBytes = 512LL * 1024 * 1024;

private:
    QImage m_image;
    QSize m_fullSize;
};

} // namespace vellora

#include "sheet/PictureDrawing.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace vellora {

namespace {

QImage scaledPicture(const QImage& source, int width, int height)
{
    if (source.width() == width && source.height() == height)
        return source;
    return source.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

// A stretch is scaled whole before it is cut, so its size is bounded like a
// decoded picture: Qt aborts in QImage::scaled on some sizes it cannot
// allocate instead of returning a null image.
bool stretchAllowed(int width, int height)
{
    return width > 0 && height > 0 && qint64(width) * height <= kMaxPicturePixels;
}

// The part of a picture stretched to target that lands on visible: the source
// rectangle (widened to whole pixels) and where its scaled copy goes.
struct VisiblePart
{
    QRect source;
    QRect target;
};

VisiblePart visiblePart(const QSize& picture, const QRect& target, const QRect& visible)
{
    const double fx = double(picture.width()) / target.width();
    const double fy = double(picture.height()) / target.height();
    const int sx0 = std::max(0, int(std::floor((visible.left() - target.left()) * fx)));
    const int sy0 = std::max(0, int(std::floor((visible.top() - target.top()) * fy)));
    const int sx1 =
        std::min(picture.width(), int(std::ceil((visible.right() + 1 - target.left()) * fx)));
    const int sy1 =
        std::min(picture.height(), int(std::ceil((visible.bottom() + 1 - target.top()) * fy)));
    const int tx0 = target.left() + int(std::lround(sx0 / fx));
    const int ty0 = target.top() + int(std::lround(sy0 / fy));
    const int tx1 = target.left() + int(std::lround(sx1 / fx));
    const int ty1 = target.top() + int(std::lround(sy1 / fy));
    return {QRect(sx0, sy0, sx1 - sx0, sy1 - sy0), QRect(tx0, ty0, tx1 - tx0, ty1 - ty0)};
}

} // namespace

void drawPicture(DrawingSurface& surface, const PictureHandle& picture, int x, int y, int width,
                 int height)
{
    if (picture.isNull() || surface.pixels().isNull() || width <= 0 || height <= 0)
        return;
    const QRect target(x, y, width, height);
    const QRect visible = target.intersected(surface.pixels().rect());
    if (visible.isEmpty())
        return;
    const QImage& source = picture.image();
    if (visible == target) {
        if (stretchAllowed(width, height))
            surface.drawImage(scaledPicture(source, width, height), x, y);
        return;
    }
    QPainter painter(&surface.pixels());
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setClipRect(visible);
    if (source.width() < width || source.height() < height) {
        // Enlarging: let the painter stretch and clip without a buffer of the
        // whole target (area averaging only matters when shrinking).
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, source);
        return;
    }
    // Only the part that lands on the surface is scaled: a photo cut to a cell
    // costs what is seen, and a very wide stretch never needs a huge buffer.
    const VisiblePart part = visiblePart(source.size(), target, visible);
    if (part.source.isEmpty() || part.target.isEmpty() ||
        !stretchAllowed(part.target.width(), part.target.height()))
        return;
    const QImage scaled =
        scaledPicture(source.copy(part.source), part.target.width(), part.target.height());
    painter.drawImage(part.target.topLeft(), scaled);
}

void drawPicture(DrawingSurface& surface, const PictureHandle& picture, int x, int y)
{
    drawPicture(surface, picture, x, y, picture.width(), picture.height());
}

void drawPictureKeyed(DrawingSurface& surface, const PictureHandle& picture, int x, int y,
                      int width, int height, QRgb key)
{
    if (picture.isNull() || surface.pixels().isNull() || !stretchAllowed(width, height))
        return;
    const QRect target = QRect(x, y, width, height).intersected(surface.pixels().rect());
    if (target.isEmpty())
        return;
    const QImage source = picture.image().convertToFormat(QImage::Format_RGB32);
    // The key is compared on source pixels; the mask is then scaled with the
    // picture, pixel for pixel, so it stays exact.
    QImage mask(source.size(), QImage::Format_Grayscale8);
    if (source.isNull() || mask.isNull())
        return; // too large to allocate: draws nothing rather than writing to null scan lines
    for (int sy = 0; sy < source.height(); ++sy) {
        const auto* in = reinterpret_cast<const QRgb*>(source.constScanLine(sy));
        uchar* out = mask.scanLine(sy);
        for (int sx = 0; sx < source.width(); ++sx)
            out[sx] = (in[sx] & 0xFFFFFF) == (key & 0xFFFFFF) ? 255 : 0;
    }
    const QImage colour = scaledPicture(source, width, height);
    const QImage scaledMask =
        mask.scaled(width, height, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (colour.isNull() || scaledMask.isNull())
        return;
    for (int ty = target.top(); ty <= target.bottom(); ++ty) {
        const auto* in = reinterpret_cast<const QRgb*>(colour.constScanLine(ty - y));
        const uchar* m = scaledMask.constScanLine(ty - y);
        auto* out = reinterpret_cast<QRgb*>(surface.pixels().scanLine(ty));
        for (int tx = target.left(); tx <= target.right(); ++tx) {
            if (m[tx - x] == 0)
                out[tx] = in[tx - x] | 0xFF000000;
        }
    }
}

} // namespace vellora

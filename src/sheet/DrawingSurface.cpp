#include "sheet/DrawingSurface.h"

#include <QFontMetrics>
#include <QPainter>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace vellora {

QFont cellFont()
{
    static const bool substituted = [] {
        const QStringList faces = {QStringLiteral("Noto Serif CJK SC"),
                                   QStringLiteral("Noto Serif CJK"),
                                   QStringLiteral("Noto Sans CJK SC")};
        QFont::insertSubstitutions(QStringLiteral("宋体"), faces);
        QFont::insertSubstitutions(QStringLiteral("SimSun"), faces);
        return true;
    }();
    Q_UNUSED(substituted);
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(24);
    font.setWeight(QFont::Normal);
    font.setStyleStrategy(QFont::NoAntialias);
    return font;
}

int textBaselineOffset(const QFont& font)
{
    // The character cell is the em box, as the CJK faces draw it: baseline
    // 0.88 em below its top. The font's own ascent (about 1.15 em in the CJK
    // serif) would put the baseline so low that descenders and the foot of a
    // CJK character fall out of the 30-pixel number strip. From here, digits,
    // Latin descenders and CJK characters of the 24-pixel font stay within
    // rows 0–27 of the cell.
    const int em = font.pixelSize() > 0 ? font.pixelSize() : QFontMetrics(font).height();
    return int(std::lround(em * 0.88));
}

DrawingSurface::DrawingSurface(QColor background) : m_background(background), m_font(cellFont()) {}

void DrawingSurface::resize(int width, int height)
{
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (QSize(width, height) == m_size)
        return;
    m_size = QSize(width, height);
    if (width == 0 || height == 0) {
        m_image = QImage();
        return;
    }
    // A paper size no sheet can have (a damaged template) gives a surface that
    // draws nothing instead of gigabytes of pixels.
    if (qint64(width) * height > PictureHandle::kMaxDecodedPixels) {
        m_image = QImage();
        m_size = QSize(0, 0);
        return;
    }
    QImage resized(width, height, QImage::Format_RGB32);
    if (resized.isNull()) { // allocation refused: keep a surface that draws nothing
        m_image = QImage();
        m_size = QSize(0, 0);
        return;
    }
    resized.fill(m_background);
    if (!m_image.isNull()) {
        QPainter painter(&resized);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(0, 0, m_image);
    }
    m_image = resized;
}

void DrawingSurface::clear()
{
    if (m_image.isNull())
        return;
    // A snapshot still shares the pixels: start a fresh buffer rather than
    // copying one that is about to be overwritten.
    if (!m_image.isDetached())
        m_image = QImage(m_image.size(), QImage::Format_RGB32);
    m_image.fill(m_background);
}

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
    return width > 0 && height > 0 && qint64(width) * height <= PictureHandle::kMaxDecodedPixels;
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

void DrawingSurface::drawPicture(const PictureHandle& picture, int x, int y, int width, int height)
{
    if (picture.isNull() || m_image.isNull() || width <= 0 || height <= 0)
        return;
    const QRect target(x, y, width, height);
    const QRect visible = target.intersected(m_image.rect());
    if (visible.isEmpty())
        return;
    const QImage& source = picture.image();
    if (visible == target) {
        if (stretchAllowed(width, height))
            drawImage(scaledPicture(source, width, height), x, y);
        return;
    }
    QPainter painter(&m_image);
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

void DrawingSurface::drawPicture(const PictureHandle& picture, int x, int y)
{
    drawPicture(picture, x, y, picture.width(), picture.height());
}

void DrawingSurface::drawPictureKeyed(const PictureHandle& picture, int x, int y, int width,
                                      int height, QRgb key)
{
    if (picture.isNull() || m_image.isNull() || !stretchAllowed(width, height))
        return;
    const QRect target = QRect(x, y, width, height).intersected(m_image.rect());
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
        auto* out = reinterpret_cast<QRgb*>(m_image.scanLine(ty));
        for (int tx = target.left(); tx <= target.right(); ++tx) {
            if (m[tx - x] == 0)
                out[tx] = in[tx - x] | 0xFF000000;
        }
    }
}

void DrawingSurface::drawImage(const QImage& image, int x, int y)
{
    stampImage(image, {QPoint(x, y)});
}

void DrawingSurface::stampImage(const QImage& image, const QList<QPoint>& positions)
{
    if (image.isNull() || m_image.isNull())
        return;
    QPainter painter;
    for (const QPoint& at : positions) {
        // In 64 bits: a cell placed near the end of the coordinate range
        // must not wrap around onto the surface.
        if (qint64(at.x()) + image.width() <= 0 || qint64(at.y()) + image.height() <= 0 ||
            at.x() >= m_image.width() || at.y() >= m_image.height())
            continue;
        if (!painter.isActive()) {
            painter.begin(&m_image);
            painter.setCompositionMode(QPainter::CompositionMode_Source);
        }
        painter.drawImage(at, image);
    }
}

void DrawingSurface::rectangle(int x1, int y1, int x2, int y2)
{
    if (m_image.isNull() || x2 <= x1 || y2 <= y1)
        return;
    const QColor pen = m_pen;
    QPainter painter(&m_image);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(QRect(x1, y1, x2 - x1, 1), pen);
    painter.fillRect(QRect(x1, y2 - 1, x2 - x1, 1), pen);
    painter.fillRect(QRect(x1, y1, 1, y2 - y1), pen);
    painter.fillRect(QRect(x2 - 1, y1, 1, y2 - y1), pen);
}

void DrawingSurface::writeText(int x, int y, const QString& text)
{
    if (m_image.isNull() || text.isEmpty())
        return;
    QPainter painter(&m_image);
    painter.setFont(m_font);
    painter.setPen(m_text);
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.drawText(QPoint(x, y + textBaselineOffset(m_font)), text);
}

QByteArray DrawingSurface::snapshot() const
{
    return imageToBmp(m_image);
}

QByteArray imageToBmp(const QImage& source)
{
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    const qint64 width = image.width();
    const qint64 height = image.height();
    const qint64 rowBytes = (width * 3 + 3) & ~qint64(3);
    const qint64 dataSize = rowBytes * height;
    QByteArray bmp(54 + dataSize, '\0');
    auto* p = reinterpret_cast<uchar*>(bmp.data());
    p[0] = 'B';
    p[1] = 'M';
    qToLittleEndian<quint32>(quint32(54 + dataSize), p + 2);
    qToLittleEndian<quint32>(54, p + 10);
    qToLittleEndian<quint32>(40, p + 14);
    qToLittleEndian<qint32>(qint32(width), p + 18);
    qToLittleEndian<qint32>(qint32(height), p + 22);
    qToLittleEndian<quint16>(1, p + 26);
    qToLittleEndian<quint16>(24, p + 28);
    // compression 0, image size, resolution and colour counts stay 0 except size
    qToLittleEndian<quint32>(quint32(dataSize), p + 34);
    for (qint64 row = 0; row < height; ++row) {
        const auto* in = reinterpret_cast<const QRgb*>(image.constScanLine(int(height - 1 - row)));
        uchar* out = p + 54 + row * rowBytes;
        for (qint64 col = 0; col < width; ++col) {
            out[0] = uchar(qBlue(in[col]));
            out[1] = uchar(qGreen(in[col]));
            out[2] = uchar(qRed(in[col]));
            out += 3;
        }
    }
    return bmp;
}

QRect shrinkToFit(int pw, int ph, int bw, int bh)
{
    if (pw <= 0 || ph <= 0)
        return {};
    const double t = std::min({1.0, double(bw) / pw, double(bh) / ph});
    const int dw = int(std::trunc(pw * t));
    const int dh = int(std::trunc(ph * t));
    return QRect((bw - dw) / 2, (bh - dh) / 2, dw, dh);
}

} // namespace vellora

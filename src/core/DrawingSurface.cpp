#include "core/DrawingSurface.h"

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
    if (qint64(width) * height > kMaxPicturePixels) {
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

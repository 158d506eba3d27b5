#pragma once

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>

namespace vellora {

// Largest raster drawn or decoded, in pixels: a surface or picture beyond it
// draws nothing rather than allocating gigabytes.
inline constexpr qint64 kMaxPicturePixels = 120'000'000;

// An off-screen raster of 24-bit colour pixels with the drawing attributes the
// layout relies on. Pixels stay until cleared or drawn over.
class DrawingSurface
{
public:
    explicit DrawingSurface(QColor background = Qt::white);

    int width() const { return m_size.width(); }
    int height() const { return m_size.height(); }
    QColor background() const { return m_background; }

    // Pixels inside both the old and the new size stay; new area is background.
    void resize(int width, int height);
    void clear();

    void setPenColour(const QColor& colour) { m_pen = colour; }
    void setTextColour(const QColor& colour) { m_text = colour; }
    QColor penColour() const { return m_pen; }
    QColor textColour() const { return m_text; }

    // A finished image at its own size, replacing pixels (stamping a cell).
    void drawImage(const QImage& image, int x, int y);
    // The same image at each position in turn (later ones over earlier ones);
    // positions off the surface cost nothing.
    void stampImage(const QImage& image, const QList<QPoint>& positions);

    // 1-pixel outline with the pen; right and bottom edges exclusive.
    void rectangle(int x1, int y1, int x2, int y2);
    // Text in the surface font and text colour, the top-left of the first
    // character cell at (x, y), no background painted.
    void writeText(int x, int y, const QString& text);

    // The surface as a complete 24-bit bottom-up BMP file.
    QByteArray snapshot() const;
    // The same pixels as an image (shares data until either side changes).
    QImage snapshotImage() const { return m_image; }
    const QImage& image() const { return m_image; }
    // The pixels themselves, for drawing code outside the surface.
    QImage& pixels() { return m_image; }

private:
    QImage m_image;
    // The size as last set. A surface with no pixels (w × 0) still knows its
    // width, so that growing it back to w × 30 gives w × 30.
    QSize m_size{0, 0};
    QColor m_background;
    QColor m_pen = Qt::black;
    QColor m_text = Qt::black;
    QFont m_font;
};

// The font behind "宋体": a CJK serif face, character height 24 pixels.
QFont cellFont();

// From the top of a character cell to the text's baseline, in pixels.
int textBaselineOffset(const QFont& font);

// BMP bytes of an image, laid out like a surface snapshot.
QByteArray imageToBmp(const QImage& image);

// Where a picture of pw × ph goes on a board's inner area bw × bh: shrunk to
// fit (never enlarged), centred with integer halving toward zero.
QRect shrinkToFit(int pw, int ph, int bw, int bh);

} // namespace vellora

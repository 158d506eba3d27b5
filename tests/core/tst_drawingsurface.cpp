#include "core/DrawingSurface.h"
#include "sheet/PictureDrawing.h"

#include "testutils.h"

#include <QFontMetrics>
#include <QTest>
#include <QtEndian>

using namespace vellora;

Q_DECLARE_METATYPE(vellora::PictureHandle)

namespace {

QImage solid(int width, int height, QColor colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// The bounding box of every pixel that differs from the colour.
QRect differingFrom(const QImage& image, QRgb colour)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) != (colour & 0xFFFFFF))
                box |= QRect(x, y, 1, 1);
    return box;
}

int countOf(const QImage& image, QRgb colour)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += (image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
    return n;
}

quint32 le32(const QByteArray& bytes, int at)
{
    return qFromLittleEndian<quint32>(bytes.constData() + at);
}
qint32 le32s(const QByteArray& bytes, int at)
{
    return qFromLittleEndian<qint32>(bytes.constData() + at);
}
quint16 le16(const QByteArray& bytes, int at)
{
    return qFromLittleEndian<quint16>(bytes.constData() + at);
}

} // namespace

class TestDrawingSurface : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ownSizeCoversExactly_data();
    void ownSizeCoversExactly();
    void drawingIsCutAtTheEdges();
    void partlyVisibleStretchMatchesWholeStretch();
    void absurdSizeGivesASurfaceThatDrawsNothing();
    void colourKeyIsExact();
    void resizeKeepsOverlapAndAddsBackground_data();
    void resizeKeepsOverlapAndAddsBackground();
    void clearFillsBackgroundWithoutTouchingSnapshots();
    void rectangleOutlinesExclusiveEdges();
    void snapshotIsBottomUpBmp_data();
    void snapshotIsBottomUpBmp();
    void shrinkToFit_data();
    void shrinkToFit();
    void writeTextStaysNearItsPoint();
};

void TestDrawingSurface::ownSizeCoversExactly_data()
{
    QTest::addColumn<PictureHandle>("picture");
    QTest::newRow("decoded at full size") << PictureHandle(solid(100, 50, Qt::blue));
    // A photo decoded at a DCT scale still covers its full size.
    QTest::newRow("decoded smaller") << PictureHandle(solid(25, 13, Qt::blue), QSize(100, 50));
}

void TestDrawingSurface::ownSizeCoversExactly()
{
    QFETCH(PictureHandle, picture);
    DrawingSurface surface;
    surface.resize(200, 120);
    drawPicture(surface, picture, 30, 40);
    const QImage image = surface.image();
    QCOMPARE(differingFrom(image, qRgb(255, 255, 255)), QRect(30, 40, 100, 50));
    QCOMPARE(countOf(image, qRgb(0, 0, 255)), 100 * 50);

    // Drawing nothing: the null picture.
    surface.clear();
    drawPicture(surface, PictureHandle(), 0, 0);
    drawPicture(surface, PictureHandle(), 0, 0, 50, 50);
    QCOMPARE(countOf(surface.image(), qRgb(255, 255, 255)), 200 * 120);
}

void TestDrawingSurface::drawingIsCutAtTheEdges()
{
    DrawingSurface surface;
    surface.resize(60, 40);
    drawPicture(surface, PictureHandle(solid(30, 30, Qt::red)), -10, 25, 100, 30);
    QCOMPARE(differingFrom(surface.image(), qRgb(255, 255, 255)), QRect(0, 25, 60, 15));
    drawPicture(surface, PictureHandle(solid(30, 30, Qt::green)), 70, 0); // wholly outside
    QCOMPARE(countOf(surface.image(), qRgb(0, 255, 0)), 0);

    // A keyed stretch too large to allocate draws nothing and does not crash.
    const QImage before = surface.image().copy();
    const PictureHandle logo(solid(2, 2, Qt::blue));
    drawPictureKeyed(surface, logo, 0, 0, 100000, 100000, qRgb(255, 255, 255));
    QCOMPARE(surface.image(), before);
    // A plain stretch only scales the part that lands on the surface, so a huge
    // one still draws exactly what is seen.
    drawPicture(surface, logo, -50000, -50000, 100000, 100000);
    QCOMPARE(countOf(surface.image(), qRgb(0, 0, 255)), 60 * 40);
}

void TestDrawingSurface::partlyVisibleStretchMatchesWholeStretch()
{
    // Shrinking a picture that is cut by the surface edge scales only the seen
    // part; apart from band edges (half a pixel of alignment) it must match
    // the whole stretch cut afterwards.
    const PictureHandle picture(test::markedImage(800, 600));
    DrawingSurface whole;
    whole.resize(700, 500);
    drawPicture(whole, picture, 0, 0, 600, 450);
    DrawingSurface cut;
    cut.resize(350, 450);
    drawPicture(cut, picture, -125, 0, 600, 450);
    const QImage expected = whole.image().copy(125, 0, 350, 450);
    int differing = 0;
    for (int y = 0; y < 450; ++y)
        for (int x = 0; x < 350; ++x)
            differing +=
                !test::colourNear(cut.image().pixel(x, y), QColor(expected.pixel(x, y)), 8);
    QVERIFY2(differing <= 2 * 450, qPrintable(QString::number(differing)));
    QVERIFY(test::colourNear(cut.image().pixel(100, 200), Qt::red, 8));
    QVERIFY(test::colourNear(cut.image().pixel(200, 200), Qt::blue, 8));
}

void TestDrawingSurface::absurdSizeGivesASurfaceThatDrawsNothing()
{
    DrawingSurface surface;
    surface.resize(200000, 200000);
    QCOMPARE(surface.width(), 0);
    surface.stampImage(solid(10, 10, Qt::red), {QPoint(0, 0)});
    drawPicture(surface, PictureHandle(solid(10, 10, Qt::red)), 0, 0, 50, 50);
    QVERIFY(surface.snapshotImage().isNull());
    // A usable size afterwards works as ever.
    surface.resize(30, 20);
    surface.stampImage(solid(10, 10, Qt::red), {QPoint(-5, -5), QPoint(25, 15), QPoint(90, 90)});
    QCOMPARE(countOf(surface.image(), qRgb(255, 0, 0)), 25 + 25);
}

void TestDrawingSurface::colourKeyIsExact()
{
    // Logo: white 255 on the left half, near-white 254 on the right, and a
    // black dot that must show wherever it lands.
    QImage logo(40, 20, QImage::Format_RGB32);
    logo.fill(qRgb(255, 255, 255));
    for (int y = 0; y < 20; ++y)
        for (int x = 20; x < 40; ++x)
            logo.setPixel(x, y, qRgb(254, 254, 254));
    logo.setPixel(5, 5, qRgb(0, 0, 0));

    DrawingSurface surface;
    surface.resize(80, 40);
    drawPicture(surface, PictureHandle(solid(80, 40, QColor(200, 0, 0))), 0, 0);

    // At its own size, pixel for pixel.
    drawPictureKeyed(surface, PictureHandle(logo), 0, 0, 40, 20, qRgb(255, 255, 255));
    QImage image = surface.image();
    QCOMPARE(image.pixel(2, 2) & 0xFFFFFF, qRgb(200, 0, 0) & 0xFFFFFF);
    QCOMPARE(image.pixel(19, 19) & 0xFFFFFF, qRgb(200, 0, 0) & 0xFFFFFF);
    QCOMPARE(image.pixel(20, 0) & 0xFFFFFF, qRgb(254, 254, 254) & 0xFFFFFF);
    QCOMPARE(image.pixel(39, 19) & 0xFFFFFF, qRgb(254, 254, 254) & 0xFFFFFF);
    QCOMPARE(image.pixel(5, 5) & 0xFFFFFF, 0u);
    QCOMPARE(image.pixel(50, 30) & 0xFFFFFF, qRgb(200, 0, 0) & 0xFFFFFF); // outside the logo

    // Stretched to 80 × 40: the key still decides, before scaling.
    drawPicture(surface, PictureHandle(solid(80, 40, QColor(0, 0, 200))), 0, 0);
    drawPictureKeyed(surface, PictureHandle(logo), 0, 0, 80, 40, qRgb(255, 255, 255));
    image = surface.image();
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 80; ++x) {
            const QRgb p = image.pixel(x, y) & 0xFFFFFF;
            if (x < 38 && !(x >= 8 && x <= 13 && y >= 8 && y <= 13))
                QVERIFY2(p == (qRgb(0, 0, 200) & 0xFFFFFF),
                         qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
            if (x >= 42)
                QVERIFY2(qRed(p) >= 250 && qBlue(p) >= 250,
                         qPrintable(QStringLiteral("%1,%2").arg(x).arg(y)));
        }
    }
    const QRgb dot = image.pixel(10, 10); // the dot, scaled up: neither keyed nor white
    QVERIFY2(qGray(dot) < 160 && qBlue(dot) < 170, qPrintable(QColor(dot).name()));
}

void TestDrawingSurface::resizeKeepsOverlapAndAddsBackground_data()
{
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::newRow("number strip added") << QSize(350, 450) << QSize(350, 480);
    QTest::newRow("wider and shorter") << QSize(100, 80) << QSize(130, 50);
}

void TestDrawingSurface::resizeKeepsOverlapAndAddsBackground()
{
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    DrawingSurface surface;
    surface.resize(from.width(), from.height());
    drawPicture(surface, PictureHandle(solid(from.width(), from.height(), QColor(10, 90, 30))), 0,
                0);
    surface.resize(to.width(), to.height());
    QCOMPARE(QSize(surface.width(), surface.height()), to);
    const QRect kept = QRect(QPoint(0, 0), from).intersected(QRect(QPoint(0, 0), to));
    const QImage image = surface.image();
    for (int y = 0; y < to.height(); ++y) {
        for (int x = 0; x < to.width(); ++x) {
            const QRgb expected = kept.contains(x, y) ? qRgb(10, 90, 30) : qRgb(255, 255, 255);
            if ((image.pixel(x, y) & 0xFFFFFF) != (expected & 0xFFFFFF))
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
        }
    }
}

void TestDrawingSurface::clearFillsBackgroundWithoutTouchingSnapshots()
{
    DrawingSurface board(QColor(151, 196, 240));
    board.resize(30, 20);
    QCOMPARE(countOf(board.image(), qRgb(151, 196, 240)), 600);
    drawPicture(board, PictureHandle(solid(30, 20, Qt::black)), 0, 0);
    const QImage taken = board.snapshotImage();
    const QByteArray bmp = board.snapshot();
    board.clear();
    QCOMPARE(countOf(board.image(), qRgb(151, 196, 240)), 600);
    QCOMPARE(countOf(taken, qRgb(0, 0, 0)), 600);
    QCOMPARE(countOf(PictureHandle::fromBytes(bmp).image(), qRgb(0, 0, 0)), 600);
}

void TestDrawingSurface::rectangleOutlinesExclusiveEdges()
{
    DrawingSurface surface;
    surface.resize(350, 480);
    surface.setPenColour(QColor(0, 128, 255));
    surface.rectangle(0, 0, 350, 480);
    const QImage image = surface.image();
    const QRgb pen = qRgb(0, 128, 255) & 0xFFFFFF;
    for (int y = 0; y < 480; ++y) {
        for (int x = 0; x < 350; ++x) {
            const bool edge = x == 0 || x == 349 || y == 0 || y == 479;
            const QRgb expected = edge ? pen : (qRgb(255, 255, 255) & 0xFFFFFF);
            if ((image.pixel(x, y) & 0xFFFFFF) != expected)
                QFAIL(qPrintable(QStringLiteral("pixel %1,%2").arg(x).arg(y)));
        }
    }

    // An inner rectangle leaves what is inside it alone (no brush).
    surface.clear();
    drawPicture(surface, PictureHandle(solid(350, 480, Qt::yellow)), 0, 0);
    surface.setPenColour(Qt::black);
    surface.rectangle(10, 20, 15, 23);
    QCOMPARE(differingFrom(surface.image(), qRgb(255, 255, 0)), QRect(10, 20, 5, 3));
    QCOMPARE(countOf(surface.image(), qRgb(0, 0, 0)), 5 + 5 + 1 + 1);
}

void TestDrawingSurface::snapshotIsBottomUpBmp_data()
{
    QTest::addColumn<QSize>("size");
    // 3 bytes per pixel: widths 1, 2, 3, 5 and 7 need 3, 2, 3, 1 and 3 padding bytes.
    QTest::newRow("1 x 1") << QSize(1, 1);
    QTest::newRow("2 x 3") << QSize(2, 3);
    QTest::newRow("3 x 2") << QSize(3, 2);
    QTest::newRow("4 x 4 (no padding)") << QSize(4, 4);
    QTest::newRow("5 x 7") << QSize(5, 7);
    QTest::newRow("77 x 31") << QSize(77, 31);
}

void TestDrawingSurface::snapshotIsBottomUpBmp()
{
    QFETCH(QSize, size);
    const int w = size.width();
    const int h = size.height();
    QImage pattern(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            pattern.setPixel(x, y,
                             qRgb((x * 37 + 11) & 255, (y * 59 + 3) & 255, (x * y + 200) & 255));
    DrawingSurface surface;
    surface.resize(w, h);
    drawPicture(surface, PictureHandle(pattern), 0, 0);
    const QByteArray bmp = surface.snapshot();

    const int rowBytes = (w * 3 + 3) / 4 * 4;
    QCOMPARE(bmp.size(), 54 + rowBytes * h);
    QCOMPARE(bmp.left(2), QByteArray("BM"));
    QCOMPARE(le32(bmp, 2), quint32(bmp.size()));
    QCOMPARE(le32(bmp, 6), 0u); // both reserved words
    QCOMPARE(le32(bmp, 10), 54u);
    QCOMPARE(le32(bmp, 14), 40u);
    QCOMPARE(le32s(bmp, 18), w);
    QCOMPARE(le32s(bmp, 22), h); // positive: rows bottom-up
    QCOMPARE(le16(bmp, 26), quint16(1));
    QCOMPARE(le16(bmp, 28), quint16(24));
    QCOMPARE(le32(bmp, 30), 0u); // no compression
    QCOMPARE(le32(bmp, 46), 0u); // no colour table
    for (int row = 0; row < h; ++row) {
        const int y = h - 1 - row;
        const auto* p = reinterpret_cast<const uchar*>(bmp.constData()) + 54 + row * rowBytes;
        for (int x = 0; x < w; ++x) {
            const QRgb expected = pattern.pixel(x, y);
            QCOMPARE(int(p[3 * x]), qBlue(expected));
            QCOMPARE(int(p[3 * x + 1]), qGreen(expected));
            QCOMPARE(int(p[3 * x + 2]), qRed(expected));
        }
        for (int pad = w * 3; pad < rowBytes; ++pad)
            QCOMPARE(int(p[pad]), 0);
    }

    // And it loads back as the same picture.
    const PictureHandle back = PictureHandle::fromBytes(bmp);
    QCOMPARE(QSize(back.width(), back.height()), size);
    QString why;
    QVERIFY2(test::fuzzyCompare(back.image(), pattern, 0, &why), qPrintable(why));
}

void TestDrawingSurface::shrinkToFit_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("board");
    QTest::addColumn<QRect>("drawn");
    QTest::newRow("wide, shrunk") << QSize(1600, 1000) << QSize(200, 200) << QRect(0, 37, 200, 125);
    QTest::newRow("small, own size centred")
        << QSize(150, 100) << QSize(200, 200) << QRect(25, 50, 150, 100);
    QTest::newRow("tall") << QSize(400, 1000) << QSize(200, 200) << QRect(60, 0, 80, 200);
    QTest::newRow("exact fit") << QSize(200, 200) << QSize(200, 200) << QRect(0, 0, 200, 200);
    QTest::newRow("odd excess halves toward zero")
        << QSize(197, 10) << QSize(200, 200) << QRect(1, 95, 197, 10);
    QTest::newRow("null picture") << QSize(0, 0) << QSize(200, 200) << QRect();
}

void TestDrawingSurface::shrinkToFit()
{
    QFETCH(QSize, picture);
    QFETCH(QSize, board);
    QFETCH(QRect, drawn);
    QCOMPARE(vellora::shrinkToFit(picture.width(), picture.height(), board.width(), board.height()),
             drawn);
}

void TestDrawingSurface::writeTextStaysNearItsPoint()
{
    const int cellHeight = QFontMetrics(cellFont()).height();
    QVERIFY(cellHeight >= 24 && cellHeight <= 40);

    DrawingSurface surface;
    surface.resize(300, 120);
    surface.setTextColour(QColor(200, 0, 0));
    surface.writeText(40, 50, QStringLiteral("8"));
    QImage image = surface.image();
    const QRect ink = differingFrom(image, qRgb(255, 255, 255));
    // One digit of a 24-pixel font: inside its character cell, below and to
    // the right of the point, and a glyph rather than a speck.
    QVERIFY2(QRect(40, 50, 24, cellHeight).contains(ink), qPrintable(QStringLiteral("%1,%2 %3x%4")
                                                                         .arg(ink.x())
                                                                         .arg(ink.y())
                                                                         .arg(ink.width())
                                                                         .arg(ink.height())));
    QVERIFY(ink.height() >= 12 && ink.width() >= 6);
    // In the text colour (or between it and the paper at an edge); no
    // background painted.
    for (int y = ink.top(); y <= ink.bottom(); ++y) {
        for (int x = ink.left(); x <= ink.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            QVERIFY(qRed(p) >= 200 && qGreen(p) == qBlue(p));
        }
    }
    QVERIFY(countOf(image, qRgb(200, 0, 0)) > 20);

    // Over a coloured ground the ground stays between the strokes.
    drawPicture(surface, PictureHandle(solid(300, 120, Qt::green)), 0, 0);
    surface.setTextColour(Qt::black);
    surface.writeText(100, 10, QStringLiteral("中"));
    image = surface.image();
    const QRect cjk = differingFrom(image, qRgb(0, 255, 0));
    QVERIFY(cjk.width() >= 16 && cjk.height() >= 16);
    QVERIFY(QRect(100, 10, 26, cellHeight).contains(cjk));
    QVERIFY(countOf(image, qRgb(0, 255, 0)) > 300 * 120 - 24 * 24);
    QVERIFY(countOf(image, qRgb(0, 0, 0)) > 30);
}

QTEST_MAIN(TestDrawingSurface)
#include "tst_drawingsurface.moc"

#include "sheet/JpegDecoder.h"
#include "sheet/PictureHandle.h"

#include "testutils.h"

#include <QBuffer>
#include <QFile>
#include <QImageWriter>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <jpeglib.h>

using namespace vellora;

namespace {

enum class JpegKind { Rgb, Gray, CmykAdobe, YcckAdobe, Progressive };

// A JPEG straight from libjpeg, so the colour space and scan structure are
// exactly what the case needs. CMYK kinds store the inks inverted, as the
// Adobe marker libjpeg writes for them announces: (R, G, B, 255) is the
// colour itself with no black ink.
QByteArray encodeJpeg(const QImage& source, JpegKind kind = JpegKind::Rgb, int quality = 95)
{
    const bool inks = kind == JpegKind::CmykAdobe || kind == JpegKind::YcckAdobe;
    const QImage image =
        source.convertToFormat(inks ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = JDIMENSION(image.width());
    cinfo.image_height = JDIMENSION(image.height());
    switch (kind) {
    case JpegKind::Gray:
        cinfo.input_components = 1;
        cinfo.in_color_space = JCS_GRAYSCALE;
        break;
    case JpegKind::CmykAdobe:
    case JpegKind::YcckAdobe:
        cinfo.input_components = 4;
        cinfo.in_color_space = JCS_CMYK;
        break;
    default:
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_RGB;
        break;
    }
    jpeg_set_defaults(&cinfo);
    if (kind == JpegKind::YcckAdobe)
        jpeg_set_colorspace(&cinfo, JCS_YCCK);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (kind == JpegKind::Progressive)
        jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(size_t(image.width()) * 4);
    while (cinfo.next_scanline < cinfo.image_height) {
        const auto* in =
            reinterpret_cast<const QRgb*>(image.constScanLine(int(cinfo.next_scanline)));
        unsigned char* p = row.data();
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = in[x];
            if (kind == JpegKind::Gray) {
                *p++ = uchar(qGray(c));
            } else {
                *p++ = uchar(qRed(c));
                *p++ = uchar(qGreen(c));
                *p++ = uchar(qBlue(c));
                if (cinfo.input_components == 4)
                    *p++ = uchar(qAlpha(c)); // the test's stand-in for inverted black ink
            }
        }
        JSAMPROW rowPointer = row.data();
        jpeg_write_scanlines(&cinfo, &rowPointer, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray bytes(reinterpret_cast<const char*>(out), qsizetype(outSize));
    std::free(out);
    return bytes;
}

QByteArray encodeWithQt(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.write(image);
    return bytes;
}

// Stored picture with a distinct colour in each quadrant, so every way of
// turning it can be told apart.
const QColor kTopLeft(220, 30, 30);
const QColor kTopRight(30, 200, 40);
const QColor kBottomLeft(30, 40, 210);
const QColor kBottomRight(230, 220, 40);

QImage quadrants(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(0, 0, width / 2, height / 2, kTopLeft);
    p.fillRect(width / 2, 0, width - width / 2, height / 2, kTopRight);
    p.fillRect(0, height / 2, width / 2, height - height / 2, kBottomLeft);
    p.fillRect(width / 2, height / 2, width - width / 2, height - height / 2, kBottomRight);
    return image;
}

// Centre colours of the four quadrants: top-left, top-right, bottom-left,
// bottom-right.
QList<QRgb> quadrantColours(const QImage& image)
{
    const int w = image.width();
    const int h = image.height();
    return {image.pixel(w / 4, h / 4), image.pixel(3 * w / 4, h / 4), image.pixel(w / 4, 3 * h / 4),
            image.pixel(3 * w / 4, 3 * h / 4)};
}

// An APP1 EXIF segment whose IFD0 holds a Make tag and then the orientation.
QByteArray exifSegment(int orientation, bool bigEndian, quint16 type = 3)
{
    QByteArray tiff(8 + 2 + 2 * 12 + 4, '\0');
    auto* t = reinterpret_cast<uchar*>(tiff.data());
    const auto put16 = [&](int at, quint16 v) {
        bigEndian ? qToBigEndian(v, t + at) : qToLittleEndian(v, t + at);
    };
    const auto put32 = [&](int at, quint32 v) {
        bigEndian ? qToBigEndian(v, t + at) : qToLittleEndian(v, t + at);
    };
    t[0] = t[1] = bigEndian ? 'M' : 'I';
    put16(2, 42);
    put32(4, 8);
    put16(8, 2);
    // 0x010F Make, ASCII, 4 bytes inline: "Cam\0"
    put16(10, 0x010F);
    put16(12, 2);
    put32(14, 4);
    std::memcpy(t + 18, "Cam", 4);
    put16(22, 0x0112);
    put16(24, type);
    put32(26, 1);
    if (type == 3)
        put16(30, quint16(orientation));
    else
        put32(30, quint32(orientation));
    QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray segment("\xFF\xE1", 2);
    const quint16 length = quint16(payload.size() + 2);
    segment.append(char(length >> 8)).append(char(length & 0xFF));
    return segment + payload;
}

QByteArray withSegmentAfterSoi(const QByteArray& jpeg, const QByteArray& segment)
{
    return jpeg.left(2) + segment + jpeg.mid(2);
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
    return path;
}

bool near(QRgb actual, const QColor& expected, int tolerance = 12)
{
    return test::colourNear(actual, expected, tolerance);
}

} // namespace

class TestPictureHandle : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void recognisedByContent_data();
    void recognisedByContent();
    void decodedPixels_data();
    void decodedPixels();
    void halfWrittenJpegIsNull_data();
    void halfWrittenJpegIsNull();
    void absurdSizesAreRefused_data();
    void absurdSizesAreRefused();
    void hugeFileIsJudgedByItsHeaders_data();
    void hugeFileIsJudgedByItsHeaders();
    void exifOrientation_data();
    void exifOrientation();
    void malformedExifMeansUpright_data();
    void malformedExifMeansUpright();
    void dctScaleCoversTarget_data();
    void dctScaleCoversTarget();
    void decodesOnSeveralThreads();
};

void TestPictureHandle::recognisedByContent_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size"); // 0 × 0: the null picture

    const QImage image = quadrants(40, 30);
    const QByteArray jpeg = encodeJpeg(image);
    const QByteArray bmp = encodeWithQt(image, "bmp");
    const QByteArray png = encodeWithQt(image, "png");
    QByteArray noise(4096, '\0');
    QRandomGenerator random(7);
    for (char& c : noise)
        c = char(random.bounded(256));
    noise[0] = 'x'; // not by chance a signature

    QTest::newRow("jpeg named .bmp") << "photo.bmp" << jpeg << QSize(40, 30);
    QTest::newRow("bmp named .jpg") << "photo.jpg" << bmp << QSize(40, 30);
    QTest::newRow("png named .jpg") << "photo.jpg" << png << QSize(40, 30);
    QTest::newRow("jpeg without extension") << "photo" << jpeg << QSize(40, 30);
    // Qt draws a 16-bit PNG with a transparent colour washed out.
    const QByteArray png16 = encodeWithQt(image.convertToFormat(QImage::Format_RGBX64), "png");
    QByteArray trns("\0\0\0\x06tRNS\0\x01\0\x02\0\x03", 14);
    quint32 crc = 0xFFFFFFFFu;
    for (qsizetype i = 4; i < trns.size(); ++i) {
        crc ^= uchar(trns[i]);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    trns.resize(18);
    qToBigEndian<quint32>(~crc, trns.data() + 14);
    QCOMPARE(int(png16[24]), 16);
    QTest::newRow("16-bit png") << "photo.png" << png16 << QSize(40, 30);
    QTest::newRow("16-bit png with a transparent colour")
        << "photo.png" << QByteArray(png16).insert(33, trns) << QSize();
    QTest::newRow("random bytes named .jpg") << "noise.jpg" << noise << QSize();
    QTest::newRow("text named .bmp") << "note.bmp" << QByteArray("hello, world\n") << QSize();
    QTest::newRow("empty file") << "empty.jpg" << QByteArray() << QSize();
    QTest::newRow("only a jpeg signature") << "soi.jpg" << QByteArray("\xFF\xD8", 2) << QSize();
    QTest::newRow("only a bmp signature") << "bm.bmp" << QByteArray("BM") << QSize();
    QTest::newRow("missing file") << QString() << QByteArray() << QSize();
}

void TestPictureHandle::recognisedByContent()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path =
        name.isEmpty() ? dir.filePath(QStringLiteral("absent.jpg")) : writeFile(dir, name, bytes);

    const PictureHandle fromFile = PictureHandle::fromFile(path);
    const PictureHandle fromBytes = PictureHandle::fromBytes(bytes);
    for (const PictureHandle* picture : {&fromFile, &fromBytes}) {
        if (size.isEmpty()) {
            QVERIFY(picture->isNull());
            QCOMPARE(picture->width(), 0);
            QCOMPARE(picture->height(), 0);
        } else {
            QVERIFY(!picture->isNull());
            QCOMPARE(QSize(picture->width(), picture->height()), size);
            QCOMPARE(picture->image().format(), QImage::Format_RGB32);
            const QList<QRgb> colours = quadrantColours(picture->image());
            QVERIFY(near(colours[0], kTopLeft));
            QVERIFY(near(colours[3], kBottomRight));
        }
    }
}

void TestPictureHandle::decodedPixels_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QColor>("left");
    QTest::addColumn<QColor>("right");

    QImage twoTone(48, 32, QImage::Format_RGB32);
    twoTone.fill(QColor(200, 40, 40));
    QPainter(&twoTone).fillRect(24, 0, 24, 32, QColor(60, 60, 60));
    QTest::newRow("grayscale jpeg")
        << encodeJpeg(twoTone, JpegKind::Gray)
        << QColor(qGray(qRgb(200, 40, 40)), qGray(qRgb(200, 40, 40)), qGray(qRgb(200, 40, 40)))
        << QColor(60, 60, 60);
    QTest::newRow("progressive jpeg")
        << encodeJpeg(twoTone, JpegKind::Progressive) << QColor(200, 40, 40) << QColor(60, 60, 60);

    // Inverted inks: red with no black, and a grey made of black ink alone.
    QImage inks(48, 32, QImage::Format_ARGB32);
    for (int y = 0; y < inks.height(); ++y)
        for (int x = 0; x < inks.width(); ++x)
            inks.setPixel(x, y, x < 24 ? qRgba(255, 0, 0, 255) : qRgba(255, 255, 255, 128));
    QTest::newRow("cmyk jpeg, adobe inverted")
        << encodeJpeg(inks, JpegKind::CmykAdobe) << QColor(255, 0, 0) << QColor(128, 128, 128);
    QTest::newRow("ycck jpeg, adobe inverted")
        << encodeJpeg(inks, JpegKind::YcckAdobe) << QColor(255, 0, 0) << QColor(128, 128, 128);

    QImage odd(13, 7, QImage::Format_RGB32);
    odd.fill(QColor(10, 120, 250));
    QPainter(&odd).fillRect(7, 0, 6, 7, QColor(250, 250, 0));
    QTest::newRow("bmp, odd width")
        << encodeWithQt(odd, "bmp") << QColor(10, 120, 250) << QColor(250, 250, 0);
    QImage transparent(20, 10, QImage::Format_ARGB32);
    transparent.fill(Qt::transparent);
    QPainter(&transparent).fillRect(10, 0, 10, 10, QColor(0, 0, 255));
    QTest::newRow("png, transparent part shows white")
        << encodeWithQt(transparent, "png") << QColor(255, 255, 255) << QColor(0, 0, 255);
}

void TestPictureHandle::decodedPixels()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QColor, left);
    QFETCH(QColor, right);
    const PictureHandle picture = PictureHandle::fromBytes(bytes);
    QVERIFY(!picture.isNull());
    const QImage& image = picture.image();
    QCOMPARE(image.format(), QImage::Format_RGB32);
    const QRgb l = image.pixel(2, image.height() / 2);
    const QRgb r = image.pixel(image.width() - 2, image.height() / 2);
    QVERIFY2(near(l, left, 8), qPrintable(QColor(l).name()));
    QVERIFY2(near(r, right, 8), qPrintable(QColor(r).name()));
}

void TestPictureHandle::halfWrittenJpegIsNull_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // Enough detail that the entropy-coded data is long and cuts land inside it.
    QImage busy(320, 240, QImage::Format_RGB32);
    QRandomGenerator random(11);
    for (int y = 0; y < busy.height(); ++y)
        for (int x = 0; x < busy.width(); ++x)
            busy.setPixel(x, y, qRgb(random.bounded(256), (x * 3) & 255, (y * 5) & 255));
    const QByteArray baseline = encodeJpeg(busy);
    const QByteArray progressive = encodeJpeg(busy, JpegKind::Progressive);
    QVERIFY(!PictureHandle::fromBytes(baseline).isNull());
    QVERIFY(!PictureHandle::fromBytes(progressive).isNull());

    QTest::newRow("baseline, first half") << baseline.left(baseline.size() / 2);
    QTest::newRow("baseline, all but the last 100 bytes") << baseline.left(baseline.size() - 100);
    QTest::newRow("baseline, end marker missing") << baseline.left(baseline.size() - 2);
    QTest::newRow("baseline, header only") << baseline.left(700);
    QTest::newRow("progressive, first scans only") << progressive.left(progressive.size() / 2);
    QTest::newRow("progressive, end marker missing") << progressive.left(progressive.size() - 2);
    const QByteArray png = encodeWithQt(busy, "png");
    QTest::newRow("png, first half") << png.left(png.size() / 2);
    QTest::newRow("png, end chunk missing") << png.left(png.size() - 12);
}

void TestPictureHandle::halfWrittenJpegIsNull()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(PictureHandle::fromBytes(bytes).isNull());
    QVERIFY(PictureHandle::fromBytes(bytes, QSize(40, 30)).isNull());
    QTemporaryDir dir;
    QVERIFY(PictureHandle::fromFile(writeFile(dir, QStringLiteral("cut.jpg"), bytes)).isNull());
}

void TestPictureHandle::absurdSizesAreRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");

    // A 54-byte header declaring 100000 × 100000 at 24 bits and a few pixels.
    QByteArray bmp(54 + 64, '\0');
    auto* b = reinterpret_cast<uchar*>(bmp.data());
    b[0] = 'B';
    b[1] = 'M';
    qToLittleEndian<quint32>(quint32(bmp.size()), b + 2);
    qToLittleEndian<quint32>(54, b + 10);
    qToLittleEndian<quint32>(40, b + 14);
    qToLittleEndian<qint32>(100000, b + 18);
    qToLittleEndian<qint32>(100000, b + 22);
    qToLittleEndian<quint16>(1, b + 26);
    qToLittleEndian<quint16>(24, b + 28);
    QTest::newRow("bmp 100000 x 100000") << bmp;
    QByteArray topDown = bmp;
    qToLittleEndian<qint32>(-100000, reinterpret_cast<uchar*>(topDown.data()) + 22);
    QTest::newRow("bmp 100000 x -100000 (top-down)") << topDown;

    // A BMP whose rows stop early: its writer had not finished.
    const QByteArray whole = encodeWithQt(quadrants(30, 20), "bmp");
    QVERIFY(!PictureHandle::fromBytes(whole).isNull());
    QTest::newRow("bmp missing its last rows") << whole.left(whole.size() - 90 * 3);

    // A JPEG whose frame header claims 65000 × 65000.
    QByteArray jpeg = encodeJpeg(quadrants(32, 32));
    const qsizetype sof = jpeg.indexOf(QByteArray("\xFF\xC0", 2));
    QVERIFY(sof > 0);
    qToBigEndian<quint16>(65000, reinterpret_cast<uchar*>(jpeg.data()) + sof + 5);
    qToBigEndian<quint16>(65000, reinterpret_cast<uchar*>(jpeg.data()) + sof + 7);
    QTest::newRow("jpeg 65000 x 65000") << jpeg;
}

void TestPictureHandle::absurdSizesAreRefused()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(PictureHandle::fromBytes(bytes).isNull());
    QVERIFY(PictureHandle::fromBytes(bytes, QSize(350, 450)).isNull());
}

namespace {

// Bytes this thread has read through read() and pread() so far.
qint64 bytesReadByThisThread()
{
    QFile io(QStringLiteral("/proc/thread-self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

} // namespace

void TestPictureHandle::hugeFileIsJudgedByItsHeaders_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QSize>("target");
    const auto claim = [](QByteArray jpeg, const char* sof, int side) {
        const qsizetype at = jpeg.indexOf(QByteArray(sof, 2));
        if (at > 0) {
            qToBigEndian<quint16>(quint16(side), reinterpret_cast<uchar*>(jpeg.data()) + at + 5);
            qToBigEndian<quint16>(quint16(side), reinterpret_cast<uchar*>(jpeg.data()) + at + 7);
        }
        return jpeg;
    };
    const QImage small = quadrants(32, 32);
    // Buffered whole by the decoder at any scale: 65000² coefficients.
    QTest::newRow("progressive jpeg 65000 x 65000, drawn small")
        << claim(encodeJpeg(small, JpegKind::Progressive), "\xFF\xC2", 65000) << QSize(350, 450);
    QTest::newRow("baseline jpeg 65000 x 65000, at full size")
        << claim(encodeJpeg(small), "\xFF\xC0", 65000) << QSize();
    QByteArray bmp(54, '\0');
    auto* b = reinterpret_cast<uchar*>(bmp.data());
    b[0] = 'B';
    b[1] = 'M';
    qToLittleEndian<quint32>(54, b + 10);
    qToLittleEndian<quint32>(40, b + 14);
    qToLittleEndian<qint32>(100000, b + 18);
    qToLittleEndian<qint32>(-100000, b + 22);
    qToLittleEndian<quint16>(1, b + 26);
    qToLittleEndian<quint16>(24, b + 28);
    QTest::newRow("bmp 100000 x 100000") << bmp << QSize(350, 450);
}

void TestPictureHandle::hugeFileIsJudgedByItsHeaders()
{
    // The header of a picture nobody can decode, then 500 MiB of nothing (a
    // sparse file, so the disk is not filled): refused from the header, the
    // rest never read.
    QFETCH(QByteArray, header);
    QFETCH(QSize, target);
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("big.jpg")));
    constexpr qint64 kSize = 500LL * 1024 * 1024;
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(header) == header.size());
    QVERIFY(file.resize(kSize));
    file.close();
    QVERIFY(PictureHandle::fromBytes(header, target).isNull());

    const qint64 before = bytesReadByThisThread();
    if (before < 0)
        QSKIP("no /proc/thread-self/io here");
    QVERIFY(PictureHandle::fromFile(file.fileName(), target).isNull());
    const qint64 read = bytesReadByThisThread() - before;
    QVERIFY2(read < 1024 * 1024, qPrintable(QStringLiteral("%1 bytes read").arg(read)));
}

void TestPictureHandle::exifOrientation_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<bool>("bigEndian");
    // Where each stored quadrant colour is seen: top-left, top-right,
    // bottom-left, bottom-right of the shown picture.
    QTest::addColumn<QList<QColor>>("seen");

    const QColor tl = kTopLeft, tr = kTopRight, bl = kBottomLeft, br = kBottomRight;
    QTest::newRow("1 upright") << 1 << false << QList<QColor>{tl, tr, bl, br};
    QTest::newRow("2 mirrored") << 2 << true << QList<QColor>{tr, tl, br, bl};
    QTest::newRow("3 upside down") << 3 << false << QList<QColor>{br, bl, tr, tl};
    QTest::newRow("4 flipped") << 4 << true << QList<QColor>{bl, br, tl, tr};
    QTest::newRow("5 transposed") << 5 << false << QList<QColor>{tl, bl, tr, br};
    QTest::newRow("6 turned clockwise") << 6 << true << QList<QColor>{bl, tl, br, tr};
    QTest::newRow("7 transversed") << 7 << false << QList<QColor>{br, tr, bl, tl};
    QTest::newRow("8 turned anticlockwise") << 8 << true << QList<QColor>{tr, br, tl, bl};
}

void TestPictureHandle::exifOrientation()
{
    QFETCH(int, orientation);
    QFETCH(bool, bigEndian);
    QFETCH(QList<QColor>, seen);

    // Stored 96 × 64 with a dark marker in the stored top-left corner.
    QImage stored = quadrants(96, 64);
    QPainter(&stored).fillRect(0, 0, 8, 8, Qt::black);
    const QByteArray jpeg =
        withSegmentAfterSoi(encodeJpeg(stored), exifSegment(orientation, bigEndian));

    const PictureHandle picture = PictureHandle::fromBytes(jpeg);
    QVERIFY(!picture.isNull());
    const bool turned = orientation >= 5;
    const QSize shown = turned ? QSize(64, 96) : QSize(96, 64);
    QCOMPARE(QSize(picture.width(), picture.height()), shown);
    QCOMPARE(picture.image().size(), shown);
    const QList<QRgb> colours = quadrantColours(picture.image());
    for (int i = 0; i < 4; ++i)
        QVERIFY2(
            near(colours[i], seen[i]),
            qPrintable(QStringLiteral("quadrant %1: %2").arg(i).arg(QColor(colours[i]).name())));

    // The marker lands in the corner the stored top-left was turned to.
    const QImage& image = picture.image();
    const int w = image.width() - 1;
    const int h = image.height() - 1;
    const QPoint corners[] = {{0, 0}, {w, 0}, {0, h}, {w, h}};
    const int markerCorner = int(seen.indexOf(kTopLeft));
    for (int i = 0; i < 4; ++i) {
        const QPoint inside = corners[i] + QPoint(i % 2 ? -2 : 2, i / 2 ? -2 : 2);
        const bool dark = qGray(image.pixel(inside)) < 40;
        QCOMPARE(dark, i == markerCorner);
    }

    // DCT scaling reads the orientation first: the target is in shown terms.
    const PictureHandle small = PictureHandle::fromBytes(jpeg, shown / 8);
    QCOMPARE(QSize(small.width(), small.height()), shown);
    QCOMPARE(small.image().size(), shown / 8);
}

void TestPictureHandle::malformedExifMeansUpright_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("expected");

    const QByteArray good = exifSegment(6, false).mid(4);
    QTest::newRow("well formed") << good << 6;
    QTest::newRow("long type") << exifSegment(8, true, 4).mid(4) << 8;
    QTest::newRow("value 0") << exifSegment(0, false).mid(4) << 1;
    QTest::newRow("value 9") << exifSegment(9, true).mid(4) << 1;
    QTest::newRow("value 0xFFFF") << exifSegment(0xFFFF, false).mid(4) << 1;
    QTest::newRow("wrong type") << exifSegment(6, false, 7).mid(4) << 1;
    QTest::newRow("not exif") << QByteArray("JFIF\0\0II*\0\x08\0\0\0", 14) << 1;
    QTest::newRow("unknown byte order") << QByteArray(good).replace(6, 2, "XX") << 1;
    QTest::newRow("bad magic") << QByteArray(good).replace(8, 1, "\x2B") << 1;
    QByteArray farIfd = good;
    qToLittleEndian<quint32>(0xFFFFFFF0u, reinterpret_cast<uchar*>(farIfd.data()) + 10);
    QTest::newRow("ifd offset past the end") << farIfd << 1;
    QByteArray manyEntries = good;
    qToLittleEndian<quint16>(0xFFFF, reinterpret_cast<uchar*>(manyEntries.data()) + 14);
    QTest::newRow("entry count past the end") << manyEntries.left(manyEntries.size() - 20) << 1;
    QTest::newRow("cut inside the tag") << good.left(good.size() - 10) << 1;
    QTest::newRow("header only") << good.left(10) << 1;
}

void TestPictureHandle::malformedExifMeansUpright()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, expected);
    QCOMPARE(vellora::exifOrientation(reinterpret_cast<const uchar*>(payload.constData()),
                                      payload.size()),
             expected);

    // The photo itself still decodes, turned or upright.
    QByteArray segment("\xFF\xE1", 2);
    const quint16 length = quint16(payload.size() + 2);
    segment.append(char(length >> 8)).append(char(length & 0xFF)).append(payload);
    const PictureHandle picture =
        PictureHandle::fromBytes(withSegmentAfterSoi(encodeJpeg(quadrants(40, 20)), segment));
    QVERIFY(!picture.isNull());
    QCOMPARE(picture.width(), expected >= 5 ? 20 : 40);
}

void TestPictureHandle::dctScaleCoversTarget_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QSize>("target");
    QTest::addColumn<QSize>("decoded");

    // An 800 × 600 photo: the decode must stay at least 800·s × 600·s with
    // s = max(tw / 800, th / 600), at scales of 1/8 … 8/8.
    QTest::newRow("no target") << 1 << QSize() << QSize(800, 600);
    QTest::newRow("empty target") << 1 << QSize(0, 450) << QSize(800, 600);
    QTest::newRow("exactly 1/8") << 1 << QSize(100, 75) << QSize(100, 75);
    QTest::newRow("one pixel more than 1/8") << 1 << QSize(101, 75) << QSize(200, 150);
    QTest::newRow("height rules") << 1 << QSize(10, 76) << QSize(200, 150);
    QTest::newRow("cell 350 x 450") << 1 << QSize(350, 450) << QSize(600, 450);
    QTest::newRow("cell 350 x 451") << 1 << QSize(350, 451) << QSize(700, 525);
    QTest::newRow("larger than the photo") << 1 << QSize(1600, 1200) << QSize(800, 600);
    // Turned a quarter: shown 600 × 800, stored 800 × 600.
    QTest::newRow("turned, 1/8") << 6 << QSize(75, 100) << QSize(75, 100);
    QTest::newRow("turned, width rules") << 6 << QSize(100, 75) << QSize(150, 200);
    QTest::newRow("turned, cell 350 x 450") << 8 << QSize(350, 450) << QSize(375, 500);
}

void TestPictureHandle::dctScaleCoversTarget()
{
    QFETCH(int, orientation);
    QFETCH(QSize, target);
    QFETCH(QSize, decoded);

    const QByteArray jpeg = withSegmentAfterSoi(encodeJpeg(quadrants(800, 600), JpegKind::Rgb, 90),
                                                exifSegment(orientation, false));
    const PictureHandle picture = PictureHandle::fromBytes(jpeg, target);
    QVERIFY(!picture.isNull());
    const QSize full = orientation >= 5 ? QSize(600, 800) : QSize(800, 600);
    QCOMPARE(QSize(picture.width(), picture.height()), full);
    QCOMPARE(picture.image().size(), decoded);

    // The smaller decode is the same picture.
    const QList<QRgb> colours = quadrantColours(picture.image());
    const QList<QRgb> reference = quadrantColours(PictureHandle::fromBytes(jpeg).image());
    for (int i = 0; i < 4; ++i)
        QVERIFY(near(colours[i], QColor(reference[i])));

    QTemporaryDir dir;
    const PictureHandle fromFile =
        PictureHandle::fromFile(writeFile(dir, QStringLiteral("p.jpg"), jpeg), target);
    QCOMPARE(fromFile.image().size(), decoded);
}

void TestPictureHandle::decodesOnSeveralThreads()
{
    const QByteArray jpeg =
        withSegmentAfterSoi(encodeJpeg(quadrants(640, 480)), exifSegment(6, true));
    const QByteArray broken = jpeg.left(jpeg.size() / 2);
    const QImage reference = PictureHandle::fromBytes(jpeg, QSize(120, 160)).image();
    QVERIFY(!reference.isNull());

    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                if (PictureHandle::fromBytes(jpeg, QSize(120, 160)).image() != reference)
                    ++mismatches[size_t(t)];
                if (!PictureHandle::fromBytes(broken).isNull())
                    ++mismatches[size_t(t)];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(mismatches, std::vector<int>(4, 0));
}

QTEST_MAIN(TestPictureHandle)
#include "tst_picturehandle.moc"

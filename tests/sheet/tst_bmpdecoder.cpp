#include "sheet/PictureHandle.h"

#include <QTest>
#include <QtEndian>

#include <limits>

using namespace vellora;

namespace {

// A BMP as a writer lays it out: file header, information header (masks in
// it from 52 bytes on, after it for a 40-byte one), palette, pixels.
struct Bmp
{
    int header = 40;
    qint32 width = 1;
    qint32 height = 1;
    int bpp = 24;
    quint32 compression = 0;
    QList<quint32> masks;
    QByteArray palette;      // raw entries
    quint32 colourSpace = 0; // version 4 and 5 headers
    QByteArray pixels;       // raw rows or RLE stream
};

void put32(QByteArray& b, int at, quint32 v)
{
    qToLittleEndian<quint32>(v, b.data() + at);
}

QByteArray file(const Bmp& b)
{
    QByteArray info(b.header, '\0');
    put32(info, 0, quint32(b.header));
    QByteArray after;
    if (b.header == 12) {
        qToLittleEndian<quint16>(quint16(b.width), info.data() + 4);
        qToLittleEndian<quint16>(quint16(b.height), info.data() + 6);
        qToLittleEndian<quint16>(1, info.data() + 8);
        qToLittleEndian<quint16>(quint16(b.bpp), info.data() + 10);
    } else {
        put32(info, 4, quint32(b.width));
        put32(info, 8, quint32(b.height));
        qToLittleEndian<quint16>(1, info.data() + 12);
        qToLittleEndian<quint16>(quint16(b.bpp), info.data() + 14);
        put32(info, 16, b.compression);
        for (int i = 0; i < b.masks.size(); ++i) {
            QByteArray& into = b.header >= 52 ? info : after;
            const int at = b.header >= 52 ? 40 + 4 * i : 4 * i;
            if (into.size() < at + 4)
                into.resize(at + 4);
            put32(into, at, b.masks[i]);
        }
        if (b.header >= 108)
            put32(info, 56, b.colourSpace);
    }
    QByteArray out = "BM" + QByteArray(12, '\0') + info + after + b.palette + b.pixels;
    put32(out, 2, quint32(out.size()));
    put32(out, 10, quint32(out.size() - b.pixels.size()));
    return out;
}

const QRgb A = qRgb(3, 2, 1);
const QRgb B = qRgb(50, 100, 200);
const QRgb W = qRgb(255, 255, 255);
const QRgb K = qRgb(0, 0, 0);
const QByteArray kPalette = QByteArray::fromHex("01020300 c8643200 ffffff00 00000000");

constexpr quint32 kRgb = 0, kRle8 = 1, kRle4 = 2, kFields = 3, kAlphaFields = 6;
constexpr quint32 kSrgb = 0x73524742;

Bmp rle8()
{
    // Bottom row: a run of three, end of line; a move of (1, 1) skips the
    // middle row; three literal indices (padded) on the top row; end.
    return {40,       4,     3,
            8,        kRle8, {},
            kPalette, 0,     QByteArray::fromHex("0301 0000 00020101 0003 020003 00 0001")};
}

} // namespace

class TestBmpDecoder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void exactPixels_data();
    void exactPixels();
    void refused_data();
    void refused();
};

void TestBmpDecoder::exactPixels_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("width");
    QTest::addColumn<QList<QRgb>>("pixels"); // top row first

    QTest::newRow("core, 1 bit, 3-byte entries") << file({12,
                                                          3,
                                                          2,
                                                          1,
                                                          kRgb,
                                                          {},
                                                          QByteArray::fromHex("010203 c86432"),
                                                          0,
                                                          QByteArray::fromHex("a0000000 40000000")})
                                                 << 3 << QList<QRgb>{A, B, A, B, A, B};
    QTest::newRow("info, 2 bit")
        << file({40, 5, 1, 2, kRgb, {}, kPalette, 0, QByteArray::fromHex("1b400000")}) << 5
        << QList<QRgb>{A, B, W, K, B};
    QTest::newRow("info, 4 bit, palette ends where the pixels begin")
        << file({40,
                 3,
                 2,
                 4,
                 kRgb,
                 {},
                 kPalette.left(8),
                 0,
                 QByteArray::fromHex("10100000 00100000")})
        << 3 << QList<QRgb>{A, A, B, B, A, B};
    QTest::newRow("info, 8 bit, top-down")
        << file({40, 2, -2, 8, kRgb, {}, kPalette, 0, QByteArray::fromHex("01020000 03000000")})
        << 2 << QList<QRgb>{B, W, K, A};
    QTest::newRow("os/2 2.x, 8 bit")
        << file({64, 1, 1, 8, kRgb, {}, kPalette, 0, QByteArray::fromHex("01000000")}) << 1
        << QList<QRgb>{B};
    QTest::newRow("info, 24 bit, rows padded")
        << file({40,
                 3,
                 2,
                 24,
                 kRgb,
                 {},
                 {},
                 0,
                 QByteArray::fromHex("0000ff 00ff00 ff0000 000000 010203 040506 070809 000000")})
        << 3 << QList<QRgb>{qRgb(3, 2, 1),   qRgb(6, 5, 4),   qRgb(9, 8, 7),
                            qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255)};
    // 16/31 of 255 is 131.6.
    QTest::newRow("info, 16 bit 5-5-5")
        << file({40, 2, 1, 16, kRgb, {}, {}, 0, QByteArray::fromHex("007c1000")}) << 2
        << QList<QRgb>{qRgb(255, 0, 0), qRgb(0, 0, 132)};
    // 1/63 of 255 is 4.05.
    QTest::newRow("v3, 16 bit 5-6-5") << file({56,
                                               2,
                                               1,
                                               16,
                                               kFields,
                                               {0xF800, 0x07E0, 0x001F, 0},
                                               {},
                                               0,
                                               QByteArray::fromHex("e0072000")})
                                      << 2 << QList<QRgb>{qRgb(0, 255, 0), qRgb(0, 4, 0)};
    // 512/1023 of 255 is 127.6; 1/1023 is 0.25.
    QTest::newRow("info, 32 bit 10-10-10") << file({40,
                                                    1,
                                                    1,
                                                    32,
                                                    kFields,
                                                    {0x3FF00000, 0x000FFC00, 0x000003FF},
                                                    {},
                                                    0,
                                                    QByteArray::fromHex("0100f83f")})
                                           << 1 << QList<QRgb>{qRgb(255, 128, 0)};
    // 1024/2047 of 255 is 127.56; a calibrated space without endpoints is sRGB.
    QTest::newRow("v4, 32 bit 11-11-10") << file({108,
                                                  1,
                                                  1,
                                                  32,
                                                  kFields,
                                                  {0xFFE00000, 0x001FFC00, 0x000003FF, 0},
                                                  {},
                                                  0,
                                                  QByteArray::fromHex("00fc1f80")})
                                         << 1 << QList<QRgb>{qRgb(128, 255, 0)};
    // Over white: 200·128/255 + 127 = 227.4, 100·128/255 + 127 = 177.2, 127.
    QTest::newRow("v5, 32 bit with alpha")
        << file({124,
                 3,
                 1,
                 32,
                 kFields,
                 {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000},
                 {},
                 kSrgb,
                 QByteArray::fromHex("0064c880 0000ff00 ff0000ff")})
        << 3 << QList<QRgb>{qRgb(227, 177, 127), W, qRgb(0, 0, 255)};
    QTest::newRow("info, 16 bit alpha fields 4-4-4-4") << file({40,
                                                                2,
                                                                1,
                                                                16,
                                                                kAlphaFields,
                                                                {0x0F00, 0x00F0, 0x000F, 0xF000},
                                                                {},
                                                                0,
                                                                QByteArray::fromHex("f0f0000f")})
                                                       << 2 << QList<QRgb>{qRgb(0, 255, 0), W};
    // Skipped pixels are white.
    QTest::newRow("rle8, delta and end of line")
        << file(rle8()) << 4 << QList<QRgb>{W, W, A, K, W, W, W, W, B, B, B, W};
    // A run of alternating indices 1, 2; five literal indices (padded).
    QTest::newRow("rle4, runs and literals")
        << file({40,
                 5,
                 2,
                 4,
                 kRle4,
                 {},
                 kPalette,
                 0,
                 QByteArray::fromHex("0512 0000 0005 301230 00 0001")})
        << 5 << QList<QRgb>{K, A, B, W, K, B, W, B, W, B};
}

void TestBmpDecoder::exactPixels()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, width);
    QFETCH(QList<QRgb>, pixels);
    const PictureHandle picture = PictureHandle::fromBytes(bytes);
    QVERIFY(!picture.isNull());
    QCOMPARE(picture.width(), width);
    QCOMPARE(picture.height(), int(pixels.size()) / width);
    QList<QRgb> got;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < width; ++x)
            got.append(picture.image().pixel(x, y));
    QCOMPARE(got, pixels);
    // A file cut short anywhere lacks pixels or its end code.
    for (int tenth = 1; tenth < 10; ++tenth)
        QVERIFY2(PictureHandle::fromBytes(bytes.left(bytes.size() * tenth / 10)).isNull(),
                 qPrintable(QStringLiteral("cut at %1/10").arg(tenth)));
}

void TestBmpDecoder::refused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    Bmp topDown = rle8();
    topDown.height = -3;
    QTest::newRow("top-down rle") << file(topDown);
    const Bmp v5{124, 1, 1, 24, kRgb, {}, {}, 0x4D424544, QByteArray::fromHex("00000000")};
    QTest::newRow("embedded profile") << file(v5);
    Bmp linked = v5;
    linked.colourSpace = 0x4C494E4B;
    QTest::newRow("linked profile") << file(linked);
    Bmp calibrated = v5;
    calibrated.colourSpace = 0;
    QByteArray withEndpoints = file(calibrated);
    withEndpoints[14 + 60] = 1;
    QTest::newRow("calibrated with endpoints") << withEndpoints;
    QTest::newRow("jpeg inside") << file({40, 1, 1, 0, 4, {}, {}, 0, QByteArray(64, '\xFF')});
    QTest::newRow("png inside") << file({40, 1, 1, 0, 5, {}, {}, 0, QByteArray(64, '\x89')});
    QTest::newRow("os/2 huffman") << file(
        {64, 8, 1, 1, 3, {}, kPalette.left(8), 0, QByteArray(16, '\0')});
    QTest::newRow("index beyond the palette")
        << file({40, 1, 1, 8, kRgb, {}, kPalette.left(8), 0, QByteArray::fromHex("02000000")});
    QTest::newRow("rle run past the row end")
        << file({40, 4, 1, 8, kRle8, {}, kPalette, 0, QByteArray::fromHex("0501 0001")});
    QTest::newRow("rle move past the row end")
        << file({40, 4, 1, 8, kRle8, {}, kPalette, 0, QByteArray::fromHex("00020500 0001")});
    QTest::newRow("rle past the top row")
        << file({40, 1, 1, 8, kRle8, {}, kPalette, 0, QByteArray::fromHex("0101 0000 0101 0001")});
    QTest::newRow("split mask") << file(
        {40, 1, 1, 16, kFields, {0xF00F, 0x00F0, 0x0F00}, {}, 0, QByteArray(4, '\0')});
    QTest::newRow("mask outside the pixel")
        << file({40, 1, 1, 16, kFields, {0x10000, 0x00F0, 0x0F00}, {}, 0, QByteArray(4, '\0')});
    QByteArray early = file({40, 1, 1, 24, kRgb, {}, {}, 0, QByteArray(4, '\0')});
    put32(early, 10, 50);
    QTest::newRow("pixels inside the header") << early;
    QTest::newRow("height of -2^31") << file(
        {40, 1, std::numeric_limits<qint32>::min(), 24, kRgb, {}, {}, 0, QByteArray(4, '\0')});
}

void TestBmpDecoder::refused()
{
    QFETCH(QByteArray, bytes);
    const PictureHandle picture = PictureHandle::fromBytes(bytes);
    QVERIFY(picture.isNull());
    QCOMPARE(picture.width(), 0);
}

QTEST_MAIN(TestBmpDecoder)
#include "tst_bmpdecoder.moc"

#include "sheet/PictureHandle.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QPainter>
#include <QTest>
#include <QtEndian>

#include <random>

using namespace vellora;

namespace {

// Deterministic across runs and platforms: the raw engine output only.
class Mutator
{
public:
    explicit Mutator(quint32 seed) : m_engine(seed) {}

    quint32 below(quint32 n) { return n == 0 ? 0 : quint32(m_engine() % n); }
    bool chance(quint32 percent) { return below(100) < percent; }

    QByteArray mutate(QByteArray bytes)
    {
        const int operations = 1 + int(below(3));
        for (int i = 0; i < operations && !bytes.isEmpty(); ++i) {
            switch (below(7)) {
            case 0:
                flipBits(bytes);
                break;
            case 1:
                bytes.truncate(below(quint32(bytes.size())));
                break;
            case 2:
                insertBytes(bytes);
                break;
            case 3: {
                const qsizetype at = below(quint32(bytes.size()));
                bytes.remove(at, 1 + below(32));
                break;
            }
            case 4:
            case 5:
                patchDimensions(bytes);
                break;
            default:
                overwriteWithMarkers(bytes);
                break;
            }
        }
        return bytes;
    }

private:
    void flipBits(QByteArray& bytes)
    {
        const int flips = 1 + int(below(8));
        for (int i = 0; i < flips; ++i)
            bytes[below(quint32(bytes.size()))] ^= char(1u << below(8));
    }

    void insertBytes(QByteArray& bytes)
    {
        QByteArray inserted(1 + below(24), '\0');
        for (char& c : inserted)
            c = char(below(256));
        bytes.insert(below(quint32(bytes.size()) + 1), inserted);
    }

    void overwriteWithMarkers(QByteArray& bytes)
    {
        static const char interesting[] = {'\xFF', '\x00', '\xD8', '\xD9', '\xDA', '\xC0',
                                           '\xC2', '\xC4', '\xDB', '\xE1', '\x7F', '\x80'};
        const int n = 1 + int(below(4));
        for (int i = 0; i < n; ++i)
            bytes[below(quint32(bytes.size()))] = interesting[below(sizeof interesting)];
    }

    quint32 interestingDimension()
    {
        static const quint32 values[] = {
            0,     1,     2,     7,     8,     9,     255,    256,        4095,       16384,
            32767, 32768, 65499, 65500, 65535, 65536, 100000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
        return chance(70) ? values[below(std::size(values))] : quint32(m_engine());
    }

    // The size fields a decoder allocates from: JPEG frame headers, the BMP
    // information header, the PNG IHDR (its CRC made right again so the
    // size, not the checksum, is what gets tested).
    void patchDimensions(QByteArray& bytes)
    {
        auto* p = reinterpret_cast<uchar*>(bytes.data());
        const qsizetype n = bytes.size();
        if (n >= 2 && p[0] == 0xFF && p[1] == 0xD8) {
            for (qsizetype i = 2; i + 9 < n; ++i) {
                if (p[i] == 0xFF && (p[i + 1] == 0xC0 || p[i + 1] == 0xC1 || p[i + 1] == 0xC2)) {
                    const int field = chance(50) ? 5 : 7; // height or width
                    qToBigEndian<quint16>(quint16(interestingDimension()), p + i + field);
                    if (chance(20)) // component count or sampling factors
                        p[i + 9] = uchar(below(256));
                    return;
                }
            }
        } else if (n >= 30 && p[0] == 'B' && p[1] == 'M') {
            const qsizetype field = std::array<qsizetype, 5>{18, 22, 28, 30, 10}[below(5)];
            if (field == 28)
                qToLittleEndian<quint16>(quint16(below(65)), p + field); // bits per pixel
            else
                qToLittleEndian<quint32>(interestingDimension(), p + field);
        } else if (n >= 33 && std::memcmp(p, "\x89PNG", 4) == 0) {
            qToBigEndian<quint32>(interestingDimension(), p + (chance(50) ? 16 : 20));
            qToBigEndian<quint32>(crc32(p + 12, 17), p + 29);
        }
    }

    static quint32 crc32(const uchar* data, qsizetype size)
    {
        quint32 crc = 0xFFFFFFFFu;
        for (qsizetype i = 0; i < size; ++i) {
            crc ^= data[i];
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        return ~crc;
    }

    std::mt19937 m_engine;
};

QImage scene(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(image.rect(), QColor(240, 230, 210));
    p.setBrush(QColor(40, 90, 170));
    p.drawEllipse(QRect(width / 4, height / 8, width / 2, height / 2));
    p.fillRect(0, height * 3 / 4, width, height / 4, QColor(120, 30, 30));
    return image;
}

QByteArray encode(const QImage& image, const char* format, int quality = 80,
                  bool progressive = false)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    writer.setProgressiveScanWrite(progressive);
    writer.write(image);
    return bytes;
}

// A little-endian EXIF segment turning the photo a quarter.
QByteArray withExif(const QByteArray& jpeg)
{
    const QByteArray payload(
        "Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0",
        6 + 8 + 2 + 12 + 4);
    QByteArray segment("\xFF\xE1", 2);
    segment.append(char(0)).append(char(payload.size() + 2)).append(payload);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

} // namespace

class TestDecoderFuzz : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // Thousands of broken files: the decoders' complaints are expected.
        QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio*=false"));
    }
    void seedsDecode();
    void mutantsNeverCrash();

private:
    QList<QByteArray> seeds() const;
};

QList<QByteArray> TestDecoderFuzz::seeds() const
{
    const QImage colour = scene(48, 40);
    QImage gray = scene(33, 17).convertToFormat(QImage::Format_Grayscale8);
    QImage indexed = scene(21, 13).convertToFormat(QImage::Format_Indexed8);
    return {
        encode(colour, "jpeg"),
        withExif(encode(scene(40, 24), "jpeg", 60)),
        encode(colour, "jpeg", 90, true),
        encode(gray, "jpeg"),
        encode(scene(19, 11), "bmp"),
        encode(indexed, "bmp"),
        encode(colour, "png"),
        encode(gray, "png"),
        // The BMP variants a general writer does not make: RLE8 and RLE4 with
        // every escape, and 32-bit bit fields with alpha in a version 5 header.
        QByteArray::fromHex("424d5c0000000000000046000000280000000600000004000000010008000100000000"
                            "0000000000000000000000000000000000000001020300c8643200ffffff0000000000"
                            "03010000000201010003020003000202000004010001"),
        QByteArray::fromHex("424d560000000000000046000000280000000700000003000000010004000200000000"
                            "0000000000000000000000000000000000000001020300c8643200ffffff0000000000"
                            "05120000000530123000000202000001"),
        QByteArray::fromHex("424da2000000000000008a0000007c0000000300000002000000010020000300000000"
                            "000000000000000000000000000000000000000000ff0000ff0000ff000000000000ff"
                            "4247527300000000000000000000000000000000000000000000000000000000000000"
                            "0000000000000000000000000000000000000000000000000000000000000000000064"
                            "c8800000ff00ff0000ff112233445566778899aabbcc"),
    };
}

void TestDecoderFuzz::seedsDecode()
{
    // The mutants start from pictures that decode.
    for (const QByteArray& seed : seeds()) {
        QVERIFY(seed.size() > 50);
        QVERIFY(!PictureHandle::fromBytes(seed).isNull());
    }
}

void TestDecoderFuzz::mutantsNeverCrash()
{
    const QList<QByteArray> originals = seeds();
    const QSize targets[] = {QSize(), QSize(5, 9), QSize(350, 450)};
    Mutator mutator(20240611);
    int decoded = 0;
    int total = 0;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 4000; ++i) {
        const QByteArray& seed = originals[i % originals.size()];
        const QByteArray mutant = mutator.mutate(seed);
        const bool jpeg =
            mutant.size() >= 2 && uchar(mutant[0]) == 0xFF && uchar(mutant[1]) == 0xD8;
        for (const QSize& target : targets) {
            ++total;
            const PictureHandle picture = PictureHandle::fromBytes(mutant, target);
            if (picture.isNull()) {
                QCOMPARE(picture.width(), 0);
                QCOMPARE(picture.height(), 0);
                continue;
            }
            ++decoded;
            const QImage& image = picture.image();
            const QString where =
                QStringLiteral("mutant %1, target %2x%3: picture %4x%5, pixels %6x%7")
                    .arg(i)
                    .arg(target.width())
                    .arg(target.height())
                    .arg(picture.width())
                    .arg(picture.height())
                    .arg(image.width())
                    .arg(image.height());
            QVERIFY2(picture.width() > 0 && picture.height() > 0, qPrintable(where));
            // JPEG frames cannot declare more than 65535 a side; other formats are
            // held to the decoded-pixel limit at full size.
            if (jpeg)
                QVERIFY2(picture.width() <= 65535 && picture.height() <= 65535, qPrintable(where));
            else
                QVERIFY2(qint64(picture.width()) * picture.height() <=
                             PictureHandle::kMaxDecodedPixels,
                         qPrintable(where));
            QVERIFY2(image.width() > 0 && image.height() > 0, qPrintable(where));
            QVERIFY2(image.width() <= picture.width() && image.height() <= picture.height(),
                     qPrintable(where));
            QVERIFY2(qint64(image.width()) * image.height() <= PictureHandle::kMaxDecodedPixels,
                     qPrintable(where));
            QCOMPARE(image.format(), QImage::Format_RGB32);
            if (!jpeg) {
                QVERIFY2(image.size() == QSize(picture.width(), picture.height()),
                         qPrintable(where));
            } else if (target.isValid() &&
                       image.size() != QSize(picture.width(), picture.height())) {
                // A smaller decode must still cover what the target needs.
                const qint64 pw = picture.width(), ph = picture.height();
                const qint64 ow = image.width(), oh = image.height();
                const qint64 tw = target.width(), th = target.height();
                QVERIFY2(ow >= tw && oh >= th && ow * ph >= th * pw && oh * pw >= tw * ph,
                         qPrintable(where));
            }
            // Every decoded pixel is readable.
            volatile quint32 sum = 0;
            for (int y = 0; y < image.height(); y += std::max(1, image.height() / 8))
                sum = sum +
                      reinterpret_cast<const quint32*>(image.constScanLine(y))[image.width() - 1];
        }
    }
    qInfo("%d of %d decodes gave a picture, %lld ms", decoded, total,
          static_cast<long long>(clock.elapsed()));
    // The mutations are not all fatal, or the checks above would test nothing.
    QVERIFY(decoded > total / 20);
}

QTEST_MAIN(TestDecoderFuzz)
#include "tst_decoderfuzz.moc"

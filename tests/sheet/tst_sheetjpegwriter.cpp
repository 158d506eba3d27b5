#include "sheet/SheetJpegWriter.h"
#include "testutils.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>

#include <jpeglib.h>

using namespace vellora;
using namespace vellora::test;

namespace {

const QDateTime kSevenJune(QDate(2012, 6, 7), QTime(9, 5, 3));

std::function<QDateTime()> clockAt(const QDateTime& when)
{
    return [when] { return when; };
}

QList<QRect> sampleBlocks()
{
    return {QRect(32, 32, 64, 64), QRect(128, 32, 64, 64), QRect(32, 128, 160, 48)};
}

// Colour blocks aligned to the 16-pixel chroma blocks plus smooth gradients,
// so that a faithful encoder reproduces every pixel closely.
QImage sampleSheet(int width, int height)
{
    QImage sheet(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            sheet.setPixel(x, y, qRgb(x * 255 / width, y * 255 / height, 128));
    QPainter p(&sheet);
    const QList<QColor> colours = {QColor(200, 30, 30), QColor(30, 30, 200), QColor(250, 250, 250)};
    const QList<QRect> blocks = sampleBlocks();
    for (int i = 0; i < blocks.size(); ++i)
        p.fillRect(blocks[i], colours[i]);
    return sheet;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// What the decoder sees in a JPEG header.
struct JpegHeader
{
    bool ok = false;
    bool jfif = false;
    int jfifMajor = 0, jfifMinor = 0;
    int densityUnit = -1, xDensity = 0, yDensity = 0;
    int components = 0;
    J_COLOR_SPACE colourSpace = JCS_UNKNOWN;
    int precision = 0;
    bool progressive = false;
    bool arithmetic = false;
    int sampling[3][2] = {};
    bool quantAllOnes = false;
    int quantTables = 0;
};

// The test decodes small, known-good files; a libjpeg error ends the test
// program loudly rather than being swallowed.
JpegHeader readHeader(const QByteArray& bytes)
{
    JpegHeader h;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK) {
        h.ok = true;
        h.jfif = cinfo.saw_JFIF_marker;
        h.jfifMajor = cinfo.JFIF_major_version;
        h.jfifMinor = cinfo.JFIF_minor_version;
        h.densityUnit = cinfo.density_unit;
        h.xDensity = cinfo.X_density;
        h.yDensity = cinfo.Y_density;
        h.components = cinfo.num_components;
        h.colourSpace = cinfo.jpeg_color_space;
        h.precision = cinfo.data_precision;
        h.progressive = cinfo.progressive_mode;
        h.arithmetic = cinfo.arith_code;
        for (int c = 0; c < std::min(3, cinfo.num_components); ++c) {
            h.sampling[c][0] = cinfo.comp_info[c].h_samp_factor;
            h.sampling[c][1] = cinfo.comp_info[c].v_samp_factor;
        }
        h.quantAllOnes = true;
        for (JQUANT_TBL* table : cinfo.quant_tbl_ptrs) {
            if (table == nullptr)
                continue;
            ++h.quantTables;
            for (UINT16 q : table->quantval)
                h.quantAllOnes = h.quantAllOnes && q == 1;
        }
    }
    jpeg_destroy_decompress(&cinfo);
    return h;
}

// The frame markers before the first scan.
QList<int> frameMarkers(const QByteArray& bytes)
{
    QList<int> markers;
    qsizetype i = 2; // after SOI
    while (i + 4 <= bytes.size() && uchar(bytes[i]) == 0xFF) {
        const int marker = uchar(bytes[i + 1]);
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
            markers.append(marker);
        if (marker == 0xDA)
            break;
        const int length = (uchar(bytes[i + 2]) << 8) | uchar(bytes[i + 3]);
        i += 2 + length;
    }
    return markers;
}

// The same image and settings with the standard Huffman tables.
qsizetype standardTableSize(const QImage& image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = JDIMENSION(rgb.width());
    cinfo.image_height = JDIMENSION(rgb.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    cinfo.optimize_coding = FALSE;
    jpeg_set_quality(&cinfo, 100, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb.constScanLine(int(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return qsizetype(size);
}

} // namespace

class TestSheetJpegWriter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void namesFromTheClock_data()
    {
        QTest::addColumn<QDateTime>("when");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("expected");
        const QDate d(2012, 6, 7);
        QTest::newRow("9:05:03") << QDateTime(d, QTime(9, 5, 3)) << 3
                                 << QStringLiteral("2012年6月7日9时5分3秒_3.jpg");
        QTest::newRow("9:00:07") << QDateTime(d, QTime(9, 0, 7)) << 1
                                 << QStringLiteral("2012年6月7日9时0分7秒_1.jpg");
        QTest::newRow("9:30:00") << QDateTime(d, QTime(9, 30, 0)) << 1
                                 << QStringLiteral("2012年6月7日9时30分_1.jpg");
        QTest::newRow("9:00:00") << QDateTime(d, QTime(9, 0, 0)) << 2
                                 << QStringLiteral("2012年6月7日9时_2.jpg");
        QTest::newRow("0:00:00") << QDateTime(d, QTime(0, 0, 0)) << 1
                                 << QStringLiteral("2012年6月7日_1.jpg");
        QTest::newRow("14:00:00") << QDateTime(d, QTime(14, 0, 0)) << 1
                                  << QStringLiteral("2012年6月7日14时_1.jpg");
        QTest::newRow("0:00:59 on 25 Dec") << QDateTime(QDate(2023, 12, 25), QTime(0, 0, 59)) << 12
                                           << QStringLiteral("2023年12月25日0时0分59秒_12.jpg");
    }

    void namesFromTheClock()
    {
        QFETCH(QDateTime, when);
        QFETCH(int, number);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const JpegSaveResult result =
            saveSheetAsJpeg(sampleSheet(64, 48), dir.path() + u'/', number, clockAt(when));
        QVERIFY2(result.ok, qPrintable(result.error));
        QCOMPARE(result.path, dir.path() + u'/' + expected);
        QVERIFY(QFile::exists(result.path));
        QCOMPARE(entries(dir.path()), QStringList{expected});
    }

    void folderTextWithOrWithoutSeparator_data()
    {
        QTest::addColumn<QString>("suffix");
        QTest::newRow("ends with /") << QStringLiteral("/");
        QTest::newRow("ends with \\") << QStringLiteral("\\");
        QTest::newRow("no separator") << QString();
    }

    void folderTextWithOrWithoutSeparator()
    {
        QFETCH(QString, suffix);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("out")));
        const QString folder = dir.filePath(QStringLiteral("out"));
        const JpegSaveResult result =
            saveSheetAsJpeg(sampleSheet(64, 48), folder + suffix, 1, clockAt(kSevenJune));
        QVERIFY2(result.ok, qPrintable(result.error));
        QCOMPARE(entries(folder), QStringList{QStringLiteral("2012年6月7日9时5分3秒_1.jpg")});
        QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("out")});
    }

    void encodesWithTheFixedParameters()
    {
        QTemporaryDir dir;
        const QImage sheet = sampleSheet(640, 480);
        const JpegSaveResult result = saveSheetAsJpeg(sheet, dir.path(), 1, clockAt(kSevenJune));
        QVERIFY2(result.ok, qPrintable(result.error));
        const QByteArray bytes = readAll(result.path);

        const JpegHeader h = readHeader(bytes);
        QVERIFY(h.ok);
        QVERIFY(h.jfif);
        QCOMPARE(h.jfifMajor, 1);
        QCOMPARE(h.jfifMinor, 1);
        QCOMPARE(h.densityUnit, 2); // dots per centimetre
        QCOMPARE(h.xDensity, 100);
        QCOMPARE(h.yDensity, 100);
        QCOMPARE(h.components, 3);
        QCOMPARE(h.colourSpace, JCS_YCbCr);
        QCOMPARE(h.precision, 8);
        QVERIFY(!h.progressive);
        QVERIFY(!h.arithmetic);
        QCOMPARE(h.sampling[0][0], 2);
        QCOMPARE(h.sampling[0][1], 2);
        QCOMPARE(h.sampling[1][0], 1);
        QCOMPARE(h.sampling[1][1], 1);
        QCOMPARE(h.sampling[2][0], 1);
        QCOMPARE(h.sampling[2][1], 1);
        // Quality 100 with baseline values: every step 1.
        QCOMPARE(h.quantTables, 2);
        QVERIFY(h.quantAllOnes);
        // Baseline sequential Huffman: a single SOF0.
        QCOMPARE(frameMarkers(bytes), QList<int>{0xC0});
        // Tables made for the image beat the standard ones.
        const qsizetype standard = standardTableSize(sheet);
        QVERIFY2(bytes.size() < standard,
                 qPrintable(QStringLiteral("%1 vs %2").arg(bytes.size()).arg(standard)));

        // Pixels come back close; chroma is shared by 2 x 2 pixels, so the
        // blocks' edges are left out of the strict comparison.
        const QImage decoded = QImage(result.path).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(decoded.size(), sheet.size());
        const QList<QRect> blocks = sampleBlocks();
        double totalError = 0;
        for (int y = 0; y < sheet.height(); ++y) {
            for (int x = 0; x < sheet.width(); ++x) {
                const QRgb a = decoded.pixel(x, y);
                const QRgb b = sheet.pixel(x, y);
                totalError += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                              std::abs(qBlue(a) - qBlue(b));
                bool nearEdge = false;
                for (const QRect& block : blocks)
                    nearEdge = nearEdge || (block.adjusted(-2, -2, 2, 2).contains(x, y) &&
                                            !block.adjusted(2, 2, -2, -2).contains(x, y));
                if (!nearEdge && !colourNear(a, QColor(b), 6))
                    QFAIL(qPrintable(QStringLiteral("pixel (%1,%2): %3 vs %4")
                                         .arg(x)
                                         .arg(y)
                                         .arg(QColor(a).name(), QColor(b).name())));
            }
        }
        const double meanError = totalError / (3.0 * sheet.width() * sheet.height());
        QVERIFY2(meanError < 1.5, qPrintable(QString::number(meanError)));
    }

    void everyPixelFormatEncodesAlike_data()
    {
        QTest::addColumn<int>("format");
        QTest::newRow("RGB888") << int(QImage::Format_RGB888);
        QTest::newRow("ARGB32") << int(QImage::Format_ARGB32);
        QTest::newRow("RGB16") << int(QImage::Format_RGB16);
    }

    void everyPixelFormatEncodesAlike()
    {
        QFETCH(int, format);
        QTemporaryDir dir;
        // Colours RGB16 holds exactly, so every format carries the same pixels.
        QImage sheet = sampleSheet(96, 64).convertToFormat(QImage::Format_RGB16);
        sheet = sheet.convertToFormat(QImage::Format_RGB32);
        const JpegSaveResult reference = saveSheetAsJpeg(sheet, dir.path(), 1, clockAt(kSevenJune));
        const JpegSaveResult other = saveSheetAsJpeg(sheet.convertToFormat(QImage::Format(format)),
                                                     dir.path(), 2, clockAt(kSevenJune));
        QVERIFY(reference.ok && other.ok);
        QCOMPARE(readAll(other.path), readAll(reference.path));
    }

    void neverReplacesAFile()
    {
        QTemporaryDir dir;
        const QString folder = dir.path() + u'/';
        const QString first = folder + QStringLiteral("2012年6月7日9时5分3秒_1.jpg");
        const QByteArray userBytes("an earlier job's sheet, not to be lost");
        QVERIFY(writeBytes(first, userBytes));
        const QByteArray bufBytes("a user's own file of this name");
        QVERIFY(writeBytes(folder + QStringLiteral("sheetbuf318642"), bufBytes));

        // Same second, same sheet number, three times.
        QStringList written;
        for (int i = 0; i < 3; ++i) {
            const JpegSaveResult r =
                saveSheetAsJpeg(sampleSheet(64, 48), folder, 1, clockAt(kSevenJune));
            QVERIFY2(r.ok, qPrintable(r.error));
            written << QFileInfo(r.path).fileName();
        }
        QCOMPARE(written, (QStringList{QStringLiteral("2012年6月7日9时5分3秒_1-2.jpg"),
                                       QStringLiteral("2012年6月7日9时5分3秒_1-3.jpg"),
                                       QStringLiteral("2012年6月7日9时5分3秒_1-4.jpg")}));
        QCOMPARE(readAll(first), userBytes);
        QCOMPARE(readAll(folder + QStringLiteral("sheetbuf318642")), bufBytes);
        // Nothing else: no temporary file stays behind.
        QCOMPARE(entries(dir.path()).size(), 5);
    }

    void aFailureLeavesNothingBehind_data()
    {
        QTest::addColumn<QString>("folderName");
        QTest::addColumn<bool>("parentIsFile");
        QTest::newRow("missing folder") << QStringLiteral("missing/") << false;
        QTest::newRow("a file where the folder should be") << QStringLiteral("plain/") << true;
        QTest::newRow("below a regular file") << QStringLiteral("plain/sub/") << true;
    }

    void aFailureLeavesNothingBehind()
    {
        QFETCH(QString, folderName);
        QFETCH(bool, parentIsFile);
        QTemporaryDir dir;
        if (parentIsFile)
            QVERIFY(writeBytes(dir.filePath(QStringLiteral("plain")), "content"));
        const QStringList before = entries(dir.path());

        const JpegSaveResult r =
            saveSheetAsJpeg(sampleSheet(64, 48), dir.filePath(folderName), 1, clockAt(kSevenJune));
        QVERIFY(!r.ok);
        QVERIFY(!r.error.isEmpty());
        QVERIFY(r.path.isEmpty());
        QCOMPARE(entries(dir.path()), before);
        if (parentIsFile)
            QCOMPARE(readAll(dir.filePath(QStringLiteral("plain"))), QByteArray("content"));
    }

    void anEmptySheetIsRefused()
    {
        QTemporaryDir dir;
        const JpegSaveResult r = saveSheetAsJpeg(QImage(), dir.path(), 1, clockAt(kSevenJune));
        QVERIFY(!r.ok);
        QVERIFY(entries(dir.path()).isEmpty());
    }
};

QTEST_MAIN(TestSheetJpegWriter)
#include "tst_sheetjpegwriter.moc"

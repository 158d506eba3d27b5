#include "testutils.h"

#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QPainter>

#include <algorithm>
#include <cstdlib>

namespace vellora::test {

QString builtProgramFolder()
{
    return QStringLiteral(VELLORA_PROGRAM_DIR);
}

QString testDataDir()
{
    return QStringLiteral(VELLORA_TEST_DATA_DIR);
}

TempProgramFolder::TempProgramFolder()
{
    const QString sample = QDir(builtProgramFolder()).filePath(QStringLiteral("152101201205090001.jpg"));
    QFile::copy(sample, m_dir.filePath(QStringLiteral("152101201205090001.jpg")));
}

bool colourNear(QRgb actual, const QColor& expected, int tolerance)
{
    return std::abs(qRed(actual) - expected.red()) <= tolerance &&
           std::abs(qGreen(actual) - expected.green()) <= tolerance &&
           std::abs(qBlue(actual) - expected.blue()) <= tolerance;
}

bool fuzzyCompare(const QImage& a, const QImage& b, int tolerance, QString* why)
{
    if (a.size() != b.size()) {
        if (why)
            *why = QStringLiteral("sizes differ: %1x%2 vs %3x%4")
                       .arg(a.width()).arg(a.height()).arg(b.width()).arg(b.height());
        return false;
    }
    const QImage ca = a.convertToFormat(QImage::Format_RGB32);
    const QImage cb = b.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < ca.height(); ++y) {
        const auto* la = reinterpret_cast<const QRgb*>(ca.constScanLine(y));
        const auto* lb = reinterpret_cast<const QRgb*>(cb.constScanLine(y));
        for (int x = 0; x < ca.width(); ++x) {
            if (!colourNear(la[x], QColor(lb[x]), tolerance)) {
                if (why)
                    *why = QStringLiteral("pixel (%1,%2): %3 vs %4")
                               .arg(x).arg(y)
                               .arg(QColor(la[x]).name(), QColor(lb[x]).name());
                return false;
            }
        }
    }
    return true;
}

QImage markedImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter p(&image);
    p.fillRect(0, 0, width / 2, height, Qt::red);
    p.fillRect(width / 2, 0, width - width / 2, height, Qt::blue);
    const int band = std::max(1, height / 40);
    p.fillRect(0, 0, width, band, Qt::green);
    p.fillRect(0, height - band, width, band, Qt::black);
    return image;
}

QString writeImage(const QImage& image, const QString& path, const char* format)
{
    QImageWriter writer(path, format);
    writer.setQuality(95);
    writer.write(image);
    return path;
}

} // namespace vellora::test

#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QString>
#include <QTemporaryDir>

namespace vellora {
struct AppState;
}

namespace vellora::test {

// A throw-away program folder holding a copy of the built sample photo (and
// whatever a test writes there: 配置.ini, sj.edb, 未打印/).
class TempProgramFolder
{
public:
    TempProgramFolder();
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const { return m_dir.filePath(name); }
    bool isValid() const { return m_dir.isValid(); }

private:
    QTemporaryDir m_dir;
};

// The program folder of the build (sample photo, shipped sj.edb, 配置.ini).
QString builtProgramFolder();
// tests/data
QString testDataDir();

// Same size and every channel of every pixel within tolerance.
bool fuzzyCompare(const QImage& a, const QImage& b, int tolerance, QString* why = nullptr);
// Every channel within tolerance of the expected colour.
bool colourNear(QRgb actual, const QColor& expected, int tolerance = 0);

// A synthetic photo of w × h: left half red, right half blue, a green band at
// the top and a black band at the bottom (each h / 40 rows), so fitting and
// cutting can be checked by pixel.
QImage markedImage(int width, int height);
// Writes an image as a JPEG (quality 95) or BMP file; returns the path.
QString writeImage(const QImage& image, const QString& path, const char* format);

} // namespace vellora::test

// Helper of bench_batch.sh.
//
//   bench_batch_bound generate DIR COUNT [WIDTH HEIGHT]
//       writes COUNT photo-like JPEGs (default 4000 × 3000, quality 92) named
//       photo0001.jpg … into DIR; existing files of those names are kept.

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>

namespace {

// Smooth shading, shapes with edges and a little grain: entropy-coded data
// of a camera's order of size. Each seed gives a different picture.
QImage photoLike(int width, int height, quint32 seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    QPainter p(&image);
    QLinearGradient sky(0, 0, 0, height);
    sky.setColorAt(0, QColor(random.bounded(256), random.bounded(256), random.bounded(256)));
    sky.setColorAt(1, QColor(random.bounded(256), random.bounded(256), random.bounded(256)));
    p.fillRect(image.rect(), sky);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 300; ++i) {
        p.setBrush(QColor(random.bounded(256), random.bounded(256), random.bounded(256)));
        p.drawEllipse(QPoint(random.bounded(width), random.bounded(height)),
                      10 + random.bounded(width / 12), 10 + random.bounded(height / 10));
    }
    p.end();
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int n = int(random.bounded(9)) - 4;
            const QRgb c = line[x];
            line[x] = qRgb(std::clamp(qRed(c) + n, 0, 255), std::clamp(qGreen(c) + n, 0, 255),
                           std::clamp(qBlue(c) + n, 0, 255));
        }
    }
    return image;
}

int generate(const QString& folder, int count, int width, int height)
{
    QDir().mkpath(folder);
    for (int i = 1; i <= count; ++i) {
        const QString path =
            QDir(folder).filePath(QStringLiteral("photo%1.jpg").arg(i, 4, 10, QLatin1Char('0')));
        if (QFile::exists(path))
            continue;
        QImageWriter writer(path + QStringLiteral(".part"), "jpeg");
        writer.setQuality(92);
        if (!writer.write(photoLike(width, height, quint32(i))) ||
            !QFile::rename(path + QStringLiteral(".part"), path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() >= 3 && args[0] == u"generate") {
        const int width = args.size() >= 5 ? args[3].toInt() : 4000;
        const int height = args.size() >= 5 ? args[4].toInt() : 3000;
        return generate(args[1], args[2].toInt(), width, height);
    }
    std::fprintf(stderr, "usage: bench_batch_bound generate DIR COUNT [W H]\n");
    return 2;
}

// Helper of bench_batch.sh.
//
//   bench_batch_bound generate DIR COUNT [WIDTH HEIGHT]
//       writes COUNT photo-like JPEGs (default 4000 × 3000, quality 92) named
//       photo0001.jpg … into DIR; existing files of those names are kept.
//   bench_batch_bound bound TEMPLATE.json PHOTO...
//       the lower bound of a batch job over the photos: the sum of the bare
//       DCT-scaled decodes of every photo to the template's cell size and of
//       the JPEG encodes of every sheet the job writes, each done exactly as
//       the job does it but with nothing around it. Prints
//       "decode_s=… encode_s=… sheets=… bound_s=…".

#include "app/AppState.h"
#include "app/Startup.h"
#include "batch/SheetJpegWriter.h"
#include "sheet/JpegDecoder.h"
#include "sheet/PictureHandle.h"
#include "sheet/SheetRenderer.h"
#include "templates/LayoutTemplate.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace vellora;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

int bound(const QString& templatePath, const QStringList& photos)
{
    QFile file(templatePath);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(templatePath));
        return 1;
    }
    LayoutTemplate t;
    QString error;
    if (!templateFromJson(QJsonDocument::fromJson(file.readAll()).object(), t, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QSize cell(t.size1.width, t.size1.height);
    const qint64 capacity = qint64(t.size1.countAcross) * t.size1.countDown;
    if (capacity <= 0 || t.outputCount <= 0 || t.twoSize != 0) {
        std::fprintf(stderr, "the bound is made for one-size templates with copies\n");
        return 1;
    }
    const qint64 copies = qint64(photos.size()) * t.outputCount;
    const qint64 sheets = (copies + capacity - 1) / capacity;

    // Decodes: read the file and decode at the smallest DCT scale that still
    // covers the cell, as the layout pass does.
    qint64 checksum = 0;
    const auto decodeStart = Clock::now();
    for (const QString& photo : photos) {
        QFile in(photo);
        if (!in.open(QIODevice::ReadOnly))
            return 1;
        const JpegDecodeResult decoded =
            decodeJpeg(in.readAll(), cell, PictureHandle::kMaxDecodedPixels);
        checksum += decoded.image.width();
    }
    const double decodeSeconds = secondsSince(decodeStart);

    // A real sheet to encode, made untimed by one layout pass of the first photo.
    AppState state;
    initialiseAppState(state, QDir::tempPath());
    useTemplateHeadless(state, t);
    state.currentPhotoPath = photos.value(0);
    state.pendingSheet.copiesLeft = int(capacity);
    layOutCurrentPhoto(state);
    const QImage sheet = state.sheetSurface.snapshotImage();

    QTemporaryDir out;
    const QString folder = out.path() + u'/';
    const auto encodeStart = Clock::now();
    for (qint64 i = 1; i <= sheets; ++i) {
        const JpegSaveResult saved = saveSheetAsJpeg(sheet, folder, int(i));
        if (!saved.ok) {
            std::fprintf(stderr, "encode failed: %s\n", qPrintable(saved.error));
            return 1;
        }
        QFile::remove(saved.path);
    }
    const double encodeSeconds = secondsSince(encodeStart);
    std::printf("decode_s=%.3f encode_s=%.3f sheets=%lld bound_s=%.3f checksum=%lld\n",
                decodeSeconds, encodeSeconds, static_cast<long long>(sheets),
                decodeSeconds + encodeSeconds, static_cast<long long>(checksum));
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
    if (args.size() >= 3 && args[0] == u"bound")
        return bound(args[1], args.mid(2));
    std::fprintf(stderr, "usage: bench_batch_bound generate DIR COUNT [W H] | "
                         "bound TEMPLATE.json PHOTO...\n");
    return 2;
}

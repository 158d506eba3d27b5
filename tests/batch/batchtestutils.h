#pragma once

// Helpers shared by the batch tests: small templates with known cell
// positions, solid-colour photos, and reading the written sheets back.

#include "core/LayoutTemplate.h"

#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <algorithm>

namespace vellora::test::batch {

// Cells of 40 × 40 with 10 between them and margins of 5, no number, no frame:
// cell k (1-based) of size 1 is centred at a known point.
inline constexpr int kCell = 40;
inline constexpr int kStep = 50;
inline constexpr int kMargin = 5;

inline LayoutTemplate gridTemplate(int across, int down, int copies)
{
    LayoutTemplate t;
    t.name = QStringLiteral("网格");
    t.size1 = PhotoSizeSpec{kCell, kCell, across, down, kStep - kCell, kStep - kCell};
    t.outputCount = copies;
    t.paperWidth = kMargin * 2 + across * kStep - (kStep - kCell);
    t.paperHeight = kMargin * 2 + down * kStep - (kStep - kCell);
    t.noNumber = 1;
    t.leftMargin = kMargin;
    t.topMargin = kMargin;
    return t;
}

inline QPoint cellCentre(int across, int k)
{
    const int row = (k - 1) / across;
    const int column = (k - 1) % across;
    return {kMargin + column * kStep + kCell / 2, kMargin + row * kStep + kCell / 2};
}

inline const QList<QColor>& palette()
{
    static const QList<QColor> colours = {
        QColor(220, 30, 30),  QColor(30, 200, 40),   QColor(40, 60, 220), QColor(230, 200, 20),
        QColor(200, 40, 200), QColor(30, 200, 210),  QColor(120, 60, 20), QColor(250, 140, 20),
        QColor(20, 20, 20),   QColor(120, 120, 240), QColor(20, 110, 60), QColor(160, 0, 80),
    };
    return colours;
}

// A photo of one colour, written as JPEG (or BMP) at quality 100.
inline QString writeSolidPhoto(const QString& path, const QColor& colour, int size = 24)
{
    QImage image(size, size, QImage::Format_RGB32);
    image.fill(colour);
    image.save(path, path.endsWith(QStringLiteral(".bmp")) ? "BMP" : "JPEG", 100);
    return path;
}

// The sheet files of a folder ordered by their sheet number (the number after
// the last "_"; "-2" suffixes sort after).
inline QStringList sheetFiles(const QString& folder)
{
    QFileInfoList files =
        QDir(folder).entryInfoList({QStringLiteral("*.jpg")}, QDir::Files, QDir::Name);
    static const QRegularExpression number(QStringLiteral("_(\\d+)(-\\d+)?\\.jpg$"));
    std::stable_sort(files.begin(), files.end(), [](const QFileInfo& a, const QFileInfo& b) {
        return number.match(a.fileName()).captured(1).toInt() <
               number.match(b.fileName()).captured(1).toInt();
    });
    QStringList paths;
    for (const QFileInfo& f : files)
        paths.append(f.absoluteFilePath());
    return paths;
}

inline QImage readSheet(const QString& path)
{
    QImageReader reader(path);
    return reader.read().convertToFormat(QImage::Format_RGB32);
}

inline bool near(QRgb pixel, const QColor& colour, int tolerance = 16)
{
    return std::abs(qRed(pixel) - colour.red()) <= tolerance &&
           std::abs(qGreen(pixel) - colour.green()) <= tolerance &&
           std::abs(qBlue(pixel) - colour.blue()) <= tolerance;
}

// Which photo fills each cell of a sheet: the palette index of the colour at
// the cell's centre, -1 for white, -2 for anything else.
inline QList<int> cellContents(const QImage& sheet, int across, int cells)
{
    QList<int> contents;
    for (int k = 1; k <= cells; ++k) {
        const QPoint p = cellCentre(across, k);
        const QRgb pixel = sheet.pixel(p);
        int found = near(pixel, Qt::white) ? -1 : -2;
        for (qsizetype i = 0; found == -2 && i < palette().size(); ++i)
            if (near(pixel, palette()[i]))
                found = int(i);
        contents.append(found);
    }
    return contents;
}

} // namespace vellora::test::batch

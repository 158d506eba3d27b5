#pragma once

#include "printing/Calibration.h"
#include "printing/Printing.h"

#include <QDate>
#include <QImage>
#include <QRectF>
#include <QString>

#include <optional>

namespace vellora {

// A printer's default paper and where its printable area lies on it, in mm,
// as a print job of ours sees them (portrait, the printer's own margins).
struct PrinterPage
{
    bool ok = false;
    QString error;
    QString paperName;
    QSizeF paperMm;
    QRectF printableMm; // from the paper's top-left corner
};
PrinterPage describePrinterPage(const QString& printerName);

// What the calibration sheet says about itself.
struct CalibrationSheetText
{
    QString printerName;
    PrinterPage page;
    QDate date;
    std::optional<PrinterCalibration> printedWith;
};

// The smallest printable area the sheet fits in: the square, the crosses'
// arms beyond it and the rulers, in 0.1 mm.
inline constexpr int kCalibrationSheetMinSide = 1220;

// The calibration sheet, one pixel per 0.1 mm from the printable area's corner:
// black rulers along the top and left edges (a tick every mm, longer every
// 5 mm, numbered every cm), a blue 100 mm square whose corners carry red
// crosses at 15 mm and 115 mm, and what was printed on which printer and how
// to measure it.
QImage drawCalibrationSheet(const QSize& pixels, const CalibrationSheetText& text);

// Draws the sheet for the default printer's printable area and prints it
// through printSheetWithReport, like any layout sheet (the printer's stored
// calibration applies to it too). An outcome of Lost with `error` set when
// there is no default printer or its paper is too small.
PrintReport printCalibrationSheet(const QString& programFolder);

} // namespace vellora

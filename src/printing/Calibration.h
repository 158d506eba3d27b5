#pragma once

#include <QRectF>
#include <QSize>
#include <QString>

#include <optional>

namespace vellora {

// A printer's own stretch and shift, corrected on printed sheets: the sheet is
// drawn scaleX × scaleY times its true size with its corner at
// (offsetXMm, offsetYMm) from the printable area's corner. Kept per CUPS queue
// in 配置.ini, section kCalibrationSection, one key per queue.
struct PrinterCalibration
{
    double scaleX = 1.0;
    double scaleY = 1.0;
    double offsetXMm = 0.0;
    double offsetYMm = 0.0;
};

inline constexpr const char16_t* kCalibrationSection = u"打印机校准";

// What a printer may plausibly need; anything beyond is a mismeasurement.
inline constexpr double kCalibrationMinScale = 0.95;
inline constexpr double kCalibrationMaxScale = 1.05;
inline constexpr double kCalibrationMaxOffsetMm = 10.0;

// The calibration sheet: the length of the reference lines and where the
// reference crosses sit, from the printable area's corner.
inline constexpr double kReferenceLineMm = 100.0;
inline constexpr double kReferenceCrossMm = 15.0;

// "" when the calibration is within the limits, otherwise why not (for the user).
QString calibrationLimitError(const PrinterCalibration& calibration);

// What the operator measured on a calibration sheet printed with `printedWith`
// in effect. The cross distances are optional: without them the offset stays.
struct CalibrationMeasurement
{
    double lineXMm = kReferenceLineMm; // between the two upper crosses
    double lineYMm = kReferenceLineMm; // between the two left crosses
    std::optional<double> crossLeftMm; // upper-left cross to the paper's left edge
    std::optional<double> crossTopMm;  // upper-left cross to the paper's top edge
};

struct CalibrationResult
{
    bool ok = false;
    PrinterCalibration calibration;
    QString error;
};

// The calibration that makes the printer draw true size and position, given
// the measurement of a sheet printed with `printedWith` on a printer whose
// printable area begins `printableLeftMm`/`printableTopMm` from the paper's
// edges. Out-of-limit results are refused.
CalibrationResult deriveCalibration(const CalibrationMeasurement& measured,
                                    const PrinterCalibration& printedWith, double printableLeftMm,
                                    double printableTopMm);

// The stored calibration of a printer in the INI file at iniPath; none when
// absent, reset, unreadable or beyond the limits (a hand-edited value out of
// range must not distort every print).
std::optional<PrinterCalibration> readPrinterCalibration(const QString& iniPath,
                                                         const QString& printerName);
// Stores it after checking the limits; false with a message when refused or
// not written.
bool storePrinterCalibration(const QString& iniPath, const QString& printerName,
                             const PrinterCalibration& calibration, QString* error);
// Forgets it: the key is kept with an empty value, which reads as none.
bool resetPrinterCalibration(const QString& iniPath, const QString& printerName, QString* error);

// Where a sheet of `sheetPixels` (0.1 mm each) goes on the page, in 0.1 mm
// from the printable area's corner: exactly (0, 0, width, height) without a
// calibration.
QRectF placeSheetOnPage(const QSize& sheetPixels,
                        const std::optional<PrinterCalibration>& calibration);

// "101.000 % × 99.500 %, 1.20 mm / -0.80 mm" for people.
QString describeCalibration(const PrinterCalibration& calibration);

} // namespace vellora

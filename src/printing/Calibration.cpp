#include "printing/Calibration.h"

#include "core/IniFile.h"

#include <QStringList>

#include <cmath>

namespace vellora {

namespace {

// Stored as "scale x %,scale y %,offset x mm,offset y mm" in the C locale, so a
// file written under one locale reads the same under another.
QString encode(const PrinterCalibration& c)
{
    return QStringLiteral("%1,%2,%3,%4")
        .arg(c.scaleX * 100, 0, 'f', 4)
        .arg(c.scaleY * 100, 0, 'f', 4)
        .arg(c.offsetXMm, 0, 'f', 3)
        .arg(c.offsetYMm, 0, 'f', 3);
}

std::optional<PrinterCalibration> decode(const QString& text)
{
    const QStringList parts = text.split(u',');
    if (parts.size() != 4)
        return std::nullopt;
    double values[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        values[i] = parts[i].trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(values[i]))
            return std::nullopt;
    }
    return PrinterCalibration{values[0] / 100, values[1] / 100, values[2], values[3]};
}

bool usableName(const QString& printerName, QString* error)
{
    if (printerName.trimmed().isEmpty()) {
        if (error)
            *error = QStringLiteral("no printer named");
        return false;
    }
    return true;
}

} // namespace

QString calibrationLimitError(const PrinterCalibration& c)
{
    const auto scaleOk = [](double s) {
        // A hair of tolerance, so that exactly 95 % or 105 % typed in passes.
        return std::isfinite(s) && s >= kCalibrationMinScale - 1e-9 &&
               s <= kCalibrationMaxScale + 1e-9;
    };
    const auto offsetOk = [](double mm) {
        return std::isfinite(mm) && std::abs(mm) <= kCalibrationMaxOffsetMm + 1e-9;
    };
    if (!scaleOk(c.scaleX) || !scaleOk(c.scaleY))
        return QStringLiteral("缩放 %1 % × %2 % 超出 95 %–105 %，请重新测量")
            .arg(c.scaleX * 100, 0, 'f', 3)
            .arg(c.scaleY * 100, 0, 'f', 3);
    if (!offsetOk(c.offsetXMm) || !offsetOk(c.offsetYMm))
        return QStringLiteral("偏移 %1 mm / %2 mm 超过 10 mm，请重新测量")
            .arg(c.offsetXMm, 0, 'f', 2)
            .arg(c.offsetYMm, 0, 'f', 2);
    return {};
}

CalibrationResult deriveCalibration(const CalibrationMeasurement& measured,
                                    const PrinterCalibration& printedWith, double printableLeftMm,
                                    double printableTopMm)
{
    CalibrationResult result;
    const auto positive = [](double v) { return std::isfinite(v) && v > 0; };
    if (!positive(measured.lineXMm) || !positive(measured.lineYMm) ||
        (measured.crossLeftMm && !std::isfinite(*measured.crossLeftMm)) ||
        (measured.crossTopMm && !std::isfinite(*measured.crossTopMm))) {
        result.error = QStringLiteral("测量值无效");
        return result;
    }
    // The printer maps a drawn length d to s·d on paper and shifts by e: the
    // sheet printed with scale c0 and offset o0 put its cross, drawn at p, at
    // margin + e + s·(o0 + c0·p), and its reference line at s·c0·L. The new
    // scale is 1/s and the new offset the one that cancels e.
    PrinterCalibration next = printedWith;
    next.scaleX = printedWith.scaleX * kReferenceLineMm / measured.lineXMm;
    next.scaleY = printedWith.scaleY * kReferenceLineMm / measured.lineYMm;
    if (measured.crossLeftMm)
        next.offsetXMm = printedWith.offsetXMm + printedWith.scaleX * kReferenceCrossMm -
                         (*measured.crossLeftMm - printableLeftMm) * next.scaleX;
    if (measured.crossTopMm)
        next.offsetYMm = printedWith.offsetYMm + printedWith.scaleY * kReferenceCrossMm -
                         (*measured.crossTopMm - printableTopMm) * next.scaleY;
    result.calibration = next;
    result.error = calibrationLimitError(next);
    result.ok = result.error.isEmpty();
    return result;
}

std::optional<PrinterCalibration> readPrinterCalibration(const QString& iniPath,
                                                         const QString& printerName)
{
    if (printerName.trimmed().isEmpty())
        return std::nullopt;
    const std::optional<PrinterCalibration> stored =
        decode(readProfileString(iniPath, QString::fromUtf16(kCalibrationSection), printerName));
    if (!stored || !calibrationLimitError(*stored).isEmpty())
        return std::nullopt;
    return stored;
}

bool storePrinterCalibration(const QString& iniPath, const QString& printerName,
                             const PrinterCalibration& calibration, QString* error)
{
    if (!usableName(printerName, error))
        return false;
    const QString refused = calibrationLimitError(calibration);
    if (!refused.isEmpty()) {
        if (error)
            *error = refused;
        return false;
    }
    QString why;
    if (!writeProfileString(iniPath, QString::fromUtf16(kCalibrationSection), printerName,
                            encode(calibration), &why)) {
        if (error)
            *error = QStringLiteral("cannot write the calibration of \"%1\" to %2: %3")
                         .arg(printerName, iniPath, why);
        return false;
    }
    return true;
}

bool resetPrinterCalibration(const QString& iniPath, const QString& printerName, QString* error)
{
    if (!usableName(printerName, error))
        return false;
    // Nothing stored: leave the file exactly as it is.
    if (readProfileString(iniPath, QString::fromUtf16(kCalibrationSection), printerName).isEmpty())
        return true;
    QString why;
    if (!writeProfileString(iniPath, QString::fromUtf16(kCalibrationSection), printerName,
                            QString(), &why)) {
        if (error)
            *error = QStringLiteral("cannot write the calibration of \"%1\" to %2: %3")
                         .arg(printerName, iniPath, why);
        return false;
    }
    return true;
}

QRectF placeSheetOnPage(const QSize& sheetPixels,
                        const std::optional<PrinterCalibration>& calibration)
{
    if (!calibration)
        return QRectF(0, 0, sheetPixels.width(), sheetPixels.height());
    return QRectF(calibration->offsetXMm * 10, calibration->offsetYMm * 10,
                  sheetPixels.width() * calibration->scaleX,
                  sheetPixels.height() * calibration->scaleY);
}

QString describeCalibration(const PrinterCalibration& c)
{
    return QStringLiteral("%1 % × %2 %, %3 mm / %4 mm")
        .arg(c.scaleX * 100, 0, 'f', 3)
        .arg(c.scaleY * 100, 0, 'f', 3)
        .arg(c.offsetXMm, 0, 'f', 2)
        .arg(c.offsetYMm, 0, 'f', 2);
}

} // namespace vellora

#include "printing/CalibrationSheet.h"

#include "core/ProgramFolder.h"
#include "printing/PrinterDevice.h"

#include <QFont>
#include <QPageLayout>
#include <QPainter>
#include <QPrinter>

#include <cmath>

namespace vellora {

namespace {

const QColor kRulerColour(0, 0, 0);
const QColor kSquareColour(0, 0, 255);
const QColor kCrossColour(255, 0, 0);
const QColor kTextColour(40, 40, 40);

// Lines are 0.2 mm wide and centred on their position, so a ruler reads the
// middle of a line where the sheet puts it.
constexpr int kLineWidth = 2;
constexpr int kTickMm = 20;
constexpr int kTickHalfCm = 35;
constexpr int kTickCm = 50;
constexpr int kCrossArm = 60;

void drawRulers(QPainter& p, const QSize& size)
{
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(28);
    p.setFont(font);
    for (int mm = 0; mm * 10 < size.width(); ++mm) {
        const int x = mm * 10;
        const int length = mm % 10 == 0 ? kTickCm : mm % 5 == 0 ? kTickHalfCm : kTickMm;
        p.fillRect(x - kLineWidth / 2, 0, kLineWidth, length, kRulerColour);
        if (mm % 10 == 0 && mm > 0)
            p.drawText(QRect(x - 40, kTickCm + 4, 80, 32), Qt::AlignCenter,
                       QString::number(mm / 10));
    }
    for (int mm = 0; mm * 10 < size.height(); ++mm) {
        const int y = mm * 10;
        const int length = mm % 10 == 0 ? kTickCm : mm % 5 == 0 ? kTickHalfCm : kTickMm;
        p.fillRect(0, y - kLineWidth / 2, length, kLineWidth, kRulerColour);
        if (mm % 10 == 0 && mm > 0)
            p.drawText(QRect(kTickCm + 4, y - 16, 60, 32), Qt::AlignLeft | Qt::AlignVCenter,
                       QString::number(mm / 10));
    }
}

void drawSquareAndCrosses(QPainter& p)
{
    const int near = int(kReferenceCrossMm * 10);
    const int far = int((kReferenceCrossMm + kReferenceLineMm) * 10);
    const int half = kLineWidth / 2;
    p.fillRect(near - half, near - half, far - near + kLineWidth, kLineWidth, kSquareColour);
    p.fillRect(near - half, far - half, far - near + kLineWidth, kLineWidth, kSquareColour);
    p.fillRect(near - half, near - half, kLineWidth, far - near + kLineWidth, kSquareColour);
    p.fillRect(far - half, near - half, kLineWidth, far - near + kLineWidth, kSquareColour);
    for (const int cx : {near, far}) {
        for (const int cy : {near, far}) {
            p.fillRect(cx - kCrossArm, cy - half, 2 * kCrossArm, kLineWidth, kCrossColour);
            p.fillRect(cx - half, cy - kCrossArm, kLineWidth, 2 * kCrossArm, kCrossColour);
        }
    }
}

QString mm(double value)
{
    return QString::number(value, 'f', 1);
}

void drawTexts(QPainter& p, const CalibrationSheetText& text)
{
    const double cross = kReferenceCrossMm;
    const QRectF& printable = text.page.printableMm;
    QStringList lines;
    lines << QStringLiteral("Vellora 打印机校准页")
          << QStringLiteral("打印机：%1").arg(text.printerName)
          << QStringLiteral("纸张：%1（%2 × %3 mm）")
                 .arg(text.page.paperName, mm(text.page.paperMm.width()),
                      mm(text.page.paperMm.height()))
          << QStringLiteral("可打印区域从纸左边 %1 mm、纸上边 %2 mm 起")
                 .arg(mm(printable.left()), mm(printable.top()))
          << QStringLiteral("日期：%1").arg(text.date.toString(Qt::ISODate))
          << (text.printedWith ? QStringLiteral("本页按已存的校准打印：")
                               : QStringLiteral("本页未经校准"));
    if (text.printedWith)
        lines << QStringLiteral("    ") + describeCalibration(*text.printedWith);
    lines << QString() << QStringLiteral("请用尺子测量十字中心：")
          << QStringLiteral("1. 左上与右上十字之间（应为 %1 mm）").arg(mm(kReferenceLineMm))
          << QStringLiteral("2. 左上与左下十字之间（应为 %1 mm）").arg(mm(kReferenceLineMm))
          << QStringLiteral("3. 左上十字到纸左边（应为 %1 mm）").arg(mm(printable.left() + cross))
          << QStringLiteral("4. 左上十字到纸上边（应为 %1 mm）").arg(mm(printable.top() + cross));
    QFont font(QStringLiteral("宋体"));
    font.setPixelSize(30);
    p.setFont(font);
    p.setPen(kTextColour);
    // Inside the square, clear of its lines and the crosses' arms.
    const int left = int(kReferenceCrossMm * 10) + 80;
    int top = int(kReferenceCrossMm * 10) + 90;
    const int width = int(kReferenceLineMm * 10) - 160;
    for (const QString& line : lines) {
        p.drawText(QRect(left, top, width, 44), Qt::AlignLeft | Qt::AlignVCenter, line);
        top += 52;
    }
}

} // namespace

PrinterPage describePrinterPage(const QString& printerName)
{
    PrinterPage page;
    QPrinter printer(QPrinter::HighResolution);
    printer.setPrinterName(printerName);
    if (printerName.isEmpty() || printer.printerName() != printerName || !printer.isValid()) {
        page.error = QStringLiteral("the printer \"%1\" is not known").arg(printerName);
        return page;
    }
    // As a print job sets it up: portrait, margins the printer's own.
    QPageLayout layout = printer.pageLayout();
    layout.setOrientation(QPageLayout::Portrait);
    layout.setMargins(layout.minimumMargins());
    page.paperName = layout.pageSize().name();
    page.paperMm = layout.fullRect(QPageLayout::Millimeter).size();
    page.printableMm = layout.paintRect(QPageLayout::Millimeter);
    page.ok = true;
    return page;
}

QImage drawCalibrationSheet(const QSize& pixels, const CalibrationSheetText& text)
{
    QImage sheet(pixels, QImage::Format_RGB32);
    if (sheet.isNull())
        return sheet;
    sheet.fill(Qt::white);
    QPainter p(&sheet);
    p.setPen(kRulerColour);
    drawRulers(p, pixels);
    drawSquareAndCrosses(p);
    drawTexts(p, text);
    return sheet;
}

PrintReport printCalibrationSheet(const QString& programFolder)
{
    PrintReport report;
    report.printerName = defaultPrinterName();
    if (report.printerName.isEmpty()) {
        report.error = QStringLiteral("there is no default printer");
        return report;
    }
    CalibrationSheetText text;
    text.printerName = report.printerName;
    text.page = describePrinterPage(report.printerName);
    if (!text.page.ok) {
        report.error = text.page.error;
        return report;
    }
    const QSize pixels(int(std::floor(text.page.printableMm.width() * 10 + 1e-6)),
                       int(std::floor(text.page.printableMm.height() * 10 + 1e-6)));
    if (pixels.width() < kCalibrationSheetMinSide || pixels.height() < kCalibrationSheetMinSide) {
        report.error =
            QStringLiteral("the printable area of \"%1\" (%2 × %3 mm) is smaller than "
                           "the calibration sheet (%4 × %4 mm)")
                .arg(report.printerName, mm(text.page.printableMm.width()),
                     mm(text.page.printableMm.height()), mm(kCalibrationSheetMinSide / 10.0));
        return report;
    }
    text.date = QDate::currentDate();
    text.printedWith = readPrinterCalibration(
        joinPath(programFolder, QString::fromUtf16(kConfigFileName)), report.printerName);
    return printSheetWithReport(drawCalibrationSheet(pixels, text), programFolder);
}

} // namespace vellora

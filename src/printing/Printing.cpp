#include "printing/Printing.h"

#include "core/AppState.h"
#include "core/ProgramFolder.h"
#include "core/SafeFile.h"
#include "printing/Calibration.h"
#include "printing/PrinterDevice.h"
#include "sheet/SheetJpegWriter.h"

#include <future>
#include <mutex>

namespace vellora {

namespace {

// The printer control holds one job at a time, whichever thread prints.
std::mutex& printLock()
{
    static std::mutex lock;
    return lock;
}

void keepUnprinted(const QImage& sheet, const QString& programFolder, PrintReport& report)
{
    const QString folder = joinPath(programFolder, QString::fromUtf16(kUnprintedFolderName));
    report.outcome = PrintOutcome::Lost;
    // Customers' photos: the folder and its sheets are for the operators'
    // group only, and a link planted in the folder's place is never written
    // through.
    QString why;
    const FileDescriptor kept = openTrustedFolder(folder, 02770, &why);
    if (!kept.isValid()) {
        report.error += QStringLiteral("; ") + why;
        return;
    }
    const JpegSaveResult saved = saveSheetAsJpegInFolder(sheet, kept.get(), folder + u'/', 1, 0660);
    if (!saved.ok) {
        report.error += QStringLiteral("; ") + saved.error;
        return;
    }
    report.outcome = PrintOutcome::SavedUnprinted;
    report.savedPath = saved.path;
}

} // namespace

PrintReport printSheetWithReport(const QImage& sheet, const QString& programFolder,
                                 const PrintDialogSeam& dialog, const HandOffRecord* record)
{
    std::lock_guard<std::mutex> guard(printLock());
    // The pixels need no printer: they are deflated while the printer is
    // asked for its paper.
    std::future<QByteArray> pixels =
        std::async(std::launch::async, [&sheet] { return deflatedSheetPixels(sheet); });
    PrintReport report;
    PrinterDevice device;
    const QStringList printers = record ? record->printers : QStringList();
    PrinterDevice::Start start = PrinterDevice::Start::Failed;
    QStringList passedOver;
    for (qsizetype i = 0; i < std::max<qsizetype>(printers.size(), 1); ++i) {
        if (!printers.isEmpty())
            device.choosePrinter(printers[i]);
        start = device.startJob(printers.isEmpty() ? dialog : PrintDialogSeam{});
        if (start != PrinterDevice::Start::Failed)
            break;
        passedOver << device.error();
    }
    report.printerName = device.printerName();
    if (start == PrinterDevice::Start::Cancelled) {
        // Unattended (a recorded hand-off), no printer at all: the sheet
        // waits in 未打印 like one a stopped printer could not take, rather
        // than being thrown away. Asked from a window, the user chose.
        report.outcome = PrintOutcome::Cancelled;
        if (!record || !record->keepWhenNotSent)
            return report;
        report.error = QStringLiteral("没有默认打印机");
        keepUnprinted(sheet, programFolder, report);
        return report;
    }
    if (start == PrinterDevice::Start::Started) {
        // The printer's own stretch and shift, when it has been calibrated.
        const QRectF place = placeSheetOnPage(
            sheet.size(),
            readPrinterCalibration(joinPath(programFolder, QString::fromUtf16(kConfigFileName)),
                                   device.printerName()));
        device.drawPicture(sheet.size(), pixels.get(), qRound(place.x()), qRound(place.y()),
                           qRound(place.width()), qRound(place.height()));
        if (!record) {
            if (device.endJob()) {
                report.outcome = PrintOutcome::Printed;
                report.jobId = device.jobId();
                return report;
            }
        } else {
            const QString printer = device.printerName();
            const PrinterDevice::HandOff handed = device.handOff([&](int jobId) {
                return !record->jobCreated || record->jobCreated(printer, jobId);
            });
            report.jobId = device.jobId();
            if (handed == PrinterDevice::HandOff::Sent) {
                if (record->documentSent)
                    record->documentSent();
                report.outcome = PrintOutcome::Printed;
                return report;
            }
            if (handed == PrinterDevice::HandOff::Unsure) {
                // The document broke off part-way: the scheduler alone knows
                // whether it has it. Kept only when it surely does not, so
                // that the sheet never prints twice.
                const JobReconciliation fate = reconcileJob(printer, report.jobId, false);
                if (fate.fate == JobReconciliation::Fate::AlreadyThere ||
                    fate.fate == JobReconciliation::Fate::Printed) {
                    if (record->documentSent)
                        record->documentSent();
                    report.outcome = PrintOutcome::Printed;
                    return report;
                }
                if (fate.fate != JobReconciliation::Fate::SendAgain) {
                    report.outcome = PrintOutcome::Lost;
                    report.unsure = true;
                    report.error =
                        device.error() + QStringLiteral("; ") + fate.reason +
                        QStringLiteral("（打印记录里留着作业号，下次开始监控时再问打印系统）");
                    return report;
                }
            }
        }
    }
    // The sheet never reached the printing system: keep it rather than lose it.
    passedOver.removeDuplicates();
    report.error = start == PrinterDevice::Start::Failed && passedOver.size() > 1
                       ? passedOver.join(QStringLiteral("；"))
                       : device.error();
    if (record && !record->keepWhenNotSent)
        return report;
    keepUnprinted(sheet, programFolder, report);
    return report;
}

PrintReport keepSheetUnprinted(const QImage& sheet, const QString& programFolder,
                               const QString& reason)
{
    PrintReport report;
    report.error = reason;
    keepUnprinted(sheet, programFolder, report);
    return report;
}

PrintOutcome printSheet(const QImage& sheet, const QString& programFolder,
                        const PrintDialogSeam& dialog)
{
    return printSheetWithReport(sheet, programFolder, dialog).outcome;
}

bool printPendingSheetNow(AppState& state)
{
    // Held throughout, so that no layout pass adds a copy between the snapshot
    // and the clearing (that copy would be wiped unprinted).
    std::lock_guard<std::recursive_mutex> passLock(state.layoutLock);
    if (!state.windows.monitoring.load() || state.windows.settingsShown.load() ||
        state.pendingSheet.filledCells == 0)
        return false;
    const QImage sheet = state.sheetSurface.snapshotImage();
    if (state.printSheet)
        state.printSheet(sheet);
    else
        printSheet(sheet, state.programFolder, state.printDialog);
    state.sheetSurface.clear();
    state.pendingSheet.filledCells = 0;
    state.pendingSheet.copiesLeft = 0;
    if (state.views.setPrintedLabelVisible)
        state.views.setPrintedLabelVisible(true);
    return true;
}

} // namespace vellora

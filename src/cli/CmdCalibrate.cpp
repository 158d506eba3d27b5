#include "cli/CommandLine.h"
#include "cli/Commands.h"

#include "core/ProgramFolder.h"
#include "printing/Calibration.h"
#include "printing/CalibrationSheet.h"
#include "printing/PrinterDevice.h"

#include <QHash>
#include <cstdio>

namespace vellora::cli {

namespace {

int usageError(const QString& message)
{
    printError(QStringLiteral("calibrate: ") + message);
    printError(QStringLiteral(
        "usage: vellora-cli calibrate [--printer NAME] (--print | --show | --reset |\n"
        "         --measured-x MM --measured-y MM [--offset-x MM] [--offset-y MM])\n"
        "  --measured-x/-y: the measured distance between the crosses of the calibration\n"
        "  sheet's 100 mm lines; --offset-x/-y: the measured distance of its upper-left\n"
        "  cross from the paper's left/top edge. NAME defaults to the default printer."));
    return 2;
}

void printLine(const QString& text)
{
    std::fprintf(stdout, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

} // namespace

// The printer's calibration: print the calibration sheet, show, reset, or
// derive and store it from what was measured on the sheet.
int runCalibrate(const QStringList& args)
{
    CommandLine line(
        {QCommandLineOption(QStringLiteral("printer"), QString(), QStringLiteral("NAME")),
         QCommandLineOption(QStringLiteral("print")), QCommandLineOption(QStringLiteral("show")),
         QCommandLineOption(QStringLiteral("reset")),
         QCommandLineOption(QStringLiteral("measured-x"), QString(), QStringLiteral("MM")),
         QCommandLineOption(QStringLiteral("measured-y"), QString(), QStringLiteral("MM")),
         QCommandLineOption(QStringLiteral("offset-x"), QString(), QStringLiteral("MM")),
         QCommandLineOption(QStringLiteral("offset-y"), QString(), QStringLiteral("MM"))},
        0);
    if (!line.parse(args))
        return usageError(QStringLiteral("unexpected argument '%1'").arg(line.unexpected()));
    QString printer = line.value(QStringLiteral("printer"));
    const bool print = line.isSet(QStringLiteral("print"));
    const bool show = line.isSet(QStringLiteral("show"));
    const bool reset = line.isSet(QStringLiteral("reset"));
    std::optional<double> lengths[2];
    std::optional<double> crosses[2];
    // In argument order, so that the first bad measure is the one reported.
    QHash<QString, int> seen;
    for (const QString& a : args) {
        if (!a.startsWith(u"--"))
            continue;
        const QString name = a.mid(2).section(u'=', 0, 0);
        std::optional<double>* into = name == u"measured-x"   ? &lengths[0]
                                      : name == u"measured-y" ? &lengths[1]
                                      : name == u"offset-x"   ? &crosses[0]
                                      : name == u"offset-y"   ? &crosses[1]
                                                              : nullptr;
        if (!into)
            continue;
        const QString text = line.values(name).value(seen[name]++);
        bool ok = false;
        const double value = text.toDouble(&ok);
        if (!ok)
            return usageError(QStringLiteral("%1 needs millimetres, not '%2'")
                                  .arg(QStringLiteral("--") + name, text));
        *into = value;
    }
    const bool measuring = lengths[0] || lengths[1] || crosses[0] || crosses[1];
    if (int(print) + int(show) + int(reset) + int(measuring) != 1)
        return usageError(QStringLiteral("give one of --print, --show, --reset and the measures"));
    if (measuring && !(lengths[0] && lengths[1]))
        return usageError(QStringLiteral("give both --measured-x and --measured-y"));

    const QString folder = executableFolder();
    const QString iniPath = joinPath(folder, QString::fromUtf16(kConfigFileName));
    const QString defaultPrinter = defaultPrinterName();
    if (printer.isEmpty())
        printer = defaultPrinter;
    if (printer.isEmpty()) {
        printError(QStringLiteral("calibrate: there is no default printer; name one with "
                                  "--printer"));
        return 1;
    }

    if (print) {
        // Calibration sheets go the way every sheet goes: to the default printer.
        if (printer != defaultPrinter) {
            printError(QStringLiteral("calibrate: sheets print on the default printer (%1); make "
                                      "\"%2\" the default first")
                           .arg(defaultPrinter, printer));
            return 1;
        }
        const PrintReport report = printCalibrationSheet(folder);
        if (report.outcome != PrintOutcome::Printed) {
            printError(QStringLiteral("calibrate: the calibration sheet was not printed: %1%2")
                           .arg(report.error,
                                report.savedPath.isEmpty()
                                    ? QString()
                                    : QStringLiteral(" (kept as %1)").arg(report.savedPath)));
            return 1;
        }
        printError(QStringLiteral("calibrate: calibration sheet printed on %1, job %2")
                       .arg(report.printerName)
                       .arg(report.jobId));
        return 0;
    }
    if (show) {
        const std::optional<PrinterCalibration> stored = readPrinterCalibration(iniPath, printer);
        printLine(QStringLiteral("%1: %2").arg(printer, stored ? describeCalibration(*stored)
                                                               : QStringLiteral("not calibrated")));
        return 0;
    }
    QString error;
    if (reset) {
        if (!resetPrinterCalibration(iniPath, printer, &error)) {
            printError(QStringLiteral("calibrate: ") + error);
            return 1;
        }
        printLine(QStringLiteral("%1: not calibrated").arg(printer));
        return 0;
    }

    CalibrationMeasurement measured;
    measured.lineXMm = *lengths[0];
    measured.lineYMm = *lengths[1];
    measured.crossLeftMm = crosses[0];
    measured.crossTopMm = crosses[1];
    PrinterPage page;
    if (crosses[0] || crosses[1]) {
        // The crosses were measured from the paper's edges; where the printable
        // area begins on it is the printer's to say.
        page = describePrinterPage(printer);
        if (!page.ok) {
            printError(QStringLiteral("calibrate: ") + page.error);
            return 1;
        }
    }
    const CalibrationResult result = deriveCalibration(
        measured, readPrinterCalibration(iniPath, printer).value_or(PrinterCalibration{}),
        page.printableMm.left(), page.printableMm.top());
    printLine(QStringLiteral("%1: %2").arg(printer, describeCalibration(result.calibration)));
    if (!result.ok) {
        printError(QStringLiteral("calibrate: not stored: ") + result.error);
        return 1;
    }
    if (!storePrinterCalibration(iniPath, printer, result.calibration, &error)) {
        printError(QStringLiteral("calibrate: not stored: ") + error);
        return 1;
    }
    return 0;
}

} // namespace vellora::cli

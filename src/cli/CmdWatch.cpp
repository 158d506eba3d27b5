#include "cli/CommandLine.h"
#include "cli/Commands.h"

#include "app/Startup.h"
#include "core/AppState.h"
#include "core/ProgramFolder.h"
#include "monitor/MonitorControl.h"
#include "monitor/MonitorCycle.h"
#include "monitor/MonitorJournal.h"
#include "monitor/MonitorTimer.h"
#include "printing/Printing.h"
#include "sheet/TemplateLoader.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vellora::cli {

namespace {

int g_signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto n = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

// SIGINT and SIGTERM end the event loop through a self-pipe, so the watch is
// stopped on the main thread like any pause.
bool installStopSignals()
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPipe) != 0)
        return false;
    struct sigaction action
    {
    };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

QString stamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz"));
}

void log(const QString& message)
{
    printError(stamp() + QStringLiteral(" watch: ") + message);
}

QString outcomeText(PrintOutcome outcome)
{
    switch (outcome) {
    case PrintOutcome::Printed:
        return QStringLiteral("handed to the printer");
    case PrintOutcome::Cancelled:
        return QStringLiteral("not printed: no default printer");
    case PrintOutcome::SavedUnprinted:
        return QStringLiteral("not printed: saved in the folder 未打印 beside the program");
    case PrintOutcome::Lost:
        return QStringLiteral("LOST: could neither print nor save it");
    }
    return {};
}

} // namespace

// The hot folder without windows: the watcher, the queue and the tick of the
// main window's monitoring, printing every full sheet.
int runWatch(const QStringList& args)
{
    CommandLine line(
        {QCommandLineOption(QStringLiteral("template"), QString(), QStringLiteral("NAME")),
         QCommandLineOption(QStringLiteral("template-json"), QString(), QStringLiteral("FILE")),
         QCommandLineOption(QStringLiteral("store"), QString(), QStringLiteral("PATH")),
         QCommandLineOption(QStringLiteral("poll")),
         QCommandLineOption(QStringLiteral("no-leases")),
         QCommandLineOption(QStringLiteral("catch-up")),
         QCommandLineOption(QStringLiteral("printer"), QString(), QStringLiteral("NAME")),
         QCommandLineOption(QStringLiteral("verbose"))},
        1);
    if (!line.parse(args)) {
        printError(QStringLiteral("watch: unexpected argument '%1'").arg(line.unexpected()));
        return 2;
    }
    const QString folder = line.positional().value(0);
    const QString templateName = line.value(QStringLiteral("template"));
    const QString templateJson = line.value(QStringLiteral("template-json"));
    const QString store = line.value(QStringLiteral("store"));
    const bool verbose = line.isSet(QStringLiteral("verbose"));
    WatchOptions options;
    options.forcePolling = line.isSet(QStringLiteral("poll"));
    options.noLeases = line.isSet(QStringLiteral("no-leases"));
    if (folder.isEmpty() || templateName.isEmpty() == templateJson.isEmpty()) {
        printError(QStringLiteral("watch: FOLDER and one of --template NAME or --template-json "
                                  "FILE are required"));
        return 2;
    }

    AppState state;
    initialiseAppState(state, executableFolder());
    state.monitorQueue = {QString()};
    state.fatalError = [](int code, const QString& message) {
        printError(
            QStringLiteral("watch: 运行时出错! 错误代码：%1 错误信息：%2").arg(code).arg(message));
        std::exit(3);
    };
    if (!store.isEmpty())
        state.storePathOverride = store;
    if (!templateName.isEmpty()) {
        if (!loadTemplateByName(state, templateName)) {
            printError(QStringLiteral("watch: %1 (no template '%2' in %3)")
                           .arg(QString::fromUtf16(kTemplateMissingMessage), templateName,
                                state.storePath()));
            return 1;
        }
    } else {
        LayoutTemplate loaded;
        QString error;
        if (!readTemplateJsonFile(templateJson, loaded, &error)) {
            printError(QStringLiteral("watch: ") + error);
            return 1;
        }
        state.currentTemplate = loaded;
    }
    useTemplateHeadless(state, state.currentTemplate);
    const LayoutTemplate& t = state.currentTemplate;
    const qint64 cells = qint64(t.size1.countAcross) * t.size1.countDown;
    if (t.paperWidth <= 0 || t.paperHeight <= 0 || cells <= 0 ||
        (t.twoSize == 0 && t.outputCount <= 0)) {
        printError(QStringLiteral("watch: the template lays out nothing (paper %1×%2, %3 cells, "
                                  "%4 copies per photo)")
                       .arg(t.paperWidth)
                       .arg(t.paperHeight)
                       .arg(cells)
                       .arg(t.outputCount));
        return 1;
    }

    if (!installStopSignals()) {
        printError(QStringLiteral("watch: cannot install the signal handlers"));
        return 1;
    }

    MonitorTimer timer;
    int sheets = 0;
    int photos = 0;
    // Sheets by what became of them. Handed over is not printed: only a job
    // the printing system completed is. A kept sheet printed later counts as
    // kept and as printed, as it was both.
    int printed = 0;
    int handed = 0;
    int kept = 0;
    int held = 0;
    int lost = 0;
    QHash<QPair<QString, int>, QString> jobSheets; // printer and job → the sheet as logged
    state.printSheet = [&](const QImage& sheet) {
        ++sheets;
        const PrintReport report =
            state.journal ? state.journal->printSheet(sheet)
                          : printSheetWithReport(sheet, state.programFolder, state.printDialog);
        state.lastSheetPrinted = report.outcome == PrintOutcome::Printed;
        if (report.outcome == PrintOutcome::Printed)
            ++handed;
        else if (report.outcome == PrintOutcome::SavedUnprinted)
            ++kept;
        else
            ++lost;
        QString line = QStringLiteral("sheet %1 %2").arg(sheets).arg(outcomeText(report.outcome));
        if (report.outcome == PrintOutcome::Printed) {
            line += QStringLiteral(" \"%1\" as job %2").arg(report.printerName).arg(report.jobId);
            jobSheets.insert({report.printerName, report.jobId},
                             QStringLiteral("sheet %1").arg(sheets));
        }
        if (!report.savedPath.isEmpty())
            line += QStringLiteral(" as ") + report.savedPath;
        if (report.outcome != PrintOutcome::Printed && !report.error.isEmpty())
            line += QStringLiteral(" (") + report.error + u')';
        log(line);
    };
    int skipped = 0;
    QString lastHold;
    TickObserver observer;
    observer.photo = [verbose, &photos](const QString& entry) {
        ++photos;
        if (verbose)
            log(QStringLiteral("photo %1 %2").arg(photos).arg(entry));
    };
    observer.skipped = [&skipped](const QString& entry, const QString& reason) {
        ++skipped;
        log(QStringLiteral("not laid out: %1 (%2)").arg(entry, reason));
    };
    observer.holding = [&lastHold](const QString& reason) {
        if (reason != lastHold)
            log(QStringLiteral("holding the queue: ") + reason);
        lastHold = reason;
    };
    const auto waitingPrinted = [&](const LedgerSheet& sheet, const PrintReport& report) {
        ++handed;
        const QString name = QStringLiteral("kept sheet %1 of the print record").arg(sheet.id);
        jobSheets.insert({report.printerName, report.jobId}, name);
        log(QStringLiteral("%1 (%2) handed to the printer \"%3\" as job %4")
                .arg(name, sheet.keptPath, report.printerName)
                .arg(report.jobId));
    };
    const auto jobEnded = [&](const LedgerSheet& sheet, MonitorJournal::JobEnd end,
                              const QString& reason) {
        const QString name =
            jobSheets.value({sheet.printer, sheet.jobId},
                            QStringLiteral("sheet %1 of the print record").arg(sheet.id));
        switch (end) {
        case MonitorJournal::JobEnd::Printed:
            ++printed;
            log(QStringLiteral("%1 printed (job %2 on \"%3\" completed)")
                    .arg(name)
                    .arg(sheet.jobId)
                    .arg(sheet.printer));
            break;
        case MonitorJournal::JobEnd::SentAgain:
            log(QStringLiteral("%1: job %2 on \"%3\" came to nothing; sent once more")
                    .arg(name)
                    .arg(sheet.jobId)
                    .arg(sheet.printer));
            break;
        case MonitorJournal::JobEnd::Held:
            ++held;
            log(QStringLiteral("%1 held for the operator: %2 (vellora-cli reprint --sheet %3 "
                               "prints it again)")
                    .arg(name, reason)
                    .arg(sheet.id));
            break;
        }
    };

    QObject::connect(&timer, &MonitorTimer::tick,
                     [&state, &timer, &observer] { monitorTick(state, timer, observer); });
    const ArmMonitorTimer arm = [&timer] { timer.requestPeriod(500); };

    state.journal = std::make_shared<MonitorJournal>(state);
    state.journal->setWaitingSheetPrinted(waitingPrinted);
    state.journal->setJobEnded(jobEnded);
    // Given here, the printers in order (the main one, then its backups)
    // stand instead of 配置.ini's.
    state.journal->setPrinters(line.values(QStringLiteral("printer")));
    QString problem;
    MonitorRecovery recovery;
    if (!startMonitoringCore(state, folder, arm, options, &problem, &recovery)) {
        if (watchProblem(folder).isEmpty()) // the folder is fine: another monitor has it
            printError(QStringLiteral("watch: 监视失败：") + problem);
        else
            printError(QStringLiteral("watch: 监视失败：%1 (%2 is not a folder that can be read "
                                      "and written)")
                           .arg(problem, folder));
        return 1;
    }
    log(QStringLiteral("watching %1 (%2) with template '%3', %4 copies per photo; "
                       "SIGINT or SIGTERM stops")
            .arg(folder,
                 state.watchHandle->isPolling() || options.forcePolling ? QStringLiteral("polling")
                                                                        : QStringLiteral("inotify"),
                 t.name)
            .arg(t.outputCount));
    if (const QStringList printers = state.journal->printersInTurn(); printers.size() > 1)
        log(QStringLiteral("printing on \"%1\"; when it cannot print, on \"%2\"")
                .arg(printers.first(), printers.mid(1).join(QStringLiteral("\", \""))));
    if (const QString taken = recovery.summary(); !taken.isEmpty())
        log(QStringLiteral("taken up from the print ledger: ") + taken);
    if (!recovery.arrivedWhileClosed.isEmpty()) {
        if (line.isSet(QStringLiteral("catch-up"))) {
            log(QStringLiteral(
                    "%1 photos arrived while nobody watched; laying them out (--catch-up)")
                    .arg(recovery.arrivedWhileClosed.size()));
            state.journal->catchUp(recovery.arrivedWhileClosed);
            arm();
        } else {
            log(QStringLiteral("%1 photos arrived while nobody watched; not printed (--catch-up "
                               "prints them)")
                    .arg(recovery.arrivedWhileClosed.size()));
        }
    }

    int status = 0;
    QSocketNotifier stopNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, [] {
        char buffer[16];
        while (read(g_signalPipe[0], buffer, sizeof buffer) > 0) {
        }
        QCoreApplication::quit();
    });
    // A folder deleted (or unmounted) is waited for; the log says so.
    QTimer health;
    bool away = false;
    WatchGaps gapsTold;
    QObject::connect(&health, &QTimer::timeout, [&state, &away, &folder, &gapsTold] {
        const bool running = !state.watchHandle || state.watchHandle->isRunning();
        const WatchGaps gaps = state.watchHandle ? state.watchHandle->gaps() : WatchGaps{};
        if (!(gaps == gapsTold)) {
            gapsTold = gaps;
            log(gaps.folders > 0 ? QStringLiteral("cannot watch: ") + watchGapsNotice(gaps)
                                 : QStringLiteral("every folder is watched again"));
        }
        if (running == !away)
            return;
        away = !running;
        if (away)
            log(QStringLiteral("%1 went away (%2); waiting for it to come back")
                    .arg(folder, watchProblem(folder)));
        else
            log(QStringLiteral("%1 is back; watching it again").arg(folder));
    });
    health.start(1000);

    QCoreApplication::exec();

    pauseMonitoringCore(state);
    int waiting = 0;
    {
        std::lock_guard<std::mutex> lock(state.queueLock);
        waiting = int(state.monitorQueue.size()) - 1;
    }
    // Jobs that ended since they were last asked about are counted too.
    int atThePrinter = handed - printed;
    int waitingSheets = kept;
    if (state.journal && state.journal->isRecording()) {
        state.journal->settleJobsNow();
        atThePrinter = int(state.journal->ledger().sheetsAtThePrinter().value.size());
        waitingSheets = state.journal->waitingSheets();
    }
    log(QStringLiteral("stopped: %1 photos laid out, %2 sheets printed, %3 at the printer, %4 "
                       "kept in 未打印, %5 waiting for the printer, %6 held for the operator, %7 "
                       "lost, %8 cells on the unprinted sheet, %9 photos not yet laid out, %10 "
                       "files not laid out")
            .arg(photos)
            .arg(printed)
            .arg(atThePrinter)
            .arg(kept)
            .arg(waitingSheets)
            .arg(held)
            .arg(lost)
            .arg(state.pendingSheet.filledCells)
            .arg(waiting)
            .arg(skipped));
    return status;
}

} // namespace vellora::cli

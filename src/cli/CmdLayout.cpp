#include "cli/CommandLine.h"
#include "cli/Commands.h"

#include "app/Startup.h"
#include "batch/BatchJob.h"
#include "core/AppState.h"
#include "core/ProgramFolder.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <cstdio>

namespace vellora::cli {

namespace {

// The stop flag the interrupt handler sets; an atomic<bool> is lock-free, so
// setting it from a signal handler is safe.
std::atomic<bool>* g_stopFlag = nullptr;

extern "C" void requestStop(int)
{
    if (g_stopFlag != nullptr)
        g_stopFlag->store(true);
}

// The batch window on a console: the photos come from the arguments, what the
// window would show goes to stderr, nothing is ever locked.
class ConsoleBatchView : public BatchJobView
{
public:
    ConsoleBatchView(QString folder, QString templateName, BatchOutputMode mode, QString photos)
        : m_folder(std::move(folder)), m_templateName(std::move(templateName)), m_mode(mode),
          m_photos(std::move(photos))
    {
    }

    QString saveFolder() override { return m_folder; }
    QString templateName() override { return m_templateName; }
    BatchOutputMode outputMode() override { return m_mode; }
    void showError(const QString& message) override
    {
        printError(QStringLiteral("layout: ") + message);
    }
    void lockControls() override {}
    void unlockControls() override {}
    QString choosePhotoFiles() override { return m_photos; }
    void showPhotoCount(int count) override
    {
        m_count = count;
        printError(QStringLiteral("layout: %1 photos").arg(count));
    }
    void showCurrentPhoto(const QString& path) override { m_current = path; }
    void showProgress(int percent) override
    {
        printError(QStringLiteral("[%1%] %2").arg(percent, 3).arg(m_current));
    }
    void jobEnded(const BatchJobReport& report) override
    {
        if (report.refused)
            return;
        printError(QStringLiteral(
                       "layout: %1 of %2 photos laid out, %3 unreadable, %4 sheets, %5 failed%6")
                       .arg(report.photosDone - report.photosUnreadable)
                       .arg(report.photos)
                       .arg(report.photosUnreadable)
                       .arg(report.sheetsOutput)
                       .arg(report.sheetsFailed)
                       .arg(report.stopped ? QStringLiteral(" (stopped)") : QString()));
        const QString failures = batchFailureMessage(report);
        if (!failures.isEmpty())
            printError(QStringLiteral("layout: ") + failures);
    }

private:
    QString m_folder;
    QString m_templateName;
    BatchOutputMode m_mode;
    QString m_photos;
    QString m_current;
    int m_count = 0;
};

int usageError(const QString& message)
{
    printError(QStringLiteral("layout: ") + message);
    printError(QStringLiteral("usage: vellora-cli layout (--template NAME [--store PATH] | "
                              "--template-json FILE) (--out DIR | --print) PHOTO..."));
    return 2;
}

} // namespace

// The batch job without a window: the photos of the command line laid out on
// sheets saved as JPEG into a folder, or printed. Interrupting stops after the
// current photo, as the stop button does.
int runLayout(const QStringList& args)
{
    // Photos may follow a "--", so that a name that starts with "--" is a photo.
    CommandLine line(
        {QCommandLineOption(QStringLiteral("template"), QString(), QStringLiteral("NAME")),
         QCommandLineOption(QStringLiteral("template-json"), QString(), QStringLiteral("FILE")),
         QCommandLineOption(QStringLiteral("store"), QString(), QStringLiteral("PATH")),
         QCommandLineOption(QStringLiteral("out"), QString(), QStringLiteral("DIR")),
         QCommandLineOption(QStringLiteral("print"))},
        CommandLine::kAnyNumber, true);
    if (!line.parse(args))
        return usageError(QStringLiteral("unexpected argument '%1'").arg(line.unexpected()));
    QString templateName = line.value(QStringLiteral("template"));
    const QString templateJson = line.value(QStringLiteral("template-json"));
    const QString store = line.value(QStringLiteral("store"));
    const QString outDir = line.value(QStringLiteral("out"));
    const bool print = line.isSet(QStringLiteral("print"));
    QStringList photos = line.positional();
    if (templateName.isEmpty() == templateJson.isEmpty())
        return usageError(QStringLiteral("give one of --template NAME and --template-json FILE"));
    if (outDir.isEmpty() == !print)
        return usageError(QStringLiteral("give one of --out DIR and --print"));
    if (photos.isEmpty())
        return usageError(QStringLiteral("no photos given"));
    for (const QString& photo : std::as_const(photos)) {
        // The job takes its photos as one text split at ";".
        if (photo.contains(u';'))
            return usageError(
                QStringLiteral("a photo path with ';' cannot be laid out: %1").arg(photo));
    }

    AppState state;
    initialiseAppState(state, executableFolder());
    if (!store.isEmpty())
        state.storePathOverride = QFileInfo(store).absoluteFilePath();
    if (!templateJson.isEmpty()) {
        QString error;
        LayoutTemplate loaded;
        if (!readTemplateJsonFile(templateJson, loaded, &error)) {
            printError(QStringLiteral("layout: ") + error);
            return 1;
        }
        useTemplateHeadless(state, loaded);
        templateName =
            loaded.name.isEmpty() ? QFileInfo(templateJson).completeBaseName() : loaded.name;
    } else {
        QString error;
        if (!loadTemplateFromStore(state, state.storePath(), templateName, &error)) {
            printError(QStringLiteral("layout: ") + error);
            return 1;
        }
    }

    QString folder;
    if (!print) {
        folder = QFileInfo(outDir).absoluteFilePath();
        if (!endsWithSeparator(folder))
            folder += u'/';
    }
    for (QString& photo : photos)
        photo = QFileInfo(photo).absoluteFilePath();

    ConsoleBatchView view(folder.isEmpty() ? QStringLiteral("/") : folder, templateName,
                          print ? BatchOutputMode::Print : BatchOutputMode::Save,
                          photos.join(u';'));
    BatchJobContext context;
    context.jobLock = std::make_shared<std::mutex>();
    context.sheetDone = [](const BatchSheetOutcome& sheet) {
        const QString what = sheet.mode == BatchOutputMode::Save ? QStringLiteral("saved")
                                                                 : QStringLiteral("printed");
        if (sheet.ok)
            printError(QStringLiteral("sheet %1 %2 %3").arg(sheet.index).arg(what, sheet.path));
        else
            printError(
                QStringLiteral("sheet %1 NOT %2: %3").arg(sheet.index).arg(what, sheet.error));
    };

    g_stopFlag = &state.batchControl.stopRequested;
    struct sigaction action
    {
    };
    struct sigaction previous
    {
    };
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previous);
    const BatchJobReport report = runBatchJob(state, view, context);
    sigaction(SIGINT, &previous, nullptr);
    g_stopFlag = nullptr;

    if (report.refused || report.sheetsFailed > 0 || report.photosUnreadable > 0)
        return 1;
    if (report.stopped)
        return 130;
    return 0;
}

} // namespace vellora::cli

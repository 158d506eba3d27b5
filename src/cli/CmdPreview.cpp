#include "cli/CommandLine.h"
#include "cli/Commands.h"

#include "app/Startup.h"
#include "core/AppState.h"
#include "core/ProgramFolder.h"
#include "sheet/SheetRenderer.h"

#include <QFile>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonObject>

namespace vellora::cli {

// One whole-sheet pass, as the settings window draws it, written as PNG.
int runPreview(const QStringList& args)
{
    CommandLine line(
        {QCommandLineOption(QStringLiteral("template-json"), QString(), QStringLiteral("FILE")),
         QCommandLineOption(QStringLiteral("template"), QString(), QStringLiteral("NAME")),
         QCommandLineOption(QStringLiteral("store"), QString(), QStringLiteral("PATH")),
         QCommandLineOption(QStringLiteral("photo"), QString(), QStringLiteral("PATH")),
         QCommandLineOption(QStringLiteral("out"), QString(), QStringLiteral("FILE"))},
        0);
    if (!line.parse(args)) {
        printError(QStringLiteral("preview: unexpected argument '%1'").arg(line.unexpected()));
        return 2;
    }
    const QString templateJson = line.value(QStringLiteral("template-json"));
    const QString templateName = line.value(QStringLiteral("template"));
    const QString store = line.value(QStringLiteral("store"));
    const QString photo = line.value(QStringLiteral("photo"));
    const QString out = line.value(QStringLiteral("out"));
    if (templateJson.isEmpty() == templateName.isEmpty() || out.isEmpty()) {
        printError(QStringLiteral("preview: one of --template-json FILE or --template NAME, and "
                                  "--out FILE.png, are required"));
        return 2;
    }

    AppState state;
    initialiseAppState(state, executableFolder());
    QString error;
    if (!templateName.isEmpty()) {
        if (!loadTemplateFromStore(state, store.isEmpty() ? defaultStorePath() : store,
                                   templateName, &error)) {
            printError(QStringLiteral("preview: ") + error);
            return 1;
        }
    } else if (!readTemplateJsonFile(templateJson, state.currentTemplate, &error)) {
        printError(QStringLiteral("preview: ") + error);
        return 1;
    }
    return renderPreviewToPng(state, photo, out);
}

} // namespace vellora::cli

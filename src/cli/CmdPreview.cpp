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
    QString templateJson;
    QString templateName;
    QString store;
    QString photo;
    QString out;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == u"--template-json" && hasValue)
            templateJson = args[++i];
        else if (a == u"--template" && hasValue)
            templateName = args[++i];
        else if (a == u"--store" && hasValue)
            store = args[++i];
        else if (a == u"--photo" && hasValue)
            photo = args[++i];
        else if (a == u"--out" && hasValue)
            out = args[++i];
        else {
            printError(QStringLiteral("preview: unexpected argument '%1'").arg(a));
            return 2;
        }
    }
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

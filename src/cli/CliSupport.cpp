#include "cli/Commands.h"

#include "app/Startup.h"
#include "core/AppState.h"
#include "sheet/SheetRenderer.h"

#include <QFile>
#include <QImageWriter>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace vellora::cli {

void printError(const QString& message)
{
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
}

bool readTemplateJsonFile(const QString& path, LayoutTemplate& out, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!doc.isObject()) {
        *error = QStringLiteral("%1 is not a template JSON object: %2")
                     .arg(path, parseError.errorString());
        return false;
    }
    return templateFromJson(doc.object(), out, error);
}

int renderPreviewToPng(AppState& state, const QString& photo, const QString& out)
{
    useTemplateHeadless(state, state.currentTemplate);
    state.currentPhotoPath = photo.isEmpty() ? state.samplePhotoPath() : photo;
    state.windows.settingsShown = true;
    QImage sheet;
    state.views.showOnSettingsBoard = [&sheet](const QImage& picture) { sheet = picture; };
    layOutCurrentPhoto(state);
    if (sheet.isNull()) {
        printError(QStringLiteral("preview: the template's paper size is empty"));
        return 1;
    }
    QImageWriter writer(out, "png");
    if (!writer.write(sheet)) {
        printError(QStringLiteral("preview: cannot write %1: %2").arg(out, writer.errorString()));
        return 1;
    }
    return 0;
}

} // namespace vellora::cli

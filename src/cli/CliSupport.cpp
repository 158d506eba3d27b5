#include "cli/Commands.h"

#include "app/AppState.h"
#include "app/Startup.h"
#include "sheet/SheetRenderer.h"

#include <QImageWriter>

#include <cstdio>

namespace vellora::cli {

void printError(const QString& message)
{
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
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

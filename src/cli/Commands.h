#pragma once

#include <QStringList>
#include <QTextStream>

namespace vellora {
struct AppState;
}

namespace vellora::cli {

// Each command takes the arguments after its name and returns the exit status.
int runPreview(const QStringList& args);

// One whole-sheet pass of the current template (as the settings window draws
// it) from photo, or the sample photo when empty, written to a PNG file.
int renderPreviewToPng(AppState& state, const QString& photo, const QString& out);

// One line on stderr.
void printError(const QString& message);

} // namespace vellora::cli

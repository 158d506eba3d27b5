#pragma once

#include <QStringList>
#include <QTextStream>

namespace vellora {
struct AppState;
struct LayoutTemplate;
} // namespace vellora

namespace vellora::cli {

// Each command takes the arguments after its name and returns the exit status.
int runPreview(const QStringList& args);
// The hot folder, headless: vellora-cli watch FOLDER (--template NAME [--store PATH] |
// --template-json FILE) [--poll] [--verbose].
int runWatch(const QStringList& args);
int runLayout(const QStringList& args);
int runTemplates(const QStringList& args);
// A printer's calibration: vellora-cli calibrate [--printer NAME] (--print | --show | --reset |
// --measured-x MM --measured-y MM [--offset-x MM] [--offset-y MM]).
int runCalibrate(const QStringList& args);
// 加印: vellora-cli reprint PHOTO-OR-NUMBER [--copies N].
int runReprint(const QStringList& args);
// The print history: vellora-cli history [--since DATE] [--number N] [--json].
int runHistory(const QStringList& args);

// The store a command reads: --store PATH, or sj.edb beside the executable.
QString defaultStorePath();
// Makes the template named name in the store at storePath current, headless.
// False with a one-line message when the store or the name is not there; a
// stored value of the wrong kind ends the process with the fatal report.
bool loadTemplateFromStore(AppState& state, const QString& storePath, const QString& name,
                           QString* error);

// One whole-sheet pass of the current template (as the settings window draws
// it) from photo, or the sample photo when empty, written to a PNG file.
int renderPreviewToPng(AppState& state, const QString& photo, const QString& out);

// A template from a JSON file whose keys are the column names.
bool readTemplateJsonFile(const QString& path, LayoutTemplate& out, QString* error);

// One line on stderr.
void printError(const QString& message);

} // namespace vellora::cli

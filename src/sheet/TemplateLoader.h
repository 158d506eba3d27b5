#pragma once

#include "core/LayoutTemplate.h"
#include "core/Messages.h"
#include "templates/TemplateFile.h"

#include <QString>
#include <QStringList>

namespace vellora {

struct AppState;

// The names of all templates in storage order, up to the first empty name.
// A missing, foreign or damaged file gives an empty list.
QStringList listTemplateNames(const QString& storePath);

// Finds the first row named exactly `name` (byte-wise) and makes it current:
// templateLoading is set, the row is applied (through state.applyLoadedTemplate
// when a settings window has set it, otherwise headless), templateLoading is
// cleared, the preview is redrawn with layOutCurrentPhoto and templateModified
// cleared. Returns false when the file cannot be opened or the name is not
// there, or a row met on the way cannot be read; nothing changes then and the
// caller shows kTemplateMissingMessage.
// A column of the wrong kind calls state.fatalError (code 5 or 2).
bool loadTemplateByName(AppState& state, const QString& name);

// Writes currentTemplate (with the radio states the caller passes in it:
// centred, landscape, number flags) as the row `name`, replacing the first row
// of that name or appending one, in one transaction; creates the file when it
// is missing. Afterwards templateModified is false. Returns false with a
// message when the file cannot be written.
bool saveTemplate(AppState& state, const QString& name, QString* error = nullptr);

// Deletes the first row named `name`. Returns false when there was none or the
// file could not be written.
bool deleteTemplate(const QString& storePath, const QString& name, QString* error = nullptr);

} // namespace vellora

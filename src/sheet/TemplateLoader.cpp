#include "sheet/TemplateLoader.h"

#include "core/AppState.h"
#include "core/FatalError.h"
#include "sheet/SheetRenderer.h"
#include "templates/TemplateFile.h"

namespace vellora {

QStringList listTemplateNames(const QString& storePath)
{
    QStringList names;
    // A file that cannot be opened, or a row that cannot be read, lists nothing.
    readTemplateNames(storePath, names, nullptr);
    return names;
}

bool loadTemplateByName(AppState& state, const QString& name)
{
    LayoutTemplate row;
    ColumnKindError kindError;
    switch (findTemplateByName(state.storePath(), name, row, &kindError)) {
    case FindResult::Found:
        break;
    case FindResult::NotFound:
    case FindResult::Unreadable:
        return false;
    case FindResult::WrongKind:
        // When the hook returns (tests) the load is abandoned: nothing changed.
        raiseFatalError(state, kindError.code, kindError.message);
        return false;
    }
    // The row is read whole before anything is applied, so a damaged row never
    // leaves a half-loaded template.
    state.templateLoading = true;
    if (state.applyLoadedTemplate)
        state.applyLoadedTemplate(row);
    else
        useTemplateHeadless(state, row);
    state.templateLoading = false;
    state.loadedTemplateName = name;
    layOutCurrentPhoto(state);
    state.templateModified = false;
    return true;
}

bool saveTemplate(AppState& state, const QString& name, QString* error)
{
    LayoutTemplate row = state.currentTemplate;
    row.name = name;
    if (!writeTemplateRows(state.storePath(), {row}, error))
        return false;
    state.currentTemplate.name = name;
    state.templateModified = false;
    state.loadedTemplateName = name;
    return true;
}

bool deleteTemplate(const QString& storePath, const QString& name, QString* error)
{
    bool found = false;
    if (!deleteTemplateRow(storePath, name, &found, error))
        return false;
    if (!found && error)
        *error = QStringLiteral("no template named \"%1\"").arg(name);
    return found;
}

} // namespace vellora

#include "app/Startup.h"

#include "app/AppState.h"

namespace vellora {

void initialiseAppState(AppState& state, const QString& programFolder)
{
    state.programFolder = programFolder;
    state.monitorQueue.clear();
    state.currentTemplate = LayoutTemplate{};
    state.pendingSheet = PendingSheet{};
    state.printSheet = [&state](const QImage& sheet) {
        const PrintReport report =
            printSheetWithReport(sheet, state.programFolder, state.printDialog);
        state.lastSheetPrinted = report.outcome == PrintOutcome::Printed;
        if (state.views.sheetOutcome)
            state.views.sheetOutcome(report);
    };
}

} // namespace vellora

namespace vellora {

void useTemplateHeadless(AppState& state, const LayoutTemplate& layoutTemplate)
{
    state.currentTemplate = layoutTemplate;
    state.windows.centredChecked = layoutTemplate.centred != 0;
    state.windows.numberOutsideChecked = layoutTemplate.numberOutside();
    state.sheetSurface.resize(layoutTemplate.paperWidth, layoutTemplate.paperHeight);
}

} // namespace vellora

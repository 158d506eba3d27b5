#include "app/Startup.h"

#include "core/AppState.h"
#include "monitor/MonitorJournal.h"
#include "printing/Printing.h"

namespace vellora {

void initialiseAppState(AppState& state, const QString& programFolder)
{
    state.programFolder = programFolder;
    state.monitorQueue.clear();
    state.currentTemplate = LayoutTemplate{};
    state.pendingSheet = PendingSheet{};
    state.printSheet = [&state](const QImage& sheet) {
        const PrintReport report =
            state.journal ? state.journal->printSheet(sheet)
                          : printSheetWithReport(sheet, state.programFolder, state.printDialog);
        state.lastSheetPrinted = report.outcome == PrintOutcome::Printed;
        if (state.views.sheetOutcome)
            state.views.sheetOutcome(report);
    };
}

} // namespace vellora

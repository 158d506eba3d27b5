#include "monitor/MonitorControl.h"

#include "core/AppState.h"
#include "core/ProgramFolder.h"

#include <mutex>

namespace vellora {

bool startMonitoringCore(AppState& state, const QString& folderText, ArmMonitorTimer arm,
                         const WatchOptions& options, QString* problem)
{
    stopWatch(state.watchHandle);
    WatchOptions watchOptions = options;
    // Sheets kept unprinted beside the program are no photos, even when the
    // program lives inside the hot folder.
    if (watchOptions.excludedFolder.isEmpty())
        watchOptions.excludedFolder = state.besideProgram(kUnprintedFolderName);
    state.watchHandle = startWatch(state, folderText, std::move(arm), watchOptions);
    if (!state.watchHandle) {
        stopWatch(state.watchHandle);
        if (problem) {
            *problem = watchProblem(folderText);
            if (problem->isEmpty())
                *problem = QStringLiteral("无法监视这个文件夹");
        }
        return false;
    }
    state.monitorFolder = folderText;
    state.currentPhotoPath = folderText;
    {
        std::lock_guard<std::recursive_mutex> lock(state.layoutLock);
        state.pendingSheet.filledCells = 0;
        state.sheetSurface.clear();
    }
    state.windows.monitoring = true;
    return true;
}

void pauseMonitoringCore(AppState& state)
{
    stopWatch(state.watchHandle);
    state.windows.monitoring = false;
}

} // namespace vellora

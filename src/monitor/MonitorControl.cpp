#include "monitor/MonitorControl.h"

#include "app/AppState.h"

#include <mutex>

namespace vellora {

bool startMonitoringCore(AppState& state, const QString& folderText, ArmMonitorTimer arm,
                         const WatchOptions& options)
{
    stopWatch(state.watchHandle);
    state.watchHandle = startWatch(state, folderText, std::move(arm), options);
    if (!state.watchHandle) {
        stopWatch(state.watchHandle);
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

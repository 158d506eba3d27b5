#pragma once

#include "monitor/FolderWatcher.h"

#include <QString>

namespace vellora {

struct AppState;

// The display-free halves of switching monitoring on and off. The main window
// calls these together with its own widget steps; the command-line watch calls
// them alone.

// Start of monitoring, everything but the widgets:
//  1. stops a running watch (stopWatch on state.watchHandle);
//  2. state.watchHandle := startWatch(folderText), reporting to `arm`;
//     when that fails the handle stays empty and false is returned: the
//     caller shows "监视失败" (caption "错误") and stays paused; nothing else
//     has changed;
//  5. monitorFolder := folderText and currentPhotoPath := folderText;
//  7. filledCells := 0 and the sheet surface (实际画板) cleared: a sheet left
//     partly filled from before is discarded unprinted;
// and state.windows.monitoring := true, the renderer's copy of "监控中单选框
// visible" (the window shows its radio boxes itself, steps 4 and 6, and must
// do so after a true return).
// Call on the UI thread, with no layout pass running elsewhere (it takes
// state.layoutLock to clear the sheet).
// problem, when given, receives why the folder cannot be watched.
bool startMonitoringCore(AppState& state, const QString& folderText, ArmMonitorTimer arm,
                         const WatchOptions& options = {}, QString* problem = nullptr);

// Pausing, everything but the widgets: stopWatch on state.watchHandle and
// state.windows.monitoring := false. It neither stops the monitor timer nor
// empties the queue, and the pending sheet keeps its photos: a tick that is
// already armed still lays them out, but prints nothing while paused. The
// window pumps its waiting messages first (step 1) and then calls this.
void pauseMonitoringCore(AppState& state);

} // namespace vellora

#pragma once

#include "monitor/FolderWatcher.h"

#include <QString>

namespace vellora {

struct AppState;
struct MonitorRecovery;

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
//  7. the pending sheet as the print ledger keeps it: drawn again in its
//     cells after a stop or a crash, with the photos left queued (and after a
//     crash those written since) ahead of new arrivals (recovery says what);
//     a second monitor of the same program folder or hot folder is refused
//     (problem says who holds it);
// and state.windows.monitoring := true, the renderer's copy of "监控中单选框
// visible" (the window shows its radio boxes itself, steps 4 and 6, and must
// do so after a true return).
// Call on the UI thread, with no layout pass running elsewhere (it takes
// state.layoutLock to clear the sheet).
// problem, when given, receives why the folder cannot be watched.
bool startMonitoringCore(AppState& state, const QString& folderText, ArmMonitorTimer arm,
                         const WatchOptions& options = {}, QString* problem = nullptr,
                         MonitorRecovery* recovery = nullptr);

// Pausing, everything but the widgets: stopWatch on state.watchHandle and
// state.windows.monitoring := false. It neither stops the monitor timer nor
// empties the queue, and the pending sheet keeps its photos: a tick that is
// already armed still lays them out, but prints nothing while paused. The
// window pumps its waiting messages first (step 1) and then calls this.
void pauseMonitoringCore(AppState& state);

} // namespace vellora

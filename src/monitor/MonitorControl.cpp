#include "monitor/MonitorControl.h"

#include "core/AppState.h"
#include "core/ProgramFolder.h"
#include "monitor/MonitorJournal.h"

#include <mutex>

namespace vellora {

bool startMonitoringCore(AppState& state, const QString& folderText, ArmMonitorTimer arm,
                         const WatchOptions& options, QString* problem, MonitorRecovery* recovery)
{
    stopWatch(state.watchHandle);
    WatchOptions watchOptions = options;
    // Sheets kept unprinted beside the program are no photos, even when the
    // program lives inside the hot folder.
    if (watchOptions.excludedFolder.isEmpty())
        watchOptions.excludedFolder = state.besideProgram(kUnprintedFolderName);
    state.watchHandle = startWatch(state, folderText, arm, watchOptions);
    if (!state.watchHandle) {
        stopWatch(state.watchHandle);
        if (problem) {
            *problem = watchProblem(folderText);
            if (problem->isEmpty())
                *problem = QStringLiteral("无法监视这个文件夹");
        }
        return false;
    }
    // One monitor per program folder and per hot folder: a second one would
    // print every photo twice.
    if (!state.journal)
        state.journal = std::make_shared<MonitorJournal>(state);
    QString refused;
    QString notice;
    if (!state.journal->attach(folderText, &refused, &notice)) {
        stopWatch(state.watchHandle);
        if (problem)
            *problem = refused;
        return false;
    }
    state.monitorFolder = folderText;
    state.currentPhotoPath = folderText;
    // The pending sheet as the ledger has it (kept over a stop, rebuilt after
    // a crash), and the photos left waiting, ahead of new arrivals.
    state.journal->setArm(arm);
    MonitorRecovery taken = state.journal->resume();
    if (!notice.isEmpty())
        taken.notices.prepend(notice);
    state.windows.monitoring = true;
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(state.queueLock);
        waiting = state.monitorQueue.size() > 1;
    }
    if (waiting && arm)
        arm();
    if (recovery)
        *recovery = std::move(taken);
    return true;
}

void pauseMonitoringCore(AppState& state)
{
    stopWatch(state.watchHandle);
    state.windows.monitoring = false;
    if (state.journal)
        state.journal->stop();
}

} // namespace vellora

#include "monitor/MonitorCycle.h"

#include "app/AppState.h"
#include "platform/MonitorTimer.h"
#include "platform/ProgramFolder.h"
#include "sheet/SheetRenderer.h"

#include <mutex>

namespace vellora {

void monitorTick(AppState& state, MonitorTimer& timer)
{
    monitorTick(state, timer, {});
}

void monitorTick(AppState& state, MonitorTimer& timer,
                 const std::function<void(const QString& entry)>& onPhoto)
{
    // Stopped first: whatever the watcher reports from now on arms a new tick.
    timer.setPeriod(0);

    QStringList entries{QString()};
    {
        std::lock_guard<std::mutex> lock(state.queueLock);
        entries.swap(state.monitorQueue);
    }

    for (const QString& entry : std::as_const(entries)) {
        if (entry.isEmpty())
            continue;
        if (onPhoto)
            onPhoto(entry);
        state.pendingSheet.copiesLeft = state.currentTemplate.outputCount;
        layOutPhoto(state, entry);
        // The sheet filled and was printed before every copy found a cell:
        // the rest start the fresh sheet. The output count never exceeds a
        // sheet, so once more is enough.
        if (state.currentTemplate.twoSize == 0 && state.pendingSheet.copiesLeft > 0)
            layOutPhoto(state, entry);
    }
}

void layOutPhoto(AppState& state, const QString& entry)
{
    const QString& folder = state.monitorFolder;
    state.currentPhotoPath = endsWithSeparator(folder) ? folder + entry : folder + u'/' + entry;
    layOutCurrentPhoto(state);
    state.currentPhotoPath = state.monitorFolder;
}

} // namespace vellora

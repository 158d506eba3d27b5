#pragma once

#include <QString>

#include <functional>

namespace vellora {

struct AppState;
class MonitorTimer;

// The tick of 监控时钟: stops the timer, swaps the queue out under queueLock
// and lays out every entry (a second pass for copies left over by a full
// sheet with a single-size template).
void monitorTick(AppState& state, MonitorTimer& timer);
// The same, telling onPhoto about each entry before it is laid out (the
// command-line watch logs them).
void monitorTick(AppState& state, MonitorTimer& timer,
                 const std::function<void(const QString& entry)>& onPhoto);

// currentPhotoPath := folder + entry, one layout pass, back to the folder.
void layOutPhoto(AppState& state, const QString& entry);

} // namespace vellora

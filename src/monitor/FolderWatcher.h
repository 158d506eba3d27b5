#pragma once

#include <QString>

#include <functional>
#include <memory>

namespace vellora {

struct AppState;

// A running watch of a folder tree; the "watch handle". Destroying the last
// reference stops it without waiting on the caller's thread.
class FolderWatch;

// Asks the UI thread to set the monitor timer's period to 500 ms. Must post
// and return at once (it is called with queueLock held).
using ArmMonitorTimer = std::function<void()>;

// Starts watching the folder and every folder below it. Returns null when the
// folder does not exist or cannot be read and written.
std::shared_ptr<FolderWatch> startWatch(AppState& state, const QString& folderText,
                                        ArmMonitorTimer arm);

// Starts the closing of the watch and empties the handle at once.
void stopWatch(std::shared_ptr<FolderWatch>& handle);

// The filter and append step for one change report, under queueLock: only
// action 3 (modified) counts; it arms the timer for every such file; names
// whose last three bytes are jpg/bmp/JPG/BMP and differ from the last queue
// entry are appended.
inline constexpr int kActionModified = 3;
void queueChangedFile(AppState& state, int action, const QString& name,
                      const ArmMonitorTimer& arm);

} // namespace vellora

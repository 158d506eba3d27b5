#pragma once

#include <QSize>
#include <QString>

#include <functional>

namespace vellora {

struct AppState;
struct LayoutTemplate;
struct PreparedPhoto;
class MonitorTimer;

// What a tick tells whoever shows or logs monitoring.
struct TickObserver
{
    // An entry about to be laid out.
    std::function<void(const QString& entry)> photo;
    // An entry that is not laid out: gone, unreadable, cut short or not a
    // picture. The file itself is left where it is.
    std::function<void(const QString& entry, const QString& reason)> skipped;
    // The queue is held back for a reason the operator must know (a template
    // with no cells, say); it is kept and looked at again.
    std::function<void(const QString& reason)> holding;
};

// The tick of 监控时钟: stops the timer, swaps the queue out under queueLock
// and lays out every entry that is a whole picture (a second pass for copies
// left over by a full sheet with a single-size template). A tick raised while
// another tick, a pass or a print is in progress, or while the settings window
// is shown, leaves the queue and the timer as they are and so comes again.
void monitorTick(AppState& state, MonitorTimer& timer);
void monitorTick(AppState& state, MonitorTimer& timer, const TickObserver& observer);
// The same, telling onPhoto about each entry before it is laid out.
void monitorTick(AppState& state, MonitorTimer& timer,
                 const std::function<void(const QString& entry)>& onPhoto);

// The largest cell a photo is drawn to: its headers must fit the decoder at
// that size.
QSize largestCell(const LayoutTemplate& t);

// Why the current template cannot lay out monitored photos; empty when it can.
QString templateHoldReason(const AppState& state);

// currentPhotoPath := folder + entry, one layout pass, back to the folder.
// `read`, when given, is the photo as already read (see PreparedPhoto).
void layOutPhoto(AppState& state, const QString& entry, const PreparedPhoto* read = nullptr);

// Marks the UI thread busy with output (a tick, a print and its dialog) for
// its lifetime.
class OutputBusy
{
public:
    explicit OutputBusy(AppState& state);
    ~OutputBusy();
    OutputBusy(const OutputBusy&) = delete;
    OutputBusy& operator=(const OutputBusy&) = delete;

private:
    AppState& m_state;
};

} // namespace vellora

#pragma once

#include <QObject>
#include <QTimer>

namespace vellora {

// A timer whose only property is its period: 0 stops it, setting the period it
// already has changes nothing (a running countdown is not restarted), any other
// value (re)starts it. Lives on the UI thread; other threads arm it with
// requestPeriod(), which posts the change and never waits.
class MonitorTimer : public QObject
{
    Q_OBJECT
public:
    explicit MonitorTimer(QObject* parent = nullptr);

    int period() const { return m_period; }
    void setPeriod(int milliseconds);
    // Thread-safe: queued to the thread the timer lives on.
    void requestPeriod(int milliseconds);

Q_SIGNALS:
    void tick();

private:
    QTimer m_timer;
    int m_period = 0;
};

} // namespace vellora

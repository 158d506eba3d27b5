#include "monitor/MonitorTimer.h"

#include <QMetaObject>

namespace vellora {

MonitorTimer::MonitorTimer(QObject* parent) : QObject(parent)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &MonitorTimer::tick);
}

void MonitorTimer::setPeriod(int milliseconds)
{
    if (milliseconds == m_period)
        return;
    m_period = milliseconds;
    if (milliseconds <= 0) {
        m_period = 0;
        m_timer.stop();
    } else {
        m_timer.start(milliseconds);
    }
}

void MonitorTimer::requestPeriod(int milliseconds)
{
    QMetaObject::invokeMethod(
        this, [this, milliseconds] { setPeriod(milliseconds); }, Qt::QueuedConnection);
}

} // namespace vellora

#include "notify/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <utility>

namespace vellora {

namespace {

qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

DesktopNotifier::DesktopNotifier(QString appName)
    : DesktopNotifier(QDBusConnection::sessionBus(), std::move(appName))
{
}

DesktopNotifier::DesktopNotifier(const QDBusConnection& bus, QString appName)
    : m_bus(bus), m_appName(std::move(appName)), m_clock(steadyMs)
{
}

void DesktopNotifier::setClock(std::function<qint64()> msNow)
{
    m_clock = msNow ? std::move(msNow) : std::function<qint64()>(steadyMs);
}

bool DesktopNotifier::notify(const QString& reason, const QString& summary, const QString& body,
                             Urgency urgency)
{
    if (!m_bus.isConnected())
        return false;

    const qint64 now = m_clock();
    // Reasons carry printer names and the like: forget the ones whose interval
    // is over rather than keep every reason ever told.
    for (auto it = m_lastSent.begin(); it != m_lastSent.end();) {
        if (now - it.value() >= RepeatIntervalMs)
            it = m_lastSent.erase(it);
        else
            ++it;
    }
    if (m_lastSent.contains(reason))
        return false;

    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    // Urgency must travel as a byte: servers ignore it as any other type.
    const uchar level = urgency == Urgency::Critical ? 2 : 1;
    const QVariantMap hints{
        {QStringLiteral("urgency"), QVariant::fromValue(level)},
        // The menu entry packaging/ installs: lets the desktop show our icon.
        {QStringLiteral("desktop-entry"), QStringLiteral("vellora")},
    };
    call.setArguments({m_appName, uint(0), QString(), summary, body, QStringList(), hints, -1});
    // Without a running service the bus would otherwise launch whatever
    // claims the name, on a machine that may have no desktop at all.
    call.setAutoStartService(false);
    // Asynchronous and unwatched: a busy or hung service must not hold up a
    // watcher that has sheets to print. Its answer (an id) is of no use.
    m_bus.asyncCall(call);

    m_lastSent.insert(reason, now);
    return true;
}

} // namespace vellora

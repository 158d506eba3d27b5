#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QString>

#include <functional>

namespace vellora {

// Tells the operator about trouble through the desktop's notification popup
// (the freedesktop Notifications service on the session bus), since a studio
// leaves the program minimised or runs only the command-line watcher and
// nobody looks at its window or its log.
//
// A notification is a courtesy, never a condition for printing: without a
// session bus, or with no notification service on it, nothing is shown and
// nothing is reported. A service is never started on our behalf either, so a
// machine without a desktop does not get one launched by the watcher.
//
// Needs a QCoreApplication; QApplication is not required. Use it from the
// thread that made it (the main thread in both entries).
class DesktopNotifier
{
public:
    // How insistent the popup is. Critical asks the desktop to keep it until
    // the operator dismisses it: a stopped printer stops the studio.
    enum class Urgency { Normal, Critical };

    // A reason that was told is not told again for this long: a printer that
    // stays stopped must not bury the desktop under popups at every tick.
    static constexpr qint64 RepeatIntervalMs = 60 * 1000;

    // Uses the session bus, connecting to it now (once per process) so that
    // notify() never has to wait for the bus.
    explicit DesktopNotifier(QString appName = QStringLiteral("Vellora"));
    // The same on a given connection, for a bus of the caller's own.
    explicit DesktopNotifier(const QDBusConnection& bus,
                             QString appName = QStringLiteral("Vellora"));

    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    // Shows summary and body unless the same reason, a key such as
    // "printer-stopped:PDF" or "sheet-kept", was told less than
    // RepeatIntervalMs ago. Most desktops read a little markup in body, so
    // text holding '&' or '<' should be escaped by the caller. A call held back this way does not
    // push the interval on: trouble that persists is told again once a minute.
    //
    // Returns at once; the service's answer is not awaited. True when the
    // notification went onto the bus, false when held back or there is no
    // bus. A bus without a notification service still gives true: knowing
    // would mean waiting.
    bool notify(const QString& reason, const QString& summary, const QString& body,
                Urgency urgency = Urgency::Normal);

    // Milliseconds on a clock that never goes back; a steady clock unless set.
    // For tests, to cross the repeat interval without waiting for it. An empty
    // function restores the steady clock.
    void setClock(std::function<qint64()> msNow);

private:
    QDBusConnection m_bus;
    QString m_appName;
    std::function<qint64()> m_clock;
    QHash<QString, qint64> m_lastSent; // reason → when it was last put on the bus
};

} // namespace vellora

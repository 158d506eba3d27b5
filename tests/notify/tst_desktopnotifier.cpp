#include "notify/DesktopNotifier.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <utility>

#include <sys/prctl.h>

using namespace vellora;

namespace {

const auto notificationsName = QStringLiteral("org.freedesktop.Notifications");
const auto notificationsPath = QStringLiteral("/org/freedesktop/Notifications");
// Set in the environment of a copy of this executable that only notifies once
// through the session bus the environment names, and prints what it got.
constexpr char childVariable[] = "VELLORA_NOTIFY_TEST_CHILD";
// D-Bus lets a caller wait this long for an answer: a notifier that waited for
// one would be held about this long by a service that never answers.
constexpr int dbusReplyTimeoutMs = 25000;

// A helper process goes with this test even when the test dies.
void dieWithTheTest(QProcess& process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

void stopProcess(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// A message bus of the test's own, in a temporary folder: the machine's
// session bus is never used, and none of the machine's services can be
// started on it. With an activatable service, a stand-in that claims the
// notification service's name (and does nothing) can be launched by the bus,
// which logs every launch to the test.
class PrivateBus
{
public:
    ~PrivateBus() { stop(); }

    bool start(bool activatableService, QString* why)
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty()) {
            *why = QStringLiteral("dbus-daemon is not installed (scripts/setup.sh installs it)");
            return false;
        }
        const QString services = m_dir.filePath(QStringLiteral("services"));
        QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
        if (!m_dir.isValid() || !QDir().mkdir(services) || !config.open(QIODevice::WriteOnly)) {
            *why = QStringLiteral("cannot write the bus configuration in %1").arg(m_dir.path());
            return false;
        }
        config.write(QStringLiteral("<busconfig>\n"
                                    "  <type>session</type>\n"
                                    "  <listen>unix:path=%1</listen>\n"
                                    "  <auth>EXTERNAL</auth>\n"
                                    "  <servicedir>%2</servicedir>\n"
                                    "  <policy context=\"default\">\n"
                                    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                                    "    <allow eavesdrop=\"true\"/>\n"
                                    "    <allow own=\"*\"/>\n"
                                    "  </policy>\n"
                                    "</busconfig>\n")
                         .arg(m_dir.filePath(QStringLiteral("bus")), services)
                         .toUtf8());
        config.close();
        if (activatableService) {
            QFile service(services + QStringLiteral("/notifications.service"));
            if (!service.open(QIODevice::WriteOnly)) {
                *why = QStringLiteral("cannot write %1").arg(service.fileName());
                return false;
            }
            service.write("[D-BUS Service]\nName=org.freedesktop.Notifications\nExec=/bin/true\n");
        }

        dieWithTheTest(m_process);
        // --nosyslog: the bus logs launches to its stderr, which the test
        // reads, and nothing into the machine's log.
        m_process.start(daemon, {QStringLiteral("--config-file=") + config.fileName(),
                                 QStringLiteral("--nofork"), QStringLiteral("--nosyslog"),
                                 QStringLiteral("--print-address")});
        QByteArray printed;
        while (!printed.contains('\n') && m_process.waitForReadyRead(10000))
            printed += m_process.readAllStandardOutput();
        m_address = QString::fromUtf8(printed).trimmed();
        if (m_address.isEmpty()) {
            *why = QStringLiteral("dbus-daemon did not start: ") + log();
            return false;
        }
        return true;
    }

    void stop() { stopProcess(m_process); }
    QString address() const { return m_address; }
    // What the bus wrote to its stderr so far.
    QString log()
    {
        m_log += QString::fromUtf8(m_process.readAllStandardError());
        return m_log;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_address;
    QString m_log;
};

// A connection of the test's own to a private bus, closed when it goes.
class BusConnection
{
public:
    BusConnection(const QString& address, const QString& name)
        : m_name(name), m_bus(QDBusConnection::connectToBus(address, name))
    {
    }
    ~BusConnection() { QDBusConnection::disconnectFromBus(m_name); }
    QDBusConnection& bus() { return m_bus; }

private:
    QString m_name;
    QDBusConnection m_bus;
};

struct Notification
{
    QString appName;
    uint replacesId = 0;
    QString appIcon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
    int expireTimeout = 0;
};

// Stands in for the desktop's notification popup and keeps what it is asked
// to show. Holding its answers plays a service that hangs.
class NotificationService : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QList<Notification> received;
    bool holdAnswers = false;

    void answerHeld(QDBusConnection& bus)
    {
        for (const QDBusMessage& call : std::as_const(m_held))
            bus.send(call.createReply(uint(0)));
        m_held.clear();
    }

    QStringList summaries() const
    {
        QStringList all;
        for (const Notification& n : received)
            all.append(n.summary);
        return all;
    }

public Q_SLOTS:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expireTimeout)
    {
        received.append(
            {appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout});
        if (holdAnswers) {
            setDelayedReply(true);
            m_held.append(message());
        }
        return uint(received.size());
    }

private:
    QList<QDBusMessage> m_held;
};

// The stand-in service, on a connection of its own to the given bus.
class ServiceOnBus
{
public:
    explicit ServiceOnBus(const QString& address)
        : m_connection(address, QStringLiteral("notification-service"))
    {
    }
    ~ServiceOnBus()
    {
        service.answerHeld(m_connection.bus());
        m_connection.bus().unregisterService(notificationsName);
        m_connection.bus().unregisterObject(notificationsPath);
    }

    bool registered()
    {
        QDBusConnection& bus = m_connection.bus();
        return bus.isConnected() &&
               bus.registerObject(notificationsPath, &service, QDBusConnection::ExportAllSlots) &&
               bus.registerService(notificationsName);
    }
    NotificationService service;

private:
    BusConnection m_connection;
};

// The bus has handled everything this connection sent before: it treats one
// sender's messages in order, so a round trip to the bus itself comes after.
bool roundTrip(QDBusConnection& bus)
{
    const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")));
    return reply.type() == QDBusMessage::ReplyMessage;
}

} // namespace

class TestDesktopNotifier : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QString why;
        if (!m_bus.start(false, &why))
            QSKIP(qPrintable(why));
        // Before anything in this process opens the session bus: it is opened
        // once, and then it is the test's.
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
    }

    void init()
    {
        // Nothing here may be told on the console: the watcher's log is the
        // operator's, and a missing desktop is not trouble.
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    }

    void reachesTheNotificationService_data()
    {
        QTest::addColumn<bool>("sessionBus");
        QTest::addColumn<QString>("appName");
        QTest::addColumn<DesktopNotifier::Urgency>("urgency");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("expectedAppName");
        QTest::addColumn<int>("expectedUrgency");

        // The freedesktop urgency levels: 1 normal, 2 critical.
        QTest::newRow("session bus, default name")
            << true << QString() << DesktopNotifier::Urgency::Normal
            << QStringLiteral("打印机 PDF 已停止")
            << QStringLiteral("照片已保存在未打印，打印机恢复后自动打印。")
            << QStringLiteral("Vellora") << 1;
        QTest::newRow("own connection, named, critical")
            << false << QStringLiteral("Vellora 监控") << DesktopNotifier::Urgency::Critical
            << QStringLiteral("Sheet kept") << QStringLiteral("first line\nsecond line")
            << QStringLiteral("Vellora 监控") << 2;
    }

    void reachesTheNotificationService()
    {
        QFETCH(bool, sessionBus);
        QFETCH(QString, appName);
        QFETCH(DesktopNotifier::Urgency, urgency);
        QFETCH(QString, summary);
        QFETCH(QString, body);
        QFETCH(QString, expectedAppName);
        QFETCH(int, expectedUrgency);

        ServiceOnBus popup(m_bus.address());
        QVERIFY(popup.registered());
        BusConnection own(m_bus.address(), QStringLiteral("notifier"));
        std::unique_ptr<DesktopNotifier> notifier;
        if (sessionBus)
            notifier = std::make_unique<DesktopNotifier>();
        else
            notifier = std::make_unique<DesktopNotifier>(own.bus(), appName);

        QVERIFY(notifier->notify(QStringLiteral("printer-stopped:PDF"), summary, body, urgency));
        QTRY_COMPARE(popup.service.received.size(), 1);
        const Notification got = popup.service.received.first();
        QCOMPARE(got.appName, expectedAppName);
        QCOMPARE(got.replacesId, 0u);
        QCOMPARE(got.appIcon, QString());
        QCOMPARE(got.summary, summary);
        QCOMPARE(got.body, body);
        QVERIFY(got.actions.isEmpty());
        QCOMPARE(got.expireTimeout, -1);
        // A byte on the wire: servers pass over an urgency of any other type.
        const QVariant level = got.hints.value(QStringLiteral("urgency"));
        QCOMPARE(level.metaType(), QMetaType::fromType<uchar>());
        QCOMPARE(level.value<uchar>(), uchar(expectedUrgency));
    }

    // The call as the bus carries it, seen by the bus's own monitor: the
    // production path over the session bus, with nobody serving the name.
    void busMonitorSeesTheCall()
    {
        const QString monitorProgram =
            QStandardPaths::findExecutable(QStringLiteral("dbus-monitor"));
        if (monitorProgram.isEmpty())
            QSKIP("dbus-monitor is not installed (package dbus-bin; scripts/setup.sh installs it)");
        QProcess monitor;
        dieWithTheTest(monitor);
        monitor.start(monitorProgram,
                      {QStringLiteral("--address"), m_bus.address(),
                       QStringLiteral("interface='org.freedesktop.Notifications'")});
        QString seen;
        auto read = [&] {
            seen += QString::fromUtf8(monitor.readAllStandardOutput());
            return seen;
        };
        // NameLost comes once the bus has made it a monitor.
        QTRY_VERIFY2(read().contains(QStringLiteral("member=NameLost")), qPrintable(seen));

        DesktopNotifier notifier;
        QVERIFY(notifier.notify(
            QStringLiteral("printer-stopped:Studio"), QStringLiteral("Printer Studio stopped"),
            QStringLiteral("Sheets wait in 未打印."), DesktopNotifier::Urgency::Critical));
        QTRY_VERIFY2(read().contains(QStringLiteral("string \"Sheets wait in 未打印.\"")),
                     qPrintable(seen));
        stopProcess(monitor);
        read();
        QVERIFY2(seen.contains(QRegularExpression(
                     QStringLiteral("method call .* destination=org\\.freedesktop\\.Notifications "
                                    ".*path=/org/freedesktop/Notifications; "
                                    "interface=org\\.freedesktop\\.Notifications; member=Notify"))),
                 qPrintable(seen));
        // The arguments in their order and types.
        const QRegularExpression arguments(
            QStringLiteral(
                "member=Notify\\s+string \"Vellora\"\\s+uint32 0\\s+string \"\"\\s+"
                "string \"Printer Studio stopped\"\\s+string \"Sheets wait in 未打印.\"\\s+"
                "array \\[\\s+\\]\\s+array \\[.*\\]\\s+int32 -1"),
            QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(seen.contains(arguments), qPrintable(seen));
        QVERIFY2(seen.contains(
                     QRegularExpression(QStringLiteral("string \"urgency\"\\s+variant\\s+byte 2"))),
                 qPrintable(seen));
        QCOMPARE(seen.count(QStringLiteral("member=Notify")), 1);
    }

    void tellsEachReasonOncePerInterval_data()
    {
        QTest::addColumn<QList<qint64>>("times");
        QTest::addColumn<QStringList>("reasons");
        QTest::addColumn<QList<bool>>("told");

        const QString a = QStringLiteral("printer-stopped:PDF");
        const QString b = QStringLiteral("sheet-kept");
        const qint64 minute = 60 * 1000;
        QTest::newRow("same reason within the minute")
            << QList<qint64>{0, 1000} << QStringList{a, a} << QList<bool>{true, false};
        QTest::newRow("another reason")
            << QList<qint64>{0, 1000} << QStringList{a, b} << QList<bool>{true, true};
        QTest::newRow("a minute later")
            << QList<qint64>{0, minute} << QStringList{a, a} << QList<bool>{true, true};
        QTest::newRow("just short of a minute")
            << QList<qint64>{0, minute - 1} << QStringList{a, a} << QList<bool>{true, false};
        // Trouble that persists is told once a minute, not once and never again.
        QTest::newRow("held back calls do not push the minute on")
            << QList<qint64>{0, 30000, minute, minute + 30000, 2 * minute}
            << QStringList{a, a, a, a, a} << QList<bool>{true, false, true, false, true};
        QTest::newRow("each reason has its own minute")
            << QList<qint64>{0, 30000, minute, minute, minute + 30000} << QStringList{a, b, a, b, b}
            << QList<bool>{true, true, true, false, true};
        // A steady clock counts from boot: after 24.8 days up, its milliseconds
        // no longer fit in 32 bits.
        const qint64 late = (qint64(1) << 31) - 30000;
        QTest::newRow("a clock past 32 bits")
            << QList<qint64>{late, late + minute - 1, late + minute} << QStringList{a, a, a}
            << QList<bool>{true, false, true};
    }

    void tellsEachReasonOncePerInterval()
    {
        QFETCH(QList<qint64>, times);
        QFETCH(QStringList, reasons);
        QFETCH(QList<bool>, told);

        ServiceOnBus popup(m_bus.address());
        QVERIFY(popup.registered());
        BusConnection own(m_bus.address(), QStringLiteral("notifier"));
        DesktopNotifier notifier(own.bus());
        qint64 now = 0;
        notifier.setClock([&now] { return now; });

        QStringList expected;
        for (qsizetype i = 0; i < times.size(); ++i) {
            now = times.at(i);
            const QString summary = QStringLiteral("%1 %2").arg(i).arg(reasons.at(i));
            QCOMPARE(notifier.notify(reasons.at(i), summary, QString()), told.at(i));
            if (told.at(i))
                expected.append(summary);
        }
        // A last one of a fresh reason arrives after anything sent before it.
        QVERIFY(notifier.notify(QStringLiteral("end"), QStringLiteral("end"), QString()));
        expected.append(QStringLiteral("end"));
        QTRY_VERIFY(popup.service.summaries().contains(QStringLiteral("end")));
        QCOMPARE(popup.service.summaries(), expected);
    }

    void noBusIsQuiet_data()
    {
        QTest::addColumn<bool>("addressSet");
        QTest::newRow("address of a missing socket") << true;
        QTest::newRow("no address, no bus in the runtime folder, no display") << false;
    }

    // The production path in a copy of this executable with the environment a
    // watcher started outside a desktop session has.
    void noBusIsQuiet()
    {
        QFETCH(bool, addressSet);
        QTemporaryDir runtime;
        QVERIFY(runtime.isValid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(childVariable), QStringLiteral("1"));
        // Neither the machine's session bus in the usual runtime folder nor
        // one launched for a display may be found instead.
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        if (addressSet)
            environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                               QStringLiteral("unix:path=") +
                                   runtime.filePath(QStringLiteral("bus")));

        QProcess child;
        dieWithTheTest(child);
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {});
        const bool finished = child.waitForFinished(dbusReplyTimeoutMs / 2);
        if (!finished)
            stopProcess(child);
        QVERIFY2(finished, "notifying without a bus waited");
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(child.readAllStandardOutput(), QByteArray("not told\n"));
        QCOMPARE(QString::fromUtf8(child.readAllStandardError()), QString());
    }

    // The session bus goes when the desktop session ends, and a watcher may
    // run on.
    void aBusThatWentAwayTellsNothing()
    {
        PrivateBus gone;
        QString why;
        QVERIFY2(gone.start(false, &why), qPrintable(why));
        BusConnection own(gone.address(), QStringLiteral("gone"));
        QVERIFY(own.bus().isConnected());
        DesktopNotifier notifier(own.bus());
        gone.stop();
        QTRY_VERIFY(!own.bus().isConnected());
        QVERIFY(!notifier.notify(QStringLiteral("sheet-kept"), QStringLiteral("s"), QString()));
    }

    // The call itself says not to start a service: a bus that can launch one
    // for the name (as a desktop's session bus can) launches it for the
    // test's own call, and not for the notifier's.
    void startsNoNotificationService()
    {
        PrivateBus bus;
        QString why;
        QVERIFY2(bus.start(true, &why), qPrintable(why));
        BusConnection own(bus.address(), QStringLiteral("notifier"));
        DesktopNotifier notifier(own.bus());
        // Went onto the bus; that nobody took it cannot be known without waiting.
        QVERIFY(notifier.notify(QStringLiteral("sheet-kept"), QStringLiteral("s"), QString()));
        QVERIFY(roundTrip(own.bus()));

        BusConnection control(bus.address(), QStringLiteral("control"));
        QDBusMessage ping = QDBusMessage::createMethodCall(
            notificationsName, notificationsPath, QStringLiteral("org.freedesktop.DBus.Peer"),
            QStringLiteral("Ping"));
        QVERIFY(control.bus().send(ping));
        const QString launchFor = QStringLiteral("Activating service name='%1' requested by '%2'");
        QTRY_VERIFY2(bus.log().contains(QStringLiteral("Activating service")),
                     qPrintable(bus.log()));
        QVERIFY2(!bus.log().contains(launchFor.arg(notificationsName, own.bus().baseService())),
                 qPrintable(bus.log()));
        QTRY_VERIFY2(
            bus.log().contains(launchFor.arg(notificationsName, control.bus().baseService())),
            qPrintable(bus.log()));
    }

    void aServiceThatNeverAnswersDoesNotHoldTheCaller()
    {
        ServiceOnBus popup(m_bus.address());
        QVERIFY(popup.registered());
        popup.service.holdAnswers = true;
        BusConnection own(m_bus.address(), QStringLiteral("notifier"));
        DesktopNotifier notifier(own.bus());

        QElapsedTimer held;
        held.start();
        QVERIFY(notifier.notify(QStringLiteral("sheet-kept"), QStringLiteral("s"), QString()));
        // The service lives on this thread: a caller that waited for it would
        // wait out D-Bus's reply timeout.
        QVERIFY2(held.elapsed() < dbusReplyTimeoutMs / 2, "notify waited for the service");
        QTRY_COMPARE(popup.service.received.size(), 1);
    }

    void cleanupTestCase()
    {
        m_bus.stop();
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    }

private:
    PrivateBus m_bus;
};

namespace {

// In the copy started by noBusIsQuiet: notify once, let the event loop turn,
// and say what notify() returned. Anything else it prints is a failure there.
int notifyOnceThroughTheSessionBus(QCoreApplication& app)
{
    DesktopNotifier notifier;
    const bool told =
        notifier.notify(QStringLiteral("sheet-kept"), QStringLiteral("s"), QStringLiteral("b"));
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    app.exec();
    std::fputs(told ? "told\n" : "not told\n", stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(childVariable))
        return notifyOnceThroughTheSessionBus(app);
    TestDesktopNotifier test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktopnotifier.moc"

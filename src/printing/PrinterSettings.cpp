#include "printing/PrinterSettings.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

namespace vellora {

namespace {

const QString kPrintersPage = QStringLiteral("http://localhost:631/printers/");

// Only the system's own folders: a PATH or a library path of whoever started
// Vellora (root's session with an operator's environment) must not pick the
// program that runs.
const QStringList kSystemFolders = {QStringLiteral("/usr/bin"), QStringLiteral("/bin")};

// What a desktop program needs to open a window on the user's display and
// speak their language; nothing that loads code or changes where programs
// come from.
QProcessEnvironment minimalEnvironment()
{
    const QProcessEnvironment all = QProcessEnvironment::systemEnvironment();
    QProcessEnvironment kept;
    kept.insert(QStringLiteral("PATH"), QStringLiteral("/usr/sbin:/usr/bin:/sbin:/bin"));
    for (const QString& name : all.keys()) {
        static const QStringList passed = {QStringLiteral("DISPLAY"),
                                           QStringLiteral("WAYLAND_DISPLAY"),
                                           QStringLiteral("XAUTHORITY"),
                                           QStringLiteral("XDG_RUNTIME_DIR"),
                                           QStringLiteral("HOME"),
                                           QStringLiteral("USER"),
                                           QStringLiteral("LOGNAME"),
                                           QStringLiteral("LANG"),
                                           QStringLiteral("LANGUAGE"),
                                           QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                                           QStringLiteral("XDG_SESSION_TYPE"),
                                           QStringLiteral("XDG_CURRENT_DESKTOP")};
        if (passed.contains(name) || name.startsWith(QStringLiteral("LC_")))
            kept.insert(name, all.value(name));
    }
    return kept;
}

bool startFromSystem(const QString& program, const QStringList& arguments)
{
    const QString found = QStandardPaths::findExecutable(program, kSystemFolders);
    if (found.isEmpty())
        return false;
    QProcess process;
    process.setProgram(found);
    process.setArguments(arguments);
    process.setProcessEnvironment(minimalEnvironment());
    return process.startDetached();
}

} // namespace

QString openPrinterSettings(const ProgramStarter& start)
{
    const ProgramStarter run = start ? start : ProgramStarter(startFromSystem);
    if (run(QStringLiteral("system-config-printer"), {}))
        return {};
    if (run(QStringLiteral("xdg-open"), {kPrintersPage}))
        return {};
    return QStringLiteral("没有找到打印机设置程序，也无法打开浏览器。\n\n"
                          "设置默认打印机：在浏览器中打开 %1 ，选择打印机，在管理"
                          "（Administration）菜单中选择“设为服务器默认”（Set As Server "
                          "Default）；"
                          "或在终端中运行 lpadmin -d 打印机名称（lpstat -p 列出打印机名称）。")
        .arg(kPrintersPage);
}

} // namespace vellora

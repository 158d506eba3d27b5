#include "printing/PrinterSettings.h"

#include <QProcess>
#include <QStandardPaths>

namespace vellora {

namespace {

const QString kPrintersPage = QStringLiteral("http://localhost:631/printers/");

bool startFromPath(const QString& program, const QStringList& arguments)
{
    const QString found = QStandardPaths::findExecutable(program);
    return !found.isEmpty() && QProcess::startDetached(found, arguments);
}

} // namespace

QString openPrinterSettings(const ProgramStarter& start)
{
    const ProgramStarter run = start ? start : ProgramStarter(startFromPath);
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

#include "platform/PrinterSettings.h"

#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace vellora {

void openPrinterSettings()
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("system-config-printer"));
    if (!tool.isEmpty() && QProcess::startDetached(tool, {}))
        return;
    QProcess::startDetached(QStringLiteral("xdg-open"),
                            {QStringLiteral("http://localhost:631/printers/")});
}

} // namespace vellora

// Build-time tool: makes the shipped template file from the JSON templates and
// the first 配置.ini of the program folder.
//   vellora-make-store store OUT.edb TEMPLATE.json...
//   vellora-make-store config OUT.ini DEFAULT-TEMPLATE-NAME
#include "core/Config.h"
#include "templates/TemplateFile.h"
#include "templates/TemplateTransfer.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

using namespace vellora;

namespace {

int fail(const QString& message)
{
    std::fprintf(stderr, "vellora-make-store: %s\n", message.toLocal8Bit().constData());
    return 1;
}

int makeStore(const QString& out, const QStringList& jsonFiles)
{
    QList<LayoutTemplate> templates;
    for (const QString& path : jsonFiles) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1").arg(path));
        QList<LayoutTemplate> some;
        QString error;
        if (!templatesFromJsonText(file.readAll(), some, &error))
            return fail(QStringLiteral("%1: %2").arg(path, error));
        templates += some;
    }
    // Built beside the target and renamed over it: a failed build leaves the
    // previous file, never a half-made one.
    const QString temporary = out + QStringLiteral(".new");
    QFile::remove(temporary);
    QString error;
    if (!writeTemplateRows(temporary, templates, &error)) {
        QFile::remove(temporary);
        return fail(error);
    }
    if (std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(out).constData()) !=
        0) {
        QFile::remove(temporary);
        return fail(QStringLiteral("cannot rename %1 to %2").arg(temporary, out));
    }
    return 0;
}

int makeConfig(const QString& out, const QString& defaultTemplate)
{
    // The program folder's 配置.ini belongs to whoever edits it once it exists.
    if (QFileInfo::exists(out))
        return 0;
    const QString section = QString::fromUtf16(kConfigSection);
    if (!writeConfigText(out, section, QString::fromUtf16(kConfigFolderKey), QString()) ||
        !writeConfigText(out, section, QString::fromUtf16(kConfigDefaultTemplateKey),
                         defaultTemplate))
        return fail(QStringLiteral("cannot write %1").arg(out));
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();
    if (args.size() >= 3 && args[0] == u"store")
        return makeStore(args[1], args.mid(2));
    if (args.size() == 3 && args[0] == u"config")
        return makeConfig(args[1], args[2]);
    return fail(QStringLiteral("usage: store OUT.edb JSON... | config OUT.ini DEFAULT-NAME"));
}

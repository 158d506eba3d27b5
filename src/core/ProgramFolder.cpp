#include "core/ProgramFolder.h"

#include <QCoreApplication>

namespace vellora {

QString executableFolder()
{
    QString folder = QCoreApplication::applicationDirPath();
    while (folder.size() > 1 && endsWithSeparator(folder))
        folder.chop(1);
    return folder;
}

bool endsWithSeparator(const QString& text)
{
    return text.endsWith(u'/') || text.endsWith(u'\\');
}

QString joinPath(const QString& folder, const QString& name)
{
    if (folder.isEmpty() || endsWithSeparator(folder))
        return folder + name;
    return folder + u'/' + name;
}

} // namespace vellora

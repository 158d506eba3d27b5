#include "config/Config.h"

#include "platform/IniFile.h"

namespace vellora {

namespace {

// The path, section and key are used without their leading control characters
// and blanks; an argument with nothing left is no argument at all.
QString dropLeadingControls(const QString& text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i].unicode() <= 32)
        ++i;
    return text.mid(i);
}

} // namespace

QString readConfigText(const QString& iniPath, const QString& section, const QString& key)
{
    const QString path = dropLeadingControls(iniPath);
    const QString sectionName = dropLeadingControls(section);
    const QString keyName = dropLeadingControls(key);
    if (path.isEmpty() || sectionName.isEmpty() || keyName.isEmpty())
        return {};
    return readProfileString(path, sectionName, keyName);
}

bool writeConfigText(const QString& iniPath, const QString& section, const QString& key,
                     const QString& value)
{
    const QString path = dropLeadingControls(iniPath);
    const QString sectionName = dropLeadingControls(section);
    const QString keyName = dropLeadingControls(key);
    if (path.isEmpty() || sectionName.isEmpty() || keyName.isEmpty())
        return false;
    return writeProfileString(path, sectionName, keyName, value);
}

} // namespace vellora

#include "core/Config.h"

#include "core/IniFile.h"

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

bool isBlankChar(QChar c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

} // namespace

QString configValueProblem(const QString& name)
{
    const QString section = QString::fromUtf16(kConfigSection);
    const QString key = QString::fromUtf16(kConfigDefaultTemplateKey);
    if (name.isEmpty())
        return QStringLiteral("名称不能为空");
    if (name.contains(u'\n') || name.contains(u'\r') || name.contains(QChar(0)))
        return QStringLiteral("名称不能含有换行");
    if (isBlankChar(name.front()) || isBlankChar(name.back()))
        return QStringLiteral("名称前后不能有空格");
    // The reader and the writer of the file themselves decide the rest.
    QByteArray content;
    if (!setProfileValueInContent(content, section, key, name))
        return QStringLiteral("名称含有配置文件（GBK 编码）不能保存的字符");
    if (profileValueFromContent(content, section, key) == name)
        return {};
    const QChar first = name.front();
    if ((first == u'"' || first == u'\'') && name.back() == first)
        return QStringLiteral("名称不能以引号开头并以引号结尾");
    return QStringLiteral("名称太长，配置文件读回时会被截断");
}

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
                     const QString& value, QString* error)
{
    const QString path = dropLeadingControls(iniPath);
    const QString sectionName = dropLeadingControls(section);
    const QString keyName = dropLeadingControls(key);
    if (path.isEmpty() || sectionName.isEmpty() || keyName.isEmpty())
        return false;
    return writeProfileString(path, sectionName, keyName, value, error);
}

} // namespace vellora

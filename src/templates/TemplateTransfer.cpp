#include "templates/TemplateTransfer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace vellora {

namespace {

bool templateFromObject(const QJsonObject& object, int index, LayoutTemplate& out, QString* error)
{
    const QString where = index < 0 ? QString() : QStringLiteral("template %1: ").arg(index + 1);
    auto fail = [&](const QString& message) {
        if (error)
            *error = where + message;
        return false;
    };
    // A misspelt key would otherwise leave its column silently at 0.
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (templateColumnIndex(it.key()) < 0)
            return fail(QStringLiteral("unknown key \"%1\"").arg(it.key()));
    }
    QString message;
    if (!templateFromJson(object, out, &message))
        return fail(message);
    if (out.name.isEmpty())
        return fail(QStringLiteral("key \"%1\" is missing or empty")
                        .arg(kTemplateColumns[0].name.toString()));
    return true;
}

// One value as JSON text.
QByteArray jsonScalar(const QJsonValue& value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);
}

} // namespace

bool templatesFromJsonText(const QByteArray& text, QList<LayoutTemplate>& out, QString* error)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(text, &parseError);
    if (doc.isNull()) {
        if (error)
            *error = QStringLiteral("not valid JSON: %1 at offset %2")
                         .arg(parseError.errorString())
                         .arg(parseError.offset);
        return false;
    }
    QList<LayoutTemplate> templates;
    if (doc.isObject()) {
        LayoutTemplate t;
        if (!templateFromObject(doc.object(), -1, t, error))
            return false;
        templates.append(t);
    } else {
        const QJsonArray array = doc.array();
        for (int i = 0; i < array.size(); ++i) {
            if (!array[i].isObject()) {
                if (error)
                    *error = QStringLiteral("template %1: not a JSON object").arg(i + 1);
                return false;
            }
            LayoutTemplate t;
            if (!templateFromObject(array[i].toObject(), i, t, error))
                return false;
            templates.append(t);
        }
    }
    out = templates;
    return true;
}

QByteArray templatesToJsonText(const QList<LayoutTemplate>& templates)
{
    // Written by hand so that the keys keep the column order (a QJsonObject
    // would sort them), which is how people read and compare templates.
    QByteArray out("[");
    for (qsizetype t = 0; t < templates.size(); ++t) {
        const QJsonObject object = templateToJson(templates[t]);
        out += t == 0 ? "\n    {" : ",\n    {";
        bool firstKey = true;
        for (const TemplateColumn& column : kTemplateColumns) {
            const QString key = column.name.toString();
            // No logo is written as no key rather than an empty string.
            if (column.kind == ColumnKind::Bytes && templates[t].logoPicture.isEmpty())
                continue;
            out += firstKey ? "\n        " : ",\n        ";
            firstKey = false;
            out += jsonScalar(key) + ": " + jsonScalar(object.value(key));
        }
        out += "\n    }";
    }
    out += templates.isEmpty() ? "]\n" : "\n]\n";
    return out;
}

} // namespace vellora

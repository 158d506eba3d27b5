#include "core/LayoutTemplate.h"

#include <QJsonValue>

#include <cmath>
#include <limits>

namespace vellora {

const std::array<TemplateColumn, kTemplateColumnCount> kTemplateColumns = {{
    {u"名称", ColumnKind::Text},
    {u"尺寸1高度", ColumnKind::Number},
    {u"尺寸1宽度", ColumnKind::Number},
    {u"尺寸1横向张数", ColumnKind::Number},
    {u"尺寸1纵向张数", ColumnKind::Number},
    {u"尺寸1横向距离", ColumnKind::Number},
    {u"尺寸1纵向距离", ColumnKind::Number},
    {u"照片输出张数", ColumnKind::Number},
    {u"同底照片不同规格", ColumnKind::Boolean},
    {u"间隔", ColumnKind::Number},
    {u"尺寸2高度", ColumnKind::Number},
    {u"尺寸2宽度", ColumnKind::Number},
    {u"尺寸2横向张数", ColumnKind::Number},
    {u"尺寸2纵向张数", ColumnKind::Number},
    {u"尺寸2横向距离", ColumnKind::Number},
    {u"尺寸2纵向距离", ColumnKind::Number},
    {u"居中打印", ColumnKind::Boolean},
    {u"纸张横向", ColumnKind::Boolean},
    {u"纸高度", ColumnKind::Number},
    {u"纸宽度", ColumnKind::Number},
    {u"号码不加印", ColumnKind::Boolean},
    {u"号码里面", ColumnKind::Boolean},
    {u"字体颜色值", ColumnKind::Number},
    {u"显示裁切线", ColumnKind::Boolean},
    {u"边框线颜色值", ColumnKind::Number},
    {u"左边距", ColumnKind::Number},
    {u"顶边距", ColumnKind::Number},
    {u"加标志", ColumnKind::Boolean},
    {u"标志图片", ColumnKind::Bytes},
}};

int templateColumnIndex(QStringView name)
{
    for (int i = 0; i < kTemplateColumnCount; ++i) {
        if (kTemplateColumns[i].name == name)
            return i;
    }
    return -1;
}

qint32* templateIntField(LayoutTemplate& t, int column)
{
    switch (column) {
    case 1:
        return &t.size1.height;
    case 2:
        return &t.size1.width;
    case 3:
        return &t.size1.countAcross;
    case 4:
        return &t.size1.countDown;
    case 5:
        return &t.size1.hDistance;
    case 6:
        return &t.size1.vDistance;
    case 7:
        return &t.outputCount;
    case 8:
        return &t.twoSize;
    case 9:
        return &t.gap;
    case 10:
        return &t.size2.height;
    case 11:
        return &t.size2.width;
    case 12:
        return &t.size2.countAcross;
    case 13:
        return &t.size2.countDown;
    case 14:
        return &t.size2.hDistance;
    case 15:
        return &t.size2.vDistance;
    case 16:
        return &t.centred;
    case 17:
        return &t.landscape;
    case 18:
        return &t.paperHeight;
    case 19:
        return &t.paperWidth;
    case 20:
        return &t.noNumber;
    case 21:
        return &t.numberInside;
    case 22:
        return &t.numberColour;
    case 23:
        return &t.frameLines;
    case 24:
        return &t.frameColour;
    case 25:
        return &t.leftMargin;
    case 26:
        return &t.topMargin;
    case 27:
        return &t.logo;
    default:
        return nullptr;
    }
}

const qint32* templateIntField(const LayoutTemplate& t, int column)
{
    return templateIntField(const_cast<LayoutTemplate&>(t), column);
}

QColor colourFromValue(qint32 value)
{
    const auto v = static_cast<quint32>(value);
    return QColor(int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF));
}

qint32 colourToValue(const QColor& colour)
{
    return qint32(quint32(colour.red()) | (quint32(colour.green()) << 8) |
                  (quint32(colour.blue()) << 16));
}

QJsonObject templateToJson(const LayoutTemplate& t)
{
    QJsonObject json;
    for (int i = 0; i < kTemplateColumnCount; ++i) {
        const QString key = kTemplateColumns[i].name.toString();
        switch (kTemplateColumns[i].kind) {
        case ColumnKind::Text:
            json.insert(key, t.name);
            break;
        case ColumnKind::Number:
            json.insert(key, *templateIntField(t, i));
            break;
        case ColumnKind::Boolean:
            json.insert(key, *templateIntField(t, i) != 0);
            break;
        case ColumnKind::Bytes:
            json.insert(key, QString::fromLatin1(t.logoPicture.toBase64()));
            break;
        }
    }
    return json;
}

namespace {

// Numbers are truncated toward zero like every stored number; values outside
// 32 bits are refused rather than wrapped.
bool jsonToInt(const QJsonValue& value, qint32& out)
{
    if (!value.isDouble())
        return false;
    const double d = std::trunc(value.toDouble());
    if (!std::isfinite(d) || d < std::numeric_limits<qint32>::min() ||
        d > std::numeric_limits<qint32>::max())
        return false;
    out = static_cast<qint32>(d);
    return true;
}

} // namespace

bool templateFromJson(const QJsonObject& json, LayoutTemplate& out, QString* error)
{
    LayoutTemplate t;
    for (int i = 0; i < kTemplateColumnCount; ++i) {
        const QString key = kTemplateColumns[i].name.toString();
        const QJsonValue value = json.value(key);
        if (value.isUndefined())
            continue;
        bool ok = true;
        switch (kTemplateColumns[i].kind) {
        case ColumnKind::Text:
            ok = value.isString();
            t.name = value.toString();
            break;
        case ColumnKind::Number:
            ok = jsonToInt(value, *templateIntField(t, i));
            break;
        case ColumnKind::Boolean:
            if (value.isBool())
                *templateIntField(t, i) = value.toBool() ? 1 : 0;
            else
                ok = false;
            break;
        case ColumnKind::Bytes: {
            ok = value.isString();
            if (ok) {
                auto decoded = QByteArray::fromBase64Encoding(
                    value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
                ok = bool(decoded);
                t.logoPicture = *decoded;
            }
            break;
        }
        }
        if (!ok) {
            if (error)
                *error = QStringLiteral("wrong kind of value for key \"%1\"").arg(key);
            return false;
        }
    }
    out = t;
    return true;
}

} // namespace vellora

#include "templates/EditingRules.h"

#include "core/TemplateValues.h"

#include <algorithm>

namespace vellora {

const std::array<ValueBoxRule, kValueBoxCount> kValueBoxRules = {{
    {ValueBox::Size1Height, u"尺寸1高度编辑框", u"35", true, true, true},
    {ValueBox::Size1Width, u"尺寸1宽度编辑框", u"25", true, true, true},
    {ValueBox::Size1Across, u"尺寸1横向张数编辑框", u"1", false, true, true},
    {ValueBox::Size1Down, u"尺寸1纵向张数编辑框", u"1", false, true, true},
    {ValueBox::Size1HDistance, u"尺寸1横向距离编辑框", u"0", true, false, true},
    {ValueBox::Size1VDistance, u"尺寸1纵向距离编辑框", u"0", true, false, true},
    {ValueBox::OutputCount, u"尺寸1输出张数编辑框", u"1", false, true, false},
    {ValueBox::Gap, u"间隔编辑框", u"0", true, false, true},
    {ValueBox::Size2Height, u"尺寸2高度编辑框", u"50", true, true, true},
    {ValueBox::Size2Width, u"尺寸2宽度编辑框", u"35", true, true, true},
    {ValueBox::Size2Across, u"尺寸2横向张数编辑框", u"1", false, true, true},
    {ValueBox::Size2Down, u"尺寸2纵向张数编辑框", u"1", false, true, true},
    {ValueBox::Size2HDistance, u"尺寸2横向距离编辑框", u"0", true, false, true},
    {ValueBox::Size2VDistance, u"尺寸2纵向距离编辑框", u"0", true, false, true},
    {ValueBox::PaperHeight, u"纸高度编辑框", u"127", true, true, true},
    {ValueBox::PaperWidth, u"纸宽度编辑框", u"89", true, true, true},
    {ValueBox::LeftMargin, u"打印左边距编辑框", u"", true, false, false},
    {ValueBox::TopMargin, u"打印顶边距编辑框", u"", true, false, false},
}};

const ValueBoxRule& valueBoxRule(ValueBox box)
{
    return kValueBoxRules[static_cast<std::size_t>(box)];
}

qint32& valueBoxField(LayoutTemplate& t, ValueBox box)
{
    switch (box) {
    case ValueBox::Size1Height:
        return t.size1.height;
    case ValueBox::Size1Width:
        return t.size1.width;
    case ValueBox::Size1Across:
        return t.size1.countAcross;
    case ValueBox::Size1Down:
        return t.size1.countDown;
    case ValueBox::Size1HDistance:
        return t.size1.hDistance;
    case ValueBox::Size1VDistance:
        return t.size1.vDistance;
    case ValueBox::OutputCount:
        return t.outputCount;
    case ValueBox::Gap:
        return t.gap;
    case ValueBox::Size2Height:
        return t.size2.height;
    case ValueBox::Size2Width:
        return t.size2.width;
    case ValueBox::Size2Across:
        return t.size2.countAcross;
    case ValueBox::Size2Down:
        return t.size2.countDown;
    case ValueBox::Size2HDistance:
        return t.size2.hDistance;
    case ValueBox::Size2VDistance:
        return t.size2.vDistance;
    case ValueBox::PaperHeight:
        return t.paperHeight;
    case ValueBox::PaperWidth:
        return t.paperWidth;
    case ValueBox::LeftMargin:
        return t.leftMargin;
    case ValueBox::TopMargin:
        return t.topMargin;
    }
    Q_UNREACHABLE();
    return t.size1.height;
}

qint32 valueFromBoxText(const ValueBoxRule& rule, const QString& text)
{
    return rule.length ? parseLength(text) : parseCount(text);
}

QString boxTextFromValue(const ValueBoxRule& rule, qint32 value)
{
    return rule.length ? formatLength(value) : formatCount(value);
}

bool typedCharAccepted(QChar c, bool integerBox)
{
    const char16_t u = c.unicode();
    if (u < 0x20 || u == 0x7F)
        return true;
    if ((u >= u'0' && u <= u'9') || u == u'-')
        return true;
    return !integerBox && u == u'.';
}

QString normaliseIntegerText(const QString& text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'-' || text[i] == u'+')) {
        negative = text[i] == u'-';
        ++i;
    }
    // Saturate well above the clamp so that long digit runs cannot overflow.
    qint64 magnitude = 0;
    while (i < n && text[i] >= u'0' && text[i] <= u'9') {
        magnitude = std::min<qint64>(magnitude * 10 + (text[i].unicode() - u'0'), 1'000'000);
        ++i;
    }
    const qint64 value = std::clamp<qint64>(negative ? -magnitude : magnitude, -32768, 32767);
    return value == 0 ? QString() : QString::number(value);
}

QString spunText(const QString& text, int direction, bool integerBox)
{
    const float current = static_cast<float>(parseTypedNumber(text));
    double result;
    if (integerBox) {
        result = double(current) + direction;
        if (!(result - 1.0 > 1e-7))
            result = 1.0;
    } else {
        result = double(current) + direction * 0.1;
        if (!(result > 1e-7))
            result = 0.0;
    }
    // "%.6g" with a point whatever the locale: a comma would be read back as
    // the end of the number.
    return QString::number(double(static_cast<float>(result)), 'g', 6);
}

std::optional<qint32> cappedOutputCount(qint32 outputCount, qint32 countAcross, qint32 countDown)
{
    const double limit = double(countAcross) * double(countDown);
    if (double(outputCount) - limit > 1e-7)
        return truncToInt(limit);
    return std::nullopt;
}

bool orientationSwapNeeded(double width, double height, bool landscape)
{
    if (landscape)
        return !(width - height > 1e-7);
    return !(width - height < -1e-7);
}

} // namespace vellora

#include "core/TemplateValues.h"

#include "core/Gbk.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <locale.h>

namespace vellora {

namespace {

// Qt sets the process locale from the environment, and under a locale whose
// decimal mark is a comma printf would show 35,5 and strtod would read "35.5"
// as 35. Lengths are always written and read with a point.
locale_t cNumericLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return c;
}

} // namespace

QString formatLength(qint32 tenths)
{
    char buffer[64];
    const locale_t previous = uselocale(cNumericLocale());
    std::snprintf(buffer, sizeof buffer, "%.13g", double(tenths) * 0.1);
    uselocale(previous);
    return QString::fromLatin1(buffer);
}

QString formatCount(qint32 count)
{
    return QString::number(count);
}

QByteArray mapFullWidthGbk(const QByteArray& gbk)
{
    QByteArray out;
    out.reserve(gbk.size());
    for (qsizetype i = 0; i < gbk.size(); ++i) {
        const auto c = static_cast<unsigned char>(gbk[i]);
        if (c >= 0x80 && i + 1 < gbk.size()) {
            const auto d = static_cast<unsigned char>(gbk[i + 1]);
            if (c == 0xA3) {
                out.append(char(d & 0x7F));
            } else if (c == 0xA1 && d == 0xA1) {
                out.append(' ');
            } else if (c == 0xA1 && d == 0xAB) {
                out.append('~');
            } else if (c == 0xA1 && (d == 0xEE || d == 0xEF)) {
                out.append('*');
            } else {
                out.append(char(c));
                out.append(char(d));
            }
            ++i;
        } else {
            out.append(char(c));
        }
    }
    return out;
}

double parseTypedNumber(const QString& text)
{
    const QByteArray mapped = mapFullWidthGbk(toGbk(text));
    // strtod in the "C" locale accepts more than a plain decimal (hex, inf,
    // nan); take only the decimal prefix the boxes can hold.
    const char* s = mapped.constData();
    const char* p = s;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    const char* start = p;
    if (*p == '+' || *p == '-')
        ++p;
    bool digits = false;
    while (*p >= '0' && *p <= '9') {
        ++p;
        digits = true;
    }
    if (*p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') {
            ++p;
            digits = true;
        }
    }
    if (!digits)
        return 0.0;
    if (*p == 'e' || *p == 'E') {
        const char* e = p + 1;
        if (*e == '+' || *e == '-')
            ++e;
        if (*e >= '0' && *e <= '9') {
            while (*e >= '0' && *e <= '9')
                ++e;
            p = e;
        }
    }
    const std::string number(start, p);
    const double value = strtod_l(number.c_str(), nullptr, cNumericLocale());
    // An overflowing exponent gives ±inf, which truncToInt clamps.
    return value;
}

qint32 truncToInt(double value)
{
    if (std::isnan(value))
        return 0;
    const double t = std::trunc(value);
    if (t <= double(std::numeric_limits<qint32>::min()))
        return std::numeric_limits<qint32>::min();
    if (t >= double(std::numeric_limits<qint32>::max()))
        return std::numeric_limits<qint32>::max();
    return static_cast<qint32>(t);
}

qint32 parseLength(const QString& text)
{
    return truncToInt(parseTypedNumber(text) * 10.0);
}

qint32 parseCount(const QString& text)
{
    return truncToInt(parseTypedNumber(text));
}

} // namespace vellora

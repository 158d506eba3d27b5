#pragma once

#include <QByteArray>
#include <QString>

namespace vellora {

// A length of 0.1 mm units shown in millimetres: "%.13g" of value × 0.1.
QString formatLength(qint32 tenths);
QString formatCount(qint32 count);

// Full-width GBK characters to their single-byte forms (0xA3xx → xx & 0x7F,
// 0xA1A1 → space, 0xA1AB → "~", 0xA1EE/0xA1EF → "*"); other bytes unchanged.
QByteArray mapFullWidthGbk(const QByteArray& gbk);

// The leading decimal number of a typed text (strtod-like prefix), after the
// full-width mapping; 0 when the text does not start with a number.
double parseTypedNumber(const QString& text);

// A typed length in millimetres: × 10 and truncated toward zero into 0.1 mm.
qint32 parseLength(const QString& text);
// A typed count, truncated toward zero.
qint32 parseCount(const QString& text);

// double → 32-bit integer by truncation toward zero; out-of-range values are
// clamped and NaN gives 0 instead of being undefined.
qint32 truncToInt(double value);

} // namespace vellora

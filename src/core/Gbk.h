#pragma once

#include <QByteArray>
#include <QString>

namespace vellora {

// Texts are QString inside; these convert exactly where GBK bytes matter
// (配置.ini content, the byte stepping of photo numbers, full-width digits).
QByteArray toGbk(const QString& text);
QString fromGbk(const QByteArray& bytes);

// True when the byte at i starts a two-byte GBK character.
inline bool isGbkLeadByte(char c)
{
    return static_cast<unsigned char>(c) >= 0x80;
}

} // namespace vellora
